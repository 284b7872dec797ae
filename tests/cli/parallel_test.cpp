// kelvane-cli --jobs N: several transfers at once, and the polite limits at any N.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

#include "cli/cli_support.h"
#include "support/loopback_server.h"
#include "support/site_generator.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// "sub" and "sub/" are one local path: the two are never in transfer together, the file is
// written once, and the copy is the one-at-a-time crawl's.
TEST(Parallel, TwoAddressesOfOneLocalPathNeverTearOrDoubleWrite) {
  RawServer server([](int fd, const std::string& request) {
    if (request.starts_with("GET / ")) {
      SendAll(fd, Answer(200, "<A HREF=\"sub\"><A HREF=\"sub/\"><IMG SRC=\"a.gif\">"));
    } else if (request.starts_with("GET /sub")) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));  // both would be in flight
      SendAll(fd, Answer(200, "<IMG SRC=\"b.gif\">" + std::string(5000, ' ')));
    } else {
      SendAll(fd, Answer(200, "GIF"));
    }
  });
  TempDir one, four;
  ProcessResult single = Cli({"--save-to", one.Path(), server.Url("/")});
  ProcessResult parallel =
      Cli({"--jobs", "4", "--verbose", "--save-to", four.Path(), server.Url("/")});
  ASSERT_EQ(single.exitCode, 0) << single.err;
  ASSERT_EQ(parallel.exitCode, 0) << parallel.err;
  const std::string host = "/127.0.0.1:" + std::to_string(server.Port());
  EXPECT_TRUE(ReadTree(one.Path() + host) == ReadTree(four.Path() + host));
  const std::string log = ReadFileBytes(four.Path() + "/Kelvane.log");
  EXPECT_EQ(Count(log, ": Saving: " + four.Path() + host + "/sub/~index.htm\n"), 1u) << log;
  EXPECT_TRUE(Contains(parallel.err, ", 1 from earlier copies, ")) << parallel.err;
}

// A body that never ends, four at once: memory stays within the four areas and a margin.
TEST(Parallel, EndlessBodiesKeepMemoryBounded) {
  std::atomic<bool> endless{false};
  RawServer server([&](int fd, const std::string& request) {
    if (request.starts_with("GET / ")) {
      SendAll(fd, Answer(200,
                         "<IMG SRC=\"1.gif\"><IMG SRC=\"2.gif\"><IMG SRC=\"3.gif\">"
                         "<IMG SRC=\"4.gif\">"));
    } else if (!endless) {
      SendAll(fd, Answer(200, "GIF89a"));
    } else {
      SendAll(fd, "HTTP/1.1 200 OK\r\n\r\n");
      const std::string chunk(65536, 'n');
      for (int i = 0; i < 4096; ++i) {  // 256 MiB at most, until the client goes
        if (send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL) <= 0)
          break;
      }
    }
  });
  TempDir small, big;
  ProcessResult baseline = Cli({"--jobs", "4", "--save-to", small.Path(), server.Url("/")});
  endless = true;
  ProcessResult run = Cli({"--jobs", "4", "--save-to", big.Path(), server.Url("/")});
  EXPECT_EQ(baseline.exitCode, 0) << baseline.err;
  EXPECT_EQ(run.exitCode, 8) << run.err;
  EXPECT_TRUE(Contains(run.err, ", 1 stored, 0 from earlier copies, 4 not saved, ")) << run.err;
  std::printf("peak memory with 4 jobs: %ld KB for small files, %ld KB for endless bodies\n",
              baseline.peakMemoryKb, run.peakMemoryKb);
#if !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
  EXPECT_LE(run.peakMemoryKb, baseline.peakMemoryKb + 4 * 4096 + 16384);
#endif
}

