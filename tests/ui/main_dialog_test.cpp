#include "ui/main_dialog.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QTest>
#include <filesystem>

#include "support/loopback_server.h"
#include "support/settings_store.h"
#include "support/temp_dir.h"
#include "ui/directory_dialog.h"
#include "ui/preferences_dialog.h"
#include "ui_test_support.h"

namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;
const std::string kRoot = "SOFTWARE\\ORTALUX\\Kelvane\\";
const std::string kHistory = kRoot + "URLToDownload\\";

std::string Text(QWidget* widget) {
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

// Each test starts from an empty configuration and a save-to directory of its own.
class Window : public ::testing::Test {
 protected:
  void SetUp() override {
    std::error_code error;
    fs::remove_all(SettingsFilePath(), error);
    fs::remove_all(ProfileFilePath(), error);
    WriteSetting(kRoot + "SaveTo\\", m_saveTo.Path());
  }
  QComboBox* Combo(CKelvaneDlg& dialog) {
    return qobject_cast<QComboBox*>(dialog.ControlById(Control::UrlCombo));
  }
  QPushButton* Button(CKelvaneDlg& dialog, Control control) {
    return qobject_cast<QPushButton*>(dialog.ControlById(control));
  }
  std::string Shown(CKelvaneDlg& dialog, Control control) {
    return Text(dialog.ControlById(control));
  }
  // Types a URL into the combo box and moves the focus away, as a user would.
  void TypeUrl(CKelvaneDlg& dialog, const std::string& url) {
    QComboBox* combo = Combo(dialog);
    combo->setFocus();
    combo->lineEdit()->clear();
    QTest::keyClicks(combo->lineEdit(), QString::fromStdString(url));
    dialog.CommitUrl();
  }
  bool Idle(CKelvaneDlg& dialog) {
    return Button(dialog, Control::DownloadButton)->isEnabled() &&
           !Button(dialog, Control::StopButton)->isEnabled() && !dialog.WorkerRunning();
  }
  TempDir m_saveTo;
};

TEST_F(Window, ControlTable) {
  CKelvaneDlg dialog;
  dialog.OnInitDialog();
  EXPECT_EQ(dialog.windowTitle().toStdString(), "Kelvane V1.3");
  struct {
    Control id;
    const char* kind;
    const char* caption;
    bool enabled;
  } controls[] = {
      {Control::DownloadButton, "QPushButton", "Download", true},
      {Control::MirrorDirectoryEdit, "QLineEdit", nullptr, false},
      {Control::FileProgress, "QProgressBar", nullptr, true},
      {Control::StatusLine, "QLabel", "", true},
      {Control::ActivityProgress, "QProgressBar", nullptr, true},
      {Control::StopButton, "QPushButton", "Stop", false},
      {Control::QueueProgress, "QProgressBar", nullptr, true},
      {Control::QueuedFilesEdit, "QLineEdit", "", false},
      {Control::ReadFilesEdit, "QLineEdit", "", false},
      {Control::HelpButton, "QPushButton", "Help", true},
      {Control::OptionsButton, "QPushButton", "Options", true},
      {Control::DownloadedFilesEdit, "QLineEdit", "", false},
      {Control::BrowseMirrorButton, "QPushButton", "Browse", false},
      {Control::BrowseUrlButton, "QPushButton", "Browse", false},
      {Control::SaveToButton, "QPushButton", "Save to", true},
      {Control::CurrentItemLabel, "QLabel", "", true},
      {Control::CurrentItemEdit, "QLineEdit", "", false},
      {Control::UrlCombo, "QComboBox", "", true},
      {Control::DeleteFromListButton, "QPushButton", "Delete from list", true},
  };
  for (const auto& c : controls) {
    QWidget* widget = dialog.ControlById(c.id);
    ASSERT_NE(widget, nullptr) << static_cast<int>(c.id);
    EXPECT_TRUE(widget->inherits(c.kind)) << static_cast<int>(c.id);
    if (c.caption != nullptr) {
      EXPECT_EQ(Text(widget), c.caption) << static_cast<int>(c.id);
    }
    EXPECT_EQ(widget->isEnabled(), c.enabled) << static_cast<int>(c.id);
  }
  EXPECT_TRUE(Button(dialog, Control::DownloadButton)->isDefault());
  QStringList labels;
  for (QLabel* label : dialog.findChildren<QLabel*>())
    labels << label->text();
  for (const char* caption : {"URL ", "Queued files", "Read Files  ", "Downloaded files "}) {
    EXPECT_TRUE(labels.contains(caption)) << caption;
  }
  // The template's order is the focus order.
  std::vector<int> chain;
  QWidget* start = dialog.ControlById(Control::DownloadButton);
  QWidget* widget = start;
  do {
    if (widget->property("controlId").isValid())
      chain.push_back(widget->property("controlId").toInt());
    widget = widget->nextInFocusChain();
  } while (widget != start && chain.size() < 40);
  EXPECT_EQ(chain, (std::vector<int>{1001, 1002, 1003, 1004, 1005, 1006, 1007, 1008, 1009, 57670,
                                     1010, 1011, 1012, 1013, 1014, 1016, 1015, 1000, 1018}));
}

TEST_F(Window, NothingOverlapsAndEverythingFits) {
  CKelvaneDlg dialog;
  dialog.OnInitDialog();
  dialog.show();
  QRect area = dialog.rect();
  for (QWidget* child : dialog.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
    EXPECT_TRUE(area.contains(child->geometry())) << child->objectName().toStdString();
    if (auto* button = qobject_cast<QPushButton*>(child)) {
      int margin = button->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button);
      EXPECT_LE(button->fontMetrics().horizontalAdvance(button->text()) + 2 * margin,
                button->width())
          << button->text().toStdString() << " is clipped";
    } else if (auto* label = qobject_cast<QLabel*>(child); label && !label->wordWrap()) {
      EXPECT_LE(label->sizeHint().width(), label->width())
          << label->text().toStdString() << " is clipped";
    }
  }
  if (const char* out = std::getenv("KELVANE_SCREENSHOT"))
    dialog.grab().save(out);
}

