// kelvane-cli put in wget's place in scripts: the same command lines, run by wget itself and by
// kelvane-cli on one site, give the same exit status and the same files.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <regex>
#include <set>

#include "cli/cli_support.h"
#include "support/loopback_server.h"
#include "support/nginx_server.h"
#include "support/site_generator.h"
#include "support/temp_dir.h"
#include "support/test_authority.h"

namespace {

// A site whose start lies two directories down, with links above it, a robots.txt, pictures,
// a stylesheet, documents and a chain of pages deeper than wget's default depth.
const std::map<std::string, std::string> kSite = {
    {"/robots.txt", "User-agent: *\nDisallow: /private/\n"},
    {"/", "<a href=\"docs/\">d</a><a href=\"about.html\">a</a><img src=\"img/logo.gif\">"},
    {"/about.html", "<img src=\"img/about.gif\"><a href=\"files/a.pdf\">p</a>"},
    {"/style.css", "body{background:url(img/bg.gif)}"},
    {"/docs/",
     "<link rel=\"stylesheet\" href=\"../style.css\"><a href=\"../about.html\">u</a>"
     "<a href=\"guide/page.html\">g</a><img src=\"pic.gif\"><img src=\"../img/logo.gif\">"
     "<a href=\"/private/secret.html\">s</a><a href=\"a.pdf\">a</a><a href=old.html>m</a>"
     "<a href=gone.html>g</a>"},
    {"/docs/guide/page.html", "<a href=\"../\">up</a><a href=\"deep/1.html\">m</a><img src=x.gif>"},
    {"/docs/guide/deep/1.html", "<a href=\"2.html\">2</a>"},
    {"/docs/guide/deep/2.html", "<a href=\"3.html\">3</a>"},
    {"/docs/guide/deep/3.html", "<a href=\"4.html\">4</a>"},
    {"/docs/guide/deep/4.html", "<img src=\"end.gif\">"},
    {"/private/secret.html", "secret"},
    {"/files/a.pdf", "%PDF files"},
    {"/docs/a.pdf", "%PDF docs"},
};

void ServeSite(int fd, const std::string& request) {
  const size_t start = request.find(' ') + 1;
  const std::string path = request.substr(start, request.find(' ', start) - start);
  const auto found = kSite.find(path);
  if (found != kSite.end()) {
    const std::string type = path.ends_with(".css")   ? "text/css"
                             : path.ends_with(".txt") ? "text/plain"
                             : path.ends_with(".pdf") ? "application/pdf"
                                                      : "text/html";
    return SendAll(fd, Answer(200, found->second, "Content-Type: " + type + "\r\n"));
  }
  if (path == "/docs/old.html")  // two redirects to a page
    return SendAll(fd, Answer(301, "", "Location: /docs/older.html\r\n"));
  if (path == "/docs/older.html")
    return SendAll(fd, Answer(302, "", "Location: /docs/moved.html\r\n"));
  if (path == "/docs/moved.html")
    return SendAll(fd, Answer(200, "<img src=moved.gif>", "Content-Type: text/html\r\n"));
  if (path.ends_with(".gif"))  // every picture is there
    return SendAll(fd, Answer(200, "GIF89a" + path, "Content-Type: image/gif\r\n"));
  SendAll(fd, Answer(404, "no", "Content-Type: text/html\r\n"));
}

// The files of a copy by name, the programs' own files aside and a directory's page named as
// wget names it.
std::set<std::string> Files(const std::string& root) {
  std::set<std::string> names;
  if (!std::filesystem::exists(root))
    return names;
  static const std::regex own("(^|/)(\\.kelvane/.*|Kelvane\\.log|robots\\.txt|log)$");
  for (const auto& [path, bytes] : ReadTree(root)) {
    if (!std::regex_search(path, own))
      names.insert(std::regex_replace(path, std::regex("~index\\.htm"), "index.html"));
  }
  return names;
}

TEST(WgetLines, ScriptsWrittenForWgetGiveWgetsFilesAndStatus) {
  RawServer server(ServeSite);
  const std::string start = server.Url("/docs/");
  const std::vector<std::vector<std::string>> lines = {
      {"-r"},
      {"-r", "-np", "-k", "-p", "-E"},
      {"-m", "-k", "-p", "-E", "-np"},
      {"--mirror", "--convert-links", "--adjust-extension", "--page-requisites", "--no-parent"},
      {"-r", "-l1", "-np", "-A.gif"},
      {"-nc", "-r"},
      {"-r", "-np", "-nH", "--cut-dirs=1"},
      {"-r", "-np", "-e", "robots=off"},
      {"-r", "-np", "-e", "robots=off", "-l", "inf"},
      {"-r", "-np", "-P", "DIR"},
      {"-r", "-np", "-o", "DIR/log"},
      {"-r", "-l", "2", "-p"},
      {"--mirror", "--convert-links", "--html-extension", "-o", "DIR/log"},
      {"-rH", "-np", "-nv", "-x"},
      {"-r", "-np", "-t", "3", "-T", "10", "--waitretry=1", "--random-wait"},
      {"-r", "-np", "-e", "robots=on", "--no-clobber", "--max-redirect", "5"},
      {"-r", "-np", "--max-redirect", "2"},
      {"-r", "-l1", "-np", "-A", "gif,pdf", "-T", "0", "-n", "v"},
  };
  int same = 0;
  for (const std::vector<std::string>& line : lines) {
    std::string words;
    for (const std::string& word : line)
      words += word + " ";
    SCOPED_TRACE(words);
    ProcessResult runs[2];
    std::string roots[2];
    TempDir dirs[2];
    for (int program = 0; program < 2; ++program) {
      std::vector<std::string> argv = {program == 0 ? "/usr/bin/wget" : KELVANE_CLI_PATH};
      if (program == 0)
        argv.push_back("--no-config");
      for (const std::string& word : line)
        argv.push_back(std::regex_replace(word, std::regex("^DIR"), dirs[program].Path()));
      if (std::find(line.begin(), line.end(), "-P") == line.end())
        argv.insert(argv.end(), {"-P", dirs[program].Path()});
      argv.push_back(start);
      runs[program] = RunProcess(argv);
      roots[program] = dirs[program].Path();
    }
    EXPECT_EQ(runs[1].exitCode, runs[0].exitCode) << runs[1].err;
    EXPECT_EQ(Files(roots[1]), Files(roots[0])) << runs[1].err;
    same += runs[1].exitCode == runs[0].exitCode && Files(roots[1]) == Files(roots[0]) ? 1 : 0;
  }
  std::printf("wget's files and status for %d of %zu command lines\n", same, lines.size());
}

// With the web rules, wget's statuses: a write that fails, a certificate, a login refused, a
// broken link found by --spider, and none for an answer without content.
TEST(WgetLines, ExitStatusesAreWgets) {
  RawServer server([](int fd, const std::string& request) {
    if (request.starts_with("GET /none "))
      return SendAll(fd, "HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n");
    if (request.starts_with("GET /login "))
      return SendAll(fd, Answer(401, "no", "WWW-Authenticate: Basic realm=\"r\"\r\n"));
    if (request.starts_with("GET /page ") || request.starts_with("GET /spider "))
      return SendAll(fd, Answer(200,
                                request[5] == 's' ? "<a href=gone>g</a><a href=big.iso>i</a>"
                                                  : "<a href=gone>g</a>",
                                "Content-Type: text/html\r\n"));
    if (request.starts_with("GET /big.iso ")) {  // its answer is enough: the body never comes
      SendAll(fd,
              "HTTP/1.1 200 OK\r\nContent-Type: application/x-iso9660-image\r\n"
              "Content-Length: 1000000\r\n\r\n");
      return WaitForPeerClose(fd, 60000);
    }
    SendAll(fd, Answer(404, "no"));
  });
  TestAuthority authority;
  TempDir siteRoot;
  WriteFileBytes(siteRoot.Path() + "/index.html", "<p>tls</p>");
  NginxOptions options;
  options.certificate = authority.Certificate();
  options.key = authority.Key();
  NginxServer tls(siteRoot.Path(), options);
  ASSERT_TRUE(authority.Ready() && tls.Running());
  const struct {
    std::vector<std::string> words;
    int status;
    std::string said;
  } rows[] = {
      {{"-r", server.Url("/none")}, 0, " 0 stored, "},
      {{"-r", server.Url("/login")}, 6, "(HTTP 401)"},
      {{"-r", "--spider", server.Url("/spider")},
       8,
       "broken: " + server.Url("/gone") + " (HTTP 404), linked from " + server.Url("/spider")},
      {{"-r", server.Url("/page"), "BLOCKED"}, 3, "write failed"},
      {{"-r", tls.Url("/")}, 5, "certificate"},
      {{"-r", "--no-check-certificate", tls.Url("/")}, 0, "warning: certificates are not checked"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.words.front() + " " + row.words[1]);
    TempDir saveTo;
    std::vector<std::string> words = {"-P", saveTo.Path()};
    for (const std::string& word : row.words) {
      if (word != "BLOCKED")  // a file where the server's directory would go
        words.push_back(word);
      else
        WriteFileBytes(saveTo.Path() + "/127.0.0.1:" + std::to_string(server.Port()), "in the way");
    }
    const ProcessResult run = Cli(words);
    EXPECT_EQ(run.exitCode, row.status) << run.err;
    EXPECT_TRUE(Contains(run.err, row.said)) << run.err;
  }
}

// Each file fails its first two requests in its own way, then comes whole: three tries get it,
// two do not, and at one job as at four each is asked as often.
TEST(WgetLines, TriesOutlastResetsErrorsSilenceAndCutTransfers) {
  std::mutex mutex;
  std::map<std::string, int> asked;
  RawServer server([&](int fd, const std::string& request) {
    const std::string path = request.substr(4, request.find(' ', 4) - 4);
    int n = 0;
    {
      std::lock_guard lock(mutex);
      n = ++asked[path];
    }
    const std::string page =
        "<a href=reset>r</a><a href=busy>b</a><a href=silent>s</a>"
        "<a href=cut>c</a><a href=later>l</a>";
    if (path == "/" || path == "/robots.txt")
      return SendAll(fd, Answer(path == "/" ? 200 : 404, page, "Content-Type: text/html\r\n"));
    if (n > 2)
      return SendAll(fd, Answer(200, "whole " + path));
    if (path == "/reset")
      return ResetConnection(fd);
    if (path == "/busy" || path == "/later")  // a pause asked for counts as a try too
      return SendAll(fd, Answer(503, "busy", path == "/later" ? "Retry-After: 1\r\n" : ""));
    if (path == "/silent")
      return WaitForPeerClose(fd, 30000);
    SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nten bytes.");
  });
  for (const char* jobs : {"1", "4"}) {
    for (const char* tries : {"3", "2"}) {
      SCOPED_TRACE(std::string("--jobs ") + jobs + " -t " + tries);
      {
        std::lock_guard lock(mutex);
        asked.clear();
      }
      TempDir saveTo;
      const ProcessResult run = Cli({"-r", "-t", tries, "--waitretry", "0", "-T", "1", "--jobs",
                                     jobs, "-P", saveTo.Path(), server.Url("/")});
      const bool enough = std::string(tries) == "3";
      EXPECT_EQ(run.exitCode, enough ? 0 : 4) << run.err;
      const std::string host = saveTo.Path() + "/127.0.0.1:" + std::to_string(server.Port());
      for (const char* path : {"/reset", "/busy", "/silent", "/cut", "/later"}) {
        std::lock_guard lock(mutex);
        EXPECT_EQ(asked[path], std::atoi(tries)) << path;
        EXPECT_EQ(ReadFileBytes(host + path), enough ? "whole " + std::string(path) : "") << path;
      }
    }
  }
}

// -c: a file cut short is kept aside, out of the copy, and the next run asks for the rest where
// the server gives parts of files, or takes the whole file again where it does not.
TEST(WgetLines, ContinueAsksForTheRestOfAFileCutShort) {
  std::string bytes(3 << 20, '\0');
  for (size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<char>(i * 7 + i / 4096);
  const std::string tag = "ETag: \"v1\"\r\n";
  for (const bool parts : {true, false}) {
    SCOPED_TRACE(parts ? "parts given" : "whole files only");
    std::atomic<int> asked{0};
    RawServer server([&](int fd, const std::string& request) {
      if (!request.starts_with("GET /big "))
        return SendAll(fd, Answer(404, "no"));
      if (++asked == 1)  // the first answer breaks off after a megabyte
        return SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 3145728\r\n" + tag + "\r\n" +
                               bytes.substr(0, 1 << 20));
      const std::string from = "Range: bytes=1048576-\r\nIf-Range: \"v1\"\r\n";
      if (!parts || !Contains(request, from))
        return SendAll(fd, Answer(200, bytes, tag));
      SendAll(fd,
              "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 1048576-3145727/3145728\r\n"
              "Content-Length: 2097152\r\n" +
                  tag + "\r\n" + bytes.substr(1 << 20));
    });
    TempDir saveTo;
    const std::string file = saveTo.Path() + "/127.0.0.1:" + std::to_string(server.Port()) + "/big";
    const std::vector<std::string> words = {
        "-r", "-c", "-t", "1", "-P", saveTo.Path(), server.Url("/big")};
    EXPECT_EQ(Cli(words).exitCode, 4);
    EXPECT_FALSE(std::filesystem::exists(file));  // no part passes for the file
    const ProcessResult rest = Cli(words);
    EXPECT_EQ(rest.exitCode, 0) << rest.err;
    EXPECT_TRUE(ReadFileBytes(file) == bytes);
    EXPECT_EQ(Contains(rest.err, " 2097152 bytes received"), parts) << rest.err;
  }
}

// A login the server took goes at once with what lies below its directory, Digest with its
// nonce used again and counted: one challenge for the tree, and the login never leaves its
// server.
TEST(WgetLines, ALoginThatWorkedIsSentAtOnceBelowItsDirectory) {
  std::atomic<int> otherLogins{0};
  RawServer other([&](int fd, const std::string& request) {
    otherLogins += Contains(request, "Authorization:") ? 1 : 0;
    SendAll(fd, Answer(200, "other"));
  });
  std::string scheme;
  RawServer server([&](int fd, const std::string& request) {
    const std::string html = "Content-Type: text/html\r\n";
    if (!request.starts_with("GET /priv/"))
      return SendAll(fd, Answer(request.starts_with("GET /robots") ? 404 : 200, "open", html));
    // libcurl computes the Digest answer; what matters here is when it goes.
    if (!Contains(request, scheme == "Basic" ? "Authorization: Basic dTpw"  // u:p
                                             : "Authorization: Digest username=\"u\""))
      return SendAll(fd, Answer(401, "no",
                                "WWW-Authenticate: " + scheme +
                                    " realm=\"r\", nonce=\"5f1e\", qop=\"auth\"\r\n"));
    if (!request.starts_with("GET /priv/ "))
      return SendAll(fd, Answer(200, "<p>below</p>", html));
    // Away from the tree, a transfer's handle forgets its Digest nonce: those links for Basic.
    const std::string away = "<a href=/open>o</a><img src=" + other.Url("/x.png") + ">";
    SendAll(fd, Answer(200,
                       "<a href=a>a</a><a href=sub/b>b</a><a href=sub/c>c</a>" +
                           (scheme == "Basic" ? away : ""),
                       html));
  });
  for (const char* name : {"Basic", "Digest"}) {
    SCOPED_TRACE(name);
    scheme = name;
    const size_t before = server.Requests().size();
    TempDir saveTo;
    // Each transfer's handle keeps its own Digest nonce: one at a time, there is one.
    const ProcessResult run =
        Cli({"-r", "-H", "--user", "u", "--password", "p", "--jobs", scheme == "Digest" ? "1" : "4",
             "-P", saveTo.Path(), server.Url("/priv/")});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const std::vector<std::string> requests = server.Requests();
    int challenges = 0;
    for (size_t i = before; i < requests.size(); ++i) {
      const std::string& request = requests[i];
      challenges += request.starts_with("GET /priv/") && !Contains(request, "Authorization:");
      if (request.starts_with("GET /open") || request.starts_with("GET /robots")) {
        EXPECT_FALSE(Contains(request, "Authorization:")) << request;
      }
    }
    EXPECT_EQ(challenges, 1);
    // robots.txt, the challenge, 4 pages, and for Basic /open
    EXPECT_EQ(requests.size() - before, scheme == "Basic" ? 7u : 6u);
    EXPECT_EQ(std::count_if(requests.begin() + before, requests.end(),
                            [](const std::string& r) { return Contains(r, "nc=00000004"); }),
              scheme == "Digest" ? 1 : 0);
  }
  EXPECT_EQ(otherLogins.load(), 0);
}

}  // namespace
