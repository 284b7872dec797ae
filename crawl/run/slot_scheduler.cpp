#include "crawl/run/slot_scheduler.h"

#include <algorithm>
#include <deque>
#include <map>
#include <set>
#include <thread>

#include "crawl/run/http_fetcher.h"
#include "crawl/run/retry_rule.h"
#include "crawl/run/server_turns.h"
#include "platform/ascii.h"
#include "platform/http_date.h"
#include "platform/transfer_slots.h"
#include "platform/url_resolve.h"

namespace {

// Links taken ahead while their servers' turns have not come: other servers' are reached meanwhile.
constexpr size_t kMostHeld = 4096;

// A pass in transfer, and where its answer goes.
struct InTransfer {
  CrawlPass pass;
  std::unique_ptr<FileReceiver> receiver;
  ServerTurns::Beside beside;
};

// The passes that wait for their server's turn, in the order they were taken.
struct HeldBack {
  SteadyClock::time_point due;
  std::deque<CrawlPass> passes;
};

class SlotScheduler {
 public:
  SlotScheduler(CrawlRun& run, int jobs)
      : m_run(run),
        m_turns(jobs),
        m_oneAtATime(jobs == 1),
        m_startOrigin(SchemeAndServer(run.StartUrl())),
        m_inFlight(static_cast<size_t>(m_turns.Jobs())),
        m_slots(
            m_turns.Jobs(), run.Network(),
            [this](int slot, const TransferResult& result) { OnEnd(slot, result); },
            m_turns.Polite() ? kPoliteConnections : 0, m_turns.Polite() ? kPoliteInAll : 0) {}

  CrawlOutcome Run();
  void OnEnd(int slot, const TransferResult& result);

 private:
  std::optional<int> FreeSlot() const;
  struct Taken {
    CrawlPass pass;
    bool turnCame = false;  // it waited for its server's turn, which has come
  };
  // The next pass to start: one whose local path came free, one whose server's turn has come,
  // else the stack's next, as long as few enough wait for their servers.
  std::optional<Taken> NextPass();
  void FillSlots();
  // A pass that names a local file, as a start address typed without a scheme does: read from
  // the disk; false when nothing can be read.
  bool ReadLocal(CrawlPass& pass);
  // Starts a pass that needs the network, or holds it back until its server's turn.
  void StartOrHold(int slot, Taken taken);
  void StartPass(int slot, CrawlPass pass);
  void Fail(const std::string& errorText);
  // Whether a failed transfer ends the crawl, as a failed network call does: one that got no
  // answer, and, one at a time, one whose start server cannot be reached.
  bool CancelsCrawl(const TransferResult& result, const std::string& url,
                    bool untestedStart = false) const;
  // A server that cannot be reached is said once; its files are not saved; the others go on.
  void MarkUnreachable(const std::string& origin, const std::string& why);
  void NotReached(CrawlPass& pass);
  void WaitForATurn();
  // The server asked for a pause: it is left alone that long, with half its transfers after,
  // and the pass waits for it.
  bool Pause(CrawlPass pass, const TransferResult& result, const std::string& answering,
             Slowdown pause);
  // The pause an answer asks for, where the web rules grant one.
  std::optional<Slowdown> PauseFor(const InTransfer& ended, const TransferResult& result,
                                   const std::string& answering);
  // A server that takes no more at once keeps as many as it has still, and the pass is asked
  // again, as often as a pause allows.
  bool Crowded(const InTransfer& ended, const TransferResult& result,
               const std::string& server) const;
  bool AskAgain(InTransfer& ended, const TransferResult& result, const std::string& server);
  // The answer is none to keep yet: the server asked for a pause, took no more at once, or
  // failed in a way that may pass. The pass is held to be asked again.
  bool HeldToAskAgain(InTransfer& ended, const TransferResult& result, const std::string& server);
  // Held first among its server's passes, until due.
  void Hold(CrawlPass pass, SteadyClock::time_point due);
  CrawlOutcome Cancel();
  // Every transfer under way ends at once, and nothing of them is stored.
  void DropTransfers();
  // A transfer is done with its local path: the passes that waited for it are ready.
  void FreePath(const std::string& localPath);
  // The end of a pass taken from the stack: the run's last steps, then it is read.
  void Finish(CrawlPass& pass);

