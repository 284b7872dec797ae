#include "crawl/run/slot_scheduler.h"

#include <algorithm>
#include <ctime>
#include <deque>
#include <map>
#include <set>
#include <thread>

#include "crawl/run/http_fetcher.h"
#include "platform/ascii.h"
#include "platform/http_date.h"
#include "platform/transfer_slots.h"
#include "platform/url_resolve.h"

namespace {

// Links taken ahead while their servers' turns have not come, so that another server's links
// are reached meanwhile.
constexpr size_t kMostHeld = 4096;
// Where the number of jobs is not given, with the web rules: what a browser takes of a server.
constexpr int kPoliteConnections = 6;  // HTTP/1.1 connections to one server
constexpr int kPoliteInAll = 16;       // connections to all servers
constexpr int kPoliteStreams = 100;    // streams of one server's multiplexed connection

// A pass in transfer, and where its answer goes.
struct InTransfer {
  CrawlRun::Pass pass;
  std::unique_ptr<FileReceiver> receiver;
  SteadyClock::time_point started = SteadyClock::now();
  // Whether other transfers to its server ran beside it: those under way when it started, and
  // the server's starts before its own.
  int alongside = 0;
  int64_t startsBefore = 0;
};

// A pause a server asked for; the first of its answers in one pause is the one that counts.
struct Slowdown {
  std::chrono::milliseconds wait;
  bool first = true;
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
  return ServerKey(server);
}

// The scheme with the server: http and https of one host are two servers to reach.
std::string OriginOf(const std::string& url) {
  return (StartsWithNoCase(url, "https://") ? "https://" : "http://") + ServerOf(url);
}

class SlotScheduler : public TransferSlots::Receiver {
 public:
  SlotScheduler(CrawlRun& run, int jobs)
      : m_run(run),
        m_jobs(jobs > 0 ? jobs : kPoliteInAll + kPoliteStreams),
        m_perServer(jobs > 0 ? jobs : kPoliteConnections),
        m_polite(jobs == 0),
        m_oneAtATime(jobs == 1),
        m_startOrigin(OriginOf(run.StartUrl())),
        m_inFlight(static_cast<size_t>(m_jobs)),
        m_slots(m_jobs, run.Network(), *this, m_polite ? kPoliteConnections : 0,
                m_polite ? kPoliteInAll : 0) {}

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
  // A pass that names a local file, as a start address typed without a scheme does: read from
  // the disk; false when nothing can be read.
  bool ReadLocal(CrawlRun::Pass& pass);
  // Starts a pass that needs the network, or holds it back until its server's turn.
  void StartOrHold(int slot, Taken taken);
  void Start(int slot, CrawlRun::Pass pass);
  void Fail(const std::string& errorText);
  // Whether a failed transfer ends the crawl, as a failed network call does: one that got no
  // answer, and, one at a time, one whose start server cannot be reached.
  bool CancelsCrawl(const TransferResult& result, const std::string& url,
                    bool untestedStart = false) const;
  // A server that cannot be reached is said once; its files are not saved, and the crawl goes
  // on with the others.
  void MarkUnreachable(const std::string& origin, const std::string& why);
  void NotReached(CrawlRun::Pass& pass);
  void WaitForATurn();
  // How many of the server's files may be in transfer at once, and whether as many are, or, for
  // a server not seen to multiplex, as many connections as all servers may have.
  int Cap(const std::string& server) const;
  bool AtCap(const std::string& server) const;
  // The server asked for a pause: it is left alone that long, with half its transfers after,
  // and the pass waits for it.
  void Pause(CrawlRun::Pass pass, const TransferResult& result, const std::string& answering,
             Slowdown pause);
  // The pause an answer asks for, where the web rules grant one.
  // Answers to requests sent before the server's last pause began are of that pause: they wait
  // with it, and neither count as another pause in a row nor halve its transfers again.
  std::optional<Slowdown> PauseFor(const InTransfer& ended, const TransferResult& result,
                                   const std::string& answering);
  // A server that refuses or drops a connection, or answers 503 without a pause, to a transfer
  // that ran beside others of its own (or drops one just after it answered) takes no more at
  // once: it keeps as many as it has still (one at least) and the pass is asked again, as often
  // as a pause allows.
  bool Crowded(const InTransfer& ended, const TransferResult& result,
               const std::string& server) const;
  void AskAgain(InTransfer& ended, const TransferResult& result, const std::string& server);
  CrawlOutcome Cancel();
  // Every transfer under way ends at once, and nothing of them is stored.
  void DropTransfers();
  // The end of a pass taken from the stack: the run's last steps, then it is read.
  void Finish(CrawlRun::Pass& pass);

