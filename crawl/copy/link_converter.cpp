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
  // Most addresses hold nothing to write otherwise.
  const auto plain = [&place](unsigned char c) {
    return !Unsafe(c) && !(place.attribute && (c == '&' || (place.quote == 0 && c == '=')));
  };
  if (std::all_of(address.begin(), address.end(), plain))
    return address;
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
  const auto before = [](const Edit& a, const Edit& b) { return a.begin < b.begin; };
  if (!std::is_sorted(edits.begin(), edits.end(), before))
    std::sort(edits.begin(), edits.end(), before);
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

ReferencePlace PlaceOf(const PageReference& reference) {
  ReferencePlace place;
  place.begin = static_cast<uint32_t>(reference.begin);
  place.end = static_cast<uint32_t>(reference.end);
  place.quote = reference.quote;
  place.attribute = !reference.inStyleBlock && !reference.inDecodedValue;
  place.inDecodedValue = reference.inDecodedValue;
  if (reference.inDecodedValue) {
    place.valueBegin = static_cast<uint32_t>(reference.valueBegin);
    place.valueEnd = static_cast<uint32_t>(reference.valueEnd);
  }
  return place;
}

std::string WithAddresses(std::string_view text,
                          std::vector<std::pair<ReferencePlace, std::string>> addresses,
                          const ReferencePlace* emptiedBase) {
  std::vector<Edit> edits;
  edits.reserve(addresses.size() + 1);
  // Values written with character references: edited decoded, then written again whole.
  std::map<uint32_t, std::vector<Edit>> decodedEdits;  // by the value's first byte
  std::map<uint32_t, ReferencePlace> decodedValues;
  for (auto& [place, address] : addresses) {
    Place written;
    written.quote = place.quote;
    written.attribute = place.attribute;
    if (place.inDecodedValue) {
      if (place.valueEnd < place.valueBegin || place.valueEnd > text.size())
        continue;
      decodedEdits[place.valueBegin].push_back({place.begin, place.end, Written(address, written)});
      decodedValues[place.valueBegin] = place;
    } else {
      edits.push_back({place.begin, place.end, Written(address, written)});
    }
  }
  for (auto& [valueBegin, valueEdits] : decodedEdits) {
    const ReferencePlace& place = decodedValues[valueBegin];
    const std::string decoded =
        DecodeCharacterReferences(text.substr(place.valueBegin, place.valueEnd - place.valueBegin));
    edits.push_back({place.valueBegin, place.valueEnd,
                     AttributeValue(Spliced(decoded, std::move(valueEdits)), place.quote)});
  }
  // The base would take relative paths elsewhere: an empty one is the page's own address.
  if (emptiedBase != nullptr && emptiedBase->end > emptiedBase->begin)
    edits.push_back({emptiedBase->begin, emptiedBase->end, emptiedBase->quote != 0 ? "" : "\"\""});
  return Spliced(text, std::move(edits));
}

std::string RewriteReferences(
    std::string_view text, FileKind kind, const std::string& address,
    const std::function<std::optional<std::string>(const FoundReference&)>& replace,
    bool neutraliseBase, const std::atomic<int>* stop) {
  std::vector<std::pair<ReferencePlace, std::string>> addresses;
  std::optional<ReferencePlace> base;
  if (kind == FileKind::Page) {
    PageLinks links = ReadPage(text, stop);
    std::string against = address;
    if (links.base)
      against = ResolveLink(address, *links.base).value_or(address);
    for (const PageReference& reference : links.references) {
      if (Halted(stop))
        break;  // what is read so far is of no use: the caller keeps the file as it is
      if (reference.begin == npos)
        continue;
      if (std::optional<std::string> replacement = replace(Found(reference.link, against)))
        addresses.emplace_back(PlaceOf(reference), std::move(*replacement));
    }
    if (neutraliseBase && links.baseBegin != npos) {
      base.emplace();
      base->begin = static_cast<uint32_t>(links.baseBegin);
      base->end = static_cast<uint32_t>(links.baseEnd);
      base->quote = links.baseQuote;
    }
  } else if (kind == FileKind::Stylesheet) {
    for (const StylesheetLink& link : ReadStylesheetLinks(text, stop)) {
      if (Halted(stop))
        break;
      std::optional<std::string> replacement = replace(Found(link.link, address));
      if (!replacement)
        continue;
      ReferencePlace place;
      place.begin = static_cast<uint32_t>(link.begin);
      place.end = static_cast<uint32_t>(link.end);
      place.attribute = false;
      addresses.emplace_back(place, std::move(*replacement));
    }
  }
  return WithAddresses(text, std::move(addresses), base ? &*base : nullptr);
}

std::string RelativeAddress(const std::string& fromFile, const std::string& toFile) {
  // The directories both lie in: whole segments alike, through the last "/" they share.
  size_t common = 0;
  for (size_t i = 0; i < fromFile.size() && i < toFile.size() && fromFile[i] == toFile[i]; ++i) {
    if (fromFile[i] == '/')
      common = i + 1;
  }
  std::string relative;
  relative.reserve(toFile.size() - common + 16);
  for (size_t i = common; i < fromFile.size(); ++i) {
    if (fromFile[i] == '/')
      relative += "../";
  }
  for (size_t i = common; i < toFile.size(); ++i) {
    const auto c = static_cast<unsigned char>(toFile[i]);
    if (c == '/' || IsPathByte(c))
      relative += static_cast<char>(c);
    else
      AppendPercentEscaped(relative, c);
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
