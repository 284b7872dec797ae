// kelvane-cli -k -E -N: a copy that reads from disk and is kept current.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

#include "cli/cli_support.h"
#include "support/loopback_server.h"
#include "support/modern_site.h"
#include "support/nginx_server.h"
#include "support/site_generator.h"
#include "support/temp_dir.h"
#include "support/wait.h"

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
           "href=\"sub/~index.htm\"", "href=\"page.php%3Fid=1~2.html\"",
           "href=\"page.php%3Fid=1.html\"", "href=\"about.html\"", "href=\"doc.html#part2\"",
           "href=\"#top\"", "src=img/a.png srcset=\"img/a.png 1x, img/a2.png 2x\"",
           "href=\"css/main.css\"", "url('img/c.png')",
           "href=\"http://" + std::string(host) + "/outside.html\"",
           "href=\"mailto:someone@example.invalid\""})
    EXPECT_NE(start.find(link), std::string::npos) << link << "\n" << start;
  EXPECT_EQ(copy.at(host + "/site/css/main.css"),
            "@import url(\"base.css\");\nbody { background: url(../img/body.png) }\n");
  EXPECT_EQ(copy.at(host + "/site/css/base.css"), "p { background: url('../img/p.png') }\n");
  EXPECT_EQ(copy.count(host + "/outside.html"), 0u);
  // Two addresses whose names -E would make one keep a name each, the plain one its own.
  EXPECT_NE(copy.at(host + "/site/page.php?id=1.html").find("img/named.png"), std::string::npos);
  EXPECT_NE(copy.at(host + "/site/page.php?id=1~2.html").find("img/php.png"), std::string::npos);

  for (int rerun = 0; rerun < 2; ++rerun) {
    ProcessResult again = Cli({"-pkE", "--save-to", one.Path(), server.Url("/site/")});
    EXPECT_EQ(again.exitCode, 0) << again.err;
    EXPECT_TRUE(Contains(again.err, ", 0 stored, ")) << again.err;
    EXPECT_EQ(Copy(one.Path()), copy);
  }
}

// FNV-1a over each file's name and bytes.
uint64_t TreeDigest(const Tree& tree) {
  uint64_t digest = 14695981039346656037ULL;
  for (const auto& [name, bytes] : tree) {
    for (const std::string* text : {&name, &bytes}) {
      for (unsigned char c : *text + '\0')
        digest = (digest ^ c) * 1099511628211ULL;
    }
  }
  return digest;
}

