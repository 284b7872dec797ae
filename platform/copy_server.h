#pragma once

#include <memory>
#include <string>
#include <thread>

// A copy served over http on 127.0.0.1, read-only: a browser then runs its scripts' workers,
// fetches and module scripts, which it refuses to pages opened from disk. Only files beneath the
// copy's directory are served, each with the type the crawl recorded for it, or its name's.
class CopyServer {
 public:
  explicit CopyServer(std::string directory);
  ~CopyServer();
  CopyServer(const CopyServer&) = delete;
  CopyServer& operator=(const CopyServer&) = delete;

  // Listens on a free port and serves on a thread of its own; false, with why, when it cannot.
  bool Start(std::string& why);
  // The address of the copy's start page: the first page its crawl stored, else its root.
  std::string StartAddress() const;
  // The address a file of the copy is served at, named by its path below the directory.
  std::string AddressOf(const std::string& below) const;
  const std::string& Directory() const { return m_directory; }
  void Stop();

 private:
  struct Server;
  std::string m_directory;
  std::unique_ptr<Server> m_server;
  int m_port = 0;
  std::thread m_thread;
};

// The type a file's name gives it, for a file the crawl recorded none for.
std::string TypeOfName(const std::string& name);
