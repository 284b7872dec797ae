#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "crawl/base/crawl_dialog.h"

// The crawl's dialog on a terminal: one progress line, redrawn at most ten times a second when
// standard error is a terminal, and what the exit status and the summary need to know.
class ConsoleDialog : public CrawlDialog {
 public:
  // listBroken: every file not saved is kept for the list of broken links.
  explicit ConsoleDialog(bool showProgress, bool listBroken = false);
  ~ConsoleDialog() override;

  void SetControlText(Control control, const std::string& text) override;
  void SetProgressRange(Control bar, int low, int high) override;
  void SetProgressPosition(Control bar, int position) override;
  void EnableControl(Control control, bool enabled) override;
  void ShowMessageBox(const std::string& text) override;
  void FileDone(const FileOutcome& file) override;
  void CrawlEnded(const CrawlOutcome& ending) override;

  struct Outcome : FileTally {
    CrawlOutcome ending;
    bool ended = false;
    // The first files not saved, "address (why)", as many as are named after the summary.
    std::vector<std::string> failures;
    // Every file not saved, "address (why), linked from page", where they are all listed.
    std::vector<std::string> brokenLinks;
  };
  static constexpr size_t kFailuresNamed = 20;
  Outcome Result() const;
  // Removes the progress line, so that the next output starts on a clean line.
  void ClearProgress();

 private:
  void Redraw(bool force);

  const bool m_showProgress;
  const bool m_listBroken;
  mutable std::mutex m_mutex;
  Outcome m_outcome;
  std::string m_queued, m_read, m_downloaded;  // the counters, for the progress line
  std::string m_label, m_item, m_status;
  int m_fileHigh = 0, m_filePosition = 0;
  bool m_lineShown = false;
  std::chrono::steady_clock::time_point m_lastDraw;
};

// Page-derived text made safe for a terminal: control bytes become "?".
std::string PrintableText(const std::string& text);
