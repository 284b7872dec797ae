#pragma once

#include <string>

inline constexpr const char* kLogFileName = "Kelvane.log";

// The save-to directory as it stands, "/", the log's name.
std::string LogFilePath(const std::string& saveToDirectory);

// Appends "%y%m%d-%H%M%S: " + text + a line break with one write, so that every line is in the
// file when the call returns. The file is kept open between calls. Failures are silent.
void AppendLogLine(const std::string& logFilePath, const std::string& text);

// While one lives, lines are gathered and written many at a time: for the many lines of links
// dropped at once when a crawl ends early. They are all written when the last one ends.
class LogLineBatch {
 public:
  LogLineBatch();
  ~LogLineBatch();
  LogLineBatch(const LogLineBatch&) = delete;
  LogLineBatch& operator=(const LogLineBatch&) = delete;
};

// Lets go of the open log, so that nothing holds the save-to directory once a crawl is over.
void CloseLogFile();

// The once-per-run deletion at start-up; a missing file is fine.
void DeleteLogFile(const std::string& saveToDirectory);
