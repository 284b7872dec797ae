#pragma once

#include <sys/types.h>

#include <string>

#include "support/temp_dir.h"

struct NginxOptions {
  // With both: https, and HTTP/2 offered.
  std::string certificate;
  std::string key;
  bool gzip = false;  // compressed answers for those that ask, of every text type
  // Each request is logged as "PROTOCOL STATUS CONTENT-ENCODING URI" (see AccessLog).
  bool logRequests = false;
  std::string directives;  // more of the http block, as written
};

// A real nginx serving a directory on 127.0.0.1 and a free port, with a configuration of its
// own in a temporary directory; stopped with the object.
class NginxServer {
 public:
  explicit NginxServer(const std::string& root, const NginxOptions& options = {});
  ~NginxServer();
  NginxServer(const NginxServer&) = delete;
  NginxServer& operator=(const NginxServer&) = delete;

  bool Running() const { return m_pid > 0; }
  int Port() const { return m_port; }
  std::string Url(const std::string& path) const;
  std::string AccessLog() const { return m_prefix.Path() + "/access.log"; }
  static bool Available();

 private:
  TempDir m_prefix;
  bool m_https = false;
  pid_t m_pid = -1;
  int m_port = 0;
};
