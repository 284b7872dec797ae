#pragma once

// Where a page's markup is text, as browsers' tokenizers have it: the content of raw-text
// elements up to their end tag, a script through its escaped states, and SVG and MathML, which
// are markup all through but for their CDATA sections and the HTML of their integration points.
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// Whether the reading is to stop, asked at a position of the page.
using StopCheck = std::function<bool(size_t at)>;

// How often, in bytes read, the stop flag is looked at.
inline constexpr size_t kStopCheckBytes = 64 * 1024;

// Elements whose content is text up to their end tag, not markup. A browser that runs scripts
// reads <noscript> so too; scripts have states of their own.
bool IsRawText(std::string_view tag);

// The '<' of the end tag ("</", the name in any case, then white space, '/' or '>') of a raw-text
// element whose content starts at begin; npos when the page ends first or the reading stops.
size_t RawTextEnd(std::string_view html, std::string_view tag, size_t begin,
                  const StopCheck& stopped);

// The '<' of a script's end tag, through its escaped states: after "<!--" a "<script" opens a
// double-escaped part in which "</script>" ends nothing, and "-->" leaves them both.
size_t ScriptEnd(std::string_view html, size_t begin, const StopCheck& stopped);

// The SVG and MathML elements open as a page is read, innermost last.
class ForeignContent {
 public:
  // Inside SVG or MathML, and not in the HTML of one of their integration points.
  bool Inside() const { return !m_open.empty() && !m_open.back().integration; }
  // A start tag read, with what it says of itself: true when it is SVG or MathML markup (it
  // opens such content, or is within it); false when it is HTML, an element such as <p> or <img>
  // having ended such content first where it must.
  bool StartTag(std::string_view tag, bool selfClosing, bool fontAttributes,
                std::string_view encoding);
  // An end tag closes the foreign element it names, and those opened inside it; in foreign
  // content, </p> and </br> go back to HTML as their start tags would.
  void EndTag(std::string_view tag);

 private:
  struct Element {
    std::string name;
    bool integration = false;  // its content is HTML
  };
  // The HTML elements whose start tag ends SVG or MathML content, as browsers have it.
  static bool BreaksOut(std::string_view tag, bool fontAttributes);
  // SVG and MathML elements whose content is HTML again.
  static bool IsIntegrationPoint(std::string_view tag, std::string_view encoding);
  void Push(std::string_view tag, bool integration);
  void PopToHtml();
  void PopOne();

  std::vector<Element> m_open;
  std::unordered_map<std::string, int> m_names;  // how many of each name are open
};
