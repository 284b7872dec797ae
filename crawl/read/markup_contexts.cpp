#include "crawl/read/markup_contexts.h"

#include <algorithm>

#include "platform/ascii.h"

namespace {

// Ends a tag name: white space, "/" or ">".
bool EndsTagName(char c) {
  return IsSpace(c) || c == '/' || c == '>';
}

// Whether an end tag of the element starts at html[lt]: "</", the name in any case, then white
// space, '/' or '>'.
bool EndTagAt(std::string_view html, size_t lt, std::string_view tag) {
  const size_t after = lt + 2 + tag.size();
  return after < html.size() && html[lt + 1] == '/' && StartsWithNoCase(html.substr(lt + 2), tag) &&
         EndsTagName(html[after]);
}

// Whether the tag name at `name` is "script"; `end` is past the name's letters.
bool ScriptNameAt(std::string_view html, size_t name, size_t& end) {
  end = name;
  while (end < html.size() && IsAsciiLetter(html[end]))
    ++end;
  return end < html.size() && end - name == 6 && EqualsNoCase(html.substr(name, 6), "script") &&
         EndsTagName(html[end]);
}

}  // namespace

bool IsRawText(std::string_view tag) {
  // Lengths known when built: this runs for every start tag.
  static constexpr std::string_view kRawText[] = {"style",    "xmp",      "iframe",   "noembed",
                                                  "noframes", "noscript", "textarea", "title"};
  for (std::string_view name : kRawText) {
    if (tag == name)
      return true;
  }
  return false;
}

size_t RawTextEnd(std::string_view html, std::string_view tag, size_t begin,
                  const StopCheck& stopped) {
  for (size_t lt = html.find('<', begin); lt != std::string_view::npos;
       lt = html.find('<', lt + 1)) {
    if (stopped(lt))
      return std::string_view::npos;
    if (EndTagAt(html, lt, tag))
      return lt;
  }
  return std::string_view::npos;
}

// The end of a script, through its escaped states: after "<!--" a "<script" opens a
// double-escaped part in which "</script>" ends nothing, and "-->" leaves them both.
size_t ScriptEnd(std::string_view html, size_t begin, const StopCheck& stopped) {
  enum class State { Data, Escaped, DoubleEscaped } state = State::Data;
  int dashes = 0;  // of a "-->" that would leave the escaped states
  size_t i = begin;
  while (i < html.size()) {
    if (stopped(i))
      return std::string_view::npos;
    if (state == State::Data) {
      const size_t lt = html.find('<', i);
      if (lt == std::string_view::npos)
        return std::string_view::npos;
      if (EndTagAt(html, lt, "script"))
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
    if (state == State::Escaped && EndTagAt(html, i, "script"))
      return i;
    // A name after "<" (escaped) or "</" (double-escaped) may change the state.
    const bool closing = i + 1 < html.size() && html[i + 1] == '/';
    size_t end = 0;
    const bool script = ScriptNameAt(html, i + 1 + (closing ? 1 : 0), end);
    if (script && state == State::Escaped && !closing)
      state = State::DoubleEscaped;
    else if (script && state == State::DoubleEscaped && closing)
      state = State::Escaped;
    i = std::max(end, i + 1);
  }
  return std::string_view::npos;
}

bool ForeignContent::StartTag(std::string_view tag, bool selfClosing, bool fontAttributes,
                              std::string_view encoding) {
  // In MathML's text elements, <mglyph> and <malignmark> are MathML still, and what they hold.
  const std::string_view current = m_open.empty() ? std::string_view() : m_open.back().name;
  const bool mathText = current == "mi" || current == "mo" || current == "mn" || current == "ms" ||
                        current == "mtext";
  if (mathText && (tag == "mglyph" || tag == "malignmark")) {
    if (!selfClosing)
      Push(tag, false);
    return true;
  }
  if (Inside()) {
    if (!BreaksOut(tag, fontAttributes)) {
      if (!selfClosing)
        Push(tag, IsIntegrationPoint(tag, encoding));
      return true;
    }
    PopToHtml();
  }
  if (tag != "svg" && tag != "math")
    return false;
  if (!selfClosing)
    Push(tag, false);
  return true;
}

void ForeignContent::Push(std::string_view tag, bool integration) {
  m_open.push_back({std::string(tag), integration});
  ++m_names[m_open.back().name];
}

void ForeignContent::PopToHtml() {
  while (Inside())
    PopOne();
}

void ForeignContent::PopOne() {
  auto count = m_names.find(m_open.back().name);
  if (--count->second == 0)
    m_names.erase(count);
  m_open.pop_back();
}

void ForeignContent::EndTag(std::string_view tag) {
  if (m_open.empty())
    return;
  if (Inside() && (tag == "p" || tag == "br"))
    return PopToHtml();
  if (m_names.count(std::string(tag)) == 0)
    return;
  while (m_open.back().name != tag)
    PopOne();
  PopOne();
}

bool ForeignContent::BreaksOut(std::string_view tag, bool fontAttributes) {
  static constexpr std::string_view kBreakers[] = {
      "b",      "big",  "blockquote", "body",  "br",   "center", "code",    "dd",   "div",
      "dl",     "dt",   "em",         "embed", "h1",   "h2",     "h3",      "h4",   "h5",
      "h6",     "head", "hr",         "i",     "img",  "li",     "listing", "menu", "meta",
      "nobr",   "ol",   "p",          "pre",   "ruby", "s",      "small",   "span", "strong",
      "strike", "sub",  "sup",        "table", "tt",   "u",      "ul",      "var"};
  if (tag == "font")
    return fontAttributes;
  return std::find(std::begin(kBreakers), std::end(kBreakers), tag) != std::end(kBreakers);
}

bool ForeignContent::IsIntegrationPoint(std::string_view tag, std::string_view encoding) {
  if (tag == "foreignobject" || tag == "desc" || tag == "title" || tag == "mi" || tag == "mo" ||
      tag == "mn" || tag == "ms" || tag == "mtext")
    return true;
  return tag == "annotation-xml" &&
         (EqualsNoCase(encoding, "text/html") || EqualsNoCase(encoding, "application/xhtml+xml"));
}
