// The lines of the store's records: one stored file a line, its fields escaped onto it.
#include "crawl/copy/record_lines.h"

#include <vector>

#include "platform/ascii.h"

namespace {

// The last field of every record line: a line without it was torn by a crash.
constexpr const char* kRecordEnd = ";";

// A record field on one line: "%", tab and line ends (and every control byte) as %XX.
std::string EscapeField(const std::string& text) {
  std::string escaped;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F || c == '%') {
      AppendPercentEscaped(escaped, c);
    } else {
      escaped += static_cast<char>(c);
    }
  }
  return escaped;
}

}  // namespace

std::string RecordLine(const std::string& below, const StoreRecord& record) {
  return EscapeField(below) + "\t" + EscapeField(record.contentType) + "\t" +
         EscapeField(record.url) + "\t" + EscapeField(record.lastModified) + "\t" +
         EscapeField(record.etag) + "\t" + (record.converted ? "k" : "") + "\t" +
         EscapeField(record.asked) + "\t" + EscapeField(record.digest) + "\t" + kRecordEnd + "\n";
}

std::optional<std::pair<std::string, StoreRecord>> ReadRecordLine(std::string_view line) {
  std::vector<std::string> fields;
  for (size_t from = 0;;) {
    const size_t tab = line.find('\t', from);
    fields.push_back(PercentDecoded(line.substr(from, tab - from)));
    if (tab == std::string_view::npos)
      break;
    from = tab + 1;
  }
  // Records of earlier versions lack the address asked for and the digest.
  const bool older = fields.size() == 7;
  if ((fields.size() != 9 && !older) || fields.back() != kRecordEnd)
    return std::nullopt;
  StoreRecord record{fields[1],
                     fields[2],
                     fields[3],
                     fields[4],
                     fields[5] == "k",
                     older ? std::string() : fields[6],
                     older ? std::string() : fields[7]};
  return std::pair(fields[0], std::move(record));
}
