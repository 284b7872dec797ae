// The converted copy of a site, judged by a real browser: every stored page opened from disk in
// headless Chromium with the network cut off.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <cstring>

#include <filesystem>
#include <memory>

#include "cli/cli_support.h"
#include "support/loopback_server.h"
#include "support/modern_site.h"
#include "support/temp_dir.h"

namespace {

// The count the checker gives for name in its line of totals ("7 pages, 31 loaded, ...").
int Total(const std::string& totals, const std::string& name) {
  const size_t at = totals.find(" " + name + ",");
  const size_t end = at == std::string::npos ? totals.find(" " + name + "\n") : at;
  if (end == std::string::npos)
    return -1;
  const size_t begin = totals.rfind(' ', end - 1);
  return std::stoi(totals.substr(begin == std::string::npos ? 0 : begin + 1));
}

TEST(Browser, ConvertedCopyReadsWhollyFromDisk) {
  SiteServer modern, clean(CleanSite());
  clean.TryFiles(true);
  RawServer modernServer(modern.Handler()), cleanServer(clean.Handler());
  modern.SetAll(ModernSite("127.0.0.1:" + std::to_string(modernServer.Port())));
  struct Row {
    std::string start;
    int pages;
    int loaded;
    int online;  // links to pages left out: the page outside the start, linked twice
  } rows[] = {{modernServer.Url("/site/"), 8, 12, 2}, {cleanServer.Url("/home"), 10, 10, 0}};
  for (const Row& row : rows) {
    for (const char* jobs : {"1", "4"}) {
      SCOPED_TRACE(row.start + " at " + jobs);
      TempDir saveTo;
      ProcessResult copy = Cli({"-pkE", "--jobs", jobs, "--save-to", saveTo.Path(), row.start});
      ASSERT_EQ(copy.exitCode, 0) << copy.err;
      ProcessResult check =
          RunProcess({"/usr/bin/python3", KELVANE_SOURCE_DIR "/tests/browser/browser_check.py",
                      "--list", saveTo.Path()});
      // Without a browser the check fails, saying what to install; it never passes by itself.
      ASSERT_NE(check.exitCode, 2) << check.err;
      EXPECT_EQ(check.exitCode, 0) << check.out << check.err;
      EXPECT_EQ(Total(check.out, "pages"), row.pages) << check.out;
      EXPECT_GE(Total(check.out, "loaded"), row.loaded) << check.out;
      EXPECT_EQ(Total(check.out, "missing"), 0) << check.out;
      EXPECT_EQ(Total(check.out, "network"), 0) << check.out;
      EXPECT_EQ(Total(check.out, "alerts"), 0) << check.out;
      EXPECT_EQ(Total(check.out, "links to nothing"), 0) << check.out;
      EXPECT_EQ(Total(check.out, "online links"), row.online) << check.out;
    }
  }
}

// The same site kept as an archive, packed as WACZ, and opened in an archive player no one here
// wrote: the start page as its server sent it, styled by its stylesheets and with its pictures,
// and a second page by its link.
TEST(Browser, ArchivePlayerReplaysThePackage) {
  if (!std::filesystem::exists(KELVANE_SOURCE_DIR "/tests/archive/player/sw.js"))
    GTEST_SKIP() << "the archive player is not installed: scripts/install_deps.sh fetches it";
  SiteServer modern;
  auto server = std::make_unique<RawServer>(modern.Handler());
  const std::string start = server->Url("/site/");
  SiteFiles site = ModernSite("127.0.0.1:" + std::to_string(server->Port()));
  // Pictures a browser can draw: a PNG of one pixel.
  static const unsigned char kPixel[] = {
      0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48,
      0x44, 0x52, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x00, 0x00,
      0x00, 0x1f, 0x15, 0xc4, 0x89, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x44, 0x41, 0x54, 0x78,
      0x9c, 0x63, 0xf8, 0xcf, 0xc0, 0xf0, 0x1f, 0x00, 0x05, 0x00, 0x01, 0xff, 0x89, 0x99,
      0x3d, 0x1d, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};
  for (auto& [path, file] : site) {
    if (file.type == "image/png")
      file.body.assign(reinterpret_cast<const char*>(kPixel), sizeof kPixel);
  }
  modern.SetAll(site);
  TempDir dir;
  const std::string wacz = dir.Path() + "/site.wacz";
  // The package of a rerun over a copy, whose files are all there: it holds the answers it
  // replays all the same.
  ASSERT_EQ(Cli({"-p", "--save-to", dir.Path() + "/copy", start}).exitCode, 0);
  ProcessResult archive = Cli({"-p", "--wacz", wacz, "--save-to", dir.Path() + "/copy", start});
  ASSERT_EQ(archive.exitCode, 0) << archive.err;
  server.reset();  // what is replayed comes from the package alone
  // Its files as unzip makes them: their owner's alone to change.
  EXPECT_EQ(RunProcess({"/usr/bin/python3", "-c",
                        "import sys, zipfile; print(sorted({oct(i.external_attr >> 16) for i in "
                        "zipfile.ZipFile(sys.argv[1]).infolist()}))",
                        wacz})
                .out,
            "['0o100644']\n");
  ProcessResult replay =
      RunProcess({"/usr/bin/python3", KELVANE_SOURCE_DIR "/tests/browser/replay_check.py",
                  KELVANE_SOURCE_DIR "/tests/archive/player", wacz, start, "about"});
  ASSERT_NE(replay.exitCode, 2) << replay.err;
  EXPECT_EQ(replay.exitCode, 0) << replay.out << replay.err;
  const size_t end = replay.out.find('\n');
  const std::string first = replay.out.substr(0, end), second = replay.out.substr(end + 1);
  EXPECT_TRUE(Contains(first, "\"title\": \"Start\"")) << first;
  EXPECT_TRUE(Contains(first, "img/body.png")) << first;  // main.css applied
  EXPECT_TRUE(Contains(first, "\"loaded\": true")) << first;
  EXPECT_FALSE(Contains(first, "\"loaded\": false")) << first;
  EXPECT_TRUE(Contains(second, "start")) << second;  // the about page's one link
}

}  // namespace

