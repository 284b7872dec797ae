#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "crawl/archive/warc_writer.h"
#include "crawl/base/crawl_dialog.h"
#include "crawl/base/crawl_plan.h"
#include "crawl/copy/copy_upkeep.h"
#include "crawl/copy/mirror_store.h"
#include "crawl/rules/crawl_rules.h"
#include "crawl/rules/robots_rules.h"
#include "crawl/rules/scope_rules.h"
#include "crawl/run/http_fetcher.h"
#include "crawl/run/link_stack.h"
#include "crawl/run/robots_files.h"
#include "platform/transport.h"

// One crawl and the steps of its passes, which the scheduler takes in turn: taking a link and
// placing it, reading its earlier copy, reading a fetched file for links, storing it, reporting
// what became of it; and the crawl's start and its endings, cancelling among them.
class CrawlRun {
 public:
  // One link of the crawl: where it goes and what has come of it.
  struct Pass {
    std::string url;
    std::string localPath;
    bool stored = true;  // false: read for its links only
    std::unique_ptr<FetchedFile> file;
    bool fromNetwork = false;
    std::string earlierCopy;              // with updates: the copy the answer may replace
    std::vector<std::string> conditions;  // with updates: the request asks only for a change
    int depth = 0;                        // links from the start page
    bool requisite = false;               // what a page needs to show, not a page
    std::string referrer;                 // the page that linked it; empty for a start
    int robotsRetries = 0;                // asked again once a robots.txt was read
    int slowedDown = 0;                   // asked again after its server asked for a pause
    int crowded = 0;                      // asked again after its server took no more at once
    // The start address fetched without a reachability test before it: its answer stands for
    // the test's, and no answer at all, or an empty one, ends the crawl as the test's would.
    bool untestedStart = false;
  };
  // What obtaining a file gave.
  struct Obtained {
    std::unique_ptr<FetchedFile> file;  // none when nothing could be obtained
    bool cancelled = false;             // the crawl was cancelled and its end reported
  };

  // A crawl begins: the stop flag cleared, the start address given its "/" where it names a
  // directory, the link stack made with its rules.
  CrawlRun(CrawlDialog& dialog, const CrawlPlan& plan);
  ~CrawlRun();
  CrawlRun(const CrawlRun&) = delete;
  CrawlRun& operator=(const CrawlRun&) = delete;

  const std::string& StartUrl() const { return m_startUrl; }
  // The start address pushed, once its reachability test gave a file.
  void PushStart(const FetchedFile& reachable);
  // The start addresses pushed without a test, read as the web is read: the first one's own
  // fetch stands for it.
  void PushStartsUntested();
  // The end of a crawl that was not cancelled: what is pending dropped, the copy converted
  // where the crawl ran its course, the buttons back, the ending reported.
  void End(CrawlOutcome outcome);

  CrawlDialog& Dialog() { return m_dialog; }
  // The archive asked for could not be begun: the crawl does not start.
  bool ArchiveRefused() const { return m_plan.archive.Wanted() && !m_archive; }
  Transport& Network() { return m_transport; }
  // How much of an answer a transfer takes, and where what exceeds a file's area goes.
  Intake IntakeOf();
  const CrawlRules& Rules() const { return *m_rules; }
  // Where an answer may send the request of a pass: where the reading rules and the scope would
  // take a link of its depth and kind.
  RedirectRule Redirects(int depth, bool requisite) const;
  bool Stopping() const { return m_dialog.m_stopRequested != 0; }
  bool LinksPending() const { return m_links && !m_links->IsEmpty(); }
  // With a depth limit, the depth of the next pending link: a scheduler takes it only once no
  // page two or more links nearer the start is still to be read, which could reach it sooner.
  std::optional<int> NextDepth() const;

