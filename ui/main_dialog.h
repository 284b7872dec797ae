#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <QIcon>
#include <QTimer>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "crawl/base/crawl_dialog.h"
#include "ui/control_updates.h"
#include "ui/last_crawl.h"

class CopyServer;
class CrawlEndRow;

class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class UrlHistory;
namespace Ui {
class MainDialog;
}

// The one window of the program. It implements the crawl's dialog interface: the worker's
// control updates are collected and shown on the window's thread, each control showing its
// values in the order they came, the latest always last.
class CKelvaneDlg : public QDialog, public CrawlDialog {
  Q_OBJECT

 public:
  explicit CKelvaneDlg(QWidget* parent = nullptr);
  ~CKelvaneDlg() override;

  // The crawl's dialog interface, callable from any thread.
  void SetControlText(Control control, const std::string& text) override;
  void SetProgressRange(Control bar, int low, int high) override;
  void SetProgressPosition(Control bar, int position) override;
  void EnableControl(Control control, bool enabled) override;
  void ShowMessageBox(const std::string& text) override;
  void WorkerEnded() override;
  void FileDone(const FileOutcome& outcome) override;
  void CrawlEnded(const CrawlOutcome& ending) override;
  // With the web rules the person is asked, on the window's thread; the login is kept for the
  // window's later crawls, in memory alone.
  std::optional<Login> AskLogin(const std::string& server, const std::string& realm) override;

  // What the last crawl made of its files, in a line: shown as the status line's tooltip.
  QString Summary() const;

  QWidget* ControlById(Control control) const;
  bool WorkerRunning() const { return m_workerThread.joinable(); }
  // The command line a "Browse" button builds: browser path, one blank, argument.
  static std::string BrowserCommandLine(const std::string& browser, const std::string& argument);

  bool OnInitDialog();
  // The modal run: the window is set up, then shown until it ends.
  int DoModal() {
    OnInitDialog();
    return exec();
  }
  bool LoadWindowPlacement();

  std::string m_placementEntry;
  int m_historyIndex = -1;
  QProgressBar* m_queueProgress = nullptr;
  QProgressBar* m_activityProgress = nullptr;
  QProgressBar* m_fileProgress = nullptr;
  QIcon m_icon;

 signals:
  void workerFinished();

 protected:
  void DoDataExchange(bool fromControls);
  void UpdateData(bool fromControls) { DoDataExchange(fromControls); }
  void done(int result) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void PaintStatusLine();

 private:
  // Handlers, as the message map routes them.
  void OnDownload();
  void OnStop();
  void OnDestroy();
  void ShowHelp();
  void ChooseSaveToDirectory();
  void OpenPreferences();
  void LaunchBrowser(const std::string& argument);
  void BrowseCopy();
  void ShowWhatHappened();
  // A crawl's worker has ended: its end line, what Browse opens, and what it must say.
  void CrawlOver();
  // What Browse opens of the copy the last crawl made, kept for the next run of the window.
  void RememberCopy();
  // Where the start page goes: with the copy's options, under the names they give.
  std::string MirrorDirectoryShown() const;
  std::string ServedAddress(const std::string& page);
  void UpdateBrowseButtons();
  void DeleteCurrentUrl();
  void CommitUrl();
  void RefreshMirrorDirectory();
  void OnSelectionChanged(int position);
  void SaveWindowPlacement();

  void MessageMap();
  bool OnWindowThread() const;
  void Queue(Control control, const std::function<void(ControlUpdates::Change&)>& change);
  // These run on the window thread at a worker's request. They are called by name, not
  // through a lambda, so that nothing the worker made is read here without a lock.
  // Flushes now, or when a frame's time has passed since the last flush.
  Q_INVOKABLE void ScheduleFlush();
  Q_INVOKABLE void OnWorkerEnded();
  Q_INVOKABLE void ShowMessageBoxHere(const QString& text);
  // The user and password typed, or nothing.
  Q_INVOKABLE QStringList AskLoginHere(const QString& server, const QString& realm);
  // Asks, and hands the answer to the worker waiting in AskLogin.
  Q_INVOKABLE void AskLoginForWorker(const QString& server, const QString& realm);
  void Flush();
  void Apply(Control control, const ControlUpdates::Change& change);
  // Serves the worker's calls, and no input, until it has ended; then joins it.
  void WaitForWorker();
  void JoinWorker();

  Ui::MainDialog* m_ui;
  std::unique_ptr<UrlHistory> m_history;
  // Set by a key that moves through the open list, so that the move counts as a selection.
  bool m_listKeyPressed = false;
  ControlUpdates m_updates;
  QTimer m_flushTimer;
  QElapsedTimer m_sinceFlush;
  std::map<int, QWidget*> m_controlsById;
  // The worker's last call has been made: from here it only returns.
  std::atomic<bool> m_workerDone{true};
  bool m_closing = false;
  LastCrawl m_lastCrawl;
  // Where the last crawl that ran its pages' scripts saved to, and the server its copy is
  // opened through while the window is open.
  std::string m_renderedSaveTo;
  std::string m_crawledAddress;           // as typed for the last crawl, without a login
  std::atomic<bool> m_asksLogins{false};  // the running crawl has the web rules
  std::map<std::string, Login> m_logins;  // by "scheme://server realm"; the window's thread only
  // The login typed for the worker's question, under a lock the thread checker sees.
  struct LoginAnswer {
    std::mutex mutex;
    std::condition_variable given;
    bool done = false;
    std::optional<Login> login;
  } m_loginAnswer;
  std::unique_ptr<CopyServer> m_copyServer;
  std::unique_ptr<CrawlEndRow> m_endRow;
};
