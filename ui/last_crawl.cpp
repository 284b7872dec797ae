#include "ui/last_crawl.h"

#include <QFileInfo>

#include <filesystem>

#include "ui/qt_text.h"

void LastCrawl::Begin(bool rules, bool update, bool converted, const std::string& archive,
                      const std::string& copy, const std::string& start) {
  std::lock_guard lock(m_mutex);
  m_copy = copy;
  m_start = start;
  m_failures.clear();
  m_files = FileTally{};
  m_rules = rules;
  m_update = update;
  m_converted = converted;
  m_archiveRecords = 0;
  m_archiveFailure.clear();
  m_archivePath = archive;
  m_ending = CrawlEnding::Completed;
  m_firstDone = false;
  m_startPage.clear();
  m_ended = false;
}

void LastCrawl::FileDone(const FileOutcome& outcome) {
  std::lock_guard lock(m_mutex);
  m_files.Count(outcome);
  // Left out by the rules, a file was not asked for; by robots.txt, it was and the site said no.
  const bool asked = outcome.fate == FileFate::NotSaved ||
                     (outcome.fate == FileFate::LeftOut && !outcome.why.empty());
  if (!m_copy.empty() && asked && m_failures.size() < kMostFailures)
    m_failures.push_back({outcome.url, outcome.why, outcome.referrer});
  // The first file of a crawl is its start address's.
  if (!m_firstDone) {
    m_firstDone = true;
    if (outcome.fate != FileFate::NotSaved && outcome.fate != FileFate::LeftOut &&
        outcome.fate != FileFate::Recorded)
      m_startPage = outcome.localPath;
  }
}

void LastCrawl::Ended(const CrawlOutcome& outcome) {
  std::lock_guard lock(m_mutex);
  m_ended = true;
  m_ending = outcome.ending;
  m_endText = outcome.text;
  m_unreached = outcome.unreached;
  m_unreachedServer = outcome.unreachedServer;
  m_convertedFiles = outcome.converted;
  m_conversionStopped = outcome.conversionStopped;
  m_archiveRecords = outcome.archiveRecords;
  m_archiveFailure = outcome.archiveFailure;
  m_writeRefusal = outcome.writeRefusal;
  m_notConverted = outcome.notConverted;
  // A start whose server could not be reached, and nothing of it came: it is what was not saved.
  using U = CrawlOutcome::Unreached;
  const bool ended = m_ending == CrawlEnding::NotObtained ||
                     (m_ending == CrawlEnding::Cancelled && !m_endText.empty());
  if (!m_copy.empty() && !m_firstDone && ended && m_unreached != U::None) {
    m_failures.push_back({m_start,
                          m_unreached == U::Name          ? "no server by that name"
                          : m_unreached == U::Refused     ? "connection refused"
                          : m_unreached == U::Certificate ? "certificate does not verify"
                                                          : m_endText,
                          ""});
    ++m_files.notSaved;
  }
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
  if (m_converted)
    line += QStringLiteral("; links converted in %1 file%2")
                .arg(m_convertedFiles)
                .arg(m_convertedFiles == 1 ? "" : "s") +
            (m_conversionStopped ? QStringLiteral(" (stopped: the next run converts the rest)")
                                 : QString());
  if (m_notConverted > 0)
    line += QStringLiteral("; links could not be converted in %1 file%2")
                .arg(m_notConverted)
                .arg(m_notConverted == 1 ? "" : "s");
  if (!m_writeRefusal.empty())
    line += QStringLiteral("; cannot write in ") + QString::fromStdString(m_writeRefusal);
  if (!m_archiveFailure.empty())
    line += QStringLiteral("; the archive could not be written: ") +
            QString::fromStdString(m_archiveFailure);
  else if (!m_archivePath.empty())
    line += QStringLiteral("; %1 record%2 in the archive %3")
                .arg(m_archiveRecords)
                .arg(m_archiveRecords == 1 ? "" : "s")
                .arg(QString::fromStdString(m_archivePath));
  return line;
}