  // The next pending link, placed.
  Pass TakeLink();
  Pass Place(std::string url) const;
  // Reads the pass's earlier copy when it has one; false when it needs the network.
  bool ReadCopy(Pass& pass);
  // Obtains the start address as the reachability test, over the network or from a local
  // path. A fetch that finds the stop flag raised cancels the crawl.
  Obtained FetchFile(const std::string& source);
  void CountDownload() { ++m_downloadedCount; }
  // A server asked to be left alone a while (429, or 503 with Retry-After), with the web rules.
  void CountSlowDown() { ++m_slowDowns; }
  bool WebRules() const { return m_plan.completePages; }
  // With robots.txt obeyed, the robots.txt of the address's server is read before its first file.
  void ReadRobotsFirst(const std::string& url) {
    if (m_scope && m_plan.scope.robots)
      m_robots.ReadFirst(url);
  }
  // The plan's quota of stored bytes has been reached: no new file is to be fetched.
  bool QuotaReached() const { return m_quotaReached; }
  // Read as the web is read, the disk refused a file for want of room or permission as it would
  // refuse every file after: none is fetched, and those under way are dropped.
  bool WriteStopped() const { return m_plan.completePages && m_writeStop; }
  // The rest of a pass once its file is in: what was not saved said, the file read for links,
  // a fetched file stored, the outcome reported. The file is released.
  void FinishPass(Pass& pass);
  FileReading ReadForLinks(Pass& pass);
  void CountTowardsQuota(std::int64_t bytes);
  // A redirect refused because the robots.txt of its target's server was not read yet: the
  // file is read now, and true says the pass is to be fetched again.
  bool RetryAfterRobots(Pass& pass, const std::string& refusedTarget);
  // "Transfert canceled": bars and buttons back, the link stack destroyed, the ending reported.
  CrawlOutcome Cancel(const std::string& failedCall);
  // With converted links, rewrites the stored files' links into the outcome's counts. A crawl
  // that was stopped is converted all the same, for at most kConversionAfterStop, unless it is
  // stopped once more.
  void ConvertLinks(CrawlOutcome& outcome);
  static constexpr std::chrono::seconds kConversionAfterStop{10};
  const std::string& BasePrefix() const { return m_basePrefix; }

 private:
  // The counters as the dialog shows them last, into the outcome.
  CrawlOutcome Counted(CrawlOutcome outcome) const;
  void ShowDownloaded();
  // Where a fetched file is named from: its own address's path, or the directory's where the
  // answer came for the address with its "/".
  std::string NamedPath(const Pass& pass) const;
  // With a scope, a redirect it refused is that rule's leaving out (true: the pass is done);
  // one it followed to a name it reads only is not stored.
  bool JudgeRedirect(Pass& pass);
  // A file the disk refused for want of room or permission, in that directory: said once.
  void WriteRefused(int error, const std::string& directory);
  // The cookie file written, if one is asked for; false, and said, when it cannot be.
  bool SaveCookies();
  // The links the scope left out and no page took after all, one outcome each.
  void ReportLeftOut();

  // With updates, an answer that does not replace the pass's earlier copy: the copy is read in
  // its place, and what became of the file is returned.
  std::optional<FileOutcome> KeepEarlierCopy(Pass& pass);

  // The archive's records are written once every exchange has ended, and it outlives the
  // transfers, which hand it their last exchange as they go.
  void CloseArchive(CrawlOutcome& outcome);

  CrawlDialog& m_dialog;
  const CrawlPlan& m_plan;
  std::unique_ptr<WarcWriter> m_archive;
  std::string m_archiveWhy;
  Transport m_transport;
  std::unique_ptr<CrawlRules> m_rules;
  MirrorStore m_store;
  CopyUpkeep m_upkeep;
  RobotsFiles m_robots;
  std::string m_startUrl;
  std::string m_basePrefix;
  std::unique_ptr<LinkStack> m_links;
  std::unique_ptr<Scope> m_scope;
  int32_t m_downloadedCount = 0;
  int32_t m_downloadedShown = 0;  // as edit 1011 shows it last
  int32_t m_slowDowns = 0;
  bool m_startUntested = false;  // the next link taken is the start, fetched without a test
  int64_t m_storedBytes = 0;
  std::string m_writeRefusal;  // "DIR: reason", once a file was refused
  bool m_writeStop = false;    // and every file to come would be
  bool m_quotaReached = false;
};

// Why a fetched answer is not saved ("HTTP 404"), and the line that says so.
std::string NotSavedWhy(const FetchedFile& file);
std::string NotSavedText(const FetchedFile& file);
// What became of a pass's file, once it is done with it.
FileOutcome OutcomeOf(const CrawlRun::Pass& pass, std::optional<SaveResult> saved);
// "Download" back, "Stop" away: the last control steps of every crawl.
void EndActions(CrawlDialog& dialog);
