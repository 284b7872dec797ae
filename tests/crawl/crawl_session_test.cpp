#include "crawl/run/crawl.h"
#include "crawl/run/crawl_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <set>

#include "crawl/rules/mirror_paths.h"
#include "support/loopback_server.h"
#include "support/recording_dialog.h"
#include "support/temp_dir.h"

namespace {

using Strings = std::vector<std::string>;
namespace fs = std::filesystem;

const std::vector<std::pair<std::string, std::string>> kSite = {
    {"/dir/",
     "<IMG SRC=\"logo.gif\"><A HREF=\"a.htm\">a</A><A HREF=\"sub/\">sub</A>\r\n"
     "<A HREF=\"../outside.htm\">o</A><A HREF=\"#top\">t</A><A HREF=\"mailto:x@y\">m</A>"
     "<A HREF=\"../other\">x</A>\n"},
    {"/dir/logo.gif", "GIF89a logo"},
    {"/dir/a.htm", "<A HREF=\"./\">home</A><IMG SRC=\"logo.gif\"><FRAME SRC=\"f.html\">"},
    {"/dir/sub/", "<A HREF=\"../a.htm\">a</A>"},
    {"/dir/f.html", "frame"},
    {"/outside.htm", "<IMG SRC=\"dir/never.gif\">"},
    {"/other", "other"},
};

class CrawlSession : public ::testing::Test {
 protected:
  // Crawls url into the temporary directory as the window would.
  void Crawl(const std::string& url) {
    m_dialog.Clear();
    m_dialog.m_url.Set(url);
    m_dialog.m_saveToDirectory.Set(m_saveTo.Path());
    m_dialog.m_mirrorDirectory.Set(MirrorDirectory(url, m_saveTo.Path()));
    m_dialog.m_stopRequested = 1;  // the worker clears it itself
    CrawlPlan plan = PlanFromDialog(m_dialog);
    plan.network.stallTimeoutMs = 2000;
    RunCrawl(m_dialog, plan);
  }
  Strings StackLines() const {
    Strings lines;
    for (const std::string& text : m_dialog.Logs()) {
      if (text.starts_with("Push():") || text.starts_with("Pop():"))
        lines.push_back(text);
    }
    return lines;
  }
  Strings StoredFiles() const {
    Strings files;
    for (auto& entry : fs::recursive_directory_iterator(m_saveTo.Path())) {
      if (entry.is_regular_file())
        files.push_back(entry.path().string().substr(m_saveTo.Path().size()));
    }
    std::sort(files.begin(), files.end());
    return files;
  }

