#include "ui/main_dialog.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QTest>
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
#include "ui/dialog_units.h"
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

// Each test starts from an empty configuration and a save-to directory of its own. Everything a
// person does goes in as keys and clicks; the handlers run only as the window routes them.
class Window : public ::testing::Test {
 protected:
  void SetUp() override {
    std::error_code error;
    fs::remove_all(SettingsFilePath(), error);
    fs::remove_all(ProfileFilePath(), error);
    WriteSetting(kRoot + "SaveTo\\", m_saveTo.Path());
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
  // One size of font for every button, whichever caption needed the smallest.
  std::set<qreal> buttonSizes;
  for (QPushButton* button : dialog.findChildren<QPushButton*>())
    buttonSizes.insert(button->font().pointSizeF());
  EXPECT_EQ(buttonSizes.size(), 1u);
  if (const char* out = std::getenv("KELVANE_SCREENSHOT"))
    dialog.grab().save(out);
}

// A status text longer than the line's box ends on whole lines, the last with an ellipsis, and
// the whole text is the tooltip; a long address in the URL box shows from its start after a
// restart, where its server is.
TEST_F(Window, LongTextsShowTheirStart) {
  const std::string path = "/" + std::string(120, 'x') + "/" + std::string(120, 'y') + "/";
  RawServer server(SiteHandler({{path, "page"}}));
  const std::string address = server.Url(path);
  {
    CKelvaneDlg dialog;
    Start(dialog);
    Type(dialog, address);
    Click(dialog, Control::DownloadButton);
    ASSERT_TRUE(WaitFor([&] { return Idle(dialog); }));
    auto* status = qobject_cast<QLabel*>(dialog.ControlById(Control::StatusLine));
    const std::string text = status->text().toStdString();
    EXPECT_TRUE(text.starts_with("Mkdir: " + m_saveTo.Path())) << text;
    status->grab();  // painted as a person sees it
    const QRect box = status->contentsRect();
    const QStringList lines = FitLines(status->text(), status->font(), box.width(), box.height());
    EXPECT_LE(lines.size() * status->fontMetrics().lineSpacing(), box.height());
    EXPECT_TRUE(lines.back().endsWith(QChar(0x2026))) << lines.back().toStdString();
    for (const QString& line : lines)
      EXPECT_LE(status->fontMetrics().horizontalAdvance(line), box.width());
    EXPECT_TRUE(status->toolTip().toStdString().starts_with(text + "\nLast crawl: "))
        << status->toolTip().toStdString();
    QTest::keyClick(&dialog, Qt::Key_Escape);
  }
  CKelvaneDlg restarted;
  Start(restarted);
  EXPECT_EQ(Combo(restarted)->currentText().toStdString(), address);
  EXPECT_EQ(Combo(restarted)->lineEdit()->cursorPosition(), 0);
}

TEST_F(Window, CompletedCrawlFromTheWindow) {
  RawServer server(SiteHandler({{"/", "<IMG SRC=\"a.gif\"><A HREF=\"b.htm\">"},
                                {"/a.gif", "GIF"},
                                {"/b.htm", "<IMG SRC=\"a.gif\">"}}));
  CKelvaneDlg dialog;
  Start(dialog);
  Type(dialog, server.Url("/"));
  Click(dialog, Control::DownloadButton);
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
  Start(dialog);
  TypeUrl(dialog, server.Url("/slow.htm"));
  Click(dialog, Control::DownloadButton);
  ASSERT_TRUE(
      WaitFor([&] { return Shown(dialog, Control::StatusLine) == "1024 bytes read Total=1024"; }));
  Click(dialog, Control::StopButton);
  ASSERT_TRUE(WaitFor([&] { return Idle(dialog); }, 5000));
  EXPECT_EQ(Shown(dialog, Control::StatusLine), "Transfert canceled");
}

TEST_F(Window, CrawlThatCannotConnectShowsTheMessage) {
  CKelvaneDlg dialog;
  Start(dialog);
  std::string message;
  AnswerNextModal<QMessageBox>([&](QMessageBox* box) {
    message = box->text().toStdString();
    EXPECT_EQ(box->textFormat(), Qt::PlainText);
    QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
  });
  Click(dialog, Control::DownloadButton);
  ASSERT_TRUE(WaitFor([&] { return Idle(dialog) && !message.empty(); }));
  EXPECT_EQ(message, "Can't connect to /");
}

// The crawl takes exactly the typed text: nothing completes it from the list, in any letter case,
// and the first Enter presses "Download". While a crawl runs, Enter starts nothing.
TEST_F(Window, EnterCrawlsExactlyTheTypedTextOnlyWhileDownloadIsEnabled) {
  WriteSetting(kHistory + "0", "/kelvane-no-such-dir/ABCDEF.htm");
  CKelvaneDlg dialog;
  Start(dialog);
  std::string message;
  AnswerNextModal<QMessageBox>([&](QMessageBox* box) {
    message = box->text().toStdString();
    QTest::keyClick(box, Qt::Key_Return);
  });
  Type(dialog, "/kelvane-no-such-dir/a");
  EXPECT_EQ(Combo(dialog)->currentText().toStdString(), "/kelvane-no-such-dir/a");
  QTest::keyClick(Combo(dialog)->lineEdit(), Qt::Key_Return);
  ASSERT_TRUE(WaitFor([&] { return Idle(dialog) && !message.empty(); }));
  EXPECT_EQ(message, "Can't connect to /kelvane-no-such-dir/a/");
  EXPECT_EQ(Combo(dialog)->currentText().toStdString(), "/kelvane-no-such-dir/a");
  // The message box took the focus, which made the typed text an entry of its own.
  EXPECT_EQ(Entries(dialog),
            (Strings{"/kelvane-no-such-dir/ABCDEF.htm", "/kelvane-no-such-dir/a"}));

  RawServer server([](int fd, const std::string&) {
    SendAll(fd, "HTTP/1.0 200 OK\r\nContent-Length: 9000\r\n\r\n");
    WaitForPeerClose(fd, 20000);
  });
  Type(dialog, server.Url("/stall.htm"));
  QTest::keyClick(Combo(dialog)->lineEdit(), Qt::Key_Return);
  ASSERT_TRUE(WaitFor([&] { return server.Requests().size() == 1; }));
  QTest::keyClick(Combo(dialog)->lineEdit(), Qt::Key_Return);
  QTest::qWait(200);
  EXPECT_EQ(server.Requests().size(), 1u);
  Click(dialog, Control::StopButton);
  ASSERT_TRUE(WaitFor([&] { return Idle(dialog); }));
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
  Start(*dialog);
  TypeUrl(*dialog, server.Url("/stall.htm"));
  Click(*dialog, Control::DownloadButton);
  ASSERT_TRUE(
      WaitFor([&] { return Shown(*dialog, Control::StatusLine) == "Reading remote file..."; }));
  QElapsedTimer timer;
  timer.start();
  Close(*dialog);
  EXPECT_FALSE(dialog->isVisible());
  EXPECT_FALSE(dialog->WorkerRunning());
  EXPECT_LT(timer.elapsed(), 2000);
  EXPECT_EQ(ReadSetting(kHistory + "0"), server.Url("/stall.htm"));
  delete dialog;
  EXPECT_EQ(g_mainDialog, nullptr);
}

// The worker's message box comes while the window closes: nobody is left to read it, and the
// close neither waits for an answer nor serves the input that would start another crawl.
TEST_F(Window, ClosingAsTheWorkerShowsItsMessageNeitherShowsNorWaits) {
  CKelvaneDlg dialog;
  Start(dialog);
  bool shown = false;
  AnswerNextModal<QMessageBox>(
      [&](QMessageBox* box) {
        shown = true;
        box->reject();
      },
      3000, false);
  Type(dialog, "/kelvane-no-such-dir/page.htm");
  Click(dialog, Control::DownloadButton);
  Close(dialog);
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_FALSE(dialog.WorkerRunning());
  QTest::qWait(100);
  EXPECT_FALSE(shown);
}

// "Download" pressed the moment the last crawl's end makes it usable again: one worker, and the
// new crawl runs from its start.
TEST_F(Window, DownloadPressedAsTheLastCrawlEndsStartsOneWorker) {
  std::string page = "<A HREF=\"stall.htm\">";
  for (int i = 0; i < 3000; ++i)
    page += "<IMG SRC=\"p" + std::to_string(i) + ".gif\">";
  RawServer server([page](int fd, const std::string& request) {
    if (request.starts_with("GET / ")) {
      SendAll(fd, Answer(200, page));
    } else {
      SendAll(fd, "HTTP/1.0 200 OK\r\nContent-Length: 9000\r\n\r\n");
      WaitForPeerClose(fd, 20000);
    }
  });
  CKelvaneDlg dialog;
  Start(dialog);
  TypeUrl(dialog, server.Url("/"));
  Click(dialog, Control::DownloadButton);
  ASSERT_TRUE(WaitFor([&] { return server.Requests().size() == 3; }));  // test, start, first
  Click(dialog, Control::StopButton);
  ASSERT_TRUE(WaitFor([&] { return Button(dialog, Control::DownloadButton)->isEnabled(); }));
  Click(dialog, Control::DownloadButton);
  Click(dialog, Control::DownloadButton);
  EXPECT_TRUE(dialog.WorkerRunning());
  QTest::qWait(50);  // the first crawl's end actions, if any were still on their way
  EXPECT_TRUE(Button(dialog, Control::StopButton)->isEnabled());
  // The test and the first picture; the start page comes from the copy the first crawl stored.
  ASSERT_TRUE(WaitFor([&] { return server.Requests().size() == 5; }));
  QTest::qWait(100);
  EXPECT_EQ(server.Requests().size(), 5u);
  Click(dialog, Control::StopButton);
  ASSERT_TRUE(WaitFor([&] { return Idle(dialog); }));
}

// The crawl keeps the address and the directory that "Download" found, whatever is typed while
// its first answer is slow.
TEST_F(Window, CrawlKeepsTheAddressAndDirectoryOfItsStart) {
  std::atomic<bool> release{false};
  RawServer server([&](int fd, const std::string& request) {
    if (request.starts_with("GET /site/ ")) {
      while (!release)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      SendAll(fd, Answer(200, "<IMG SRC=\"a.gif\">"));
    } else {
      SendAll(fd, Answer(200, "GIF"));
    }
  });
  CKelvaneDlg dialog;
  Start(dialog);
  Type(dialog, server.Url("/site/"));
  Click(dialog, Control::DownloadButton);
  ASSERT_TRUE(WaitFor([&] { return server.Requests().size() == 1; }));
  TypeUrl(dialog, server.Url("/elsewhere/"));
  release = true;
  ASSERT_TRUE(WaitFor([&] { return Idle(dialog); }));
  const std::string host = m_saveTo.Path() + "/127.0.0.1:" + std::to_string(server.Port());
  EXPECT_EQ(ReadFileBytes(host + "/site/a.gif"), "GIF");
  EXPECT_EQ(ReadFileBytes(host + "/site/~index.htm"), "<IMG SRC=\"a.gif\">");
  EXPECT_FALSE(fs::exists(host + "/elsewhere"));
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
  WriteSetting(kHistory + "3", "");
  WriteSetting(kHistory + "4", "http://stale-after-end/");
  WriteSetting(kHistory + "CurIdx", "0");
  {
    CKelvaneDlg dialog;
    Start(dialog);
    EXPECT_EQ(Entries(dialog), (Strings{"http://a/", "http://b/", "http://d/"}));
    EXPECT_EQ(Combo(dialog)->currentText().toStdString(), "http://b/");
    EXPECT_EQ(dialog.m_historyIndex, 1);
    EXPECT_EQ(Shown(dialog, Control::MirrorDirectoryEdit), m_saveTo.Path() + "/b");
    Close(dialog);
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

// Whichever way the focus leaves the URL box, the typed address becomes the current entry, and
// it is there, current, when the program starts again.
TEST_F(Window, TypedAddressIsKeptWhenTheFocusLeaves) {
  RawServer server(SiteHandler({{"/", "page"}}));
  const std::vector<std::pair<std::string, std::function<void(CKelvaneDlg&)>>> ways = {
      {"Tab", [&](CKelvaneDlg& d) { QTest::keyClick(Combo(d)->lineEdit(), Qt::Key_Tab); }},
      {"a click on Download",
       [&](CKelvaneDlg& d) {
         Click(d, Control::DownloadButton);
         ASSERT_TRUE(WaitFor([&] { return Idle(d); }));
       }},
      {"Enter, then the window closes",
       [&](CKelvaneDlg& d) {
         QTest::keyClick(Combo(d)->lineEdit(), Qt::Key_Return);
         ASSERT_TRUE(WaitFor([&] { return Idle(d); }));
       }},
      {"another window comes to the front",
       [&](CKelvaneDlg&) {
         QWidget other;
         other.show();
         other.activateWindow();
         ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
       }},
  };
  for (const auto& [way, leave] : ways) {
    SCOPED_TRACE(way);
    SetUp();
    WriteSetting(kHistory + "0", "http://z.example/");
    const std::string url = server.Url("/");
    {
      CKelvaneDlg dialog;
      Start(dialog);
      Type(dialog, url);
      leave(dialog);
      dialog.activateWindow();
      Close(dialog);
    }
    EXPECT_EQ(ReadSetting(kHistory + "1"), url);
    EXPECT_EQ(ReadSetting(kHistory + "CurIdx"), "1");
    CKelvaneDlg again;
    Start(again);
    EXPECT_EQ(Entries(again), (Strings{url, "http://z.example/"}));
    EXPECT_EQ(Combo(again)->currentText().toStdString(), url);
    EXPECT_EQ(again.m_historyIndex, 0);
  }
}

TEST_F(Window, CommitsAreExactAndDeletionIsNot) {
  WriteSetting(kHistory + "0", "http://HOST/");
  CKelvaneDlg dialog;
  Start(dialog);
  TypeUrl(dialog, "http://host/");
  EXPECT_EQ(Entries(dialog), (Strings{"http://HOST/", "http://host/"}));
  EXPECT_EQ(dialog.m_historyIndex, 1);
  TypeUrl(dialog, "http://host/");
  EXPECT_EQ(Entries(dialog).size(), 2u);
  EXPECT_EQ(dialog.m_historyIndex, 1);
  TypeUrl(dialog, "");  // an empty text is no entry
  EXPECT_EQ(Entries(dialog).size(), 2u);
  EXPECT_EQ(dialog.m_historyIndex, -1);
  Click(dialog, Control::DeleteFromListButton);  // an empty text matches nothing
  EXPECT_EQ(Entries(dialog).size(), 2u);
  // The click commits the typed text first; the deletion then takes the first entry that
  // matches in any letter case, and the list's first entry becomes the text.
  Type(dialog, "http://Host/");
  Click(dialog, Control::DeleteFromListButton);
  EXPECT_EQ(Entries(dialog), (Strings{"http://host/", "http://Host/"}));
  EXPECT_EQ(Combo(dialog)->currentText().toStdString(), "http://host/");
  EXPECT_EQ(dialog.m_historyIndex, 0);
  Click(dialog, Control::DeleteFromListButton);
  Click(dialog, Control::DeleteFromListButton);
  EXPECT_EQ(Entries(dialog), Strings{});
  EXPECT_EQ(dialog.m_historyIndex, -1);
  EXPECT_EQ(Combo(dialog)->currentText().toStdString(), "");
}

TEST_F(Window, StaleEntriesAreClearedAtExit) {
  for (int i = 0; i < 5; ++i)
    WriteSetting(kHistory + std::to_string(i), "http://e" + std::to_string(i) + "/");
  {
    CKelvaneDlg dialog;
    Start(dialog);
    // Each deletion makes the first remaining entry current: three go from the top.
    for (int i = 0; i < 3; ++i)
      Click(dialog, Control::DeleteFromListButton);
    Close(dialog);
  }
  EXPECT_EQ(ReadSetting(kHistory + "0"), "http://e3/");
  EXPECT_EQ(ReadSetting(kHistory + "1"), "http://e4/");
  for (int i = 2; i < 5; ++i)
    EXPECT_EQ(ReadSetting(kHistory + std::to_string(i)), "");
}

TEST_F(Window, LongAddressesStayWholeWhenStoredOrPasted) {
  const std::string longUrl = "http://host/" + std::string(400, 'x') + ".htm";
  WriteSetting(kHistory + "0", longUrl);
  WriteSetting(kHistory + "CurIdx", "0");
  CKelvaneDlg dialog;
  Start(dialog);
  EXPECT_EQ(Combo(dialog)->currentText().toStdString(), longUrl);
  EXPECT_EQ(dialog.m_url.Get(), longUrl);

  const std::string pasted = "http://pasted/" + std::string(300, 'y') + "/page.htm";
  QApplication::clipboard()->setText(QString::fromStdString(pasted));
  Type(dialog, "");
  QTest::keyClick(Combo(dialog)->lineEdit(), Qt::Key_V, Qt::ControlModifier);
  EXPECT_EQ(Combo(dialog)->currentText().toStdString(), pasted);
  EXPECT_EQ(Shown(dialog, Control::MirrorDirectoryEdit),
            m_saveTo.Path() + "/pasted/" + std::string(300, 'y'));
}

TEST_F(Window, TypingRefreshesTheMirrorDirectoryAtEveryKey) {
  CKelvaneDlg dialog;
  Start(dialog);
  Type(dialog, "http://h/d");
  EXPECT_EQ(Shown(dialog, Control::MirrorDirectoryEdit), m_saveTo.Path() + "/h/d");
  QTest::keyClicks(Combo(dialog)->lineEdit(), "/p.htm");
  EXPECT_EQ(Shown(dialog, Control::MirrorDirectoryEdit), m_saveTo.Path() + "/h/d");
  EXPECT_EQ(dialog.m_url.Get(), "http://h/d/p.htm");
  EXPECT_EQ(Combo(dialog)->count(), 0);  // typing alone adds nothing
}

// A pick in the list, by a click or by the arrow keys, makes that entry the text and the
// current entry at once.
TEST_F(Window, ListSelectionsBecomeTheAddress) {
  WriteSetting(kHistory + "0", "http://a/");
  WriteSetting(kHistory + "1", "http://b/");
  WriteSetting(kHistory + "2", "http://c/");
  CKelvaneDlg dialog;
  Start(dialog);
  QComboBox* combo = Combo(dialog);
  ASSERT_EQ(dialog.m_historyIndex, 0);
  QTest::keyClick(combo->lineEdit(), Qt::Key_Down);  // on the closed box
  EXPECT_EQ(combo->currentText().toStdString(), "http://b/");
  EXPECT_EQ(dialog.m_historyIndex, 1);

  QTest::keyClick(combo->lineEdit(), Qt::Key_Down, Qt::AltModifier);  // opens the list
  ASSERT_TRUE(WaitFor([&] { return combo->view()->isVisible(); }, 5000));
  QTest::keyClick(combo->view(), Qt::Key_Down);
  EXPECT_EQ(combo->currentText().toStdString(), "http://c/");
  EXPECT_EQ(dialog.m_historyIndex, 2);
  EXPECT_EQ(dialog.m_url.Get(), "http://c/");
  EXPECT_EQ(Shown(dialog, Control::MirrorDirectoryEdit), m_saveTo.Path() + "/c");
  QTest::keyClick(combo->view(), Qt::Key_Up);
  EXPECT_EQ(combo->currentText().toStdString(), "http://b/");

  QRect first = combo->view()->visualRect(combo->model()->index(0, 0));
  QTest::mouseClick(combo->view()->viewport(), Qt::LeftButton, {}, first.center());
  ASSERT_TRUE(WaitFor([&] { return !combo->view()->isVisible(); }, 5000));
  EXPECT_EQ(combo->currentText().toStdString(), "http://a/");
  EXPECT_EQ(dialog.m_historyIndex, 0);
  EXPECT_EQ(Shown(dialog, Control::MirrorDirectoryEdit), m_saveTo.Path() + "/a");
}

// The chooser opens where the save-to directory is; its name field always shows the folder its
// list shows, and "Open" takes exactly that folder.
TEST_F(Window, SaveToChooserConfirmAndCancel) {
  const std::string chosen = m_saveTo.Path() + "/chosen";
  fs::create_directory(chosen);
  CKelvaneDlg dialog;
  Start(dialog);
  TypeUrl(dialog, "http://host/docs/");
  AnswerNextModal<CDirectoryDialog>(
      [](CDirectoryDialog* chooser) { QTest::keyClick(chooser, Qt::Key_Escape); });
  Click(dialog, Control::SaveToButton);
  EXPECT_EQ(dialog.m_saveToDirectory.Get(), m_saveTo.Path());
  EXPECT_EQ(ReadSetting(kRoot + "SaveTo\\"), m_saveTo.Path());

  std::vector<std::pair<std::string, std::string>> shown;  // name field, list's folder
  bool typesHidden = false;
  AnswerNextModal<CDirectoryDialog>([&](CDirectoryDialog* chooser) {
    auto* field = chooser->findChild<QLineEdit*>("fileNameEdit");
    shown.emplace_back(field->text().toStdString(),
                       chooser->directory().absolutePath().toStdString());
    typesHidden = !chooser->findChild<QWidget*>("fileTypeCombo")->isVisible();
    EXPECT_EQ(chooser->findChild<QLabel*>("fileNameLabel")->text().toStdString(), "Repertoire:");
    if (chooser->directory().absolutePath().toStdString() == chosen) {
      QTest::mouseClick(chooser->OpenButton(), Qt::LeftButton);
      return;
    }
    // Into "chosen" by a double click, once the list has read the folder.
    auto* list = chooser->findChild<QListView*>("listView");
    auto* model = qobject_cast<QFileSystemModel*>(list->model());
    QModelIndex item = model->index(QString::fromStdString(chosen));
    QRect place = list->visualRect(item);
    if (item.isValid() && !place.isEmpty()) {
      QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, place.center());
      QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, place.center());
    }
  });
  Click(dialog, Control::SaveToButton);
  ASSERT_FALSE(shown.empty());
  EXPECT_EQ(shown.front(), std::pair(m_saveTo.Path(), m_saveTo.Path()));
  EXPECT_EQ(shown.back(), std::pair(chosen, chosen));
  for (const auto& [field, folder] : shown)
    EXPECT_EQ(field, folder);
  EXPECT_TRUE(typesHidden);
  EXPECT_EQ(dialog.m_saveToDirectory.Get(), chosen);
  EXPECT_EQ(ReadSetting(kRoot + "SaveTo\\"), chosen);
  EXPECT_EQ(Shown(dialog, Control::MirrorDirectoryEdit), chosen + "/host/docs");
}

// The chooser as a person uses it: a click on a sub-folder leaves the field showing the folder
// being browsed; the computer's view in the side panel has no folder, and "Open" does nothing
// there; a path typed into the field and confirmed with Enter is the folder stored.
TEST_F(Window, ChooserStoresWhatItsFieldShows) {
  const std::string alpha = m_saveTo.Path() + "/alpha", typed = m_saveTo.Path() + "/typed";
  fs::create_directory(alpha);
  fs::create_directory(typed);
  CKelvaneDlg dialog;
  Start(dialog);
  TypeUrl(dialog, "http://host/");
  int step = 0;
  std::vector<std::string> fields;  // after the click on alpha, in the computer's view
  bool openedInComputer = false;
  AnswerNextModal<CDirectoryDialog>([&](CDirectoryDialog* chooser) {
    auto* field = chooser->findChild<QLineEdit*>("fileNameEdit");
    if (step == 0) {
      auto* list = chooser->findChild<QListView*>("listView");
      auto* model = qobject_cast<QFileSystemModel*>(list->model());
      const QRect place = list->visualRect(model->index(QString::fromStdString(alpha)));
      if (place.isEmpty())
        return;  // not listed yet
      QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, place.center());
      ++step;
    } else if (step == 1) {
      fields.push_back(field->text().toStdString());
      auto* side = chooser->findChild<QListView*>("sidebar");
      for (int row = 0; row < side->model()->rowCount(); ++row) {
        const QModelIndex entry = side->model()->index(row, 0);
        if (entry.data(Qt::UserRole + 1).toUrl() == QUrl("file:"))
          QTest::mouseClick(side->viewport(), Qt::LeftButton, {}, side->visualRect(entry).center());
      }
      ++step;
    } else if (step == 2) {
      fields.push_back(field->text().toStdString());
      QTest::mouseClick(chooser->OpenButton(), Qt::LeftButton);
      openedInComputer = !chooser->isVisible();
      QTest::mouseClick(field, Qt::LeftButton);
      QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
      QTest::keyClicks(field, QString::fromStdString(typed));
      QTest::keyClick(field, Qt::Key_Return);
      ++step;
    }
  });
  Click(dialog, Control::SaveToButton);
  EXPECT_EQ(fields, (std::vector<std::string>{m_saveTo.Path(), ""}));
  EXPECT_FALSE(openedInComputer);
  EXPECT_EQ(dialog.m_saveToDirectory.Get(), typed);
  EXPECT_EQ(ReadSetting(kRoot + "SaveTo\\"), typed);
}

