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
#include "support/loopback_server.h"
#include "support/site_generator.h"
#include "support/temp_dir.h"

namespace {

using Paths = std::set<std::string>;

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

// Paths below /site/, as the server sees them and as the copy stores them.
Paths Requested(const RawServer& server, size_t from) {
  Paths paths;
  const std::vector<std::string> lines = server.RequestLines();
  for (size_t i = from; i < lines.size(); ++i)
    paths.insert(lines[i].substr(4 + 6, lines[i].rfind(' ') - 10));
  return paths;
}

Paths Stored(const std::string& root) {
  Paths paths;
  if (!std::filesystem::exists(root))
    return paths;
  for (const auto& [path, bytes] : ReadTree(root))
    paths.insert(path);
  return paths;
}

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
      Paths requested = Requested(server, before + 2);  // past the reachability test and start
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

}  // namespace

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

// A redirect is followed only where a link would go: not into an excluded directory nor where
// robots.txt forbids; an address written with escapes is the address the server reads; and
// what a page of the last level needs is fetched however it is referred to.
TEST(Scope, RedirectsEscapesAndRequisitesMeetTheSameRules) {
  RawServer::Handler site = SiteHandler({
      {"/",
       "<a href=\"moved.htm\">m</a><a href=\"%70rivate/z.htm\">z</a><a href=\"page.htm\">p</a>"},
      {"/private/x.htm", "x"},
      {"/private/z.htm", "z"},
      {"/robots.txt", "User-agent: *\nDisallow: /private/\n"},
      {"/page.htm",
       "<a href=\"pic.png\"><img src=\"pic.png\"></a><a href=\"deeper.htm\">d</a>"
       "<link rel=stylesheet href=\"s.css\">"},
      {"/pic.png", "PNG"},
      {"/s.css", "body { background: url(bg.png) }"},
      {"/bg.png", "BG"},
      {"/deeper.htm", "d"},
  });
  RawServer server([&](int fd, const std::string& request) {
    if (request.starts_with("GET /moved.htm "))
      return SendAll(fd, Answer(302, "", "Location: /private/x.htm\r\n"));
    site(fd, request);
  });
  for (const std::vector<std::string>& rules :
       {std::vector<std::string>{"-X", "/private"}, std::vector<std::string>{"--robots"}}) {
    for (const char* jobs : {"1", "4"}) {
      SCOPED_TRACE(rules[0] + " at " + jobs + " jobs");
      TempDir saveTo;
      std::vector<std::string> arguments = {"-p", "-l",        "1",          "--jobs",
                                            jobs, "--save-to", saveTo.Path()};
      arguments.insert(arguments.end(), rules.begin(), rules.end());
      arguments.push_back(server.Url("/"));
      const size_t before = server.RequestLines().size();
      ProcessResult run = Cli(arguments);
      // moved.htm leads where the rule leaves links out: left out as a link there would be.
      EXPECT_EQ(run.exitCode, 0) << run.err;
      EXPECT_TRUE(Contains(run.err, "kelvane-cli: 3 left out by the rules\n")) << run.err;
      const std::vector<std::string> lines = server.RequestLines();
      Paths requested;
      for (size_t i = before; i < lines.size(); ++i)
        requested.insert(lines[i].substr(4, lines[i].rfind(' ') - 4));
      Paths expected = {"/", "/moved.htm", "/page.htm", "/pic.png", "/s.css", "/bg.png"};
      if (rules[0] == "--robots")
        expected.insert("/robots.txt");
      EXPECT_EQ(requested, expected);
    }
  }
}

