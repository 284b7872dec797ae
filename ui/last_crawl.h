#pragma once

#include <QString>
#include <mutex>
#include <string>

#include "crawl/base/crawl_dialog.h"

// What the last crawl of the window made of its files, counted as the worker reports them (from
// its thread) and read by the window (from its own).
class LastCrawl {
 public:
  // A crawl begins: rules, it has scope rules that leave links out; update, it asks for earlier
  // copies again; converted, its links are converted for reading offline.
  void Begin(bool rules, bool update, bool converted, const std::string& archive = {});
  void FileDone(const FileOutcome& outcome);
  void Ended(const CrawlOutcome& outcome);

  // What it made of its files, in the console program's words and counts; empty while it runs.
  QString Summary() const;
  // The start address's file of a crawl that ended with its links converted, where a browser
  // reads the copy from; empty otherwise.
  std::string ConvertedStartPage() const;
  // The start address's file once the crawl has ended, converted or not; empty otherwise.
  std::string StartPage() const;

 private:
  mutable std::mutex m_mutex;
  FileTally m_files;
  bool m_rules = false;
  bool m_update = false;
  bool m_converted = false;
  CrawlEnding m_ending = CrawlEnding::Completed;
  int32_t m_convertedFiles = 0;
  int32_t m_archiveRecords = 0;
  std::string m_archiveFailure;
  std::string m_writeRefusal;  // the directory that refused a file, and why
  int32_t m_notConverted = 0;
  std::string m_archivePath;  // the package the crawl writes, if any
  bool m_conversionStopped = false;
  bool m_firstDone = false;
  std::string m_startPage;  // where the start address's file was stored
  bool m_ended = false;
};
