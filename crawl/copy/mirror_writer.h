#pragma once

#include <string>

#include "crawl/copy/mirror_store.h"
#include "crawl/rules/mirror_paths.h"

// Stores the fetched bytes at the local path, creating the directories it needs, beneath the
// save-to directory (the whole file system when it is empty).
SaveResult Save(const FetchedFile& fetched, const std::string& localPath,
                const std::string& saveToDirectory = {});
