// kelvane-cli's scope rules where answers move a request, where addresses are written oddly,
// and where pages lie at several depths: the same requests and files at one job and at four.
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
