#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "crawl/base/fetched_file.h"

// One reference found in a page or stylesheet, as a rewrite sees it.
struct FoundReference {
  std::string link;      // as written, character references and escapes resolved
  std::string resolved;  // the absolute address it names, fragment cut; empty when none
  std::string fragment;  // "#..." as written, or empty
};

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
