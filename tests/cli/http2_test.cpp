// kelvane-cli --jobs N against servers that offer HTTP/2 over TLS and compress their answers:
// the copy is the one of one job over plain HTTP, byte for byte; what cannot be whole is not
// saved.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <thread>

#include "cli/cli_support.h"
#include "support/compress.h"
#include "support/loopback_server.h"
#include "support/nginx_server.h"
#include "support/site_generator.h"
#include "support/temp_dir.h"
#include "support/test_authority.h"
#include "support/wait.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

long long BytesReceived(const std::string& summary) {
  std::smatch found;
  return std::regex_search(summary, found, std::regex(" (\\d+) bytes received"))
             ? std::stoll(found[1])
             : -1;
}

size_t TotalSize(const Tree& tree) {
  size_t total = 0;
  for (const auto& [path, bytes] : tree)
    total += bytes.size();
  return total;
}

// A TLS server with HTTP/2 and gzip on, serving a directory.
struct SecureSite {
  explicit SecureSite(const std::string& root)
      : server(root, {authority.Certificate(), authority.Key(), true, true, ""}) {}
  bool Ready() const { return authority.Ready() && server.Running(); }
  std::string Host(const std::string& saveTo) const {
    return saveTo + "/127.0.0.1:" + std::to_string(server.Port());
  }

  TestAuthority authority;
  NginxServer server;
};

TEST(Http2, MultiplexedCompressedCopyIsTheCopyOfOneJob) {
  ASSERT_TRUE(NginxServer::Available()) << "nginx is not installed";
  TempDir served;
  Tree site = GenerateSite(60, 20261208);
  site["d00/style.css"] = std::string(20000, 'c');  // compressible, and not a page
  site["d00/p0.htm"] += "<A HREF=\"style.css\">style</A>";
  WriteTree(served.Path(), site);
  NginxServer plain(served.Path());
  SecureSite secure(served.Path());
  ASSERT_TRUE(plain.Running() && secure.Ready());

  TempDir one, many;
  ProcessResult single = Cli({"--save-to", one.Path(), plain.Url("/")});
  ProcessResult multiplexed = Cli({"--jobs", "8", "--ca-certificate", secure.authority.Authority(),
                                   "--save-to", many.Path(), secure.server.Url("/")});
  ASSERT_EQ(single.exitCode, 0) << single.err;
  ASSERT_EQ(multiplexed.exitCode, 0) << multiplexed.err;
  const Tree copy = ReadTree(secure.Host(many.Path()));
  EXPECT_TRUE(copy == ReadTree(one.Path() + "/127.0.0.1:" + std::to_string(plain.Port())));
  EXPECT_EQ(copy.at("d00/style.css"), site.at("d00/style.css"));
  EXPECT_EQ(copy.at("~index.htm"), site.at("index.html"));

  // Every request but the reachability test (one job's request, as ever) went as a stream of
  // HTTP/2, and the pages and the stylesheet came compressed; what crossed the wire is what the
  // summary counts.
  const std::string requests = ReadFileBytes(secure.server.AccessLog());
  EXPECT_TRUE(requests.starts_with("HTTP/1.0 200 - /\n")) << requests;
  EXPECT_EQ(Count(requests, "HTTP/2.0 200 "), Count(requests, "\n") - 1) << requests;
  EXPECT_GE(Count(requests, " gzip /"), 60u) << requests;
  EXPECT_TRUE(Contains(requests, "HTTP/2.0 200 gzip /d00/style.css\n")) << requests;
  const long long received = BytesReceived(multiplexed.err);
  EXPECT_GT(received, 0) << multiplexed.err;
  EXPECT_LT(received, static_cast<long long>(TotalSize(copy))) << multiplexed.err;
  EXPECT_GE(BytesReceived(single.err), static_cast<long long>(TotalSize(copy))) << single.err;
}

