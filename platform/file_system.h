#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Writes every byte to an open file, going on after interruptions; false on an error.
bool WriteAll(int fd, const char* data, size_t size);

enum class WriteResult {
  Written,
  OpenFailed,   // the file could not be made (a directory in the way, no permission, ...)
  WriteFailed,  // a write, the flush or the close failed; nothing of it is left
  Outside,      // the path leads outside the directory it must stay in
};

// A file descriptor that closes itself.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : m_fd(fd) {}
  ~FileDescriptor();
  FileDescriptor(FileDescriptor&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  int Get() const { return m_fd; }
  // Gives the descriptor up without closing it.
  int Release() {
    int fd = m_fd;
    m_fd = -1;
    return fd;
  }
  bool Valid() const { return m_fd >= 0; }

 private:
  int m_fd;
};

class ConfinedDirectory;
struct stat;

// A file written beneath a directory before it has a name: a crash leaves nothing of it, and it
// takes its name only once whole, however large it has grown.
class SpoolFile {
 public:
  // An unnamed file at the directory's root; nothing where none can be made there.
  static std::unique_ptr<SpoolFile> Open(ConfinedDirectory& directory);
  explicit SpoolFile(FileDescriptor fd) : m_fd(std::move(fd)) {}

  // Appends the bytes; false when they could not all be written.
  bool Write(const char* data, size_t size);
  int64_t Size() const { return m_size; }
  // Reads its first size bytes; false where it has fewer or they cannot be read.
  bool Read(char* into, size_t size) const { return ReadAt(0, into, size); }
  // Reads size bytes from the offset; false where it has fewer or they cannot be read.
  bool ReadAt(int64_t offset, char* into, size_t size) const;
  // Gives the room of those bytes back to the disk; they read as zeros after.
  void Release(int64_t offset, int64_t size);
  // Gives it a name in a directory opened with OpenParent, replacing what has the name; where
  // the file system lets it take no name there, its bytes are copied to a file that does.
  WriteResult Name(const FileDescriptor& directory, const std::string& name);

 private:
  FileDescriptor m_fd;
  int64_t m_size = 0;
};

// Everything beneath one directory, reached so that no path, however it is written (".."
// segments, symbolic links that point elsewhere, /proc links), leads outside it. Paths are the
// absolute texts the crawl builds; the directory itself and what lies above it are the user's
// own choice and are reached as named. The directory may not exist yet: it is opened once
// something beneath it is wanted.
class ConfinedDirectory {
 public:
  explicit ConfinedDirectory(std::string root);

  const std::string& Root() const { return m_root; }
  // The part of path below the root, without a leading "/"; empty for the root itself and
  // nothing for a path that is not at or below the root.
  std::optional<std::string> Below(const std::string& path) const;
  // Whether the path is the root or one of the directories above it.
  bool AtOrAbove(const std::string& path) const;

  // Whether anything exists at the path (a dangling link or one leading out counts as nothing).
  bool Exists(const std::string& path);
  // Creates one directory level; 0 when it is made or there, else errno of the failure. madeNow:
  // whether this call made it.
  int MakeDirectory(const std::string& path, bool* madeNow = nullptr);
  // A regular file's first max bytes, read into destination; nothing for anything that is not
  // a regular file beneath the root (a directory, a pipe, a device, a link leading out).
  std::optional<size_t> ReadRegularFile(const std::string& path, char* destination, size_t max);
  // A regular file beneath the root, opened to read; invalid for anything else.
  FileDescriptor OpenRegularFile(const std::string& path, struct stat* about = nullptr);
  // The names in a directory at or beneath the root, sorted; nothing where it is none.
  std::optional<std::vector<std::string>> Entries(const std::string& path);
  // The size and modification time (seconds since 1970) of a regular file beneath the root.
  struct FileInfo {
    int64_t size = 0;
    int64_t modified = 0;
  };
  std::optional<FileInfo> RegularFileInfo(const std::string& path);
  // A regular file's text, likewise, up to max bytes; with whole, nothing where it has more.
  std::optional<std::string> ReadText(const std::string& path, size_t max, bool whole = false);
  // Replaces the file with the given bytes so that no reader, and no crash, ever sees a torn
  // file: the bytes go to a temporary file in the same directory, which takes the name once
  // every write, the flush and the close have succeeded. The new file gets 0666 less the umask.
  WriteResult WriteFileAtomically(const std::string& path, const char* data, size_t size);
  // The same in a directory opened with OpenParent.
  WriteResult WriteFileAtomically(const FileDescriptor& directory, const std::string& name,
                                  const char* data, size_t size);
  // The directory that holds the path's last component, and that component's name; invalid,
  // with errno set, when it cannot be opened (ENOENT: nothing is there; EXDEV: it leads out).
  FileDescriptor OpenParent(const std::string& path, std::string& name);
  // A plain file of the program's own, opened to read, or to read and add to (made where missing);
  // invalid where it is anything else.
  FileDescriptor OpenOwnFile(const std::string& path, bool append);
  // Gives a regular file beneath the root another name beneath it, where nothing has that name;
  // false when it cannot.
  bool Rename(const std::string& from, const std::string& to);
  // An unnamed file at the root, to be named later; -1 with errno set where none can be made.
  int OpenUnnamedAtRoot();
  // Sets a regular file's modification time (seconds since 1970); false when it cannot.
  bool SetModifiedTime(const std::string& path, int64_t seconds);
  // The same for a file in a directory opened with OpenParent.
  static bool SetModifiedTime(const FileDescriptor& directory, const std::string& name,
                              int64_t seconds);

 private:
  // Opens what lies at a path below the root with the given flags; -1 with errno set otherwise
  // (EXDEV when the path leads out).
  int OpenBelow(const std::string& below, int flags, int mode = 0);
  bool OpenRoot();
  static std::optional<std::string> ReadOpened(const FileDescriptor& fd, const struct stat& info,
                                               size_t max);

  std::string m_root;
  FileDescriptor m_rootFd;
};
