// What the window's buttons open: the save-to chooser, Preferences with the copy's
// preferences, and the browser.
#include <httplib.h>

#include "window_fixture.h"

namespace {

// Every preference of the copy names an option of the crawl's one table, which takes the value
// a switch gives it.
TEST(CopyPreferences, EveryRowIsAnOptionOfTheTable) {
  for (const CopyPreference& row : CopyPreferences()) {
    const CrawlOption* option = FindCrawlOption(row.option);
    ASSERT_NE(option, nullptr) << row.key;
    CrawlPlan plan;
    std::string error;
    if (row.refused == nullptr) {
      EXPECT_TRUE(option->apply(plan, row.onValue != nullptr ? row.onValue : "", error)) << error;
    }
  }
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

// The chooser as a person uses it: a click on a sub-folder shows it in the field; the computer's
// view in the side panel has no folder, which "Open" says, and opens a drive highlighted there; a
// path typed into the field that does not exist yet, confirmed with Enter, is offered for creation
// and stored once made.
TEST_F(Window, ChooserStoresWhatItsFieldShows) {
  const std::string alpha = m_saveTo.Path() + "/alpha", typed = m_saveTo.Path() + "/typed/new";
  fs::create_directory(alpha);
  CKelvaneDlg dialog;
  Start(dialog);
  TypeUrl(dialog, "http://host/");
  int step = 0;
  std::vector<std::string> fields;  // after the click on alpha, in the computer's view
  bool openedInComputer = false;
  std::string said, browsed, offered;
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
      said = chooser->OpenMessage()->text().toStdString();
      // A drive highlighted there is opened.
      auto* list = chooser->findChild<QListView*>("listView");
      auto* model = qobject_cast<QFileSystemModel*>(list->model());
      QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                        list->visualRect(model->index("/")).center());
      ++step;
    } else if (step == 3) {
      QTest::mouseClick(chooser->OpenButton(), Qt::LeftButton);
      browsed = chooser->directory().absolutePath().toStdString();
      ++step;
    } else if (step == 4) {
      QTest::mouseClick(field, Qt::LeftButton);
      QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
      QTest::keyClicks(field, "~/typed/new");  // the home folder, as a shell reads it
      AnswerNextModal<QMessageBox>([&](QMessageBox* box) {
        offered = box->text().toStdString();
        QTest::mouseClick(box->button(QMessageBox::Yes), Qt::LeftButton);
      });
      QTest::keyClick(field, Qt::Key_Return);
      ++step;
    }
  });
  const std::string home = std::getenv("HOME");
  setenv("HOME", m_saveTo.Path().c_str(), 1);
  Click(dialog, Control::SaveToButton);
  setenv("HOME", home.c_str(), 1);
  EXPECT_EQ(fields, (std::vector<std::string>{alpha, ""}));
  EXPECT_FALSE(openedInComputer);
  EXPECT_EQ(said, "This place lists the computer's drives: open a folder first.");
  EXPECT_EQ(browsed, "/");
  EXPECT_EQ(offered, "Create folder " + typed + "?");
  EXPECT_TRUE(fs::is_directory(typed));
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