// With -p and no --jobs, a server that offers HTTP/2 is asked over one connection, every file
// a stream of it; one that closes its connection after so many requests sees a few new ones,
// not one for each stream that was under way.
TEST(Http2, DefaultJobsTakeOneConnection) {
  ASSERT_TRUE(NginxServer::Available()) << "nginx is not installed";
  TempDir served;
  WriteTree(served.Path(), GenerateSite(40, 20261209));
  TestAuthority authority;
  ASSERT_TRUE(authority.Ready());
  const struct {
    std::string directives;
    size_t connections;  // at most
  } rows[] = {{"", 1}, {"  keepalive_requests 30;\n", 1 + 6 + 6}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.directives);
    TempDir logs, saveTo;
    NginxServer server(served.Path(), {authority.Certificate(), authority.Key(), true, true,
                                       row.directives +
                                           "  log_format conns '$connection $server_protocol';\n"
                                           "  access_log " +
                                           logs.Path() + "/conns.log conns;\n"});
    ASSERT_TRUE(server.Running());
    ProcessResult run = Cli({"-p", "--ca-certificate", authority.Authority(), "--save-to",
                             saveTo.Path(), server.Url("/")});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::string lines = ReadFileBytes(logs.Path() + "/conns.log");
    EXPECT_GT(Count(lines, "\n"), 40u) << lines;
    EXPECT_EQ(Count(lines, " HTTP/2.0\n"), Count(lines, "\n")) << lines;
    std::set<std::string> connections;
    for (size_t at = 0; at < lines.size(); at = lines.find('\n', at) + 1)
      connections.insert(lines.substr(at, lines.find(' ', at) - at));
    EXPECT_LE(connections.size(), row.connections) << lines;
  }
}

// Bodies far larger than a file's area, eight streams at once, one of them a page that arrives
// compressed: memory stays within the eight areas and a margin, and each is "too large".
TEST(Http2, HugeBodiesOverStreamsKeepMemoryBounded) {
  ASSERT_TRUE(NginxServer::Available()) << "nginx is not installed";
  TempDir small, huge;
  std::string page;
  for (int i = 1; i <= 8; ++i) {
    const std::string name = std::to_string(i) + (i == 8 ? ".txt" : ".gif");
    page += "<IMG SRC=\"" + name + "\">";
    WriteFileBytes(small.Path() + "/" + name, "GIF89a");
    WriteFileBytes(huge.Path() + "/" + name, "");
    fs::resize_file(huge.Path() + "/" + name, 512ll << 20);  // sparse: zeros, no disk
  }
  WriteFileBytes(small.Path() + "/index.html", page);
  WriteFileBytes(huge.Path() + "/index.html", page);
  SecureSite smallSite(small.Path()), hugeSite(huge.Path());
  ASSERT_TRUE(smallSite.Ready() && hugeSite.Ready());
  TempDir a, b;
  ProcessResult baseline = Cli({"--jobs", "8", "--ca-certificate", smallSite.authority.Authority(),
                                "--save-to", a.Path(), smallSite.server.Url("/")});
  ProcessResult run = Cli({"--jobs", "8", "--ca-certificate", hugeSite.authority.Authority(),
                           "--save-to", b.Path(), hugeSite.server.Url("/")});
  EXPECT_EQ(baseline.exitCode, 0) << baseline.err;
  EXPECT_EQ(run.exitCode, 8) << run.err;
  EXPECT_TRUE(Contains(run.err, ", 1 stored, 0 from earlier copies, 8 not saved, ")) << run.err;
  EXPECT_TRUE(Contains(ReadFileBytes(hugeSite.server.AccessLog()), " gzip /8.txt\n"));
  std::printf("peak memory with 8 streams: %ld KB for small files, %ld KB for huge bodies\n",
              baseline.peakMemoryKb, run.peakMemoryKb);
#if !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
  EXPECT_LE(run.peakMemoryKb, baseline.peakMemoryKb + 8 * 4096 + 16384);
#endif
}

