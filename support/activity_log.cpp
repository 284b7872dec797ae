#include "support/activity_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <mutex>

#include "platform/file_system.h"

namespace {

// The log stays open between lines: opening and closing it for each one cost more than the
// rest of a verbose crawl. Each line is still one write of its own, so it is in the file (the
// system's cache) when the call returns, exactly as after a flush and a close.
struct OpenLog {
  std::mutex mutex;
  std::string path;
  int fd = -1;
  dev_t device = 0;
  ino_t inode = 0;
  int batches = 0;      // batches open: lines wait in pending
  std::string pending;  // lines not yet written, all for pendingPath
  std::string pendingPath;

  void Close() {
    if (fd >= 0)
      ::close(fd);
    fd = -1;
    path.clear();
  }

  bool Open(const std::string& logFilePath) {
    // A plain file only: never written through a link, never a pipe to wait on.
    fd = ::open(logFilePath.c_str(),
                O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY,
                0666);
    struct stat opened {};
    if (fd < 0 || ::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
      Close();
      return false;
    }
    path = logFilePath;
    device = opened.st_dev;
    inode = opened.st_ino;
    return true;
  }

  // A log deleted or moved away while open is not written on; a new one is made in its place.
  bool StillInPlace() const {
    struct stat named {};
    return ::stat(path.c_str(), &named) == 0 && named.st_ino == inode && named.st_dev == device;
  }
};

OpenLog& TheLog() {
  static OpenLog log;
  return log;
}

// Lines of a batch are written this many bytes at a time.
constexpr size_t kBatchBytes = 65536;

// Appends text (one or more whole lines) with one write; the log is opened again where it was
// deleted or replaced.
void WriteLine(OpenLog& log, const std::string& logFilePath, const std::string& text) {
  if (log.fd >= 0 && (log.path != logFilePath || !log.StillInPlace()))
    log.Close();
  if (log.fd < 0 && !log.Open(logFilePath))
    return;
  if (!WriteAll(log.fd, text.data(), text.size()))
    log.Close();
}

void WritePending(OpenLog& log) {
  if (!log.pending.empty())
    WriteLine(log, log.pendingPath, log.pending);
  log.pending.clear();
}

}  // namespace

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
  std::string line;
  line.reserve(sizeof stamp + text.size() + 1);
  line += stamp;
  line += text;
  line += '\n';

  OpenLog& log = TheLog();
  std::lock_guard lock(log.mutex);
  if (log.batches > 0) {
    if (!log.pending.empty() && log.pendingPath != logFilePath)
      WritePending(log);
    log.pendingPath = logFilePath;
    log.pending += line;
    if (log.pending.size() >= kBatchBytes)
      WritePending(log);
    return;
  }
  WriteLine(log, logFilePath, line);
}

LogLineBatch::LogLineBatch() {
  OpenLog& log = TheLog();
  std::lock_guard lock(log.mutex);
  ++log.batches;
}

LogLineBatch::~LogLineBatch() {
  OpenLog& log = TheLog();
  std::lock_guard lock(log.mutex);
  if (--log.batches == 0)
    WritePending(log);
}

void CloseLogFile() {
  OpenLog& log = TheLog();
  std::lock_guard lock(log.mutex);
  WritePending(log);
  log.Close();
}

void DeleteLogFile(const std::string& saveToDirectory) {
  CloseLogFile();
  std::remove(LogFilePath(saveToDirectory).c_str());
}
