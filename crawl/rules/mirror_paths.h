#pragma once

#include <string>
#include <string_view>

#include "crawl/base/crawl_plan.h"

// The save-to directory as local paths begin with it: each backslash made a "/".
std::string MirrorDirectoryRoot(const std::string& saveToDirectory);

// The local directory of a start address under the save-to directory.
std::string MirrorDirectory(const std::string& url, const std::string& saveToDirectory);

// Appends to target what makes it name a directory's index: "/" + name, name, or nothing.
void AppendIndexName(const std::string& url, std::string& target, const std::string& name);

// The local file of a crawled address: mirror directory + relative part + index name.
std::string LocalPathOf(const std::string& url, const std::string& relativePart,
                        const std::string& mirrorDirectory);

// Whether a path holds a ".." segment, which would climb out of the save-to directory.
bool HasParentSegment(std::string_view path);

// The text after the last "." of the whole name (not only of its last step); empty without one.
std::string FileExtension(std::string_view name);
// Whether a name is a page's: its extension is "htm", "html" or "shtml", letter case counting.
bool IsHtmlName(std::string_view name);
