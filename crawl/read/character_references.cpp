#include "crawl/read/character_references.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "crawl/read/stylesheet_reader.h"
#include "platform/ascii.h"

namespace {

bool IsAsciiDigit(char c) {
  return c >= '0' && c <= '9';
}

bool IsAsciiAlnum(char c) {
  const char lower = LowerAscii(c);
  return IsAsciiDigit(c) || (lower >= 'a' && lower <= 'z');
}

bool IsHexDigit(char c) {
  const char lower = LowerAscii(c);
  return IsAsciiDigit(c) || (lower >= 'a' && lower <= 'f');
}

// The Latin-1 character names, U+00A0 to U+00FF in order.
constexpr std::string_view kLatin1Names[] = {
    "nbsp",   "iexcl",  "cent",   "pound",  "curren", "yen",    "brvbar", "sect",   "uml",
    "copy",   "ordf",   "laquo",  "not",    "shy",    "reg",    "macr",   "deg",    "plusmn",
    "sup2",   "sup3",   "acute",  "micro",  "para",   "middot", "cedil",  "sup1",   "ordm",
    "raquo",  "frac14", "frac12", "frac34", "iquest", "Agrave", "Aacute", "Acirc",  "Atilde",
    "Auml",   "Aring",  "AElig",  "Ccedil", "Egrave", "Eacute", "Ecirc",  "Euml",   "Igrave",
    "Iacute", "Icirc",  "Iuml",   "ETH",    "Ntilde", "Ograve", "Oacute", "Ocirc",  "Otilde",
    "Ouml",   "times",  "Oslash", "Ugrave", "Uacute", "Ucirc",  "Uuml",   "Yacute", "THORN",
    "szlig",  "agrave", "aacute", "acirc",  "atilde", "auml",   "aring",  "aelig",  "ccedil",
    "egrave", "eacute", "ecirc",  "euml",   "igrave", "iacute", "icirc",  "iuml",   "eth",
    "ntilde", "ograve", "oacute", "ocirc",  "otilde", "ouml",   "divide", "oslash", "ugrave",
    "uacute", "ucirc",  "uuml",   "yacute", "thorn",  "yuml"};
static_assert(std::size(kLatin1Names) == 96);

struct NamedCharacter {
  std::string_view name;
  uint32_t code = 0;
  bool needsSemicolon = false;  // only &apos; does: the older names are read without it too
};

constexpr NamedCharacter kOtherNames[] = {
    {"amp", '&'},  {"AMP", '&'},  {"lt", '<'},    {"LT", '<'},   {"gt", '>'},         {"GT", '>'},
    {"quot", '"'}, {"QUOT", '"'}, {"COPY", 0xA9}, {"REG", 0xAE}, {"apos", '\'', true}};

// Sorted by name for a binary search.
constexpr auto kNamedCharacters = [] {
  std::array<NamedCharacter, std::size(kLatin1Names) + std::size(kOtherNames)> table{};
  size_t n = 0;
  for (size_t k = 0; k < std::size(kLatin1Names); ++k)
    table[n++] = {kLatin1Names[k], static_cast<uint32_t>(0xA0 + k)};
  for (const NamedCharacter& other : kOtherNames)
    table[n++] = other;
  std::sort(table.begin(), table.end(),
            [](const NamedCharacter& a, const NamedCharacter& b) { return a.name < b.name; });
  return table;
}();

constexpr size_t kLongestName =
    std::max_element(kNamedCharacters.begin(), kNamedCharacters.end(),
                     [](const NamedCharacter& a, const NamedCharacter& b) {
                       return a.name.size() < b.name.size();
                     })
        ->name.size();

const NamedCharacter* FindNamed(std::string_view name) {
  auto it = std::lower_bound(
      kNamedCharacters.begin(), kNamedCharacters.end(), name,
      [](const NamedCharacter& entry, std::string_view key) { return entry.name < key; });
  return it != kNamedCharacters.end() && it->name == name ? &*it : nullptr;
}

// What browsers make of &#128; to &#159;: the Windows-1252 characters of those bytes (0: none).
constexpr uint16_t kWindows1252[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

// Appends what the character reference whose '&' is at text[at] stands for, as an attribute
// value reads it, and returns the index past it; appends the '&' alone when it starts none.
size_t DecodeReference(std::string_view text, size_t at, std::string& out) {
  size_t i = at + 1;
  if (i < text.size() && text[i] == '#') {
    ++i;
    const bool hex = i < text.size() && LowerAscii(text[i]) == 'x';
    if (hex)
      ++i;
    const size_t digits = i;
    uint32_t code = 0;
    while (i < text.size() && (hex ? IsHexDigit(text[i]) : IsAsciiDigit(text[i]))) {
      const char lower = LowerAscii(text[i]);
      const uint32_t digit = IsAsciiDigit(lower) ? lower - '0' : lower - 'a' + 10;
      code = std::min<uint32_t>(code * (hex ? 16 : 10) + digit, 0x110000);  // stays out of range
      ++i;
    }
    if (i == digits) {
      out += '&';
      return at + 1;
    }
    if (i < text.size() && text[i] == ';')
      ++i;
    if (code >= 0x80 && code <= 0x9F && kWindows1252[code - 0x80] != 0)
      code = kWindows1252[code - 0x80];
    AppendUtf8(out, code);
    return i;
  }
  // Only names of kLongestName letters or fewer can be known, so the look ahead stays short.
  size_t end = i;
  while (end < text.size() && end - i <= kLongestName && IsAsciiAlnum(text[end]))
    ++end;
  const NamedCharacter* named = FindNamed(text.substr(i, end - i));
  if (named != nullptr && end < text.size() && text[end] == ';') {
    AppendUtf8(out, named->code);
    return end + 1;
  }
  // Without its ';', "?a=1&copy=2" is a query string, not a copyright sign.
  if (named != nullptr && !named->needsSemicolon &&
      (end == text.size() || (text[end] != '=' && !IsAsciiAlnum(text[end])))) {
    AppendUtf8(out, named->code);
    return end;
  }
  out += '&';
  return at + 1;
}

}  // namespace

std::string DecodeCharacterReferences(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  size_t i = 0;
  while (i < raw.size()) {
    const size_t amp = raw.find('&', i);
    if (amp == std::string_view::npos) {
      out.append(raw.substr(i));
      break;
    }
    out.append(raw.substr(i, amp - i));
    i = DecodeReference(raw, amp, out);
  }
  return out;
}

std::string Decoded(std::string_view raw) {
  return raw.find('&') == std::string_view::npos ? std::string(raw)
                                                 : DecodeCharacterReferences(raw);
}
