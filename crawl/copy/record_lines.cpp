// The lines of the store's records: one stored file a line, its fields escaped onto it.
#include "crawl/copy/record_lines.h"

#include <array>

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

namespace {

// Most fields hold no escape: they are taken as they are.
std::string Field(std::string_view text) {
  return text.find('%') == std::string_view::npos ? std::string(text) : PercentDecoded(text);
}

using Fields = std::array<std::string_view, 9>;

// The fields of a whole record line: 9, or 7 for the records of earlier versions, which lack the
// address asked for and the digest; none for a line torn by a crash or no record.
size_t SplitRecordLine(std::string_view line, Fields& fields) {
  size_t count = 0;
  for (size_t from = 0;;) {
    if (count == fields.size())
      return 0;
    const size_t tab = line.find('\t', from);
    fields[count++] = line.substr(from, tab == std::string_view::npos ? tab : tab - from);
    if (tab == std::string_view::npos)
      break;
    from = tab + 1;
  }
  return (count == 9 || count == 7) && Field(fields[count - 1]) == kRecordEnd ? count : 0;
}

}  // namespace

std::optional<std::string> RecordLineField(std::string_view line, RecordField field) {
  Fields fields;
  const size_t count = SplitRecordLine(line, fields);
  if (count == 0)
    return std::nullopt;
  if (field == RecordField::Asked && count == 7)
    return std::string();
  return Field(fields[static_cast<size_t>(field)]);
}

std::optional<std::pair<std::string, StoreRecord>> ReadRecordLine(std::string_view line) {
  Fields fields;
  const size_t count = SplitRecordLine(line, fields);
  if (count == 0)
    return std::nullopt;
  const bool older = count == 7;
  StoreRecord record{Field(fields[1]),
                     Field(fields[2]),
                     Field(fields[3]),
                     Field(fields[4]),
                     Field(fields[5]) == "k",
                     older ? std::string() : Field(fields[6]),
                     older ? std::string() : Field(fields[7])};
  return std::pair(Field(fields[0]), std::move(record));
}
