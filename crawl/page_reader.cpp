#include "crawl/page_reader.h"

#include <libxml/HTMLparser.h>
#include <libxml/parser.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <mutex>

#include "crawl/stylesheet_reader.h"

namespace {

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

std::string_view TrimSpace(std::string_view text) {
  while (!text.empty() && IsSpace(text.front()))
    text.remove_prefix(1);
  while (!text.empty() && IsSpace(text.back()))
    text.remove_suffix(1);
  return text;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size())
    return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

// The words of a rel attribute that make a link element something the page needs.
bool IsNeededLink(std::string_view rel) {
  size_t i = 0;
  while (i < rel.size()) {
    while (i < rel.size() && IsSpace(rel[i]))
      ++i;
    size_t start = i;
    while (i < rel.size() && !IsSpace(rel[i]))
      ++i;
    std::string_view word = rel.substr(start, i - start);
    for (std::string_view needed : {"stylesheet", "icon", "apple-touch-icon", "preload",
                                    "modulepreload", "prefetch", "manifest"}) {
      if (EqualsNoCase(word, needed))
        return true;
    }
  }
  return false;
}

// Start tags, end tags and text as libxml2's HTML parser reports them: names in lower case,
// attribute values with their character references decoded.
class Reader {
 public:
  explicit Reader(PageLinks& links) : m_links(links) {}

  static void OnStart(void* self, const xmlChar* name, const xmlChar** attributes) {
    static_cast<Reader*>(self)->Start(Text(name), attributes);
  }
  static void OnEnd(void* self, const xmlChar* name) {
    auto* reader = static_cast<Reader*>(self);
    if (reader->m_inStyle && Text(name) == "style") {
      reader->AddStyle(reader->m_style);
      reader->m_style.clear();
      reader->m_inStyle = false;
    }
  }
  static void OnText(void* self, const xmlChar* text, int length) {
    auto* reader = static_cast<Reader*>(self);
    if (reader->m_inStyle)
      reader->m_style.append(reinterpret_cast<const char*>(text), static_cast<size_t>(length));
  }

 private:
  static std::string_view Text(const xmlChar* text) {
    return text != nullptr ? std::string_view(reinterpret_cast<const char*>(text))
                           : std::string_view();
  }
  static std::optional<std::string_view> Attribute(const xmlChar** attributes,
                                                   std::string_view name) {
    for (size_t i = 0; attributes != nullptr && attributes[i] != nullptr; i += 2) {
      if (Text(attributes[i]) == name && attributes[i + 1] != nullptr)
        return Text(attributes[i + 1]);
    }
    return std::nullopt;
  }
  void Add(std::optional<std::string_view> value, bool page) {
    if (!value)
      return;
    std::string_view link = TrimSpace(*value);
    if (!link.empty())
      m_links.references.push_back({std::string(link), page});
  }
  void AddSrcset(std::optional<std::string_view> value) {
    if (!value)
      return;
    for (std::string& link : SrcsetAddresses(*value))
      m_links.references.push_back({std::move(link), false});
  }
  void AddStyle(std::string_view css) {
    for (std::string& link : ReadStylesheet(css))
      m_links.references.push_back({std::move(link), false});
  }

  void Start(std::string_view tag, const xmlChar** attributes) {
    auto attribute = [&](std::string_view name) { return Attribute(attributes, name); };
    if (tag == "a" || tag == "area") {
      Add(attribute("href"), true);
    } else if (tag == "frame" || tag == "iframe") {
      Add(attribute("src"), true);
    } else if (tag == "img" || tag == "source") {
      Add(attribute("src"), false);
      AddSrcset(attribute("srcset"));
    } else if (tag == "link") {
      std::optional<std::string_view> rel = attribute("rel");
      if (rel && IsNeededLink(*rel))
        Add(attribute("href"), false);
    } else if (tag == "script" || tag == "audio" || tag == "track" || tag == "embed") {
      Add(attribute("src"), false);
    } else if (tag == "video") {
      Add(attribute("src"), false);
      Add(attribute("poster"), false);
    } else if (tag == "object") {
      Add(attribute("data"), false);
    } else if (tag == "input") {
      std::optional<std::string_view> type = attribute("type");
      if (type && EqualsNoCase(TrimSpace(*type), "image"))
        Add(attribute("src"), false);
    } else if (tag == "body") {
      Add(attribute("background"), false);
    } else if (tag == "base") {
      std::optional<std::string_view> href = attribute("href");
      if (!m_links.base && href)
        m_links.base = std::string(TrimSpace(*href));
    } else if (tag == "style") {
      m_inStyle = true;
      m_style.clear();
    }
    if (std::optional<std::string_view> style = attribute("style"))
      AddStyle(*style);
  }

  PageLinks& m_links;
  bool m_inStyle = false;
  std::string m_style;
};

}  // namespace

std::vector<std::string> SrcsetAddresses(std::string_view srcset) {
  // Candidates are separated by commas; an address runs to white space, and a comma that ends
  // an address belongs to the list, not to it.
  std::vector<std::string> addresses;
  size_t i = 0;
  while (i < srcset.size()) {
    while (i < srcset.size() && (IsSpace(srcset[i]) || srcset[i] == ','))
      ++i;
    size_t start = i;
    while (i < srcset.size() && !IsSpace(srcset[i]))
      ++i;
    std::string_view address = srcset.substr(start, i - start);
    bool listEnds = false;
    while (!address.empty() && address.back() == ',') {
      address.remove_suffix(1);
      listEnds = true;
    }
    if (!address.empty())
      addresses.emplace_back(address);
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

PageLinks ReadPage(std::string_view html) {
  static std::once_flag once;
  std::call_once(once, [] { xmlInitParser(); });
  PageLinks links;
  Reader reader(links);
  htmlSAXHandler handler{};
  handler.startElement = &Reader::OnStart;
  handler.endElement = &Reader::OnEnd;
  handler.characters = &Reader::OnText;
  handler.cdataBlock = &Reader::OnText;
  // The page is read as UTF-8 bytes; broken markup is read on, never reported.
  htmlParserCtxtPtr parser =
      htmlCreatePushParserCtxt(&handler, &reader, nullptr, 0, nullptr, XML_CHAR_ENCODING_UTF8);
  if (parser == nullptr)
    return links;
  htmlCtxtUseOptions(
      parser, HTML_PARSE_RECOVER | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING | HTML_PARSE_NONET);
  constexpr size_t kPiece = 1 << 20;
  for (size_t at = 0; at < html.size(); at += kPiece) {
    size_t n = std::min(kPiece, html.size() - at);
    htmlParseChunk(parser, html.data() + at, static_cast<int>(n), 0);
  }
  htmlParseChunk(parser, nullptr, 0, 1);
  htmlFreeParserCtxt(parser);
  return links;
}