// --wait spaces the starts of streams to a server as of connections. --limit-rate holds over
// TLS too; there each transfer keeps a connection of its own, where a pause holds the server back.
TEST(Http2, WaitAndRateLimitHoldOverTls) {
  ASSERT_TRUE(NginxServer::Available()) << "nginx is not installed";
  TempDir served;
  std::string page;
  for (int i = 1; i <= 4; ++i) {
    page += "<IMG SRC=\"" + std::to_string(i) + ".gif\">";
    WriteFileBytes(served.Path() + "/" + std::to_string(i) + ".gif", std::string(60000, 'g'));
  }
  WriteFileBytes(served.Path() + "/index.html", page);
  SecureSite site(served.Path());
  ASSERT_TRUE(site.Ready());
  for (const std::vector<std::string>& limit :
       {std::vector<std::string>{"--wait", "0.3"}, {"--limit-rate", "120k"}}) {
    SCOPED_TRACE(limit[0]);
    TempDir saveTo;
    std::vector<std::string> arguments = {
        "--jobs", "4", "--ca-certificate", site.authority.Authority(), "--save-to", saveTo.Path()};
    arguments.insert(arguments.end(), limit.begin(), limit.end());
    arguments.push_back(site.server.Url("/"));
    const size_t logged = ReadFileBytes(site.server.AccessLog()).size();
    const Clock::time_point started = Clock::now();
    ProcessResult run = Cli(arguments);
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(ReadTree(site.Host(saveTo.Path())).size(), 5u);
    // Six requests 0.3 s apart; 240 KB at 120 KB a second.
    EXPECT_GE(seconds, 1.45) << run.err;
    // The server writes a request's line once it has answered it: the last may come after the
    // crawl has ended.
    const char* const answered = limit[0] == "--wait" ? "HTTP/2.0 200 " : "HTTP/1.1 200 ";
    std::string requests;
    WaitUntil([&] {
      requests = ReadFileBytes(site.server.AccessLog()).substr(logged);
      return Count(requests, answered) >= 5;
    });
    EXPECT_EQ(Count(requests, answered), 5u) << requests;
  }
}

// A server that ends connections after two requests (GOAWAY over HTTP/2): the streams it
// refuses are asked for again, and every file is still its own, byte for byte, run after run.
TEST(Http2, ConnectionsEndedByTheServerMixNoFiles) {
  ASSERT_TRUE(NginxServer::Available()) << "nginx is not installed";
  TempDir served;
  std::string page;
  std::mt19937 random(40);
  for (int i = 0; i < 40; ++i) {
    const std::string name = "f" + std::to_string(i) + ".txt";
    page += "<A HREF=\"" + name + "\">" + name + "</A>\n";
    std::string text(i % 3 == 0 ? 5000 : i % 3 == 1 ? 60000 : 300000, ' ');
    for (char& c : text)
      c = "abcdefgh \n"[random() % 10];  // compresses, and no two files alike
    WriteFileBytes(served.Path() + "/" + name, text);
  }
  WriteFileBytes(served.Path() + "/index.html", page);
  TestAuthority authority;
  NginxServer server(served.Path(), {authority.Certificate(), authority.Key(), true, true,
                                     "  keepalive_requests 2;\n"});
  ASSERT_TRUE(authority.Ready() && server.Running());
  Tree expected = ReadTree(served.Path());
  expected["~index.htm"] = expected["index.html"];
  expected.erase("index.html");
  for (int run = 0; run < 8; ++run) {
    TempDir saveTo;
    ProcessResult copy = Cli({"--jobs", "8", "--ca-certificate", authority.Authority(), "--save-to",
                              saveTo.Path(), server.Url("/")});
    EXPECT_EQ(copy.exitCode, 0) << copy.err;
    const Tree copied = ReadTree(saveTo.Path() + "/127.0.0.1:" + std::to_string(server.Port()));
    EXPECT_EQ(copied.size(), expected.size()) << "run " << run;
    for (const auto& [path, bytes] : expected) {
      auto found = copied.find(path);
      EXPECT_TRUE(found != copied.end() && found->second == bytes) << path << ", run " << run;
    }
  }
}

