#pragma once

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTest>
#include <QTreeWidget>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <set>
#include <thread>

#include "support/loopback_server.h"
#include "support/settings_store.h"
#include "support/temp_dir.h"
#include "ui/copy_preferences.h"
#include "ui/crawl_report.h"
#include "ui/dialog_units.h"
#include "ui/directory_dialog.h"
#include "ui/login_dialog.h"
#include "ui/main_dialog.h"
#include "ui/preferences_dialog.h"
#include "ui_test_support.h"

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;
inline const std::string kRoot = "SOFTWARE\\ORTALUX\\Kelvane\\";
inline const std::string kHistory = kRoot + "URLToDownload\\";

inline std::string Text(QWidget* widget) {
  if (auto* label = qobject_cast<QLabel*>(widget))
    return label->text().toStdString();
  if (auto* edit = qobject_cast<QLineEdit*>(widget))
    return edit->text().toStdString();
  if (auto* button = qobject_cast<QAbstractButton*>(widget))
    return button->text().toStdString();
  if (auto* combo = qobject_cast<QComboBox*>(widget))
    return combo->currentText().toStdString();
  return "";
}

// Each test starts from an empty configuration and a save-to directory of its own. Everything a
// person does goes in as keys and clicks; the handlers run only as the window routes them.
class Window : public ::testing::Test {
 protected:
  void SetUp() override {
    std::error_code error;
    fs::remove_all(SettingsFilePath(), error);
    fs::remove_all(ProfileFilePath(), error);
    WriteSetting(kRoot + "SaveTo\\", m_saveTo.Path());
    // No browser, whatever the machine has: a first start takes the desktop's where it has one.
    WriteSetting(kRoot + "Browser", "");
  }
  // Nothing a test set reaches the tests after it.
  void TearDown() override {
    std::error_code error;
    fs::remove_all(SettingsFilePath(), error);
    fs::remove_all(ProfileFilePath(), error);
  }
  // The program's start: the window set up, shown and in front.
  static void Start(CKelvaneDlg& dialog) {
    dialog.OnInitDialog();
    dialog.show();
    dialog.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
  }
  // Escape, as a person ends the program.
  static void Close(CKelvaneDlg& dialog) {
    QWidget* focus = QApplication::focusWidget();
    QTest::keyClick(focus != nullptr ? focus : &dialog, Qt::Key_Escape);
  }
  QComboBox* Combo(CKelvaneDlg& dialog) {
    return qobject_cast<QComboBox*>(dialog.ControlById(Control::UrlCombo));
  }
  QPushButton* Button(CKelvaneDlg& dialog, Control control) {
    return qobject_cast<QPushButton*>(dialog.ControlById(control));
  }
  void Click(CKelvaneDlg& dialog, Control control) {
    QTest::mouseClick(Button(dialog, control), Qt::LeftButton);
  }
  std::string Shown(CKelvaneDlg& dialog, Control control) {
    return Text(dialog.ControlById(control));
  }
  // A click into the URL box, everything in it selected and typed over; the focus stays there.
  void Type(CKelvaneDlg& dialog, const std::string& url) {
    QLineEdit* edit = Combo(dialog)->lineEdit();
    QTest::mouseClick(edit, Qt::LeftButton);
    QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(edit, Qt::Key_Delete);
    QTest::keyClicks(edit, QString::fromStdString(url));
  }
  // Types a URL and moves on with Tab, as a user would.
  void TypeUrl(CKelvaneDlg& dialog, const std::string& url) {
    Type(dialog, url);
    QTest::keyClick(Combo(dialog)->lineEdit(), Qt::Key_Tab);
  }
  std::vector<std::string> Entries(CKelvaneDlg& dialog) {
    std::vector<std::string> entries;
    for (int i = 0; i < Combo(dialog)->count(); ++i)
      entries.push_back(Combo(dialog)->itemText(i).toStdString());
    return entries;
  }
  // A program named name in directory: it writes its first argument to directory/opened once it
  // runs, whole, then named, so that a test never reads it half written.
  static std::string FakeProgram(const TempDir& directory, const std::string& name) {
    const std::string record = directory.Path() + "/opened";
    WriteFileBytes(directory.Path() + "/" + name, "#!/bin/sh\nprintf '%s' \"$1\" > '" + record +
                                                      ".part' && mv '" + record + ".part' '" +
                                                      record + "'\n");
    fs::permissions(directory.Path() + "/" + name, fs::perms::owner_all);
    return record;
  }
  bool Idle(CKelvaneDlg& dialog) {
    return Button(dialog, Control::DownloadButton)->isEnabled() &&
           !Button(dialog, Control::StopButton)->isEnabled() && !dialog.WorkerRunning();
  }
  TempDir m_saveTo;
};