// A generated site's converted copy is the same at one job, four and the default, and byte for
// byte the copy made when the crawl kept every address and record whole in memory.
TEST(OfflineCopy, GeneratedSiteCopyIsTheSameAtAnyJobsAndAsBefore) {
  ASSERT_TRUE(NginxServer::Available()) << "nginx is not installed";
  TempDir served;
  WriteTree(served.Path(), GenerateSite(500, 20261211));
  NginxServer server(served.Path());
  ASSERT_TRUE(server.Running());
  for (const std::vector<std::string>& jobs :
       {std::vector<std::string>{"--jobs", "1"}, {"--jobs", "4"}, {}}) {
    TempDir saveTo;
    std::vector<std::string> arguments{"-pkE", "--save-to", saveTo.Path(), server.Url("/")};
    arguments.insert(arguments.begin(), jobs.begin(), jobs.end());
    ProcessResult run = Cli(arguments);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const Tree copy = ReadTree(saveTo.Path() + "/127.0.0.1:" + std::to_string(server.Port()));
    EXPECT_EQ(copy.size(), 1022u);  // the site whole
    EXPECT_EQ(TreeDigest(copy), 0xb3f38467b7341390ULL) << jobs.size() << " option words";
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
  // The page changed, and the copy of the address moved to it.
  EXPECT_TRUE(Contains(update.err, " unchanged, 2 updated, 1 new, 1 gone\n")) << update.err;
  const Tree copy = Copy(saveTo.Path());
  EXPECT_EQ(copy.size(), count + 1);
  EXPECT_NE(copy.at(host + "/site/doc.html").find("href=\"new.html\""), std::string::npos);
  EXPECT_EQ(copy.at(host + "/site/img/d.png"), "picture /site/img/d.png");
  // Every earlier copy was asked for only if it changed, and the start page once: the new file
  // alone was asked for outright. (The script's page, which sends no validator, is asked for
  // since the time of its copy, and its unchanged answer counted unchanged.)
  const std::vector<std::string> requests = server.Requests();
  size_t outright = 0;
  for (size_t i = asked; i < requests.size(); ++i)
    outright +=
        !Contains(requests[i], "If-None-Match: ") && !Contains(requests[i], "If-Modified-Since: ");
  EXPECT_EQ(outright, 1u);
}

// A crawl killed while an update comes in leaves the copy whole: the old bytes or the new.
TEST(OfflineCopy, KilledUpdateLeavesEveryFileWhole) {
  SiteServer site;
  std::atomic<bool> hold{false};
  std::atomic<bool> held{false};
  RawServer server([&, handler = site.Handler()](int fd, const std::string& request) {
    if (hold && request.starts_with("GET /site/doc.html ")) {
      SendAll(fd, "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: 9000\r\n\r\n" +
                      std::string(4000, 'n'));
      held = true;
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
             [&](pid_t pid) {
               WaitUntil([&] { return held.load(); });
               kill(pid, SIGKILL);
             });
  EXPECT_EQ(Copy(saveTo.Path()), before);
  for (const auto& entry : fs::recursive_directory_iterator(saveTo.Path()))
    EXPECT_EQ(entry.path().string().find(".kelvane-"), std::string::npos) << entry.path();
}

}  // namespace

namespace {

std::string HrefsOf(const std::string& page) {
  std::string hrefs;
  for (size_t at = page.find("href=\""); at != std::string::npos; at = page.find("href=\"", at + 1))
    hrefs += page.substr(at + 6, page.find('"', at + 6) - at - 6) + " ";
  return hrefs;
}

}  // namespace

// Each converted link leads to the file stored for the address it named: queries, escaped
// slashes, a <base> elsewhere and a redirect are no cause to pick a neighbour.
TEST(OfflineCopy, ConvertedLinksLeadToTheFileOfTheirAddress) {
  const std::string html = "text/html";
  SiteServer site({
      {"/h/",
       {"<a href=\"list.php?page=2\">2</a> <a href=\"list.php\">1</a> "
        "<a href=\"a%2Fb.html\">ab</a> <a href=\"based.html\">b</a> "
        "<a href=\"go.html\">go</a> <a href=\"x.html?v=2\">v2</a> <a href=\"pic.html\">p</a>",
        html}},
      {"/h/pic.html", {"<img srcset=\"a&#46;png 1x, b.png 2x\">", html}},
      {"/h/a.png", {"a", "image/png"}},
      {"/h/b.png", {"b", "image/png"}},
      {"/h/list.php", {"page one", html}},
      {"/h/list.php?page=2", {"page two", html}},
      {"/h/a%2Fb.html", {"escaped", html}},
      {"/h/a/b.html", {"nested", html}},
      {"/h/based.html", {"<base href=\"/h/other/\"><a href=\"x.html\">x</a>", html}},
      {"/h/go.html", {"/h/other/landing.html", "redirect"}},
      {"/h/other/landing.html", {"<a href=\"x.html\">x</a>", html}},
      {"/h/other/x.html", {"other x", html}},
      {"/h/x.html", {"x", html}},
      {"/h/x.html?v=2", {"x two", html}},
  });
  RawServer server(site.Handler());
  TempDir saveTo;
  ProcessResult run = Cli({"-pkE", "--save-to", saveTo.Path(), server.Url("/h/")});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  const Tree copy = Copy(saveTo.Path());
  const std::string host = "127.0.0.1:" + std::to_string(server.Port()) + "/h/";
  EXPECT_EQ(HrefsOf(copy.at(host + "~index.htm")),
            "list.php%3Fpage=2.html list.php.html a%252Fb.html based.html go.html "
            "x.html%3Fv=2.html pic.html ");
  EXPECT_EQ(HrefsOf(copy.at(host + "based.html")), " other/x.html ");
  // A value written with character references is written again whole.
  EXPECT_EQ(copy.at(host + "pic.html"), "<img srcset=\"a.png 1x, b.png 2x\">");
  EXPECT_EQ(HrefsOf(copy.at(host + "go.html")), "other/x.html ");
  EXPECT_EQ(copy.count(host + "a/b.html"), 0u);
}

// A page changed on disk while the crawl goes on is converted as it is then, not as it was read.
TEST(OfflineCopy, PagesChangedBeforeTheirConversionAreReadAgain) {
  std::mutex mutex;
  std::condition_variable changed;
  bool edited = false;
  RawServer server([&](int fd, const std::string& request) {
    if (request.starts_with("GET /c/slow.png ")) {
      std::unique_lock lock(mutex);
      changed.wait_for(lock, std::chrono::minutes(1), [&] { return edited; });
      return SendAll(fd, Answer(200, "png"));
    }
    SendAll(fd,
            Answer(200, request.starts_with("GET /c/ ")
                            ? "<a href=\"a.html\">a</a><a href=\"b.html\">b</a><img src=slow.png>"
                            : "page"));
  });
  TempDir saveTo;
  ProcessResult run;
  std::thread crawl([&] { run = Cli({"-pkE", "--save-to", saveTo.Path(), server.Url("/c/")}); });
  const std::string page =
      saveTo.Path() + "/127.0.0.1:" + std::to_string(server.Port()) + "/c/~index.htm";
  const bool stored = WaitUntil([&] { return fs::exists(page); });
  if (stored)  // as long as it was, its links elsewhere
    WriteFileBytes(page, "<a href=\"b.html\">b</a><a href=\"a.html\">a</a><img src=slow.png>");
  {
    std::lock_guard lock(mutex);
    edited = true;
  }
  changed.notify_all();
  crawl.join();
  ASSERT_TRUE(stored);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(HrefsOf(ReadFileBytes(page)), "b.html a.html ");
}

// A conversion that makes a page longer than a file's area, then another run: nothing is cut.
TEST(OfflineCopy, PagesGrownByConversionStayWhole) {
  std::string page;
  while (page.size() < 4100000)
    page += "<a href=\"/t/a.html\">a</a>\n";
  page += "<img src=\"tail.png\">END";
  SiteServer site({{"/t/deep/er/", {page, "text/html"}}, {"/t/a.html", {"a", "text/html"}}});
  RawServer server(site.Handler());
  TempDir saveTo;
  const std::string url = server.Url("/t/deep/er/");
  ASSERT_EQ(Cli({"-pk", "--save-to", saveTo.Path(), url}).exitCode, 8);  // tail.png is missing
  site.Set("/t/deep/er/tail.png", {"png", "image/png"});
  ProcessResult again = Cli({"-pk", "--verbose", "--save-to", saveTo.Path(), url});
  EXPECT_EQ(again.exitCode, 0) << again.err;
  const std::string log = ReadFileBytes(saveTo.Path() + "/Kelvane.log");
  EXPECT_NE(log.find("Links converted: "), std::string::npos) << log.substr(0, 3000);
  const std::string converted = ReadFileBytes(
      saveTo.Path() + "/127.0.0.1:" + std::to_string(server.Port()) + "/t/deep/er/~index.htm");
  EXPECT_GT(converted.size(), size_t{4194304});
  EXPECT_TRUE(converted.ends_with("<img src=\"tail.png\">END"))
      << converted.substr(converted.size() - 80);
}

// A crawl stopped by Ctrl-C or SIGTERM converts what it stored, unless it is stopped once more:
// then the next run does.
TEST(OfflineCopy, StoppedCrawlConvertsWhatItStoredUnlessStoppedAgain) {
  RawServer server([](int fd, const std::string& request) {
    if (request.starts_with("GET / "))
      return SendAll(fd,
                     Answer(200, "<link rel=stylesheet href=\"/main.css\"><img src=\"/slow.gif\">",
                            "Content-Type: text/html\r\n"));
    if (request.starts_with("GET /main.css "))
      return SendAll(fd, Answer(200, "b{}", "Content-Type: text/css\r\n"));
    SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 9000\r\n\r\nGIF89a");
    WaitForPeerClose(fd, 20000);
  });
  const struct {
    std::vector<int> signals;
    const char* page;
    const char* summary;
  } rows[] = {
      {{SIGINT}, "href=\"main.css\"", "links converted in 1 file\n"},
      {{SIGINT, SIGTERM},
       "href=\"/main.css\"",
       "links converted in 0 files (stopped: the next run converts the rest)\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.signals.size());
    TempDir saveTo;
    const std::string host = saveTo.Path() + "/127.0.0.1:" + std::to_string(server.Port());
    ProcessResult run = RunProcess(
        {KELVANE_CLI_PATH, "-pk", "--jobs", "2", "--save-to", saveTo.Path(), server.Url("/")},
        [&](pid_t pid) {
          WaitUntil(
              [&] { return fs::exists(host + "/main.css") && fs::exists(host + "/~index.htm"); });
          for (int signal : row.signals)
            kill(pid, signal);
        });
    EXPECT_EQ(run.exitCode, 130) << run.err;
    EXPECT_TRUE(Contains(ReadFileBytes(host + "/~index.htm"), row.page));
    EXPECT_TRUE(Contains(run.err, row.summary)) << run.err;
  }
}

// Only the crawl's own files are rewritten; and a rerun with no option reads a converted copy as
// it was, asking for nothing that is not there.
TEST(OfflineCopy, ConversionKeepsToItsOwnCrawl) {
  SiteServer site;
  RawServer server(site.Handler());
  site.SetAll(ModernSite("127.0.0.1:" + std::to_string(server.Port())));
  site.Set("/other/", {"<a href=\"sub/\">sub</a>", "text/html"});
  site.Set("/other/sub/", {"sub", "text/html"});
  TempDir saveTo;
  ASSERT_EQ(Cli({"-p", "--save-to", saveTo.Path(), server.Url("/other/")}).exitCode, 0);
  const Tree other = Copy(saveTo.Path());
  ASSERT_EQ(Cli({"-pk", "--save-to", saveTo.Path(), server.Url("/site/")}).exitCode, 0);
  const Tree both = Copy(saveTo.Path());
  for (const auto& [path, bytes] : other)
    EXPECT_EQ(both.at(path), bytes) << path;

  // A file of an earlier crawl keeps its name, which that crawl's converted pages link to: the
  // page named like another's copy takes a name beside it.
  TempDir named;
  ASSERT_EQ(Cli({"-pkE", "-l1", "--save-to", named.Path(), server.Url("/site/doc.html")}).exitCode,
            0);
  ASSERT_EQ(Cli({"-pkE", "--save-to", named.Path(), server.Url("/site/")}).exitCode, 0);
  const std::string host = named.Path() + "/127.0.0.1:" + std::to_string(server.Port());
  EXPECT_TRUE(Contains(ReadFileBytes(host + "/site/page.php?id=1.html"), "img/php.png"));
  EXPECT_TRUE(Contains(ReadFileBytes(host + "/site/page.php?id=1~2.html"), "img/named.png"));

  const size_t asked = server.Requests().size();
  Cli({"--save-to", saveTo.Path(), server.Url("/site/")});
  // Names made for the copy are never asked for: the pages were read with their own addresses.
  const std::vector<std::string> lines = server.RequestLines();
  for (size_t i = asked; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].find("%3F"), std::string::npos) << lines[i];
    EXPECT_EQ(lines[i].find("~index.htm"), std::string::npos) << lines[i];
  }
}

// A page stored as "a.php.html" beside a directory "a.php" is found again under its new name; and
// with no validators from the server, an answer that is the copy byte for byte counts as unchanged
// and the copy is not written again.
TEST(OfflineCopy, RerunsFindAdjustedNamesAndKeepIdenticalAnswers) {
  RawServer server([](int fd, const std::string& request) {
    const bool page = !request.starts_with("GET /s/a.php/b.png ");
    const std::string body = page ? "<img src=\"a.php/b.png\">" : "png";
    SendAll(fd, std::string("HTTP/1.0 200 OK\r\nContent-Type: ") +
                    (page ? "text/html" : "image/png") +
                    "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
  });
  TempDir saveTo;
  const std::string url = server.Url("/s/a.php");
  ASSERT_EQ(Cli({"-pE", "--save-to", saveTo.Path(), url}).exitCode, 0);
  const std::string page =
      saveTo.Path() + "/127.0.0.1:" + std::to_string(server.Port()) + "/s/a.php.html";
  ASSERT_TRUE(
      fs::is_directory(saveTo.Path() + "/127.0.0.1:" + std::to_string(server.Port()) + "/s/a.php"));
  ProcessResult again = Cli({"-pE", "--save-to", saveTo.Path(), url});
  EXPECT_TRUE(Contains(again.err, ", 0 stored, ")) << again.err;

  const auto written = fs::last_write_time(page);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ProcessResult update = Cli({"-pEN", "--save-to", saveTo.Path(), url});
  EXPECT_EQ(update.exitCode, 0) << update.err;
  EXPECT_TRUE(Contains(update.err, "2 unchanged, 0 updated, 0 new, 0 gone\n")) << update.err;
  EXPECT_EQ(fs::last_write_time(page), written);
}

// Clean addresses: a last part without a dot names a file, a directory's page its index, one
// address sent on to its "/" the same file; a page whose name a directory has keeps its content
// beside it, whichever came first, as does every address whose name another has (with -nd, many).
// Any job count makes the same copy, and a rerun finds it.
TEST(OfflineCopy, CleanAddressesNameFilesByTheirLastPart) {
  SiteServer site(CleanSite());
  site.TryFiles(true);
  RawServer server(site.Handler());
  const std::string host = "127.0.0.1:" + std::to_string(server.Port()) + "/";
  const std::vector<std::string> assets = {"assets/bg.png", "assets/logo.png", "assets/pic.png",
                                           "assets/site.css", "download/tool-linux"};
  struct Row {
    std::vector<std::string> options;
    std::vector<std::string> names;  // with the assets' where directories are made
    const char* docsLink;            // in the start page, to /docs
  } rows[] = {
      {{"-pkE"},
       {"home.html", "docs.html", "docs/intro.html", "docs/setup.html", "blog.html",
        "blog/2024/hello.html", "blog/~index.htm", "guide/start.html", "guide/~index.htm",
        "guide/~index~2.htm"},
       "href=\"docs.html\""},
      {{"-pk"},
       {"home", "docs~2", "docs/intro", "docs/setup", "blog~2", "blog/2024/hello",
        "blog/~index.htm", "guide/start", "guide/~index.htm", "guide/~index~2.htm"},
       "href=\"docs~2\""},
      // Three pages named ~index.htm, in the order of their addresses.
      {{"-pk", "-nd"},
       {"home", "docs", "intro", "setup", "blog", "hello", "start", "~index.htm", "~index~2.htm",
        "~index~3.htm", "bg.png", "logo.png", "pic.png", "site.css", "tool-linux"},
       "href=\"docs\""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.options.back());
    const bool flat = row.options.back() == "-nd";
    TempDir one, four;
    for (const auto& [saveTo, jobs] : {std::pair{one.Path(), "1"}, std::pair{four.Path(), "4"}}) {
      std::vector<std::string> args = row.options;
      args.insert(args.end(), {"--jobs", jobs, "--save-to", saveTo, server.Url("/home")});
      ProcessResult run = Cli(args);
      EXPECT_EQ(run.exitCode, 0) << run.err;
    }
    const Tree copy = Copy(one.Path());
    EXPECT_EQ(copy, Copy(four.Path()));
    const std::string root = flat ? std::string() : host;
    std::set<std::string> names;
    for (const auto& [path, bytes] : copy)
      names.insert(path.substr(root.size()));
    std::set<std::string> expected(row.names.begin(), row.names.end());
    if (!flat)
      expected.insert(assets.begin(), assets.end());
    EXPECT_EQ(names, expected);
    EXPECT_EQ(copy.at(root + (flat ? "tool-linux" : "download/tool-linux")),
              CleanSite().at("/download/tool-linux").body);
    EXPECT_NE(copy.at(root + row.names[0]).find(row.docsLink), std::string::npos);
    for (const char* update : {"", "-N"}) {
      std::vector<std::string> args = row.options;
      args.insert(args.end(), {update, "--save-to", one.Path(), server.Url("/home")});
      args.erase(std::remove(args.begin(), args.end(), std::string()), args.end());
      ProcessResult again = Cli(args);
      EXPECT_TRUE(Contains(again.err, ", 0 stored, ")) << again.err;
      EXPECT_EQ(Copy(one.Path()), copy);
    }
  }
}

// Without -p too, a name -E makes (p.php?id=1 as p.php?id=1.html) never takes another address's
// own: each page keeps a file, the same at any job count.
TEST(OfflineCopy, AdjustedNamesKeepToTheirAddressesAtAnyJobs) {
  SiteServer site({
      {"/e/", {"<a href=\"p.php?id=1\">1</a> <a href=\"p.php?id=1.html\">2</a>", "text/html"}},
      {"/e/p.php?id=1", {"<p>one</p>", "text/html"}},
      {"/e/p.php?id=1.html", {"<p>two</p>", "text/html"}},
  });
  RawServer server(site.Handler());
  TempDir one, four;
  for (const auto& [saveTo, jobs] : {std::pair{one.Path(), "1"}, std::pair{four.Path(), "4"}})
    EXPECT_EQ(Cli({"-E", "--jobs", jobs, "--save-to", saveTo, server.Url("/e/")}).exitCode, 0);
  const Tree copy = Copy(one.Path());
  EXPECT_EQ(copy, Copy(four.Path()));
  const std::string host = "127.0.0.1:" + std::to_string(server.Port()) + "/e/";
  EXPECT_EQ(copy.at(host + "p.php?id=1.html"), "<p>two</p>");
  EXPECT_EQ(copy.at(host + "p.php?id=1~2.html"), "<p>one</p>");
}

namespace {

// kelvane-cli --serve DIR: its process id and the address it prints; it runs until signalled.
struct Served {
  explicit Served(const std::string& directory) {
    const std::string command =
        std::string("echo $$; exec ") + KELVANE_CLI_PATH + " --serve '" + directory + "'";
    pipe = popen(command.c_str(), "r");
    char line[4096];
    if (pipe != nullptr && std::fgets(line, sizeof line, pipe) != nullptr)
      pid = std::atoi(line);
    if (pipe != nullptr && std::fgets(line, sizeof line, pipe) != nullptr)
      address = std::string(line, std::strcspn(line, "\n"));
  }
  ~Served() {
    if (pid > 0)
      kill(pid, SIGTERM);
    if (pipe != nullptr)
      exitStatus = pclose(pipe);
  }
  int Port() const { return std::atoi(address.c_str() + std::strlen("http://127.0.0.1:")); }
  FILE* pipe = nullptr;
  pid_t pid = 0;
  std::string address;
  int exitStatus = -1;
};

TEST(OfflineCopy, ServedCopyGivesItsOwnFilesAndNothingBeyond) {
  TempDir outside;
  WriteFileBytes(outside.Path() + "/secret", "not of the copy");
  TempDir copy;
  fs::create_directories(copy.Path() + "/site/sub");
  fs::create_directories(copy.Path() + "/.kelvane");
  WriteFileBytes(copy.Path() + "/site/index.html", "<script type=module src=m.mjs></script>");
  WriteFileBytes(copy.Path() + "/site/m.mjs", "export const a = 1;");
  WriteFileBytes(copy.Path() + "/site/data", "{}");
  WriteFileBytes(copy.Path() + "/site/a%41.txt", "a query's name");
  WriteFileBytes(copy.Path() + "/Kelvane.log", "not of the copy");
  WriteFileBytes(copy.Path() + "/.kelvane/records",
                 "site/index.html\ttext/html; charset=utf-8\thttp://h/\n"
                 "site/data\tapplication/json\thttp://h/data\n"
                 "h/x.json\tapplication/json\thttp://h/x.json\n");
  fs::create_symlink(outside.Path() + "/secret", copy.Path() + "/site/leak");
  fs::create_symlink(outside.Path(), copy.Path() + "/site/out");
  fs::create_symlink("../.kelvane/records", copy.Path() + "/site/records");
  fs::create_symlink("../Kelvane.log", copy.Path() + "/site/log");
  fs::create_directory_symlink("../.kelvane", copy.Path() + "/site/own");
  fs::create_hard_link(copy.Path() + "/.kelvane/records", copy.Path() + "/site/hard");
  fs::create_directories(copy.Path() + "/h");
  WriteFileBytes(copy.Path() + "/h/x.json", "[]");
  Served served(copy.Path());
  ASSERT_EQ(served.address.rfind("http://127.0.0.1:", 0), 0u) << served.address;
  EXPECT_TRUE(Contains(served.address, "/site/index.html")) << served.address;
  httplib::Client client("127.0.0.1", served.Port());
  const struct {
    const char* path;
    int status;
    const char* type;
  } rows[] = {
      {"/site/index.html", 200, "text/html; charset=utf-8"},
      {"/site/m.mjs", 200, "text/javascript"},  // a module script needs its type
      {"/site/data", 200, "application/json"},  // as recorded
      {"/site/", 200, "text/html; charset=utf-8"},
      {"/site", 301, ""},
      {"/.kelvane/records", 404, ""},
      {"//.kelvane/records", 404, ""},
      {"/%2f.kelvane/records", 404, ""},
      {"/Kelvane.log", 404, ""},
      {"/site/a%2541.txt", 200, "text/plain"},  // its name holds a "%": decoded once
      {"/site/../../secret", 404, ""},
      {"/site/%2e%2e/%2E%2E/secret", 404, ""},
      {"/site/leak", 404, ""},
      {"/site/out/secret", 404, ""},
      {"/site/records", 404, ""},  // a link in the copy to the crawl's own files
      {"/site/log", 404, ""},
      {"/site/own/", 404, ""},
      {"/site/hard", 404, ""},
      {"/site/nothing", 404, ""},
  };
  for (const auto& row : rows) {
    const httplib::Result answer = client.Get(row.path);
    ASSERT_TRUE(answer) << row.path;
    EXPECT_EQ(answer->status, row.status) << row.path;
    if (*row.type != '\0') {
      EXPECT_EQ(answer->get_header_value("Content-Type"), row.type) << row.path;
    }
    EXPECT_FALSE(Contains(answer->body, "not of the copy")) << row.path;
  }
  // Parts asked for are brought within the file; none left is said so.
  const struct {
    const char* range;
    int status;
    const char* body;
  } parts[] = {{"bytes=9999-", 416, ""}, {"bytes=-0", 416, ""}, {"bytes=1-999", 206, "}"}};
  for (const auto& part : parts) {
    const httplib::Result answer = client.Get("/site/data", {{"Range", part.range}});
    ASSERT_TRUE(answer) << part.range;
    EXPECT_EQ(answer->status, part.status) << part.range;
    EXPECT_EQ(answer->body, part.body) << part.range;
  }
  // An address a page's script built from "/" is looked for in its server's directory.
  const std::string page = "http://127.0.0.1:" + std::to_string(served.Port()) + "/h/page.html";
  const httplib::Result built = client.Get("/x.json", {{"Referer", page}});
  ASSERT_TRUE(built);
  EXPECT_EQ(built->status, 200);
  EXPECT_EQ(built->body, "[]");
  // Only 127.0.0.1 is listened on: another loopback address finds nothing there.
  httplib::Client elsewhere("127.0.0.2", served.Port());
  EXPECT_FALSE(elsewhere.Get("/site/index.html"));
}

}  // namespace
