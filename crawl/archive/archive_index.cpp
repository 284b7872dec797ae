#include "crawl/archive/archive_index.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>

#include "platform/ascii.h"
#include "platform/file_system.h"

namespace {

// The string value of a key in a flat JSON object; only the escapes this file writes are read.
std::optional<std::string> JsonValue(std::string_view object, std::string_view key) {
  const std::string quoted = "\"" + std::string(key) + "\"";
  size_t at = object.find(quoted);
  if (at == std::string_view::npos)
    return std::nullopt;
  at = object.find(':', at + quoted.size());
  if (at == std::string_view::npos)
    return std::nullopt;
  at = object.find_first_not_of(" \t", at + 1);
  if (at == std::string_view::npos)
    return std::nullopt;
  std::string value;
  if (object[at] != '"') {
    const size_t end = object.find_first_of(",}", at);
    return std::string(TrimSpace(object.substr(at, end - at)));
  }
  for (++at; at < object.size() && object[at] != '"'; ++at) {
    if (object[at] == '\\' && at + 1 < object.size())
      ++at;
    value += object[at];
  }
  return value;
}

uint64_t Number(const std::optional<std::string>& text) {
  uint64_t value = 0;
  if (text)
    std::from_chars(text->data(), text->data() + text->size(), value);
  return value;
}

}  // namespace

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

namespace {

// The host's labels in reverse order, then its port where it is not the scheme's own.
std::string SurtHost(std::string_view schemeName, std::string_view authority) {
  if (const size_t at = authority.rfind('@'); at != std::string_view::npos)
    authority = authority.substr(at + 1);
  std::string host = ToLowerAscii(authority);
  std::string port;
  if (const size_t colon = host.rfind(':');
      colon != std::string::npos && host.find(']') == std::string::npos) {
    port = host.substr(colon);
    host.resize(colon);
  }
  if ((EqualsNoCase(schemeName, "http") && port == ":80") ||
      (EqualsNoCase(schemeName, "https") && port == ":443"))
    port.clear();
  // A leading "www", "www2" … is no part of what the key tells apart.
  if (host.starts_with("www")) {
    size_t digits = 3;
    while (digits < host.size() && host[digits] >= '0' && host[digits] <= '9')
      ++digits;
    if (digits < host.size() && host[digits] == '.')
      host.erase(0, digits + 1);
  }
  std::vector<std::string> labels;
  for (size_t at = 0;;) {
    const size_t dot = host.find('.', at);
    labels.push_back(host.substr(at, dot - at));
    if (dot == std::string::npos)
      break;
    at = dot + 1;
  }
  std::string key;
  for (auto label = labels.rbegin(); label != labels.rend(); ++label)
    key += (key.empty() ? "" : ",") + *label;
  return key + port;
}

// The query's arguments in lower case and sorted, so that their order tells nothing apart.
std::string SurtQuery(std::string_view query) {
  std::vector<std::string> arguments;
  for (size_t at = 0; at <= query.size();) {
    size_t amp = query.find('&', at);
    if (amp == std::string_view::npos)
      amp = query.size();
    arguments.push_back(ToLowerAscii(query.substr(at, amp - at)));
    at = amp + 1;
  }
  std::sort(arguments.begin(), arguments.end());
  std::string key = "?";
  for (size_t i = 0; i < arguments.size(); ++i)
    key += (i ? "&" : "") + arguments[i];
  return key;
}

}  // namespace

std::string SurtKey(std::string_view url) {
  const size_t scheme = url.find("://");
  if (scheme == std::string_view::npos)
    return std::string(url);
  std::string_view rest = url.substr(scheme + 3);
  const size_t pathAt = rest.find_first_of("/?#");
  std::string_view path = pathAt == std::string_view::npos ? "/" : rest.substr(pathAt);
  path = path.substr(0, path.find('#'));
  std::string key = SurtHost(url.substr(0, scheme), rest.substr(0, pathAt)) + ")";
  const size_t question = path.find('?');
  key += ToLowerAscii(path.substr(0, question));
  if (question != std::string_view::npos)
    key += SurtQuery(path.substr(question + 1));
  return key;
}

std::string IndexTimestamp(std::string_view warcDate) {
  std::string digits;
  for (const char c : warcDate) {
    if (c >= '0' && c <= '9' && digits.size() < 14)
      digits += c;
  }
  return digits;
}

std::string IndexLine(const IndexEntry& entry) {
  std::string line = SurtKey(entry.uri) + " " + IndexTimestamp(entry.date) + " {\"url\": ";
  line += JsonString(entry.uri);
  line += ", \"mime\": ";
  line += JsonString(entry.revisit ? "warc/revisit" : entry.mime.substr(0, entry.mime.find(';')));
  line += ", \"status\": \"" + std::to_string(entry.status) + "\"";
  // A revisit of a body never recorded has none to name.
  if (!entry.digest.empty())
    line += ", \"digest\": " + JsonString(entry.digest);
  line += ", \"length\": \"" + std::to_string(entry.length) + "\", \"offset\": \"" +
          std::to_string(entry.offset) + "\", \"filename\": ";
  line += JsonString(entry.file);
  return line + "}";
}

bool WriteIndex(const std::string& path, const std::vector<IndexEntry>& entries) {
  std::vector<std::string> lines;
  lines.reserve(entries.size());
  for (const IndexEntry& entry : entries)
    lines.push_back(IndexLine(entry));
  std::sort(lines.begin(), lines.end());
  std::string text;
  for (const std::string& line : lines)
    (text += line) += '\n';
  // A new file, never one that is there already nor through a link.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0)
    return false;
  const bool written = WriteAll(fd, text.data(), text.size());
  const int saved = errno;
  if (::close(fd) != 0 || !written) {
    errno = written ? errno : saved;
    ::unlink(path.c_str());
    return false;
  }
  return true;
}

std::optional<IndexEntry> ReadIndexLine(std::string_view line) {
  const size_t first = line.find(' ');
  const size_t brace = line.find('{');
  if (first == std::string_view::npos || brace == std::string_view::npos || brace < first)
    return std::nullopt;
  const std::string_view object = line.substr(brace);
  IndexEntry entry;
  entry.uri = JsonValue(object, "url").value_or("");
  const std::string stamp(TrimSpace(line.substr(first + 1, brace - first - 1)));
  if (stamp.size() >= 14)
    entry.date = stamp.substr(0, 4) + "-" + stamp.substr(4, 2) + "-" + stamp.substr(6, 2) + "T" +
                 stamp.substr(8, 2) + ":" + stamp.substr(10, 2) + ":" + stamp.substr(12, 2) + "Z";
  entry.mime = JsonValue(object, "mime").value_or("");
  entry.revisit = entry.mime == "warc/revisit";
  entry.status = static_cast<int>(Number(JsonValue(object, "status")));
  entry.digest = JsonValue(object, "digest").value_or("");
  // An index may give the digest without its label: SHA-1 is what archives mean then.
  if (!entry.digest.empty() && entry.digest.find(':') == std::string::npos)
    entry.digest = "sha1:" + entry.digest;
  entry.length = Number(JsonValue(object, "length"));
  entry.offset = Number(JsonValue(object, "offset"));
  entry.file = JsonValue(object, "filename").value_or("");
  if (entry.uri.empty())
    return std::nullopt;
  return entry;
}
