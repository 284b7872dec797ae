// kelvane-cli as a script would run it: exit status, messages, files.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "cli/cli_support.h"
#include "cli/command_line.h"
#include "support/loopback_server.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "support/test_authority.h"
#include "support/wait.h"

namespace {

namespace fs = std::filesystem;

TEST(Cli, VersionAndHelp) {
  ProcessResult version = Cli({"--version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.out, std::string("kelvane-cli ") + KELVANE_VERSION_TEXT + "\n");
  ProcessResult help = Cli({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_TRUE(Contains(help.out, "Usage: kelvane-cli [OPTIONS] URL"));
  ProcessResult bad = Cli({"--nonsense"});
  EXPECT_EQ(bad.exitCode, 2);
  EXPECT_EQ(bad.err,
            "kelvane-cli: unknown option --nonsense\nTry 'kelvane-cli --help' for more.\n");
}

// --help, the manual page, the help page and the bash completion all carry every option of the
// one table.
TEST(Cli, HelpManualPageAndCompletionFollowTheOptionTable) {
  const std::string page = ReadFileBytes(KELVANE_SOURCE_DIR "/help/console.htm");
  std::string manual = ReadFileBytes(KELVANE_SOURCE_DIR "/cli/kelvane-cli.1");
  std::string plain;
  for (size_t i = 0; i < manual.size(); ++i) {
    if (manual[i] == '\\' && i + 1 < manual.size() && manual[i + 1] == '-')
      continue;
    plain += manual[i];
  }
  const std::string help = Cli({"--help"}).out;
  const std::string completion = KELVANE_BINARY_DIR "/kelvane-cli.bash";
  auto complete = [&](const std::string& words) {
    return RunProcess({"/bin/bash", "-c",
                       "source '" + completion + "'; COMP_WORDS=(" + words +
                           "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _kelvane_cli; "
                           "printf '%s\\n' \"${COMPREPLY[@]}\""})
        .out;
  };
  const std::string offered = complete("kelvane-cli --");
  int options = 0;
  for (const CliOption& option : CliOptions()) {
    const std::string name(option.text->name), value(option.text->value), text(option.text->help);
    EXPECT_TRUE(Contains(help, "  " + name + (value.empty() ? "" : " " + value) + " ")) << name;
    EXPECT_TRUE(Contains(help, " " + text + "\n")) << text;
    EXPECT_TRUE(Contains(plain, name)) << name;
    EXPECT_TRUE(Contains(plain, "\n" + text + "\n")) << text;
    EXPECT_TRUE(Contains(page, "<dt>" + name + (value.empty() ? "" : " " + value))) << name;
    EXPECT_TRUE(Contains(page, "<dd>" + text + "</dd>")) << text;
    EXPECT_TRUE(Contains(offered, name + "\n")) << name;
    // wget's other names for it, wherever its own is.
    const std::string also(option.text->also);
    for (size_t start = 0; start < also.size();) {
      const size_t end = std::min(also.find(' ', start), also.size());
      const std::string other = also.substr(start, end - start);
      for (const std::string& where : {help, plain, page})
        EXPECT_TRUE(Contains(where, other)) << other;
      if (other.starts_with("--")) {  // what "--" completes to, one a line
        EXPECT_TRUE(Contains(offered, other + "\n")) << other;
        ++options;
      }
      start = end + 1;
    }
    ++options;
  }
  EXPECT_EQ(std::count(offered.begin(), offered.end(), '\n'), options);
  // The exit statuses in the same words, however the lines break.
  auto words = [](const std::string& text) {
    std::string joined;
    for (char c : text) {
      if (c == '\n' || c == ' ') {
        if (!joined.empty() && joined.back() != ' ')
          joined += ' ';
      } else {
        joined += c;
      }
    }
    return joined;
  };
  const std::string exits = help.substr(help.find("Exit status:"));
  EXPECT_TRUE(Contains(words(page), words(exits).substr(0, words(exits).size() - 1)))
      << words(exits);
  EXPECT_EQ(complete("kelvane-cli --ver"), "--verbose\n--version\n");
  EXPECT_EQ(complete("kelvane-cli --save-to " KELVANE_SOURCE_DIR "/cl"),
            KELVANE_SOURCE_DIR "/cli\n");
}

TEST(Cli, ExitStatusTellsHowTheCrawlEnded) {
  TempDir saveTo;
  RawServer server(SiteHandler({
      {"/ok/", "<IMG SRC=\"p.gif\">"},
      {"/ok/p.gif", "picture"},
      {"/errors/", "<IMG SRC=\"missing.gif\">"},
  }));
  int closedPort;
  {
    RawServer gone([](int, const std::string&) {});
    closedPort = gone.Port();
  }
  struct {
    std::string url;
    int exitCode;
    std::string message;
  } cases[] = {
      {server.Url("/ok/"), 0, " 0 queued, 2 read, 2 downloaded, 2 stored, "},
      {"", 1, "kelvane-cli: Can't connect to /\n"},
      {"http://127.0.0.1:" + std::to_string(closedPort) + "/", 4,
       "kelvane-cli: Transfert canceled\n"},
      {server.Url("/errors/"), 8, ", 1 stored, 0 from earlier copies, 1 not saved, "},
  };
  for (const auto& c : cases) {
    ProcessResult run = Cli({"--save-to", saveTo.Path(), "--stall-timeout", "2", c.url});
    EXPECT_EQ(run.exitCode, c.exitCode) << c.url << "\n" << run.err;
    EXPECT_TRUE(Contains(run.err, c.message)) << run.err;
    EXPECT_EQ(run.out, "");
  }
  const std::string host = saveTo.Path() + "/127.0.0.1:" + std::to_string(server.Port());
  EXPECT_EQ(ReadFileBytes(host + "/ok/p.gif"), "picture");
  EXPECT_FALSE(fs::exists(host + "/errors/missing.gif"));
}

TEST(Cli, VerboseLogStartsAfreshInTheSaveToDirectory) {
  TempDir saveTo;
  RawServer server(SiteHandler({{"/", "page"}}));
  WriteFileBytes(saveTo.Path() + "/Kelvane.log", "a previous run\n");
  ProcessResult run = Cli({"--verbose", "--quiet", "--save-to", saveTo.Path(), server.Url("/")});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.err, "");
  std::string log = ReadFileBytes(saveTo.Path() + "/Kelvane.log");
  EXPECT_FALSE(Contains(log, "a previous run"));
  EXPECT_TRUE(Contains(log, ": Push():" + server.Url("/") + "\n"));
  EXPECT_TRUE(Contains(log, ": Saving: " + saveTo.Path() +
                                "/127.0.0.1:" + std::to_string(server.Port()) + "/~index.htm\n"));
}

TEST(Cli, TerminationSignalStopsAStalledCrawl) {
  TempDir saveTo;
  RawServer server([](int fd, const std::string&) {
    SendAll(fd, "HTTP/1.0 200 OK\r\nContent-Length: 9000\r\n\r\n" + std::string(1500, 'x'));
    WaitForPeerClose(fd, 20000);
  });
  auto started = std::chrono::steady_clock::now();
  ProcessResult run =
      RunProcess({KELVANE_CLI_PATH, "--save-to", saveTo.Path(), server.Url("/")}, [&](pid_t pid) {
        WaitUntil([&] { return !server.Requests().empty(); });
        kill(pid, SIGTERM);
      });
  EXPECT_EQ(run.exitCode, 130) << run.err;
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_FALSE(Contains(run.err, "Transfert canceled"));  // asked for: not reported as a failure
}

// A body that never ends is cut at the 4 MiB area, or, read as the web is read, at the user's
// limit after going to disk as it came: the program does not grow past the area either way,
// and nothing of the body is left in the copy.
TEST(Cli, EndlessBodyKeepsMemoryBounded) {
#if defined(__SANITIZE_ADDRESS__)
  // Freed blocks the checker holds back would count as the program's own.
  const char* asan = std::getenv("ASAN_OPTIONS");
  setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + ":quarantine_size_mb=0").c_str(), 1);
#endif
  std::atomic<bool> endless{false};
  RawServer server([&](int fd, const std::string& request) {
    if (request.starts_with("GET / ")) {
      SendAll(fd, Answer(200, "<IMG SRC=\"big.gif\">"));
    } else if (!endless) {
      SendAll(fd, Answer(200, "GIF89a"));
    } else {
      SendAll(fd, "HTTP/1.0 200 OK\r\n\r\n");
      const std::string chunk(65536, 'n');
      for (int i = 0; i < 16384; ++i) {  // 1 GiB at most, until the client goes
        if (send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL) <= 0)
          break;
      }
    }
  });
  for (const std::vector<std::string>& options :
       {std::vector<std::string>{}, std::vector<std::string>{"-p", "--max-file-size", "48M"}}) {
    SCOPED_TRACE(options.empty() ? "one at a time" : "web rules");
    TempDir small, big;
    std::vector<std::string> args = options;
    args.insert(args.end(), {"--save-to", small.Path(), server.Url("/")});
    endless = false;
    ProcessResult baseline = Cli(args);
    args[args.size() - 2] = big.Path();
    endless = true;
    ProcessResult run = Cli(args);
    EXPECT_EQ(baseline.exitCode, 0) << baseline.err;
    EXPECT_EQ(run.exitCode, 8) << run.err;  // some answers not saved
    const std::string site = big.Path() + "/127.0.0.1:" + std::to_string(server.Port());
    EXPECT_FALSE(fs::exists(site + "/big.gif"));
    for (const auto& entry : fs::directory_iterator(big.Path()))
      EXPECT_TRUE(entry.is_directory()) << entry.path();  // no spooled body left at the root
    std::printf("peak memory: %ld KB for a small file, %ld KB for an endless body\n",
                baseline.peakMemoryKb, run.peakMemoryKb);
#if !defined(__SANITIZE_THREAD__)  // its shadow memory is several times what the program touches
    EXPECT_LE(run.peakMemoryKb, baseline.peakMemoryKb + 4096 + 4096)
        << "baseline " << baseline.peakMemoryKb << " KB";
#endif
  }
}

// A TLS server on 127.0.0.1 whose certificate is signed by an authority this test makes.
class TlsSite {
 public:
  TlsSite() {
    if (!m_authority.Ready())
      return;
    m_server = std::make_unique<httplib::SSLServer>(m_authority.Certificate().c_str(),
                                                    m_authority.Key().c_str());
    m_server->Get("/", [](const httplib::Request&, httplib::Response& response) {
      response.set_content("<IMG SRC=\"secure.gif\">", "text/html");
    });
    m_server->Get("/secure.gif", [](const httplib::Request&, httplib::Response& response) {
      response.set_content("encrypted picture", "image/gif");
    });
    m_port = m_server->bind_to_any_port("127.0.0.1");
    m_thread = std::thread([this] { m_server->listen_after_bind(); });
  }
  ~TlsSite() {
    if (m_server)
      m_server->stop();
    if (m_thread.joinable())
      m_thread.join();
  }
  bool Ready() const { return m_authority.Ready() && m_port > 0; }
  std::string Url() const { return "https://127.0.0.1:" + std::to_string(m_port) + "/"; }
  std::string Authority() const { return m_authority.Authority(); }
  int Port() const { return m_port; }