namespace {

// Each page is judged at its least depth, whatever order the pages come in: the longer way to
// p/ (through two directories, which the plain order takes first, as they are no .htm pages)
// and a slow a.htm on the shorter way leave it two links deep, so that q.htm is three links
// deep at one job and four.
TEST(Scope, DepthIsTheShortestWayAtEveryJobCount) {
  RawServer::Handler site = SiteHandler({
      {"/d/", "<A HREF=\"a.htm\">a</A>\n<A HREF=\"b/\">b</A>\n"},
      {"/d/a.htm", "<A HREF=\"p/\">p</A>\n"},
      {"/d/b/", "<A HREF=\"c/\">c</A>\n"},
      {"/d/b/c/", "<A HREF=\"../../p/\">p</A>\n"},
      {"/d/p/", "<A HREF=\"q.htm\">q</A>\n"},
      {"/d/p/q.htm", "<A HREF=\"r.htm\">r</A>\n"},
      {"/d/p/r.htm", "r"},
  });
  RawServer server([&](int fd, const std::string& request) {
    if (request.starts_with("GET /d/a.htm "))
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    site(fd, request);
  });
  for (const char* jobs : {"1", "4"}) {
    SCOPED_TRACE(jobs);
    TempDir saveTo;
    const size_t before = server.RequestLines().size();
    ProcessResult run =
        Cli({"-l", "3", "--jobs", jobs, "--save-to", saveTo.Path(), server.Url("/d/")});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const std::vector<std::string> lines = server.RequestLines();
    Paths requested;
    for (size_t i = before + 2; i < lines.size(); ++i)
      requested.insert(lines[i].substr(7, lines[i].rfind(' ') - 7));  // below "GET /d/"
    EXPECT_EQ(requested, (Paths{"a.htm", "b/", "b/c/", "p/", "p/q.htm"}));
    EXPECT_TRUE(Contains(run.err, "kelvane-cli: 1 left out by the rules\n")) << run.err;
  }
}

// -H alone takes what pages need from other servers, not their pages: a link that is
// redirected there is a page all the same, left out as a link there would be; a picture
// redirected there is taken.
TEST(Scope, RedirectToAnotherServerIsJudgedAsItsLink) {
  RawServer other(SiteHandler({{"/page.htm", "elsewhere"}, {"/pic.png", "PNG"}}));
  const std::string elsewhere = "127.0.0.1:" + std::to_string(other.Port());
  RawServer::Handler site =
      SiteHandler({{"/r/", "<a href=\"go.htm\">go</a><img src=\"pic.png\">"}});
  RawServer server([&](int fd, const std::string& request) {
    if (request.starts_with("GET /r/go.htm "))
      return SendAll(fd, Answer(302, "", "Location: http://" + elsewhere + "/page.htm\r\n"));
    if (request.starts_with("GET /r/pic.png "))
      return SendAll(fd, Answer(302, "", "Location: http://" + elsewhere + "/pic.png\r\n"));
    site(fd, request);
  });
  const struct {
    std::vector<std::string> options;
    int leftOut;
    Paths fromOther;
  } cases[] = {
      {{"-pH"}, 1, {"/pic.png"}},
      {{"-pH", "-D", "127.0.0.1"}, 0, {"/page.htm", "/pic.png"}},
  };
  for (const auto& c : cases) {
    for (const char* jobs : {"1", "4"}) {
      SCOPED_TRACE(c.options.back() + " at " + jobs + " jobs");
      TempDir saveTo;
      const size_t before = other.RequestLines().size();
      std::vector<std::string> arguments = {"--jobs", jobs, "--save-to", saveTo.Path()};
      arguments.insert(arguments.end(), c.options.begin(), c.options.end());
      arguments.push_back(server.Url("/r/"));
      ProcessResult run = Cli(arguments);
      EXPECT_EQ(run.exitCode, 0) << run.err;
      EXPECT_TRUE(Contains(
          run.err, "kelvane-cli: " + std::to_string(c.leftOut) + " left out by the rules\n"))
          << run.err;
      const std::vector<std::string> lines = other.RequestLines();
      Paths requested;
      for (size_t i = before; i < lines.size(); ++i)
        requested.insert(lines[i].substr(4, lines[i].rfind(' ') - 4));
      EXPECT_EQ(requested, c.fromOther);
      const Paths stored = Stored(saveTo.Path() + "/127.0.0.1:" + std::to_string(server.Port()));
      EXPECT_EQ(stored.count("r/go.htm"), c.fromOther.count("/page.htm")) << run.err;
    }
  }
}

}  // namespace