  CrawlRun& m_run;
  const int m_jobs;
  const int m_perServer;    // until a server is seen to multiplex
  const bool m_polite;      // the number was not given
  const bool m_oneAtATime;  // the described crawl's requests and reports
  const std::string m_startOrigin;
  FileBar m_fileBar;  // before the transfers, which leave it when they go
  std::vector<std::unique_ptr<InTransfer>> m_inFlight;
  TransferSlots m_slots;
  std::set<std::string> m_inTransfer;                    // local paths in transfer
  std::multimap<std::string, CrawlRun::Pass> m_waiting;  // local path -> passes that wait for it
  std::deque<CrawlRun::Pass> m_ready;                    // passes whose local path came free
  std::map<std::string, HeldBack> m_held;                // by server
  size_t m_heldCount = 0;
  std::set<std::string> m_unreachable;  // origins
  std::map<std::string, int> m_serverInFlight;
  std::map<std::string, int64_t> m_serverStarts;
  std::map<std::string, SteadyClock::time_point> m_lastAnswer;  // by server
  std::map<std::string, int> m_serverCap;                       // lowered by pauses asked for
  std::set<std::string> m_multiplexing;  // servers whose answers came as streams
  std::map<std::string, int> m_pausesInARow;
  std::map<std::string, SteadyClock::time_point> m_pausedAt;  // the last pause's beginning
  std::multiset<int> m_depths;  // of the passes taken and not yet read
  std::string m_failedCall;
  bool m_droppedByStop = false;              // a file came in as the crawl was stopped
  std::string m_announced;                   // one at a time: the held fetch already reported
  std::optional<std::string> m_notObtained;  // a file that could not be obtained: the crawl ends
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
    if (held->second.due <= now && !AtCap(held->first)) {
      CrawlRun::Pass pass = std::move(held->second.passes.front());
      held->second.passes.pop_front();
      if (held->second.passes.empty())
        m_held.erase(held);
      --m_heldCount;
      return Taken{std::move(pass), true};
    }
  }
  // One at a time, the next link is taken only once the last is done with, as described.
  if (m_heldCount >= kMostHeld || (m_oneAtATime && m_heldCount > 0) || !m_run.LinksPending())
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
  while (!m_run.Stopping() && !m_run.QuotaReached() && !m_run.WriteStopped() && !m_notObtained) {
    std::optional<int> slot = FreeSlot();
    if (!slot)
      return;
    std::optional<Taken> taken = NextPass();
    if (!taken)
      return;
    CrawlRun::Pass& pass = taken->pass;
    // A pass back from a pause, or asked again, holds its local path still.
    if (m_inTransfer.count(pass.localPath) != 0 && pass.slowedDown == 0 && pass.crowded == 0) {
      m_waiting.emplace(pass.localPath, std::move(pass));
    } else if (m_run.ReadCopy(pass)) {
      Finish(pass);
    } else if (!IsHttpUrl(pass.url)) {
      if (ReadLocal(pass))
        Finish(pass);
    } else {
      StartOrHold(*slot, std::move(*taken));
    }
  }
}

bool SlotScheduler::ReadLocal(CrawlRun::Pass& pass) {
  m_run.CountDownload();
  pass.fromNetwork = true;
  pass.file = LoadLocal(pass.url);
  if (pass.file->Size() > 0)
    return true;
  m_run.Dialog().ShowMessageBox("Can't connect to " + pass.url);
  m_notObtained = pass.url;
  return false;
}