std::string LastCrawl::StartPage() const {
  std::lock_guard lock(m_mutex);
  return m_ended ? m_startPage : std::string();
}

std::string LastCrawl::CopyDirectory() const {
  std::lock_guard lock(m_mutex);
  return m_startPage.empty() ? m_copy : std::filesystem::path(m_startPage).parent_path().string();
}

std::vector<LastCrawl::Failure> LastCrawl::Failures() const {
  std::lock_guard lock(m_mutex);
  return m_failures;
}

QString LastCrawl::EndLine() const {
  const std::string copy = CopyDirectory();
  std::lock_guard lock(m_mutex);
  if (!m_ended || m_copy.empty())
    return QString();
  QString how;
  switch (m_ending) {
    case CrawlEnding::Completed:
      how = QStringLiteral("Finished");
      break;
    case CrawlEnding::QuotaReached:
      how = QStringLiteral("Finished at the quota of bytes");
      break;
    case CrawlEnding::Stopped:
      // A disk that refused the copy stopped it, not the person; the message box says why.
      how = !m_writeRefusal.empty() ? QStringLiteral("Stopped, as the copy cannot be written")
            : !m_archiveFailure.empty()
                ? QStringLiteral("Stopped, as the archive cannot be written")
                : QStringLiteral("Stopped");
      break;
    case CrawlEnding::Cancelled:
      how = m_endText.empty() ? QStringLiteral("Stopped")
                              : QStringLiteral("Stopped by a failed network call (%1)")
                                    .arg(QString::fromStdString(m_endText));
      break;
    case CrawlEnding::NotObtained:
      how = QStringLiteral("Ended, as %1 could not be obtained")
                .arg(QString::fromStdString(m_endText));
      break;
  }
  QString line =
      how +
      QStringLiteral(": %1 file%2 stored").arg(m_files.stored).arg(m_files.stored == 1 ? "" : "s");
  if (m_files.fromCopies > 0)
    line += QStringLiteral(", %1 from earlier copies").arg(m_files.fromCopies);
  line += QStringLiteral(", %1 not saved").arg(m_files.notSaved);
  if (!m_writeRefusal.empty() && m_ending != CrawlEnding::Stopped)
    line += QStringLiteral(" (cannot write in %1)").arg(QString::fromStdString(m_writeRefusal));
  // Where nothing could be written, there is no copy to point at.
  if (!QFileInfo::exists(ToQt(copy)))
    return line;
  return line + QStringLiteral(", in ") + QString::fromStdString(copy);
}

QString LastCrawl::Problem() const {
  std::lock_guard lock(m_mutex);
  if (!m_ended || m_copy.empty())
    return QString();
  if (!m_writeRefusal.empty())
    return QStringLiteral("The copy cannot be written in %1").arg(ToQt(m_writeRefusal));
  if (!m_archiveFailure.empty())
    return QStringLiteral("The archive cannot be written: %1").arg(ToQt(m_archiveFailure));
  const bool ended = m_ending == CrawlEnding::NotObtained ||
                     (m_ending == CrawlEnding::Cancelled && !m_endText.empty());
  const QString server = ToQt(m_unreachedServer);
  using U = CrawlOutcome::Unreached;
  switch (ended ? m_unreached : U::None) {
    case U::None:
      break;
    case U::Name:
      return QStringLiteral("No server is known by the name %1").arg(server);
    case U::Refused:
      return QStringLiteral(
                 "The server %1 refused the connection: no web server answers there, or not on "
                 "that port")
          .arg(server);
    case U::Certificate:
      return QStringLiteral(
                 "The server %1 gave a certificate that does not verify: who answers cannot be "
                 "told, so nothing was taken from it")
          .arg(server);
    case U::Connection:
      return QStringLiteral("The server %1 could not be reached: %2").arg(server, ToQt(m_endText));
  }
  return QString();
}