namespace {

// Every request of a server since a point, by path.
Paths RequestedSince(const RawServer& server, size_t from) {
  Paths paths;
  const std::vector<std::string> lines = server.RequestLines();
  for (size_t i = from; i < lines.size(); ++i)
    paths.insert(lines[i].substr(4, lines[i].rfind(' ') - 4));
  return paths;
}

// Addresses written the ways a server reads alike (a doubled "/", escapes, a raw UTF-8
// robots.txt pattern) meet the rules as the server reads them; a page rejected by name is read
// for its links whatever the letter case of its name.
TEST(Scope, AddressesMeetTheRulesAsTheServerReadsThem) {
  RawServer site(SiteHandler({
      {"/h/",
       "<a href=\"/h//x/b.htm\">b</a><a href=\"x//d.htm\">d</a>"
       "<a href=\"~joe/j.htm\">j</a><a href=\"f%C3%B6o/u.htm\">u</a>"
       "<a href=\"A%2fB.htm\">a</a><a href=\"P.HTML\">p</a><a href=\"a//b.htm\">ab</a>"},
      {"/h/x/b.htm", "b"},
      {"/h/x/d.htm", "d"},
      {"/h/~joe/j.htm", "j"},
      {"/h/f%C3%B6o/u.htm", "u"},
      {"/h/A%2fB.htm", "a"},
      {"/h/P.HTML", "<img src=\"p.gif\">"},
      {"/h/p.gif", "GIF"},
      {"/robots.txt",
       "User-agent: *\nDisallow: /h/%7Ejoe/\nDisallow: /h/f\xC3\xB6o/\n"
       "Disallow: /h/A%2fB\nDisallow: /h/a//b\n"},
  }));
  const std::string siteHost = "127.0.0.1:" + std::to_string(site.Port());
  const struct {
    std::vector<std::string> options;
    std::set<std::string> never;   // paths the server must not see
    std::set<std::string> always;  // paths it must see
  } cases[] = {
      {{"-X", "/h/x"}, {"/h/x/b.htm", "/h/x/d.htm"}, {"/h/P.HTML"}},
      {{"-p", "-X", "/h/x"}, {"/h/x/b.htm", "/h/x/d.htm"}, {"/h/P.HTML", "/h/p.gif"}},
      {{"--robots"},
       {"/h/~joe/j.htm", "/h/f%C3%B6o/u.htm", "/h/A%2fB.htm", "/h/a//b.htm"},
       {"/h/P.HTML"}},
      {{"-p", "-A", "gif"}, {"/h/x/b.htm"}, {"/h/P.HTML", "/h/p.gif"}},
  };
  for (const auto& c : cases) {
    for (const char* jobs : {"1", "4"}) {
      SCOPED_TRACE(c.options.back() + " at " + jobs + " jobs");
      TempDir saveTo;
      std::vector<std::string> arguments = {"--jobs", jobs, "--save-to", saveTo.Path()};
      arguments.insert(arguments.end(), c.options.begin(), c.options.end());
      arguments.push_back("http://" + siteHost + "/h/");
      const size_t before = site.RequestLines().size();
      ProcessResult run = Cli(arguments);
      const Paths requested = RequestedSince(site, before);
      for (const std::string& path : c.never)
        EXPECT_EQ(requested.count(path), 0u) << path << "\n" << run.err;
      for (const std::string& path : c.always)
        EXPECT_EQ(requested.count(path), 1u) << path << "\n" << run.err;
      EXPECT_FALSE(std::filesystem::exists(saveTo.Path() + "/" + siteHost + "/h/x"));
    }
  }
}

// A page that is linked once with rel="nofollow" and once without is followed by both readers;
// a redirect to another server's page that its robots.txt disallows is not followed, though
// that file is read only once the redirect asks for it, at each step of a chain over three
// servers; a redirect to another scheme is refused once; a page redirected to a rejected name
// is not stored; a server out of reach is its files' failure alone; the same requests, files
// and counts at one job and four.
TEST(Scope, RedirectsNofollowAndUnreachableServersAtEveryJobCount) {
  RawServer third(
      SiteHandler({{"/y.htm", "why"}, {"/robots.txt", "User-agent: *\nDisallow: /private\n"}}));
  RawServer::Handler otherFiles = SiteHandler(
      {{"/priv/x.htm", "secret"}, {"/robots.txt", "User-agent: *\nDisallow: /priv/\n"}});
  RawServer other([&](int fd, const std::string& request) {
    if (request.starts_with("GET /hop.htm "))
      return SendAll(fd, Answer(302, "", "Location: " + third.Url("/y.htm") + "\r\n"));
    otherFiles(fd, request);
  });
  const std::string elsewhere = "127.0.0.1:" + std::to_string(other.Port());
  RawServer::Handler pages = SiteHandler({
      {"/r/",
       "<a rel=\"nofollow\" href=\"a.htm\">a</a> <a href=\"a.htm\">a</a>\n"
       "<a href=\"go.htm\">g</a> <a href=\"far.htm\">f</a> <a href=\"mv.htm\">m</a>\n"
       "<a href=\"hop.htm\">h</a> <a href=\"ftp.htm\">f</a>\n"
       "<img src=\"http://127.0.0.1:1/u.png\">\n"},
      {"/r/a.htm", "a"},
      {"/r/far.htm", "far"},
  });
  RawServer server([&](int fd, const std::string& request) {
    const std::map<std::string, std::string> moved = {
        {"GET /r/go.htm ", "http://" + elsewhere + "/priv/x.htm"},
        {"GET /r/mv.htm ", "/r/far.htm"},
        {"GET /r/hop.htm ", "http://" + elsewhere + "/hop.htm"},
        {"GET /r/ftp.htm ", "ftp://127.0.0.1:1/x"},
    };
    for (const auto& [start, target] : moved) {
      if (!request.starts_with(start))
        continue;
      // Both ways to the other server are in transfer together with several jobs: the second
      // finds its robots.txt read by the first.
      if (target.find(elsewhere) != std::string::npos)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      return SendAll(fd, Answer(302, "", "Location: " + target + "\r\n"));
    }
    pages(fd, request);
  });
  const struct {
    std::vector<std::string> options;
    Paths stored;
  } cases[] = {
      {{"--robots"}, {"~index.htm", "a.htm", "far.htm", "mv.htm", "hop.htm"}},
      {{"-p", "-H", "-D", "127.0.0.1", "--robots", "-R", "far.htm"},
       {"~index.htm", "a.htm", "hop.htm"}},
  };
  for (const auto& c : cases) {
    std::set<std::string> summaries;
    for (const char* jobs : {"1", "4"}) {
      SCOPED_TRACE(c.options[0] + " at " + jobs + " jobs");
      TempDir saveTo;
      const size_t before = other.RequestLines().size();
      const size_t sent = server.RequestLines().size();
      std::vector<std::string> arguments = {"--jobs", jobs, "--save-to", saveTo.Path()};
      arguments.insert(arguments.end(), c.options.begin(), c.options.end());
      arguments.push_back(server.Url("/r/"));
      ProcessResult run = Cli(arguments);
      EXPECT_EQ(RequestedSince(other, before).count("/priv/x.htm"), 0u) << run.err;
      EXPECT_EQ(Stored(saveTo.Path() + "/127.0.0.1:" + std::to_string(server.Port()) + "/r"),
                c.stored)
          << run.err;
      const std::vector<std::string> lines = server.RequestLines();
      EXPECT_EQ(std::count_if(
                    lines.begin() + static_cast<std::ptrdiff_t>(sent), lines.end(),
                    [](const std::string& line) { return line.starts_with("GET /r/ftp.htm "); }),
                1);
      if (c.options[0] == "-p") {
        // The picture's server is out of reach: not saved, and the crawl goes on.
        EXPECT_EQ(run.exitCode, 4) << run.err;
        EXPECT_TRUE(Contains(run.err, ", 1 not saved, ")) << run.err;
      }
      const size_t counts = run.err.find(" queued, ");
      const size_t time = run.err.find(" bytes received, ");
      if (counts != std::string::npos && time != std::string::npos)
        summaries.insert(run.err.substr(counts, time - counts));
    }
    EXPECT_EQ(summaries.size(), 1u) << ::testing::PrintToString(summaries);
  }
}

// The start address is always fetched: redirected to a server the rules keep out, it is not
// saved, as without them, and no rule's leaving out.
TEST(Scope, StartRedirectedOutsideIsNotSaved) {
  RawServer other(SiteHandler({{"/", "elsewhere"}}));
  RawServer server([&](int fd, const std::string&) {
    SendAll(fd, Answer(302, "", "Location: " + other.Url("/") + "\r\n"));
  });
  for (const char* jobs : {"1", "4"}) {
    TempDir saveTo;
    ProcessResult run = Cli({"-pH", "--jobs", jobs, "--save-to", saveTo.Path(), server.Url("/")});
    EXPECT_EQ(run.exitCode, 8) << run.err;
    EXPECT_TRUE(Contains(run.err, "kelvane-cli: 0 left out by the rules\n")) << run.err;
  }
}

}  // namespace
