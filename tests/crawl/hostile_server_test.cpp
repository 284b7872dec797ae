// Crawls against a server that misbehaves in every way it can: each route must end the way a
// user is told it ends, nothing may land outside the save-to directory, and nothing broken may
// be stored as if it were whole.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "crawl/rules/mirror_paths.h"
#include "crawl/run/crawl.h"
#include "crawl/run/crawl_run.h"
#include "crawl/run/http_fetcher.h"
#include "support/hostile_routes.h"
#include "support/loopback_server.h"
#include "support/recording_dialog.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace {

using Strings = std::vector<std::string>;
namespace fs = std::filesystem;

void Hostile(int fd, const std::string& request) {
  Route(fd, RequestPath(request));
}

class HostileServer : public ::testing::Test {
 protected:
  void SetUp() override {
    m_network.stallTimeoutMs = 1000;
    m_saveTo = m_root.Path() + "/save";
    fs::create_directory(m_saveTo);
  }

  void Crawl(const std::string& url) {
    m_dialog.Clear();
    m_dialog.m_url.Set(url);
    m_dialog.m_saveToDirectory.Set(m_saveTo);
    m_dialog.m_mirrorDirectory.Set(MirrorDirectory(url, m_saveTo));
    CrawlPlan plan = PlanFromDialog(m_dialog);
    plan.network = m_network;
    RunCrawl(m_dialog, plan);
  }
  bool Logged(const std::string& text) const {
    Strings logs = m_dialog.Logs();
    return std::find(logs.begin(), logs.end(), text) != logs.end();
  }
  // A transfer broken off is logged with the client's reason, which the test does not fix.
  bool LoggedBroken(const std::string& url) const {
    for (const std::string& text : m_dialog.Logs()) {
      if (text.starts_with("Not saved (transfer broken: ") && text.ends_with("): " + url))
        return true;
    }
    return false;
  }
  // Every regular file of the whole temporary tree, relative to the mirror directory; one
  // outside it fails the test.
  Strings StoredFiles(const std::string& mirror) const {
    Strings files;
    for (auto& entry : fs::recursive_directory_iterator(m_root.Path())) {
      if (entry.is_directory())
        continue;
      const std::string path = entry.path().string();
      EXPECT_TRUE(path.starts_with(mirror + "/")) << "outside the mirror: " << path;
      EXPECT_EQ(path.find(".kelvane-"), std::string::npos) << "temporary file left: " << path;
      files.push_back(path.substr(std::min(path.size(), mirror.size() + 1)));
    }
    std::sort(files.begin(), files.end());
    return files;
  }

  TempDir m_root;
  std::string m_saveTo;
  NetworkSettings m_network;
  RecordingDialog m_dialog;
};

TEST_F(HostileServer, BrokenAndRefusedAnswersAreReportedAndNeverStored) {
  RawServer site([&](int fd, const std::string& request) {
    if (RequestPath(request) == "/routes/") {
      std::string page;
      for (const char* route : {"reset.htm", "stall.htm", "short.gif", "large.gif", "endless.gif",
                                "loop.htm", "missing.htm", "failing.htm", "moved.htm",
                                "nowhere.htm", "local.htm", "headers.htm", "fine.gif"})
        page += std::string("<A HREF=\"") + route + "\">\n";
      SendAll(fd, Answer(200, page));
    } else {
      std::string path = RequestPath(request);
      Route(fd, path.starts_with("/routes/") ? path.substr(7) : path);
    }
  });
  const std::string v = site.Url("/routes");
  Crawl(site.Url("/routes/"));

  EXPECT_TRUE(LoggedBroken(v + "/reset.htm"));
  EXPECT_TRUE(LoggedBroken(v + "/stall.htm"));
  EXPECT_TRUE(LoggedBroken(v + "/short.gif"));
  EXPECT_TRUE(Logged("Not saved (larger than 4194304 bytes): " + v + "/large.gif"));
  EXPECT_TRUE(Logged("Not saved (larger than 4194304 bytes): " + v + "/endless.gif"));
  EXPECT_TRUE(
      Logged("Not saved (transfer broken: Maximum (20) redirects followed): " + v + "/loop.htm"));
  EXPECT_TRUE(Logged("Not saved (HTTP 404): " + v + "/missing.htm"));
  EXPECT_TRUE(Logged("Not saved (HTTP 500): " + v + "/failing.htm"));
  // A redirect that says where is followed; one that does not is not the file.
  EXPECT_TRUE(Logged("Not saved (HTTP 301): " + v + "/nowhere.htm"));
  // A redirect to a local file is refused.
  EXPECT_TRUE(LoggedBroken(v + "/local.htm"));
  // Headers that never end break that file alone.
  EXPECT_TRUE(LoggedBroken(v + "/headers.htm"));
  EXPECT_FALSE(Logged("Transfert canceled"));

  const std::string mirror = m_saveTo + "/127.0.0.1:" + std::to_string(site.Port());
  EXPECT_EQ(StoredFiles(mirror),
            (Strings{"routes/fine.gif", "routes/moved.htm", "routes/~index.htm"}));
  EXPECT_EQ(ReadFileBytes(mirror + "/routes/moved.htm"), "/target.htm");
  EXPECT_EQ(ReadFileBytes(mirror + "/routes/fine.gif"), "/fine.gif");
}

