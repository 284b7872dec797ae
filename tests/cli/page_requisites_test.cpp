// kelvane-cli --page-requisites: a page written the way pages are written today is copied whole.
#include <gtest/gtest.h>

#include <map>

#include "cli/cli_support.h"
#include "support/loopback_server.h"
#include "support/site_generator.h"
#include "support/temp_dir.h"

namespace {

// Every kind of reference, on a page and in stylesheets, in mixed case, quoted and not, over two
// lines, root- and protocol-relative, under a <base>, with a fragment; and what must not be
// fetched: a page above the start directory and another server.
std::map<std::string, std::string> Site(int port) {
  const std::string server = "127.0.0.1:" + std::to_string(port);
  std::map<std::string, std::string> site = {
      {"/docs/",
       "<!DOCTYPE html>\n<HTML><HEAD><base href=\"/docs/\">"
       "<LINK REL=stylesheet HREF=\"css/site.css\"><link rel=\"icon\" href=\"/favicon.ico\">\n"
       "<link rel=preload href=font.woff2><script src=\"//" +
           server +
           "/lib/app.js\"></script>\n"
           "<style>@import \"css/extra.css\"; .h { background: url(img/h.png) }</style></HEAD>\n"
           "<BODY BACKGROUND=img/body.gif>\n"
           "<img src=img/a.gif srcset=\"img/a2.gif 2x, img/a3.gif 3x\">\n"
           "<picture><source srcset=\"img/p.webp\"><img src=\"img/p.jpg\"></picture>\n"
           "<video src=\"media/v.mp4\" poster=\"media/poster.jpg\"><track src=\"media/sub.vtt\">"
           "</video>\n<audio src=media/a.ogg></audio><embed src=media/e.swf>"
           "<object data=\"media/o.svg\"></object>\n<input type=image src=\"img/button.png\">\n"
           "<div style=\"background:url('img/div.png')\"></div>\n<IMG\n  "
           "SRC=\"img/two&amp;lines.gif\">\n"
           "<a href=\"page2.htm#section\">next</a> <a href=\"../outside.htm\">up</a>\n"
           "<a href=\"http://elsewhere.invalid/x.htm\">away</a><img "
           "src=\"http://elsewhere.invalid/y.gif\">\n"
           "</BODY></HTML>\n"},
      {"/docs/css/site.css",
       "@import url(base.css);\nbody { background: url(../img/from-css.png) }\n"},
      {"/docs/css/base.css", "p { background: url(\"/shared/deep.png\") }\n"},
      {"/docs/css/extra.css", ".x { background: url(extra.png) }\n"},
      {"/docs/page2.htm", "<img src=img/page2.gif>"},
      {"/outside.htm", "not to be fetched"},
  };
  for (const char* file : {"/docs/css/extra.png",
                           "/docs/img/h.png",
                           "/docs/img/body.gif",
                           "/docs/img/a.gif",
                           "/docs/img/a2.gif",
                           "/docs/img/a3.gif",
                           "/docs/img/p.webp",
                           "/docs/img/p.jpg",
                           "/docs/media/v.mp4",
                           "/docs/media/poster.jpg",
                           "/docs/media/sub.vtt",
                           "/docs/media/a.ogg",
                           "/docs/media/e.swf",
                           "/docs/media/o.svg",
                           "/docs/img/button.png",
                           "/docs/img/div.png",
                           "/docs/img/two&lines.gif",
                           "/docs/img/page2.gif",
                           "/docs/img/from-css.png",
                           "/docs/font.woff2",
                           "/favicon.ico",
                           "/lib/app.js",
                           "/shared/deep.png"}) {
    site[file] = std::string("bytes of ") + file;
  }
  return site;
}

// Answers from the site as it stands when the request comes; unknown paths with 404.
RawServer::Handler Serve(const std::map<std::string, std::string>& site) {
  return [&site](int fd, const std::string& request) {
    const std::string path = request.substr(4, request.find(' ', 4) - 4);
    auto found = site.find(path);
    SendAll(fd, found == site.end() ? Answer(404, "missing") : Answer(200, found->second));
  };
}

TEST(PageRequisites, AModernPageIsCopiedWhole) {
  std::map<std::string, std::string> site;
  RawServer server(Serve(site));
  site = Site(server.Port());
  for (const char* jobs : {"1", "4"}) {
    SCOPED_TRACE(jobs);
    TempDir saveTo;
    ProcessResult run =
        Cli({"-p", "--jobs", jobs, "--save-to", saveTo.Path(), server.Url("/docs/")});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const std::string host = "127.0.0.1:" + std::to_string(server.Port());
    Tree expected;
    for (const auto& [path, bytes] : site) {
      if (path == "/outside.htm")
        continue;
      std::string local = host + path;
      if (local.ends_with("/"))
        local += "~index.htm";
      expected[local] = bytes;
    }
    Tree stored = ReadTree(saveTo.Path());
    stored.erase("Kelvane.log");
    EXPECT_EQ(stored.erase(".kelvane/records"), 1u);  // what each stored file is, for reruns
    EXPECT_EQ(stored.size(), 28u);
    for (const auto& [path, bytes] : expected) {
      auto got = stored.find(path);
      if (got == stored.end())
        ADD_FAILURE() << "missing " << path;
      else
        EXPECT_EQ(got->second, bytes) << path;
    }
    for (const std::string& request : server.RequestLines())
      EXPECT_EQ(request.find("outside"), std::string::npos) << request;

    // A rerun reads the stored pages and stylesheets for their links and fetches nothing.
    ProcessResult again =
        Cli({"-p", "--jobs", jobs, "--save-to", saveTo.Path(), server.Url("/docs/")});
    EXPECT_EQ(again.exitCode, 0) << again.err;
    EXPECT_TRUE(Contains(again.err, ", 0 stored, 28 from earlier copies, 0 not saved, "))
        << again.err;
  }
}

// Without the option the crawl reads pages with the link scanner alone.
TEST(PageRequisites, OffByDefault) {
  std::map<std::string, std::string> site;
  RawServer server(Serve(site));
  site = Site(server.Port());
  TempDir saveTo;
  ProcessResult run = Cli({"--save-to", saveTo.Path(), server.Url("/docs/")});
  Tree stored = ReadTree(saveTo.Path());
  EXPECT_LT(stored.size(), 10u) << run.err;
  EXPECT_EQ(stored.count("127.0.0.1:" + std::to_string(server.Port()) + "/docs/css/site.css"), 0u);
}

}  // namespace