  RecordingDialog m_dialog;
  TempDir m_saveTo;
};

TEST_F(CrawlSession, SmallSiteInOrderWithFinalCounters) {
  RawServer server(SiteHandler(kSite));
  const std::string u = server.Url("");
  Crawl(server.Url("/dir/"));
  EXPECT_EQ(StackLines(), (Strings{"Push():" + u + "/dir/", "Pop():" + u + "/dir/",
                                   "Push():" + u + "/dir/logo.gif", "Push():" + u + "/dir/a.htm",
                                   "Push():" + u + "/dir/sub/", "Push():" + u + "/outside.htm",
                                   "Push():" + u + "/other", "Pop():" + u + "/other",
                                   "Pop():" + u + "/dir/sub/", "Pop():" + u + "/dir/logo.gif",
                                   "Pop():" + u + "/dir/a.htm", "Push():" + u + "/dir/f.html",
                                   "Pop():" + u + "/outside.htm", "Pop():" + u + "/dir/f.html"}));
  EXPECT_EQ(m_dialog.LastText(Control::QueuedFilesEdit), "0");
  EXPECT_EQ(m_dialog.LastText(Control::ReadFilesEdit), "7");
  EXPECT_EQ(m_dialog.LastText(Control::DownloadedFilesEdit), "7");
  Strings events = m_dialog.Events();
  EXPECT_EQ(Strings(events.end() - 2, events.end()), (Strings{"enable 1001 1", "enable 1006 0"}));
  EXPECT_EQ(m_dialog.WorkerEndedCount(), 1);
  EXPECT_EQ(m_dialog.m_stopRequested.load(), 0);
  const std::string host = "/127.0.0.1:" + std::to_string(server.Port());
  EXPECT_EQ(StoredFiles(),
            (Strings{host + "/dir/a.htm", host + "/dir/f.html", host + "/dir/logo.gif",
                     host + "/dir/sub/~index.htm", host + "/dir/~index.htm"}));
  EXPECT_EQ(ReadFileBytes(m_saveTo.Path() + host + "/dir/logo.gif"), "GIF89a logo");
}

TEST_F(CrawlSession, SecondCrawlFetchesOnlyWhatIsMissing) {
  RawServer server(SiteHandler(kSite));
  Crawl(server.Url("/dir/"));
  const size_t firstRequests = server.Requests().size();
  const std::string host = "/127.0.0.1:" + std::to_string(server.Port());
  fs::remove(m_saveTo.Path() + host + "/dir/logo.gif");
  Crawl(server.Url("/dir/"));
  Strings again = server.RequestLines();
  again.erase(again.begin(), again.begin() + static_cast<std::ptrdiff_t>(firstRequests));
  // The reachability test, the missing picture, and the two addresses outside the base prefix,
  // which have no stored copy of their own.
  EXPECT_EQ(again, (Strings{"GET /dir/ HTTP/1.0", "GET /other HTTP/1.0",
                            "GET /dir/logo.gif HTTP/1.0", "GET /outside.htm HTTP/1.0"}));
  EXPECT_EQ(m_dialog.LastText(Control::DownloadedFilesEdit), "3");
  EXPECT_EQ(m_dialog.LastText(Control::ReadFilesEdit), "7");
  EXPECT_EQ(ReadFileBytes(m_saveTo.Path() + host + "/dir/logo.gif"), "GIF89a logo");
}

TEST_F(CrawlSession, EmptyAddressCannotBeObtained) {
  Crawl("");
  Strings events = m_dialog.Events();
  EXPECT_EQ(Strings(events.end() - 3, events.end()),
            (Strings{"message Can't connect to /", "enable 1001 1", "enable 1006 0"}));
  EXPECT_TRUE(StackLines().empty());
}

TEST_F(CrawlSession, NetworkFailureCancelsTheCrawl) {
  int closedPort;
  {
    RawServer gone([](int, const std::string&) {});
    closedPort = gone.Port();
  }
  Crawl("http://127.0.0.1:" + std::to_string(closedPort) + "/");
  Strings events = m_dialog.Events();
  ASSERT_GE(events.size(), 5u);
  EXPECT_EQ(Strings(events.end() - 5, events.end()),
            (Strings{"text 1004 Transfert canceled", "pos 1003 0", "pos 1005 0", "enable 1001 1",
                     "enable 1006 0"}));
  EXPECT_EQ(m_dialog.WorkerEndedCount(), 1);
  for (const std::string& e : events)
    EXPECT_FALSE(e.starts_with("message ")) << e;
}

TEST_F(CrawlSession, StopDuringAFetchCancelsAndPopsThePending) {
  RawServer server(SiteHandler(kSite));
  const std::string u = server.Url("");
  m_dialog.onEvent = [&](const std::string& event) {
    if (event == "text 1015 dir/logo.gif")
      m_dialog.m_stopRequested = 1;
  };
  Crawl(server.Url("/dir/"));
  Strings logs = m_dialog.Logs();
  auto canceled = std::find(logs.begin(), logs.end(), "Transfert canceled");
  ASSERT_NE(canceled, logs.end());
  EXPECT_EQ(Strings(canceled + 1, logs.end()),
            (Strings{"Pop():" + u + "/dir/a.htm", "Pop():" + u + "/outside.htm"}));
  Strings events = m_dialog.Events();
  auto at = std::find(events.begin(), events.end(), "text 1004 Transfert canceled");
  EXPECT_EQ(Strings(at, at + 5), (Strings{"text 1004 Transfert canceled", "pos 1003 0",
                                          "pos 1005 0", "enable 1001 1", "enable 1006 0"}));
  EXPECT_FALSE(fs::exists(m_saveTo.Path() + "/127.0.0.1:" + std::to_string(server.Port()) +
                          "/dir/logo.gif"));
}

TEST_F(CrawlSession, StopWhileSavingEndsAfterThatPass) {
  RawServer server(SiteHandler(kSite));
  const std::string host = m_saveTo.Path() + "/127.0.0.1:" + std::to_string(server.Port());
  m_dialog.onEvent = [&](const std::string& event) {
    if (event == "text 1004 Saving: " + host + "/dir/logo.gif")
      m_dialog.m_stopRequested = 1;
  };
  Crawl(server.Url("/dir/"));
  Strings logs = m_dialog.Logs();
  EXPECT_EQ(std::count(logs.begin(), logs.end(), "Transfert canceled"), 0);
  EXPECT_EQ(ReadFileBytes(host + "/dir/logo.gif"), "GIF89a logo");
  EXPECT_FALSE(fs::exists(host + "/dir/a.htm"));
  EXPECT_EQ(m_dialog.LastText(Control::QueuedFilesEdit), "0");
  Strings events = m_dialog.Events();
  EXPECT_EQ(Strings(events.end() - 2, events.end()), (Strings{"enable 1001 1", "enable 1006 0"}));
}

// Answers that must not be stored are logged, counted, neither scanned nor stored, and the
// crawl goes on; an empty answer is a file.
TEST_F(CrawlSession, UnusableAnswersAreSkippedAndEmptyOnesStored) {
  RawServer server(SiteHandler({
      {"/", "<IMG SRC=\"gone.gif\"><IMG SRC=\"empty.gif\"><A HREF=\"err.htm\">"},
      {"/empty.gif", ""},
  }));
  const std::string u = server.Url("");
  Crawl(server.Url("/"));
  Strings logs = m_dialog.Logs();
  EXPECT_NE(std::find(logs.begin(), logs.end(), "Not saved (HTTP 404): " + u + "/gone.gif"),
            logs.end());
  EXPECT_NE(std::find(logs.begin(), logs.end(), "Not saved (HTTP 404): " + u + "/err.htm"),
            logs.end());
  const std::string host = "/127.0.0.1:" + std::to_string(server.Port());
  EXPECT_EQ(StoredFiles(), (Strings{host + "/empty.gif", host + "/~index.htm"}));
  EXPECT_EQ(m_dialog.LastText(Control::DownloadedFilesEdit), "4");
}

TEST_F(CrawlSession, UnreachableStartPageStillShowsTheServerIsThere) {
  RawServer server(SiteHandler({}));
  const std::string u = server.Url("/nothing.htm");
  Crawl(u);
  Strings logs = m_dialog.Logs();
  // The reachability test's answer goes on to the pass: it is reported once, by the pass.
  EXPECT_EQ(std::count(logs.begin(), logs.end(), "Not saved (HTTP 404): " + u), 1);
  EXPECT_EQ(StackLines(), (Strings{"Push():" + u, "Pop():" + u}));
  EXPECT_EQ(m_dialog.LastText(Control::DownloadedFilesEdit), "1");
  EXPECT_TRUE(StoredFiles().empty());
}

// A page of six pictures.
std::vector<std::pair<std::string, std::string>> SixPictures() {
  std::vector<std::pair<std::string, std::string>> files = {{"/", ""}};
  for (int i = 1; i <= 6; ++i) {
    files[0].second += "<IMG SRC=\"" + std::to_string(i) + ".gif\">";
    files.emplace_back("/" + std::to_string(i) + ".gif", "GIF89a");
  }
  return files;
}

// Links taken ahead to wait for their server's turn are still to be fetched: they count as
// queued, and nothing is once the crawl is over.
TEST(Queued, PassesWaitingForTheirServerCount) {
  RawServer server(SiteHandler(SixPictures()));
  TempDir saveTo;
  RecordingDialog dialog;
  dialog.m_url.Set(server.Url("/"));
  dialog.m_saveToDirectory.Set(saveTo.Path());
  dialog.m_mirrorDirectory.Set(MirrorDirectory(server.Url("/"), saveTo.Path()));
  std::string queued, queuedAtFirstPicture;
  dialog.onEvent = [&](const std::string& event) {
    if (event.starts_with("text 1008 "))
      queued = event.substr(10);
    else if (event.starts_with("text 1004 Saving: ") && event.ends_with(".gif") &&
             queuedAtFirstPicture.empty())
      queuedAtFirstPicture = queued;
  };
  CrawlPlan plan = PlanFromDialog(dialog);
  plan.jobs = 2;
  RunCrawl(dialog, plan);
  EXPECT_EQ(queuedAtFirstPicture, "4");  // two in transfer, four waiting
  EXPECT_EQ(dialog.LastText(Control::QueuedFilesEdit), "0");
}

// A login asked for behind a redirect is the answering address's: asked once per realm at any
// number of jobs, sent below the directory that asked, never to the address that redirected, nor
// to another realm of the server.
TEST(Login, AskedOncePerRealmAndSentOnlyBelowWhereItWasAsked) {
  RawServer server([](int fd, const std::string& request) {
    if (request.starts_with("GET / "))
      return SendAll(fd, Answer(200,
                                "<IMG SRC=\"old.gif\"><IMG SRC=\"private/q.gif\">"
                                "<IMG SRC=\"other/o.gif\">",
                                "Content-Type: text/html\r\n"));
    if (request.starts_with("GET /old.gif "))
      return SendAll(fd, Answer(302, "", "Location: /private/p.gif\r\n"));
    const bool other = request.starts_with("GET /other/");
    if (request.find(other ? "Authorization: Basic b3RoZXI6cGFzcw==\r\n"  // other:pass
                           : "Authorization: Basic dXNlcjpzZWNyZXQ=\r\n") == std::string::npos)
      return SendAll(fd, Answer(401, "no",
                                std::string("WWW-Authenticate: Basic realm=\"") +
                                    (other ? "Other" : "Private") + "\"\r\n"));
    SendAll(fd, Answer(200, "GIF89a"));
  });
  for (int jobs : {1, 4}) {
    SCOPED_TRACE(jobs);
    TempDir saveTo;
    RecordingDialog dialog;
    dialog.m_url.Set(server.Url("/"));
    dialog.m_saveToDirectory.Set(saveTo.Path());
    dialog.m_mirrorDirectory.Set(MirrorDirectory(server.Url("/"), saveTo.Path()));
    std::set<std::string> asked;
    dialog.onLogin = [&](const std::string& at, const std::string& realm) {
      EXPECT_TRUE(asked.insert(at + " " + realm).second) << realm;
      return std::optional<CrawlDialog::Login>(realm == "Other"
                                                   ? CrawlDialog::Login{"other", "pass"}
                                                   : CrawlDialog::Login{"user", "secret"});
    };
    CrawlPlan plan = PlanFromDialog(dialog);
    plan.completePages = true;
    plan.jobs = jobs;
    const size_t before = server.Requests().size();
    RunCrawl(dialog, plan);
    const std::string at = "http://127.0.0.1:" + std::to_string(server.Port());
    EXPECT_EQ(asked, (std::set<std::string>{at + " Private", at + " Other"}));
    const std::string host = saveTo.Path() + "/127.0.0.1:" + std::to_string(server.Port());
    for (const char* file : {"/old.gif", "/private/q.gif", "/other/o.gif"})
      EXPECT_EQ(ReadFileBytes(host + file), "GIF89a") << file;
    const Strings requests = server.Requests();
    for (size_t i = before; i < requests.size(); ++i) {
      const std::string& request = requests[i];
      if (!request.starts_with("GET /private/") && !request.starts_with("GET /other/")) {
        EXPECT_EQ(request.find("Authorization:"), std::string::npos) << request;
      }
      if (request.starts_with("GET /other/")) {
        EXPECT_EQ(request.find("dXNlcjpzZWNyZXQ="), std::string::npos) << request;
      }
    }
  }
}

// A login the site refused is forgotten: one at a time, it went once, and never again below the
// directory where it was taken.
TEST(Login, ARefusedLoginIsSentNoMore) {
  RawServer server([](int fd, const std::string& request) {
    if (request.starts_with("GET / "))
      return SendAll(fd,
                     Answer(200, "<IMG SRC=\"p/a.gif\"><IMG SRC=\"p/b.gif\"><IMG SRC=\"p/c.gif\">",
                            "Content-Type: text/html\r\n"));
    SendAll(fd, Answer(401, "no", "WWW-Authenticate: Basic realm=\"Private\"\r\n"));
  });
  TempDir saveTo;
  RecordingDialog dialog;
  dialog.m_url.Set(server.Url("/"));
  dialog.m_saveToDirectory.Set(saveTo.Path());
  dialog.m_mirrorDirectory.Set(MirrorDirectory(server.Url("/"), saveTo.Path()));
  int asked = 0;
  dialog.onLogin = [&](const std::string&, const std::string&) {
    ++asked;
    return std::optional<CrawlDialog::Login>({"user", "wrong"});
  };
  CrawlPlan plan = PlanFromDialog(dialog);
  plan.completePages = true;
  plan.jobs = 1;
  RunCrawl(dialog, plan);
  EXPECT_EQ(asked, 1);
  const Strings requests = server.Requests();
  EXPECT_EQ(std::count_if(requests.begin(), requests.end(),
                          [](const std::string& r) {
                            return r.find("dXNlcjp3cm9uZw==") != std::string::npos;
                          }),
            1);  // user:wrong
}

// A server lost once the crawl is under way: with several jobs its files are not saved, why is
// said once, and the crawl runs its course; one job cancels, as on any failed network call. The
// name leads first to the server, then (after the reachability test and the start page) to an
// address where nothing listens (all of 127/8 is this machine; the server listens on .1), or
// to none.
TEST(ServerLost, SeveralJobsGoOnWithoutIt) {
  RawServer server(SiteHandler(SixPictures()));
  const std::string url = "http://site.test:" + std::to_string(server.Port()) + "/";
  for (const std::optional<std::string>& lost :
       {std::optional<std::string>("127.0.0.2"), std::optional<std::string>()}) {
    for (int jobs : {1, 4}) {
      SCOPED_TRACE(std::to_string(jobs) + " jobs, lost to " + lost.value_or("no address"));
      TempDir saveTo;
      RecordingDialog dialog;
      dialog.m_url.Set(url);
      dialog.m_saveToDirectory.Set(saveTo.Path());
      dialog.m_mirrorDirectory.Set(MirrorDirectory(url, saveTo.Path()));
      CrawlPlan plan = PlanFromDialog(dialog);
      plan.jobs = jobs;
      plan.network.stallTimeoutMs = 2000;
      int lookups = 0;
      plan.network.resolve = [&](const std::string&) -> std::optional<std::string> {
        return ++lookups <= 2 ? std::optional<std::string>("127.0.0.1") : lost;
      };
      RunCrawl(dialog, plan);
      ASSERT_FALSE(dialog.Endings().empty());
      if (jobs == 1) {
        EXPECT_EQ(dialog.Endings().back().ending, CrawlEnding::Cancelled);
        continue;
      }
      EXPECT_EQ(dialog.Endings().back().ending, CrawlEnding::Completed);
      int notReached = 0;
      for (const FileOutcome& outcome : dialog.Outcomes())
        notReached += outcome.reason == NotSavedReason::ServerUnreachable ? 1 : 0;
      EXPECT_EQ(notReached, 6);
      const std::string why =
          lost ? "Failed to connect to site.test port" : "Could not resolve host: site.test";
      int said = 0;
      for (const std::string& line : dialog.Logs())
        said += line.find(why) != std::string::npos ? 1 : 0;
      EXPECT_EQ(said, 1);
      const Strings logs = dialog.Logs();
      EXPECT_NE(
          std::find(logs.begin(), logs.end(), "Not saved (server unreachable): " + url + "3.gif"),
          logs.end());
    }
  }
}

}  // namespace
