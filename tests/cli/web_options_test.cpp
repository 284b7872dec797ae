// kelvane-cli with the conventions scripts that copy sites rely on: names from
// Content-Disposition, originals kept beside converted pages, https alone across servers,
// start addresses from a file, and file times from the server.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <functional>

#include "cli/cli_support.h"
#include "support/loopback_server.h"
#include "support/site_generator.h"
#include "support/temp_dir.h"

namespace {

constexpr const char* kModified = "Mon, 07 Dec 2026 10:00:00 GMT";

int64_t ModifiedSeconds(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? static_cast<int64_t>(info.st_mtime) : -1;
}

TEST(WebOptions, EachOptionDoesWhatItsNameSays) {
  std::atomic<int> otherRequests{0};
  RawServer other([&](int fd, const std::string&) {
    ++otherRequests;
    SendAll(fd, Answer(200, "png", "Content-Type: image/png\r\n"));
  });
  const std::string page = "<a href=\"a\">a</a><img src=\"dl?id=7\"><img src=\"" +
                           other.Url("/x.png") + "\"><a href=\"~index.htm.orig\">o</a>";
  // Every answer is whole, conditions or not, and as old as kModified.
  RawServer server([&](int fd, const std::string& request) {
    const std::string dated = std::string("Last-Modified: ") + kModified + "\r\n";
    if (request.starts_with("GET / "))
      SendAll(fd, Answer(200, page, "Content-Type: text/html\r\n" + dated));
    else if (request.starts_with("GET /dl?id=7 "))
      SendAll(fd,
              Answer(200, "tarball",
                     "Content-Disposition: attachment; filename=\"../tool.tar.gz\"\r\n" + dated));
    else
      SendAll(fd, Answer(200, "<p>" + request.substr(5, 1) + "</p>",
                         "Content-Type: text/html\r\n" + dated));
  });
  TempDir files;
  const std::string list = files.Path() + "/starts.txt";
  WriteFileBytes(list, "  " + server.Url("/a") + "\n# not an address\n\nftp://127.0.0.1/x\n" +
                           "not a url\nhttp://\nhttp://exa mple.com/\njavascript:void(0)\n" +
                           server.Url("/b") + "\r\n");
  std::tm day{};
  strptime(kModified, "%a, %d %b %Y %H:%M:%S", &day);
  const int64_t modified = timegm(&day);
  using Host = const std::string&;
  const struct {
    std::vector<std::string> options;
    std::function<void(Host host, const ProcessResult& run)> check;
  } rows[] = {
      {{"-p", "--content-disposition"},
       [](Host host, const ProcessResult&) {
         EXPECT_EQ(ReadFileBytes(host + "/tool.tar.gz"), "tarball");
         EXPECT_EQ(ReadTree(host).count("dl?id=7"), 0u);
       }},
      {{"-pk", "-K"},
       [&](Host host, const ProcessResult&) {
         // The site has a file of the backup's name: the backup takes the next.
         EXPECT_EQ(ReadFileBytes(host + "/~index.htm.orig"), "<p>~</p>");
         EXPECT_EQ(ReadFileBytes(host + "/~index.htm.orig~2"), page);
         EXPECT_TRUE(Contains(ReadFileBytes(host + "/~index.htm"), "href=\"a\""));
       }},
      {{"-pH", "--https-only"},
       [&](Host, const ProcessResult&) { EXPECT_EQ(otherRequests.load(), 0); }},
      {{"-p", "-i", list},
       [](Host host, const ProcessResult& run) {
         EXPECT_EQ(ReadFileBytes(host + "/a"), "<p>a</p>");
         EXPECT_EQ(ReadFileBytes(host + "/b"), "<p>b</p>");
         EXPECT_EQ(Count(run.err, " stored, "), 1u) << run.err;  // one crawl, one summary
         // Each line that is no address is named and left out; the others are copied.
         EXPECT_TRUE(Contains(run.err,
                              "starts.txt, line 4: not an http or https address, "
                              "skipped: ftp://127.0.0.1/x"))
             << run.err;
         EXPECT_TRUE(Contains(run.err, "line 5: not a web address, skipped: http://not a url"));
         EXPECT_EQ(Count(run.err, ", skipped: "), 5u) << run.err;
       }},
      {{"-p"},
       [&](Host host, const ProcessResult&) {
         for (const char* name : {"/~index.htm", "/a", "/dl?id=7"})
           EXPECT_EQ(ModifiedSeconds(host + name), modified) << name;
         // As old as the server's file and as large: unchanged, though sent whole again.
         ProcessResult update =
             Cli({"-pN", "--save-to", host.substr(0, host.rfind('/')), server.Url("/")});
         EXPECT_TRUE(Contains(update.err, "4 unchanged, 0 updated, 0 new, 0 gone\n")) << update.err;
         // As a browser asks, a start address is asked for with no Referer.
         for (const std::string& request : server.Requests())
           EXPECT_FALSE(request.starts_with("GET / ") && Contains(request, "Referer:")) << request;
       }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.options.back());
    TempDir saveTo;
    std::vector<std::string> args = row.options;
    args.insert(args.end(), {"--save-to", saveTo.Path()});
    if (std::find(row.options.begin(), row.options.end(), "-i") == row.options.end())
      args.push_back(server.Url("/"));
    ProcessResult run = Cli(args);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    row.check(saveTo.Path() + "/127.0.0.1:" + std::to_string(server.Port()), run);
  }
}

}  // namespace
