#include "platform/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <random>

namespace {

// A short dot-name, so that a long file name never makes the temporary name too long.
std::string TemporaryName() {
  thread_local std::mt19937_64 random{std::random_device{}()};
  char name[32];
  std::snprintf(name, sizeof name, ".kelvane-%012llx.part",
                static_cast<unsigned long long>(random() & 0xffffffffffffULL));
  return name;
}

int Openat2(int directory, const char* path, int flags, int mode) {
  open_how how{};
  how.flags = static_cast<unsigned long long>(flags);
  how.mode = static_cast<unsigned long long>(mode);
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  return static_cast<int>(::syscall(SYS_openat2, directory, path, &how, sizeof how));
}

// Where the kernel has no openat2: one component at a time, never following a link and never
// going up, which is stricter than openat2 (a link inside the tree is refused too).
int OpenByComponents(int directory, const std::string& below, int flags, int mode) {
  FileDescriptor current(::fcntl(directory, F_DUPFD_CLOEXEC, 0));
  size_t start = 0;
  while (current.Valid()) {
    size_t end = below.find('/', start);
    const std::string part = below.substr(start, end == std::string::npos ? end : end - start);
    if (part == "..") {
      errno = EXDEV;
      return -1;
    }
    if (end == std::string::npos)
      return ::openat(current.Get(), part.empty() ? "." : part.c_str(), flags | O_NOFOLLOW, mode);
    if (!part.empty() && part != ".") {
      current = FileDescriptor(
          ::openat(current.Get(), part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    start = end + 1;
  }
  return -1;
}

std::string ProcPath(int fd) {
  return "/proc/self/fd/" + std::to_string(fd);
}

// Gives an unnamed file a name in its directory: the target's own when nothing has it yet,
// otherwise a temporary one, renamed onto the target once the file is closed.
// Gives the unnamed file a name: by its descriptor where the kernel lets this process (which
// spares a walk through /proc for every file), else through /proc.
int LinkUnnamed(int file, int directory, const std::string& name) {
  static std::atomic<bool> byDescriptor{true};
  if (byDescriptor.load(std::memory_order_relaxed)) {
    if (::linkat(file, "", directory, name.c_str(), AT_EMPTY_PATH) == 0)
      return 0;
    if (errno != ENOENT && errno != EPERM && errno != EINVAL && errno != EBADF)
      return -1;  // the name's own answer (EEXIST, ENOSPC, ...)
    byDescriptor.store(false, std::memory_order_relaxed);
  }
  return ::linkat(AT_FDCWD, ProcPath(file).c_str(), directory, name.c_str(), AT_SYMLINK_FOLLOW);
}

WriteResult NameUnnamed(FileDescriptor& file, int directory, const std::string& name) {
  std::string linked;
  if (LinkUnnamed(file.Get(), directory, name) == 0) {
    linked = name;
  } else if (errno == EEXIST) {
    for (int attempt = 0; attempt < 16 && linked.empty(); ++attempt) {
      const std::string temporary = TemporaryName();
      if (LinkUnnamed(file.Get(), directory, temporary) == 0)
        linked = temporary;
      else if (errno != EEXIST)
        break;
    }
  }
  if (linked.empty())
    return WriteResult::OpenFailed;  // the caller writes a named file instead
  if (::close(file.Release()) != 0) {
    ::unlinkat(directory, linked.c_str(), 0);
    return WriteResult::WriteFailed;
  }
  if (linked != name && ::renameat(directory, linked.c_str(), directory, name.c_str()) != 0) {
    ::unlinkat(directory, linked.c_str(), 0);
    return WriteResult::OpenFailed;
  }
  return WriteResult::Written;
}

// Where the file system has no unnamed files: a named temporary file, renamed once whole.
WriteResult WriteNamed(int directory, const std::string& name, const char* data, size_t size) {
  for (int attempt = 0; attempt < 16; ++attempt) {
    const std::string temporary = TemporaryName();
    int fd = ::openat(directory, temporary.c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0 && errno == EEXIST)
      continue;
    if (fd < 0)
      return WriteResult::OpenFailed;
    bool whole = WriteAll(fd, data, size);
    whole = ::close(fd) == 0 && whole;
    if (!whole) {
      ::unlinkat(directory, temporary.c_str(), 0);
      return WriteResult::WriteFailed;
    }
    if (::renameat(directory, temporary.c_str(), directory, name.c_str()) != 0) {
      ::unlinkat(directory, temporary.c_str(), 0);
      return WriteResult::OpenFailed;
    }
    return WriteResult::Written;
  }
  return WriteResult::OpenFailed;
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

FileDescriptor::~FileDescriptor() {
  if (m_fd >= 0)
    ::close(m_fd);
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    if (m_fd >= 0)
      ::close(m_fd);
    m_fd = other.m_fd;
    other.m_fd = -1;
  }
  return *this;
}

ConfinedDirectory::ConfinedDirectory(std::string root) : m_root(std::move(root)) {
  if (m_root.empty())
    m_root = "/";
}

std::optional<std::string> ConfinedDirectory::Below(const std::string& path) const {
  if (!path.starts_with(m_root))
    return std::nullopt;
  std::string rest = path.substr(m_root.size());
  if (!rest.empty() && rest[0] != '/' && m_root.back() != '/')
    return std::nullopt;  // "/srv/Sites2" is not below "/srv/Sites"
  size_t first = rest.find_first_not_of('/');
  return first == std::string::npos ? std::string() : rest.substr(first);
}

bool ConfinedDirectory::AtOrAbove(const std::string& path) const {
  if (!m_root.starts_with(path))
    return false;
  return path.size() == m_root.size() || path.empty() || path.back() == '/' ||
         m_root[path.size()] == '/';
}

bool ConfinedDirectory::OpenRoot() {
  if (!m_rootFd.Valid())
    m_rootFd = FileDescriptor(::open(m_root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  return m_rootFd.Valid();
}

int ConfinedDirectory::OpenBelow(const std::string& below, int flags, int mode) {
  if (!OpenRoot())
    return -1;
  // Where the kernel or a system-call filter does not offer openat2, every open takes the
  // stricter road of one component at a time.
  static std::atomic<bool> noOpenat2{false};
  const char* path = below.empty() ? "." : below.c_str();
  if (!noOpenat2) {
    int fd = Openat2(m_rootFd.Get(), path, flags | O_CLOEXEC, mode);
    if (fd >= 0 || (errno != ENOSYS && errno != EPERM))
      return fd;
    // EPERM may be a filter's refusal of openat2 or the file's own answer: the road of
    // components tells which.
    if (errno == ENOSYS)
      noOpenat2 = true;
  }
  return OpenByComponents(m_rootFd.Get(), below, flags | O_CLOEXEC, mode);
}

FileDescriptor ConfinedDirectory::OpenParent(const std::string& path, std::string& name) {
  std::optional<std::string> below = Below(path);
  errno = EXDEV;
  if (!below || below->empty())
    return FileDescriptor();
  const size_t slash = below->rfind('/');
  name = slash == std::string::npos ? *below : below->substr(slash + 1);
  if (name.empty() || name == "." || name == "..")
    return FileDescriptor();
  const std::string parent = slash == std::string::npos ? std::string() : below->substr(0, slash);
  return FileDescriptor(OpenBelow(parent, O_PATH | O_DIRECTORY));
}

bool ConfinedDirectory::Exists(const std::string& path) {
  std::optional<std::string> below = Below(path);
  if (!below || below->empty()) {
    struct stat info {};
    return AtOrAbove(path) && ::stat(path.c_str(), &info) == 0;
  }
  FileDescriptor fd(OpenBelow(*below, O_PATH));
  return fd.Valid();
}

int ConfinedDirectory::MakeDirectory(const std::string& path, bool* madeNow) {
  std::optional<std::string> below = Below(path);
  int made = 0;
  if (!below || below->empty()) {
    // The root and what lies above it: the user's own directories, made as named.
    if (AtOrAbove(path))
      made = ::mkdir(path.c_str(), 0777);
  } else {
    std::string name;
    FileDescriptor parent = OpenParent(path, name);
    made = parent.Valid() ? ::mkdirat(parent.Get(), name.c_str(), 0777) : -1;
  }
  if (madeNow != nullptr)
    *madeNow = made == 0;
  return made == 0 || errno == EEXIST ? 0 : errno;
}

FileDescriptor ConfinedDirectory::OpenRegularFile(const std::string& path, struct stat* about) {
  std::optional<std::string> below = Below(path);
  if (!below || below->empty())
    return FileDescriptor();
  // Not blocking: a pipe at the path must not hold the crawl up; it is no regular file anyway.
  FileDescriptor fd(OpenBelow(*below, O_RDONLY | O_NONBLOCK | O_NOCTTY));
  struct stat info {};
  if (!fd.Valid() || ::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode))
    return FileDescriptor();
  if (about != nullptr)
    *about = info;
  return fd;
}

std::optional<std::vector<std::string>> ConfinedDirectory::Entries(const std::string& path) {
  std::optional<std::string> below = Below(path);
  if (!below)
    return std::nullopt;
  const int fd = OpenBelow(*below, O_RDONLY | O_DIRECTORY);
  DIR* directory = fd < 0 ? nullptr : ::fdopendir(fd);
  if (directory == nullptr) {
    if (fd >= 0)
      ::close(fd);
    return std::nullopt;
  }
  std::vector<std::string> names;
  while (const struct dirent* entry = ::readdir(directory)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..")
      names.push_back(name);
  }
  ::closedir(directory);
  std::sort(names.begin(), names.end());
  return names;
}

std::optional<size_t> ConfinedDirectory::ReadRegularFile(const std::string& path, char* destination,
                                                         size_t max) {
  FileDescriptor fd = OpenRegularFile(path);
  if (!fd.Valid())
    return std::nullopt;
  size_t total = 0;
  while (total < max) {
    ssize_t n = ::read(fd.Get(), destination + total, max - total);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    total += static_cast<size_t>(n);
  }
  return total;
}

std::optional<ConfinedDirectory::FileInfo> ConfinedDirectory::RegularFileInfo(
    const std::string& path) {
  FileDescriptor fd = OpenRegularFile(path);
  struct stat info {};
  if (!fd.Valid() || ::fstat(fd.Get(), &info) != 0)
    return std::nullopt;
  return FileInfo{static_cast<int64_t>(info.st_size), static_cast<int64_t>(info.st_mtime)};
}

std::optional<std::string> ConfinedDirectory::ReadText(const std::string& path, size_t max,
                                                       bool whole) {
  struct stat info {};
  FileDescriptor fd = OpenRegularFile(path, &info);
  if (!fd.Valid() || (whole && static_cast<uint64_t>(info.st_size) > max))
    return std::nullopt;
  std::optional<std::string> text = ReadOpened(fd, info, whole ? max + 1 : max);
  return text && text->size() <= max ? text : std::nullopt;
}

std::optional<std::string> ConfinedDirectory::ReadOpened(const FileDescriptor& fd,
                                                         const struct stat& info, size_t max) {
  // Read straight into room for the whole file, as its size says: through a buffer, every page
  // was copied twice.
  size_t room = 65536;
  if (info.st_size > 0)
    room = static_cast<size_t>(info.st_size) + 1;  // one more: a file that grew is seen to
  std::string text(std::min(room, max), '\0');
  size_t size = 0;
  while (size < max) {
    if (size == text.size())
      text.resize(std::min(max, text.size() * 2));
    const ssize_t n = ::read(fd.Get(), text.data() + size, text.size() - size);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    size += static_cast<size_t>(n);
  }
  text.resize(size);
  return text;
}

WriteResult ConfinedDirectory::WriteFileAtomically(const std::string& path, const char* data,
                                                   size_t size) {
  std::string name;
  FileDescriptor directory = OpenParent(path, name);
  return WriteFileAtomically(directory, name, data, size);
}

WriteResult ConfinedDirectory::WriteFileAtomically(const FileDescriptor& directory,
                                                   const std::string& name, const char* data,
                                                   size_t size) {
  if (!directory.Valid())
    return errno == EXDEV || errno == ELOOP ? WriteResult::Outside : WriteResult::OpenFailed;
  // An unnamed file first: a crash while it is written leaves nothing behind at all.
  FileDescriptor file(::openat(directory.Get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
  if (!file.Valid())
    return WriteNamed(directory.Get(), name, data, size);
  if (!WriteAll(file.Get(), data, size))
    return WriteResult::WriteFailed;
  // Without /proc an unnamed file cannot be given a name: a named one is written instead.
  WriteResult named = NameUnnamed(file, directory.Get(), name);
  return named == WriteResult::OpenFailed ? WriteNamed(directory.Get(), name, data, size) : named;
}

FileDescriptor ConfinedDirectory::OpenOwnFile(const std::string& path, bool append) {
  std::optional<std::string> below = Below(path);
  if (!below || below->empty())
    return FileDescriptor();
  // Only a plain file of its own: never a pipe to wait on, nor a link to a file elsewhere.
  const int flags = append ? O_RDWR | O_APPEND | O_CREAT : O_RDONLY;
  FileDescriptor fd(
      OpenBelow(*below, flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, append ? 0666 : 0));
  struct stat info {};
  // One written to has no other name, which it would change too; one read may (a snapshot).
  if (!fd.Valid() || ::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode) ||
      (append && info.st_nlink != 1))
    return FileDescriptor();
  return fd;
}

bool ConfinedDirectory::Rename(const std::string& from, const std::string& to) {
  std::string fromName;
  std::string toName;
  FileDescriptor fromDirectory = OpenParent(from, fromName);
  FileDescriptor toDirectory = OpenParent(to, toName);
  struct stat info {};
  // A regular file alone moves, and never onto a name that is taken.
  return fromDirectory.Valid() && toDirectory.Valid() &&
         ::fstatat(fromDirectory.Get(), fromName.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISREG(info.st_mode) &&
         ::renameat2(fromDirectory.Get(), fromName.c_str(), toDirectory.Get(), toName.c_str(),
                     RENAME_NOREPLACE) == 0;
}

bool ConfinedDirectory::SetModifiedTime(const std::string& path, int64_t seconds) {
  std::string name;
  FileDescriptor directory = OpenParent(path, name);
  return SetModifiedTime(directory, name, seconds);
}

bool ConfinedDirectory::SetModifiedTime(const FileDescriptor& directory, const std::string& name,
                                        int64_t seconds) {
  struct stat info {};
  if (!directory.Valid() ||
      ::fstatat(directory.Get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISREG(info.st_mode))
    return false;
  // Read now, modified when the server says.
  const timespec times[2] = {{0, UTIME_NOW}, {static_cast<time_t>(seconds), 0}};
  return ::utimensat(directory.Get(), name.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

int ConfinedDirectory::OpenUnnamedAtRoot() {
  if (!OpenRoot())
    return -1;
  const int fd = ::openat(m_rootFd.Get(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
  if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
    return fd;
  // A file system without unnamed files: a named one, its name taken away at once.
  for (int attempt = 0; attempt < 16; ++attempt) {
    const std::string temporary = TemporaryName();
    const int named = ::openat(m_rootFd.Get(), temporary.c_str(),
                               O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (named >= 0) {
      ::unlinkat(m_rootFd.Get(), temporary.c_str(), 0);
      return named;
    }
    if (errno != EEXIST)
      return -1;
  }
  return -1;
}

std::unique_ptr<SpoolFile> SpoolFile::Open(ConfinedDirectory& directory) {
  FileDescriptor fd(directory.OpenUnnamedAtRoot());
  if (!fd.Valid())
    return nullptr;
  return std::make_unique<SpoolFile>(std::move(fd));
}

bool SpoolFile::Write(const char* data, size_t size) {
  if (!m_fd.Valid() || !WriteAll(m_fd.Get(), data, size))
    return false;
  m_size += static_cast<int64_t>(size);
  return true;
}

void SpoolFile::Release(int64_t offset, int64_t size) {
  // Where the file system cannot, the room comes back with the file.
  (void)::fallocate(m_fd.Get(), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, offset, size);
}

bool SpoolFile::ReadAt(int64_t offset, char* into, size_t size) const {
  size_t done = 0;
  while (done < size) {
    const ssize_t n =
        ::pread(m_fd.Get(), into + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

WriteResult SpoolFile::Name(const FileDescriptor& directory, const std::string& name) {
  if (!directory.Valid())
    return errno == EXDEV || errno == ELOOP ? WriteResult::Outside : WriteResult::OpenFailed;
  FileDescriptor copy(::dup(m_fd.Get()));
  const WriteResult named =
      copy.Valid() ? NameUnnamed(copy, directory.Get(), name) : WriteResult::OpenFailed;
  if (named != WriteResult::OpenFailed)
    return named;
  // Another file system below the root, or no /proc: the bytes go to a file that is named.
  for (int attempt = 0; attempt < 16; ++attempt) {
    const std::string temporary = TemporaryName();
    FileDescriptor out(::openat(directory.Get(), temporary.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666));
    if (!out.Valid() && errno == EEXIST)
      continue;
    if (!out.Valid())
      return WriteResult::OpenFailed;
    bool whole = true;
    char buffer[65536];
    for (off_t at = 0; whole && at < m_size;) {
      const ssize_t n = ::pread(m_fd.Get(), buffer, sizeof buffer, at);
      whole = n > 0 && WriteAll(out.Get(), buffer, static_cast<size_t>(n));
      at += n > 0 ? n : 0;
    }
    whole = ::close(out.Release()) == 0 && whole;
    if (!whole ||
        ::renameat(directory.Get(), temporary.c_str(), directory.Get(), name.c_str()) != 0) {
      ::unlinkat(directory.Get(), temporary.c_str(), 0);
      return whole ? WriteResult::OpenFailed : WriteResult::WriteFailed;
    }
    return WriteResult::Written;
  }
  return WriteResult::OpenFailed;
}
