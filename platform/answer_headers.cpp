// What an answer's header lines say, noted as they come.
#include "platform/answer_headers.h"

#include "platform/ascii.h"
#include "platform/content_decoding.h"

namespace {

// The realm a challenge names (realm="Private"), as a person reads it: no control character, and
// no more than a line's worth.
std::string RealmOf(std::string_view challenge) {
  std::string lower(challenge.substr(0, 4096));
  for (char& c : lower)
    c = LowerAscii(c);
  const size_t at = lower.find("realm=");
  if (at == std::string::npos)
    return {};
  std::string_view value = challenge.substr(at + 6);
  const bool quoted = !value.empty() && value.front() == '"';
  value.remove_prefix(quoted ? 1 : 0);
  std::string realm;
  for (size_t i = 0; i < value.size() && realm.size() < 200; ++i) {
    char c = value[i];
    if (quoted ? c == '"' : (c == ',' || c == ' '))
      break;
    if (quoted && c == '\\' && i + 1 < value.size())
      c = value[++i];  // a quoted pair stands for its second character
    if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f)
      realm += c;
  }
  return realm;
}

}  // namespace

void AnswerHeaders::Line(std::string_view line) {
  framing.Line(line);
  if (line.starts_with("HTTP/")) {
    statusLine = true;
    location.reset();
    lastModified.clear();
    etag.clear();
    contentDisposition.clear();
    retryAfter.clear();
    contentRange.clear();
    codings.clear();
    challenged = digest = false;
    realm.clear();
  } else if (StartsWithNoCase(line, "content-encoding:")) {
    AddCodings(line.substr(17), codings);
  } else if (StartsWithNoCase(line, "last-modified:")) {
    lastModified = std::string(TrimSpace(line.substr(14)));
  } else if (StartsWithNoCase(line, "www-authenticate:")) {
    const std::string_view scheme = TrimSpace(line.substr(17));
    digest = digest || StartsWithNoCase(scheme, "digest");
    const bool known = digest || StartsWithNoCase(scheme, "basic");
    if (known && !challenged)
      realm = RealmOf(scheme);
    challenged = challenged || known;
  } else if (StartsWithNoCase(line, "content-disposition:")) {
    contentDisposition = std::string(TrimSpace(line.substr(20)));
  } else if (StartsWithNoCase(line, "retry-after:")) {
    retryAfter = std::string(TrimSpace(line.substr(12)));
  } else if (StartsWithNoCase(line, "content-range:")) {
    contentRange = std::string(TrimSpace(line.substr(14)));
  } else if (StartsWithNoCase(line, "etag:")) {
    etag = std::string(TrimSpace(line.substr(5)));
  } else if (StartsWithNoCase(line, "location:")) {
    std::string_view value = TrimSpace(line.substr(9));
    if (!location && !value.empty())
      location = std::string(value);
  }
}
