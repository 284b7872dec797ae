#pragma once

#include <string>

inline constexpr const char* kLogFileName = "Kelvane.log";

// The save-to directory as it stands, "/", the log's name.
std::string LogFilePath(const std::string& saveToDirectory);

// Appends "%y%m%d-%H%M%S: " + text + a line break; the file is opened and closed in the call so
// that every line is on disk when it returns. Failures are silent.
void AppendLogLine(const std::string& logFilePath, const std::string& text);

// The once-per-run deletion at start-up; a missing file is fine.
void DeleteLogFile(const std::string& saveToDirectory);