TEST_F(Window, OpenOnlyEndsTheChooserOnARealDirectory) {
  TempDir parent;
  const std::string folder = parent.Path() + "/soon gone";
  fs::create_directory(folder);
  CDirectoryDialog chooser(folder, nullptr);
  chooser.show();
  EXPECT_EQ(chooser.m_folder, folder);
  fs::remove(folder);
  QTest::mouseClick(chooser.OpenButton(), Qt::LeftButton);
  EXPECT_TRUE(chooser.isVisible());
  EXPECT_EQ(chooser.m_folder, "");
}

TEST_F(Window, PreferencesWriteAtEachClickAndBrowseButtonsFollow) {
  TempDir programs;
  const std::string browser = programs.Path() + "/web browser";
  WriteFileBytes(browser, "#!/bin/sh\n");
  fs::permissions(browser, fs::perms::owner_all);
  CKelvaneDlg dialog;
  Start(dialog);
  EXPECT_FALSE(Button(dialog, Control::BrowseUrlButton)->isEnabled());
  Strings verboseAfterClicks;
  bool enabledWhileOpen = true;
  AnswerNextModal<CPreferencesDialog>([&](CPreferencesDialog* preferences) {
    auto* verbose = qobject_cast<QCheckBox*>(preferences->ControlById(1067));
    for (int i = 0; i < 3; ++i) {
      QTest::mouseClick(verbose, Qt::LeftButton);
      verboseAfterClicks.push_back(ReadSetting(kRoot + "Verbose"));
    }
    // The file's path typed into the name field, and Enter, until the dialog takes it.
    AnswerNextModal<QFileDialog>([&](QFileDialog* files) {
      EXPECT_EQ(files->windowTitle().toStdString(), "Browser");
      EXPECT_TRUE(files->nameFilters().contains("All files (*)"));
      auto* name = files->findChild<QLineEdit*>("fileNameEdit");
      name->selectAll();
      QTest::keyClicks(name, QString::fromStdString(browser));
      QTest::keyClick(name, Qt::Key_Return);
    });
    QTest::mouseClick(qobject_cast<QPushButton*>(preferences->ControlById(1053)), Qt::LeftButton);
    EXPECT_EQ(ReadSetting(kRoot + "Browser"), browser);
    EXPECT_EQ(Text(preferences->ControlById(1048)), browser);
    enabledWhileOpen = Button(dialog, Control::BrowseUrlButton)->isEnabled();
    QTest::keyClick(preferences, Qt::Key_Escape);
  });
  Click(dialog, Control::OptionsButton);
  EXPECT_EQ(verboseAfterClicks, (Strings{"1", "0", "1"}));
  EXPECT_EQ(dialog.m_verbose.load(), 1);
  EXPECT_FALSE(enabledWhileOpen);
  EXPECT_TRUE(Button(dialog, Control::BrowseUrlButton)->isEnabled());
  EXPECT_TRUE(Button(dialog, Control::BrowseMirrorButton)->isEnabled());

  AnswerNextModal<CPreferencesDialog>([&](CPreferencesDialog* preferences) {
    QTest::mouseClick(qobject_cast<QPushButton*>(preferences->ControlById(1071)), Qt::LeftButton);
    EXPECT_EQ(ReadSetting(kRoot + "Browser"), "");
    EXPECT_EQ(Text(preferences->ControlById(1048)), "");
    QTest::keyClick(preferences, Qt::Key_Escape);
  });
  Click(dialog, Control::OptionsButton);
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
  Start(dialog);
  const std::string url =
      "http://h/a;touch " + programs.Path() + "/owned$(touch " + programs.Path() + "/owned2)";
  Type(dialog, url);
  EXPECT_EQ(CKelvaneDlg::BrowserCommandLine(browser, url), browser + " " + url);
  Click(dialog, Control::BrowseUrlButton);
  ASSERT_TRUE(WaitFor([&] { return fs::exists(record); }, 5000));
  QTest::qWait(200);
  EXPECT_EQ(ReadFileBytes(record), url + "\n");
  EXPECT_FALSE(fs::exists(programs.Path() + "/owned"));
  EXPECT_FALSE(fs::exists(programs.Path() + "/owned2"));
  fs::remove(record);
  TypeUrl(dialog, "http://host/docs/");
  Click(dialog, Control::BrowseMirrorButton);
  ASSERT_TRUE(WaitFor([&] { return fs::exists(record); }, 5000));
  QTest::qWait(200);
  EXPECT_EQ(ReadFileBytes(record), m_saveTo.Path() + "/host/docs\n");
  WriteSetting(kRoot + "Browser", programs.Path() + "/not there");
  Click(dialog, Control::BrowseUrlButton);  // silently nothing
}

