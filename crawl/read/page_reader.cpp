#include "crawl/read/page_reader.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <unordered_map>

#include "crawl/read/stylesheet_reader.h"
#include "platform/ascii.h"

// A tokenizer of our own, after the one browsers use, so that the copy loads what they load. It
// goes once through the page, keeps no stack of open elements and looks back at nothing, so its
// time is linear in the page's size whatever the markup.

namespace {

constexpr size_t npos = std::string::npos;

// How often, in bytes read, the stop flag is looked at.
constexpr size_t kStopCheckBytes = 64 * 1024;

bool IsAsciiLetter(char c) {
  const char lower = LowerAscii(c);
  return lower >= 'a' && lower <= 'z';
}

bool IsAsciiDigit(char c) {
  return c >= '0' && c <= '9';
}

bool IsAsciiAlnum(char c) {
  return IsAsciiLetter(c) || IsAsciiDigit(c);
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

std::string DecodeReferences(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  size_t i = 0;
  while (i < raw.size()) {
    const size_t amp = raw.find('&', i);
    if (amp == npos) {
      out.append(raw.substr(i));
      break;
    }
    out.append(raw.substr(i, amp - i));
    i = DecodeReference(raw, amp, out);
  }
  return out;
}

std::string Decoded(std::string_view raw) {
  return raw.find('&') == npos ? std::string(raw) : DecodeReferences(raw);
}

// The addresses of a srcset value, as views into it.
std::vector<std::string_view> SrcsetViews(std::string_view srcset) {
  // Candidates are separated by commas; an address runs to white space, and a comma that ends
  // an address belongs to the list, not to it.
  std::vector<std::string_view> addresses;
  size_t i = 0;
  while (i < srcset.size()) {
    while (i < srcset.size() && (IsSpace(srcset[i]) || srcset[i] == ','))
      ++i;
    const size_t start = i;
    while (i < srcset.size() && !IsSpace(srcset[i]))
      ++i;
    std::string_view address = srcset.substr(start, i - start);
    bool listEnds = false;
    while (!address.empty() && address.back() == ',') {
      address.remove_suffix(1);
      listEnds = true;
    }
    if (!address.empty())
      addresses.push_back(address);
    if (listEnds)
      continue;
    // Skip the descriptor up to the comma that ends this candidate; parentheses may hold commas.
    int depth = 0;
    while (i < srcset.size() && (srcset[i] != ',' || depth > 0)) {
      depth += srcset[i] == '(' ? 1 : srcset[i] == ')' ? -1 : 0;
      ++i;
    }
  }
  return addresses;
}

// The words of a rel attribute that make a link element something the page needs.
bool IsNeededLink(std::string_view rel) {
  size_t i = 0;
  while (i < rel.size()) {
    while (i < rel.size() && IsSpace(rel[i]))
      ++i;
    const size_t start = i;
    while (i < rel.size() && !IsSpace(rel[i]))
      ++i;
    const std::string_view word = rel.substr(start, i - start);
    for (std::string_view needed : {"stylesheet", "icon", "apple-touch-icon", "preload",
                                    "modulepreload", "prefetch", "manifest"}) {
      if (EqualsNoCase(word, needed))
        return true;
    }
  }
  return false;
}

// Whether a list of words (separated by white space or commas) holds the word.
bool HasWord(std::string_view words, std::string_view word) {
  size_t i = 0;
  while (i < words.size()) {
    while (i < words.size() && (IsSpace(words[i]) || words[i] == ','))
      ++i;
    const size_t start = i;
    while (i < words.size() && !IsSpace(words[i]) && words[i] != ',')
      ++i;
    if (i > start && EqualsNoCase(words.substr(start, i - start), word))
      return true;
  }
  return false;
}

// Elements whose content is text up to their end tag, not markup. A browser that runs scripts
// reads <noscript> so too; scripts have states of their own.
bool IsRawText(std::string_view tag) {
  for (std::string_view name :
       {"style", "xmp", "iframe", "noembed", "noframes", "noscript", "textarea", "title"}) {
    if (tag == name)
      return true;
  }
  return false;
}

// Ends a tag name: white space, "/" or ">".
bool EndsTagName(char c) {
  return IsSpace(c) || c == '/' || c == '>';
}

// The attributes read; of each, a tag's first counts.
enum Attribute {
  kHref,
  kSrc,
  kSrcset,
  kRel,
  kType,
  kPoster,
  kData,
  kBackground,
  kStyle,
  kName,
  kContent,
  kEncoding,
  kColor,
  kFace,
  kSize,
  kCount
};
constexpr std::string_view kAttributeNames[kCount] = {
    "href",  "src",  "srcset",  "rel",      "type",  "poster", "data", "background",
    "style", "name", "content", "encoding", "color", "face",   "size"};

// An attribute's value as written: the bytes [begin, end) of the page.
struct RawValue {
  size_t begin = 0;
  size_t end = 0;
  char quote = 0;
  bool present = false;
};

// A tag or attribute name in lower case when it is short enough to be one read here, else empty;
// a long name is never copied.
class ShortName {
 public:
  explicit ShortName(std::string_view name) {
    if (name.size() > sizeof m_text)
      return;
    for (size_t k = 0; k < name.size(); ++k)
      m_text[k] = LowerAscii(name[k]);
    m_size = name.size();
  }
  std::string_view View() const { return {m_text, m_size}; }

 private:
  char m_text[16] = {};
  size_t m_size = 0;
};

class PageTokenizer {
 public:
  PageTokenizer(std::string_view html, const std::atomic<int>* stop,
                std::vector<std::string>* tags = nullptr)
      : m_html(html), m_stop(stop), m_tags(tags) {}

  PageLinks Read() {
    while (Next()) {
    }
    return std::move(m_links);
  }

 private:
  // Whether the reading is to stop, looked at once in kStopCheckBytes from `at`.
  bool Stopped(size_t at) {
    if (at < m_nextCheck)
      return false;
    m_nextCheck = at + kStopCheckBytes;
    return m_stop != nullptr && m_stop->load(std::memory_order_relaxed) != 0;
  }

  size_t Find(char c, size_t from) const {
    if (from >= m_html.size())
      return npos;
    const void* found = std::memchr(m_html.data() + from, c, m_html.size() - from);
    return found == nullptr ? npos : static_cast<const char*>(found) - m_html.data();
  }

  // Reads the text from m_at and the markup after it; false when there is nothing more to read.
  bool Next() {
    if (Stopped(m_at))
      return false;
    const size_t lt = Find('<', m_at);
    if (lt == npos || lt + 1 >= m_html.size())
      return false;
    m_at = lt + 1;
    const char c = m_html[m_at];
    if (IsAsciiLetter(c))
      return StartTag();
    if (c == '!' && m_html.substr(m_at + 1, 2) == "--") {
      Comment(m_at + 3);
      return true;
    }
    // In SVG and MathML a CDATA section is text, whatever it holds.
    if (c == '!' && InForeign() && m_html.substr(m_at + 1, 7) == "[CDATA[") {
      const size_t end = m_html.find("]]>", m_at + 8);
      m_at = end == npos ? m_html.size() : end + 3;
      return end != npos;
    }
    if (c == '/') {
      if (m_at + 1 >= m_html.size())
        return false;
      if (m_html[m_at + 1] == '>') {
        m_at += 2;
        return true;
      }
      if (IsAsciiLetter(m_html[m_at + 1])) {
        ++m_at;
        std::string_view name;
        if (!Tag(name, nullptr))
          return false;
        EndTag(ShortName(name).View());
        return true;
      }
    }
    if (c == '/' || c == '!' || c == '?') {  // a bogus comment
      const size_t gt = Find('>', m_at);
      m_at = gt == npos ? m_html.size() : gt + 1;
    }
    return true;  // else the '<' was text
  }

  // A comment whose text starts at `from`: it ends at "-->" or "--!>"; "<!-->" and "<!--->" are
  // empty ones.
  void Comment(size_t from) {
    const std::string_view html = m_html;
    if (from < html.size() && html[from] == '>') {
      m_at = from + 1;
      return;
    }
    if (html.substr(from, 2) == "->") {
      m_at = from + 2;
      return;
    }
    for (size_t gt = Find('>', from); gt != npos; gt = Find('>', gt + 1)) {
      if ((gt >= from + 2 && html.substr(gt - 2, 2) == "--") ||
          (gt >= from + 3 && html.substr(gt - 3, 3) == "--!")) {
        m_at = gt + 1;
        return;
      }
    }
    m_at = html.size();
  }

  // Reads a tag from its name at m_at to past its '>', keeping in `values` (nullptr for an end
  // tag) the first value of each attribute read here. False when the page ends inside the tag,
  // which browsers then drop, or when the reading is to stop.
  bool Tag(std::string_view& name, RawValue* values) {
    const std::string_view html = m_html;
    const size_t size = html.size();
    size_t i = m_at;
    while (i < size && !IsSpace(html[i]) && html[i] != '/' && html[i] != '>')
      ++i;
    name = html.substr(m_at, i - m_at);
    std::string record;
    if (m_tags != nullptr)
      record = (values == nullptr ? "/" : "") + ToLowerAscii(name);
    for (;;) {
      while (i < size && (IsSpace(html[i]) || html[i] == '/'))
        ++i;
      if (i >= size || Stopped(i))
        return false;
      if (html[i] == '>') {
        m_at = i + 1;
        m_selfClosing = html[i - 1] == '/';
        if (m_tags != nullptr)
          m_tags->push_back(std::move(record));
        return true;
      }
      const size_t nameBegin = i++;  // a leading '=' is part of the name
      while (i < size && !IsSpace(html[i]) && html[i] != '/' && html[i] != '>' && html[i] != '=')
        ++i;
      const std::string_view attribute = html.substr(nameBegin, i - nameBegin);
      if (m_tags != nullptr)
        record += " " + ToLowerAscii(attribute);
      while (i < size && IsSpace(html[i]))
        ++i;
      RawValue value{i, i, 0, true};
      if (i < size && html[i] == '=') {
        ++i;
        while (i < size && IsSpace(html[i]))
          ++i;
        if (i >= size)
          return false;
        const char quote = html[i];
        if (quote == '"' || quote == '\'') {
          const size_t close = Find(quote, i + 1);
          if (close == npos)
            return false;
          value = {i + 1, close, quote, true};
          i = close + 1;
        } else {
          const size_t begin = i;
          while (i < size && !IsSpace(html[i]) && html[i] != '>')
            ++i;
          value = {begin, i, 0, true};
        }
      }
      if (values != nullptr)
        Keep(values, attribute, value);
    }
  }

  static void Keep(RawValue* values, std::string_view name, const RawValue& value) {
    const ShortName lower(name);
    for (size_t k = 0; k < kCount; ++k) {
      if (lower.View() == kAttributeNames[k]) {
        if (!values[k].present)
          values[k] = value;
        return;
      }
    }
  }

  bool StartTag() {
    RawValue values[kCount];
    std::string_view rawName;
    if (!Tag(rawName, values))
      return false;
    const ShortName name(rawName);
    const std::string_view tag = name.View();
    Report(tag, values);
    if (InForeign()) {
      if (!BreaksOut(tag, values)) {
        if (!m_selfClosing)
          PushForeign(tag, IsIntegrationPoint(tag, values));
        return true;  // markup all through: no raw text, no script states
      }
      PopForeign();
    }
    if (tag == "svg" || tag == "math") {
      if (!m_selfClosing)
        PushForeign(tag, false);
      return true;
    }
    if (tag == "plaintext")
      return false;  // the rest of the page is text
    if (tag == "script")
      return PastEndTag(ScriptEnd(m_at));
    // Inside a <noscript> read as markup, another is an element like any.
    if (tag == "noscript" && m_inNoscript)
      return true;
    return IsRawText(tag) ? RawText(tag) : true;
  }

  // Inside SVG or MathML, and not in the HTML of one of their integration points.
  bool InForeign() const { return !m_foreign.empty() && !m_foreign.back().integration; }

  void PushForeign(std::string_view tag, bool integration) {
    m_foreign.push_back({std::string(tag), integration});
    ++m_foreignNames[m_foreign.back().name];
  }

  // Back to HTML: foreign elements closed up to the nearest integration point, or all.
  void PopForeign() {
    while (InForeign())
      PopOne();
  }

  void PopOne() {
    auto count = m_foreignNames.find(m_foreign.back().name);
    if (--count->second == 0)
      m_foreignNames.erase(count);
    m_foreign.pop_back();
  }

  // An end tag closes the foreign element it names, and those opened inside it; in foreign
  // content, </p> and </br> go back to HTML as their start tags would.
  void EndTag(std::string_view tag) {
    if (m_foreign.empty())
      return;
    if (InForeign() && (tag == "p" || tag == "br"))
      return PopForeign();
    if (m_foreignNames.count(std::string(tag)) == 0)
      return;
    while (m_foreign.back().name != tag)
      PopOne();
    PopOne();
  }

  // The HTML elements whose start tag ends SVG or MathML content, as browsers have it.
  static bool BreaksOut(std::string_view tag, const RawValue* values) {
    static constexpr std::string_view kBreakers[] = {
        "b",      "big",  "blockquote", "body",  "br",   "center", "code",    "dd",   "div",
        "dl",     "dt",   "em",         "embed", "h1",   "h2",     "h3",      "h4",   "h5",
        "h6",     "head", "hr",         "i",     "img",  "li",     "listing", "menu", "meta",
        "nobr",   "ol",   "p",          "pre",   "ruby", "s",      "small",   "span", "strong",
        "strike", "sub",  "sup",        "table", "tt",   "u",      "ul",      "var"};
    if (tag == "font")
      return values[kColor].present || values[kFace].present || values[kSize].present;
    return std::find(std::begin(kBreakers), std::end(kBreakers), tag) != std::end(kBreakers);
  }

  // SVG and MathML elements whose content is HTML again.
  bool IsIntegrationPoint(std::string_view tag, const RawValue* values) const {
    if (tag == "foreignobject" || tag == "desc" || tag == "title" || tag == "mi" || tag == "mo" ||
        tag == "mn" || tag == "ms" || tag == "mtext")
      return true;
    if (tag != "annotation-xml" || !values[kEncoding].present)
      return false;
    const std::string encoding = Decoded(Raw(values[kEncoding]));
    return EqualsNoCase(encoding, "text/html") || EqualsNoCase(encoding, "application/xhtml+xml");
  }

  // Whether an end tag of the element starts at html[lt]: "</", the name in any case, then
  // white space, '/' or '>'.
  bool EndTagAt(size_t lt, std::string_view tag) const {
    const size_t after = lt + 2 + tag.size();
    return after < m_html.size() && m_html[lt + 1] == '/' &&
           StartsWithNoCase(m_html.substr(lt + 2), tag) && EndsTagName(m_html[after]);
  }

  // The '<' of the end tag of a raw-text element whose content starts at begin; npos when the
  // page ends first or the reading is to stop.
  size_t RawTextEnd(std::string_view tag, size_t begin) {
    for (size_t lt = Find('<', begin); lt != npos; lt = Find('<', lt + 1)) {
      if (Stopped(lt))
        return npos;
      if (EndTagAt(lt, tag))
        return lt;
    }
    return npos;
  }

  // The end of a script, through its escaped states: after "<!--" a "<script" opens a
  // double-escaped part in which "</script>" ends nothing, and "-->" leaves them both.
  size_t ScriptEnd(size_t begin) {
    const std::string_view html = m_html;
    enum class State { Data, Escaped, DoubleEscaped } state = State::Data;
    int dashes = 0;  // of a "-->" that would leave the escaped states
    size_t i = begin;
    while (i < html.size()) {
      if (Stopped(i))
        return npos;
      if (state == State::Data) {
        const size_t lt = Find('<', i);
        if (lt == npos)
          return npos;
        if (EndTagAt(lt, "script"))
          return lt;
        i = lt + 1;
        if (html.substr(lt + 1, 3) == "!--") {
          state = State::Escaped;
          dashes = 2;
          i = lt + 4;
        }
        continue;
      }
      const char c = html[i];
      if (c == '-') {
        ++dashes;
        ++i;
        continue;
      }
      if (c == '>' && dashes >= 2)
        state = State::Data;
      dashes = 0;
      if (c != '<') {
        ++i;
        continue;
      }
      if (state == State::Escaped && EndTagAt(i, "script"))
        return i;
      // A name after "<" (escaped) or "</" (double-escaped) may change the state.
      const bool closing = i + 1 < html.size() && html[i + 1] == '/';
      size_t name = i + 1 + (closing ? 1 : 0);
      size_t end = name;
      while (end < html.size() && IsAsciiLetter(html[end]))
        ++end;
      const bool script = end < html.size() && end - name == 6 &&
                          EqualsNoCase(html.substr(name, 6), "script") && EndsTagName(html[end]);
      if (script && state == State::Escaped && !closing)
        state = State::DoubleEscaped;
      else if (script && state == State::DoubleEscaped && closing)
        state = State::Escaped;
      i = std::max(end, i + 1);
    }
    return npos;
  }

  // Past the end tag whose '<' is at end, where the element's content ends; false when the page
  // ended first.
  bool PastEndTag(size_t end) {
    if (end == npos)
      return false;
    m_at = end + 2;
    std::string_view name;
    return Tag(name, nullptr);
  }

  // Past the content of a raw-text element, which starts at m_at, and past its end tag. A
  // <style> is read as a stylesheet; a <noscript> as the markup a browser without scripts sees,
  // up to where a browser with them ends it.
  bool RawText(std::string_view tag) {
    const std::string_view html = m_html;
    const size_t begin = m_at;
    const size_t end = RawTextEnd(tag, begin);
    const size_t contentEnd = end == npos ? html.size() : end;
    if (tag == "style") {
      for (StylesheetLink& link :
           ReadStylesheetLinks(html.substr(begin, contentEnd - begin), m_stop))
        m_links.references.push_back(
            {std::move(link.link), false, begin + link.begin, begin + link.end, 0, true, true});
    } else if (tag == "noscript") {
      PageTokenizer inside(html.substr(0, contentEnd), m_stop, m_tags);
      inside.m_at = begin;
      inside.m_inNoscript = true;
      for (PageReference& reference : inside.Read().references)
        m_links.references.push_back(std::move(reference));
    }
    return PastEndTag(end);
  }

  std::string_view Raw(const RawValue& value) const {
    return m_html.substr(value.begin, value.end - value.begin);
  }

  void Add(const RawValue& value, bool page) {
    if (!value.present)
      return;
    const std::string decoded = Decoded(Raw(value));
    const std::string_view link = TrimSpace(decoded);
    if (!link.empty())
      m_links.references.push_back({std::string(link), page, value.begin, value.end, value.quote});
  }

  // A srcset candidate or style url is placed in the page's bytes where the value has no
  // character references, else in the value decoded.
  PageReference Placed(std::string link, const RawValue& value, bool plain, size_t begin,
                       size_t end, bool css) const {
    PageReference reference{std::move(link), false, begin, end, value.quote, css};
    if (plain) {
      reference.begin += value.begin;
      reference.end += value.begin;
    } else {
      reference.inDecodedValue = true;
      reference.valueBegin = value.begin;
      reference.valueEnd = value.end;
    }
    return reference;
  }

  void AddSrcset(const RawValue& value) {
    if (!value.present)
      return;
    const std::string_view raw = Raw(value);
    const bool plain = raw.find('&') == npos;
    const std::string decoded = plain ? std::string() : DecodeReferences(raw);
    const std::string_view text = plain ? raw : std::string_view(decoded);
    for (std::string_view address : SrcsetViews(text)) {
      const size_t at = static_cast<size_t>(address.data() - text.data());
      m_links.references.push_back(
          Placed(std::string(address), value, plain, at, at + address.size(), false));
    }
  }

  void AddStyle(const RawValue& value) {
    const std::string_view raw = Raw(value);
    const bool plain = raw.find('&') == npos;
    const std::string decoded = plain ? std::string() : DecodeReferences(raw);
    for (StylesheetLink& link : ReadStylesheetLinks(plain ? raw : decoded, m_stop))
      m_links.references.push_back(
          Placed(std::move(link.link), value, plain, link.begin, link.end, true));
  }

  void Report(std::string_view tag, const RawValue* values) {
    if (tag == "a" || tag == "area") {
      const size_t before = m_links.references.size();
      Add(values[kHref], true);
      if (m_links.references.size() > before && values[kRel].present &&
          HasWord(Decoded(Raw(values[kRel])), "nofollow"))
        m_links.references.back().nofollow = true;
    } else if (tag == "meta") {
      if (values[kName].present && values[kContent].present &&
          EqualsNoCase(TrimSpace(Decoded(Raw(values[kName]))), "robots")) {
        const std::string content = Decoded(Raw(values[kContent]));
        m_links.nofollow =
            m_links.nofollow || HasWord(content, "nofollow") || HasWord(content, "none");
      }
    } else if (tag == "frame" || tag == "iframe") {
      Add(values[kSrc], true);
    } else if (tag == "img" || tag == "source") {
      Add(values[kSrc], false);
      AddSrcset(values[kSrcset]);
    } else if (tag == "link") {
      if (values[kRel].present && IsNeededLink(Decoded(Raw(values[kRel]))))
        Add(values[kHref], false);
    } else if (tag == "script" || tag == "audio" || tag == "track" || tag == "embed") {
      Add(values[kSrc], false);
    } else if (tag == "video") {
      Add(values[kSrc], false);
      Add(values[kPoster], false);
    } else if (tag == "object") {
      Add(values[kData], false);
    } else if (tag == "input") {
      if (values[kType].present && EqualsNoCase(TrimSpace(Decoded(Raw(values[kType]))), "image"))
        Add(values[kSrc], false);
    } else if (tag == "body") {
      Add(values[kBackground], false);
    } else if (tag == "base") {
      if (!m_links.base && values[kHref].present) {
        m_links.base = std::string(TrimSpace(Decoded(Raw(values[kHref]))));
        m_links.baseBegin = values[kHref].begin;
        m_links.baseEnd = values[kHref].end;
        m_links.baseQuote = values[kHref].quote;
      }
    }
    if (values[kStyle].present)
      AddStyle(values[kStyle]);
  }

  std::string_view m_html;
  const std::atomic<int>* m_stop;
  std::vector<std::string>* m_tags;  // every tag read, with its attributes' names, when wanted
  bool m_inNoscript = false;         // reading the markup of a <noscript>
  size_t m_at = 0;                   // where reading goes on
  bool m_selfClosing = false;        // the last tag read ended with "/>"
  // The SVG and MathML elements open, innermost last, and how many of each name.
  struct ForeignElement {
    std::string name;
    bool integration = false;  // its content is HTML
  };
  std::vector<ForeignElement> m_foreign;
  std::unordered_map<std::string, int> m_foreignNames;
  size_t m_nextCheck = kStopCheckBytes;
  PageLinks m_links;
};

}  // namespace

std::string DecodeCharacterReferences(std::string_view raw) {
  return Decoded(raw);
}

std::vector<std::string> SrcsetAddresses(std::string_view srcset) {
  std::vector<std::string> addresses;
  for (std::string_view address : SrcsetViews(srcset))
    addresses.emplace_back(address);
  return addresses;
}

PageLinks ReadPage(std::string_view html, const std::atomic<int>* stop) {
  return PageTokenizer(html, stop).Read();
}

std::vector<std::string> PageTags(std::string_view html) {
  std::vector<std::string> tags;
  PageTokenizer(html, nullptr, &tags).Read();
  return tags;
}
