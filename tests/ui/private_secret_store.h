#pragma once

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>

#include "support/temp_dir.h"

// The window tests' session bus leads nowhere, so that no test reaches the desktop's own secret
// store; this gives one test a store of its own: a bus and an unlocked keyring under a home of
// its own. The keyring ends with its bus.
class PrivateSecretStore {
 public:
  static constexpr const char* kNoBus = "unix:path=/nonexistent/kelvane-tests-bus";

  PrivateSecretStore() {
    FILE* bus = popen("dbus-daemon --session --fork --print-address=1 --print-pid=1", "r");
    char address[512] = {}, pid[32] = {};
    if (bus == nullptr)
      return;
    if (fgets(address, sizeof address, bus) && fgets(pid, sizeof pid, bus))
      m_busPid = atoi(pid);
    pclose(bus);
    const std::string runtime = m_home.Path() + "/run";
    mkdir(runtime.c_str(), 0700);
    std::string where = address;
    where.erase(where.find_last_not_of('\n') + 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", where.c_str(), 1);
    m_unlocked = m_busPid > 0 &&
                 std::system(("printf test | HOME='" + m_home.Path() + "' XDG_DATA_HOME='" +
                              m_home.Path() + "' XDG_RUNTIME_DIR='" + runtime +
                              "' gnome-keyring-daemon --unlock --components=secrets >/dev/null")
                                 .c_str()) == 0;
  }
  ~PrivateSecretStore() {
    if (m_busPid > 0)
      kill(m_busPid, SIGTERM);
    setenv("DBUS_SESSION_BUS_ADDRESS", kNoBus, 1);
  }
  bool Unlocked() const { return m_unlocked; }

 private:
  TempDir m_home;
  pid_t m_busPid = -1;
  bool m_unlocked = false;
};