// Ctrl-C, SIGTERM or a failed network call end every transfer in flight at once; nothing of
// them is stored.
TEST(Parallel, SignalsAndFailuresEndEveryTransfer) {
  RawServer server([](int fd, const std::string& request) {
    if (request.starts_with("GET / ")) {
      SendAll(fd, Answer(200, "<IMG SRC=\"1.gif\"><IMG SRC=\"2.gif\"><IMG SRC=\"3.gif\">"));
    } else {
      SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 9000\r\n\r\n" + std::string(1500, 'x'));
      WaitForPeerClose(fd, 20000);
    }
  });
  TempDir saveTo;
  Clock::time_point signalled;
  ProcessResult run =
      RunProcess({KELVANE_CLI_PATH, "--jobs", "4", "--save-to", saveTo.Path(), server.Url("/")},
                 [&](pid_t pid) {
                   // Once the three pictures are in transfer.
                   WaitUntil([&] { return server.RequestLines().size() >= 5; });
                   signalled = Clock::now();
                   kill(pid, SIGINT);
                 });
  EXPECT_EQ(run.exitCode, 130) << run.err;
  EXPECT_LT(Clock::now() - signalled, std::chrono::seconds(2));
  const std::string host = saveTo.Path() + "/127.0.0.1:" + std::to_string(server.Port());
  EXPECT_FALSE(fs::exists(host + "/1.gif"));

  int closedPort;
  {
    RawServer gone([](int, const std::string&) {});
    closedPort = gone.Port();
  }
  ProcessResult refused = Cli({"--jobs", "4", "--save-to", saveTo.Path(),
                               "http://127.0.0.1:" + std::to_string(closedPort) + "/"});
  EXPECT_EQ(refused.exitCode, 4) << refused.err;
  EXPECT_TRUE(Contains(refused.err, "kelvane-cli: Transfert canceled\n")) << refused.err;
}

// --wait spaces the starts of requests to a server; --limit-rate slows the whole crawl. Both
// hold with one job and with several.
TEST(Parallel, WaitAndRateLimitHoldAtAnyNumberOfJobs) {
  std::mutex mutex;
  std::vector<Clock::time_point> starts;
  RawServer server([&](int fd, const std::string& request) {
    {
      std::lock_guard lock(mutex);
      starts.push_back(Clock::now());
    }
    if (request.starts_with("GET / ")) {
      SendAll(fd, Answer(200, "<IMG SRC=\"1.gif\"><IMG SRC=\"2.gif\"><IMG SRC=\"3.gif\">"));
    } else {
      SendAll(fd, Answer(200, std::string(60000, 'g')));
    }
  });
  for (const char* jobs : {"1", "3"}) {
    SCOPED_TRACE(jobs);
    {
      std::lock_guard lock(mutex);
      starts.clear();
    }
    TempDir waited;
    ProcessResult run =
        Cli({"--jobs", jobs, "--wait", "0.3", "--save-to", waited.Path(), server.Url("/")});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    std::vector<Clock::time_point> seen;
    {
      std::lock_guard lock(mutex);
      seen = starts;
    }
    ASSERT_EQ(seen.size(), 5u);  // the test, the start page, three pictures
    // Seen by the server as its thread gets to each request, late now and then on a busy
    // machine: the starts are judged over the whole run, four waits of 0.3 s.
    EXPECT_GE(seen.back() - seen.front(), std::chrono::milliseconds(4 * 250));

    TempDir limited;
    auto began = Clock::now();
    run =
        Cli({"--jobs", jobs, "--limit-rate", "90k", "--save-to", limited.Path(), server.Url("/")});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    // 180,000 bytes of pictures at 92,160 a second: well over a second.
    EXPECT_GE(Clock::now() - began, std::chrono::milliseconds(1200));
  }
}

// With -p and no --jobs a server sees at most 6 requests at once; the crawl without -p and
// --jobs 1 one. The server holds each picture until as many as the row expects are open, so
// that a crawl which asks for more, or fewer, shows it.
TEST(Parallel, DefaultJobsArePoliteToEachServer) {
  std::string page = "<HTML>";
  for (int i = 0; i < 24; ++i)
    page += "<IMG SRC=\"" + std::to_string(i) + ".gif\">";
  std::mutex mutex;
  std::condition_variable changed;
  int group = 1, arrived = 0, open = 0, most = 0;
  RawServer server([&](int fd, const std::string& request) {
    if (request.starts_with("GET / "))
      return SendAll(fd, Answer(200, page));
    std::unique_lock lock(mutex);
    const int batch = arrived++ / group;
    most = std::max(most, ++open);
    changed.notify_all();
    changed.wait_for(lock, std::chrono::seconds(30),
                     [&] { return arrived >= (batch + 1) * group; });
    --open;
    lock.unlock();
    SendAll(fd, Answer(200, "GIF89a"));
  });
  const struct {
    std::vector<std::string> options;
    int most;
  } rows[] = {{{"-p"}, 6}, {{"-p", "--jobs", "1"}, 1}, {{}, 1}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.options.empty() ? "one at a time" : row.options.back());
    {
      std::lock_guard lock(mutex);
      group = row.most;
      arrived = most = 0;
    }
    TempDir saveTo;
    std::vector<std::string> args = row.options;
    args.insert(args.end(), {"--save-to", saveTo.Path(), server.Url("/")});
    ProcessResult run = Cli(args);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    std::lock_guard lock(mutex);
    EXPECT_EQ(most, row.most);
    if (!row.options.empty()) {
      EXPECT_EQ(arrived, 24) << run.err;
    }
  }
}