TEST_F(Window, CompletedCrawlFromTheWindow) {
  RawServer server(SiteHandler({{"/", "<IMG SRC=\"a.gif\"><A HREF=\"b.htm\">"},
                                {"/a.gif", "GIF"},
                                {"/b.htm", "<IMG SRC=\"a.gif\">"}}));
  CKelvaneDlg dialog;
  dialog.OnInitDialog();
  dialog.show();
  TypeUrl(dialog, server.Url("/"));
  QTest::mouseClick(Button(dialog, Control::DownloadButton), Qt::LeftButton);
  EXPECT_FALSE(Button(dialog, Control::DownloadButton)->isEnabled());
  EXPECT_TRUE(Button(dialog, Control::StopButton)->isEnabled());
  ASSERT_TRUE(WaitFor([&] { return Idle(dialog); }));
  EXPECT_EQ(Shown(dialog, Control::QueuedFilesEdit), "0");
  EXPECT_EQ(Shown(dialog, Control::ReadFilesEdit), "3");
  EXPECT_EQ(Shown(dialog, Control::DownloadedFilesEdit), "3");
  const std::string host = m_saveTo.Path() + "/127.0.0.1:" + std::to_string(server.Port());
  EXPECT_EQ(Shown(dialog, Control::StatusLine), "Saving: " + host + "/b.htm");
  EXPECT_EQ(ReadFileBytes(host + "/a.gif"), "GIF");
  EXPECT_EQ(qobject_cast<QProgressBar*>(dialog.ControlById(Control::QueueProgress))->value(), 0);
}