// No answer at all is a request that failed: its text is logged and the whole crawl is canceled,
// as for an unreachable server. (An answer that begins, and then has headers that never end, is
// that file's broken transfer.)
TEST_F(HostileServer, NoAnswerEndsTheCrawlAsCanceled) {
  for (const auto& [route, reason] :
       {std::pair<std::string, std::string>{"silent.htm", "Empty reply from server"}}) {
    RawServer server([route = route](int fd, const std::string& request) {
      if (RequestPath(request) == "/")
        SendAll(fd, Answer(200, "<A HREF=\"" + route + "\"><A HREF=\"after.htm\">"));
      else
        Hostile(fd, request);
    });
    const int endedBefore = m_dialog.WorkerEndedCount();
    Crawl(server.Url("/"));
    Strings logs = m_dialog.Logs();
    auto canceled = std::find(logs.begin(), logs.end(), "Transfert canceled");
    ASSERT_NE(canceled, logs.end()) << route;
    EXPECT_TRUE((canceled - 1)->starts_with(reason)) << *(canceled - 1);
    EXPECT_EQ(m_dialog.WorkerEndedCount(), endedBefore + 1) << route;
    const std::string mirror = m_saveTo + "/127.0.0.1:" + std::to_string(server.Port());
    EXPECT_EQ(StoredFiles(mirror), (Strings{"~index.htm"})) << route;
    fs::remove_all(mirror);
  }
}

TEST_F(HostileServer, HugePagesAreScannedToTheEnd) {
  RawServer server(Hostile);
  const std::string mirror = m_saveTo + "/127.0.0.1:" + std::to_string(server.Port());
  Crawl(server.Url("/wide.htm"));
  Crawl(server.Url("/tall.htm"));
  Strings expected{"tall.htm", "wide.htm"};
  for (int i = 0; i < 50; ++i) {
    expected.push_back("t/" + std::to_string(i) + ".gif");
    expected.push_back("w/" + std::to_string(i) + ".htm");
  }
  Strings stored = StoredFiles(mirror);
  // Links cut where a line is split may add a few files of their own; every whole one is there.
  for (const std::string& file : expected)
    EXPECT_TRUE(std::binary_search(stored.begin(), stored.end(), file)) << file;
  for (const std::string& file : stored)
    EXPECT_EQ(ReadFileBytes(mirror + "/" + file).size() > 0, true) << file;
  EXPECT_EQ(ReadFileBytes(mirror + "/tall.htm"), TallPage());
}

// Names made of dots, separators, control and non-ASCII bytes, overlong or deep: each stored
// file lies under the mirror, holds what was fetched for its own address, and nothing escapes.
TEST_F(HostileServer, StrangeNamesStayInsideTheMirrorAndHoldTheirOwnBytes) {
  RawServer server(Hostile);
  const std::string mirror = m_saveTo + "/127.0.0.1:" + std::to_string(server.Port());
  Crawl(server.Url("/"));
  Crawl(
      server.Url("/" + std::string(300, 'x') + "/"));  // a name longer than any file system allows
  Strings stored = StoredFiles(mirror);
  for (const std::string& file : stored) {
    if (file == "~index.htm" || file == "names/~index.htm")
      continue;
    std::string address = "/" + file;
    // An address naming a directory is stored as the index file in it.
    if (address.ends_with("/~index.htm"))
      address.resize(address.size() - 11);
    std::string bytes = ReadFileBytes(mirror + "/" + file);
    EXPECT_TRUE(bytes == EncodeRequestPath(address) || bytes == EncodeRequestPath(address + "/"))
        << file << " holds the bytes of " << bytes;
    EXPECT_EQ(HasParentSegment(address), false) << file;
  }
  for (const char* name :
       {"up.htm", "names/Case.htm", "names/case.htm", "names/CASE.HTM", "names/with blank.htm",
        "names/star*.htm", "names/co:lon.htm", "names/caf\xc3\xa9.htm", "names/latin\xe9.htm",
        "names/ctl\x01\x1f\x7f.htm", "names/%2e%2e/%2e%2e/dots.htm"})
    EXPECT_TRUE(std::binary_search(stored.begin(), stored.end(), name)) << name;
  EXPECT_TRUE(std::any_of(stored.begin(), stored.end(),
                          [](const std::string& f) { return f.ends_with("/d39/deep.htm"); }));
  std::error_code error;
  EXPECT_FALSE(fs::exists(mirror + "/" + std::string(300, 'x'), error));
}

// "Stop" while the server holds the answer back ends the crawl at once, not at the stall limit
// (a minute here).
TEST_F(HostileServer, StopDuringAStalledAnswerEndsTheCrawlQuickly) {
  m_network.stallTimeoutMs = 60000;
  std::atomic<bool> stalling{false};
  RawServer server([&](int fd, const std::string& request) {
    if (RequestPath(request) == "/") {
      SendAll(fd, Answer(200, "<A HREF=\"stall.htm\">"));
    } else {
      SendAll(fd, "HTTP/1.0 200 OK\r\nContent-Length: 5000\r\n\r\n");
      stalling = true;
      WaitForPeerClose(fd, 30000);
    }
  });
  using Clock = std::chrono::steady_clock;
  std::atomic<Clock::rep> stoppedAt{0};
  std::thread stopper([&] {
    WaitUntil([&] { return stalling.load(); });
    stoppedAt = Clock::now().time_since_epoch().count();
    m_dialog.m_stopRequested = 1;
  });
  Crawl(server.Url("/"));
  auto returnedAt = Clock::now().time_since_epoch().count();
  stopper.join();
  ASSERT_TRUE(stalling);
  EXPECT_LT(Clock::duration(returnedAt - stoppedAt.load()), std::chrono::seconds(10));
  EXPECT_TRUE(Logged("Transfert canceled"));
  const std::string mirror = m_saveTo + "/127.0.0.1:" + std::to_string(server.Port());
  EXPECT_EQ(StoredFiles(mirror), (Strings{"~index.htm"}));
}

}  // namespace
