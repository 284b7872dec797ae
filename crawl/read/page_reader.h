#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One address that a page names, as written there (character references decoded), and where.
struct PageReference {
  std::string link;
  bool page = false;  // a page to follow (anchor, image-map area, frame), not something it needs
  // The bytes [begin, end) of the page to replace to change just this address: an attribute's
  // value inside its quotes, a srcset candidate's address, a url() or @import in a style attribute
  // or a <style> block. npos when they cannot be told: a srcset or style attribute written with
  // character references.
  size_t begin = std::string::npos;
  size_t end = std::string::npos;
  char quote = 0;    // the quote around the attribute holding it: '"', '\'', or 0 (none, <style>)
  bool css = false;  // in a url() or @import of a style attribute or a <style> block
  bool inStyleBlock = false;  // in a <style> block, no attribute
  // A srcset candidate or style url in a value written with character references: [begin, end)
  // are then its place in the value decoded, and [valueBegin, valueEnd) the value's own bytes.
  bool inDecodedValue = false;
  size_t valueBegin = std::string::npos;
  size_t valueEnd = std::string::npos;
  bool nofollow = false;  // an anchor or area whose rel asks crawlers not to follow it
};

// What a page refers to, read as browsers tokenize it: tags and attributes in any letter case,
// values quoted or not, tags over several lines, character references decoded; the insides of
// comments, scripts, <style> (read as CSS), <textarea>, <title> and the like are no markup.
struct PageLinks {
  std::optional<std::string> base;       // the first <base href>, against which links resolve
  size_t baseBegin = std::string::npos;  // the bytes of that href's value
  size_t baseEnd = std::string::npos;
  char baseQuote = 0;
  std::vector<PageReference> references;
  bool nofollow = false;  // a <meta name="robots"> asks crawlers to follow none of its links
};

// References read: a and area href, frame and iframe src (pages); img src and srcset, source
// src and srcset, link href for stylesheets, icons and preloads, script src, video src and
// poster, audio, track and embed src, object data, input type=image src, body background, and
// url() and @import in style attributes and <style> blocks. The time is linear in the page's
// size whatever its markup. When *stop becomes non-zero (looked at every 64 KiB or so), what was
// found so far.
PageLinks ReadPage(std::string_view html, const std::atomic<int>* stop = nullptr);

// Every tag as the page reader reads it, in order: the name in lower case ("/" before an end
// tag's) and the names of its attributes, separated by blanks. A rewrite of a page's references
// must leave these as they are.
std::vector<std::string> PageTags(std::string_view html);

// The addresses of a srcset value, each candidate's address without its descriptor.
std::vector<std::string> SrcsetAddresses(std::string_view srcset);
