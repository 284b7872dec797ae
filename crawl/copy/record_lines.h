#pragma once

// The lines of the store's records: one stored file a line, its fields escaped onto it.
#include <optional>
#include <string>
#include <string_view>
#include <utility>

// What the store knows of a stored file.
struct StoreRecord {
  std::string contentType;
  std::string url;
  std::string lastModified;  // the validators the server gave, for a conditional request
  std::string etag;
  bool converted = false;  // its links were rewritten for reading from disk
  std::string asked;       // the address the crawl asked for (url is the one that answered)
  std::string digest;      // of the bytes as stored, before any conversion
};

// A file's record as a line, ended: the path below the save-to directory, then its fields.
std::string RecordLine(const std::string& below, const StoreRecord& record);
// The path below the save-to directory and the record a line gives; nothing for a line torn by
// a crash, or one that is no record.
std::optional<std::pair<std::string, StoreRecord>> ReadRecordLine(std::string_view line);
// The fields of a record line, by their place on it.
enum class RecordField { Path = 0, Url = 2, Asked = 6 };
// One field of a record line, decoded; nothing for a line that is no whole record.
std::optional<std::string> RecordLineField(std::string_view line, RecordField field);