  CrawlRun& m_run;
  ServerTurns m_turns;
  const bool m_oneAtATime;  // one at a time: plain requests, each reported as it goes
  const std::string m_startOrigin;
  FileBar m_fileBar;  // before the transfers, which leave it when they go
  std::vector<std::unique_ptr<InTransfer>> m_inFlight;
  TransferSlots m_slots;
  std::set<std::string> m_inTransfer;               // local paths in transfer
  std::multimap<std::string, CrawlPass> m_waiting;  // local path -> passes that wait for it
  std::deque<CrawlPass> m_ready;                    // passes whose local path came free
  std::map<std::string, HeldBack> m_held;           // by server
  size_t m_heldCount = 0;
  std::set<std::string> m_unreachable;  // origins
  std::multiset<int> m_depths;          // of the passes taken and not yet read
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
    CrawlPass pass = std::move(m_ready.front());
    m_ready.pop_front();
    return Taken{std::move(pass)};
  }
  const SteadyClock::time_point now = SteadyClock::now();
  for (auto held = m_held.begin(); held != m_held.end(); ++held) {
    if (held->second.due <= now && !m_turns.AtCap(held->first)) {
      CrawlPass pass = std::move(held->second.passes.front());
      held->second.passes.pop_front();
      if (held->second.passes.empty())
        m_held.erase(held);
      --m_heldCount;
      return Taken{std::move(pass), true};
    }
  }
  // One at a time, the next link is taken only once the last is done with.
  if (m_heldCount >= kMostHeld || (m_oneAtATime && m_heldCount > 0) || !m_run.LinksPending())
    return std::nullopt;
  // With a depth limit, a page still to be read two links nearer the start could reach the
  // next link by a shorter path: it waits, so that every job count judges it at one depth.
  if (const std::optional<int> next = m_run.NextDepth();
      next && !m_depths.empty() && *m_depths.begin() < *next - 1)
    return std::nullopt;
  Taken taken{m_run.TakeLink()};
  if (taken.pass.url.empty())
    return std::nullopt;  // none was left after all
  m_depths.insert(taken.pass.depth);
  return taken;
}

void SlotScheduler::Finish(CrawlPass& pass) {
  m_run.FinishPass(pass);
  m_depths.erase(m_depths.find(pass.depth));
}

