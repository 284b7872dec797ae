// kelvane-cli --warc-file: every exchange recorded, read back by warcio, an archive library no one
// here wrote, with its digests recomputed from the bytes it reads.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <map>
#include <regex>
#include <set>

#include "cli/cli_support.h"
#include "support/compress.h"
#include "support/loopback_server.h"
#include "support/nginx_server.h"
#include "support/site_generator.h"
#include "support/temp_dir.h"
#include "support/test_authority.h"
#include "support/wait.h"

namespace {

// What the reader found: one line per record, the fields the tests look at.
struct Record {
  std::string type, uri, firstLine, profile, truncated, text, error;
  bool blockOk = false, payloadOk = true;
};

std::string JsonField(const std::string& line, const std::string& name) {
  const std::regex field("\"" + name + "\":(\"((\\\\.|[^\"\\\\])*)\"|true|false|null)");
  std::smatch match;
  if (!std::regex_search(line, match, field))
    return {};
  return match[2].matched ? match[2].str() : match[1].str();
}

// The reader is installed from npm by scripts/install_deps.sh, where npm can reach its registry.
bool ReaderInstalled() {
  return std::filesystem::exists("/usr/bin/node") &&
         std::filesystem::exists(KELVANE_SOURCE_DIR
                                 "/tests/archive/node_modules/warcio/package.json");
}

std::vector<Record> ReadArchive(const std::vector<std::string>& files) {
  std::vector<std::string> argv = {"/usr/bin/node",
                                   KELVANE_SOURCE_DIR "/tests/archive/read_warc.mjs"};
  argv.insert(argv.end(), files.begin(), files.end());
  const ProcessResult read = RunProcess(argv);
  EXPECT_EQ(read.exitCode, 0) << read.err;
  std::vector<Record> records;
  std::istringstream lines(read.out);
  for (std::string line; std::getline(lines, line);) {
    Record record{JsonField(line, "type"),      JsonField(line, "uri"),
                  JsonField(line, "firstLine"), JsonField(line, "profile"),
                  JsonField(line, "truncated"), JsonField(line, "text"),
                  JsonField(line, "error")};
    record.blockOk = JsonField(line, "blockOk") == "true";
    record.payloadOk = JsonField(line, "payloadOk") != "false";
    // Every archive the tests read: an answer cut short says so.
    EXPECT_FALSE(JsonField(line, "short") == "true" && record.truncated == "null") << record.uri;
    records.push_back(record);
  }
  return records;
}

constexpr const char* kArchivedModified = "Mon, 02 Mar 2026 10:00:00 GMT";

// A site with what an archive must keep apart: a redirect chain, a 404, a large chunked answer,
// a compressed one, two files with one body, and answers that say they have not changed.
RawServer::Handler ArchivedSite() {
  return [](int fd, const std::string& request) {
    auto is = [&](const char* path) {
      return request.starts_with(std::string("GET ") + path + " ");
    };
    const std::string dated = std::string("Last-Modified: ") + kArchivedModified + "\r\n";
    if (Contains(request, "If-Modified-Since: ")) {
      SendAll(fd, "HTTP/1.1 304 Not Modified\r\n" + dated + "Connection: close\r\n\r\n");
    } else if (is("/")) {
      SendAll(fd, Answer(200,
                         "<a href=\"r1\">r</a><a href=\"missing.htm\">m</a><a href=\"chunk.htm\">"
                         "c</a><link rel=stylesheet href=\"gz.css\"><img src=\"same1.png\">"
                         "<img src=\"same2.png\">",
                         "Content-Type: text/html\r\n" + dated));
    } else if (is("/r1")) {
      SendAll(fd, Answer(302, "moved", "Location: /r2\r\n"));
    } else if (is("/r2")) {
      SendAll(fd, Answer(301, "moved", "Location: /a.htm\r\n"));
    } else if (is("/a.htm")) {
      SendAll(fd, Answer(200, "<p>a</p>", "Content-Type: text/html\r\n" + dated));
    } else if (is("/chunk.htm")) {
      SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nTransfer-Encoding: chunked\r\n" +
                      dated + "Connection: close\r\n\r\n4\r\n<p>c\r\n180000\r\n" +
                      std::string(0x180000, 'x') +  // more than an answer kept in memory
                      "\r\n5\r\nhunk<\r\n3\r\n/p>\r\n0\r\n\r\n");
    } else if (is("/gz.css")) {
      SendAll(fd, Answer(200, Gzip("p { color: red }"),
                         "Content-Type: text/css\r\nContent-Encoding: gzip\r\n" + dated));
    } else if (is("/killed.htm")) {
      SendAll(fd, Answer(200, "<a href=\"slow.bin\">slow</a>", "Content-Type: text/html\r\n"));
    } else if (is("/slow.bin")) {
      // Half an answer, then nothing until the crawl is killed.
      SendAll(fd, "HTTP/1.0 200 X\r\nContent-Length: 100000\r\n\r\n" + std::string(50000, 's'));
      WaitForPeerClose(fd, 60000);
    } else if (is("/same1.png") || is("/same2.png")) {
      SendAll(fd, Answer(200, "PNG-BYTES", "Content-Type: image/png\r\n" + dated));
    } else {
      SendAll(fd, Answer(404, "not here", "Content-Type: text/html\r\n"));
    }
  };
}

