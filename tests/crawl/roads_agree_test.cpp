// One file at a time and four at once must make the same copy of every hostile answer: the
// same stored files, the same outcome of each file and the same ending, with the link scanner's
// rules and with complete pages alike.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <tuple>

#include "crawl/base/fetched_file.h"
#include "crawl/rules/mirror_paths.h"
#include "crawl/run/crawl.h"
#include "support/hostile_routes.h"
#include "support/loopback_server.h"
#include "support/recording_dialog.h"
#include "support/site_generator.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

// What a crawl came to, as far as any two ways of making it must agree.
struct Copy {
  Tree stored;
  // By address: fate, reason, status, and the bytes where they are the file's whole.
  std::map<std::string, std::tuple<FileFate, NotSavedReason, int, int64_t>> outcomes;
  CrawlEnding ending = CrawlEnding::Completed;

  bool operator==(const Copy&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Copy& copy) {
  out << "ending " << static_cast<int>(copy.ending) << "\n";
  for (const auto& [path, bytes] : copy.stored)
    out << "  stored " << path << " (" << bytes.size() << " bytes)\n";
  for (const auto& [url, outcome] : copy.outcomes)
    out << "  " << url << ": fate " << static_cast<int>(std::get<0>(outcome)) << " reason "
        << static_cast<int>(std::get<1>(outcome)) << " status " << std::get<2>(outcome) << " bytes "
        << std::get<3>(outcome) << "\n";
  return out;
}

Copy Crawl(const std::string& url, int jobs, bool completePages, int closedPort) {
  TempDir saveTo;
  RecordingDialog dialog;
  dialog.m_url.Set(url);
  dialog.m_saveToDirectory.Set(saveTo.Path());
  dialog.m_mirrorDirectory.Set(MirrorDirectory(url, saveTo.Path()));
  CrawlPlan plan = PlanFromDialog(dialog);
  plan.jobs = jobs;
  plan.completePages = completePages;
  if (completePages)
    plan.maxFileSize = 2 * FetchedFile::kCapacity;
  // Long enough for a checker that slows the program tenfold; only stall.htm waits it out.
  plan.network.stallTimeoutMs = 2000;
  plan.network.connectTimeoutMs = 5000;
  RunCrawl(dialog, plan);

  Copy copy;
  copy.stored = ReadTree(saveTo.Path());
  copy.stored.erase(".kelvane/records");
  for (const FileOutcome& outcome : dialog.Outcomes()) {
    // The port of the server that refuses every connection differs from run to run.
    std::string address = outcome.url;
    const std::string closed = ":" + std::to_string(closedPort);
    if (size_t at = address.find(closed); at != std::string::npos)
      address.replace(at, closed.size(), ":closed");
    const bool whole =
        outcome.fate == FileFate::Stored || outcome.reason == NotSavedReason::TooLarge;
    copy.outcomes[address] = {outcome.fate, outcome.reason, outcome.httpStatus,
                              whole ? outcome.bytes : -1};
  }
  if (!dialog.Endings().empty())
    copy.ending = dialog.Endings().back().ending;
  return copy;
}

int ClosedPort() {
  RawServer gone([](int, const std::string&) {});
  return gone.Port();
}

struct Case {
  const char* route;
  CrawlEnding ending;
  FileFate fate;  // of the route's own file
  NotSavedReason reason;
  // Which crawls the row holds for. One at a time, the crawl stores a compressed answer as it
  // came, where transfers that ask for compression decode it; only it keeps a file to its area.
  enum Road { Both, WebRules, OneAtATime } road = Both;
  int64_t bytes = -1;  // of the route's own file, where it matters
};

constexpr auto kDone = CrawlEnding::Completed;
constexpr auto kStored = FileFate::Stored;
constexpr auto kNotSaved = FileFate::NotSaved;
constexpr auto kNone = NotSavedReason::None;
constexpr auto kBroken = NotSavedReason::BrokenTransfer;

const Case kCases[] = {
    {"reset.htm", kDone, kNotSaved, kBroken},
    {"stall.htm", kDone, kNotSaved, kBroken},
    {"short.gif", kDone, kNotSaved, kBroken},
    {"large.gif", kDone, kNotSaved, NotSavedReason::TooLarge, Case::OneAtATime},
    {"large.gif", kDone, kStored, kNone, Case::WebRules, FetchedFile::kCapacity + 1},
    // Read as the web is read, the user's limit is all that ends it.
    {"endless.gif", kDone, kNotSaved, NotSavedReason::TooLarge},
    {"loop.htm", kDone, kNotSaved, kBroken},
    {"missing.htm", kDone, kNotSaved, NotSavedReason::HttpStatus},
    {"failing.htm", kDone, kNotSaved, NotSavedReason::HttpStatus},
    {"moved.htm", kDone, kStored, kNone},
    {"emptymove.htm", kDone, kStored, kNone},
    {"emptyloop.htm", kDone, kNotSaved, kBroken},
    {"emptylocal.htm", kDone, kNotSaved, kBroken},
    {"nowhere.htm", kDone, kNotSaved, NotSavedReason::HttpStatus},
    {"local.htm", kDone, kNotSaved, kBroken},
    {"silent.htm", CrawlEnding::Cancelled, kStored, kNone},
    {"headers.htm", kDone, kNotSaved, kBroken},
    {"plus.gif", kDone, kStored, kNone},
    {"statusonly.gif", kDone, kNotSaved, kBroken},
    {"interim.gif", kDone, kNotSaved, NotSavedReason::HttpStatus},
    // A status line curl itself refuses is no answer: the request failed.
    {"status099.gif", CrawlEnding::Cancelled, kStored, kNone},
    {"choices.gif", kDone, kNotSaved, NotSavedReason::HttpStatus},
    {"twice.gif", kDone, kStored, kNone},
    {"word.gif", kDone, kStored, kNone},
    {"minus.gif", kDone, kStored, kNone},
    // A length no body reaches: the answer closed before it is cut.
    {"overflow.gif", kDone, kNotSaved, kBroken},
    {"unsized.gif", kDone, kStored, kNone},
    {"extra.gif", kDone, kStored, kNone},
    {"chunked.gif", kDone, kStored, kNone},
    {"slow.gif", kDone, kStored, kNone},
    {"empty.gif", kDone, kStored, kNone},
    {"nocontent.gif", kDone, kStored, kNone},
    {"notmodified.gif", kDone, kNotSaved, NotSavedReason::HttpStatus},
    {"away.gif", kDone, kNotSaved, kBroken},
    {"wide.htm", kDone, kStored, kNone},
    {"names/", kDone, kStored, kNone},
    {"codings.gif", kDone, kNotSaved, kBroken, Case::WebRules},
    {"unasked.htm", kDone, kStored, kNone, Case::WebRules},
    {"chunklength.htm", kDone, kStored, kNone, Case::Both, 5027},
    {"twolengths.htm", kDone, kNotSaved, kBroken},
    {"zeros.htm", kDone, kNotSaved, kBroken},
    {"foldedcoding.htm", kDone, kNotSaved, kBroken},
    {"gzipcoded.htm", kDone, kNotSaved, kBroken},
    {"codings204.gif", kDone, kStored, kNone},
};

TEST(RoadsAgree, EveryHostileAnswerAtOneJobAndAtFour) {
  // Taken once the server listens: a port freed before could be given to it.
  std::atomic<int> closedPort{0};
  // /c/N/ links the route of case N, which it serves as /c/N/ROUTE.
  RawServer server([&](int fd, const std::string& request) {
    const std::string path = RequestPath(request);
    if (!path.starts_with("/c/"))
      return Route(fd, path);
    const size_t slash = path.find('/', 3);
    const std::string rest = slash == std::string::npos ? "" : path.substr(slash);
    if (rest == "/") {
      const Case& c = kCases[std::stoul(path.substr(3, slash - 3))];
      SendAll(fd, Answer(200, std::string("<A HREF=\"") + c.route + "\">x</A>\n"));
    } else if (rest == "/away.gif") {
      SendAll(fd,
              Answer(302, "",
                     "Location: http://127.0.0.1:" + std::to_string(closedPort) + "/gone.gif\r\n"));
    } else {
      Route(fd, rest);
    }
  });
  closedPort = ClosedPort();
  for (bool completePages : {false, true}) {
    for (size_t i = 0; i < std::size(kCases); ++i) {
      const Case& c = kCases[i];
      if (c.road == (completePages ? Case::OneAtATime : Case::WebRules))
        continue;
      SCOPED_TRACE(std::string(c.route) + (completePages ? " with complete pages" : ""));
      const std::string url = server.Url("/c/" + std::to_string(i) + "/");
      const Copy one = Crawl(url, 1, completePages, closedPort);
      const Copy four = Crawl(url, 4, completePages, closedPort);
      EXPECT_EQ(one, four);
      EXPECT_EQ(one.ending, c.ending);
      if (c.ending != CrawlEnding::Completed)
        continue;
      // A redirect to another server, or to no web address, is not followed for complete pages.
      const std::string route = c.route;
      const bool away = completePages &&
                        (route == "away.gif" || route == "local.htm" || route == "emptylocal.htm");
      auto outcome = one.outcomes.find(url + route);
      ASSERT_NE(outcome, one.outcomes.end());
      EXPECT_EQ(std::get<0>(outcome->second), c.fate);
      EXPECT_EQ(std::get<1>(outcome->second), away ? NotSavedReason::RedirectRefused : c.reason);
      if (c.bytes >= 0) {
        EXPECT_EQ(std::get<3>(outcome->second), c.bytes);
      }
      // A page sent compressed unasked is read for what it needs.
      if (route == "unasked.htm") {
        EXPECT_EQ(one.outcomes.count(url + "unasked.gif"), 1u);
      }
    }
  }
  // A start address on a server that refuses the connection cancels either way.
  const std::string refused = "http://127.0.0.1:" + std::to_string(closedPort) + "/";
  EXPECT_EQ(Crawl(refused, 1, false, closedPort).ending, CrawlEnding::Cancelled);
  EXPECT_EQ(Crawl(refused, 4, false, closedPort).ending, CrawlEnding::Cancelled);
}

}  // namespace
