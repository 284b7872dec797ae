// kelvane-cli -p --render: each page's scripts run in headless Chromium, and what they load is
// fetched by the crawl and kept.
#include <gtest/gtest.h>

#include <filesystem>

#include "cli/cli_support.h"
#include "support/loopback_server.h"
#include "support/modern_site.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

TEST(Render, CopyKeepsWhatScriptsLoadAndNothingLeavesTheRules) {
  if (!fs::exists("/usr/lib/chromium/chromium") && !fs::exists("/usr/bin/chromium"))
    GTEST_SKIP() << "no Chromium: apt-get install chromium";
  RawServer away([](int fd, const std::string&) { SendAll(fd, Answer(200, "away")); });
  SiteServer site(ScriptSite("http://127.0.0.1:" + std::to_string(away.Port())));
  RawServer server(site.Handler());
  const std::string host = "127.0.0.1:" + std::to_string(server.Port());
  // The budget ends the endless and the stuck page; the start page, which loads a dozen files
  // through the crawl, must never meet it, even on a slow, sanitized build.
  const struct {
    std::vector<std::string> options;
    bool scripts;
  } rows[] = {
      {{"-p"}, false},
      {{"-p", "--render", "--render-budget", "8", "--jobs", "1"}, true},
      {{"-p", "--render", "--render-budget", "8", "--jobs", "4"}, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.options.back());
    TempDir saveTo;
    std::vector<std::string> arguments = row.options;
    arguments.insert(arguments.end(), {"--save-to", saveTo.Path(), server.Url("/site/index.html")});
    const ProcessResult run = Cli(arguments);
    // The endless page's own files are not on its server: "not saved", said.
    EXPECT_EQ(run.exitCode, row.scripts ? 8 : 0) << run.err;
    const std::string copy = saveTo.Path() + "/" + host + "/site/";
    EXPECT_TRUE(fs::exists(copy + "endless.html"));
    for (const std::string& file : ScriptSiteLoads())
      EXPECT_EQ(fs::exists(copy + file), row.scripts) << file;
    // What no page asked for is not fetched (the picture the array does not choose), nor what
    // a page sends or a service worker.
    for (const char* never : {"img/a.png", "data/post", "sw.js"})
      EXPECT_FALSE(fs::exists(copy + never)) << never;
    EXPECT_EQ(row.scripts, Contains(run.err, "tick?")) << run.err;
    // The endless and the stuck page at least; on a slow machine another may join them.
    EXPECT_EQ(row.scripts, Contains(run.err, " pages stopped at the scripts' budget")) << run.err;
  }
  // Windows, the move to another server and a link a script made to it never reached it.
  for (const std::string& request : away.RequestLines()) {
    EXPECT_FALSE(Contains(request, "/linked")) << request;
    EXPECT_FALSE(Contains(request, "/fetched")) << request;
    EXPECT_FALSE(Contains(request, "/popup")) << request;
    EXPECT_FALSE(Contains(request, "/away")) << request;
  }
}

TEST(Render, RefusedWithoutPageRequisitesOrChromium) {
  TempDir saveTo;
  const ProcessResult alone = Cli({"--render", "--save-to", saveTo.Path(), "http://127.0.0.1:9/"});
  EXPECT_EQ(alone.exitCode, 2);
  EXPECT_TRUE(Contains(alone.err, "option --render needs --page-requisites (-p)")) << alone.err;
}

}  // namespace
