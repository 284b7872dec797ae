// The address box and its history, as a person types, picks and deletes.
#include <fstream>

#include "window_fixture.h"

namespace {

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

// A login typed into an address names no directory and is kept in no file, which only its user
// may read.
TEST_F(Window, ALoginTypedIntoTheAddressIsNeitherShownAsADirectoryNorStored) {
  WriteSetting(kHistory + "0", "h/d/");  // nor a second time, where it is kept without it
  {
    CKelvaneDlg dialog;
    Start(dialog);
    Type(dialog, "http://user:secret@h/d/");
    EXPECT_EQ(Shown(dialog, Control::MirrorDirectoryEdit), m_saveTo.Path() + "/h/d");
    Type(dialog, "user:secret@h/d/");
    EXPECT_EQ(Shown(dialog, Control::MirrorDirectoryEdit), m_saveTo.Path() + "/h/d");
    QTest::keyClick(Combo(dialog)->lineEdit(), Qt::Key_Tab);
    Close(dialog);
  }
  EXPECT_EQ(ReadSetting(kHistory + "0"), "h/d/");
  EXPECT_EQ(ReadSetting(kHistory + "1"), "");
  for (const std::string& file : {SettingsFilePath(), ProfileFilePath()}) {
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write)
        << file;
    std::ifstream in(file);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}).find("secret"),
              std::string::npos);
  }
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

}  // namespace