// What a server may send as a compressed answer, asked or not. Several jobs ask for compressed
// answers and one job does not; either way nothing is stored that is not the whole resource as
// it was sent or decoded.
TEST(Compressed, AnswersAreWholeOrNotSaved) {
  std::string text;
  for (int i = 0; i < 4000; ++i)
    text += "line " + std::to_string(i * 7919 % 10007) + "\n";  // compresses to about 10 KB
  const std::string gz = Gzip(text);
  const std::string bomb = Gzip(std::string(50 << 20, '\0'));
  struct Route {
    std::string path;
    std::string headers;
    std::string body;
    std::optional<std::string> stored;  // at several jobs; none: not saved
  };
  const std::vector<Route> routes = {
      {"/plain.txt", "Content-Encoding: gzip\r\n", gz, text},
      {"/lines.txt", "Content-Encoding: gzip\r\nContent-Encoding: identity\r\n", gz, text},
      {"/listed.txt", "Content-Encoding: identity, gzip\r\n", gz, text},
      {"/odd.txt", "Content-Encoding: x-foo\r\n", "as sent", "as sent"},
      {"/a.tar.gz", "Content-Encoding: gzip\r\n", gz, gz},
      {"/short.txt", "Content-Encoding: gzip\r\n", gz.substr(0, gz.size() - 100), std::nullopt},
      {"/corrupt.txt", "Content-Encoding: gzip\r\n", "not gzip at all", std::nullopt},
      {"/bomb.txt", "Content-Encoding: gzip\r\n", bomb, std::nullopt},
  };
  std::string page;
  for (const Route& route : routes)
    page += "<A HREF=\"" + route.path.substr(1) + "\">x</A>";
  RawServer server([&](int fd, const std::string& request) {
    for (const Route& route : routes) {
      if (request.starts_with("GET " + route.path + " ")) {
        SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n" + route.headers +
                        "Content-Length: " + std::to_string(route.body.size()) + "\r\n\r\n" +
                        route.body);
        return;
      }
    }
    SendAll(fd, Answer(200, page));
  });
  const std::string host = "/127.0.0.1:" + std::to_string(server.Port());
  TempDir one, four;
  ProcessResult single = Cli({"--save-to", one.Path(), server.Url("/")});
  const size_t asked = server.Requests().size();
  ProcessResult several = Cli({"--jobs", "4", "--save-to", four.Path(), server.Url("/")});
  const std::vector<std::string> requests = server.Requests();
  for (size_t i = 0; i < requests.size(); ++i) {
    EXPECT_EQ(Contains(requests[i], "\r\nAccept-Encoding: gzip, br, zstd\r\n"),
              i >= asked + 1)  // the reachability test is one job's request
        << requests[i];
  }
  EXPECT_EQ(single.exitCode, 0) << single.err;  // one job stores what was sent
  EXPECT_EQ(ReadFileBytes(one.Path() + host + "/short.txt"), gz.substr(0, gz.size() - 100));
  EXPECT_EQ(several.exitCode, 4) << several.err;
  for (const Route& route : routes) {
    SCOPED_TRACE(route.path);
    const std::string path = four.Path() + host + route.path;
    EXPECT_EQ(fs::exists(path), route.stored.has_value());
    if (route.stored) {
      EXPECT_TRUE(ReadFileBytes(path) == *route.stored);
    }
  }
  EXPECT_TRUE(Contains(several.err, ", 6 stored, 0 from earlier copies, 3 not saved, "))
      << several.err;
  // The bomb counts what crossed the wire, not the 4 MiB it was refused at.
  EXPECT_LT(BytesReceived(several.err), 1 << 20) << several.err;
}

// A server lost over https leaves the same host's http alone: they are two servers to reach.
TEST(ServerLost, HttpsLostLeavesHttpAlone) {
  std::atomic<int> port{0};
  RawServer server([&](int fd, const std::string& request) {
    const std::string start = "http://127.0.0.1:" + std::to_string(port) + "/";
    if (request.starts_with("GET / ")) {
      // Only links that hold the start address are followed: this one leads to https on the
      // same port, where no TLS server answers.
      SendAll(fd, Answer(200, "<A HREF=\"https://127.0.0.1:" + std::to_string(port) + "/s?" +
                                  start + "\">s</A><A HREF=\"a.htm\">a</A>"));
    } else if (request.starts_with("GET /a.htm ")) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // once https is lost
      SendAll(fd, Answer(200, "<IMG SRC=\"1.gif\"><IMG SRC=\"2.gif\">"));
    } else {
      SendAll(fd, Answer(200, "GIF89a"));
    }
  });
  port = server.Port();
  TestAuthority authority;  // a machine may have no authorities of its own to load
  ASSERT_TRUE(authority.Ready());
  TempDir saveTo;
  ProcessResult run =
      Cli({"--jobs", "4", "--connect-timeout", "1", "--ca-certificate", authority.Authority(),
           "--verbose", "--save-to", saveTo.Path(), server.Url("/")});
  EXPECT_EQ(run.exitCode, 4) << run.err;
  const std::string host = saveTo.Path() + "/127.0.0.1:" + std::to_string(port);
  EXPECT_EQ(ReadFileBytes(host + "/1.gif"), "GIF89a");
  EXPECT_EQ(ReadFileBytes(host + "/2.gif"), "GIF89a");
  const std::string log = ReadFileBytes(saveTo.Path() + "/Kelvane.log");
  EXPECT_EQ(Count(log, "Not saved (server unreachable): https://127.0.0.1:"), 1u) << log;
}

}  // namespace