// With the copy's options, a browser that cannot start, or ends at once with an error, is said so
// with what it said; a copy not on the disk is said too, not handed to it.
TEST_F(Window, ABrowserThatFailsSaysWhy) {
  WriteSetting(kRoot + "Copy\\PageRequisites", "1");
  TempDir programs;
  const std::string failing = programs.Path() + "/failing";
  WriteFileBytes(failing, "#!/bin/sh\necho 'cannot open display' >&2\nexit 1\n");
  fs::permissions(failing, fs::perms::owner_all);
  const struct {
    std::string browser, said;
    Control button = Control::BrowseUrlButton;
  } rows[] = {
      {"/kelvane-no-such-dir/browser",
       "The browser /kelvane-no-such-dir/browser could not be started: "},
      {failing, "The browser " + failing + " ended at once: cannot open display"},
      {failing, "There is no copy in " + m_saveTo.Path() + "/host yet",
       Control::BrowseMirrorButton},
  };
  for (const auto& row : rows) {
    WriteSetting(kRoot + "Browser", row.browser);
    CKelvaneDlg dialog;
    Start(dialog);
    TypeUrl(dialog, "http://host/");
    std::string said;
    AnswerNextModal<QMessageBox>([&](QMessageBox* box) {
      said = box->text().toStdString();
      QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
    });
    Click(dialog, row.button);
    ASSERT_TRUE(WaitFor([&] { return !said.empty(); }));
    EXPECT_TRUE(said.starts_with(row.said)) << said;
  }
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
    // The file's path pasted into the name field whole, then "Open" clicked: typed key by key,
    // a busy machine's completion list for the first "/" may take the keys that follow.
    QApplication::clipboard()->setText(QString::fromStdString(browser));
    AnswerNextModal<QFileDialog>([&](QFileDialog* files) {
      EXPECT_EQ(files->windowTitle().toStdString(), "Browser");
      EXPECT_TRUE(files->nameFilters().contains("All files (*)"));
      auto* name = files->findChild<QLineEdit*>("fileNameEdit");
      if (name->text().toStdString() != browser) {
        QTest::keyClick(name, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(name, Qt::Key_V, Qt::ControlModifier);
      }
      if (QPushButton* open =
              files->findChild<QDialogButtonBox*>("buttonBox")->button(QDialogButtonBox::Open))
        QTest::mouseClick(open, Qt::LeftButton);
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

// The copy's preferences as a person sets them: complete pages, converted links and an archive
// clicked, 4 transfers typed (a value out of range first, refused under its field), each kept at
// once; Enter starts the crawl, which makes the complete, converted copy kelvane-cli makes with
// -p -k --jobs 4, and its archive; the status line's tooltip says what became of the files, and
// "Browse" opens the copy's start page. Preferences shows the values again, and again after a
// restart.
TEST_F(Window, CopyPreferencesMakeTheCrawlTheyName) {
  RawServer server(SiteHandler({
      {"/", "<a href=\"b.htm\">b</a><img src=\"p.png\"><link rel=\"stylesheet\" href=\"s.css\">"},
      {"/b.htm", "<a href=\"/\">home</a>"},
      {"/p.png", "PNG"},
      {"/s.css", "body { background: url(bg.png) }"},
      {"/bg.png", "BG"},
  }));
  TempDir programs;
  const std::string browser = programs.Path() + "/browser";
  const std::string record = FakeProgram(programs, "browser");
  WriteSetting(kRoot + "Browser", browser);

  auto setUp = [&](CPreferencesDialog* preferences) {
    CopyPreferencesSection* copy = preferences->CopySection();
    // A click on the middle of each check box's caption.
    for (const char* key : {"PageRequisites", "ConvertLinks", "Archive"}) {
      QWidget* check = copy->ControlFor(key);
      QTest::mouseClick(check, Qt::LeftButton, {},
                        QPoint(check->sizeHint().width() / 2, check->height() / 2));
    }
    auto* jobs = qobject_cast<QLineEdit*>(copy->ControlFor("Jobs"));
    const int height = preferences->height();
    QTest::mouseClick(jobs, Qt::LeftButton);
    QTest::keyClicks(jobs, "100");  // "1" and "10" on the way are taken, "100" is not
    EXPECT_TRUE(copy->Message("Jobs")->isVisible());
    EXPECT_EQ(copy->Message("Jobs")->text().toStdString(), "Refused: a whole number from 1 to 64");
    // Never clamped, and nothing typed on the way kept: the setting is as before the edit. Nor
    // dropped unseen: Escape leaves the dialog open at the field.
    EXPECT_EQ(ReadSetting(kRoot + "Copy\\Jobs"), "");
    QTest::keyClick(preferences, Qt::Key_Escape);
    EXPECT_TRUE(preferences->isVisible());
    // The dialog may become the active window only after the keys went in, on a busy machine.
    EXPECT_TRUE(WaitFor([&] { return QApplication::focusWidget() == jobs; }, 15000));
    // The message takes room, and its room goes with it. Measured from the dialog as it grew:
    // the height it was first shown at may not be its settled one yet on a busy machine.
    EXPECT_TRUE(WaitFor([&] { return preferences->height() > height; }, 5000));
    const int grown = preferences->height();
    QTest::keyClick(jobs, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(jobs, "4");
    EXPECT_FALSE(copy->Message("Jobs")->isVisible());
    EXPECT_TRUE(WaitFor([&] { return preferences->height() < grown; }, 5000));
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
    // The archive beside the copy's directory, named after it and the time: the warcinfo and 5
    // exchanges.
    std::vector<std::string> packages;
    for (const auto& entry : fs::directory_iterator(m_saveTo.Path())) {
      if (entry.path().extension() == ".wacz")
        packages.push_back(entry.path().string());
    }
    ASSERT_EQ(packages.size(), 1u);
    EXPECT_TRUE(packages[0].starts_with(host + "-")) << packages[0];
    EXPECT_TRUE(status->toolTip().contains(
        QString::fromStdString("; 11 records in the archive " + packages[0])))
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
  // Browse opens the start page that crawl stored, after a restart too, and under the names it
  // used: Windows names put the copy under "127.0.0.1+PORT".
  fs::remove(record);
  TypeUrl(restarted, server.Url("/"));
  Click(restarted, Control::BrowseMirrorButton);
  ASSERT_TRUE(WaitFor([&] { return fs::exists(record); }, 5000));
  EXPECT_EQ(ReadFileBytes(record), host + "/~index.htm");
  fs::remove(record);
  fs::remove_all(host);  // a copy already there would be read, under the names it has
  fs::remove_all(m_saveTo.Path() + "/.kelvane");
  WriteSetting(kRoot + "Copy\\WindowsNames", "1");
  QTest::keyClick(Combo(restarted)->lineEdit(), Qt::Key_Return);
  ASSERT_TRUE(WaitFor([&] { return Idle(restarted); }));
  Click(restarted, Control::BrowseMirrorButton);
  ASSERT_TRUE(WaitFor([&] { return fs::exists(record); }, 5000));
  EXPECT_EQ(ReadFileBytes(record),
            m_saveTo.Path() + "/127.0.0.1+" + std::to_string(server.Port()) + "/~index.htm");
  TypeUrl(restarted, server.Url("/"));  // the directory shown follows the names too
  EXPECT_EQ(Shown(restarted, Control::MirrorDirectoryEdit),
            m_saveTo.Path() + "/127.0.0.1+" + std::to_string(server.Port()));
}

// A newcomer's way to a copy that reads from disk: on a first start "Browse" starts the desktop's
// browser; Options by a click, "Copy for reading offline" ticked (its three parts with it),
// Escape; an address typed and Enter; Stop once the first files are in. The copy's "Browse" then
// opens the start page, whose links lead to the stored files.
TEST_F(Window, NewcomerMakesACopyThatReadsFromDiskInOneClick) {
  RawServer server([](int fd, const std::string& request) {
    const std::string page = "Content-Type: text/html\r\n";
    if (request.starts_with("GET / "))
      return SendAll(fd, Answer(200,
                                "<link rel=stylesheet href=\"/s.css\"><a href=\"/b\">b</a>"
                                "<img src=\"/slow.gif\">",
                                page));
    if (request.starts_with("GET /s.css "))
      return SendAll(fd, Answer(200, "b{}", "Content-Type: text/css\r\n"));
    if (request.starts_with("GET /b "))
      return SendAll(fd, Answer(200, "<a href=\"/\">home</a>", page));
    SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 9000\r\n\r\nGIF89a");
    WaitForPeerClose(fd, 20000);
  });
  TempDir programs;
  const std::string record = FakeProgram(programs, "xdg-open");
  fs::remove_all(SettingsFilePath());
  WriteSetting(kRoot + "SaveTo\\", m_saveTo.Path());
  const std::string path = std::getenv("PATH");
  setenv("PATH", (programs.Path() + ":" + path).c_str(), 1);
  CKelvaneDlg dialog;
  Start(dialog);
  setenv("PATH", path.c_str(), 1);
  EXPECT_EQ(Button(dialog, Control::BrowseMirrorButton)->toolTip().toStdString(),
            "Open the copy in the browser");
  std::vector<bool> parts;
  AnswerNextModal<CPreferencesDialog>([&](CPreferencesDialog* preferences) {
    CopyPreferencesSection* copy = preferences->CopySection();
    QWidget* offline = copy->ControlFor("ReadingOffline");
    QTest::mouseClick(offline, Qt::LeftButton, {},
                      QPoint(offline->sizeHint().width() / 2, offline->height() / 2));
    for (const char* key : {"PageRequisites", "ConvertLinks", "AdjustExtension"})
      parts.push_back(qobject_cast<QCheckBox*>(copy->ControlFor(key))->isChecked());
    QTest::keyClick(preferences, Qt::Key_Escape);
  });
  Click(dialog, Control::OptionsButton);
  EXPECT_EQ(parts, std::vector<bool>(3, true));
  Type(dialog, server.Url("/"));
  QTest::keyClick(Combo(dialog)->lineEdit(), Qt::Key_Return);
  const std::string host = m_saveTo.Path() + "/127.0.0.1:" + std::to_string(server.Port());
  ASSERT_TRUE(WaitFor([&] { return fs::exists(host + "/s.css") && fs::exists(host + "/b.html"); }));
  Click(dialog, Control::StopButton);
  ASSERT_TRUE(WaitFor([&] { return Idle(dialog); }));
  Click(dialog, Control::BrowseMirrorButton);
  ASSERT_TRUE(WaitFor([&] { return fs::exists(record); }, 5000));
  EXPECT_EQ(ReadFileBytes(record), host + "/~index.htm");
  const std::string start = ReadFileBytes(host + "/~index.htm");
  EXPECT_NE(start.find("href=\"s.css\""), std::string::npos) << start;
  EXPECT_NE(start.find("href=\"b.html\""), std::string::npos) << start;
}

// A copy whose pages ran their scripts opens through the window's own server while the window
// is open: from disk a browser refuses the scripts' fetches.
TEST_F(Window, BrowseOpensACopyMadeWithScriptsOverHttp) {
  if (!fs::exists("/usr/lib/chromium/chromium"))
    GTEST_SKIP() << "no Chromium: apt-get install chromium";
  RawServer server([](int fd, const std::string& request) {
    if (request.starts_with("GET /d.json "))
      return SendAll(fd, Answer(200, "[1]", "Content-Type: application/json\r\n"));
    SendAll(fd, Answer(200, "<script>fetch('d.json')</script>", "Content-Type: text/html\r\n"));
  });
  TempDir programs;
  const std::string browser = programs.Path() + "/browser";
  const std::string record = FakeProgram(programs, "browser");
  WriteSetting(kRoot + "Browser", browser);
  WriteSetting(kRoot + "Copy\\PageRequisites", "1");
  WriteSetting(kRoot + "Copy\\Render", "1");
  CKelvaneDlg dialog;
  Start(dialog);
  Type(dialog, server.Url("/"));
  QTest::keyClick(Combo(dialog)->lineEdit(), Qt::Key_Return);
  ASSERT_TRUE(WaitFor([&] { return Idle(dialog); }, 120000));
  const std::string host = "127.0.0.1:" + std::to_string(server.Port());
  EXPECT_EQ(ReadFileBytes(m_saveTo.Path() + "/" + host + "/d.json"), "[1]");
  Click(dialog, Control::BrowseMirrorButton);
  ASSERT_TRUE(WaitFor([&] { return fs::exists(record); }, 5000));
  const std::string address = ReadFileBytes(record);
  ASSERT_TRUE(address.starts_with("http://127.0.0.1:")) << address;
  EXPECT_TRUE(address.ends_with("/127.0.0.1%3A" + std::to_string(server.Port()) + "/~index.htm"))
      << address;
  const size_t port = std::string("http://127.0.0.1:").size();
  httplib::Client client("127.0.0.1", std::stoi(address.substr(port)));
  const httplib::Result page = client.Get(address.substr(address.find('/', port)));
  ASSERT_TRUE(page);
  EXPECT_EQ(page->body, "<script>fetch('d.json')</script>");
}

// The Preferences dialog fits what it holds, at the default font and at a large one: every
// control inside it (the copy's inside its section, which scrolls where the dialog would be
// taller than the screen) and no label or check box cut. KELVANE_SCREENSHOT=DIR keeps a picture
// of each.
TEST_F(Window, PreferencesFitAtAnyFontSize) {
  const QFont before = QApplication::font();
  for (const qreal points : {before.pointSizeF(), before.pointSizeF() * 1.6}) {
    SCOPED_TRACE(points);
    QFont font = before;
    font.setPointSizeF(points);
    QApplication::setFont(font);
    CPreferencesDialog preferences(nullptr);
    preferences.show();
    EXPECT_LE(preferences.height(), preferences.screen()->availableGeometry().height());
    QWidget* section = preferences.CopySection();
    for (QWidget* child : preferences.findChildren<QWidget*>()) {
      if (!child->isVisible())
        continue;
      QWidget* within = section->isAncestorOf(child) ? section : &preferences;
      const QRect place(child->mapTo(within, QPoint(0, 0)), child->size());
      EXPECT_TRUE(within->rect().contains(place)) << child->objectName().toStdString();
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