TEST_F(Window, PlacementRoundTripAndBadTextsIgnored) {
  {
    CKelvaneDlg dialog;
    Start(dialog);
    dialog.move(40, 30);
    Close(dialog);
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
    Start(dialog);
    Close(dialog);
    EXPECT_TRUE(ReadProfileString("Settings", "KelvaneDlg").starts_with("0,1,-1,-1,-1,-1,")) << bad;
  }
}

}  // namespace

namespace {

// The copy's preferences as a person sets them: complete pages and converted links clicked, 4
// transfers typed (a value out of range first, refused under its field), each kept at once;
// Enter starts the crawl, which makes the complete, converted copy kelvane-cli makes with
// -p -k --jobs 4; the status line's tooltip says what became of the files, and "Browse" opens
// the copy's start page. Preferences shows the values again, and again after a restart.
TEST_F(Window, CopyPreferencesMakeTheCrawlTheyName) {
  RawServer server(SiteHandler({
      {"/", "<a href=\"b.htm\">b</a><img src=\"p.png\"><link rel=\"stylesheet\" href=\"s.css\">"},
      {"/b.htm", "<a href=\"/\">home</a>"},
      {"/p.png", "PNG"},
      {"/s.css", "body { background: url(bg.png) }"},
      {"/bg.png", "BG"},
  }));
  TempDir programs;
  const std::string browser = programs.Path() + "/browser", record = programs.Path() + "/opened";
  // Written whole, then named: the test never reads it half written.
  WriteFileBytes(browser, "#!/bin/sh\nprintf '%s' \"$1\" > '" + record + ".part' && mv '" + record +
                              ".part' '" + record + "'\n");
  fs::permissions(browser, fs::perms::owner_all);
  WriteSetting(kRoot + "Browser", browser);

  auto setUp = [&](CPreferencesDialog* preferences) {
    CopyPreferencesSection* copy = preferences->CopySection();
    // A click on the middle of each check box's caption.
    for (const char* key : {"PageRequisites", "ConvertLinks"}) {
      QWidget* check = copy->ControlFor(key);
      QTest::mouseClick(check, Qt::LeftButton, {},
                        QPoint(check->sizeHint().width() / 2, check->height() / 2));
    }
    auto* jobs = qobject_cast<QLineEdit*>(copy->ControlFor("Jobs"));
    QTest::mouseClick(jobs, Qt::LeftButton);
    QTest::keyClicks(jobs, "100");  // "1" and "10" on the way are taken, "100" is not
    EXPECT_TRUE(copy->Message("Jobs")->isVisible());
    EXPECT_EQ(copy->Message("Jobs")->text().toStdString(), "Refused: a whole number from 1 to 64");
    // Never clamped, and nothing typed on the way kept: the setting is as before the edit.
    EXPECT_EQ(ReadSetting(kRoot + "Copy\\Jobs"), "");
    QTest::keyClick(jobs, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(jobs, "4");
    EXPECT_FALSE(copy->Message("Jobs")->isVisible());
    QTest::keyClick(preferences, Qt::Key_Escape);
  };
  std::vector<std::string> shown;
  auto look = [&](CPreferencesDialog* preferences) {
    CopyPreferencesSection* copy = preferences->CopySection();
    for (const char* key : {"PageRequisites", "ConvertLinks", "Robots"})
      shown.push_back(qobject_cast<QCheckBox*>(copy->ControlFor(key))->isChecked() ? "on" : "off");
    shown.push_back(Text(copy->ControlFor("Jobs")));
    QTest::keyClick(preferences, Qt::Key_Escape);
  };
  const std::vector<std::string> expected = {"on", "on", "off", "4"};
  const std::string host = m_saveTo.Path() + "/127.0.0.1:" + std::to_string(server.Port());
  {
    CKelvaneDlg dialog;
    Start(dialog);
    AnswerNextModal<CPreferencesDialog>(setUp);
    Click(dialog, Control::OptionsButton);
    EXPECT_EQ(ReadSetting(kRoot + "Copy\\Jobs"), "4");
    EXPECT_EQ(ReadSetting(kRoot + "Copy\\PageRequisites"), "1");
    Type(dialog, server.Url("/"));
    QTest::keyClick(Combo(dialog)->lineEdit(), Qt::Key_Return);
    ASSERT_TRUE(WaitFor([&] { return Idle(dialog); }));
    EXPECT_EQ(ReadFileBytes(host + "/bg.png"), "BG");  // read from the stylesheet: -p
    EXPECT_NE(ReadFileBytes(host + "/b.htm").find("href=\"~index.htm\""), std::string::npos)
        << ReadFileBytes(host + "/b.htm");
    auto* status = qobject_cast<QLabel*>(dialog.ControlById(Control::StatusLine));
    status->grab();
    EXPECT_TRUE(
        status->toolTip().contains("Last crawl: 5 stored, 0 from earlier copies, 0 not saved"))
        << status->toolTip().toStdString();
    Click(dialog, Control::BrowseMirrorButton);
    ASSERT_TRUE(WaitFor([&] { return fs::exists(record); }, 5000));
    EXPECT_EQ(ReadFileBytes(record), host + "/~index.htm");
    AnswerNextModal<CPreferencesDialog>(look);
    Click(dialog, Control::OptionsButton);
    EXPECT_EQ(shown, expected);
    QTest::keyClick(&dialog, Qt::Key_Escape);
  }
  shown.clear();
  CKelvaneDlg restarted;
  Start(restarted);
  AnswerNextModal<CPreferencesDialog>(look);
  Click(restarted, Control::OptionsButton);
  EXPECT_EQ(shown, expected);
}

// The Preferences dialog fits what it holds, at the default font and at a large one: every
// control inside it and no label or check box cut. KELVANE_SCREENSHOT=DIR keeps a picture of each.
TEST_F(Window, PreferencesFitAtAnyFontSize) {
  const QFont before = QApplication::font();
  for (const qreal points : {before.pointSizeF(), before.pointSizeF() * 1.6}) {
    SCOPED_TRACE(points);
    QFont font = before;
    font.setPointSizeF(points);
    QApplication::setFont(font);
    CPreferencesDialog preferences(nullptr);
    preferences.show();
    const QRect area = preferences.rect();
    for (QWidget* child : preferences.findChildren<QWidget*>()) {
      if (!child->isVisible())
        continue;
      const QRect place(child->mapTo(&preferences, QPoint(0, 0)), child->size());
      EXPECT_TRUE(area.contains(place)) << child->objectName().toStdString();
      if (auto* label = qobject_cast<QLabel*>(child); label && !label->wordWrap()) {
        EXPECT_LE(label->sizeHint().width(), label->width()) << label->text().toStdString();
      }
      if (auto* check = qobject_cast<QCheckBox*>(child)) {
        EXPECT_LE(check->sizeHint().width(), check->width()) << check->text().toStdString();
      }
    }
    if (const char* out = std::getenv("KELVANE_SCREENSHOT"))
      preferences.grab().save(QString::fromUtf8(out) +
                              QStringLiteral("/preferences-%1.png").arg(points));
  }
  QApplication::setFont(before);
}

}  // namespace

namespace {

// Four transfers at once from the preferences: the file bar follows the largest of them, "Stop"
// ends them all, and closing the window during such a crawl ends it before the window goes.
TEST_F(Window, ParallelCrawlShowsStopsAndCloses) {
  WriteSetting(kRoot + "Copy\\Jobs", "4");
  const std::map<std::string, int> sizes = {
      {"/a.gif", 9000}, {"/b.gif", 20000}, {"/c.gif", 5000}, {"/d.gif", 7000}};
  std::string page;
  for (const auto& [path, size] : sizes)
    page += "<IMG SRC=\"" + path.substr(1) + "\">";
  RawServer server([&](int fd, const std::string& request) {
    for (const auto& [path, size] : sizes) {
      if (request.starts_with("GET " + path + " ")) {
        SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n" +
                        std::string(100, 'x'));
        return WaitForPeerClose(fd, 20000);
      }
    }
    SendAll(fd, Answer(200, page));
  });
  auto stalled = [&] {
    int pictures = 0;
    for (const std::string& request : server.Requests())
      pictures += request.find(".gif ") != std::string::npos ? 1 : 0;
    return pictures;
  };
  auto* dialog = new CKelvaneDlg;
  Start(*dialog);
  Type(*dialog, server.Url("/"));
  QTest::keyClick(Combo(*dialog)->lineEdit(), Qt::Key_Return);
  ASSERT_TRUE(WaitFor([&] { return stalled() == 4; }));
  auto* bar = qobject_cast<QProgressBar*>(dialog->ControlById(Control::FileProgress));
  EXPECT_TRUE(WaitFor([&] { return bar->maximum() == 20000; }, 5000)) << bar->maximum();
  Click(*dialog, Control::StopButton);
  ASSERT_TRUE(WaitFor([&] { return Idle(*dialog); }, 5000));
  EXPECT_EQ(Shown(*dialog, Control::StatusLine), "Transfert canceled");

  const int before = stalled();
  Click(*dialog, Control::DownloadButton);
  ASSERT_TRUE(WaitFor([&] { return stalled() == before + 4; }));
  Close(*dialog);
  EXPECT_FALSE(dialog->isVisible());
  EXPECT_FALSE(dialog->WorkerRunning());
  delete dialog;
  EXPECT_EQ(g_mainDialog, nullptr);
}

}  // namespace
