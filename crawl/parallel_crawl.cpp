#include "crawl/parallel_crawl.h"

#include <chrono>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <thread>

#include "crawl/link_scanner.h"
#include "crawl/mirror_writer.h"
#include "platform/file_system.h"
#include "platform/http_transfers.h"
#include "support/activity_log.h"
#include "support/int_text.h"

namespace {

constexpr int kLogPiece = 1024;       // the described fetch reads, and logs, this much at a time
constexpr int kActivityHigh = 16384;  // the activity bar's range
constexpr int kPollMs = 50;           // how long a wait may last before the stop flag is seen

// One link of the crawl: where it goes and, while in transfer, what has come of it.
struct Pass {
  std::string url;
  std::string localPath;
  bool stored = true;
  std::unique_ptr<FetchedFile> file;
  int32_t logged = 0;  // body bytes already reported in "bytes read" lines
  bool tooLarge = false;
};

std::string ServerOf(const std::string& url) {
  std::string server;
  std::string objectName;
  CutAddress(IsHttpUrl(url) ? url : "http://" + url, server, objectName);
  return server;
}

class Scheduler : public HttpTransfers::Receiver {
 public:
  Scheduler(CrawlDialog& dialog, const CrawlStart& start, int jobs, const CrawlRules& rules,
            std::unique_ptr<LinkStack>& linkStack)
      : m_dialog(dialog),
        m_start(start),
        m_rules(rules),
        m_linkStack(linkStack),
        m_slots(static_cast<size_t>(jobs)),
        m_transfers(jobs, *this) {}

  // Runs passes until none is left, "Stop" is pressed or a network call fails.
  CrawlOutcome Run();

  void OnHeaders(int slot, int status, const std::optional<std::string>& sizeHeader,
                 const std::string& contentType) override;
  bool OnBody(int slot, const char* data, size_t size) override;
  void OnEnd(int slot, HttpTransfers::End end, const std::string& errorText) override;

 private:
  bool Stopping() const { return m_dialog.m_stopRequested != 0; }
  std::optional<int> FreeSlot() const;
  // The next link to take: one that waited for its local path, else the stack's next.
  std::optional<Pass> NextPass();
  // Reads the local copy when there is one; false when the link needs the network.
  bool FromCopy(Pass& pass);
  void StartTransfer(int slot, Pass pass);
  void LogPieces(Pass& pass, bool last);
  void Finish(Pass& pass, bool fromNetwork);
  CrawlOutcome Cancel();

