// kelvane-cli's scope rules: depth, names, addresses and directories, each a rule of the crawl
// plan that every road asks; the same requests and files at one job and at four.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <set>
#include <thread>

#include "cli/cli_support.h"
#include "cli/scope_support.h"
#include "support/loopback_server.h"
#include "support/site_generator.h"
#include "support/temp_dir.h"

namespace {

const std::vector<std::pair<std::string, std::string>> kSite = {
    {"/site/",
     "<A HREF=\"a.htm\">a</A>\n<A HREF=\"b/\">b</A>\n<IMG SRC=\"img/x.gif\">\n"
     "<IMG SRC=\"img/y.png\">\n<A HREF=\"docs/d.htm\">d</A>\n<A HREF=\"skip/s.htm\">s</A>\n"
     "<A HREF=\"deep1.htm\">1</A>\n"},
    {"/site/a.htm", "<IMG SRC=\"img/a.gif\">"},
    {"/site/b/", "<A HREF=\"c.htm\">c</A>"},
    {"/site/b/c.htm", "c"},
    {"/site/img/x.gif", "GIF x"},
    {"/site/img/y.png", "PNG y"},
    {"/site/img/a.gif", "GIF a"},
    {"/site/docs/d.htm", "<IMG SRC=\"../img/z.jpg\">"},
    {"/site/img/z.jpg", "JPG z"},
    {"/site/skip/s.htm", "<A HREF=\"t.htm\">t</A>"},
    {"/site/skip/t.htm", "t"},
    {"/site/deep1.htm", "<A HREF=\"deep2.htm\">2</A>"},
    {"/site/deep2.htm", "<A HREF=\"deep3.htm\">3</A>"},
    {"/site/deep3.htm", "3"},
};

struct Case {
  std::vector<std::string> options;
  Paths requested;  // besides the start page
  Paths stored;
  int leftOut;
};

TEST(Scope, EachRuleTakesWhatItSays) {
  const Paths pages = {"a.htm",      "b/",        "b/c.htm",   "docs/d.htm", "skip/s.htm",
                       "skip/t.htm", "deep1.htm", "deep2.htm", "deep3.htm"};
  const Paths pictures = {"img/x.gif", "img/y.png", "img/a.gif", "img/z.jpg"};
  Paths all = pages;
  all.insert(pictures.begin(), pictures.end());
  auto storedAs = [](Paths paths) {
    Paths stored = {"~index.htm"};
    for (const std::string& path : paths)
      stored.insert(path.ends_with('/') ? path + "~index.htm" : path);
    return stored;
  };
  auto without = [](Paths paths, const Paths& gone) {
    for (const std::string& path : gone)
      paths.erase(path);
    return paths;
  };
  const std::vector<Case> cases = {
      {{"--level", "1"},
       {"a.htm", "b/", "img/x.gif", "img/y.png", "docs/d.htm", "skip/s.htm", "deep1.htm"},
       storedAs({"a.htm", "b/", "img/x.gif", "img/y.png", "docs/d.htm", "skip/s.htm", "deep1.htm"}),
       5},
      // What the pages of the last level need is fetched all the same.
      {{"-p", "-l1"},
       {"a.htm", "b/", "img/x.gif", "img/y.png", "docs/d.htm", "skip/s.htm", "deep1.htm",
        "img/a.gif", "img/z.jpg"},
       storedAs({"a.htm", "b/", "img/x.gif", "img/y.png", "docs/d.htm", "skip/s.htm", "deep1.htm",
                 "img/a.gif", "img/z.jpg"}),
       3},
      {{"-R", "*.gif,png"},
       {"a.htm", "b/", "b/c.htm", "docs/d.htm", "skip/s.htm", "skip/t.htm", "deep1.htm",
        "deep2.htm", "deep3.htm", "img/z.jpg"},
       storedAs({"a.htm", "b/", "b/c.htm", "docs/d.htm", "skip/s.htm", "skip/t.htm", "deep1.htm",
                 "deep2.htm", "deep3.htm", "img/z.jpg"}),
       3},
      // Pages whose names are not accepted are read for their links, and not stored.
      {{"--accept", "htm"},
       pages,
       Paths{"a.htm", "b/c.htm", "docs/d.htm", "skip/s.htm", "skip/t.htm", "deep1.htm", "deep2.htm",
             "deep3.htm"},
       4},
      {{"-X", "/site/skip"},
       without(all, {"skip/s.htm", "skip/t.htm"}),
       storedAs(without(all, {"skip/s.htm", "skip/t.htm"})),
       1},
      {{"--include-directories", "/site/docs,/site/img/"},
       {"img/x.gif", "img/y.png", "docs/d.htm", "img/z.jpg"},
       storedAs({"img/x.gif", "img/y.png", "docs/d.htm", "img/z.jpg"}),
       4},
      {{"--reject-regex", "img/[xy]\\."},
       without(all, {"img/x.gif", "img/y.png"}),
       storedAs(without(all, {"img/x.gif", "img/y.png"})),
       2},
  };
  RawServer server(SiteHandler(kSite));
  for (const Case& c : cases) {
    for (const char* jobs : {"1", "4"}) {
      SCOPED_TRACE(c.options[0] + " " + c.options.back() + " at " + jobs + " jobs");
      TempDir saveTo;
      std::vector<std::string> arguments = {"--jobs", jobs, "--save-to", saveTo.Path()};
      arguments.insert(arguments.end(), c.options.begin(), c.options.end());
      arguments.push_back(server.Url("/site/"));
      const size_t before = server.RequestLines().size();
      ProcessResult run = Cli(arguments);
      EXPECT_EQ(run.exitCode, 0) << run.err;
      // Past the start: with complete pages its one request, else the reachability test too.
      const bool pages = std::find(c.options.begin(), c.options.end(), "-p") != c.options.end();
      Paths requested = Requested(server, before + (pages ? 1 : 2));
      EXPECT_EQ(requested, c.requested);
      Paths stored =
          Stored(saveTo.Path() + "/127.0.0.1:" + std::to_string(server.Port()) + "/site");
      EXPECT_EQ(stored, c.stored);
      EXPECT_TRUE(Contains(
          run.err, "kelvane-cli: " + std::to_string(c.leftOut) + " left out by the rules\n"))
          << run.err;
    }
  }
}

TEST(Scope, RulesOfNoScopeChangeNothing) {
  RawServer server(SiteHandler(kSite));
  TempDir saveTo;
  ProcessResult run = Cli({"--save-to", saveTo.Path(), server.Url("/site/")});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_FALSE(Contains(run.err, "left out")) << run.err;
  EXPECT_EQ(Stored(saveTo.Path() + "/127.0.0.1:" + std::to_string(server.Port()) + "/site").size(),
            14u);
}

// robots.txt, read once per server when asked to: what it disallows is never asked for, a file
// the server does not have allows everything, and one it cannot give allows nothing but the start.
TEST(Scope, RobotsTxtIsReadOnceAndObeyed) {
  const struct {
    std::string robots;  // empty: a 404; "500": an error
    Paths requested;
    int leftOut;
  } cases[] = {
      {"User-agent: *\nDisallow: /site/skip/\nDisallow: /*.png$\n\nUser-agent: other\n"
       "Disallow: /\n",
       {"a.htm", "b/", "b/c.htm", "docs/d.htm", "deep1.htm", "deep2.htm", "deep3.htm", "img/x.gif",
        "img/a.gif", "img/z.jpg"},
       2},
      {"",
       {"a.htm", "b/", "b/c.htm", "docs/d.htm", "skip/s.htm", "skip/t.htm", "deep1.htm",
        "deep2.htm", "deep3.htm", "img/x.gif", "img/y.png", "img/a.gif", "img/z.jpg"},
       0},
      {"500", {}, 7},
  };
  for (const auto& c : cases) {
    std::vector<std::pair<std::string, std::string>> files = kSite;
    if (!c.robots.empty() && c.robots != "500")
      files.emplace_back("/robots.txt", c.robots);
    RawServer::Handler site = SiteHandler(files);
    RawServer server([&](int fd, const std::string& request) {
      if (c.robots == "500" && request.starts_with("GET /robots.txt "))
        return SendAll(fd, Answer(500, "busy"));
      site(fd, request);
    });
    for (const char* jobs : {"1", "4"}) {
      SCOPED_TRACE(c.robots.substr(0, 20) + " at " + jobs + " jobs");
      TempDir saveTo;
      const size_t before = server.RequestLines().size();
      ProcessResult run = Cli({"--robots", "--jobs", jobs, "--verbose", "--save-to", saveTo.Path(),
                               server.Url("/site/")});
      EXPECT_EQ(run.exitCode, 0) << run.err;
      std::vector<std::string> lines = server.RequestLines();
      lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(before));
      EXPECT_EQ(std::count(lines.begin(), lines.end(), "GET /robots.txt HTTP/1.0"), 1);
      Paths requested;
      for (const std::string& line : lines) {
        if (line.starts_with("GET /site/"))
          requested.insert(line.substr(10, line.rfind(' ') - 10));
      }
      requested.erase("");
      EXPECT_EQ(requested, c.requested);
      EXPECT_TRUE(Contains(
          run.err, "kelvane-cli: " + std::to_string(c.leftOut) + " left out by the rules\n"))
          << run.err;
    }
  }
  RawServer plain(SiteHandler(kSite));
  TempDir saveTo;
  Cli({"--save-to", saveTo.Path(), plain.Url("/site/")});
  for (const std::string& line : plain.RequestLines())
    EXPECT_FALSE(line.starts_with("GET /robots.txt")) << line;  // never without --robots
}

