#pragma once

// The lines of the store's records: one stored file a line, its fields escaped onto it.
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "crawl/copy/mirror_store.h"

// A file's record as a line, ended: the path below the save-to directory, then its fields.
std::string RecordLine(const std::string& below, const MirrorStore::Record& record);
// The path below the save-to directory and the record a line gives; nothing for a line torn by
// a crash, or one that is no record.
std::optional<std::pair<std::string, MirrorStore::Record>> ReadRecordLine(std::string_view line);