 private:
  TestAuthority m_authority;
  std::unique_ptr<httplib::SSLServer> m_server;
  int m_port = 0;
  std::thread m_thread;
};

// The server offers HTTP/1.1 only: several jobs, which would take HTTP/2, use it as one job does.
TEST(Cli, HttpsCrawlWithATrustedAuthority) {
  TlsSite site;
  ASSERT_TRUE(site.Ready());
  for (const char* jobs : {"1", "4"}) {
    SCOPED_TRACE(jobs);
    TempDir saveTo;
    ProcessResult run = Cli({"--jobs", jobs, "--save-to", saveTo.Path(), "--ca-certificate",
                             site.Authority(), site.Url()});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const std::string host = saveTo.Path() + "/127.0.0.1:" + std::to_string(site.Port());
    EXPECT_EQ(ReadFileBytes(host + "/secure.gif"), "encrypted picture");
    EXPECT_EQ(ReadFileBytes(host + "/~index.htm"), "<IMG SRC=\"secure.gif\">");
  }

  TempDir untrusted;
  ProcessResult refused = Cli({"--save-to", untrusted.Path(), site.Url()});
  EXPECT_EQ(refused.exitCode, 4) << refused.err;
  EXPECT_TRUE(Contains(refused.err, "Transfert canceled"));
  EXPECT_FALSE(fs::exists(untrusted.Path() + "/127.0.0.1:" + std::to_string(site.Port())));
}

// The summary and the exit status come from what became of each file: a rerun reads its earlier
// copies, a start page that answers 404 is reported once and its bytes counted once, files that
// cannot be written make the status 8, and a broken transfer (4) outranks them.
TEST(Cli, SummaryAndStatusFollowWhatBecameOfEachFile) {
  RawServer server([](int fd, const std::string& request) {
    if (request.starts_with("GET /site/ ")) {
      SendAll(fd, Answer(200, "<IMG SRC=\"a.gif\">"));
    } else if (request.starts_with("GET /site/a.gif ")) {
      SendAll(fd, Answer(200, "GIF"));
    } else if (request.starts_with("GET /mixed/ ")) {
      SendAll(fd, Answer(200, "<IMG SRC=\"missing.gif\"><IMG SRC=\"cut.gif\">"));
    } else if (request.starts_with("GET /many/ ")) {
      std::string page;
      for (int i = 0; i < 22; ++i)
        page += "<IMG SRC=\"" + std::to_string(i) + ".gif\">";
      SendAll(fd, Answer(200, page));
    } else if (request.starts_with("GET /mixed/cut.gif ")) {
      SendAll(fd, "HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\nonly part");
    } else {
      SendAll(fd, Answer(404, "no such page"));
    }
  });
  TempDir saveTo;
  ProcessResult first = Cli({"--save-to", saveTo.Path(), server.Url("/site/")});
  EXPECT_EQ(first.exitCode, 0) << first.err;
  EXPECT_TRUE(Contains(first.err, ", 2 stored, 0 from earlier copies, 0 not saved, 20 bytes "))
      << first.err;
  ProcessResult again = Cli({"--save-to", saveTo.Path(), server.Url("/site/")});
  EXPECT_TRUE(Contains(again.err, ", 0 stored, 2 from earlier copies, 0 not saved, 0 bytes "))
      << again.err;

  ProcessResult missing = Cli({"--verbose", "--save-to", saveTo.Path(), server.Url("/gone/")});
  EXPECT_EQ(missing.exitCode, 8) << missing.err;
  EXPECT_TRUE(Contains(missing.err, ", 0 stored, 0 from earlier copies, 1 not saved, 12 bytes "))
      << missing.err;
  std::string log = ReadFileBytes(saveTo.Path() + "/Kelvane.log");
  size_t first404 = log.find("Not saved (HTTP 404): " + server.Url("/gone/"));
  ASSERT_NE(first404, std::string::npos) << log;
  EXPECT_EQ(log.find("Not saved (HTTP 404)", first404 + 1), std::string::npos) << log;
  EXPECT_TRUE(
      Contains(missing.err, "kelvane-cli: not saved: " + server.Url("/gone/") + " (HTTP 404)\n"))
      << missing.err;
  // Twenty are named; the rest are said to be in the log.
  ProcessResult many = Cli({"-p", "--save-to", saveTo.Path(), server.Url("/many/")});
  EXPECT_EQ(Count(many.err, "kelvane-cli: not saved: "), 20u) << many.err;
  EXPECT_TRUE(Contains(many.err, "kelvane-cli: and 2 more (Kelvane.log with --verbose)\n"));

  ProcessResult mixed = Cli({"--save-to", saveTo.Path(), server.Url("/mixed/")});
  EXPECT_EQ(mixed.exitCode, 4) << mixed.err;

  // A file where a directory must go: nothing of the site can be written.
  TempDir blocked;
  WriteFileBytes(blocked.Path() + "/127.0.0.1:" + std::to_string(server.Port()), "in the way");
  ProcessResult unwritable = Cli({"--save-to", blocked.Path(), server.Url("/site/")});
  EXPECT_EQ(unwritable.exitCode, 8) << unwritable.err;
  EXPECT_TRUE(Contains(unwritable.err, ", 0 stored, 0 from earlier copies, 2 not saved, "))
      << unwritable.err;
}

// A full disk: what fits is stored whole, the rest is reported, the disk named as the reason,
// and the status says so. Read as the web is read, the crawl ends at the first file refused.
TEST(Cli, FullDiskIsNoSuccess) {
  std::string page;
  for (int i = 0; i < 8; ++i)
    page += "<IMG SRC=\"p" + std::to_string(i) + ".gif\">";
  RawServer server([&](int fd, const std::string& request) {
    SendAll(fd, Answer(200, request.starts_with("GET / ") ? page : std::string(60000, 'p')));
  });
  for (const bool webRules : {false, true}) {
    TempDir saveTo;
    if (std::system(("mount -t tmpfs -o size=200k kelvane-test '" + saveTo.Path() + "' 2>/dev/null")
                        .c_str()) != 0)
      GTEST_SKIP() << "no tmpfs can be mounted here";
    std::vector<std::string> args = {"--save-to", saveTo.Path(), server.Url("/")};
    if (webRules)
      args.insert(args.begin(), "-pk");
    const ProcessResult run = Cli(args);
    const std::string host = saveTo.Path() + "/127.0.0.1:" + std::to_string(server.Port());
    int stored = 0;
    for (int i = 0; i < 8; ++i) {
      std::error_code error;
      auto size = fs::file_size(host + "/p" + std::to_string(i) + ".gif", error);
      if (!error) {
        EXPECT_EQ(size, 60000u);
        ++stored;
      }
    }
    // Converted, the page leads to the server for each picture not stored.
    const std::string converted = ReadFileBytes(host + "/~index.htm");
    std::system(("umount '" + saveTo.Path() + "'").c_str());
    EXPECT_EQ(run.exitCode, webRules ? 3 : 8) << run.err;  // wget's status, with its rules
    EXPECT_LT(stored, 8);
    EXPECT_TRUE(!webRules || Count(converted, server.Url("/p")) == 8u - stored) << converted;
    EXPECT_EQ(Count(run.err, "cannot write in " + host + ": No space left on device\n"), 1u)
        << run.err;
    EXPECT_TRUE(Contains(run.err, ", " + std::to_string(stored + 1) + " stored, ")) << run.err;
    if (!webRules) {
      EXPECT_TRUE(Contains(run.err, ", " + std::to_string(8 - stored) + " not saved, ")) << run.err;
    }
  }
}

// --save-to as a shell user types it: relative, with "." and "..", a trailing "/", not there yet.
TEST(Cli, SaveToTakesAnyTypedPath) {
  RawServer server(SiteHandler({{"/docs/", "<IMG SRC=\"p.gif\">"}, {"/docs/p.gif", "picture"}}));
  TempDir home;
  fs::create_directories(home.Path() + "/work");
  ProcessResult run =
      RunProcess({"/bin/sh", "-c",
                  "cd '" + home.Path() + "/work' && exec '" + KELVANE_CLI_PATH +
                      "' --verbose --save-to ./../sites/./new/ " + server.Url("/docs/")});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  const std::string sites = home.Path() + "/sites/new";
  const std::string host = sites + "/127.0.0.1:" + std::to_string(server.Port());
  EXPECT_EQ(ReadFileBytes(host + "/docs/p.gif"), "picture");
  EXPECT_TRUE(Contains(ReadFileBytes(sites + "/Kelvane.log"), ": Saving: " + host + "/docs/p.gif"));

  // A typed start address that climbs out of the save-to directory is still refused.
  RawServer anything([](int fd, const std::string&) { SendAll(fd, Answer(200, "page")); });
  const std::string climbing = anything.Url("/a/../../../../docs/");
  ProcessResult refused = Cli({"--verbose", "--save-to", sites, climbing});
  EXPECT_EQ(refused.exitCode, 8) << refused.err;
  EXPECT_TRUE(Contains(ReadFileBytes(sites + "/Kelvane.log"),
                       ": Not saved (outside the save-to directory): "));
  EXPECT_FALSE(fs::exists(home.Path() + "/docs"));
}

// Through a proxy that tunnels with CONNECT, an https crawl goes as it does without one: the
// proxy's own answer is never taken for the server's size header or status.
TEST(Cli, HttpsThroughAConnectProxy) {
  TlsSite site;
  ASSERT_TRUE(site.Ready());
  RawServer proxy([&](int client, const std::string& request) {
    if (!request.starts_with("CONNECT 127.0.0.1:" + std::to_string(site.Port()) + " "))
      return SendAll(client, "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n");
    int server = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(site.Port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      close(server);
      return SendAll(client, "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n");
    }
    SendAll(client, "HTTP/1.1 200 Connection established\r\n\r\n");
    pollfd ends[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
    char buffer[16384];
    for (bool open = true; open && poll(ends, 2, 10000) > 0;) {
      for (int i = 0; i < 2 && open; ++i) {
        if (ends[i].revents == 0)
          continue;
        ssize_t n = recv(ends[i].fd, buffer, sizeof buffer, 0);
        open = n > 0 && send(ends[1 - i].fd, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) == n;
      }
    }
    close(server);
  });
  TempDir saveTo;
  const std::string proxyUrl = "https_proxy=http://127.0.0.1:" + std::to_string(proxy.Port());
  ProcessResult run = RunProcess({"/usr/bin/env", "-u", "no_proxy", "-u", "NO_PROXY", proxyUrl,
                                  KELVANE_CLI_PATH, "--verbose", "--save-to", saveTo.Path(),
                                  "--ca-certificate", site.Authority(), site.Url()});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  ASSERT_FALSE(proxy.Requests().empty());
  EXPECT_TRUE(proxy.Requests().front().starts_with("CONNECT ")) << proxy.Requests().front();
  const std::string host = saveTo.Path() + "/127.0.0.1:" + std::to_string(site.Port());
  EXPECT_EQ(ReadFileBytes(host + "/secure.gif"), "encrypted picture");
  std::string log = ReadFileBytes(saveTo.Path() + "/Kelvane.log");
  EXPECT_TRUE(Contains(log, ": File size info = 17\n")) << log;
  EXPECT_FALSE(Contains(log, "Unknown File size")) << log;
}

}  // namespace