TEST_F(Window, StopEndsACrawlAndDownloadComesBack) {
  RawServer server([](int fd, const std::string&) {
    SendAll(fd, "HTTP/1.0 200 OK\r\nContent-Length: 9000\r\n\r\n" + std::string(1500, 'x'));
    WaitForPeerClose(fd, 20000);
  });
  CKelvaneDlg dialog;
  dialog.OnInitDialog();
  dialog.show();
  TypeUrl(dialog, server.Url("/slow.htm"));
  QTest::mouseClick(Button(dialog, Control::DownloadButton), Qt::LeftButton);
  ASSERT_TRUE(
      WaitFor([&] { return Shown(dialog, Control::StatusLine) == "1024 bytes read Total=1024"; }));
  QTest::mouseClick(Button(dialog, Control::StopButton), Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return Idle(dialog); }, 5000));
  EXPECT_EQ(Shown(dialog, Control::StatusLine), "Transfert canceled");
}

TEST_F(Window, CrawlThatCannotConnectShowsTheMessage) {
  CKelvaneDlg dialog;
  dialog.OnInitDialog();
  dialog.show();
  std::string message;
  AnswerNextModal<QMessageBox>([&](QMessageBox* box) {
    message = box->text().toStdString();
    EXPECT_EQ(box->textFormat(), Qt::PlainText);
    box->button(QMessageBox::Ok)->click();
  });
  QTest::mouseClick(Button(dialog, Control::DownloadButton), Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return Idle(dialog); }));
  EXPECT_EQ(message, "Can't connect to /");
}

TEST_F(Window, EnterStartsACrawlOnlyWhileDownloadIsEnabled) {
  CKelvaneDlg dialog;
  dialog.OnInitDialog();
  dialog.show();
  dialog.activateWindow();
  Combo(dialog)->setFocus();
  int messages = 0;
  AnswerNextModal<QMessageBox>([&](QMessageBox* box) {
    ++messages;
    box->button(QMessageBox::Ok)->click();
  });
  QTest::keyClick(Combo(dialog)->lineEdit(), Qt::Key_Return);
  ASSERT_TRUE(WaitFor([&] { return messages == 1 && Idle(dialog); }));
  Button(dialog, Control::DownloadButton)->setEnabled(false);
  QTest::keyClick(Combo(dialog)->lineEdit(), Qt::Key_Return);
  QTest::qWait(100);
  EXPECT_FALSE(dialog.WorkerRunning());
}

TEST_F(Window, BarsShowEmptyForAnEmptyRangeAndClampThePosition) {
  CKelvaneDlg dialog;
  dialog.OnInitDialog();
  auto* file = qobject_cast<QProgressBar*>(dialog.ControlById(Control::FileProgress));
  dialog.SetProgressRange(Control::FileProgress, 0, 0);
  dialog.SetProgressPosition(Control::FileProgress, 500);
  EXPECT_GT(file->maximum(), file->minimum());  // not a busy indicator
  EXPECT_EQ(file->value(), 0);
  auto* activity = qobject_cast<QProgressBar*>(dialog.ControlById(Control::ActivityProgress));
  dialog.SetProgressRange(Control::ActivityProgress, 0, 16384);
  dialog.SetProgressPosition(Control::ActivityProgress, 17408);
  EXPECT_EQ(activity->value(), 16384);
  dialog.SetProgressPosition(Control::ActivityProgress, -1024);
  EXPECT_EQ(activity->value(), 0);
}