// With --robots, links a page asks crawlers not to follow are left out, by rel="nofollow" or by
// its meta robots, whichever reads the page; what a page needs is fetched all the same.
TEST(Scope, NofollowIsObeyedWithRobots) {
  RawServer server(SiteHandler({
      {"/n/", "<a href=\"a.htm\" rel=\"external nofollow\">a</a><a href=\"b.htm\">b</a>"},
      {"/n/a.htm", "a"},
      {"/n/b.htm",
       "<META NAME=robots CONTENT=\"noindex,nofollow\"><a href=\"c.htm\">c</a>"
       "<img src=\"b.png\">"},
      {"/n/b.png", "PNG"},
      {"/n/c.htm", "c"},
  }));
  for (const bool completePages : {true, false}) {
    for (const char* jobs : {"1", "4"}) {
      SCOPED_TRACE(std::string(completePages ? "-p" : "scanner") + " at " + jobs + " jobs");
      TempDir saveTo;
      const size_t before = server.RequestLines().size();
      std::vector<std::string> arguments = {"--robots",  "--jobs",      jobs,
                                            "--save-to", saveTo.Path(), server.Url("/n/")};
      if (completePages)
        arguments.insert(arguments.begin(), "-p");
      ProcessResult run = Cli(arguments);
      EXPECT_EQ(run.exitCode, 0) << run.err;
      const std::vector<std::string> lines = server.RequestLines();
      Paths requested;
      for (size_t i = before; i < lines.size(); ++i)
        requested.insert(lines[i].substr(4, lines[i].rfind(' ') - 4));
      EXPECT_EQ(requested, (Paths{"/robots.txt", "/n/", "/n/b.htm", "/n/b.png"}));
      EXPECT_TRUE(Contains(run.err, "kelvane-cli: 2 left out by the rules\n")) << run.err;
    }
  }
}

