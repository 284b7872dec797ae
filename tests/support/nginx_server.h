#pragma once

#include <sys/types.h>

#include <string>

#include "support/temp_dir.h"

// A real nginx serving a directory on 127.0.0.1 and a free port, with a configuration of its
// own in a temporary directory; stopped with the object.
class NginxServer {
 public:
  explicit NginxServer(const std::string& root);
  ~NginxServer();
  NginxServer(const NginxServer&) = delete;
  NginxServer& operator=(const NginxServer&) = delete;

  bool Running() const { return m_pid > 0; }
  int Port() const { return m_port; }
  std::string Url(const std::string& path) const;
  static bool Available();

 private:
  TempDir m_prefix;
  pid_t m_pid = -1;
  int m_port = 0;
};
