#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "crawl/base/crawl_dialog.h"

// A main dialog for tests: records every control call in order, and publishes itself as the
// process's main dialog while it lives.
class RecordingDialog : public CrawlDialog {
 public:
  RecordingDialog();
  ~RecordingDialog() override;

  void SetControlText(Control control, const std::string& text) override;
  void SetProgressRange(Control bar, int low, int high) override;
  void SetProgressPosition(Control bar, int position) override;
  void EnableControl(Control control, bool enabled) override;
  void ShowMessageBox(const std::string& text) override;

  // Every call as one line: "text 1008 3", "range 1007 0 128", "pos 1003 10", "enable 1001 1",
  // "message Can't connect to /".
  std::vector<std::string> Events() const;
  // The status-line texts, that is every logged text, in order.
  std::vector<std::string> Logs() const;
  // The texts a control was given, in order.
  std::vector<std::string> Texts(Control control) const;
  // The last text a control was given, or "" when none.
  std::string LastText(Control control) const;
  void Clear();
  // How many WorkerEnded calls came.
  int WorkerEndedCount() const { return m_workerEnded; }
  void WorkerEnded() override { ++m_workerEnded; }

  // What became of each file, and how the crawl ended, as the engine reported them.
  void FileDone(const FileOutcome& outcome) override;
  void CrawlEnded(const CrawlOutcome& ending) override;
  std::vector<FileOutcome> Outcomes() const;
  std::vector<CrawlOutcome> Endings() const;

  // Answers the crawl's asks for a login; none by default.
  std::function<std::optional<Login>(const std::string& server, const std::string& realm)> onLogin;
  std::optional<Login> AskLogin(const std::string& server, const std::string& realm) override {
    return onLogin ? onLogin(server, realm) : std::nullopt;
  }

  // Called with every event as it is recorded, on the caller's thread: lets a test press
  // "Stop" at an exact moment.
  std::function<void(const std::string& event)> onEvent;

 private:
  void Record(std::string event);
  mutable std::mutex m_mutex;
  std::vector<std::string> m_events;
  std::vector<FileOutcome> m_outcomes;
  std::vector<CrawlOutcome> m_endings;
  std::atomic<int> m_workerEnded{0};
};
