#include "crawl/run/crawl_counts.h"

#include "support/int_text.h"

void CrawlCounts::CountUnreachable(const TransferResult& result, const std::string& url) {
  m_certificateRefused = m_certificateRefused || result.certificate;
  // The latest: a crawl that ends on a server out of reach ends on the last one met.
  using U = CrawlOutcome::Unreached;
  m_unreached = result.nameUnknown   ? U::Name
                : result.refused     ? U::Refused
                : result.certificate ? U::Certificate
                                     : U::Connection;
  const size_t begin = url.find("://") == std::string::npos ? 0 : url.find("://") + 3;
  const size_t end = url.find_first_of("/?#", begin);
  m_unreachedServer = url.substr(begin, end == std::string::npos ? end : end - begin);
}

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
  outcome.unreached = m_unreached;
  outcome.unreachedServer = m_unreachedServer;
  return outcome;
}