// A server that asks for a pause (429, or 503 with Retry-After) is left alone that long and
// asked again; the file is stored and the summary counts the pauses. One that never stops
// asking gets its answer after four pauses; answers to requests that were under way when it
// asked are of the same pause. Under --robots, Crawl-delay spaces the requests.
// A server that takes two requests at once and resets, or answers 503 to, any more: the crawl
// gets every file at every job count, with fewer transfers to it.
TEST(Parallel, ServersThatTakeFewAtOnceGiveEveryFile) {
  for (const bool reset : {true, false}) {
    std::atomic<int> busy{0};
    std::atomic<bool> several{false}, refused{false};  // the pictures answered once one is
    std::string page;
    for (int i = 0; i < 12; ++i)
      page += "<IMG SRC=\"" + std::to_string(i) + ".gif\">";
    RawServer server([&](int fd, const std::string& request) {
      if (++busy > 2) {
        refused = true;
        if (reset)
          ResetConnection(fd);
        else
          SendAll(fd, Answer(503, ""));
      } else if (request.starts_with("GET / ")) {
        SendAll(fd, Answer(200, page));
      } else {
        WaitUntil([&] { return !several || refused; });
        SendAll(fd, Answer(200, "GIF89a"));
      }
      --busy;
    });
    for (const char* jobs : {"1", "4", ""}) {
      several = *jobs != '1';
      refused = false;
      SCOPED_TRACE(std::string(reset ? "reset, jobs " : "503, jobs ") + jobs);
      TempDir saveTo;
      std::vector<std::string> args = {"-p", "--save-to", saveTo.Path(), server.Url("/")};
      if (*jobs != '\0')
        args.insert(args.begin(), {"--jobs", jobs});
      const ProcessResult run = Cli(args);
      EXPECT_EQ(run.exitCode, 0) << run.err;
      EXPECT_EQ(ReadTree(saveTo.Path() + "/127.0.0.1:" + std::to_string(server.Port())).size(),
                13u);
    }
  }
}

