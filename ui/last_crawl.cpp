#include "ui/last_crawl.h"

void LastCrawl::Begin(bool rules, bool update, bool converted) {
  std::lock_guard lock(m_mutex);
  m_files = FileTally{};
  m_rules = rules;
  m_update = update;
  m_converted = converted;
  m_ending = CrawlEnding::Completed;
  m_firstDone = false;
  m_startPage.clear();
  m_ended = false;
}

void LastCrawl::FileDone(const FileOutcome& outcome) {
  std::lock_guard lock(m_mutex);
  m_files.Count(outcome);
  // The first file of a crawl is its start address's.
  if (!m_firstDone) {
    m_firstDone = true;
    if (outcome.fate != FileFate::NotSaved && outcome.fate != FileFate::LeftOut)
      m_startPage = outcome.localPath;
  }
}

void LastCrawl::Ended(CrawlEnding ending) {
  std::lock_guard lock(m_mutex);
  m_ended = true;
  m_ending = ending;
}

QString LastCrawl::Summary() const {
  std::lock_guard lock(m_mutex);
  if (!m_ended)
    return QString();
  QString line = m_ending == CrawlEnding::Completed ? QStringLiteral("Last crawl: ")
                 : m_ending == CrawlEnding::QuotaReached
                     ? QStringLiteral("Last crawl, ended at its quota: ")
                     : QStringLiteral("Last crawl, ended early: ");
  line += QStringLiteral("%1 stored, %2 from earlier copies, %3 not saved")
              .arg(m_files.stored)
              .arg(m_files.fromCopies)
              .arg(m_files.notSaved);
  if (m_update)
    line += QStringLiteral("; %1 unchanged, %2 updated, %3 new, %4 gone")
                .arg(m_files.unchanged)
                .arg(m_files.updated)
                .arg(m_files.added)
                .arg(m_files.gone);
  if (m_rules)
    line += QStringLiteral("; %1 left out by the rules").arg(m_files.leftOut);
  return line;
}

std::string LastCrawl::ConvertedStartPage() const {
  std::lock_guard lock(m_mutex);
  return m_converted && m_ended ? m_startPage : std::string();
}
