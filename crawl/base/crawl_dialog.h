#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

// Every control of the main window, by the number it is known by everywhere.
enum class Control : int {
  UrlCombo = 1000,
  DownloadButton = 1001,
  MirrorDirectoryEdit = 1002,
  FileProgress = 1003,
  StatusLine = 1004,
  ActivityProgress = 1005,
  StopButton = 1006,
  QueueProgress = 1007,
  QueuedFilesEdit = 1008,
  ReadFilesEdit = 1009,
  OptionsButton = 1010,
  DownloadedFilesEdit = 1011,
  BrowseMirrorButton = 1012,
  BrowseUrlButton = 1013,
  SaveToButton = 1014,
  CurrentItemEdit = 1015,
  CurrentItemLabel = 1016,
  DeleteFromListButton = 1018,
  HelpButton = 57670,
};

// A text written by the window's thread and read by the worker; always copied under the lock.
class GuardedText {
 public:
  std::string Get() const {
    std::lock_guard lock(m_mutex);
    return m_text;
  }
  void Set(std::string text) {
    std::lock_guard lock(m_mutex);
    m_text = std::move(text);
  }

 private:
  mutable std::mutex m_mutex;
  std::string m_text;
};

// What became of one file of a pass.
enum class FileFate {
  Stored,
  ReadFromCopy,
  NotSaved,
  // With updates, for a file with an earlier copy:
  Unchanged,  // the server said it had not changed; the copy was read
  Updated,    // the new answer replaced the copy
  Gone,       // the server no longer has it (404, 410); the copy was kept and read
  LeftOut,    // the crawl's scope rules left the link out: never fetched
  Recorded,   // with the archive alone: fetched and recorded, never stored
};
// Why a file was not saved.
enum class NotSavedReason {
  None,
  HttpStatus,
  BrokenTransfer,
  TooLarge,
  WriteFailed,
  OutsideSaveTo,
  RedirectRefused,    // the answer sent it where the crawl does not go
  ServerUnreachable,  // its server could not be reached: name, connection or TLS set-up
};

struct FileOutcome {
  std::string url;
  FileFate fate = FileFate::Stored;
  NotSavedReason reason = NotSavedReason::None;
  int httpStatus = 0;  // the answer's status, for a fetched file
  int64_t bytes = 0;   // bytes received over the network, or read from the earlier copy
  bool fromNetwork = false;
  std::string localPath;  // where its copy is, for a file stored or read from a copy
  std::string referrer;   // the page that linked it; empty for a start address
  std::string why;        // for a file not saved: the reason, as the log says it
};

// What became of a crawl's files, counted alike by every front end.
struct FileTally {
  int stored = 0;  // new files and updated ones
  int fromCopies = 0;
  int notSaved = 0;
  // With updates: what became of the earlier copies, and the files that had none.
  int unchanged = 0, updated = 0, added = 0, gone = 0;
  int leftOut = 0;  // links the scope rules left out
  int broken = 0;   // not saved because the transfer broke off or the server was out of reach
  int writeFailed = 0;
  int loginRefused = 0;  // not saved with a 401 or 407
  int64_t bytes = 0;     // received over the network by the passes
  void Count(const FileOutcome& file);
};

// How a crawl ended.
enum class CrawlEnding {
  Completed,     // no link left
  Stopped,       // "Stop" between two files
  Cancelled,     // "Stop" during a fetch, or a failed network call
  NotObtained,   // a file could not be obtained: the start address, or a pass's file
  QuotaReached,  // the plan's quota of stored bytes reached: no new file fetched after it
};

