#include "crawl/stylesheet_reader.h"

#include <cctype>

namespace {

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

bool IsHex(char c) {
  return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

unsigned HexValue(char c) {
  if (c >= '0' && c <= '9')
    return static_cast<unsigned>(c - '0');
  return static_cast<unsigned>(std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
}

// A backslash escape at css[i] (the backslash): appends what it stands for and moves past it.
void Unescape(std::string_view css, size_t& i, std::string& out) {
  ++i;
  if (i >= css.size())
    return;
  if (!IsHex(css[i])) {
    if (css[i] != '\n')
      out += css[i];
    ++i;
    return;
  }
  unsigned code = 0;
  size_t digits = 0;
  while (i < css.size() && digits < 6 && IsHex(css[i])) {
    code = code * 16 + HexValue(css[i]);
    ++i;
    ++digits;
  }
  if (i < css.size() && IsSpace(css[i]))
    ++i;
  // As UTF-8; a code that is none stands for U+FFFD.
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

// A quoted string starting at css[i] (the quote); its value, and i past the closing quote.
std::string QuotedString(std::string_view css, size_t& i) {
  const char quote = css[i++];
  std::string value;
  while (i < css.size() && css[i] != quote) {
    if (css[i] == '\n')
      return value;  // a bad string ends at the line
    if (css[i] == '\\') {
      Unescape(css, i, value);
    } else {
      value += css[i++];
    }
  }
  if (i < css.size())
    ++i;
  return value;
}

bool StartsWithNoCase(std::string_view text, size_t at, std::string_view word) {
  if (text.size() - at < word.size())
    return false;
  for (size_t k = 0; k < word.size(); ++k) {
    if (std::tolower(static_cast<unsigned char>(text[at + k])) != word[k])
      return false;
  }
  return true;
}

// The contents of url( at css[i] (just past the parenthesis); i past the closing one.
std::string UrlContents(std::string_view css, size_t& i) {
  while (i < css.size() && IsSpace(css[i]))
    ++i;
  std::string value;
  if (i < css.size() && (css[i] == '"' || css[i] == '\'')) {
    value = QuotedString(css, i);
  } else {
    while (i < css.size() && css[i] != ')') {
      if (css[i] == '\\') {
        Unescape(css, i, value);
      } else {
        value += css[i++];
      }
    }
    while (!value.empty() && IsSpace(value.back()))
      value.pop_back();
  }
  while (i < css.size() && css[i] != ')')
    ++i;
  if (i < css.size())
    ++i;
  return value;
}

bool IsNameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_' ||
         static_cast<unsigned char>(c) >= 0x80;
}

}  // namespace

std::vector<std::string> ReadStylesheet(std::string_view css) {
  std::vector<std::string> links;
  size_t i = 0;
  while (i < css.size()) {
    char c = css[i];
    if (c == '/' && i + 1 < css.size() && css[i + 1] == '*') {
      size_t end = css.find("*/", i + 2);
      i = end == std::string_view::npos ? css.size() : end + 2;
    } else if (c == '"' || c == '\'') {
      QuotedString(css, i);
    } else if (c == '\\') {
      std::string ignored;
      Unescape(css, i, ignored);
    } else if (c == '@' && StartsWithNoCase(css, i + 1, "import") &&
               (i + 7 >= css.size() || !IsNameChar(css[i + 7]))) {
      i += 7;
      while (i < css.size() && IsSpace(css[i]))
        ++i;
      if (i < css.size() && (css[i] == '"' || css[i] == '\'')) {
        std::string link = QuotedString(css, i);
        if (!link.empty())
          links.push_back(std::move(link));
      }
      // "@import url(...)" is found by the url( branch on the next rounds.
    } else if ((i == 0 || !IsNameChar(css[i - 1])) && StartsWithNoCase(css, i, "url(")) {
      i += 4;
      std::string link = UrlContents(css, i);
      if (!link.empty())
        links.push_back(std::move(link));
    } else {
      ++i;
    }
  }
  return links;
}
