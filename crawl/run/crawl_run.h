#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "crawl/base/crawl_dialog.h"
#include "crawl/base/crawl_plan.h"
#include "crawl/copy/copy_upkeep.h"
#include "crawl/copy/mirror_store.h"
#include "crawl/copy/partial_files.h"
#include "crawl/rules/crawl_rules.h"
#include "crawl/rules/robots_rules.h"
#include "crawl/rules/scope_rules.h"
#include "crawl/run/crawl_counts.h"
#include "crawl/run/crawl_endings.h"
#include "crawl/run/crawl_pass.h"
#include "crawl/run/http_fetcher.h"
#include "crawl/run/link_stack.h"
#include "crawl/run/redirect_judge.h"
#include "crawl/run/robots_files.h"
#include "crawl/run/run_archive.h"
#include "crawl/run/script_pages.h"
#include "crawl/run/store_limits.h"
#include "platform/transport.h"
#include "platform/watched_fd.h"

// One crawl and the steps of its passes, which the scheduler takes in turn: taking a link and
// placing it, reading its earlier copy, reading a fetched file for links, storing it, reporting
// what became of it. Its counts, its limits, its judge of redirects, its archive and its endings
// are parts of their own; the crawl hands each pass between them.
class CrawlRun {
 public:
  using Pass = CrawlPass;
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
  void End(CrawlOutcome outcome) {
    if (m_scripts) {
      outcome.readWithoutScripts = m_scripts->WithoutScripts();
      outcome.stoppedAtBudget = m_scripts->StoppedAtBudget();
    }
    m_endings.End(std::move(outcome), m_links);
  }

  CrawlDialog& Dialog() { return m_dialog; }
  // The archive asked for could not be begun: the crawl does not start.
  bool ArchiveRefused() const { return m_archive.Refused(); }
  Transport& Network() { return m_transport; }
  // How much of an answer a transfer takes, and where what exceeds a file's area goes. Going on
  // with files cut short, a pass whose file was is asked for the rest, which the intake joins to
  // the part kept.
  Intake IntakeOf(const Pass* pass = nullptr, TransferRequest* request = nullptr);
  // What came of a file cut short, kept aside for a later run to go on with, where the plan says.
  void KeepPart(const Pass& pass, FetchedFile& file) {
    if (m_partials)
      m_partials->Keep(pass.url, file);
  }
  const CrawlRules& Rules() const { return *m_rules; }
  // Where an answer may send the request of a pass: where the reading rules and the scope would
  // take a link of its depth and kind.
  RedirectRule Redirects(int depth, bool requisite) const {
    return m_redirects.Redirects(depth, requisite);
  }
  bool Stopping() const { return m_dialog.m_stopRequested != 0; }
  bool LinksPending() const { return m_links && !m_links->IsEmpty(); }
  void ShowWaiting(size_t passes) {
    if (m_links)
      m_links->ShowWaitingOutside(static_cast<int32_t>(passes));
  }
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
  CrawlCounts& Counts() { return m_counts; }
  bool WebRules() const { return m_plan.completePages; }
  const RetryPlan& Retries() const { return m_plan.retries; }
  // With robots.txt obeyed, the robots.txt of the address's server is read before its first file.
  void ReadRobotsFirst(const std::string& url) {
    if (m_scope && m_plan.scope.robots)
      m_robots.ReadFirst(url);
  }
  const StoreLimits& Limits() const { return m_limits; }
  // The rest of a pass once its file is in: what was not saved said, the file read for links,
  // a fetched file stored, the outcome reported. The file is released.
  void FinishPass(Pass& pass);
  RedirectJudge& Redirections() { return m_redirects; }
  // "Transfert canceled": bars and buttons back, the link stack destroyed, the ending reported.
  CrawlOutcome Cancel(const std::string& failedCall) {
    return m_endings.Cancel(failedCall, m_links);
  }
  const std::string& BasePrefix() const { return m_basePrefix; }
  // With --render, the browser started; false, and said, where it cannot be.
  bool StartScripts();
  // The pages' scripts moved on, for at most waitMs; whether pages are still loading.
  void PumpScripts(int waitMs) {
    if (m_scripts)
      m_scripts->Pump(waitMs);
  }
  bool ScriptsBusy() const { return m_scripts && m_scripts->Busy(); }
  // What the transfers' wait also watches, so that a page's request is answered at once.
  std::vector<WatchedFd> ScriptsWatched() const {
    return m_scripts ? m_scripts->Watched() : std::vector<WatchedFd>();
  }

 private:
  FileReading ReadForLinks(Pass& pass);
  // A server asked for a login the crawl lacks: the front end asks for one, once per server and
  // realm, and with one the file is fetched again, once. True when it is to be.
  bool AskedLogin(Pass& pass);
  // Where a fetched file is named from: its own address's path, or the directory's where the
  // answer came for the address with its "/".
  std::string NamedPath(const Pass& pass) const;
  // With updates, an answer that does not replace the pass's earlier copy: the copy is read in
  // its place, and what became of the file is returned.
  std::optional<FileOutcome> KeepEarlierCopy(Pass& pass);
  // A fetched file read for links and stored where it is to be; what became of it, where that
  // is to be said.
  std::optional<FileOutcome> ReadAndStore(Pass& pass, const std::optional<FileOutcome>& kept,
                                          bool unusable);

  CrawlDialog& m_dialog;
  const CrawlPlan& m_plan;
  RunArchive m_archive;  // outlives the transport, which records into it
  Transport m_transport;
  std::unique_ptr<CrawlRules> m_rules;
  MirrorStore m_store;
  CopyUpkeep m_upkeep;
  std::unique_ptr<PartialFiles> m_partials;  // going on with files cut short
  RobotsFiles m_robots;
  std::string m_startUrl;
  std::string m_basePrefix;
  std::unique_ptr<LinkStack> m_links;
  std::unique_ptr<Scope> m_scope;
  CrawlCounts m_counts;
  StoreLimits m_limits;
  RedirectJudge m_redirects;
  CrawlEndings m_endings;
  std::unique_ptr<ScriptPages> m_scripts;  // with --render
  bool m_startUntested = false;  // the next link taken is the start, fetched without a test
  std::map<std::string, bool> m_loginsAsked;  // "scheme://server realm": whether one was given
  std::set<std::string> m_askedAgain;         // addresses fetched again with a login
  std::set<std::string> m_loginsDeclined;     // servers whose login the person declined
};