TEST_F(Window, ClosingDuringACrawlStopsTheWorkerFirst) {
  RawServer server([](int fd, const std::string&) {
    SendAll(fd, "HTTP/1.0 200 OK\r\nContent-Length: 9000\r\n\r\n");
    WaitForPeerClose(fd, 20000);
  });
  auto* dialog = new CKelvaneDlg;
  dialog->OnInitDialog();
  dialog->show();
  TypeUrl(*dialog, server.Url("/stall.htm"));
  QTest::mouseClick(Button(*dialog, Control::DownloadButton), Qt::LeftButton);
  ASSERT_TRUE(
      WaitFor([&] { return Shown(*dialog, Control::StatusLine) == "Reading remote file..."; }));
  QElapsedTimer timer;
  timer.start();
  dialog->reject();
  EXPECT_FALSE(dialog->WorkerRunning());
  EXPECT_LT(timer.elapsed(), 2000);
  EXPECT_EQ(ReadSetting(kHistory + "0"), server.Url("/stall.htm"));
  delete dialog;
  EXPECT_EQ(g_mainDialog, nullptr);
}

TEST_F(Window, EmptySaveToSettingUsesTheDownloadDirectory) {
  WriteSetting(kRoot + "SaveTo\\", "");
  CKelvaneDlg dialog;
  dialog.OnInitDialog();
  std::string saveTo = dialog.m_saveToDirectory.Get();
  EXPECT_FALSE(saveTo.empty());
  EXPECT_NE(saveTo, "/");
  EXPECT_EQ(ReadSetting(kRoot + "SaveTo\\"), "");
}

TEST_F(Window, HistoryLoadsSortedAndStoresInListOrder) {
  WriteSetting(kHistory + "0", "http://b/");
  WriteSetting(kHistory + "1", "http://a/");
  WriteSetting(kHistory + "2", "http://d/");
  WriteSetting(kHistory + "3", "http://stale-after-end/");  // beyond the empty entry below
  WriteSetting(kHistory + "CurIdx", "0");
  {
    WriteSetting(kHistory + "3", "");
    CKelvaneDlg dialog;
    dialog.OnInitDialog();
    QComboBox* combo = Combo(dialog);
    ASSERT_EQ(combo->count(), 3);
    EXPECT_EQ(combo->itemText(0).toStdString(), "http://a/");
    EXPECT_EQ(combo->itemText(1).toStdString(), "http://b/");
    EXPECT_EQ(combo->itemText(2).toStdString(), "http://d/");
    EXPECT_EQ(combo->currentText().toStdString(), "http://b/");
    EXPECT_EQ(dialog.m_historyIndex, 1);
    EXPECT_EQ(Shown(dialog, Control::MirrorDirectoryEdit), m_saveTo.Path() + "/b");
    dialog.OnDestroy();
  }
  EXPECT_EQ(ReadSetting(kHistory + "0"), "http://a/");
  EXPECT_EQ(ReadSetting(kHistory + "1"), "http://b/");
  EXPECT_EQ(ReadSetting(kHistory + "2"), "http://d/");
  EXPECT_EQ(ReadSetting(kHistory + "CurIdx"), "1");
}

TEST_F(Window, HistoryIndexBeyondTheListRestoresNothing) {
  WriteSetting(kHistory + "0", "http://b/");
  WriteSetting(kHistory + "CurIdx", "5");
  CKelvaneDlg dialog;
  dialog.OnInitDialog();
  EXPECT_EQ(dialog.m_historyIndex, -1);
  EXPECT_EQ(Combo(dialog)->currentText().toStdString(), "");
}

