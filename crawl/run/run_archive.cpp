#include "crawl/run/run_archive.h"

RunArchive::RunArchive(const ArchivePlan& plan, std::atomic<int>& stopRequested) : m_plan(plan) {
  if (!plan.Wanted())
    return;
  m_writer = WarcWriter::Open(plan, m_why);
  if (m_writer) {
    m_writer->OnFailure([&stopRequested] {
      int running = 0;
      stopRequested.compare_exchange_strong(running, 1);
    });
  }
}

RunArchive::~RunArchive() = default;

void RunArchive::AddPage(const std::string& url, const std::string& title) {
  m_writer->AddPage(url, title);
}

void RunArchive::Close(Transport& transport, CrawlDialog& dialog, CrawlOutcome& outcome) {
  if (!m_plan.Wanted())
    return;
  if (m_writer) {
    transport.Record(nullptr);
    m_writer->Close(m_why);
    outcome.archiveRecords = m_writer->Records();
  }
  outcome.archiveFailure = m_why;
  outcome.archiveRefused = !m_writer;
  if (!m_why.empty())
    dialog.Log("Archive not written: " + m_why);
}
