#include "ui/kelvane_app.h"

#include "support/settings_store.h"
#include "ui/main_dialog.h"

CKelvaneApp::CKelvaneApp(int& argc, char** argv) : QApplication(argc, argv) {
  // No display name: on X11 the toolkit would append it to every window's caption.
  setDesktopFileName(QStringLiteral("kelvane"));
}

bool CKelvaneApp::InitInstance() {
  SetProfileProgramName("kelvane");
  CKelvaneDlg dialog;
  dialog.DoModal();
  return false;
}