TEST_F(Window, CommitsAreExactAndDeletionIsNot) {
  WriteSetting(kHistory + "0", "http://HOST/");
  CKelvaneDlg dialog;
  dialog.OnInitDialog();
  dialog.show();
  QComboBox* combo = Combo(dialog);
  TypeUrl(dialog, "http://host/");
  EXPECT_EQ(combo->count(), 2);
  EXPECT_EQ(dialog.m_historyIndex, 1);
  TypeUrl(dialog, "http://host/");
  EXPECT_EQ(combo->count(), 2);
  EXPECT_EQ(dialog.m_historyIndex, 1);
  TypeUrl(dialog, "");  // an empty text is no entry
  EXPECT_EQ(combo->count(), 2);
  EXPECT_EQ(dialog.m_historyIndex, -1);
  TypeUrl(dialog, "http://nowhere/");
  combo->setEditText("http://NOWHERE/");
  dialog.DeleteCurrentUrl();  // matches without regard to case
  EXPECT_EQ(combo->count(), 2);
  EXPECT_EQ(combo->currentText().toStdString(), "http://HOST/");
  EXPECT_EQ(dialog.m_historyIndex, 0);
  combo->setEditText("http://not-listed/");
  dialog.DeleteCurrentUrl();
  EXPECT_EQ(combo->count(), 2);
  dialog.DeleteCurrentUrl();
  combo->setEditText("http://host/");
  dialog.DeleteCurrentUrl();
  dialog.DeleteCurrentUrl();
  EXPECT_EQ(combo->count(), 0);
  EXPECT_EQ(dialog.m_historyIndex, -1);
  EXPECT_EQ(combo->currentText().toStdString(), "");
}

TEST_F(Window, StaleEntriesAreClearedAtExit) {
  for (int i = 0; i < 5; ++i)
    WriteSetting(kHistory + std::to_string(i), "http://e" + std::to_string(i) + "/");
  {
    CKelvaneDlg dialog;
    dialog.OnInitDialog();
    // Each deletion makes the first remaining entry current: three go from the top.
    for (int i = 0; i < 3; ++i)
      dialog.DeleteCurrentUrl();
    dialog.OnDestroy();
  }
  EXPECT_EQ(ReadSetting(kHistory + "0"), "http://e3/");
  EXPECT_EQ(ReadSetting(kHistory + "1"), "http://e4/");
  for (int i = 2; i < 5; ++i)
    EXPECT_EQ(ReadSetting(kHistory + std::to_string(i)), "");
}

TEST_F(Window, LongHistoryEntriesComeBackWhole) {
  const std::string longUrl = "http://host/" + std::string(400, 'x') + ".htm";
  WriteSetting(kHistory + "0", longUrl);
  WriteSetting(kHistory + "CurIdx", "0");
  CKelvaneDlg dialog;
  dialog.OnInitDialog();
  EXPECT_EQ(Combo(dialog)->currentText().toStdString(), longUrl);
  EXPECT_EQ(dialog.m_url.Get(), longUrl);
}

TEST_F(Window, TypingRefreshesTheMirrorDirectoryAtEveryKey) {
  CKelvaneDlg dialog;
  dialog.OnInitDialog();
  dialog.show();
  Combo(dialog)->setFocus();
  QTest::keyClicks(Combo(dialog)->lineEdit(), "http://h/d");
  EXPECT_EQ(Shown(dialog, Control::MirrorDirectoryEdit), m_saveTo.Path() + "/h/d");
  QTest::keyClicks(Combo(dialog)->lineEdit(), "/p.htm");
  EXPECT_EQ(Shown(dialog, Control::MirrorDirectoryEdit), m_saveTo.Path() + "/h/d");
  EXPECT_EQ(dialog.m_url.Get(), "http://h/d/p.htm");
  EXPECT_EQ(Combo(dialog)->count(), 0);  // typing alone adds nothing
}

