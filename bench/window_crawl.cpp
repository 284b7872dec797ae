// The window's crawl, offscreen: types the address, presses "Download", waits for the end.
#include <stdlib.h>

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include "support/settings_store.h"
#include "ui/main_dialog.h"

int main(int argc, char** argv) {
  if (argc != 3)
    return 2;
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication application(argc, argv);
  WriteSetting("SOFTWARE\\ORTALUX\\Kelvane\\SaveTo\\", argv[2]);
  CKelvaneDlg dialog;
  dialog.OnInitDialog();
  dialog.show();
  auto* combo = qobject_cast<QComboBox*>(dialog.ControlById(Control::UrlCombo));
  combo->setEditText(QString::fromUtf8(argv[1]));
  auto* download = qobject_cast<QPushButton*>(dialog.ControlById(Control::DownloadButton));
  QObject::connect(&dialog, &CKelvaneDlg::workerFinished, &application, &QApplication::quit);
  QTimer::singleShot(0, download, &QPushButton::click);
  return application.exec();
}
