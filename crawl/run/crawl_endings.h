#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "crawl/base/crawl_dialog.h"
#include "crawl/base/crawl_plan.h"
#include "crawl/copy/copy_upkeep.h"
#include "crawl/run/crawl_counts.h"
#include "crawl/run/link_stack.h"
#include "crawl/run/robots_files.h"
#include "crawl/run/run_archive.h"
#include "crawl/run/store_limits.h"
#include "platform/transport.h"

// The ways a crawl ends, with what every ending does: the links left out reported, the copy's
// links converted where asked, the cookies and the archive written, the buttons given back and
// the ending reported.
class CrawlEndings {
 public:
  struct Parts {
    CrawlDialog& dialog;
    const CrawlPlan& plan;
    CopyUpkeep& upkeep;
    Transport& transport;
    RunArchive& archive;
    CrawlCounts& counts;
    StoreLimits& limits;
    const RobotsFiles& robots;
  };
  explicit CrawlEndings(Parts parts) : m_parts(parts) {}

  // The end of a crawl that was not cancelled: what is pending dropped, the copy converted
  // where the crawl ran its course, the buttons back, the ending reported.
  void End(CrawlOutcome outcome, std::unique_ptr<LinkStack>& links);
  // "Transfert canceled": bars and buttons back, the link stack destroyed, the ending reported.
  CrawlOutcome Cancel(const std::string& failedCall, std::unique_ptr<LinkStack>& links);
  // With converted links, rewrites the stored files' links into the outcome's counts. A crawl
  // that was stopped is converted all the same, for at most kConversionAfterStop, unless it is
  // stopped once more.
  void ConvertLinks(CrawlOutcome& outcome);
  static constexpr std::chrono::seconds kConversionAfterStop{10};
  void SetBasePrefix(std::string basePrefix) { m_basePrefix = std::move(basePrefix); }

 private:
  // The links the scope left out and no page took after all, one outcome each.
  void ReportLeftOut(const LinkStack* links);
  // The counters as the dialog shows them last; destroying the link stack pops what is
  // pending, so the queue shows 0 at every end.
  CrawlOutcome Counted(CrawlOutcome outcome, std::unique_ptr<LinkStack>& links);
  // The cookies and the archive written, and the ending reported.
  void Report(CrawlOutcome& outcome);

  Parts m_parts;
  std::string m_basePrefix;
};

// "Download" back, "Stop" away: the last control steps of every crawl.
void EndActions(CrawlDialog& dialog);