TEST_F(Window, SaveToChooserConfirmAndCancel) {
  TempDir chosen;
  CKelvaneDlg dialog;
  dialog.OnInitDialog();
  dialog.show();
  TypeUrl(dialog, "http://host/docs/");
  AnswerNextModal<CDirectoryDialog>([](CDirectoryDialog* chooser) { chooser->reject(); });
  dialog.ChooseSaveToDirectory();
  EXPECT_EQ(dialog.m_saveToDirectory.Get(), m_saveTo.Path());
  EXPECT_EQ(ReadSetting(kRoot + "SaveTo\\"), m_saveTo.Path());

  std::string label;
  bool typesHidden = false;
  AnswerNextModal<CDirectoryDialog>([&](CDirectoryDialog* chooser) {
    label = chooser->findChild<QLabel*>("fileNameLabel")->text().toStdString();
    typesHidden = !chooser->findChild<QWidget*>("fileTypeCombo")->isVisible();
    chooser->setDirectory(QString::fromStdString(chosen.Path()));
    emit chooser->directoryEntered(QString::fromStdString(chosen.Path()));
    QTest::qWait(50);
    EXPECT_EQ(chooser->findChild<QLineEdit*>("fileNameEdit")->text().toStdString(), chosen.Path());
    chooser->OpenButton()->click();
  });
  dialog.ChooseSaveToDirectory();
  EXPECT_EQ(label, "Repertoire:");
  EXPECT_TRUE(typesHidden);
  EXPECT_EQ(dialog.m_saveToDirectory.Get(), chosen.Path());
  EXPECT_EQ(ReadSetting(kRoot + "SaveTo\\"), chosen.Path());
  EXPECT_EQ(Shown(dialog, Control::MirrorDirectoryEdit), chosen.Path() + "/host/docs");
}

TEST_F(Window, OpenOnlyEndsTheChooserOnARealDirectory) {
  TempDir parent;
  const std::string folder = parent.Path() + "/soon gone";
  fs::create_directory(folder);
  CDirectoryDialog chooser(folder, nullptr);
  chooser.show();
  chooser.setDirectory(QString::fromStdString(folder));
  fs::remove(folder);
  chooser.OpenButton()->click();
  EXPECT_TRUE(chooser.isVisible());
  EXPECT_EQ(chooser.m_folder, "");
}

TEST_F(Window, PreferencesWriteAtEachClickAndBrowseButtonsFollow) {
  TempDir programs;
  const std::string browser = programs.Path() + "/web browser";
  WriteFileBytes(browser, "#!/bin/sh\n");
  fs::permissions(browser, fs::perms::owner_all);
  CKelvaneDlg dialog;
  dialog.OnInitDialog();
  dialog.show();
  EXPECT_FALSE(Button(dialog, Control::BrowseUrlButton)->isEnabled());
  Strings verboseAfterClicks;
  bool enabledWhileOpen = true;
  AnswerNextModal<CPreferencesDialog>([&](CPreferencesDialog* preferences) {
    auto* verbose = qobject_cast<QCheckBox*>(preferences->ControlById(1067));
    QTest::mouseClick(verbose, Qt::LeftButton);
    verboseAfterClicks.push_back(ReadSetting(kRoot + "Verbose"));
    QTest::mouseClick(verbose, Qt::LeftButton);
    verboseAfterClicks.push_back(ReadSetting(kRoot + "Verbose"));
    QTest::mouseClick(verbose, Qt::LeftButton);
    verboseAfterClicks.push_back(ReadSetting(kRoot + "Verbose"));
    AnswerNextModal<QFileDialog>([&](QFileDialog* files) {
      EXPECT_EQ(files->windowTitle().toStdString(), "Browser");
      EXPECT_TRUE(files->nameFilters().contains("All files (*)"));
      files->selectFile(QString::fromStdString(browser));
      QMetaObject::invokeMethod(files, "accept");
    });
    qobject_cast<QPushButton*>(preferences->ControlById(1053))->click();
    EXPECT_EQ(ReadSetting(kRoot + "Browser"), browser);
    EXPECT_EQ(Text(preferences->ControlById(1048)), browser);
    enabledWhileOpen = Button(dialog, Control::BrowseUrlButton)->isEnabled();
    preferences->reject();
  });
  dialog.OpenPreferences();
  EXPECT_EQ(verboseAfterClicks, (Strings{"1", "0", "1"}));
  EXPECT_EQ(dialog.m_verbose.load(), 1);
  EXPECT_FALSE(enabledWhileOpen);
  EXPECT_TRUE(Button(dialog, Control::BrowseUrlButton)->isEnabled());
  EXPECT_TRUE(Button(dialog, Control::BrowseMirrorButton)->isEnabled());

  AnswerNextModal<CPreferencesDialog>([&](CPreferencesDialog* preferences) {
    qobject_cast<QPushButton*>(preferences->ControlById(1071))->click();
    EXPECT_EQ(ReadSetting(kRoot + "Browser"), "");
    EXPECT_EQ(Text(preferences->ControlById(1048)), "");
    preferences->reject();
  });
  dialog.OpenPreferences();
  EXPECT_FALSE(Button(dialog, Control::BrowseUrlButton)->isEnabled());
  EXPECT_FALSE(Button(dialog, Control::BrowseMirrorButton)->isEnabled());
}

