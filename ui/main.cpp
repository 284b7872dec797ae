// kelvane: the window.
#include <csignal>

#include "ui/kelvane_app.h"

int main(int argc, char** argv) {
  // A file grown past the size limit (ulimit -f) is a write that fails, said as such.
  std::signal(SIGXFSZ, SIG_IGN);
  CKelvaneApp application(argc, argv);
  application.InitInstance();
  return 0;
}
