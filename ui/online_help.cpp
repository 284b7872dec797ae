#include "ui/main_dialog.h"

// The help viewer comes with the help file; until then the button shows nothing, as it does
// whenever the viewer cannot be loaded.
void CKelvaneDlg::ShowHelp() {}