TEST_F(Window, BrowserGetsTheAddressAsOneArgumentNeverThroughAShell) {
  TempDir programs;
  const std::string browser = programs.Path() + "/my browser";
  const std::string record = programs.Path() + "/arguments";
  WriteFileBytes(
      browser, "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\" >> '" + record + "'; done\n");
  fs::permissions(browser, fs::perms::owner_all);
  WriteSetting(kRoot + "Browser", browser);
  CKelvaneDlg dialog;
  dialog.OnInitDialog();
  dialog.show();
  const std::string url =
      "http://h/a;touch " + programs.Path() + "/owned$(touch " + programs.Path() + "/owned2)";
  dialog.m_url.Set(url);
  EXPECT_EQ(CKelvaneDlg::BrowserCommandLine(browser, url), browser + " " + url);
  QTest::mouseClick(Button(dialog, Control::BrowseUrlButton), Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return fs::exists(record); }, 5000));
  QTest::qWait(200);
  EXPECT_EQ(ReadFileBytes(record), url + "\n");
  EXPECT_FALSE(fs::exists(programs.Path() + "/owned"));
  EXPECT_FALSE(fs::exists(programs.Path() + "/owned2"));
  fs::remove(record);
  dialog.m_mirrorDirectory.Set("/srv/Sites/host/docs");
  QTest::mouseClick(Button(dialog, Control::BrowseMirrorButton), Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return fs::exists(record); }, 5000));
  QTest::qWait(200);
  EXPECT_EQ(ReadFileBytes(record), "/srv/Sites/host/docs\n");
  WriteSetting(kRoot + "Browser", programs.Path() + "/not there");
  QTest::mouseClick(Button(dialog, Control::BrowseUrlButton), Qt::LeftButton);  // silently nothing
}

TEST_F(Window, PlacementRoundTripAndBadTextsIgnored) {
  {
    CKelvaneDlg dialog;
    dialog.OnInitDialog();
    dialog.show();
    dialog.move(40, 30);
    dialog.OnDestroy();
  }
  std::string stored = ReadProfileString("Settings", "KelvaneDlg");
  EXPECT_TRUE(stored.starts_with("0,1,-1,-1,-1,-1,40,30,")) << stored;
  {
    CKelvaneDlg dialog;
    dialog.OnInitDialog();
    EXPECT_EQ(dialog.pos(), QPoint(40, 30));
  }
  for (const char* bad :
       {"0,1,-1,-1,-1,-1,40,30,500", "0,1,-1,-1,-1,-1,x,30,500,400",
        "0,1,-1,-1,-1,-1,90000,90000,90500,90400", "0,1,-1,-1,-1,-1,500,400,40,30", ""}) {
    WriteProfileString("Settings", "KelvaneDlg", bad);
    CKelvaneDlg dialog;
    EXPECT_FALSE(dialog.LoadWindowPlacement()) << bad;
    dialog.m_placementEntry = "KelvaneDlg";
    dialog.OnDestroy();
    EXPECT_TRUE(ReadProfileString("Settings", "KelvaneDlg").starts_with("0,1,-1,-1,-1,-1,")) << bad;
  }
}

}  // namespace