TEST(Archive, EveryExchangeRecordedAndReadBackAtAnyJobs) {
  if (!ReaderInstalled())
    GTEST_SKIP() << "warcio is not installed: scripts/install_deps.sh installs it from npm";
  std::map<std::string, std::multiset<std::string>> answers;  // by jobs: "uri firstLine"
  for (const char* jobs : {"1", "4"}) {
    SCOPED_TRACE(jobs);
    RawServer server(ArchivedSite());
    TempDir dir;
    const std::string name = dir.Path() + "/crawl";
    ProcessResult run =
        Cli({"-p", "--jobs", jobs, "--warc-file", name, "--warc-cdx", "--warc-dedup", "/dev/null",
             "--header", "Authorization: Bearer s3cret", "--save-to", dir.Path() + "/copy",
             server.Url("/")});
    EXPECT_EQ(run.exitCode, 8) << run.err;  // the 404, not saved
    const std::vector<Record> records = ReadArchive({name + ".warc.gz"});
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.front().type, "warcinfo");
    EXPECT_TRUE(Contains(records.front().text, "software: Kelvane/")) << records.front().text;
    size_t requests = 0, revisits = 0;
    for (const Record& record : records) {
      EXPECT_TRUE(record.blockOk) << record.type << " " << record.uri;
      EXPECT_TRUE(record.payloadOk) << record.uri;
      requests += record.type == "request";
      if (record.type == "response" || record.type == "revisit")
        answers[jobs].insert(record.uri.substr(record.uri.find('/', 7)) + " " + record.firstLine);
      if (record.type == "revisit") {
        ++revisits;
        EXPECT_TRUE(Contains(record.profile, "/identical-payload-digest")) << record.profile;
      }
    }
    // One request record for each request the server saw, each with its answer.
    EXPECT_EQ(requests, server.Requests().size());
    EXPECT_EQ(records.size(), 1 + 2 * requests);
    EXPECT_EQ(revisits, 1u);  // the second of the two files with one body
    EXPECT_TRUE(Contains(run.err, std::to_string(records.size()) + " records in the archive"))
        << run.err;
    // No credential anywhere: not in the records, not in the options recorded.
    const std::string all = RunProcess({"/bin/sh", "-c", "gzip -dc '" + name + ".warc.gz'"}).out;
    EXPECT_FALSE(Contains(all, "s3cret"));
    EXPECT_TRUE(Contains(all, "Authorization: [removed]"));
    EXPECT_EQ(Count(ReadFileBytes(name + ".cdxj"), "\n"), requests);
  }
  // Each answer as the server sent it, its status line kept.
  const std::multiset<std::string> expected = {
      "/ HTTP/1.0 200 X",       "/r1 HTTP/1.0 302 X",          "/r2 HTTP/1.0 301 X",
      "/a.htm HTTP/1.0 200 X",  "/missing.htm HTTP/1.0 404 X", "/chunk.htm HTTP/1.1 200 OK",
      "/gz.css HTTP/1.0 200 X", "/same1.png HTTP/1.0 200 X",   "/same2.png HTTP/1.0 200 X"};
  EXPECT_EQ(answers["1"], expected);
  EXPECT_EQ(answers["4"], expected);
}

