#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "crawl/base/fetched_file.h"

// One reference found in a page or stylesheet, as a rewrite sees it.
struct FoundReference {
  std::string link;      // as written, character references and escapes resolved
  std::string resolved;  // the absolute address it names, fragment cut; empty when none
  std::string fragment;  // "#..." as written, or empty
};

// Where a reference stands in a page or stylesheet, as reading it found: enough to write another
// address there without reading it again.
struct ReferencePlace {
  uint32_t begin = 0;  // the bytes [begin, end) that spell it; in the value decoded, see below
  uint32_t end = 0;
  // A srcset candidate or style url in a value written with character references: the value's
  // own bytes, written again whole.
  uint32_t valueBegin = 0;
  uint32_t valueEnd = 0;
  char quote = 0;         // the quote around the attribute holding it: '"', '\'', or 0
  bool attribute = true;  // in an HTML attribute, not a <style> block or a stylesheet
  bool inDecodedValue = false;
};

struct PageReference;
// Where a reference the page reader found stands; a stylesheet's, read as a <style> block's.
ReferencePlace PlaceOf(const PageReference& reference);

// A page's or stylesheet's text with each place given an address, written so that it means that
// address where it stands (in a quoted or unquoted attribute, a CSS url() or string); every other
// byte stays. A place that overlaps one before it, or lies beyond the text, is left as it is.
// With emptiedBase, a <base href> value there is emptied, so that relative paths hold.
std::string WithAddresses(std::string_view text,
                          std::vector<std::pair<ReferencePlace, std::string>> addresses,
                          const ReferencePlace* emptiedBase = nullptr);

// Rewrites the references of a page or stylesheet in place: each reference for which replace
// gives a text has just its own bytes replaced by it, written so that it means that text where
// it stands (in a quoted or unquoted attribute, a CSS url() or string); a srcset or style value
// written with character references is written again whole. Every other byte stays. With
// neutraliseBase, a page's <base href> is emptied, so that relative paths hold. The address and
// base are those the references resolve against. Once stop is set, what is returned is of no
// use: a page of millions of links is left at once, not read to its end.
std::string RewriteReferences(
    std::string_view text, FileKind kind, const std::string& address,
    const std::function<std::optional<std::string>(const FoundReference&)>& replace,
    bool neutraliseBase, const std::atomic<int>* stop = nullptr);

// The relative path from a file's directory to another file, both local paths, written as an
// address: "%", "?", "#" and bytes that cannot stand in one are %XX.
std::string RelativeAddress(const std::string& fromFile, const std::string& toFile);

// The local file that a relative address written in fromFile names; nothing when it is not a
// plain relative path (it has a scheme, starts with "/" or "//", or climbs above the root).
std::optional<std::string> LocalTargetOf(const std::string& fromFile, std::string_view link);
