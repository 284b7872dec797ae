// kelvane-cli -k -E -N: a copy that reads from disk and is kept current.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <thread>

#include "cli/cli_support.h"
#include "support/loopback_server.h"
#include "support/modern_site.h"
#include "support/site_generator.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

// The copy as a browser would open it: the mirror's files without the store's own.
Tree Copy(const std::string& saveTo) {
  Tree tree = ReadTree(saveTo);
  tree.erase("Kelvane.log");
  tree.erase(".kelvane/records");
  return tree;
}

TEST(OfflineCopy, ConvertedCopyIsTheSameAtAnyJobsAndRerunsChangeNoByte) {
  SiteServer site;
  RawServer server(site.Handler());
  const std::string host = "127.0.0.1:" + std::to_string(server.Port());
  site.SetAll(ModernSite(host));
  TempDir one, four;
  for (const auto& [saveTo, jobs] : {std::pair{one.Path(), "1"}, std::pair{four.Path(), "4"}}) {
    ProcessResult run =
        Cli({"-pkE", "--verbose", "--jobs", jobs, "--save-to", saveTo, server.Url("/site/")});
    EXPECT_EQ(run.exitCode, 0) << run.err << ReadFileBytes(saveTo + "/Kelvane.log");
  }
  const Tree copy = Copy(one.Path());
  EXPECT_EQ(copy, Copy(four.Path()));
  // Pages under names a browser opens, and links rewritten to them.
  const std::string start = copy.at(host + "/site/~index.htm");
  EXPECT_NE(start.find("<base href=\"\">"), std::string::npos) << start;
  for (const std::string& link : std::vector<std::string>{
           "href=\"sub/~index.htm\"", "href=\"page.php%3Fid=1.html\"", "href=\"about/~index.htm\"",
           "href=\"doc.html#part2\"", "href=\"#top\"",
           "src=img/a.png srcset=\"img/a.png 1x, img/a2.png 2x\"", "href=\"css/main.css\"",
           "url('img/c.png')", "href=\"http://" + std::string(host) + "/outside.html\"",
           "href=\"mailto:someone@example.invalid\""})
    EXPECT_NE(start.find(link), std::string::npos) << link << "\n" << start;
  EXPECT_EQ(copy.at(host + "/site/css/main.css"),
            "@import url(\"base.css\");\nbody { background: url(../img/body.png) }\n");
  EXPECT_EQ(copy.at(host + "/site/css/base.css"), "p { background: url('../img/p.png') }\n");
  EXPECT_EQ(copy.count(host + "/outside.html"), 0u);

  for (int rerun = 0; rerun < 2; ++rerun) {
    ProcessResult again = Cli({"-pkE", "--save-to", one.Path(), server.Url("/site/")});
    EXPECT_EQ(again.exitCode, 0) << again.err;
    EXPECT_TRUE(Contains(again.err, ", 0 stored, ")) << again.err;
    EXPECT_EQ(Copy(one.Path()), copy);
  }
}

// Reruns with -N ask for each copy again: what changed is replaced (and converted again), what
// did not is read from the copy, what is gone is kept.
TEST(OfflineCopy, UpdateReplacesOnlyWhatChanged) {
  SiteServer site;
  RawServer server(site.Handler());
  const std::string host = "127.0.0.1:" + std::to_string(server.Port());
  SiteFiles files = ModernSite(host);
  site.SetAll(files);
  TempDir saveTo;
  ProcessResult first = Cli({"-pkEN", "--save-to", saveTo.Path(), server.Url("/site/")});
  ASSERT_EQ(first.exitCode, 0) << first.err;
  const size_t count = Copy(saveTo.Path()).size();

  files["/site/doc.html"].body += "<a href=\"new.html\">new</a>";
  files["/site/new.html"] = {"<html>new</html>", "text/html"};
  files.erase("/site/img/d.png");
  site.SetAll(files);
  const size_t asked = server.Requests().size();
  ProcessResult update = Cli({"-pkEN", "--save-to", saveTo.Path(), server.Url("/site/")});
  EXPECT_EQ(update.exitCode, 0) << update.err;
  EXPECT_TRUE(Contains(update.err, " unchanged, 1 updated, 1 new, 1 gone\n")) << update.err;
  const Tree copy = Copy(saveTo.Path());
  EXPECT_EQ(copy.size(), count + 1);
  EXPECT_NE(copy.at(host + "/site/doc.html").find("href=\"new.html\""), std::string::npos);
  EXPECT_EQ(copy.at(host + "/site/img/d.png"), "picture /site/img/d.png");
  // Every earlier copy was asked for only if it changed: the start address's reachability test
  // and the new file alone were asked for outright.
  const std::vector<std::string> requests = server.Requests();
  size_t outright = 0;
  for (size_t i = asked; i < requests.size(); ++i)
    outright += requests[i].find("If-None-Match: ") == std::string::npos ? 1 : 0;
  EXPECT_EQ(outright, 2u);
}

// A crawl killed while an update comes in leaves the copy whole: the old bytes or the new.
TEST(OfflineCopy, KilledUpdateLeavesEveryFileWhole) {
  SiteServer site;
  std::atomic<bool> hold{false};
  RawServer server([&, handler = site.Handler()](int fd, const std::string& request) {
    if (hold && request.starts_with("GET /site/doc.html ")) {
      SendAll(fd, "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: 9000\r\n\r\n" +
                      std::string(4000, 'n'));
      WaitForPeerClose(fd, 20000);
      return;
    }
    handler(fd, request);
  });
  const std::string host = "127.0.0.1:" + std::to_string(server.Port());
  site.SetAll(ModernSite(host));
  TempDir saveTo;
  ASSERT_EQ(Cli({"-pN", "--save-to", saveTo.Path(), server.Url("/site/")}).exitCode, 0);
  const Tree before = Copy(saveTo.Path());
  hold = true;
  SiteFiles changed = ModernSite(host);
  changed["/site/doc.html"].body = std::string(9000, 'n');
  site.SetAll(changed);
  RunProcess({KELVANE_CLI_PATH, "-pN", "--save-to", saveTo.Path(), server.Url("/site/")},
             [](pid_t pid) {
               std::this_thread::sleep_for(std::chrono::milliseconds(700));
               kill(pid, SIGKILL);
             });
  EXPECT_EQ(Copy(saveTo.Path()), before);
  for (const auto& entry : fs::recursive_directory_iterator(saveTo.Path()))
    EXPECT_EQ(entry.path().string().find(".kelvane-"), std::string::npos) << entry.path();
}

}  // namespace
