// kelvane-cli as a script would run it: exit status, messages, files.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "support/loopback_server.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

ProcessResult Cli(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), KELVANE_CLI_PATH);
  return RunProcess(arguments);
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

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

// The manual page carries every option and description line that --help prints.
TEST(Cli, ManualPageSaysWhatHelpSays) {
  std::string manual = ReadFileBytes(KELVANE_SOURCE_DIR "/cli/kelvane-cli.1");
  std::string plain;
  for (size_t i = 0; i < manual.size(); ++i) {
    if (manual[i] == '\\' && i + 1 < manual.size() && manual[i + 1] == '-')
      continue;
    plain += manual[i];
  }
  ProcessResult help = Cli({"--help"});
  size_t start = 0;
  int checked = 0;
  for (size_t end; (end = help.out.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = help.out.substr(start, end - start);
    if (!line.starts_with("  --"))
      continue;
    std::string option = line.substr(2, line.find(' ', 2) - 2);
    std::string text = line.substr(line.find_first_not_of(' ', line.find("  ", 2)));
    EXPECT_TRUE(Contains(plain, option)) << option;
    EXPECT_TRUE(Contains(plain, "\n" + text + "\n")) << text;
    ++checked;
  }
  EXPECT_EQ(checked, 8);
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
      {server.Url("/ok/"), 0, " 0 queued, 2 read, 2 downloaded, "},
      {"", 1, "kelvane-cli: Can't connect to /\n"},
      {"http://127.0.0.1:" + std::to_string(closedPort) + "/", 4,
       "kelvane-cli: Transfert canceled\n"},
      {server.Url("/errors/"), 8, ""},
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
      RunProcess({KELVANE_CLI_PATH, "--save-to", saveTo.Path(), server.Url("/")}, [](pid_t pid) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        kill(pid, SIGTERM);
      });
  EXPECT_EQ(run.exitCode, 130) << run.err;
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_FALSE(Contains(run.err, "Transfert canceled"));  // asked for: not reported as a failure
}

// A body that never ends is cut at the 4 MiB area: the program does not grow past it.
TEST(Cli, EndlessBodyKeepsMemoryBounded) {
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
  TempDir small, big;
  ProcessResult baseline = Cli({"--save-to", small.Path(), server.Url("/")});
  endless = true;
  ProcessResult run = Cli({"--save-to", big.Path(), server.Url("/")});
  EXPECT_EQ(baseline.exitCode, 0) << baseline.err;
  EXPECT_EQ(run.exitCode, 8) << run.err;  // some answers not saved
  EXPECT_FALSE(fs::exists(big.Path() + "/127.0.0.1:" + std::to_string(server.Port()) + "/big.gif"));
  std::printf("peak memory: %ld KB for a small file, %ld KB for an endless body\n",
              baseline.peakMemoryKb, run.peakMemoryKb);
#if !defined(__SANITIZE_THREAD__)  // its shadow memory is several times what the program touches
  EXPECT_LE(run.peakMemoryKb, baseline.peakMemoryKb + 4096 + 4096)
      << "baseline " << baseline.peakMemoryKb << " KB";
#endif
}

// A TLS server on 127.0.0.1 whose certificate is signed by an authority this test makes.
class TlsSite {
 public:
  TlsSite() {
    const std::string d = m_dir.Path();
    const std::string script =
        "cd '" + d +
        "' && "
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
        "-keyout ca.key -out ca.pem -subj '/CN=Kelvane Test CA' 2>/dev/null && "
        "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
        "-keyout server.key -out server.csr -subj '/CN=127.0.0.1' 2>/dev/null && "
        "printf 'subjectAltName=IP:127.0.0.1\\n' > ext && "
        "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 "
        "-extfile ext -out server.pem 2>/dev/null";
    m_ready = std::system(script.c_str()) == 0;
    if (!m_ready)
      return;
    m_server = std::make_unique<httplib::SSLServer>((d + "/server.pem").c_str(),
                                                    (d + "/server.key").c_str());
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
  bool Ready() const { return m_ready && m_port > 0; }
  std::string Url() const { return "https://127.0.0.1:" + std::to_string(m_port) + "/"; }
  std::string Authority() const { return m_dir.Path() + "/ca.pem"; }
  int Port() const { return m_port; }

 private:
  TempDir m_dir;
  bool m_ready = false;
  std::unique_ptr<httplib::SSLServer> m_server;
  int m_port = 0;
  std::thread m_thread;
};

TEST(Cli, HttpsCrawlWithATrustedAuthority) {
  TlsSite site;
  ASSERT_TRUE(site.Ready());
  TempDir saveTo;
  ProcessResult run =
      Cli({"--save-to", saveTo.Path(), "--ca-certificate", site.Authority(), site.Url()});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  const std::string host = saveTo.Path() + "/127.0.0.1:" + std::to_string(site.Port());
  EXPECT_EQ(ReadFileBytes(host + "/secure.gif"), "encrypted picture");
  EXPECT_EQ(ReadFileBytes(host + "/~index.htm"), "<IMG SRC=\"secure.gif\">");

  TempDir untrusted;
  ProcessResult refused = Cli({"--save-to", untrusted.Path(), site.Url()});
  EXPECT_EQ(refused.exitCode, 4) << refused.err;
  EXPECT_TRUE(Contains(refused.err, "Transfert canceled"));
  EXPECT_FALSE(fs::exists(untrusted.Path() + "/127.0.0.1:" + std::to_string(site.Port())));
}

}  // namespace
