#pragma once

#include <string>

#include "support/temp_dir.h"

// A certificate authority of the test's own, and a certificate for 127.0.0.1 that it signed,
// made with the openssl command line in a directory that goes with the object.
class TestAuthority {
 public:
  TestAuthority();

  bool Ready() const { return m_ready; }
  std::string Authority() const { return m_dir.Path() + "/ca.pem"; }
  std::string Certificate() const { return m_dir.Path() + "/server.pem"; }
  std::string Key() const { return m_dir.Path() + "/server.key"; }

 private:
  TempDir m_dir;
  bool m_ready = false;
};