struct CrawlOutcome {
  CrawlEnding ending = CrawlEnding::Completed;
  // Cancelled: the failed network call's error text, empty when "Stop" cancelled it.
  // NotObtained: the address that could not be obtained.
  std::string text;
  bool startAddress = false;     // NotObtained: it was the start address
  int32_t linksLeft = 0;         // QuotaReached: the links taken and never fetched
  bool cookiesNotSaved = false;  // the cookie file asked for could not be written
  // The counters as the dialog showed them last: the links accepted ("Read Files") and the
  // network fetches that gave a file ("Downloaded files"); nothing is queued at the end.
  int32_t accepted = 0;
  int32_t downloaded = 0;
  int32_t slowDowns = 0;  // answers by which a server asked for a pause, the file asked again
  bool certificateRefused = false;  // a server's certificate did not verify
  // The last server that could not be reached, and why; None when every one could.
  enum class Unreached { None, Name, Refused, Certificate, Connection };
  Unreached unreached = Unreached::None;
  std::string unreachedServer{};  // as the address names it: "host" or "host:port"
  // With converted links: the files rewritten, and whether a second stop left some for the next
  // run.
  int32_t converted = 0;
  bool conversionStopped = false;
  int32_t notConverted = 0;  // files whose converted text (or kept original) could not be written
  // The disk refused a file for want of room or permission: "DIR: reason", DIR where it did.
  std::string writeRefusal{};
  // With an archive: the records written, and why it could not be written whole.
  int32_t archiveRecords = 0;
  std::string archiveFailure{};
  bool archiveRefused = false;  // it could not even be begun, and the crawl did not start
  // With the pages' scripts run: the pages read without them (their browser tab failed, or the
  // browser itself did twice).
  int32_t readWithoutScripts = 0;
  int32_t stoppedAtBudget = 0;  // pages whose scripts ran until their budget
};

// What the crawl needs of the main dialog. The window, the console program and the tests each
// implement the control operations; the worker calls them from its own thread.
class CrawlDialog {
 public:
  CrawlDialog() = default;
  CrawlDialog(const CrawlDialog&) = delete;
  CrawlDialog& operator=(const CrawlDialog&) = delete;
  virtual ~CrawlDialog();

  std::atomic<int> m_stopRequested{0};
  std::thread m_workerThread;
  std::atomic<int> m_verbose{0};
  GuardedText m_url;
  GuardedText m_saveToDirectory;
  GuardedText m_mirrorDirectory;

  virtual void SetControlText(Control control, const std::string& text) = 0;
  virtual void SetProgressRange(Control bar, int low, int high) = 0;
  virtual void SetProgressPosition(Control bar, int position) = 0;
  virtual void EnableControl(Control control, bool enabled) = 0;
  // Blocks the calling thread until the user has closed the message.
  virtual void ShowMessageBox(const std::string& text) = 0;

  // The worker's last act, in place of clearing m_workerThread itself: the thread that owns
  // the handle joins it.
  virtual void WorkerEnded() {}

  // Outcomes as values, beside the control operations: front ends decide from these, never
  // from the texts of the log. Each file of a pass once; the ending once, before WorkerEnded.
  virtual void FileDone(const FileOutcome&) {}
  // A server ("scheme://server") asks for a login that the crawl does not have (a 401): the user
  // and password to try, or none. Asked once per server and realm; the worker waits for the answer.
  // Nothing is asked by default.
  struct Login {
    std::string user;
    std::string password;
  };
  virtual std::optional<Login> AskLogin(const std::string& server, const std::string& realm) {
    (void)server;
    (void)realm;
    return std::nullopt;
  }
  virtual void CrawlEnded(const CrawlOutcome&) {}

  void ShowCurrentItem(std::string label, std::string item);
  // Deletes the save-to directory's log file, as each run of a front end does once at its start.
  void DeleteLog();
  // Status line always; one timestamped line in the save-to directory's log in verbose mode.
  void Log(std::string text);
};

// The one main dialog of the process; the engine reaches the dialog only through it.
extern CrawlDialog* g_mainDialog;

// The engine's calls into the main dialog; each does nothing while there is none.
void Log(const std::string& text);
void ShowControlText(Control control, const std::string& text);
void ShowProgressRange(Control bar, int low, int high);
void ShowProgressPosition(Control bar, int position);
