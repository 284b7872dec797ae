#pragma once

#include <string>

inline constexpr const char* kLogFileName = "Kelvane.log";

// The save-to directory as it stands, "/", the log's name.
std::string LogFilePath(const std::string& saveToDirectory);

// Appends "%y%m%d-%H%M%S: " + text + a line break with one write, so that every line is in the
// file when the call returns. The file is kept open between calls. Failures are silent.
void AppendLogLine(const std::string& logFilePath, const std::string& text);

// Lets go of the open log, so that nothing holds the save-to directory once a crawl is over.
void CloseLogFile();

// The once-per-run deletion at start-up; a missing file is fine.
void DeleteLogFile(const std::string& saveToDirectory);