// With -p -H, what a page needs comes from other servers too, stored under their own
// directories and converted to them with -k; pages there are followed only on --domains, and
// --exclude-domains keeps a server out.
TEST(Scope, OtherServersWithSpanHosts) {
  RawServer other(
      SiteHandler({{"/pic.png", "PNG"}, {"/page.htm", "<img src=\"in.png\">"}, {"/in.png", "IN"}}));
  const std::string elsewhere = "127.0.0.1:" + std::to_string(other.Port());
  RawServer server(
      SiteHandler({{"/p/", "<img src=\"http://" + elsewhere + "/pic.png\"><a href=\"http://" +
                               elsewhere + "/page.htm\">x</a>"}}));
  const struct {
    std::vector<std::string> options;
    Paths fromOther;
  } cases[] = {
      {{"-pk"}, {}},
      {{"-pkH"}, {"pic.png"}},
      {{"-pkH", "-D", "127.0.0.1"}, {"pic.png", "page.htm", "in.png"}},
      {{"-pkH", "--exclude-domains", "0.0.1"}, {}},
  };
  for (const auto& c : cases) {
    for (const char* jobs : {"1", "4"}) {
      SCOPED_TRACE(c.options.back() + " at " + jobs + " jobs");
      TempDir saveTo;
      std::vector<std::string> arguments = {"--jobs", jobs, "--save-to", saveTo.Path()};
      arguments.insert(arguments.end(), c.options.begin(), c.options.end());
      arguments.push_back(server.Url("/p/"));
      ProcessResult run = Cli(arguments);
      EXPECT_EQ(run.exitCode, 0) << run.err;
      EXPECT_EQ(Stored(saveTo.Path() + "/" + elsewhere), c.fromOther);
      const std::string page = ReadFileBytes(
          saveTo.Path() + "/127.0.0.1:" + std::to_string(server.Port()) + "/p/~index.htm");
      EXPECT_EQ(Contains(page, "src=\"../../" + elsewhere + "/pic.png\""),
                c.fromOther.count("pic.png") == 1)
          << page;
    }
  }
}

}  // namespace
