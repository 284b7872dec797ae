#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "crawl/archive/warc_writer.h"
#include "crawl/base/crawl_dialog.h"
#include "crawl/base/crawl_plan.h"
#include "platform/transport.h"

// The crawl's archive, where one is asked for: begun with the crawl, told its pages, and closed
// once every exchange has ended. It outlives the transfers, which hand it their last exchange as
// they go.
class RunArchive {
 public:
  // An archive that can no longer be written raises the stop flag, as "Stop" does: what the
  // crawl would go on to fetch would be kept nowhere, or kept without its record.
  RunArchive(const ArchivePlan& plan, std::atomic<int>& stopRequested);
  ~RunArchive();
  RunArchive(const RunArchive&) = delete;
  RunArchive& operator=(const RunArchive&) = delete;

  // The archive asked for could not be begun: the crawl does not start.
  bool Refused() const { return m_plan.Wanted() && !m_writer; }
  bool Open() const { return m_writer != nullptr; }
  // The exchanges go to the archive from now on.
  void RecordFrom(Transport& transport) { transport.Record(m_writer.get()); }
  void AddPage(const std::string& url, const std::string& title);
  // Its records written, and said, into the outcome.
  void Close(Transport& transport, CrawlDialog& dialog, CrawlOutcome& outcome);

 private:
  const ArchivePlan& m_plan;
  std::unique_ptr<WarcWriter> m_writer;
  std::string m_why;
};
