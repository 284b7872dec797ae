// kelvane-cli --jobs N: several transfers at once, and the polite limits at any N.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
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

}  // namespace
