// kelvane: the window.
#include "ui/kelvane_app.h"

int main(int argc, char** argv) {
  CKelvaneApp application(argc, argv);
  application.InitInstance();
  return 0;
}
