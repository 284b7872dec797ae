// Crawls started, stopped and ended from the window, by keys and clicks.
#include "private_secret_store.h"
#include "window_fixture.h"

namespace {

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
  EXPECT_EQ(dialog.findChild<QPushButton*>("whatHappenedButton"), nullptr);  // the plain crawl
}

// With the web rules the window says how the crawl ended under the status line, and "What
// happened" lists what was not saved, why and where it was linked, and opens the copy's folder.
TEST_F(Window, AWebRulesCrawlSaysHowItEndedAndWhatWasNotSaved) {
  RawServer server(SiteHandler(
      {{"/", "<IMG SRC=\"a.gif\"><IMG SRC=\"gone.gif\"><A HREF=\"b.htm\"><A HREF=\"c.htm\">"},
       {"/a.gif", "GIF"},
       {"/b.htm", "<IMG SRC=\"a.gif\">"},
       {"/robots.txt", "User-agent: *\nDisallow: /c.htm\n"}}));
  WriteSetting(kRoot + "Copy\\PageRequisites", "1");
  WriteSetting(kRoot + "Copy\\Robots", "1");
  TempDir programs;
  const std::string opened = FakeProgram(programs, "xdg-open");
  const std::string path = std::getenv("PATH");
  setenv("PATH", (programs.Path() + ":" + path).c_str(), 1);
  CKelvaneDlg dialog;
  Start(dialog);
  Type(dialog, server.Url("/"));
  Click(dialog, Control::DownloadButton);
  ASSERT_TRUE(WaitFor([&] { return Idle(dialog); }));
  const std::string host = m_saveTo.Path() + "/127.0.0.1:" + std::to_string(server.Port());
  auto* line = dialog.findChild<QLabel*>("crawlEndLine");
  ASSERT_TRUE(line->isVisible());
  EXPECT_EQ(line->toolTip().toStdString(), "Finished: 3 files stored, 1 not saved, in " + host);
  std::vector<Strings> rows;
  std::vector<bool> hidden;
  AnswerNextModal<CrawlReportDialog>([&](CrawlReportDialog* report) {
    QTreeWidget* list = report->List();
    for (int i = 0; i < list->topLevelItemCount(); ++i)
      rows.push_back({list->topLevelItem(i)->text(0).toStdString(),
                      list->topLevelItem(i)->text(1).toStdString(),
                      list->topLevelItem(i)->text(2).toStdString()});
    QTest::keyClicks(report->Search(), "no such thing");
    hidden.push_back(list->topLevelItem(0)->isHidden());
    QTest::keyClick(report->Search(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(report->Search(), "404");
    hidden.push_back(list->topLevelItem(0)->isHidden());
    QTest::mouseClick(report->OpenFolder(), Qt::LeftButton);
    QTest::keyClick(report, Qt::Key_Escape);
  });
  QTest::mouseClick(dialog.findChild<QPushButton*>("whatHappenedButton"), Qt::LeftButton);
  setenv("PATH", path.c_str(), 1);
  EXPECT_EQ(rows, (std::vector<Strings>{{server.Url("/gone.gif"), "HTTP 404", server.Url("/")},
                                        {server.Url("/c.htm"), "left out by robots.txt", ""}}));
  EXPECT_EQ(hidden, (std::vector<bool>{true, false}));
  ASSERT_TRUE(WaitFor([&] { return fs::exists(opened); }, 5000));
  EXPECT_EQ(ReadFileBytes(opened), host);
  // A file manager that cannot open it is said, with what it printed.
  WriteFileBytes(programs.Path() + "/xdg-open",
                 "#!/bin/sh\necho 'no method available' >&2\nexit 3\n");
  setenv("PATH", (programs.Path() + ":" + path).c_str(), 1);
  std::string said;
  AnswerNextModal<CrawlReportDialog>([&](CrawlReportDialog* report) {
    AnswerNextModal<QMessageBox>([&](QMessageBox* box) {
      said = box->text().toStdString();
      QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
    });
    QTest::mouseClick(report->OpenFolder(), Qt::LeftButton);
    WaitFor([&] { return !said.empty(); });
    QTest::keyClick(report, Qt::Key_Escape);
  });
  QTest::mouseClick(dialog.findChild<QPushButton*>("whatHappenedButton"), Qt::LeftButton);
  setenv("PATH", path.c_str(), 1);
  EXPECT_TRUE(
      said.starts_with("The copy's folder " + host + " could not be opened: no method available"))
      << said;
}

// What ended a crawl with the web rules, in words a newcomer reads; the plain crawl says nothing
// more than it did.
TEST(LastCrawl, ProblemsAreSaidInWords) {
  using U = CrawlOutcome::Unreached;
  const struct {
    CrawlEnding ending;
    U unreached;
    std::string writeRefusal, copy, problem;
    size_t failures = 0;  // the start, where its server was out of reach
    std::string archiveFailure{};
  } rows[] = {
      {CrawlEnding::Cancelled, U::Name, "", "/c", "No server is known by the name exmaple.invalid",
       1},
      {CrawlEnding::NotObtained, U::Refused, "", "/c",
       "The server exmaple.invalid refused the connection: no web server answers there, or not on "
       "that port",
       1},
      {CrawlEnding::Cancelled, U::Certificate, "", "/c",
       "The server exmaple.invalid gave a certificate that does not verify: who answers cannot be "
       "told, so nothing was taken from it",
       1},
      {CrawlEnding::Cancelled, U::Connection, "", "/c",
       "The server exmaple.invalid could not be reached: call failed", 1},
      {CrawlEnding::Stopped, U::None, "/c/h: No space left on device", "/c",
       "The copy cannot be written in /c/h: No space left on device"},
      {CrawlEnding::Stopped, U::None, "", "/c",
       "The archive cannot be written: /c.wacz.part: Read-only file system", 0,
       "/c.wacz.part: Read-only file system"},
      {CrawlEnding::Completed, U::Refused, "", "/c", ""},  // another server: "What happened"
      {CrawlEnding::Cancelled, U::Name, "", "", ""},       // the plain crawl
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.problem);
    LastCrawl crawl;
    crawl.Begin(false, false, false, {}, row.copy, "http://exmaple.invalid/");
    CrawlOutcome outcome{row.ending, "call failed", false};
    outcome.unreached = row.unreached;
    outcome.unreachedServer = "exmaple.invalid";
    outcome.writeRefusal = row.writeRefusal;
    outcome.archiveFailure = row.archiveFailure;
    crawl.Ended(outcome);
    EXPECT_EQ(crawl.Problem().toStdString(), row.problem);
    EXPECT_EQ(crawl.Failures().size(), row.failures);
  }
}

// A start typed without its scheme is an http address with the web rules; a port where nothing
// listens is said so, with complete pages or without.
TEST_F(Window, ARefusedConnectionIsSaidPlainly) {
  int closedPort;
  {
    RawServer gone([](int, const std::string&) {});
    closedPort = gone.Port();
  }
  for (const char* option : {"PageRequisites", "WindowsNames"}) {
    SCOPED_TRACE(option);
    fs::remove_all(SettingsFilePath());
    WriteSetting(kRoot + "SaveTo\\", m_saveTo.Path());
    WriteSetting(kRoot + "Browser", "");
    WriteSetting(kRoot + "Copy\\" + option, "1");
    CKelvaneDlg dialog;
    Start(dialog);
    std::string message;
    AnswerNextModal<QMessageBox>([&](QMessageBox* box) {
      message = box->text().toStdString();
      QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
    });
    const std::string server = "127.0.0.1:" + std::to_string(closedPort);
    Type(dialog, server + "/");
    Click(dialog, Control::DownloadButton);
    ASSERT_TRUE(WaitFor([&] { return Idle(dialog) && !message.empty(); }));
    EXPECT_EQ(message, "The server " + server +
                           " refused the connection: no web server answers there, or not on "
                           "that port");
    Close(dialog);
  }
}

// A site behind a login, with the web rules: the window asks once for the server and realm, the
// crawl goes on with it, and later crawls of the window have it too. It is kept in no file; once
// remembered, the secret store has it for the next start.
TEST_F(Window, ASiteThatAsksForALoginIsLoggedIntoFromTheWindow) {
  PrivateSecretStore store;
  ASSERT_TRUE(store.Unlocked());
  std::atomic<int> challenges{0};
  RawServer server([&](int fd, const std::string& request) {
    if (request.find("Authorization: Basic dXNlcjpzZWNyZXQ=\r\n") == std::string::npos) {
      ++challenges;
      return SendAll(fd, Answer(401, "no", "WWW-Authenticate: Basic realm=\"Private\"\r\n"));
    }
    if (request.starts_with("GET / "))
      return SendAll(fd, Answer(200, "<img src=\"a.gif\"><a href=\"b.htm\">b</a>",
                                "Content-Type: text/html\r\n"));
    SendAll(fd, Answer(200, "file"));
  });
  WriteSetting(kRoot + "Copy\\PageRequisites", "1");
  CKelvaneDlg dialog;
  Start(dialog);
  std::vector<std::string> asked;
  AnswerNextModal<CLoginDialog>([&](CLoginDialog* login) {
    asked.push_back(login->findChild<QLabel*>("loginAsked")->text().toStdString());
    QTest::keyClicks(login->User(), "user");
    QTest::keyClicks(login->Password(), "secret");
    // On its box, as a person clicks it: the row stretches beyond its label.
    QTest::mouseClick(login->Remember(), Qt::LeftButton, {}, {8, login->Remember()->height() / 2});
    QTest::keyClick(login->Password(), Qt::Key_Return);
  });
  TypeUrl(dialog, server.Url("/"));
  Click(dialog, Control::DownloadButton);
  ASSERT_TRUE(WaitFor([&] { return Idle(dialog); }));
  const std::string host = m_saveTo.Path() + "/127.0.0.1:" + std::to_string(server.Port());
  EXPECT_EQ(asked, Strings{"The site 127.0.0.1:" + std::to_string(server.Port()) +
                           " asks for a login: Private"});
  EXPECT_EQ(ReadFileBytes(host + "/a.gif"), "file");
  EXPECT_EQ(ReadFileBytes(host + "/b.htm"), "file");
  EXPECT_EQ(challenges, 1);
  fs::remove_all(host);
  Click(dialog, Control::DownloadButton);  // not asked again: no dialog comes
  ASSERT_TRUE(WaitFor([&] { return Idle(dialog); }));
  EXPECT_EQ(ReadFileBytes(host + "/b.htm"), "file");
  EXPECT_EQ(challenges, 2);
  Close(dialog);
  for (const std::string& file : {SettingsFilePath(), ProfileFilePath()})
    EXPECT_EQ(ReadFileBytes(file).find("secret"), std::string::npos) << file;
  CKelvaneDlg restarted;
  Start(restarted);
  AnswerNextModal<CLoginDialog>([&](CLoginDialog* login) {
    asked.push_back(login->User()->text().toStdString() + " " +
                    (login->Remember()->isChecked() ? "remembered" : "not remembered"));
    QTest::keyClick(login->Password(), Qt::Key_Return);
  });
  fs::remove_all(host);
  TypeUrl(restarted, server.Url("/"));
  Click(restarted, Control::DownloadButton);
  ASSERT_TRUE(WaitFor([&] { return Idle(restarted); }));
  EXPECT_EQ(asked.back(), "user remembered");
  EXPECT_EQ(ReadFileBytes(host + "/b.htm"), "file");
  Close(restarted);
}

// A save-to directory the disk refuses, full or read-only, is said once, with its reason.
TEST_F(Window, ADiskThatRefusesTheCopyIsSaidOnce) {
  std::string page;
  for (int i = 0; i < 8; ++i)
    page += "<IMG SRC=\"p" + std::to_string(i) + ".gif\">";
  RawServer server([&](int fd, const std::string& request) {
    SendAll(fd, Answer(200, request.starts_with("GET / ") ? page : std::string(60000, 'p')));
  });
  WriteSetting(kRoot + "Copy\\PageRequisites", "1");
  for (const auto& [options, reason] : {std::pair("size=200k", "No space left on device"),
                                        std::pair("ro", "Read-only file system")}) {
    SCOPED_TRACE(options);
    TempDir disk;
    if (std::system(("mount -t tmpfs -o " + std::string(options) + " kelvane-test '" + disk.Path() +
                     "' 2>/dev/null")
                        .c_str()) != 0)
      GTEST_SKIP() << "no tmpfs can be mounted here";
    struct Unmount {
      std::string path;
      ~Unmount() { std::system(("umount '" + path + "'").c_str()); }
    } unmount{disk.Path()};
    WriteSetting(kRoot + "SaveTo\\", disk.Path());
    std::vector<std::string> said;
    {
      CKelvaneDlg dialog;
      Start(dialog);
      AnswerNextModal<QMessageBox>([&](QMessageBox* box) {
        said.push_back(box->text().toStdString());
        QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
      });
      Type(dialog, server.Url("/"));
      Click(dialog, Control::DownloadButton);
      ASSERT_TRUE(WaitFor([&] { return Idle(dialog) && !said.empty(); }));
      said.push_back(dialog.findChild<QLabel*>("crawlEndLine")->toolTip().toStdString());
    }
    // Not stopped by the person, and no copy pointed at where none could be written.
    EXPECT_TRUE(said.back().starts_with("Stopped, as the copy cannot be written: ")) << said.back();
    if (options == std::string("ro")) {
      EXPECT_EQ(said.back().find(", in "), std::string::npos) << said.back();
    }
    said.pop_back();
    ASSERT_EQ(said.size(), 1u);
    EXPECT_TRUE(said[0].starts_with("The copy cannot be written in " + disk.Path()) &&
                said[0].ends_with(std::string(": ") + reason))
        << said[0];
  }
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
