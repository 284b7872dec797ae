#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Byte-string helpers for addresses, headers and markup. Letter case is ASCII only: bytes above
// 0x7F are never changed or matched loosely.

inline char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

inline bool IsAsciiLetter(char c) {
  const char lower = LowerAscii(c);
  return lower >= 'a' && lower <= 'z';
}

inline std::string ToLowerAscii(std::string_view text) {
  std::string lower(text);
  for (char& c : lower)
    c = LowerAscii(c);
  return lower;
}

inline bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size())
    return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (LowerAscii(text[i]) != LowerAscii(prefix[i]))
      return false;
  }
  return true;
}

inline bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && StartsWithNoCase(a, b);
}

// A set of bytes, each looked up in one step rather than searched for in a string.
class ByteSet {
 public:
  constexpr explicit ByteSet(std::string_view bytes) {
    for (const char c : bytes)
      m_bits[static_cast<unsigned char>(c) / 64] |= uint64_t{1}
                                                    << (static_cast<unsigned char>(c) % 64);
  }
  constexpr bool Has(unsigned char c) const { return (m_bits[c / 64] >> (c % 64)) & 1; }

 private:
  uint64_t m_bits[4] = {};
};

inline bool Contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// White space as HTML and CSS count it: space, tab, line feed, form feed, carriage return.
inline bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

inline std::string_view TrimSpace(std::string_view text) {
  while (!text.empty() && IsSpace(text.front()))
    text.remove_prefix(1);
  while (!text.empty() && IsSpace(text.back()))
    text.remove_suffix(1);
  return text;
}

// The value of a hexadecimal digit; -1 for any other byte.
inline int HexValue(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  c = LowerAscii(c);
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// Appends a byte as %XX, upper-case digits.
inline void AppendPercentEscaped(std::string& out, unsigned char c) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  out += '%';
  out += kHex[c >> 4];
  out += kHex[c & 15];
}

// Every %XX decoded; a "%" not followed by two hexadecimal digits stays as it is.
inline std::string PercentDecoded(std::string_view text) {
  std::string plain;
  plain.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
        HexValue(text[i + 2]) >= 0) {
      plain += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      plain += text[i];
    }
  }
  return plain;
}

// The first k characters, where k is the position of the last c; empty when there is none.
inline std::string_view BeforeLast(std::string_view text, char c) {
  size_t k = text.rfind(c);
  return k == std::string_view::npos ? std::string_view() : text.substr(0, k);
}

// Length of the scheme prefix that an address really has: 8 for "https://", 7 otherwise.
inline size_t SchemeLength(std::string_view url) {
  return StartsWithNoCase(url, "https://") ? 8 : 7;
}