// What an archive keeps whichever way the crawl goes: answers over HTTP/2 in HTTP/1.1 form, files
// rolled over at a size, an update whose answers say nothing changed, a crawl killed mid-answer.
TEST(Archive, RecordsHoldOverHttp2RolloverUpdatesAndKills) {
  if (!ReaderInstalled())
    GTEST_SKIP() << "warcio is not installed: scripts/install_deps.sh installs it from npm";
  ASSERT_TRUE(NginxServer::Available()) << "nginx is not installed";
  TempDir served;
  WriteTree(served.Path(), GenerateSite(12, 20261209));
  TestAuthority authority;
  // Connections ended after a few requests: the streams refused are asked again, and each request
  // is recorded once, with the answer it got.
  NginxServer secure(served.Path(), {authority.Certificate(), authority.Key(), true, true,
                                     "  keepalive_requests 5;\n"});
  ASSERT_TRUE(authority.Ready() && secure.Running());
  RawServer site(ArchivedSite());
  TempDir dir;
  const std::string copy = dir.Path() + "/copy";
  struct Row {
    std::string name;
    std::vector<std::string> options;
    std::function<void(const std::vector<Record>&, const std::string& err)> check;
    int signal = 0;  // sent once the crawl asks for /slow.bin
    std::string saveTo = {};
    int fileLimit = 0;  // ulimit -f: a full disk for the archive
  };
  const std::string twice = dir.Path() + "/twice.wacz";
  ProcessResult second;  // a crawl of the same package while the first runs
  const std::string bare = dir.Path() + "/bare";
  const Row rows[] = {
      {"h2",
       {"-p", "--ca-certificate", authority.Authority(), secure.Url("/")},
       [&](const std::vector<Record>& records, const std::string&) {
         EXPECT_TRUE(Contains(records.front().text, "HTTP/2")) << records.front().text;
         size_t answers = 0, requests = 0;
         for (const Record& record : records) {
           if (record.type == "request") {
             EXPECT_TRUE(Contains(record.firstLine, " HTTP/1.1")) << record.firstLine;
             ++requests;
           }
           if (record.type == "response") {
             EXPECT_EQ(record.firstLine, "HTTP/1.1 200 OK");
             ++answers;
           }
         }
         EXPECT_GE(answers, 10u);
         EXPECT_EQ(requests, answers);
       }},
      {"rolled",
       {"-p", "--warc-max-size", "1k", site.Url("/")},
       [](const std::vector<Record>& records, const std::string&) {
         EXPECT_GE(std::count_if(records.begin(), records.end(),
                                 [](const Record& r) { return r.type == "warcinfo"; }),
                   3);
       }},
      {"update",
       {"-p", "--update", site.Url("/")},
       [](const std::vector<Record>& records, const std::string&) {
         size_t unchanged = 0;
         for (const Record& record : records)
           unchanged +=
               record.type == "revisit" && Contains(record.profile, "/server-not-modified");
         EXPECT_GE(unchanged, 5u);
       }},
      {"alone",
       {"-p", "--no-copy", site.Url("/")},
       [&](const std::vector<Record>& records, const std::string& err) {
         // Read for its links and recorded, every page; nothing stored, all of it received.
         EXPECT_EQ(records.size(), 19u);
         EXPECT_TRUE(Contains(err, " 0 stored,") && !Contains(err, " 0 bytes received")) << err;
         EXPECT_EQ(ReadTree(bare).size(), 0u) << ::testing::PrintToString(ReadTree(bare));
       },
       0,
       bare},
      {"killed",
       {"-p", "--jobs", "1", site.Url("/killed.htm")},
       [](const std::vector<Record>& records, const std::string&) {
         // Whole records only: as much of the page's exchange as its writer got to before the
         // kill (a slow build may write none of it), and nothing of the transfer the kill cut.
         EXPECT_LE(records.size(), 3u);
         for (const Record& record : records)
           EXPECT_FALSE(Contains(record.uri, "slow.bin")) << record.type;
       },
       SIGKILL},
      {"full",
       {"-p", site.Url("/")},
       [](const std::vector<Record>& records, const std::string& err) {
         // Cut back to its last whole record, which the reader reads to its end.
         EXPECT_GE(records.size(), 1u);
         EXPECT_TRUE(Contains(err, "the archive could not be written: ")) << err;
       },
       0,
       dir.Path() + "/fullcopy",
       64},
      {"twice",
       {"-p", "--wacz", twice, site.Url("/killed.htm")},
       [&](const std::vector<Record>&, const std::string&) {
         EXPECT_EQ(second.exitCode, 8) << second.err;
         EXPECT_TRUE(Contains(second.err, twice + ": another crawl is making this package"));
         EXPECT_TRUE(std::filesystem::exists(twice));  // the first crawl's, packed as it ended
       },
       SIGINT},
      {"interrupted",
       {"-p", site.Url("/killed.htm")},
       [](const std::vector<Record>& records, const std::string&) {
         // The transfer Ctrl-C cut is recorded as far as it came (its request at least: the
         // answer's head may not have arrived yet), and an answer says it was cut.
         size_t cut = 0;
         for (const Record& r : records) {
           if (Contains(r.uri, "slow.bin")) {
             ++cut;
             EXPECT_TRUE(r.type == "request" || r.truncated != "null") << r.type;
           }
         }
         EXPECT_GE(cut, 1u);
       },
       SIGINT},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string name = dir.Path() + "/" + row.name;
    std::vector<std::string> argv = {KELVANE_CLI_PATH, "--warc-file", name, "--save-to",
                                     row.saveTo.empty() ? copy : row.saveTo};
    if (row.fileLimit > 0)
      argv.insert(
          argv.begin(),
          {"/bin/sh", "-c", "ulimit -f " + std::to_string(row.fileLimit) + "; exec \"$@\"", "sh"});
    argv.insert(argv.end(), row.options.begin(), row.options.end());
    const size_t before = site.Requests().size();
    const ProcessResult run = RunProcess(argv, [&](pid_t pid) {
      if (row.signal == 0)
        return;
      WaitUntil([&] {
        const std::vector<std::string> lines = site.RequestLines();
        return lines.size() > before && lines.back().starts_with("GET /slow.bin ");
      });
      if (row.name == "twice")
        second = Cli({"-p", "--wacz", twice, "--save-to", dir.Path() + "/second", site.Url("/")});
      kill(pid, row.signal);
    });
    if (row.signal == 0) {
      // The site's 404, not saved; a write that failed, as wget says it.
      EXPECT_EQ(run.exitCode, row.name == "h2" ? 0 : row.name == "full" ? 3 : 8) << run.err;
    }
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
      const std::string file = entry.path().filename().string();
      if (file.starts_with(row.name) && file.ends_with(".warc.gz"))
        files.push_back(entry.path().string());
    }
    std::sort(files.begin(), files.end());
    const std::vector<Record> records = ReadArchive(files);
    ASSERT_FALSE(records.empty());
    for (const Record& record : records) {
      EXPECT_EQ(record.error, "");
      EXPECT_TRUE(record.blockOk && record.payloadOk) << record.uri;
    }
    if (row.check)
      row.check(records, run.err);
  }
}

}  // namespace
