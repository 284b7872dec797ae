#include "crawl/archive/wacz_package.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <list>

#include "crawl/archive/warc_record.h"
#include "crawl/read/character_references.h"
#include "platform/ascii.h"

#ifndef KELVANE_VERSION
#define KELVANE_VERSION "unknown"
#endif

namespace {

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A file's SHA-256 in hexadecimal, read in pieces; empty when it cannot be read.
std::string FileSha256(const std::string& path, uint64_t& size) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    return {};
  Digest digest(true);
  std::string piece(1 << 16, '\0');
  size = 0;
  while (in.read(piece.data(), static_cast<std::streamsize>(piece.size())) || in.gcount() > 0) {
    digest.Add(std::string_view(piece.data(), static_cast<size_t>(in.gcount())));
    size += static_cast<uint64_t>(in.gcount());
  }
  return digest.Hex();
}

// JSON is UTF-8: a byte that begins no valid sequence (a page in Latin-1) becomes U+FFFD.
std::string ValidUtf8(std::string_view text) {
  std::string out;
  for (size_t at = 0; at < text.size();) {
    const auto c = static_cast<unsigned char>(text[at]);
    const size_t length = c < 0x80         ? 1
                          : (c >> 5) == 6  ? 2
                          : (c >> 4) == 14 ? 3
                          : (c >> 3) == 30 ? 4
                                           : 0;
    bool valid = length > 0 && at + length <= text.size() && !(length > 1 && c < 0xC2);
    for (size_t i = 1; valid && i < length; ++i)
      valid = (static_cast<unsigned char>(text[at + i]) & 0xC0) == 0x80;
    if (valid) {
      out.append(text.substr(at, length));
      at += length;
    } else {
      out += "\xEF\xBF\xBD";
      ++at;
    }
  }
  return out;
}

std::string TextSha256(const std::string& text) {
  Digest digest(true);
  digest.Add(text);
  return digest.Hex();
}

// One entry of the package's list of resources.
std::string ResourceEntry(const std::string& path, const std::string& hash, uint64_t bytes) {
  return "    {\"name\": " + JsonString(BaseName(path)) + ", \"path\": " + JsonString(path) +
         ", \"hash\": \"sha256:" + hash + "\", \"bytes\": " + std::to_string(bytes) + "}";
}

// The index's lines in key order, as players search it.
std::string SortedIndex(const std::vector<IndexEntry>& index) {
  std::vector<std::string> lines;
  for (const IndexEntry& entry : index)
    lines.push_back(IndexLine(entry) + "\n");
  std::sort(lines.begin(), lines.end());
  std::string cdxj;
  for (const std::string& line : lines)
    cdxj += line;
  return cdxj;
}

std::string PageList(const std::vector<ArchivedPage>& pages) {
  std::string jsonl =
      "{\"format\": \"json-pages-1.0\", \"id\": \"pages\", \"title\": \"All Pages\"}\n";
  int number = 0;
  for (const ArchivedPage& page : pages) {
    jsonl += "{\"id\": \"" + std::to_string(++number) + "\", \"url\": " + JsonString(page.url) +
             ", \"ts\": " + JsonString(page.date);
    if (!page.title.empty())
      jsonl += ", \"title\": " + JsonString(page.title);
    jsonl += "}\n";
  }
  return jsonl;
}

std::string DataPackage(const std::vector<ArchivedPage>& pages, const std::string& resources) {
  const std::string created = WarcDate(std::chrono::system_clock::now());
  std::string package =
      "{\n  \"profile\": \"data-package\",\n  \"wacz_version\": \"1.1.1\",\n"
      "  \"created\": \"" +
      created + "\",\n  \"software\": \"Kelvane/" + KELVANE_VERSION + "\",\n";
  if (!pages.empty())
    package += "  \"mainPageURL\": " + JsonString(pages.front().url) +
               ",\n  \"mainPageDate\": " + JsonString(pages.front().date) + ",\n";
  return package + "  \"resources\": [\n" + resources + "\n  ]\n}\n";
}

// An entry of the package as unzip makes it: a file its owner alone may change.
zip_int64_t AddEntry(zip_t* zip, const std::string& name, zip_source_t* source) {
  const zip_int64_t at =
      source == nullptr ? -1 : zip_file_add(zip, name.c_str(), source, ZIP_FL_ENC_UTF_8);
  // Once added, the source is the package's own, freed with it.
  if (at < 0 && source != nullptr)
    zip_source_free(source);
  if (at >= 0)
    zip_file_set_external_attributes(zip, static_cast<zip_uint64_t>(at), 0, ZIP_OPSYS_UNIX,
                                     (S_IFREG | 0644u) << 16);
  return at;
}

