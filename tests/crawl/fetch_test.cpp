#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "crawl/run/http_fetcher.h"
#include "platform/transport.h"
#include "support/loopback_server.h"
#include "support/recording_dialog.h"
#include "support/wait.h"

namespace {

using Strings = std::vector<std::string>;

Strings FromFirst(const Strings& all, const std::string& first) {
  for (size_t i = 0; i < all.size(); ++i) {
    if (all[i] == first)
      return Strings(all.begin() + static_cast<std::ptrdiff_t>(i), all.end());
  }
  return {};
}

class FetchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_options.connectTimeoutMs = 5000;
    m_options.stallTimeoutMs = 1000;
  }
  // One fetch as a crawl with these options makes it.
  std::unique_ptr<FetchedFile> Get(const std::string& url) {
    Transport transport(m_options);
    return Fetch(url, transport);
  }
  NetworkSettings m_options;
  RecordingDialog m_dialog;
};

TEST(CutAddress, Table) {
  struct {
    const char* url;
    const char* server;
    const char* object;
  } cases[] = {
      {"http://host/dir/page.html?x=1", "host", "dir/page.html?x=1"},
      {"http://host/", "host", ""},
      {"http://host", "host", ""},
      {"http://host:8080/x.html", "host:8080", "x.html"},
      {"https://host/a/../b", "host", "a/../b"},
      {"http://host//x", "host", "/x"},
  };
  for (const auto& c : cases) {
    std::string server, object;
    CutAddress(c.url, server, object);
    EXPECT_EQ(server, c.server) << c.url;
    EXPECT_EQ(object, c.object) << c.url;
  }
}

TEST(EncodeRequestPath, OnlyBytesThatCannotStandInAPath) {
  EXPECT_EQ(EncodeRequestPath("a b/c\x7f\xc3\xa9?q=%41&x=\"y\""), "a%20b/c%7F%C3%A9?q=%41&x=\"y\"");
  EXPECT_EQ(EncodeRequestPath("../x/./y"), "../x/./y");
  EXPECT_EQ(EncodeRequestPath(std::string("\t\n\x01", 3)), "%09%0A%01");
}

