#include "crawl/archive/package_scratch.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <utility>

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

namespace {

// A lock held while its descriptor is open.
class Locked {
 public:
  Locked(const std::string& path, int how)
      : m_fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)) {
    m_locked = m_fd >= 0 && ::flock(m_fd, how) == 0;
  }
  ~Locked() {
    if (m_fd >= 0)
      ::close(m_fd);
  }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
  bool Held() const { return m_locked; }
  int Release() { return std::exchange(m_fd, -1); }

 private:
  int m_fd;
  bool m_locked = false;
};

// Marks a working directory as a crawl's own, so that no other is ever taken for one.
constexpr const char* kMark = ".kelvane-package";

// Only what a crawl puts there: its mark, and its WARC files or nothing where the package has
// its own, all regular files.
bool OnlyArchives(const std::filesystem::path& scratch) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(scratch / kMark, error)))
    return false;
  for (const auto& entry : std::filesystem::directory_iterator(scratch, error)) {
    const std::string name = entry.path().filename().string();
    const bool archive = name.starts_with("data") && name.ends_with(".warc.gz");
    if ((!archive && name != kMark) || !entry.is_regular_file(error) || entry.is_symlink(error))
      return false;
  }
  return !error;
}

// A working directory of this package's name: removed when a killed crawl left it, true when a
// live one holds it.
bool HeldByAnother(const std::filesystem::path& scratch) {
  Locked lock(scratch.string(), LOCK_EX | LOCK_NB);
  if (!lock.Held())
    return errno == EWOULDBLOCK;
  std::error_code ignored;
  if (OnlyArchives(scratch))
    std::filesystem::remove_all(scratch, ignored);
  return false;
}

}  // namespace

bool NameTaken(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 || errno != ENOENT;
}

std::unique_ptr<PackageScratch> PackageScratch::Claim(const std::string& package,
                                                      std::string& why) {
  // Two crawls starting at once look and claim one after the other. A directory the user may
  // write in but not read is neither locked nor looked in: nothing of another crawl is seen.
  const std::string directory = DirectoryOf(package);
  Locked looking(directory, LOCK_EX);
  if (!looking.Held() && errno != EACCES) {
    why = package + ": " + std::strerror(errno);
    return nullptr;
  }
  const std::string prefix = package.substr(package.rfind('/') + 1) + ".";
  std::error_code error;
  const auto entries = looking.Held() ? std::filesystem::directory_iterator(directory, error)
                                      : std::filesystem::directory_iterator();
  for (const auto& entry : entries) {
    const std::string name = entry.path().filename().string();
    if (name.size() != prefix.size() + 6 || !name.starts_with(prefix) ||
        !entry.is_directory(error) || entry.is_symlink(error))
      continue;
    if (HeldByAnother(entry.path())) {
      why = package + ": another crawl is making this package";
      return nullptr;
    }
  }
  std::string path = package + ".XXXXXX";
  if (mkdtemp(path.data()) == nullptr) {
    why = package + ": " + std::strerror(errno);
    return nullptr;
  }
  Locked own(path, LOCK_EX | LOCK_NB);
  const int mark =
      ::open((path + "/" + kMark).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (mark >= 0)
    ::close(mark);
  if (!own.Held() || mark < 0) {
    why = package + ": " + std::strerror(errno);
    std::filesystem::remove_all(path, error);
    return nullptr;
  }
  return std::unique_ptr<PackageScratch>(new PackageScratch(std::move(path), own.Release()));
}

PackageScratch::~PackageScratch() {
  std::error_code ignored;
  std::filesystem::remove_all(m_path, ignored);
  ::close(m_fd);
}
