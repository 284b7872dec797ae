// Faults that lived where the one-at-a-time crawl and the crawl of several transfers met, each
// reproduced as a user meets it: kelvane-cli's exit status, its summary and the files on disk.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "cli/cli_support.h"
#include "support/loopback_server.h"
#include "support/site_generator.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string PathOf(const std::string& request) {
  size_t start = request.find(' ') + 1;
  return request.substr(start, request.find(' ', start) - start);
}

bool Requested(const RawServer& server, const std::string& part) {
  for (const std::string& line : server.RequestLines()) {
    if (Contains(line, part))
      return true;
  }
  return false;
}

// A query keeps its "/" and ".." out of the local path: the crawl neither reads a file outside
// the save-to directory nor tells the server what such a file holds.
TEST(CrawlRoads, QueryNeverBecomesPathStructure) {
  TempDir root;
  fs::create_directories(root.Path() + "/outside");
  WriteFileBytes(root.Path() + "/outside/secret.css", "p { background: url(/leak.png) }");
  RawServer server([](int fd, const std::string& request) {
    const std::string path = PathOf(request);
    if (path == "/") {
      SendAll(fd, Answer(200, "<img src=\"/x?/a.gif\"><a href=\"second.htm\">2</a>",
                         "Content-Type: text/html\r\n"));
    } else if (path == "/second.htm") {
      SendAll(fd, Answer(200, "<link rel=stylesheet href=\"/x?/../../../outside/secret.css\">",
                         "Content-Type: text/html\r\n"));
    } else {
      SendAll(fd, Answer(200, "served " + path, "Content-Type: text/css\r\n"));
    }
  });
  for (const char* jobs : {"1", "4"}) {
    SCOPED_TRACE(jobs);
    const std::string saveTo = root.Path() + "/save" + jobs;
    ProcessResult run = Cli({"-p", "--jobs", jobs, "--save-to", saveTo, server.Url("/")});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_FALSE(Requested(server, "leak.png"));
    EXPECT_TRUE(Requested(server, "GET /x?/../../../outside/secret.css "));
    const std::string host = saveTo + "/127.0.0.1:" + std::to_string(server.Port());
    EXPECT_EQ(ReadFileBytes(host + "/x?%2Fa.gif"), "served /x?/a.gif");
    EXPECT_EQ(ReadFileBytes(host + "/x?%2F..%2F..%2F..%2Foutside%2Fsecret.css"),
              "served /x?/../../../outside/secret.css");
  }
  EXPECT_EQ(ReadFileBytes(root.Path() + "/outside/secret.css"), "p { background: url(/leak.png) }");
  // A start address whose query holds a "/" as well.
  const std::string saveTo = root.Path() + "/query";
  ProcessResult run = Cli({"-p", "--save-to", saveTo, server.Url("/d/p.php?x=a/b.c")});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(
      ReadFileBytes(saveTo + "/127.0.0.1:" + std::to_string(server.Port()) + "/d/p.php?x=a%2Fb.c"),
      "served /d/p.php?x=a/b.c");
}

// A size header that is not a number breaks nothing but its own file's framing: the file is read
// to the end of its answer and stored, at any number of jobs, with or without complete pages.
TEST(CrawlRoads, MalformedSizeHeaderIsNoFailedNetworkCall) {
  RawServer server([](int fd, const std::string& request) {
    const std::string path = PathOf(request);
    if (path == "/") {
      std::string page;
      for (const char* name : {"1.gif", "word.gif", "minus.gif", "3.gif", "4.gif"})
        page += std::string("<IMG SRC=\"") + name + "\">";
      SendAll(fd, Answer(200, page));
    } else if (path == "/word.gif") {
      SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: abc\r\nConnection: close\r\n\r\nword");
    } else if (path == "/minus.gif") {
      SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: -5\r\nConnection: close\r\n\r\nminus");
    } else {
      SendAll(fd, Answer(200, "GIF " + path));
    }
  });
  for (std::vector<std::string> options : {std::vector<std::string>{"--jobs", "1"},
                                           {"--jobs", "4"},
                                           {"-p", "--jobs", "1"},
                                           {"-p", "--jobs", "4"}}) {
    SCOPED_TRACE(options[0] + options.back());
    TempDir saveTo;
    options.insert(options.end(), {"--save-to", saveTo.Path(), server.Url("/")});
    ProcessResult run = Cli(options);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(Contains(run.err, ", 6 stored, ")) << run.err;
    const std::string host = saveTo.Path() + "/127.0.0.1:" + std::to_string(server.Port());
    EXPECT_EQ(ReadFileBytes(host + "/word.gif"), "word");
    EXPECT_EQ(ReadFileBytes(host + "/minus.gif"), "minus");
  }
}

