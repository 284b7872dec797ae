#pragma once

#include <QString>
#include <mutex>
#include <string>
#include <vector>

#include "crawl/base/crawl_dialog.h"

// What the last crawl of the window made of its files, counted as the worker reports them (from
// its thread) and read by the window (from its own).
class LastCrawl {
 public:
  // A crawl begins: rules, it has scope rules that leave links out; update, it asks for earlier
  // copies again; converted, its links are converted for reading offline.
  // copy: where a crawl with the web rules stores its copy, said when it ends; empty for the
  // plain crawl, which says nothing more than it always did.
  // start: the address it starts from.
  void Begin(bool rules, bool update, bool converted, const std::string& archive = {},
             const std::string& copy = {}, const std::string& start = {});
  void FileDone(const FileOutcome& outcome);
  void Ended(const CrawlOutcome& outcome);

  // What it made of its files, in the console program's words and counts; empty while it runs.
  QString Summary() const;
  // The start address's file once the crawl has ended, converted or not; empty otherwise.
  std::string StartPage() const;

  // Once a crawl with the web rules has ended: how it ended, what it stored and did not, and
  // where the copy is, in a line; empty otherwise.
  QString EndLine() const;
  // Once a crawl with the web rules has ended for a reason a person must act on (its server out
  // of reach, a disk that refuses the copy): that reason, in words; empty otherwise.
  QString Problem() const;
  // The directory the copy is in: the start page's, else the one the crawl was given.
  std::string CopyDirectory() const;
  // A file not saved, and why; the first kMostFailures of them are kept.
  struct Failure {
    std::string url;
    std::string why;
    std::string linkedFrom;
  };
  static constexpr size_t kMostFailures = 100000;
  std::vector<Failure> Failures() const;

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
  std::string m_copy;  // empty: the plain crawl
  std::string m_start;
  std::string m_endText;  // why a crawl ended early: a failed call, a file not obtained
  std::vector<Failure> m_failures;
  CrawlOutcome::Unreached m_unreached = CrawlOutcome::Unreached::None;
  std::string m_unreachedServer;
};