// A body that trickles in small pieces is still read in reads of 1,024 bytes.
TEST_F(FetchTest, ThreeThousandBytesInThreeReads) {
  RawServer server([](int fd, const std::string&) {
    std::string body(3000, 'k');
    SendAll(fd, "HTTP/1.0 200 OK\r\nContent-Length: 3000\r\n\r\n");
    for (size_t at = 0; at < body.size(); at += 300) {
      SendAll(fd, body.substr(at, 300));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  auto file = Get(server.Url("/dir/three.bin"));
  EXPECT_EQ(file->length, 3000);
  EXPECT_EQ(file->problem, FetchProblem::None);
  EXPECT_EQ(file->status, 200);
  const std::string port = std::to_string(server.Port());
  EXPECT_EQ(m_dialog.Logs(), (Strings{"Connecting to: http://127.0.0.1:" + port + "/dir/three.bin",
                                      "Connecting to: 127.0.0.1:" + port, "Requesting file size...",
                                      "File size info = 3000", "Reading remote file...",
                                      "1024 bytes read Total=1024", "1024 bytes read Total=2048",
                                      "952 bytes read Total=3000"}));
  Strings events = m_dialog.Events();
  EXPECT_EQ(FromFirst(events, "text 1016 Reading ").size() > 0, true);
  EXPECT_EQ(m_dialog.LastText(Control::CurrentItemEdit), "dir/three.bin");
  Strings fromRanges = FromFirst(events, "range 1003 0 3000");
  ASSERT_FALSE(fromRanges.empty());
  EXPECT_EQ(fromRanges[1], "range 1005 0 16384");
  // Thirteen reads: three with data and ten short ones; then both bars back to 0.
  int filePositions = 0;
  for (const std::string& e : events)
    filePositions += e.starts_with("pos 1003 ");
  EXPECT_EQ(filePositions, 12 + 1);
  EXPECT_EQ(events[events.size() - 2], "pos 1003 0");
  EXPECT_EQ(events.back(), "pos 1005 0");
}

TEST_F(FetchTest, SizeHeaderAbsentOrNotANumber) {
  RawServer server([](int fd, const std::string& request) {
    if (request.starts_with("GET /none")) {
      SendAll(fd, "HTTP/1.0 200 OK\r\n\r\nbody without length");
    } else if (request.starts_with("GET /word")) {
      SendAll(fd, "HTTP/1.0 200 OK\r\nContent-Length: many\r\n\r\n");
    } else {
      SendAll(fd, "HTTP/1.0 200 OK\r\nContent-Length: 12345\r\n\r\n" + std::string(12345, 'x'));
    }
  });
  Get(server.Url("/sized"));
  Strings logs = m_dialog.Logs();
  EXPECT_EQ(logs[3], "File size info = 12345");
  EXPECT_EQ(FromFirst(m_dialog.Events(), "range 1003 0 12345").size() > 0, true);
  m_dialog.Clear();
  auto file = Get(server.Url("/none"));
  EXPECT_EQ(m_dialog.Logs()[3], "Unknown File size");
  EXPECT_EQ(FromFirst(m_dialog.Events(), "range 1003 0 16384").size() > 0, true);
  EXPECT_EQ(std::string(file->data.get(), file->length), "body without length");
  m_dialog.Clear();
  Get(server.Url("/word"));
  EXPECT_EQ(m_dialog.Logs()[3], "File size info = 0");
  EXPECT_EQ(FromFirst(m_dialog.Events(), "range 1003 0 0").size() > 0, true);
}

TEST_F(FetchTest, TheRequestOnTheWire) {
  RawServer server([](int fd, const std::string&) { SendAll(fd, Answer(200, "ok")); });
  Get(server.Url("/dir/a b/../c.htm?q=1"));
  const std::string host = "127.0.0.1:" + std::to_string(server.Port());
  ASSERT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(server.Requests()[0], "GET /dir/a%20b/../c.htm?q=1 HTTP/1.0\r\nHost: " + host +
                                      "\r\nUser-Agent: Kelvane\r\nReferer: http://" + host +
                                      "/\r\n\r\n");
}

TEST_F(FetchTest, RedirectsAreFollowedAndTheRecordKeepsTheAskedAddress) {
  RawServer server([](int fd, const std::string& request) {
    if (request.starts_with("GET /old")) {
      SendAll(fd, Answer(301, "moved", "Location: /new.htm\r\n"));
    } else {
      SendAll(fd, Answer(200, "new page"));
    }
  });
  auto file = Get(server.Url("/old.htm"));
  EXPECT_EQ(std::string(file->data.get(), file->length), "new page");
  EXPECT_EQ(file->url, server.Url("/old.htm"));
  EXPECT_EQ(file->problem, FetchProblem::None);
  EXPECT_EQ(m_dialog.Logs()[3], "File size info = 8");
}

TEST_F(FetchTest, AnswersThatMustNotBeStored) {
  RawServer server([](int fd, const std::string& request) {
    if (request.starts_with("GET /missing")) {
      SendAll(fd, Answer(404, "<html>no</html>"));
    } else if (request.starts_with("GET /reset")) {
      SendAll(fd, "HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n" + std::string(5000, 'r'));
      ResetConnection(fd);
    } else if (request.starts_with("GET /short")) {
      SendAll(fd, "HTTP/1.0 200 OK\r\nContent-Length: 5000\r\n\r\n" + std::string(3000, 's'));
    } else if (request.starts_with("GET /stall")) {
      SendAll(fd, "HTTP/1.0 200 OK\r\nContent-Length: 5000\r\n\r\n" + std::string(100, 's'));
      WaitForPeerClose(fd, 10000);
    } else if (request.starts_with("GET /loop")) {
      SendAll(fd, Answer(302, "", "Location: /loop\r\n"));
    } else if (request.starts_with("GET /exact")) {
      SendAll(fd, Answer(200, std::string(FetchedFile::kCapacity, 'e')));
    } else if (request.starts_with("GET /over")) {
      SendAll(fd, Answer(200, std::string(FetchedFile::kCapacity + 1, 'o')));
    } else if (request.starts_with("GET /endless")) {
      SendAll(fd, "HTTP/1.0 200 OK\r\n\r\n");
      std::string chunk(65536, 'n');
      for (int i = 0; i < 200; ++i)
        SendAll(fd, chunk);
    } else {
      SendAll(fd, Answer(200, ""));
    }
  });
  struct {
    const char* path;
    FetchProblem problem;
    int length;
  } cases[] = {
      {"/missing", FetchProblem::HttpError, 15},
      {"/reset", FetchProblem::Broken, -1},
      {"/short", FetchProblem::Broken, 3000},
      {"/stall", FetchProblem::Broken, 100},
      {"/loop", FetchProblem::Broken, -1},
      {"/exact", FetchProblem::None, FetchedFile::kCapacity},
      {"/over", FetchProblem::TooLarge, FetchedFile::kCapacity},
      {"/endless", FetchProblem::TooLarge, FetchedFile::kCapacity},
      {"/empty", FetchProblem::None, 0},
  };
  for (const auto& c : cases) {
    auto file = Get(server.Url(c.path));
    EXPECT_EQ(file->problem, c.problem) << c.path;
    if (c.length >= 0) {
      EXPECT_EQ(file->length, c.length) << c.path;
    }
    EXPECT_LE(file->length, FetchedFile::kCapacity);
    EXPECT_EQ(m_dialog.m_stopRequested.load(), 0) << c.path;
    if (c.problem == FetchProblem::Broken) {
      EXPECT_FALSE(file->problemText.empty()) << c.path;
    }
  }
}

TEST_F(FetchTest, NetworkFailuresLogTheirTextAndRaiseTheStopFlag) {
  int closedPort;
  {
    RawServer gone([](int, const std::string&) {});
    closedPort = gone.Port();
  }
  auto file = Get("http://127.0.0.1:" + std::to_string(closedPort) + "/x.htm");
  EXPECT_EQ(file->length, 0);
  EXPECT_EQ(m_dialog.m_stopRequested.load(), 1);
  Strings logs = m_dialog.Logs();
  ASSERT_EQ(logs.size(), 3u);
  EXPECT_FALSE(logs[2].empty());

  m_dialog.m_stopRequested = 0;
  m_dialog.Clear();
  RawServer silent([](int, const std::string&) {});  // closes without answering
  Get(silent.Url("/x.htm"));
  EXPECT_EQ(m_dialog.m_stopRequested.load(), 1);
  EXPECT_EQ(m_dialog.Logs().back(), "Empty reply from server");
}

// Without a dialog the stop flag is the fetcher's own: a failure stops that fetch, not the next.
TEST_F(FetchTest, NoStopFlagOutlivesItsFetchWithoutADialog) {
  int closedPort;
  {
    RawServer gone([](int, const std::string&) {});
    closedPort = gone.Port();
  }
  RawServer server(SiteHandler({{"/a.gif", "GIF"}}));
  g_mainDialog = nullptr;
  auto failed = Get("http://127.0.0.1:" + std::to_string(closedPort) + "/x.htm");
  auto next = Get(server.Url("/a.gif"));
  g_mainDialog = &m_dialog;
  EXPECT_FALSE(failed->failedCallText.empty());
  EXPECT_EQ(std::string(next->data.get(), static_cast<size_t>(next->length)), "GIF");
}

TEST_F(FetchTest, UnresolvableServerNameSendsNoQuery) {
  NetworkSettings options;
  options.resolve = [](const std::string&) { return std::optional<std::string>(); };
  m_options = options;
  Get("http://nowhere.invalid/a.htm");
  EXPECT_EQ(m_dialog.m_stopRequested.load(), 1);
  EXPECT_EQ(m_dialog.Logs(),
            (Strings{"Connecting to: http://nowhere.invalid/a.htm",
                     "Connecting to: nowhere.invalid", "Could not resolve host: nowhere.invalid"}));
}

TEST_F(FetchTest, NamedServerThroughTheResolverSeam) {
  RawServer server([](int fd, const std::string&) { SendAll(fd, Answer(200, "named")); });
  NetworkSettings options;
  options.resolve = [](const std::string& host) {
    return host == "site.test" ? std::optional<std::string>("127.0.0.1") : std::nullopt;
  };
  m_options = options;
  auto file = Get("http://site.test:" + std::to_string(server.Port()) + "/n.htm");
  EXPECT_EQ(std::string(file->data.get(), file->length), "named");
  EXPECT_NE(server.Requests()[0].find("Host: site.test:"), std::string::npos);
}

// "Stop" during a read that waits on a silent server takes effect then, not at the stall limit.
TEST_F(FetchTest, StopDuringAStalledRead) {
  RawServer server([](int fd, const std::string&) {
    SendAll(fd, "HTTP/1.0 200 OK\r\nContent-Length: 9000\r\n\r\n" + std::string(2048, 'p'));
    WaitForPeerClose(fd, 10000);
  });
  std::atomic<std::chrono::steady_clock::rep> stoppedAt{0};
  std::thread stopper([this, &stoppedAt] {
    WaitUntil([&] {
      Strings logs = m_dialog.Logs();
      return !logs.empty() && logs.back() == "1024 bytes read Total=2048";
    });
    stoppedAt = std::chrono::steady_clock::now().time_since_epoch().count();
    m_dialog.m_stopRequested = 1;
  });
  auto file = Get(server.Url("/slow.bin"));
  auto returnedAt = std::chrono::steady_clock::now().time_since_epoch().count();
  stopper.join();
  EXPECT_LT(std::chrono::steady_clock::duration(returnedAt - stoppedAt.load()),
            std::chrono::seconds(5));
  EXPECT_EQ(file->length, 2048);
  // The pending read ended empty and was shown; the bars were not reset.
  EXPECT_NE(m_dialog.Events().back(), "pos 1005 0");
}

TEST_F(FetchTest, AddressWithoutSchemeGetsHttp) {
  NetworkSettings options;
  options.resolve = [](const std::string&) { return std::optional<std::string>(); };
  m_options = options;
  auto file = Get("host/a.html");
  EXPECT_EQ(file->url, "http://host/a.html");
  EXPECT_EQ(m_dialog.Logs()[0], "Connecting to: http://host/a.html");
}

}  // namespace