void SlotScheduler::StartOrHold(int slot, Taken taken) {
  if (m_unreachable.count(OriginOf(taken.pass.url)) != 0)
    return NotReached(taken.pass);
  m_run.ReadRobotsFirst(taken.pass.url);
  const std::string server = ServerOf(taken.pass.url);
  auto held = m_held.find(server);
  // A server with passes waiting keeps its order: a new one joins them.
  const bool queued = (!taken.turnCame && held != m_held.end()) || AtCap(server);
  const std::chrono::milliseconds wait =
      queued ? std::chrono::milliseconds(0) : m_run.Network().Polite().ClaimStart(server);
  if (!queued && wait.count() == 0)
    return Start(slot, std::move(taken.pass));
  HeldBack& queue = m_held[server];
  if (wait.count() > 0)
    queue.due = SteadyClock::now() + wait;
  // One at a time, the fetch is under way while it waits for its turn: it is reported first.
  if (m_oneAtATime && !taken.turnCame) {
    m_announced = IsHttpUrl(taken.pass.url) ? taken.pass.url : "http://" + taken.pass.url;
    ReportStart(m_announced);
  }
  if (taken.turnCame)
    queue.passes.push_front(std::move(taken.pass));
  else
    queue.passes.push_back(std::move(taken.pass));
  ++m_heldCount;
}

void SlotScheduler::Start(int slot, CrawlRun::Pass pass) {
  const std::string url = IsHttpUrl(pass.url) ? pass.url : "http://" + pass.url;
  if (url != m_announced)
    ReportStart(url);
  m_announced.clear();
  auto file = std::make_unique<FetchedFile>();
  file->url = url;
  TransferRequest request = RequestFor(url, m_oneAtATime, m_run.Network().Polite().RateLimited());
  request.mayRedirect = m_run.Redirects(pass.depth, pass.requisite);
  request.headers = pass.conditions;
  // Read as the web is read, a file is asked for as a browser asks the page's files for.
  if (m_run.WebRules()) {
    request.referrer = BrowserReferrer(pass.referrer, url);
    request.referringPage = pass.referrer;
  }
  auto inFlight = std::make_unique<InTransfer>(InTransfer{
      std::move(pass),
      std::make_unique<FileReceiver>(std::move(file), m_fileBar, m_oneAtATime, m_run.IntakeOf())});
  TransferResult failure;
  if (!m_slots.Start(slot, std::move(request), *inFlight->receiver, failure)) {
    if (failure.unreachable && !CancelsCrawl(failure, url, inFlight->pass.untestedStart)) {
      MarkUnreachable(OriginOf(url), failure.text);
      return NotReached(inFlight->pass);
    }
    // A request that cannot even be sent ends the crawl, as a failed network call does.
    Fail(failure.text);
    return;
  }
  m_inTransfer.insert(inFlight->pass.localPath);
  inFlight->alongside = m_serverInFlight[ServerOf(url)]++;
  inFlight->startsBefore = m_serverStarts[ServerOf(url)]++;
  m_inFlight[static_cast<size_t>(slot)] = std::move(inFlight);
}

int SlotScheduler::Cap(const std::string& server) const {
  const int cap = m_polite && m_multiplexing.count(server) != 0 ? kPoliteStreams : m_perServer;
  auto lowered = m_serverCap.find(server);
  return lowered == m_serverCap.end() ? cap : std::min(cap, lowered->second);
}

bool SlotScheduler::AtCap(const std::string& server) const {
  auto found = m_serverInFlight.find(server);
  if (found != m_serverInFlight.end() && found->second >= Cap(server))
    return true;
  if (!m_polite || m_multiplexing.count(server) != 0)
    return false;
  // A multiplexed connection is one, whatever its streams.
  int connections = 0;
  for (const auto& [other, inFlight] : m_serverInFlight)
    connections += m_multiplexing.count(other) != 0 ? std::min(inFlight, 1) : inFlight;
  return connections >= kPoliteInAll;
}

std::optional<Slowdown> SlotScheduler::PauseFor(const InTransfer& ended,
                                                const TransferResult& result,
                                                const std::string& answering) {
  const CrawlRun::Pass& pass = ended.pass;
  if (!m_run.WebRules() || pass.slowedDown >= kMostPauses)
    return std::nullopt;
  std::optional<std::chrono::milliseconds> pause = result.PauseAsked(pass.slowedDown);
  int& inARow = m_pausesInARow[answering];
  const auto last = m_pausedAt.find(answering);
  const bool first = last == m_pausedAt.end() || ended.started >= last->second;
  if (!pause || (first && inARow >= kMostPauses)) {
    // Another answer: the server is heard again.
    inARow = pause ? inARow : 0;
    return std::nullopt;
  }
  if (first) {
    ++inARow;
    m_pausedAt[answering] = SteadyClock::now();
  }
  return Slowdown{*pause, first};
}