  CrawlDialog& m_dialog;
  const CrawlStart& m_start;
  const CrawlRules& m_rules;
  std::unique_ptr<LinkStack>& m_linkStack;
  std::vector<std::optional<Pass>> m_slots;
  HttpTransfers m_transfers;
  std::set<std::string> m_inTransfer;                 // local paths in transfer
  std::multimap<std::string, std::string> m_waiting;  // local path -> links that wait for it
  std::deque<std::string> m_ready;                    // links whose local path came free
  int32_t m_downloadedCount = 0;
  std::string m_failedCall;
  int m_activity = 0;
};

std::optional<int> Scheduler::FreeSlot() const {
  for (size_t i = 0; i < m_slots.size(); ++i) {
    if (!m_slots[i])
      return static_cast<int>(i);
  }
  return std::nullopt;
}

std::optional<Pass> Scheduler::NextPass() {
  Pass pass;
  if (!m_ready.empty()) {
    pass.url = m_ready.front();
    m_ready.pop_front();
  } else if (!m_linkStack->IsEmpty()) {
    pass.url = m_linkStack->Pop();
  } else {
    return std::nullopt;
  }
  CrawlRules::Placement placement = m_rules.Place(*m_linkStack, pass.url);
  pass.localPath = std::move(placement.localPath);
  pass.stored = placement.stored;
  return pass;
}

bool Scheduler::FromCopy(Pass& pass) {
  if (!pass.stored || !PathExists(pass.localPath))
    return false;
  std::unique_ptr<FetchedFile> copy = LoadLocal(pass.localPath);
  if (copy->length <= 0)
    return false;
  copy->url = pass.url;
  pass.file = std::move(copy);
  Finish(pass, false);
  return true;
}

void Scheduler::StartTransfer(int slot, Pass pass) {
  const std::string url = IsHttpUrl(pass.url) ? pass.url : "http://" + pass.url;
  std::string server;
  std::string objectName;
  CutAddress(url, server, objectName);
  Log("Connecting to: " + url);
  Log("Connecting to: " + server);
  m_dialog.ShowCurrentItem("Reading ", objectName);
  pass.file = std::make_unique<FetchedFile>();
  pass.file->url = url;
  std::string errorText;
  const bool https = url.size() > 5 && (url[4] == 's' || url[4] == 'S');
  if (!m_transfers.Start(slot, https, server, objectName, "http://" + server + "/", errorText)) {
    // A request that cannot even be sent ends the crawl, as a failed network call does.
    Log(errorText);
    m_failedCall = errorText;
    m_dialog.m_stopRequested = 1;
    return;
  }
  m_inTransfer.insert(pass.localPath);
  m_slots[static_cast<size_t>(slot)] = std::move(pass);
}

void Scheduler::OnHeaders(int slot, int status, const std::optional<std::string>& sizeHeader,
                          const std::string& contentType) {
  Pass& pass = *m_slots[static_cast<size_t>(slot)];
  pass.file->status = status;
  pass.file->contentType = contentType;
  ReportAnswerHeaders(sizeHeader && sizeHeader->size() <= 254 ? sizeHeader : std::nullopt);
}

bool Scheduler::OnBody(int slot, const char* data, size_t size) {
  Pass& pass = *m_slots[static_cast<size_t>(slot)];
  FetchedFile& file = *pass.file;
  size_t room = static_cast<size_t>(FetchedFile::kCapacity - file.length);
  size_t n = std::min(room, size);
  std::copy(data, data + n, file.data.get() + file.length);
  file.length += static_cast<int32_t>(n);
  LogPieces(pass, false);
  if (n < size) {
    pass.tooLarge = true;  // the area is full and more came
    return false;
  }
  return true;
}

// "bytes read" lines as the one-file fetch writes them: one per 1,024 bytes, the rest last.
void Scheduler::LogPieces(Pass& pass, bool last) {
  FetchedFile& file = *pass.file;
  while (file.length - pass.logged >= kLogPiece || (last && file.length > pass.logged)) {
    int piece = std::min(kLogPiece, file.length - pass.logged);
    pass.logged += piece;
    Log(IntToText(piece) + " bytes read Total=" + IntToText(pass.logged));
    ShowProgressPosition(Control::FileProgress, pass.logged);
    m_activity = (m_activity + piece) % (2 * kActivityHigh);
    ShowProgressPosition(Control::ActivityProgress,
                         m_activity <= kActivityHigh ? m_activity : 2 * kActivityHigh - m_activity);
  }
}

void Scheduler::OnEnd(int slot, HttpTransfers::End end, const std::string& errorText) {
  Pass pass = std::move(*m_slots[static_cast<size_t>(slot)]);
  m_slots[static_cast<size_t>(slot)].reset();
  m_inTransfer.erase(pass.localPath);
  auto [first, last] = m_waiting.equal_range(pass.localPath);
  for (auto waiting = first; waiting != last; ++waiting)
    m_ready.push_back(waiting->second);
  m_waiting.erase(first, last);
  if (end == HttpTransfers::End::Failed) {
    Log(errorText);
    m_failedCall = errorText;
    m_dialog.m_stopRequested = 1;
    return;
  }
  if (Stopping())
    return;  // the crawl is being cancelled: this file is dropped with the rest
  LogPieces(pass, true);
  ShowProgressPosition(Control::FileProgress, 0);
  ShowProgressPosition(Control::ActivityProgress, 0);
  FetchedFile& file = *pass.file;
  if (pass.tooLarge) {
    file.problem = FetchProblem::TooLarge;
  } else if (end == HttpTransfers::End::Broken) {
    file.problem = FetchProblem::Broken;
    file.problemText = errorText;
  } else if (file.status >= 300) {
    file.problem = FetchProblem::HttpError;
  }
  ++m_downloadedCount;
  Finish(pass, true);
}

// The rest of a pass, as the one-file crawl does it once the file is in.
void Scheduler::Finish(Pass& pass, bool fromNetwork) {
  Obtained doc;
  doc.file = std::move(pass.file);
  if (fromNetwork && doc.Unusable())
    m_dialog.Log(NotSavedText(*doc.file));
  m_dialog.SetControlText(Control::DownloadedFilesEdit, IntToText(m_downloadedCount));
  std::optional<SaveResult> saved;
  if (!doc.Unusable()) {
    m_rules.Read(*doc.file, pass.localPath, *m_linkStack);
    if (pass.stored && fromNetwork)
      saved = Save(*doc.file, pass.localPath, m_start.saveToDirectory);
  }
  if (!fromNetwork || doc.Unusable() || saved)
    m_dialog.FileDone(OutcomeOf(doc, pass.url, fromNetwork, saved));
}

CrawlOutcome Scheduler::Run() {
  for (;;) {
    // Free slots take the next links; a link whose local path is in transfer waits for it.
    while (!Stopping()) {
      std::optional<int> slot = FreeSlot();
      if (!slot)
        break;
      std::optional<Pass> pass = NextPass();
      if (!pass)
        break;
      if (m_inTransfer.count(pass->localPath) != 0) {
        m_waiting.emplace(pass->localPath, pass->url);
      } else if (!FromCopy(*pass)) {
        if (!m_transfers.MayStart(ServerOf(pass->url))) {
          m_ready.push_front(pass->url);  // its turn with the server comes later
          break;
        }
        StartTransfer(*slot, std::move(*pass));
      }
    }
    if (Stopping())
      return m_transfers.Active() > 0 || !m_failedCall.empty()
                 ? Cancel()
                 : CrawlOutcome{CrawlEnding::Stopped, {}, false};
    if (m_transfers.Active() == 0 && m_ready.empty() && m_linkStack->IsEmpty())
      return CrawlOutcome{CrawlEnding::Completed, {}, false};
    // Waiting for a turn with the server, with no transfer to wake the wait.
    if (m_transfers.Active() == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    std::string errorText;
    if (!m_transfers.Pump(kPollMs, errorText)) {
      Log(errorText);
      m_failedCall = errorText;
      m_dialog.m_stopRequested = 1;
    }
  }
}

// "Stop", a signal or a failed network call during transfers: every transfer ends at once and
// nothing of them is stored, as a fetch that finds the flag raised cancels the one-file crawl.
CrawlOutcome Scheduler::Cancel() {
  for (size_t i = 0; i < m_slots.size(); ++i) {
    m_transfers.Abort(static_cast<int>(i));
    m_slots[i].reset();
  }
  m_dialog.Log("Transfert canceled");
  m_dialog.SetProgressPosition(Control::FileProgress, 0);
  m_dialog.SetProgressPosition(Control::ActivityProgress, 0);
  EndActions(m_dialog);
  m_linkStack.reset();
  CrawlOutcome outcome{CrawlEnding::Cancelled, m_failedCall, false};
  m_dialog.CrawlEnded(outcome);
  m_dialog.WorkerEnded();
  return outcome;
}

}  // namespace

CrawlRules::Placement DescribedRules::Place(const LinkStack& linkStack,
                                            const std::string& url) const {
  const std::string rel = linkStack.RelativePart(url);
  return Placement{LocalPathOf(url, rel, m_localRoot), !rel.empty()};
}

void DescribedRules::Read(FetchedFile& file, const std::string& localPath,
                          LinkStack& linkStack) const {
  if (IsHtmlName(localPath))
    LinkScanner::ScanPage(file, linkStack);
}

unsigned RunParallelCrawl(CrawlDialog* dialog, CrawlStart start, int jobs) {
  return RunParallelCrawl(dialog, start, jobs, DescribedRules(start));
}

unsigned RunParallelCrawl(CrawlDialog* dialog, CrawlStart start, int jobs,
                          const CrawlRules& rules) {
  return RunCrawlFrame(dialog, start, [&](std::unique_ptr<LinkStack>& linkStack) {
    Scheduler scheduler(*dialog, start, jobs, rules, linkStack);
    return scheduler.Run();
  });
}
