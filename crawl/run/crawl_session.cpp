#include "crawl/run/crawl.h"

#include "crawl/run/crawl_run.h"
#include "crawl/run/slot_scheduler.h"
#include "support/activity_log.h"

CrawlPlan PlanFromDialog(CrawlDialog& dialog) {
  CrawlPlan plan;
  plan.start = CrawlStart{dialog.m_url.Get(), dialog.m_mirrorDirectory.Get(),
                          dialog.m_saveToDirectory.Get()};
  return plan;
}

namespace {

int JobsOf(const CrawlPlan& plan) {
  if (plan.jobs > 0)
    return plan.jobs;
  return plan.completePages ? 0 : 1;
}

}  // namespace

void RunCrawl(CrawlDialog& dialog, const CrawlPlan& plan) {
  struct LogCloser {
    ~LogCloser() { CloseLogFile(); }
  } logCloser;
  CrawlRun run(dialog, plan);
  if (run.ArchiveRefused() || !run.StartScripts())
    return run.End(CrawlOutcome{CrawlEnding::Stopped, {}, false});
  // Read as the web is read, the start page's own fetch is its test: one request, not two.
  if (plan.completePages && IsHttpUrl(run.StartUrl())) {
    run.PushStartsUntested();
    const CrawlOutcome outcome = RunSlots(run, JobsOf(plan));
    if (outcome.ending != CrawlEnding::Cancelled)
      run.End(outcome);
    return;
  }
  run.ReadRobotsFirst(run.StartUrl());
  CrawlRun::Obtained reachable = run.FetchFile(run.StartUrl());
  if (reachable.cancelled)
    return;
  if (!reachable.file) {
    dialog.ShowMessageBox("Can't connect to " + run.StartUrl());
    return run.End(CrawlOutcome{CrawlEnding::NotObtained, run.StartUrl(), true});
  }
  run.PushStart(*reachable.file);
  reachable.file.reset();
  // One file at a time is one transfer slot, with its plain requests.
  const CrawlOutcome outcome = RunSlots(run, JobsOf(plan));
  if (outcome.ending != CrawlEnding::Cancelled)
    run.End(outcome);
}