// The pause holds off the server that asked, which a redirect may have reached; the pass is
// held with the server it asks.
void SlotScheduler::Pause(CrawlRun::Pass pass, const TransferResult& result,
                          const std::string& answering, Slowdown pause) {
  const std::string server = ServerOf(pass.url);
  m_run.CountSlowDown();
  const SteadyClock::time_point until = SteadyClock::now() + pause.wait;
  m_run.Network().Polite().HoldOff(answering, until);
  m_run.Network().Polite().HoldOff(server, until);
  for (const std::string& halved : {answering, server}) {
    if (pause.first || m_serverCap.count(halved) == 0)
      m_serverCap[halved] = std::max(1, std::min(Cap(halved), m_jobs) / 2);
  }
  Log("Paused at the server's request: " + pass.url + " (HTTP " + std::to_string(result.status) +
      "), asked again in " + std::to_string((pause.wait.count() + 999) / 1000) + " s");
  ++pass.slowedDown;
  HeldBack& queue = m_held[server];
  queue.due = std::max(queue.due, until);
  queue.passes.push_front(std::move(pass));
  ++m_heldCount;
}

bool SlotScheduler::Crowded(const InTransfer& ended, const TransferResult& result,
                            const std::string& server) const {
  // The described crawl's failed network call cancels it, as described.
  if ((m_oneAtATime && !m_run.WebRules()) || ended.pass.crowded >= kMostPauses)
    return false;
  const bool lost = result.end == TransferEnd::Failed && !result.nameUnknown;
  const bool busy =
      result.end == TransferEnd::Complete && result.status == 503 && result.retryAfter.empty();
  const bool beside = ended.alongside > 0 || m_serverInFlight.at(server) > 0 ||
                      m_serverStarts.at(server) > ended.startsBefore + 1;
  // A server that has just answered may not yet have let go of the connection it answered on.
  const auto answered = m_lastAnswer.find(server);
  const bool lately = answered != m_lastAnswer.end() &&
                      SteadyClock::now() - answered->second < std::chrono::seconds(2);
  return (lost && (beside || lately)) || (busy && beside);
}

// As many transfers as the server still has are what it takes; the file is asked again a little
// later each time.
void SlotScheduler::AskAgain(InTransfer& ended, const TransferResult& result,
                             const std::string& server) {
  m_serverCap[server] = std::max(1, std::min(Cap(server), m_serverInFlight[server]));
  Log(std::string("Asked again with fewer transfers at once (") +
      (result.end == TransferEnd::Failed ? "no answer" : "HTTP 503") + "): " + ended.pass.url);
  HeldBack& queue = m_held[server];
  queue.due = std::max(queue.due,
                       SteadyClock::now() + std::chrono::milliseconds(50 << ended.pass.crowded++));
  queue.passes.push_front(std::move(ended.pass));
  ++m_heldCount;
}

bool SlotScheduler::CancelsCrawl(const TransferResult& result, const std::string& url,
                                 bool untestedStart) const {
  return result.end == TransferEnd::Failed &&
         (!result.unreachable || untestedStart || (m_oneAtATime && OriginOf(url) == m_startOrigin));
}

void SlotScheduler::Fail(const std::string& errorText) {
  Log(errorText);
  m_failedCall = errorText;
  // A stop asked for already stays as it was: a second one leaves the links unconverted.
  int none = 0;
  m_run.Dialog().m_stopRequested.compare_exchange_strong(none, 1);
}

void SlotScheduler::MarkUnreachable(const std::string& origin, const std::string& why) {
  if (m_unreachable.insert(origin).second)
    Log(why);
}