// A transfer held back by the rate limit is paused on purpose, and a pause is no stall; files
// that come in one piece are held to the crawl's one budget as well.
TEST(CrawlRoads, RateLimitPausesAreNoStalls) {
  RawServer server([](int fd, const std::string& request) {
    const std::string path = PathOf(request);
    if (path == "/") {
      std::string page;
      for (int i = 0; i < 44; ++i)
        page += "<IMG SRC=\"" + std::to_string(i) + (i < 4 ? ".big" : ".small") + "\">\n";
      SendAll(fd, Answer(200, page));
    } else {
      SendAll(fd, Answer(200, std::string(path.ends_with(".big") ? 65536 : 4096, 'r')));
    }
  });
  for (const char* jobs : {"1", "4"}) {
    SCOPED_TRACE(jobs);
    TempDir saveTo;
    const auto began = Clock::now();
    ProcessResult run = Cli({"--jobs", jobs, "--limit-rate", "128k", "--stall-timeout", "0.5",
                             "--save-to", saveTo.Path(), server.Url("/")});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(Contains(run.err, ", 45 stored, 0 from earlier copies, 0 not saved, ")) << run.err;
    // 425,984 bytes of pictures at 131,072 a second, of which the big ones alone take 2 s.
    EXPECT_GE(Clock::now() - began, std::chrono::milliseconds(2800));
  }
}

// A turn with one server, under --wait, holds back no link to another.
TEST(CrawlRoads, WaitForOneServerHoldsBackNoOther) {
  Clock::time_point asked;
  RawServer other([&](int fd, const std::string&) {
    asked = Clock::now();
    SendAll(fd, Answer(200, "GIF"));
  });
  RawServer server([&](int fd, const std::string& request) {
    if (PathOf(request) == "/") {
      std::string page;
      for (int i = 0; i < 6; ++i)
        page += "<IMG SRC=\"" + std::to_string(i) + ".gif\">";
      // A link to another server that the link filters take: it holds the start's prefix.
      page += "<IMG SRC=\"" + other.Url("/b.gif?from=") + server.Url("") + "\">";
      SendAll(fd, Answer(200, page));
    } else {
      SendAll(fd, Answer(200, "GIF"));
    }
  });
  TempDir saveTo;
  const auto began = Clock::now();
  ProcessResult run =
      Cli({"--jobs", "2", "--wait", "0.5", "--save-to", saveTo.Path(), server.Url("/")});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_GE(Clock::now() - began, std::chrono::milliseconds(3000));  // seven turns with one server
  EXPECT_LT(asked - began, std::chrono::milliseconds(1500));
}

// A page built to make a parser slow is read in time that grows with its size alone, so Ctrl-C
// ends the crawl at once whatever page is being read.
TEST(CrawlRoads, HostileMarkupNeitherSlowsTheCrawlNorDelaysCtrlC) {
  std::string hostile;
  while (hostile.size() < 1700000)
    hostile += "<div></span>";
  RawServer server([&](int fd, const std::string&) {
    SendAll(fd, Answer(200, hostile, "Content-Type: text/html\r\n"));
  });
  TempDir saveTo;
  auto began = Clock::now();
  ProcessResult whole = Cli({"-p", "--save-to", saveTo.Path(), server.Url("/")});
  EXPECT_EQ(whole.exitCode, 0) << whole.err;
  EXPECT_LT(Clock::now() - began, std::chrono::seconds(10));

  TempDir again;
  Clock::time_point signalled;
  const size_t asked = server.Requests().size();
  ProcessResult stopped = RunProcess(
      {KELVANE_CLI_PATH, "-p", "--save-to", again.Path(), server.Url("/page.htm")}, [&](pid_t pid) {
        WaitUntil([&] { return server.Requests().size() > asked; });
        signalled = Clock::now();
        kill(pid, SIGINT);
      });
  EXPECT_LT(Clock::now() - signalled, std::chrono::seconds(2));
}

