#pragma once

// The archive's index as CDXJ: one line per response or revisit record, sorted by its address's
// SURT key and date, with a JSON object of where the record lies.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What an index line of the archive says of a record.
struct IndexEntry {
  std::string uri;
  std::string date;  // as the WARC-Date field has it
  int status = 0;
  std::string mime;
  std::string digest;  // the payload's, labelled
  std::string file;    // the archive file's name, without directories
  uint64_t offset = 0;
  uint64_t length = 0;
  bool revisit = false;
};

// "http://www.Example.com:8080/a?b" → "com,example:8080)/a?b"; an IP address's parts are
// reversed like a name's ("1,0,0,127:8080)/"), which the player replays by.
std::string SurtKey(std::string_view url);
// The text as a JSON string, quotes included.
std::string JsonString(std::string_view text);
// "2026-12-09T05:57:10Z" → "20261209055710".
std::string IndexTimestamp(std::string_view warcDate);
std::string IndexLine(const IndexEntry& entry);
// The lines of the entries, sorted; false when the file could not be written.
bool WriteIndex(const std::string& path, const std::vector<IndexEntry>& entries);
// An entry read back from a line, or nothing for a line that is none.
std::optional<IndexEntry> ReadIndexLine(std::string_view line);
