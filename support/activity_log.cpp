#include "support/activity_log.h"

#include <cstdio>
#include <ctime>

std::string LogFilePath(const std::string& saveToDirectory) {
  return saveToDirectory + "/" + kLogFileName;
}

void AppendLogLine(const std::string& logFilePath, const std::string& text) {
  char stamp[64] = "";
  std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr ||
      std::strftime(stamp, sizeof stamp, "%y%m%d-%H%M%S: ", &local) == 0) {
    stamp[0] = '\0';
  }
  std::FILE* file = std::fopen(logFilePath.c_str(), "a");
  if (file == nullptr)
    return;
  std::fputs(stamp, file);
  std::fwrite(text.data(), 1, text.size(), file);
  std::fputc('\n', file);
  std::fflush(file);
  std::fclose(file);
}

void DeleteLogFile(const std::string& saveToDirectory) {
  std::remove(LogFilePath(saveToDirectory).c_str());
}
