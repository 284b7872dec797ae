// The windows under a virtual display of the test's own, 1024x768, at whatever scale the
// environment gives (QT_SCALE_FACTOR).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "support/temp_dir.h"
#include "ui/kelvane_app.h"

// A display of the test's own: Xvfb says which once it is ready.
int main(int argc, char** argv) {
  int ready[2];
  if (pipe(ready) != 0)
    return 1;
  const pid_t server = fork();
  if (server == 0) {
    close(ready[0]);
    const std::string fd = std::to_string(ready[1]);
    execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-screen", "0",
           "1024x768x24", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(ready[1]);
  std::string display;
  pollfd wait{ready[0], POLLIN, 0};
  char c = 0;
  while (poll(&wait, 1, 20000) == 1 && read(ready[0], &c, 1) == 1 && c != '\n')
    display += c;
  close(ready[0]);
  if (display.empty()) {
    std::fprintf(stderr, "Xvfb did not start (is the xvfb package installed?)\n");
    kill(server, SIGKILL);
    waitpid(server, nullptr, 0);
    return 1;
  }
  setenv("DISPLAY", (":" + display).c_str(), 1);
  setenv("QT_QPA_PLATFORM", "xcb", 1);
  TempDir config;
  setenv("XDG_CONFIG_HOME", config.Path().c_str(), 1);
  int result = 1;
  {
    CKelvaneApp application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    result = RUN_ALL_TESTS();
  }
  kill(server, SIGTERM);
  waitpid(server, nullptr, 0);
  return result;
}
