#include "platform/file_system.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <random>

namespace {

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos)
    return ".";
  if (slash == 0)
    return "/";
  return path.substr(0, slash);
}

// A short dot-name, so that a long file name never makes the temporary name too long.
std::string TemporaryName(const std::string& directory) {
  thread_local std::mt19937_64 random{std::random_device{}()};
  char suffix[24];
  std::snprintf(suffix, sizeof suffix, "%012llx",
                static_cast<unsigned long long>(random() & 0xffffffffffffULL));
  return directory + "/.kelvane-" + suffix + ".part";
}

// Gives an anonymous file a temporary name next to its target. False when the system cannot.
bool LinkAnonymous(int fd, const std::string& directory, std::string& temporary) {
  std::string procPath = "/proc/self/fd/" + std::to_string(fd);
  for (int attempt = 0; attempt < 16; ++attempt) {
    temporary = TemporaryName(directory);
    if (::linkat(AT_FDCWD, procPath.c_str(), AT_FDCWD, temporary.c_str(), AT_SYMLINK_FOLLOW) == 0)
      return true;
    if (errno != EEXIST)
      return false;
  }
  return false;
}

int CreateNamed(const std::string& directory, std::string& temporary) {
  for (int attempt = 0; attempt < 16; ++attempt) {
    temporary = TemporaryName(directory);
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST)
      return fd;
  }
  return -1;
}

WriteResult Finish(int fd, const std::string& temporary, const std::string& path) {
  if (::close(fd) != 0) {
    ::unlink(temporary.c_str());
    return WriteResult::WriteFailed;
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return WriteResult::OpenFailed;
  }
  return WriteResult::Written;
}

}  // namespace

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool PathExists(const std::string& path) {
  std::error_code error;
  return std::filesystem::exists(path, error);
}

void MakeDirectory(const std::string& path) {
  std::error_code error;
  std::filesystem::create_directory(path, error);
}

WriteResult WriteFileAtomically(const std::string& path, const char* data, size_t size) {
  const std::string directory = DirectoryOf(path);
  std::string temporary;

  // An unnamed file first: a crash while it is written leaves nothing behind at all.
  int fd = ::open(directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (fd >= 0) {
    if (!WriteAll(fd, data, size)) {
      ::close(fd);
      return WriteResult::WriteFailed;
    }
    // A file not there yet gets its name straight away: one step less than a rename.
    std::string procPath = "/proc/self/fd/" + std::to_string(fd);
    if (::linkat(AT_FDCWD, procPath.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      if (::close(fd) != 0) {
        ::unlink(path.c_str());
        return WriteResult::WriteFailed;
      }
      return WriteResult::Written;
    }
    if (errno == EEXIST && LinkAnonymous(fd, directory, temporary))
      return Finish(fd, temporary, path);
    ::close(fd);
  }

  fd = CreateNamed(directory, temporary);
  if (fd < 0)
    return WriteResult::OpenFailed;
  if (!WriteAll(fd, data, size)) {
    ::close(fd);
    ::unlink(temporary.c_str());
    return WriteResult::WriteFailed;
  }
  return Finish(fd, temporary, path);
}
