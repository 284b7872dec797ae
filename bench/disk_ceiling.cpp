// The fastest the disk alone can store a copy: writes the files of a list, one after the other,
// with no network and no parsing, so a crawl's time can be set against what its files cost the
// file system. Each line of LIST is `relative/path<TAB>size`, with a third column `1` for a file
// the copy writes twice (a page whose links are converted once the crawl has ended). Every file
// is created and written whole (open, write, close) in the order of the list, each directory made
// once; then each file marked `1` is written again under a temporary name and renamed over the
// first, as the conversion replaces a page. The bytes come from one fixed buffer.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <unordered_set>

namespace {
char buffer[1 << 16];

bool WriteFile(int root, const std::string& path, long long size) {
  const int fd = ::openat(root, path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0)
    return false;
  bool whole = true;
  for (long long left = size; whole && left > 0;) {
    const size_t chunk = left < static_cast<long long>(sizeof buffer) ? left : sizeof buffer;
    const ssize_t n = ::write(fd, buffer, chunk);
    whole = n > 0 || (n < 0 && errno == EINTR);
    left -= n > 0 ? n : 0;
  }
  return ::close(fd) == 0 && whole;
}

// Makes the parent directories of a path the first time one of its files is met.
bool MakeParents(int root, const std::string& path, std::unordered_set<std::string>& made) {
  for (size_t slash = path.find('/'); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    const std::string directory = path.substr(0, slash);
    if (made.count(directory))
      continue;
    if (::mkdirat(root, directory.c_str(), 0777) != 0 && errno != EEXIST)
      return false;
    made.insert(directory);
  }
  return true;
}

struct Entry {
  std::string path;
  long long size = 0;
  bool twice = false;
};

bool Parse(const std::string& line, Entry& entry) {
  const size_t tab = line.find('\t');
  if (tab == std::string::npos || tab == 0)
    return false;
  entry.path = line.substr(0, tab);
  char* end = nullptr;
  entry.size = std::strtoll(line.c_str() + tab + 1, &end, 10);
  entry.twice = *end == '\t' && end[1] == '1';
  return entry.size >= 0;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s LIST OUT-DIR\n", argv[0]);
    return 2;
  }
  std::memset(buffer, 'x', sizeof buffer);
  ::mkdir(argv[2], 0777);
  const int root = ::open(argv[2], O_DIRECTORY | O_RDONLY | O_CLOEXEC);
  if (root < 0) {
    std::perror(argv[2]);
    return 1;
  }
  // The list is read twice rather than held: a copy of a million pages lists two million files.
  std::ifstream list(argv[1]);
  if (!list) {
    std::perror(argv[1]);
    return 1;
  }
  std::unordered_set<std::string> made;
  std::string line;
  Entry entry;
  long long written = 0, failed = 0;
  while (std::getline(list, line)) {
    if (!Parse(line, entry))
      continue;
    if (MakeParents(root, entry.path, made) && WriteFile(root, entry.path, entry.size))
      ++written;
    else
      ++failed;
  }
  list.clear();
  list.seekg(0);
  while (std::getline(list, line)) {
    if (!Parse(line, entry) || !entry.twice)
      continue;
    const std::string temporary = entry.path + ".kelvane-disk-tmp";
    if (!WriteFile(root, temporary, entry.size) ||
        ::renameat(root, temporary.c_str(), root, entry.path.c_str()) != 0)
      ++failed;
  }
  ::close(root);
  if (failed != 0)
    std::fprintf(stderr, "%lld files written, %lld failed\n", written, failed);
  return failed == 0 ? 0 : 1;
}
