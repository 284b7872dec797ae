#include "crawl/copy/link_converter.h"

#include <algorithm>
#include <map>
#include <vector>

#include "crawl/read/character_references.h"
#include "crawl/read/page_reader.h"
#include "crawl/read/stylesheet_reader.h"
#include "platform/ascii.h"
#include "platform/url_resolve.h"

namespace {

constexpr size_t npos = std::string::npos;

// One replacement: the bytes [begin, end) become text.
struct Edit {
  size_t begin;
  size_t end;
  std::string text;
};

// Where a reference stands, which decides how its text is written.
struct Place {
  char quote = 0;  // the HTML attribute's quote; 0 unquoted, or no attribute
  bool attribute = true;
};

// One byte of an HTML attribute value, written so that it reads back as itself and can end
// nothing, whatever the element around it is read as: "&", quotes, "<", ">" and "`" as
// character references always, and in an unquoted value what would end it too.
void AppendAttributeByte(std::string& out, unsigned char c, char quote) {
  switch (c) {
    case '&':
      out += "&amp;";
      return;
    case '<':
      out += "&lt;";
      return;
    case '>':
      out += "&gt;";
      return;
    case '"':
      out += "&quot;";
      return;
    case '\'':
      out += "&#39;";
      return;
    case '`':
      out += "&#96;";
      return;
    default:
      break;
  }
  if (quote == 0 && (c <= 0x20 || c == '='))
    out += "&#" + std::to_string(c) + ";";
  else
    out += static_cast<char>(c);
}

std::string AttributeValue(std::string_view text, char quote) {
  std::string out;
  for (unsigned char c : text)
    AppendAttributeByte(out, c, quote);
  return out;
}

// Bytes that could end the context an address is written in, or mean something there, should
// a browser read that context otherwise than the page reader did: an attribute and its quote,
// a <style>, <script> or <noscript> read as text, a comment, a CSS url() or string, a script's
// string or template. Written %XX, which means the same in an address.
bool Unsafe(unsigned char c) {
  static constexpr ByteSet kUnsafe("<>\"'`\\(){}^");
  return c <= 0x20 || c == 0x7F || kUnsafe.Has(c);
}

// An address written where it stands, so that the reader (the HTML tokenizer, then the CSS
// tokenizer) gives back the address itself and nothing around it changes: what could end or
// change its context is %XX, and in an HTML attribute "&" is a character reference.
std::string Written(const std::string& address, const Place& place) {
  std::string out;
  for (unsigned char c : address) {
    if (Unsafe(c)) {
      AppendPercentEscaped(out, c);
    } else if (place.attribute) {
      AppendAttributeByte(out, c, place.quote);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// A link's fragment, as written.
std::string FragmentOf(const std::string& link) {
  const size_t hash = link.find('#');
  return hash == npos ? std::string() : link.substr(hash);
}

FoundReference Found(const std::string& link, const std::string& base) {
  FoundReference found;
  found.link = link;
  found.fragment = FragmentOf(link);
  // A fragment alone, or nothing, names the page itself: it stays as written.
  if (!link.empty() && link.front() != '#')
    found.resolved = ResolveLink(base, link).value_or(std::string());
  return found;
}

std::string Spliced(std::string_view text, std::vector<Edit> edits) {
  std::sort(edits.begin(), edits.end(),
            [](const Edit& a, const Edit& b) { return a.begin < b.begin; });
  std::string out;
  out.reserve(text.size());
  size_t at = 0;
  for (const Edit& edit : edits) {
    if (edit.begin < at || edit.end > text.size())
      continue;  // overlapping or out of the text: left as it is
    out.append(text.substr(at, edit.begin - at));
    out += edit.text;
    at = edit.end;
  }
  out.append(text.substr(at));
  return out;
}

bool IsPathByte(unsigned char c) {
  static constexpr ByteSet kMarks("-._~!$&'()*+,;=:@");
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         kMarks.Has(c);
}

std::vector<std::string> Segments(std::string_view path) {
  std::vector<std::string> segments;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string_view::npos)
      end = path.size();
    segments.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  return segments;
}

bool Halted(const std::atomic<int>* stop) {
  return stop != nullptr && stop->load(std::memory_order_relaxed) != 0;
}

}  // namespace

namespace {

// The edits of a page's references, its <base href> emptied with neutraliseBase.
std::vector<Edit> PageEdits(
    std::string_view text, const std::string& address,
    const std::function<std::optional<std::string>(const FoundReference&)>& replace,
    bool neutraliseBase, const std::atomic<int>* stop) {
  std::vector<Edit> edits;
  PageLinks links = ReadPage(text, stop);
  std::string base = address;
  if (links.base)
    base = ResolveLink(address, *links.base).value_or(address);
  // Values written with character references: edited decoded, then written again whole.
  std::map<size_t, std::vector<Edit>> decodedEdits;  // by the value's first byte
  std::map<size_t, const PageReference*> decodedValues;
  for (const PageReference& reference : links.references) {
    if (Halted(stop))
      break;  // what is read so far is of no use: the caller keeps the file as it is
    if (reference.begin == npos)
      continue;
    std::optional<std::string> replacement = replace(Found(reference.link, base));
    if (!replacement)
      continue;
    Place place;
    place.quote = reference.quote;
    place.attribute = !reference.inStyleBlock && !reference.inDecodedValue;
    if (reference.inDecodedValue) {
      decodedEdits[reference.valueBegin].push_back(
          {reference.begin, reference.end, Written(*replacement, place)});
      decodedValues[reference.valueBegin] = &reference;
    } else {
      edits.push_back({reference.begin, reference.end, Written(*replacement, place)});
    }
  }
  for (auto& [valueBegin, valueEdits] : decodedEdits) {
    const PageReference& reference = *decodedValues[valueBegin];
    const std::string decoded = DecodeCharacterReferences(
        text.substr(reference.valueBegin, reference.valueEnd - reference.valueBegin));
    edits.push_back({reference.valueBegin, reference.valueEnd,
                     AttributeValue(Spliced(decoded, std::move(valueEdits)), reference.quote)});
  }
  // The base would take relative paths elsewhere: an empty one is the page's own address.
  if (neutraliseBase && links.baseBegin != npos && links.baseEnd > links.baseBegin)
    edits.push_back({links.baseBegin, links.baseEnd, links.baseQuote != 0 ? "" : "\"\""});
  return edits;
}

}  // namespace

std::string RewriteReferences(
    std::string_view text, FileKind kind, const std::string& address,
    const std::function<std::optional<std::string>(const FoundReference&)>& replace,
    bool neutraliseBase, const std::atomic<int>* stop) {
  std::vector<Edit> edits;
  if (kind == FileKind::Page) {
    edits = PageEdits(text, address, replace, neutraliseBase, stop);
  } else if (kind == FileKind::Stylesheet) {
    for (const StylesheetLink& link : ReadStylesheetLinks(text, stop)) {
      if (Halted(stop))
        break;
      std::optional<std::string> replacement = replace(Found(link.link, address));
      if (!replacement)
        continue;
      Place place;
      place.attribute = false;
      edits.push_back({link.begin, link.end, Written(*replacement, place)});
    }
  }
  return Spliced(text, std::move(edits));
}

std::string RelativeAddress(const std::string& fromFile, const std::string& toFile) {
  const std::vector<std::string> from = Segments(fromFile);
  const std::vector<std::string> to = Segments(toFile);
  // The directories both lie in; the last segment of each is its file.
  size_t common = 0;
  while (common + 1 < from.size() && common + 1 < to.size() && from[common] == to[common])
    ++common;
  std::string relative;
  for (size_t i = common; i + 1 < from.size(); ++i)
    relative += "../";
  for (size_t i = common; i < to.size(); ++i) {
    for (unsigned char c : to[i]) {
      if (IsPathByte(c))
        relative += static_cast<char>(c);
      else
        AppendPercentEscaped(relative, c);
    }
    if (i + 1 < to.size())
      relative += '/';
  }
  // A first segment with ":" would be read as a scheme.
  const size_t colon = relative.find(':');
  if (colon != npos && colon < relative.find('/'))
    relative.insert(0, "./");
  return relative;
}

std::optional<std::string> LocalTargetOf(const std::string& fromFile, std::string_view link) {
  link = link.substr(0, std::min(link.find('#'), link.find('?')));
  const size_t colon = link.find(':');
  if (link.empty() || link.front() == '/' || link.front() == '\\' ||
      (colon != std::string_view::npos && colon < link.find('/')))
    return std::nullopt;
  std::vector<std::string> segments = Segments(fromFile);
  segments.pop_back();  // the file's own name
  for (const std::string& part : Segments(PercentDecoded(link))) {
    if (part == "..") {
      if (segments.size() <= 1)
        return std::nullopt;
      segments.pop_back();
    } else if (part != "." && !part.empty()) {
      segments.push_back(part);
    }
  }
  std::string target;
  for (size_t i = 0; i < segments.size(); ++i)
    target += (i == 0 ? "" : "/") + segments[i];
  return target;
}