// A rerun reads an earlier copy as what it was when it was fetched, whatever its name says: a
// page stored as page.php is read for its links again.
TEST(CrawlRoads, RerunReadsEarlierPagesByTheirType) {
  RawServer server([](int fd, const std::string& request) {
    const std::string path = PathOf(request);
    const std::string html = "Content-Type: text/html; charset=utf-8\r\n";
    if (path == "/") {
      SendAll(fd, Answer(200, "<a href=\"page.php\">p</a>", html));
    } else if (path == "/page.php") {
      SendAll(fd, Answer(200, "<img src=\"only.gif\">", html));
    } else {
      SendAll(fd, Answer(200, "GIF", "Content-Type: image/gif\r\n"));
    }
  });
  for (const char* jobs : {"1", "4"}) {
    SCOPED_TRACE(jobs);
    TempDir saveTo;
    ProcessResult first = Cli({"-p", "--jobs", jobs, "--save-to", saveTo.Path(), server.Url("/")});
    EXPECT_EQ(first.exitCode, 0) << first.err;
    const std::string only =
        saveTo.Path() + "/127.0.0.1:" + std::to_string(server.Port()) + "/only.gif";
    ASSERT_TRUE(fs::exists(only));
    fs::remove(only);  // as a crawl killed before it came to the picture leaves the copy
    ProcessResult rerun = Cli({"-p", "--jobs", jobs, "--save-to", saveTo.Path(), server.Url("/")});
    EXPECT_EQ(rerun.exitCode, 0) << rerun.err;
    EXPECT_TRUE(Contains(rerun.err, ", 1 stored, 2 from earlier copies, ")) << rerun.err;
    EXPECT_TRUE(fs::exists(only));
  }
}

// With complete pages no other server is contacted, by a link or by a redirect, whatever the
// 3xx status that carries it and however many locations it names.
TEST(CrawlRoads, RedirectToAnotherServerIsNotFollowed) {
  RawServer elsewhere([](int fd, const std::string&) { SendAll(fd, Answer(200, "elsewhere")); });
  RawServer server([&](int fd, const std::string& request) {
    const std::string path = PathOf(request);
    const std::string away = "Location: " + elsewhere.Url("/away.gif") + "\r\n";
    if (path == "/") {
      std::string page = "<img src=\"here.gif\"><img src=\"near.gif\">";
      for (const char* name : {"moved", "300", "305", "399", "twice"})
        page += std::string("<img src=\"") + name + ".gif\">";
      SendAll(fd, Answer(200, page, "Content-Type: text/html\r\n"));
    } else if (path == "/moved.gif") {
      SendAll(fd, Answer(302, "", away));
    } else if (path == "/twice.gif") {
      SendAll(fd, Answer(302, "", away + "Location: /here.gif\r\n"));
    } else if (path.size() == 8 && path[1] == '3') {
      SendAll(fd, Answer(std::stoi(path.substr(1, 3)), "", away));
    } else if (path == "/near.gif") {
      SendAll(fd, Answer(302, "", "Location: /here.gif?again\r\n"));
    } else {
      SendAll(fd, Answer(200, "GIF"));
    }
  });
  for (const char* jobs : {"1", "4"}) {
    SCOPED_TRACE(jobs);
    TempDir saveTo;
    ProcessResult run = Cli({"-p", "--jobs", jobs, "--save-to", saveTo.Path(), server.Url("/")});
    EXPECT_EQ(run.exitCode, 8) << run.err;
    EXPECT_TRUE(Contains(run.err, ", 3 stored, 0 from earlier copies, 5 not saved, ")) << run.err;
    EXPECT_TRUE(elsewhere.RequestLines().empty());
    const std::string host = saveTo.Path() + "/127.0.0.1:" + std::to_string(server.Port());
    EXPECT_FALSE(fs::exists(host + "/moved.gif"));
    EXPECT_EQ(ReadFileBytes(host + "/near.gif"), "GIF");
  }
}

// A link far longer than any address a server takes is no request: the crawl goes on.
TEST(CrawlRoads, OverlongLinkIsLeftAlone) {
  const std::string page = "<img src=\"" + std::string(1100000, 'a') + ".gif\"><img src=\"b.gif\">";
  RawServer server([&](int fd, const std::string& request) {
    SendAll(fd, PathOf(request) == "/" ? Answer(200, page, "Content-Type: text/html\r\n")
                                       : Answer(200, "GIF"));
  });
  TempDir saveTo;
  ProcessResult run = Cli({"-p", "--save-to", saveTo.Path(), server.Url("/")});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_TRUE(Contains(run.err, ", 2 stored, ")) << run.err;
}

}  // namespace
