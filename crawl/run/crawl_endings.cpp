#include "crawl/run/crawl_endings.h"

void EndActions(CrawlDialog& dialog) {
  dialog.EnableControl(Control::DownloadButton, true);
  dialog.EnableControl(Control::StopButton, false);
}

void CrawlEndings::ReportLeftOut(const LinkStack* links) {
  if (!links)
    return;
  for (const auto& [url, robots] : links->LeftOut()) {
    FileOutcome outcome;
    outcome.url = url;
    outcome.fate = FileFate::LeftOut;
    if (robots)
      outcome.why = "left out by robots.txt";
    m_parts.dialog.FileDone(outcome);
  }
}

CrawlOutcome CrawlEndings::Counted(CrawlOutcome outcome, std::unique_ptr<LinkStack>& links) {
  ReportLeftOut(links.get());
  outcome =
      m_parts.counts.Counted(outcome, links ? links->AcceptedCount() : 0, m_parts.robots.Pauses());
  outcome.writeRefusal = m_parts.limits.Refusal();
  links.reset();
  return outcome;
}

void CrawlEndings::ConvertLinks(CrawlOutcome& outcome) {
  if (!m_parts.plan.convertLinks)
    return;
  CrawlDialog& dialog = m_parts.dialog;
  // The stop that ended the crawl is spent; another, asked already or while files convert,
  // leaves the rest to the next run, as does the end of the time a stopped crawl is given.
  int once = 1;
  const bool stopped = dialog.m_stopRequested.compare_exchange_strong(once, 0);
  if (!stopped && once != 0) {
    outcome.conversionStopped = true;
    return;
  }
  const CopyUpkeep::Converted converted = m_parts.upkeep.ConvertLinks(
      m_basePrefix, dialog.m_stopRequested,
      stopped ? std::optional(std::chrono::steady_clock::now() + kConversionAfterStop)
              : std::nullopt);
  outcome.converted = converted.files;
  outcome.conversionStopped = converted.stopped;
  outcome.notConverted = converted.notConverted;
  if (converted.refusal != 0) {
    m_parts.limits.WriteRefused(converted.refusal, converted.refusedIn);
    outcome.writeRefusal = m_parts.limits.Refusal();
  }
}

void CrawlEndings::Report(CrawlOutcome& outcome) {
  if (!m_parts.transport.SaveCookies()) {
    m_parts.dialog.Log("Cookies not saved: " + m_parts.plan.network.saveCookies);
    outcome.cookiesNotSaved = true;
  }
  m_parts.archive.Close(m_parts.transport, m_parts.dialog, outcome);
  m_parts.dialog.CrawlEnded(outcome);
  m_parts.dialog.WorkerEnded();
}

CrawlOutcome CrawlEndings::Cancel(const std::string& failedCall,
                                  std::unique_ptr<LinkStack>& links) {
  CrawlDialog& dialog = m_parts.dialog;
  dialog.Log("Transfert canceled");
  dialog.SetProgressPosition(Control::FileProgress, 0);
  dialog.SetProgressPosition(Control::ActivityProgress, 0);
  // Stop stays at hand while the links of what was stored are converted.
  if (!m_parts.plan.convertLinks)
    EndActions(dialog);
  CrawlOutcome outcome = Counted(CrawlOutcome{CrawlEnding::Cancelled, failedCall, false}, links);
  if (m_parts.plan.convertLinks) {
    ConvertLinks(outcome);
    EndActions(dialog);
  }
  Report(outcome);
  return outcome;
}

void CrawlEndings::End(CrawlOutcome outcome, std::unique_ptr<LinkStack>& links) {
  if (outcome.ending == CrawlEnding::QuotaReached && links)
    outcome.linksLeft += links->PendingCount();
  outcome = Counted(outcome, links);
  // However the crawl ended, its copy reads from disk.
  ConvertLinks(outcome);
  EndActions(m_parts.dialog);
  Report(outcome);
}