TEST(Parallel, ServersThatAskForAPauseGetIt) {
  const auto inTwoSeconds = [] {
    const std::time_t t = std::time(nullptr) + 2;
    char text[64];
    std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", std::gmtime(&t));
    return std::string(text);
  };
  const struct {
    std::string name;
    std::function<std::string()> refusal;  // the first answers to the picture, made as it starts
    int refusals;
    std::vector<std::string> options;
    int exitCode;
    // Between the first request for the picture and its last; for the crawl delay, between the
    // first request of all and the last (at least c.htm, d.htm and e.htm wait their turns).
    std::chrono::milliseconds least;
    std::string summary;
    int burst = 0;  // more pictures, each refused at its first request with Retry-After: 1
  } rows[] = {
      {"429 seconds",
       [] { return Answer(429, "", "Retry-After: 1\r\n"); },
       1,
       {"-p"},
       0,
       std::chrono::milliseconds(1000),
       "servers asked for a pause 1 times"},
      {"503 date",
       [&] { return Answer(503, "", "Retry-After: " + inTwoSeconds() + "\r\n"); },
       1,
       {"-p"},
       0,
       std::chrono::milliseconds(900),
       "servers asked for a pause 1 times"},
      {"429 bare",
       [] { return Answer(429, ""); },
       2,
       {"-p", "--jobs", "1"},
       0,
       std::chrono::milliseconds(3000),
       "servers asked for a pause 2 times"},
      {"endless",
       [] { return Answer(429, "", "Retry-After: 0\r\n"); },
       99,
       {"-p"},
       8,
       std::chrono::milliseconds(0),
       "servers asked for a pause 4 times"},
      // Beside the other files, the server took no more at once: it is asked again, no pause.
      {"503 bare", [] { return Answer(503, ""); }, 1, {"-p"}, 0, std::chrono::milliseconds(0), ""},
      {"one at a time",
       [] { return Answer(429, "", "Retry-After: 1\r\n"); },
       1,
       {},
       8,
       std::chrono::milliseconds(0),
       ""},
      {"crawl delay",
       [] { return Answer(200, "GIF89a"); },
       0,
       {"-p", "--robots"},
       0,
       std::chrono::milliseconds(2 * 400),
       ""},
      {"burst",
       [] { return Answer(200, "GIF89a"); },
       0,
       {"-p"},
       0,
       std::chrono::milliseconds(0),
       "servers asked for a pause",
       8},
  };
  std::mutex mutex;
  std::vector<Clock::time_point> asked;  // for the picture
  std::vector<Clock::time_point> all;    // but robots.txt
  Clock::time_point robotsAt;
  int refusals = 0;
  std::string refusal;
  std::string burst;              // the start page's more pictures
  std::set<std::string> refused;  // of those
  RawServer server([&](int fd, const std::string& request) {
    std::unique_lock lock(mutex);
    if (request.starts_with("GET /robots.txt ")) {
      robotsAt = Clock::now();
      return SendAll(fd, Answer(200, "User-agent: *\nCrawl-delay: 0.5\n"));
    }
    all.push_back(Clock::now());
    // Pages after the start: robots.txt is read for the first, and the rest wait its delay.
    if (request.starts_with("GET / "))
      return SendAll(
          fd, Answer(200, "<IMG SRC=\"a.gif\"><IMG SRC=\"b.gif\"><A HREF=\"c.htm\">" + burst));
    if (request.starts_with("GET /x") && refused.insert(request.substr(0, 12)).second)
      return SendAll(fd, Answer(503, "", "Retry-After: 1\r\n"));
    if (request.starts_with("GET /c.htm "))
      return SendAll(fd, Answer(200, "<A HREF=\"d.htm\">"));
    if (request.starts_with("GET /d.htm "))
      return SendAll(fd, Answer(200, "<A HREF=\"e.htm\">"));
    if (!request.starts_with("GET /a.gif "))
      return SendAll(fd, Answer(200, "GIF89a"));
    asked.push_back(Clock::now());
    SendAll(fd, asked.size() <= static_cast<size_t>(refusals) ? refusal : Answer(200, "GIF89a"));
  });
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    {
      std::lock_guard lock(mutex);
      asked.clear();
      all.clear();
      refusals = row.refusals;
      refusal = row.refusal();
      burst.clear();
      refused.clear();
      for (int k = 0; k < row.burst; ++k)
        burst += "<IMG SRC=\"x" + std::to_string(k) + ".gif\">";
    }
    TempDir saveTo;
    std::vector<std::string> args = row.options;
    args.insert(args.end(), {"--save-to", saveTo.Path(), server.Url("/")});
    ProcessResult run = Cli(args);
    EXPECT_EQ(run.exitCode, row.exitCode) << run.err;
    const std::string stored = saveTo.Path() + "/127.0.0.1:" + std::to_string(server.Port()) + "/";
    EXPECT_EQ(fs::exists(stored + "a.gif"), row.exitCode == 0);
    for (int k = 0; k < row.burst; ++k)
      EXPECT_TRUE(fs::exists(stored + "x" + std::to_string(k) + ".gif")) << k << run.err;
    EXPECT_EQ(Contains(run.err, "servers asked for a pause"), !row.summary.empty()) << run.err;
    EXPECT_TRUE(Contains(run.err, row.summary)) << run.err;
    std::lock_guard lock(mutex);
    ASSERT_FALSE(asked.empty());
    const auto& span = row.refusals == 0 ? all : asked;
    EXPECT_GE(span.back() - span.front(), row.least);
    if (row.name == "endless") {
      EXPECT_EQ(asked.size(), 5u);
    }
    // robots.txt is the server's first request, and its delay holds from it (as the program
    // sent it, which the server sees a little later).
    if (row.name == "crawl delay") {
      EXPECT_GE(all.front() - robotsAt, std::chrono::milliseconds(400));
    }
  }
}

}  // namespace
