// Crawls started, stopped and ended from the window, by keys and clicks.
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
