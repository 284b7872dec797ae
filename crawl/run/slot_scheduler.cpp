#include "crawl/run/slot_scheduler.h"

#include <algorithm>
#include <deque>
#include <map>
#include <set>
#include <thread>

#include "platform/ascii.h"
#include "platform/transfer_slots.h"
#include "support/int_text.h"

namespace {

constexpr int kLogPiece = 1024;  // the one-file fetch reads, and logs, this much at a time
constexpr int kPollMs = 50;      // how long a wait may last before the stop flag is seen
// Links taken ahead while their servers' turns have not come, so that another server's links
// are reached meanwhile.
constexpr size_t kMostHeld = 4096;

struct InTransfer;

// The transfer the file bar follows: the largest of those in flight, by its size header.
struct FileBar {
  InTransfer* owner = nullptr;
};

// A pass in transfer: what arrives goes into its file, and is reported as the one-file fetch
// reports it.
struct InTransfer : TransferSink {
  InTransfer(CrawlRun::Pass p, FileBar& b) : pass(std::move(p)), bar(b) {}
  ~InTransfer() override {
    if (bar.owner == this)
      bar.owner = nullptr;
  }
  InTransfer(const InTransfer&) = delete;
  InTransfer& operator=(const InTransfer&) = delete;

  void OnAnswer(const AnswerInfo& answer) override {
    pass.file->status = answer.status;
    pass.file->contentType = answer.contentType;
    pass.file->lastModified = answer.lastModified;
    pass.file->etag = answer.etag;
    pass.file->finalUrl = answer.url;
    // A compressed answer's size header counts its encoded bytes, not the file's.
    const std::optional<std::string>& size = answer.sizeHeader;
    const bool known = size && size->size() <= 254 && !answer.encoded;
    expected = known ? TextToInt(*size) : 0;
    if (bar.owner == nullptr || expected > bar.owner->expected)
      bar.owner = this;
    ReportAnswerHeaders(known ? size : std::nullopt, bar.owner == this);
  }

  Take OnBody(const char* data, size_t size) override {
    FetchedFile& file = *pass.file;
    const size_t room = static_cast<size_t>(FetchedFile::kCapacity - file.length);
    const size_t n = std::min(size, room);
    std::copy(data, data + n, file.data.get() + file.length);
    file.length += static_cast<int32_t>(n);
    LogPieces(false);
    // The area is full and more came: as the one-file fetch, the area is read full first.
    tooLarge = n < size;
    return tooLarge ? Take::Refuse : Take::All;
  }

  // "bytes read" lines as the one-file fetch writes them: one per 1,024 bytes, the rest last.
  void LogPieces(bool last) {
    // The bar's transfer has ended: the next that reports follows it.
    if (bar.owner == nullptr) {
      bar.owner = this;
      ShowProgressRange(Control::FileProgress, 0, expected > 0 ? expected : kActivityHigh);
    }
    const int32_t length = pass.file->length;
    while (length - logged >= kLogPiece || (last && length > logged)) {
      const int32_t piece = std::min(kLogPiece, length - logged);
      logged += piece;
      progress.Read(piece, logged, bar.owner == this);
    }
  }

  CrawlRun::Pass pass;
  FileBar& bar;
  int32_t expected = 0;  // the size header's bytes, 0 when unknown
  ReadProgress progress;
  int32_t logged = 0;
  bool tooLarge = false;
};

// The passes that wait for their server's turn, in the order they were taken.
struct HeldBack {
  SteadyClock::time_point due;
  std::deque<CrawlRun::Pass> passes;
};

std::string ServerOf(const std::string& url) {
  std::string server;
  std::string objectName;
  CutAddress(IsHttpUrl(url) ? url : "http://" + url, server, objectName);
  return server;
}

// The scheme with the server: http and https of one host are two servers to reach.
std::string OriginOf(const std::string& url) {
  return (StartsWithNoCase(url, "https://") ? "https://" : "http://") + ServerOf(url);
}

class SlotScheduler : public TransferSlots::Receiver {
 public:
  SlotScheduler(CrawlRun& run, int jobs)
      : m_run(run), m_inFlight(static_cast<size_t>(jobs)), m_slots(jobs, run.Network(), *this) {}

  CrawlOutcome Run();
  void OnEnd(int slot, const TransferResult& result) override;

 private:
  std::optional<int> FreeSlot() const;
  struct Taken {
    CrawlRun::Pass pass;
    bool turnCame = false;  // it waited for its server's turn, which has come
  };
  // The next pass to start: one whose local path came free, one whose server's turn has come,
  // else the stack's next, as long as few enough wait for their servers.
  std::optional<Taken> NextPass();
  void FillSlots();
  // Starts a pass that needs the network, or holds it back until its server's turn.
  void StartOrHold(int slot, Taken taken);
  void Start(int slot, CrawlRun::Pass pass);
  void Fail(const std::string& errorText);
  // A server that cannot be reached is said once; its files are not saved, and the crawl goes
  // on with the others.
  void MarkUnreachable(const std::string& origin, const std::string& why);
  void NotReached(CrawlRun::Pass& pass);
  void WaitForATurn();
  CrawlOutcome Cancel();
  // The end of a pass taken from the stack: the run's last steps, then it is read.
  void Finish(CrawlRun::Pass& pass);

