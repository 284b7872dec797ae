// kelvane-cli --jobs N against a real server that offers HTTP/2 over TLS and compresses its
// answers: the copy is the one of one job over plain HTTP, byte for byte.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>

#include "cli/cli_support.h"
#include "support/nginx_server.h"
#include "support/site_generator.h"
#include "support/temp_dir.h"
#include "support/test_authority.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++count;
  return count;
}

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
      : server(root, {authority.Certificate(), authority.Key(), true, true}) {}
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

// --wait spaces the starts of streams to a server as of connections; --limit-rate holds over
// streams multiplexed on one connection.
TEST(Http2, WaitAndRateLimitHoldOverStreams) {
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
    const Clock::time_point started = Clock::now();
    ProcessResult run = Cli(arguments);
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(ReadTree(site.Host(saveTo.Path())).size(), 5u);
    // Six requests 0.3 s apart; 240 KB at 120 KB a second.
    EXPECT_GE(seconds, 1.45) << run.err;
  }
}

}  // namespace
