// kelvane-cli killed outright at random moments of a crawl, and run again into the same
// directory each time: the mirror it ends with must be the one a clean crawl makes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <thread>

#include "support/nginx_server.h"
#include "support/process.h"
#include "support/site_generator.h"
#include "support/temp_dir.h"

namespace {

// One file at a time, and four at once.
class CrashSafety : public ::testing::TestWithParam<const char*> {};

TEST_P(CrashSafety, KilledCrawlsRerunIntoTheCleanMirror) {
  ASSERT_TRUE(NginxServer::Available()) << "nginx is not installed";
  TempDir served;
  WriteTree(served.Path(), GenerateSite(600, 7));
  NginxServer nginx(served.Path());
  ASSERT_TRUE(nginx.Running());
  const std::vector<std::string> crawl = {KELVANE_CLI_PATH, "--jobs", GetParam(),
                                          "--save-to",      "",       nginx.Url("/")};

  TempDir clean;
  auto started = std::chrono::steady_clock::now();
  std::vector<std::string> cleanRun = crawl;
  cleanRun[4] = clean.Path();
  ASSERT_EQ(RunProcess(cleanRun).exitCode, 0);
  const auto cleanMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - started)
                           .count();

  TempDir killed;
  std::vector<std::string> killedRun = crawl;
  killedRun[4] = killed.Path();
  const unsigned seed = std::random_device{}();
  std::mt19937 random(seed);
  // Short lives, so that each run gets a little further than the last and many of the kills
  // land while files are being fetched and saved.
  long most = std::max<long>(2, cleanMs / 10);
  int kills = 0;
  for (int attempt = 0; attempt < 200 && kills < 24; ++attempt) {
    pid_t pid = StartProcess(killedRun);
    std::this_thread::sleep_for(
        std::chrono::milliseconds(std::uniform_int_distribution<long>(1, most)(random)));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) {
      ++kills;
    } else if (kills < 20) {
      // Done before the kills asked for: the machine ran faster than during the clean crawl.
      // Anew, with shorter lives.
      std::filesystem::remove_all(killed.Path());
      std::filesystem::create_directory(killed.Path());
      kills = 0;
      most = std::max<long>(2, most / 2);
    }
  }
  std::printf("%d kills (seed %u, clean crawl %ld ms)\n", kills, seed, static_cast<long>(cleanMs));
  EXPECT_GE(kills, 20) << "seed " << seed;

  const size_t before = ReadTree(killed.Path()).size();
  ProcessResult last = RunProcess(killedRun);
  EXPECT_EQ(last.exitCode, 0) << last.err;
  const Tree expected = ReadTree(clean.Path());
  const Tree got = ReadTree(killed.Path());
  std::printf("%zu of %zu files were there after the kills\n", before, expected.size());
  EXPECT_EQ(got.size(), expected.size()) << "seed " << seed;
  for (const auto& [path, bytes] : expected) {
    auto found = got.find(path);
    if (found == got.end())
      ADD_FAILURE() << "missing " << path << " (seed " << seed << ")";
    else if (found->second != bytes)
      ADD_FAILURE() << "differs " << path << " (seed " << seed << ")";
  }
  for (const auto& [path, bytes] : got) {
    if (!expected.count(path))
      ADD_FAILURE() << "left behind " << path << " (seed " << seed << ")";
  }
}

INSTANTIATE_TEST_SUITE_P(Jobs, CrashSafety, ::testing::Values("1", "4"));

}  // namespace