void SlotScheduler::NotReached(CrawlRun::Pass& pass) {
  // Asked for or not, a file of a server that cannot be reached counts as one fetch, so that
  // any job count, and any order in which the server was found out, counts alike.
  m_run.CountDownload();
  pass.file = std::make_unique<FetchedFile>();
  pass.file->url = IsHttpUrl(pass.url) ? pass.url : "http://" + pass.url;
  pass.file->problem = FetchProblem::Unreachable;
  pass.fromNetwork = true;
  Finish(pass);
}

void SlotScheduler::OnEnd(int slot, const TransferResult& result) {
  std::unique_ptr<InTransfer> ended = std::move(m_inFlight[static_cast<size_t>(slot)]);
  CrawlRun::Pass& pass = ended->pass;
  const std::string server = ServerOf(pass.url);
  --m_serverInFlight[server];
  if (result.status != 0)
    m_lastAnswer[server] = SteadyClock::now();
  if (result.multiplexed)
    m_multiplexing.insert(server);
  const std::string& answered = ended->receiver->File().finalUrl;
  const std::string answering = answered.empty() ? server : ServerOf(answered);
  // Paused, the pass keeps its local path: another address of it waits for the answer, as it
  // would without the pause.
  if (!m_run.Stopping() && !CancelsCrawl(result, pass.url, pass.untestedStart)) {
    if (const std::optional<Slowdown> pause = PauseFor(*ended, result, answering))
      return Pause(std::move(pass), result, answering, *pause);
  }
  if (!m_run.Stopping() && Crowded(*ended, result, server))
    return AskAgain(*ended, result, server);
  m_inTransfer.erase(pass.localPath);
  auto [first, last] = m_waiting.equal_range(pass.localPath);
  for (auto waiting = first; waiting != last; ++waiting)
    m_ready.push_back(std::move(waiting->second));
  m_waiting.erase(first, last);
  if (CancelsCrawl(result, pass.url, pass.untestedStart)) {
    Fail(result.text);
    return;
  }
  // The crawl is being stopped: this file is dropped with the rest, as a fetch that finds the
  // flag raised is.
  if (m_run.Stopping()) {
    m_droppedByStop = true;
    return;
  }
  if (result.end == TransferEnd::RedirectRefused && m_run.RetryAfterRobots(pass, result.text)) {
    m_ready.push_back(std::move(pass));
    return;
  }
  if (result.unreachable) {
    MarkUnreachable(OriginOf(pass.url), result.text);
    return NotReached(pass);
  }
  m_run.CountDownload();
  ended->receiver->Ended(result);
  pass.file = ended->receiver->TakeFile();
  pass.fromNetwork = true;
  // An empty start page is no page to start from, as the test would have found.
  if (pass.untestedStart && pass.file->Size() == 0 && pass.file->problem == FetchProblem::None) {
    m_run.Dialog().ShowMessageBox("Can't connect to " + pass.url);
    m_notObtained = pass.url;
    return;
  }
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
    if (m_notObtained)
      return CrawlOutcome{CrawlEnding::NotObtained, *m_notObtained,
                          *m_notObtained == m_run.StartUrl()};
    if (m_run.WriteStopped() && !m_run.Stopping()) {
      DropTransfers();
      return CrawlOutcome{CrawlEnding::Stopped, {}, false};
    }
    if (m_run.Stopping()) {
      // One at a time, a pass that waits for its server's turn is a fetch under way.
      const bool underWay = m_slots.Active() > 0 || m_droppedByStop || !m_failedCall.empty() ||
                            (m_oneAtATime && m_heldCount > 0);
      return underWay ? Cancel() : CrawlOutcome{CrawlEnding::Stopped, {}, false};
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
// nothing of them is stored.
CrawlOutcome SlotScheduler::Cancel() {
  DropTransfers();
  return m_run.Cancel(m_failedCall);
}

void SlotScheduler::DropTransfers() {
  for (size_t i = 0; i < m_inFlight.size(); ++i) {
    // One at a time, the read that waited ends empty and is shown, as described.
    if (m_oneAtATime && m_inFlight[i] && m_inFlight[i]->receiver->File().status != 0)
      m_inFlight[i]->receiver->Stopped();
    m_slots.Abort(static_cast<int>(i));
    m_inFlight[i].reset();
  }
}

}  // namespace

CrawlOutcome RunSlots(CrawlRun& run, int jobs) {
  return SlotScheduler(run, jobs).Run();
}
