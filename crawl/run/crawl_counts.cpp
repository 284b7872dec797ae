#include "crawl/run/crawl_counts.h"

#include "support/int_text.h"

void CrawlCounts::ShowDownloaded() {
  m_shown = m_downloaded;
  m_dialog.SetControlText(Control::DownloadedFilesEdit, IntToText(m_shown));
}

CrawlOutcome CrawlCounts::Counted(CrawlOutcome outcome, int32_t accepted,
                                  int32_t robotsPauses) const {
  outcome.accepted = accepted;
  outcome.downloaded = m_shown;
  outcome.slowDowns = m_slowDowns + robotsPauses;
  outcome.certificateRefused = m_certificateRefused;
  return outcome;
}