  CrawlRun& m_run;
  FileBar m_fileBar;  // before the transfers, which leave it when they go
  std::vector<std::unique_ptr<InTransfer>> m_inFlight;
  TransferSlots m_slots;
  std::set<std::string> m_inTransfer;                    // local paths in transfer
  std::multimap<std::string, CrawlRun::Pass> m_waiting;  // local path -> passes that wait for it
  std::deque<CrawlRun::Pass> m_ready;                    // passes whose local path came free
  std::map<std::string, HeldBack> m_held;                // by server
  size_t m_heldCount = 0;
  std::set<std::string> m_unreachable;  // origins
  std::multiset<int> m_depths;          // of the passes taken and not yet read
  std::string m_failedCall;
};

std::optional<int> SlotScheduler::FreeSlot() const {
  for (size_t i = 0; i < m_inFlight.size(); ++i) {
    if (!m_inFlight[i])
      return static_cast<int>(i);
  }
  return std::nullopt;
}

std::optional<SlotScheduler::Taken> SlotScheduler::NextPass() {
  if (!m_ready.empty()) {
    CrawlRun::Pass pass = std::move(m_ready.front());
    m_ready.pop_front();
    return Taken{std::move(pass)};
  }
  const SteadyClock::time_point now = SteadyClock::now();
  for (auto held = m_held.begin(); held != m_held.end(); ++held) {
    if (held->second.due <= now) {
      CrawlRun::Pass pass = std::move(held->second.passes.front());
      held->second.passes.pop_front();
      if (held->second.passes.empty())
        m_held.erase(held);
      --m_heldCount;
      return Taken{std::move(pass), true};
    }
  }
  if (m_heldCount >= kMostHeld || !m_run.LinksPending())
    return std::nullopt;
  // With a depth limit, a page still to be read two links nearer the start could reach the
  // next link by a shorter path: it waits, so that every job count judges it at one depth.
  if (const std::optional<int> next = m_run.NextDepth();
      next && !m_depths.empty() && *m_depths.begin() < *next - 1)
    return std::nullopt;
  Taken taken{m_run.TakeLink()};
  m_depths.insert(taken.pass.depth);
  return taken;
}

void SlotScheduler::Finish(CrawlRun::Pass& pass) {
  m_run.FinishPass(pass);
  m_depths.erase(m_depths.find(pass.depth));
}

void SlotScheduler::FillSlots() {
  while (!m_run.Stopping() && !m_run.QuotaReached()) {
    std::optional<int> slot = FreeSlot();
    if (!slot)
      return;
    std::optional<Taken> taken = NextPass();
    if (!taken)
      return;
    CrawlRun::Pass& pass = taken->pass;
    if (m_inTransfer.count(pass.localPath) != 0) {
      m_waiting.emplace(pass.localPath, std::move(pass));
    } else if (m_run.ReadCopy(pass)) {
      Finish(pass);
    } else {
      StartOrHold(*slot, std::move(*taken));
    }
  }
}

void SlotScheduler::StartOrHold(int slot, Taken taken) {
  if (m_unreachable.count(OriginOf(taken.pass.url)) != 0)
    return NotReached(taken.pass);
  const std::string server = ServerOf(taken.pass.url);
  auto held = m_held.find(server);
  // A server with passes waiting keeps its order: a new one joins them.
  const bool queued = !taken.turnCame && held != m_held.end();
  const std::chrono::milliseconds wait =
      queued ? std::chrono::milliseconds(0) : m_run.Network().Polite().ClaimStart(server);
  if (!queued && wait.count() == 0)
    return Start(slot, std::move(taken.pass));
  HeldBack& queue = m_held[server];
  if (wait.count() > 0)
    queue.due = SteadyClock::now() + wait;
  if (taken.turnCame)
    queue.passes.push_front(std::move(taken.pass));
  else
    queue.passes.push_back(std::move(taken.pass));
  ++m_heldCount;
}

void SlotScheduler::Start(int slot, CrawlRun::Pass pass) {
  const std::string url = IsHttpUrl(pass.url) ? pass.url : "http://" + pass.url;
  std::string server;
  std::string objectName;
  CutAddress(url, server, objectName);
  Log("Connecting to: " + url);
  Log("Connecting to: " + server);
  m_run.Dialog().ShowCurrentItem("Reading ", objectName);
  pass.file = std::make_unique<FetchedFile>();
  pass.file->url = url;
  TransferRequest request;
  request.https = StartsWithNoCase(url, "https://");
  request.server = server;
  request.objectName = objectName;
  request.referrer = "http://" + server + "/";
  request.mayRedirect = m_run.Redirects(pass.depth, pass.requisite);
  request.headers = pass.conditions;
  // HTTP/2 is offered over TLS only; plain HTTP keeps its kept-open connections as they were.
  // Under a rate limit transfers are paused, and libcurl 7.88 keeps receiving for a paused stream
  // up to its window of 32 MiB: each keeps a connection of its own, where a pause holds the
  // server back.
  request.pooled = request.https && !m_run.Network().Polite().RateLimited();
  request.compressed = true;
  auto inFlight = std::make_unique<InTransfer>(std::move(pass), m_fileBar);
  TransferResult failure;
  if (!m_slots.Start(slot, std::move(request), *inFlight, failure)) {
    if (failure.unreachable) {
      MarkUnreachable(OriginOf(url), failure.text);
      return NotReached(inFlight->pass);
    }
    // A request that cannot even be sent ends the crawl, as a failed network call does.
    Fail(failure.text);
    return;
  }
  m_inTransfer.insert(inFlight->pass.localPath);
  m_inFlight[static_cast<size_t>(slot)] = std::move(inFlight);
}

void SlotScheduler::Fail(const std::string& errorText) {
  Log(errorText);
  m_failedCall = errorText;
  m_run.Dialog().m_stopRequested = 1;
}

void SlotScheduler::MarkUnreachable(const std::string& origin, const std::string& why) {
  if (m_unreachable.insert(origin).second)
    Log(why);
}

void SlotScheduler::NotReached(CrawlRun::Pass& pass) {
  pass.file = std::make_unique<FetchedFile>();
  pass.file->url = IsHttpUrl(pass.url) ? pass.url : "http://" + pass.url;
  pass.file->problem = FetchProblem::Unreachable;
  pass.fromNetwork = true;
  Finish(pass);
}

void SlotScheduler::OnEnd(int slot, const TransferResult& result) {
  std::unique_ptr<InTransfer> ended = std::move(m_inFlight[static_cast<size_t>(slot)]);
  CrawlRun::Pass& pass = ended->pass;
  m_inTransfer.erase(pass.localPath);
  auto [first, last] = m_waiting.equal_range(pass.localPath);
  for (auto waiting = first; waiting != last; ++waiting)
    m_ready.push_back(std::move(waiting->second));
  m_waiting.erase(first, last);
  if (result.end == TransferEnd::Failed && !result.unreachable) {
    Fail(result.text);
    return;
  }
  if (m_run.Stopping())
    return;  // the crawl is being cancelled: this file is dropped with the rest
  if (result.end == TransferEnd::RedirectRefused && m_run.RetryAfterRobots(pass, result.text)) {
    pass.file.reset();
    m_ready.push_back(std::move(pass));
    return;
  }
  m_run.CountDownload();
  if (result.unreachable) {
    MarkUnreachable(OriginOf(pass.file->url), result.text);
    return NotReached(pass);
  }
  ended->LogPieces(true);
  if (m_fileBar.owner == ended.get())
    ShowProgressPosition(Control::FileProgress, 0);
  ShowProgressPosition(Control::ActivityProgress, 0);
  JudgeAnswer(*pass.file, result, ended->tooLarge);
  pass.file->wireBytes = result.wireBytes;
  pass.fromNetwork = true;
  Finish(pass);
}

// Nothing in transfer, and the next start waits for its server's turn.
void SlotScheduler::WaitForATurn() {
  SteadyClock::time_point until = SteadyClock::now() + std::chrono::milliseconds(kPollMs);
  for (const auto& [server, held] : m_held)
    until = std::min(until, held.due);
  std::this_thread::sleep_until(until);
}

CrawlOutcome SlotScheduler::Run() {
  for (;;) {
    FillSlots();
    if (m_run.Stopping()) {
      return m_slots.Active() > 0 || !m_failedCall.empty()
                 ? Cancel()
                 : CrawlOutcome{CrawlEnding::Stopped, {}, false};
    }
    if (m_slots.Active() == 0) {
      if (m_ready.empty() && m_held.empty() && !m_run.LinksPending())
        return CrawlOutcome{CrawlEnding::Completed, {}, false};
      if (m_run.QuotaReached()) {
        CrawlOutcome outcome{CrawlEnding::QuotaReached, {}, false};
        outcome.linksLeft = static_cast<int32_t>(m_ready.size() + m_heldCount + m_waiting.size());
        return outcome;
      }
      WaitForATurn();
      continue;
    }
    std::string errorText;
    if (!m_slots.Pump(kPollMs, errorText))
      Fail(errorText);
  }
}

// "Stop", a signal or a failed network call during transfers: every transfer ends at once and
// nothing of them is stored, as a fetch that finds the flag raised cancels the one-file crawl.
CrawlOutcome SlotScheduler::Cancel() {
  for (size_t i = 0; i < m_inFlight.size(); ++i) {
    m_slots.Abort(static_cast<int>(i));
    m_inFlight[i].reset();
  }
  return m_run.Cancel(m_failedCall);
}

}  // namespace

CrawlOutcome RunSlots(CrawlRun& run, int jobs) {
  return SlotScheduler(run, jobs).Run();
}