void SlotScheduler::FillSlots() {
  while (!m_run.Stopping() && !m_run.Limits().QuotaReached() && !m_run.Limits().WriteStopped() &&
         !m_notObtained) {
    std::optional<int> slot = FreeSlot();
    if (!slot)
      return;
    std::optional<Taken> taken = NextPass();
    if (!taken)
      return;
    CrawlPass& pass = taken->pass;
    // A pass back from a pause, or asked again, holds its local path still.
    if (m_inTransfer.count(pass.localPath) != 0 && pass.slowedDown == 0 && pass.crowded == 0 &&
        pass.triedAgain == 0) {
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

bool SlotScheduler::ReadLocal(CrawlPass& pass) {
  m_run.Counts().CountDownload();
  pass.fromNetwork = true;
  pass.file = LoadLocal(pass.url);
  if (pass.file->Size() > 0)
    return true;
  m_run.Dialog().ShowMessageBox("Can't connect to " + pass.url);
  m_notObtained = pass.url;
  return false;
}

void SlotScheduler::StartOrHold(int slot, Taken taken) {
  if (m_unreachable.count(SchemeAndServer(taken.pass.url)) != 0)
    return NotReached(taken.pass);
  m_run.ReadRobotsFirst(taken.pass.url);
  const std::string server = ServerOf(taken.pass.url);
  auto held = m_held.find(server);
  // A server with passes waiting keeps its order: a new one joins them.
  const bool queued = (!taken.turnCame && held != m_held.end()) || m_turns.AtCap(server);
  const std::chrono::milliseconds wait =
      queued ? std::chrono::milliseconds(0) : m_run.Network().Polite().ClaimStart(server);
  if (!queued && wait.count() == 0)
    return StartPass(slot, std::move(taken.pass));
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

void SlotScheduler::StartPass(int slot, CrawlPass pass) {
  const std::string url = IsHttpUrl(pass.url) ? pass.url : "http://" + pass.url;
  if (url != m_announced)
    ReportStart(url);
  m_announced.clear();
  auto file = std::make_unique<FetchedFile>();
  file->url = url;
  TransferRequest request = RequestFor(url, m_oneAtATime, m_run.Network().Polite().RateLimited());
  request.mayRedirect = m_run.Redirects(pass.depth, pass.requisite);
  request.headers = pass.conditions;
  Intake intake = m_run.IntakeOf(&pass, &request);
  // Read as the web is read, a file is asked for as a browser asks the page's files for.
  if (m_run.WebRules()) {
    request.referrer = BrowserReferrer(pass.referrer, url);
    request.referringPage = pass.referrer;
  }
  auto inFlight = std::make_unique<InTransfer>(InTransfer{
      std::move(pass),
      std::make_unique<FileReceiver>(std::move(file), m_fileBar, m_oneAtATime, std::move(intake)),
      {}});
  TransferResult failure;
  if (!m_slots.Start(slot, std::move(request), *inFlight->receiver, failure)) {
    if (failure.unreachable && !CancelsCrawl(failure, url, inFlight->pass.untestedStart)) {
      MarkUnreachable(SchemeAndServer(url), failure.text);
      return NotReached(inFlight->pass);
    }
    // A request that cannot even be sent ends the crawl, as a failed network call does.
    Fail(failure.text);
    return;
  }
  m_inTransfer.insert(inFlight->pass.localPath);
  inFlight->beside = m_turns.Start(ServerOf(url));
  m_inFlight[static_cast<size_t>(slot)] = std::move(inFlight);
}

std::optional<Slowdown> SlotScheduler::PauseFor(const InTransfer& ended,
                                                const TransferResult& result,
                                                const std::string& answering) {
  if (!m_run.WebRules() || ended.pass.slowedDown >= kMostPauses ||
      !TriesLeft(m_run.Retries(), ended.pass.triedAgain))
    return std::nullopt;
  return m_turns.PauseFor(ended.beside, ended.pass.slowedDown, result, answering);
}

// The pause holds off the server that asked, which a redirect may have reached; the pass is
// held with the server it asks.
bool SlotScheduler::Pause(CrawlPass pass, const TransferResult& result,
                          const std::string& answering, Slowdown pause) {
  const std::string server = ServerOf(pass.url);
  m_run.Counts().CountSlowDown();
  const SteadyClock::time_point until = SteadyClock::now() + pause.wait;
  m_run.Network().Polite().HoldOff(answering, until);
  m_run.Network().Polite().HoldOff(server, until);
  for (const std::string& halved : {answering, server})
    m_turns.Halve(halved, pause.first);
  Log("Paused at the server's request: " + pass.url + " (HTTP " + std::to_string(result.status) +
      "), asked again in " + std::to_string((pause.wait.count() + 999) / 1000) + " s");
  ++pass.slowedDown;
  CountTry(m_run.Retries(), pass.triedAgain);
  Hold(std::move(pass), until);
  return true;
}

void SlotScheduler::Hold(CrawlPass pass, SteadyClock::time_point due) {
  HeldBack& queue = m_held[ServerOf(pass.url)];
  queue.due = std::max(queue.due, due);
  queue.passes.push_front(std::move(pass));
  ++m_heldCount;
}

bool SlotScheduler::Crowded(const InTransfer& ended, const TransferResult& result,
                            const std::string& server) const {
  // One at a time, a failed network call cancels the crawl; with tries counted, this is one.
  if ((m_oneAtATime && !m_run.WebRules()) || ended.pass.crowded >= kMostPauses ||
      !TriesLeft(m_run.Retries(), ended.pass.triedAgain))
    return false;
  return m_turns.Crowded(ended.beside, result, server);
}

// As many transfers as the server still has are what it takes; the file is asked again a little
// later each time.
bool SlotScheduler::AskAgain(InTransfer& ended, const TransferResult& result,
                             const std::string& server) {
  m_turns.KeepToInFlight(server);
  Log(std::string("Asked again with fewer transfers at once (") +
      (result.end == TransferEnd::Failed ? "no answer" : "HTTP 503") + "): " + ended.pass.url);
  const auto wait = std::max(std::chrono::milliseconds(50 << ended.pass.crowded++),
                             TryWait(m_run.Retries(), ended.pass.triedAgain));
  CountTry(m_run.Retries(), ended.pass.triedAgain);
  Hold(std::move(ended.pass), SteadyClock::now() + wait);
  return true;
}

bool SlotScheduler::CancelsCrawl(const TransferResult& result, const std::string& url,
                                 bool untestedStart) const {
  // With tries counted, a file whose answer never came is its own failure, but the start.
  return result.end == TransferEnd::Failed && (m_run.Retries().tries <= 0 || untestedStart) &&
         (!result.unreachable || untestedStart ||
          (m_oneAtATime && SchemeAndServer(url) == m_startOrigin));
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

void SlotScheduler::NotReached(CrawlPass& pass) {
  // Asked for or not, a file of a server that cannot be reached counts as one fetch, so that
  // any job count, and any order in which the server was found out, counts alike.
  m_run.Counts().CountDownload();
  pass.file = std::make_unique<FetchedFile>();
  pass.file->url = IsHttpUrl(pass.url) ? pass.url : "http://" + pass.url;
  pass.file->problem = FetchProblem::Unreachable;
  pass.fromNetwork = true;
  Finish(pass);
}

void SlotScheduler::FreePath(const std::string& localPath) {
  m_inTransfer.erase(localPath);
  auto [first, last] = m_waiting.equal_range(localPath);
  for (auto waiting = first; waiting != last; ++waiting)
    m_ready.push_back(std::move(waiting->second));
  m_waiting.erase(first, last);
}

bool SlotScheduler::HeldToAskAgain(InTransfer& ended, const TransferResult& result,
                                   const std::string& server) {
  CrawlPass& pass = ended.pass;
  const std::string& answered = ended.receiver->File().finalUrl;
  const std::string answering = answered.empty() ? server : ServerOf(answered);
  // Paused, the pass keeps its local path: another address of it waits for the answer, as it
  // would without the pause.
  if (!CancelsCrawl(result, pass.url, pass.untestedStart)) {
    if (const std::optional<Slowdown> pause = PauseFor(ended, result, answering))
      return Pause(std::move(pass), result, answering, *pause);
  }
  if (Crowded(ended, result, server))
    return AskAgain(ended, result, server);
  const std::optional<std::chrono::milliseconds> wait =
      RetryWait(m_run.Retries(), result, pass.triedAgain++);
  if (wait) {
    Log("Asked again (" + FailureText(result) + "): " + pass.url);
    Hold(std::move(pass), SteadyClock::now() + *wait);
  }
  return wait.has_value();
}

void SlotScheduler::OnEnd(int slot, const TransferResult& result) {
  std::unique_ptr<InTransfer> ended = std::move(m_inFlight[static_cast<size_t>(slot)]);
  CrawlPass& pass = ended->pass;
  const std::string server = ServerOf(pass.url);
  m_turns.End(server, result);
  if (result.unreachable)
    m_run.Counts().CountUnreachable(result, pass.url);
  if (!m_run.Stopping() && HeldToAskAgain(*ended, result, server))
    return;
  FreePath(pass.localPath);
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
  if (result.end == TransferEnd::RedirectRefused &&
      m_run.Redirections().RetryAfterRobots(pass, result.text)) {
    m_ready.push_back(std::move(pass));
    return;
  }
  if (result.unreachable) {
    MarkUnreachable(SchemeAndServer(pass.url), result.text);
    return NotReached(pass);
  }
  m_run.Counts().CountDownload();
  ended->receiver->Ended(result);
  pass.file = ended->receiver->TakeFile();
  pass.fromNetwork = true;
  // An empty start page is no page to start from, as the test would have found.
  // Read as the web is read, an empty answer (a 204) is a file like another.
  if (pass.untestedStart && !m_run.WebRules() && pass.file->Size() == 0 &&
      pass.file->problem == FetchProblem::None) {
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
    m_run.ShowWaiting(m_oneAtATime ? 0 : m_heldCount + m_waiting.size() + m_ready.size());
    if (m_notObtained)
      return CrawlOutcome{CrawlEnding::NotObtained, *m_notObtained,
                          *m_notObtained == m_run.StartUrl()};
    if (m_run.Limits().WriteStopped() && !m_run.Stopping()) {
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
      // Pages still loading may ask for more files, or give more links.
      if (m_ready.empty() && m_held.empty() && !m_run.LinksPending() && m_run.ScriptsBusy()) {
        m_run.PumpScripts(kPollMs);
        continue;
      }
      if (m_ready.empty() && m_held.empty() && !m_run.LinksPending())
        return CrawlOutcome{CrawlEnding::Completed, {}, false};
      if (m_run.Limits().QuotaReached()) {
        CrawlOutcome outcome{CrawlEnding::QuotaReached, {}, false};
        outcome.linksLeft = static_cast<int32_t>(m_ready.size() + m_heldCount + m_waiting.size());
        return outcome;
      }
      WaitForATurn();
      m_run.PumpScripts(0);
      continue;
    }
    std::string errorText;
    if (!m_slots.Pump(kPollMs, errorText, m_run.ScriptsWatched()))
      Fail(errorText);
    m_run.PumpScripts(0);
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
    // One at a time, the read that waited ends empty and is shown.
    if (m_oneAtATime && m_inFlight[i] && m_inFlight[i]->receiver->File().status != 0)
      m_inFlight[i]->receiver->Stopped();
    m_slots.Abort(static_cast<int>(i));
    if (m_inFlight[i])
      m_run.KeepPart(m_inFlight[i]->pass, m_inFlight[i]->receiver->File());
    m_inFlight[i].reset();
  }
}

}  // namespace

CrawlOutcome RunSlots(CrawlRun& run, int jobs) {
  return SlotScheduler(run, jobs).Run();
}