namespace {

// The page built and scrolled to its end, as a reader sees it (checked every tenth of a second,
// scrolling a screen each time).
const char* const kBuilt =
    "(scrollBy(0, innerHeight), document.querySelectorAll('#list li').length == 2 && "
    "document.body.dataset.mod == 'ab' && document.body.dataset.worker == 'from the worker' && "
    "document.getElementById('pick').src.endsWith('b.png') && "
    "document.querySelector('.lazy').src.endsWith('lazy/1.png') && "
    "document.querySelector('.lazy').complete)";

// The copy of a page whose content its scripts build, kept with --render and served with
// --serve: opened in headless Chromium with every other address cut off, its scripts build it as
// they do live, from the copy alone; and it holds every file Chromium asked of the live site.
TEST(Browser, ServedCopyRunsItsScriptsOffline) {
  RawServer away([](int fd, const std::string&) { SendAll(fd, Answer(200, "away")); });
  SiteServer site(ScriptSite("http://127.0.0.1:" + std::to_string(away.Port())));
  RawServer server(site.Handler());
  const ProcessResult live =
      RunProcess({"/usr/bin/python3", KELVANE_SOURCE_DIR "/tests/browser/browser_check.py",
                  "--served", server.Url("/site/index.html"), kBuilt});
  ASSERT_EQ(live.exitCode, 0) << live.out << live.err;
  const std::vector<std::string> asked = server.RequestLines();
  TempDir saveTo;
  // Its scripts never rest (a fetch every 20 ms): the page is given what a busy machine needs to
  // build it, and no more.
  const ProcessResult copy = Cli({"-pkE", "--render", "--render-budget", "8", "--save-to",
                                  saveTo.Path(), server.Url("/site/index.html")});
  ASSERT_NE(copy.exitCode, 2) << copy.err;
  const std::string command =
      std::string("echo $$; exec ") + KELVANE_CLI_PATH + " --serve '" + saveTo.Path() + "'";
  FILE* serving = popen(command.c_str(), "r");
  ASSERT_NE(serving, nullptr);
  char line[4096] = {};
  const pid_t pid = std::fgets(line, sizeof line, serving) != nullptr ? std::atoi(line) : 0;
  const std::string address = std::fgets(line, sizeof line, serving) != nullptr
                                  ? std::string(line, std::strcspn(line, "\n"))
                                  : "";
  ProcessResult check =
      RunProcess({"/usr/bin/python3", KELVANE_SOURCE_DIR "/tests/browser/browser_check.py",
                  "--served", address, kBuilt});
  if (pid > 0)
    kill(pid, SIGTERM);
  pclose(serving);
  ASSERT_NE(check.exitCode, 2) << check.err;
  EXPECT_EQ(check.exitCode, 0) << check.out << check.err << copy.err;
  // Left out by design: what a page sends, the browser's own icon and a service worker.
  const std::string stored = saveTo.Path() + "/127.0.0.1:" + std::to_string(server.Port());
  for (const std::string& line : asked) {
    const std::string path = line.substr(4, line.find(' ', 4) - 4);
    if (line.starts_with("GET ") && path != "/favicon.ico" && path != "/site/sw.js") {
      EXPECT_TRUE(std::filesystem::exists(stored + path)) << line << copy.err;
    }
  }
}

}  // namespace
