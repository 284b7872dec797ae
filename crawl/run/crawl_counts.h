#pragma once

#include <cstdint>
#include <string>

#include "crawl/base/crawl_dialog.h"
#include "platform/transfer_result.h"

// The counts a crawl shows as it goes, and gives its outcome at the end: what the dialog shows
// last is what the outcome says.
class CrawlCounts {
 public:
  explicit CrawlCounts(CrawlDialog& dialog) : m_dialog(dialog) {}

  void CountDownload() { ++m_downloaded; }
  // A fetch whose file is to be fetched again (a login came for it): counted when that comes.
  void UncountDownload() { --m_downloaded; }
  // A server asked to be left alone a while (429, or 503 with Retry-After), with the web rules.
  void CountSlowDown() { ++m_slowDowns; }
  // A transfer found its server out of reach (its name, the connection, its certificate): the
  // latest is the outcome's.
  void CountUnreachable(const TransferResult& result, const std::string& url);
  // The downloaded files, as edit 1011 shows them.
  void ShowDownloaded();
  // The counters as the dialog shows them last, into the outcome.
  CrawlOutcome Counted(CrawlOutcome outcome, int32_t accepted, int32_t robotsPauses) const;

 private:
  CrawlDialog& m_dialog;
  int32_t m_downloaded = 0;
  int32_t m_shown = 0;
  int32_t m_slowDowns = 0;
  bool m_certificateRefused = false;
  CrawlOutcome::Unreached m_unreached = CrawlOutcome::Unreached::None;
  std::string m_unreachedServer;
};
