#pragma once

// The working directory of a package being made: NAME.XXXXXX beside the package NAME, locked
// (flock) for as long as its crawl runs, so that another crawl naming the same package sees it
// is taken, and one left by a killed crawl can be told from a live one.
#include <memory>
#include <string>

class PackageScratch {
 public:
  // Claims a new working directory for the package, first removing those that killed crawls
  // left; nothing, with why, when another crawl is making the same package or none can be made.
  static std::unique_ptr<PackageScratch> Claim(const std::string& package, std::string& why);
  // The directory and everything in it removed, then the lock let go.
  ~PackageScratch();
  PackageScratch(const PackageScratch&) = delete;
  PackageScratch& operator=(const PackageScratch&) = delete;

  const std::string& Path() const { return m_path; }

 private:
  PackageScratch(std::string path, int fd) : m_path(std::move(path)), m_fd(fd) {}
  std::string m_path;
  int m_fd;  // the directory, opened and locked
};

// Whether anything has the name: a file, a directory, or a link, wherever it leads or not.
bool NameTaken(const std::string& path);
// The directory a path names its file in: "." for a bare name.
std::string DirectoryOf(const std::string& path);
