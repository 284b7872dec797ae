#include "crawl/read/stylesheet_reader.h"

#include "crawl/read/markup_contexts.h"
#include "platform/ascii.h"

namespace {

bool IsHex(char c) {
  return HexValue(c) >= 0;
}

bool IsNewline(char c) {
  return c == '\n' || c == '\r' || c == '\f';
}

bool IsNameChar(char c) {
  const char lower = LowerAscii(c);
  return (lower >= 'a' && lower <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
         static_cast<unsigned char>(c) >= 0x80;
}

bool IsNonPrintable(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte <= 0x08 || byte == 0x0B || (byte >= 0x0E && byte <= 0x1F) || byte == 0x7F;
}

// Past the line end at css[i]; CR LF is one.
size_t PastNewline(std::string_view css, size_t i) {
  return css[i] == '\r' && i + 1 < css.size() && css[i + 1] == '\n' ? i + 2 : i + 1;
}

// Past the escape whose backslash is at css[i]: up to six hex digits and one white space after
// them, or the one character escaped. The scan and the unescaping agree on this, so a value's
// bytes are found once and decoded once.
size_t EscapeEnd(std::string_view css, size_t i) {
  ++i;
  if (i >= css.size())
    return i;
  if (!IsHex(css[i]))
    return i + 1;
  const size_t last = std::min(css.size(), i + 6);
  while (i < last && IsHex(css[i]))
    ++i;
  if (i < css.size() && IsSpace(css[i]))
    i = PastNewline(css, i);
  return i;
}

// The value of raw with its escapes resolved; an escaped line end (a string going on on the next
// line) stands for nothing.
std::string Unescaped(std::string_view raw) {
  std::string out;
  size_t i = 0;
  while (i < raw.size()) {
    const size_t slash = raw.find('\\', i);
    if (slash == std::string_view::npos) {
      out.append(raw.substr(i));
      break;
    }
    out.append(raw.substr(i, slash - i));
    const size_t next = slash + 1;
    if (next >= raw.size()) {
      break;
    } else if (IsNewline(raw[next])) {
      i = PastNewline(raw, next);
    } else if (!IsHex(raw[next])) {
      out += raw[next];
      i = next + 1;
    } else {
      i = EscapeEnd(raw, slash);
      uint32_t code = 0;
      for (size_t k = next; k < i && IsHex(raw[k]); ++k)
        code = code * 16 + static_cast<uint32_t>(HexValue(raw[k]));
      AppendUtf8(out, code);
    }
  }
  return out;
}

// A string token whose quote is at css[i].
struct QuotedSpan {
  size_t begin;  // its contents
  size_t end;
  size_t next;  // where reading goes on
  bool bad;     // cut by a line end: worth nothing
};

QuotedSpan ReadString(std::string_view css, size_t i) {
  const char quote = css[i++];
  const size_t begin = i;
  while (i < css.size()) {
    const char c = css[i];
    if (c == quote)
      return {begin, i, i + 1, false};
    if (IsNewline(c))
      return {begin, i, i, true};
    if (c == '\\' && i + 1 < css.size() && IsNewline(css[i + 1])) {
      i = PastNewline(css, i + 1);
    } else if (c == '\\') {
      i = EscapeEnd(css, i);
    } else {
      ++i;
    }
  }
  return {begin, css.size(), css.size(), false};  // the end of the sheet ends the string too
}

// Past the rest of a url(...) that loads nothing; an escaped parenthesis does not end it.
size_t SkipBadUrl(std::string_view css, size_t i) {
  while (i < css.size() && css[i] != ')') {
    if (css[i] == '\\' && i + 1 < css.size() && !IsNewline(css[i + 1])) {
      i = EscapeEnd(css, i);
    } else {
      ++i;
    }
  }
  return i < css.size() ? i + 1 : i;
}

class SheetReader {
 public:
  SheetReader(std::string_view css, const std::atomic<int>* stop) : m_css(css), m_stop(stop) {}

  std::vector<StylesheetLink> Read() {
    size_t i = 0;
    size_t nextCheck = kStopCheckBytes;
    while (i < m_css.size()) {
      if (i >= nextCheck) {
        if (m_stop != nullptr && m_stop->load(std::memory_order_relaxed) != 0)
          break;
        nextCheck = i + kStopCheckBytes;
      }
      i = Step(i);
    }
    return std::move(m_links);
  }

 private:
  // Reads the token at m_css[i]; returns where the next one starts.
  size_t Step(size_t i) {
    const std::string_view css = m_css;
    const char c = css[i];
    if (c == '/' && i + 1 < css.size() && css[i + 1] == '*') {
      const size_t end = css.find("*/", i + 2);
      return end == std::string_view::npos ? css.size() : end + 2;
    }
    if (c == '"' || c == '\'')
      return ReadString(css, i).next;
    if (c == '\\')
      return EscapeEnd(css, i);
    if (c == '@' && StartsWithNoCase(css.substr(i + 1), "import") &&
        (i + 7 >= css.size() || !IsNameChar(css[i + 7]))) {
      i += 7;
      while (i < css.size() && IsSpace(css[i]))
        ++i;
      if (i < css.size() && (css[i] == '"' || css[i] == '\''))
        return AddString(ReadString(css, i));
      return i;  // "@import url(...)" is read as any url(...)
    }
    if ((i == 0 || !IsNameChar(css[i - 1])) && StartsWithNoCase(css.substr(i), "url("))
      return Url(i + 4);
    return i + 1;
  }

  size_t AddString(const QuotedSpan& span) {
    if (!span.bad)
      Add(span.begin, span.end);
    return span.next;
  }

  void Add(size_t begin, size_t end) {
    std::string link = Unescaped(m_css.substr(begin, end - begin));
    if (!link.empty())
      m_links.push_back({std::move(link), begin, end});
  }

  // The contents of a url( whose parenthesis ends just before m_css[i].
  size_t Url(size_t i) {
    const std::string_view css = m_css;
    while (i < css.size() && IsSpace(css[i]))
      ++i;
    if (i < css.size() && (css[i] == '"' || css[i] == '\''))
      return AddString(ReadString(css, i));
    const size_t begin = i;
    size_t end = i;
    while (i < css.size()) {
      const char c = css[i];
      if (c == ')') {
        ++i;
        break;
      }
      if (IsSpace(c)) {
        while (i < css.size() && IsSpace(css[i]))
          ++i;
        if (i < css.size() && css[i] != ')')
          return SkipBadUrl(css, i);
        continue;
      }
      if (c == '"' || c == '\'' || c == '(' || IsNonPrintable(c) ||
          (c == '\\' && i + 1 < css.size() && IsNewline(css[i + 1])))
        return SkipBadUrl(css, i);
      i = c == '\\' ? EscapeEnd(css, i) : i + 1;
      end = i;
    }
    Add(begin, end);  // the end of the sheet ends the url too
    return i;
  }

  std::string_view m_css;
  const std::atomic<int>* m_stop;
  std::vector<StylesheetLink> m_links;
};

}  // namespace

void AppendUtf8(std::string& out, uint32_t code) {
  if (code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
    code = 0xFFFD;
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

std::vector<StylesheetLink> ReadStylesheetLinks(std::string_view css,
                                                const std::atomic<int>* stop) {
  return SheetReader(css, stop).Read();
}

std::vector<std::string> ReadStylesheet(std::string_view css, const std::atomic<int>* stop) {
  std::vector<std::string> links;
  for (StylesheetLink& link : ReadStylesheetLinks(css, stop))
    links.push_back(std::move(link.link));
  return links;
}
