// A generated site served by nginx, mirrored by kelvane-cli, compared byte for byte.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>

#include "support/nginx_server.h"
#include "support/process.h"
#include "support/site_generator.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

double Seconds(const std::function<void()>& run) {
  auto started = std::chrono::steady_clock::now();
  run();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

TEST(MirrorEndToEnd, GeneratedSiteIsCopiedByteForByte) {
  ASSERT_TRUE(NginxServer::Available()) << "nginx is not installed";
  TempDir served;
  const Tree site = GenerateSite(150, 20261207);
  WriteTree(served.Path(), site);
  NginxServer nginx(served.Path());
  ASSERT_TRUE(nginx.Running());

  TempDir mirror;
  ProcessResult run;
  double seconds = Seconds([&] {
    run = RunProcess({KELVANE_CLI_PATH, "--save-to", mirror.Path(), nginx.Url("/")});
  });
  ASSERT_EQ(run.exitCode, 0) << run.err;
  RecordProperty("kelvane_cli_seconds", std::to_string(seconds));
  std::printf("kelvane-cli mirrored %zu files in %.3f s\n", site.size(), seconds);
  if (access("/usr/bin/wget", X_OK) == 0) {
    TempDir peer;
    double wget = Seconds([&] {
      RunProcess(
          {"/usr/bin/wget", "-r", "-np", "-l", "inf", "-q", "-P", peer.Path(), nginx.Url("/")});
    });
    std::printf("wget -r -np -l inf on the same site: %zu files in %.3f s\n",
                ReadTree(peer.Path()).size(), wget);
  }

  // The start page is the directory "/" and is stored as its index; everything else as served.
  Tree expected = site;
  expected["~index.htm"] = expected["index.html"];
  expected.erase("index.html");
  const std::string host = mirror.Path() + "/127.0.0.1:" + std::to_string(nginx.Port());
  Tree copied = ReadTree(host);
  EXPECT_EQ(copied.size(), expected.size());
  for (const auto& [path, bytes] : expected) {
    auto found = copied.find(path);
    if (found == copied.end()) {
      ADD_FAILURE() << "missing " << path;
    } else {
      EXPECT_TRUE(found->second == bytes) << "differs: " << path;
    }
  }
  EXPECT_EQ(ReadTree(mirror.Path()).size(), copied.size()) << "nothing outside the host directory";

  // A rerun reads every stored copy and downloads nothing.
  ProcessResult again = RunProcess({KELVANE_CLI_PATH, "--save-to", mirror.Path(), nginx.Url("/")});
  EXPECT_EQ(again.exitCode, 0);
  EXPECT_NE(again.err.find(" downloaded"), std::string::npos);
  EXPECT_NE(again.err.find(", 0 downloaded,"), std::string::npos) << again.err;
  EXPECT_EQ(ReadTree(host), copied);
}

// Four transfers at once store exactly the files, and the bytes, of one at a time, and end with
// the same counters.
TEST(MirrorEndToEnd, ParallelCrawlStoresWhatTheOneAtATimeCrawlStores) {
  ASSERT_TRUE(NginxServer::Available()) << "nginx is not installed";
  TempDir served;
  WriteTree(served.Path(), GenerateSite(400, 20261208));
  NginxServer nginx(served.Path());
  ASSERT_TRUE(nginx.Running());
  TempDir one, four;
  ProcessResult single = RunProcess({KELVANE_CLI_PATH, "--save-to", one.Path(), nginx.Url("/")});
  ProcessResult parallel =
      RunProcess({KELVANE_CLI_PATH, "--jobs", "4", "--save-to", four.Path(), nginx.Url("/")});
  ASSERT_EQ(single.exitCode, 0) << single.err;
  ASSERT_EQ(parallel.exitCode, 0) << parallel.err;
  EXPECT_TRUE(ReadTree(one.Path()) == ReadTree(four.Path()));
  auto counters = [](const std::string& summary) {
    return summary.substr(0, summary.find(" bytes received"));
  };
  EXPECT_EQ(counters(parallel.err), counters(single.err));
}

}  // namespace
