#include "crawl/read/page_reader.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "crawl/read/character_references.h"
#include "crawl/read/markup_contexts.h"
#include "crawl/read/stylesheet_reader.h"
#include "platform/ascii.h"

// A tokenizer of our own, after the one browsers use, so that the copy loads what they load. It
// goes once through the page, keeps no stack of open elements and looks back at nothing, so its
// time is linear in the page's size whatever the markup.

namespace {

constexpr size_t npos = std::string::npos;

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
    static constexpr std::string_view kNeeded[] = {
        "stylesheet",    "icon",     "apple-touch-icon", "preload",
        "modulepreload", "prefetch", "manifest"};
    for (std::string_view needed : kNeeded) {
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
  StopCheck Stops() {
    return [this](size_t at) { return Stopped(at); };
  }

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
    if (c == '!' && m_foreign.Inside() && m_html.substr(m_at + 1, 7) == "[CDATA[") {
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
        m_foreign.EndTag(ShortName(name).View());
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
      if (i < size && html[i] == '=' && !Value(i, value))
        return false;
      if (values != nullptr)
        Keep(values, attribute, value);
    }
  }

  // Reads an attribute's value from its '=' at i to past its end. False when the page ends
  // before the value does.
  bool Value(size_t& i, RawValue& value) const {
    const std::string_view html = m_html;
    const size_t size = html.size();
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
      return true;
    }
    const size_t begin = i;
    while (i < size && !IsSpace(html[i]) && html[i] != '>')
      ++i;
    value = {begin, i, 0, true};
    return true;
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
    const bool fontAttributes =
        values[kColor].present || values[kFace].present || values[kSize].present;
    const std::string encoding =
        values[kEncoding].present ? Decoded(Raw(values[kEncoding])) : std::string();
    if (m_foreign.StartTag(tag, m_selfClosing, fontAttributes, encoding))
      return true;  // markup all through: no raw text, no script states
    if (tag == "plaintext")
      return false;  // the rest of the page is text
    if (tag == "script")
      return PastEndTag(ScriptEnd(m_html, m_at, Stops()));
    // Inside a <noscript> read as markup, another is an element like any.
    if (tag == "noscript" && m_inNoscript)
      return true;
    return IsRawText(tag) ? RawText(tag) : true;
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
    const size_t end = RawTextEnd(html, tag, begin, Stops());
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
    const std::string decoded = plain ? std::string() : DecodeCharacterReferences(raw);
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
    const std::string decoded = plain ? std::string() : DecodeCharacterReferences(raw);
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
  ForeignContent m_foreign;
  size_t m_nextCheck = kStopCheckBytes;
  PageLinks m_links;
};

}  // namespace

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