// A WARC file of the crawl, listed among the package's resources; false when it is not there to
// be read.
bool AddRecordFile(zip_t* zip, const std::string& file, std::string& resources) {
  uint64_t size = 0;
  const std::string hash = FileSha256(file, size);
  if (hash.empty())
    return false;
  const std::string name = "archive/" + BaseName(file);
  const zip_int64_t at = AddEntry(zip, name, zip_source_file(zip, file.c_str(), 0, -1));
  if (at < 0)
    return false;
  // The records are gzip members already: stored as they are, so a player reads them where
  // the index says they lie.
  zip_set_file_compression(zip, static_cast<zip_uint64_t>(at), ZIP_CM_STORE, 0);
  resources += (resources.empty() ? "" : ",\n") + ResourceEntry(name, hash, size);
  return true;
}

// The package is written beside its place, and put there whole.
zip_t* OpenPackage(const std::string& part, const std::string& path, std::string& why) {
  int error = 0;
  zip_t* zip = zip_open(part.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  if (zip == nullptr) {
    zip_error_t reason;
    zip_error_init_with_code(&reason, error);
    why = path + ": " + zip_error_strerror(&reason);
    zip_error_fini(&reason);
  }
  return zip;
}

// Never over what took the name meanwhile, be it a link.
bool PutInPlace(const std::string& part, const std::string& path, std::string& why) {
  if (::renameat2(AT_FDCWD, part.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0)
    return true;
  // A file system that cannot rename so: a second name, which is refused as well where taken.
  if (errno == EINVAL && ::link(part.c_str(), path.c_str()) == 0) {
    std::remove(part.c_str());
    return true;
  }
  why = path + ": " + std::strerror(errno);
  std::remove(part.c_str());
  return false;
}

}  // namespace

std::string PageTitle(std::string_view html) {
  // A title is near the top of a page.
  const std::string lower = ToLowerAscii(html.substr(0, 16 * 1024));
  const size_t open = lower.find("<title");
  if (open == std::string::npos ||
      (open + 6 < lower.size() && lower[open + 6] != '>' && !IsSpace(lower[open + 6])))
    return {};
  const size_t start = lower.find('>', open);
  const size_t end = lower.find("</title", start);
  if (start == std::string::npos || end == std::string::npos)
    return {};
  std::string title;
  for (const char c : html.substr(start + 1, end - start - 1)) {
    if (IsSpace(c)) {
      if (!title.empty() && title.back() != ' ')
        title += ' ';
    } else {
      title += c;
    }
  }
  while (!title.empty() && title.back() == ' ')
    title.pop_back();
  return ValidUtf8(DecodeCharacterReferences(title.substr(0, 500)));
}

bool WriteWacz(const std::string& path, const std::vector<std::string>& warcFiles,
               const std::vector<IndexEntry>& index, const std::vector<ArchivedPage>& pages,
               std::string& why) {
  const std::string part = path + ".part";
  zip_t* zip = OpenPackage(part, path, why);
  if (zip == nullptr)
    return false;
  // Texts given to the package stay alive until it is closed, which is when it reads them.
  std::list<std::string> texts;
  std::string resources;
  auto fail = [&](const std::string& what) {
    const int error = errno != 0 ? errno : EIO;
    const bool zipError = zip_error_code_zip(zip_get_error(zip)) != ZIP_ER_OK;
    why = path + ": " + what + ": " + (zipError ? zip_strerror(zip) : std::strerror(error));
    zip_discard(zip);
    std::remove(part.c_str());
    return false;
  };
  auto addText = [&](const std::string& name, std::string text) {
    texts.push_back(std::move(text));
    const std::string& kept = texts.back();
    if (AddEntry(zip, name, zip_source_buffer(zip, kept.data(), kept.size(), 0)) < 0)
      return false;
    resources +=
        (resources.empty() ? "" : ",\n") + ResourceEntry(name, TextSha256(kept), kept.size());
    return true;
  };
  for (const std::string& file : warcFiles) {
    if (!AddRecordFile(zip, file, resources))
      return fail(file);
  }
  if (!addText("indexes/index.cdxj", SortedIndex(index)) ||
      !addText("pages/pages.jsonl", PageList(pages)))
    return fail("index");
  const std::string package = DataPackage(pages, resources);
  const std::string digest =
      "{\n  \"path\": \"datapackage.json\",\n  \"hash\": \"sha256:" + TextSha256(package) +
      "\"\n}\n";
  if (!addText("datapackage.json", package) || !addText("datapackage-digest.json", digest))
    return fail("datapackage.json");
  if (zip_close(zip) != 0)
    return fail("closing");
  return PutInPlace(part, path, why);
}
