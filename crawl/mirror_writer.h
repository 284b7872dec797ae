#pragma once

#include <string>
#include <string_view>

struct FetchedFile;

inline constexpr const char* kIndexName = "~index.htm";

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

enum class SaveResult { Saved, WriteFailed, OutsideSaveTo };

// Stores the fetched bytes at the local path, creating the directories it needs, beneath the
// save-to directory (the whole file system when it is empty).
SaveResult Save(const FetchedFile& fetched, const std::string& localPath,
                const std::string& saveToDirectory = {});
