#include "platform/transfer_slots.h"

#include <algorithm>

struct TransferSlots::Slot {
  explicit Slot(Transport& transport) : transfer(transport) {}
  Transfer transfer;
  TransferRequest request;
  TransferSink* sink = nullptr;
  bool busy = false;
  bool retried = false;
  std::optional<SteadyClock::time_point> retryAt;  // asked for again at this time
};

TransferSlots::TransferSlots(int slots, Transport& transport, EndReport onEnd,
                             int connectionsPerServer, int connections)
    : m_transport(transport),
      m_onEnd(std::move(onEnd)),
      m_loop(slots, connectionsPerServer, connections) {
  for (int i = 0; i < slots; ++i)
    m_slots.push_back(std::make_unique<Slot>(transport));
}

TransferSlots::~TransferSlots() {
  for (int i = 0; i < static_cast<int>(m_slots.size()); ++i)
    Abort(i);
}

bool TransferSlots::Start(int slot, TransferRequest request, TransferSink& sink,
                          TransferResult& failure) {
  Slot& s = *m_slots[static_cast<size_t>(slot)];
  s.request = std::move(request);
  s.sink = &sink;
  s.retried = false;
  s.retryAt.reset();
  if (!s.transfer.Prepare(s.request, sink, failure))
    return false;
  if (!LoopOf(s).Add(s.transfer, failure.text)) {
    failure = TransferResult::Failure(failure.text);
    return false;
  }
  s.busy = true;
  return true;
}

void TransferSlots::Abort(int slot) {
  Slot& s = *m_slots[static_cast<size_t>(slot)];
  if (s.busy) {
    LoopOf(s).Remove(s.transfer);
    s.transfer.Abandon();
  }
  s.busy = false;
  s.retryAt.reset();
}

bool TransferSlots::Busy(int slot) const {
  return m_slots[static_cast<size_t>(slot)]->busy;
}

int TransferSlots::Active() const {
  int active = 0;
  for (const auto& slot : m_slots)
    active += slot->busy ? 1 : 0;
  return active;
}

// Once, a request is asked for again where a kept-open connection, and not the server's answer
// itself, may be at fault: an answer whose size header curl's framing reads otherwise than the
// size check, a request that got no answer (none, or silence) over a connection an earlier
// request had opened, and a stream of a multiplexed connection that ended before its answer. The
// retry is the request the one-at-a-time crawl sends: HTTP/1.0 over a connection of its own, read
// to its close. Nothing of the first try reached the sink. It takes the server's next turn, as any
// request does.
bool TransferSlots::Retry(Slot& slot, const TransferLoop::Ended& ended) {
  const bool framing = !ended.stalled && slot.transfer.FramingRefused(ended.code);
  // A stream of a multiplexed connection may be refused or reset before its answer for reasons
  // of the connection's own (its stream limit, a server going away, a header the framing layer
  // rejects), on a new connection as on a reused one.
  const bool newStream = slot.request.pooled && !ended.stalled && !Unreachable(ended.code);
  const bool noAnswer = !slot.transfer.AnswerBegan() && (slot.transfer.Reused() || newStream);
  // A request made that way already is its own retry.
  const bool plainest =
      slot.request.ownConnection && slot.request.http10 && slot.request.readToClose;
  if (slot.retried || plainest || (!framing && !noAnswer))
    return false;
  slot.retried = true;
  // The request is recorded once, with the answer it gets.
  slot.transfer.ForgetUnanswered();
  slot.request.ownConnection = true;
  slot.request.http10 = true;
  slot.request.readToClose = true;
  slot.request.pooled = false;
  slot.request.compressed = false;
  slot.retryAt = m_transport.Polite().ReserveStart(slot.request.server);
  return true;
}

// A redirect the transfer stopped at goes on in the same slot; the slot ends as failed when its
// request cannot be made.
void TransferSlots::Follow(int index) {
  Slot& slot = *m_slots[static_cast<size_t>(index)];
  TransferResult failure;
  if (slot.transfer.Follow(slot.request, failure) && LoopOf(slot).Add(slot.transfer, failure.text))
    return;
  slot.busy = false;
  TransferResult broken;
  broken.end = TransferEnd::Broken;  // the redirect was the server's answer
  broken.text = failure.text;
  m_onEnd(index, broken);
}

// Starts the retries whose time has come; one that cannot even be sent ends as failed.
void TransferSlots::StartRetries() {
  const SteadyClock::time_point now = SteadyClock::now();
  for (size_t i = 0; i < m_slots.size(); ++i) {
    Slot& slot = *m_slots[i];
    if (!slot.retryAt || now < *slot.retryAt)
      continue;
    // Its turn was claimed when the retry was decided.
    slot.retryAt.reset();
    TransferResult failure;
    if (!slot.transfer.Prepare(slot.request, *slot.sink, failure) ||
        !LoopOf(slot).Add(slot.transfer, failure.text)) {
      slot.busy = false;
      m_onEnd(static_cast<int>(i), failure);
    }
  }
}

bool TransferSlots::Pump(int waitMs, std::string& errorText,
                         const std::vector<WatchedFd>& watched) {
  StartRetries();
  std::vector<TransferLoop::Ended> ended;
  std::vector<TransferLoop::Ended> endedApart;
  if (!m_loop.Perform(ended, errorText) || !m_ownLoop.Perform(endedApart, errorText))
    return false;
  ended.insert(ended.end(), endedApart.begin(), endedApart.end());
  // Ends are reported after the round, so that a receiver may start the next request of a slot
  // from within its report.
  for (const TransferLoop::Ended& e : ended) {
    auto found = std::find_if(m_slots.begin(), m_slots.end(),
                              [&](const auto& slot) { return &slot->transfer == e.transfer; });
    if (found == m_slots.end())
      continue;
    Slot& slot = **found;
    if (slot.transfer.FollowsOn()) {
      Follow(static_cast<int>(found - m_slots.begin()));
      continue;
    }
    if (Retry(slot, e))
      continue;
    slot.busy = false;
    m_onEnd(static_cast<int>(found - m_slots.begin()), slot.transfer.Finish(e.code, e.stalled));
  }
  // Read to its close, an answer is still over at its announced length, closed or not.
  for (size_t i = 0; i < m_slots.size(); ++i) {
    Slot& slot = *m_slots[i];
    if (slot.busy && !slot.retryAt && slot.request.readToClose && slot.transfer.BodyComplete()) {
      LoopOf(slot).Remove(slot.transfer);
      slot.busy = false;
      m_onEnd(static_cast<int>(i), slot.transfer.Finish(CURLE_OK, false));
      ended.push_back({&slot.transfer, CURLE_OK, false});
    }
  }
  if (!ended.empty())
    return true;
  for (const auto& slot : m_slots) {
    if (slot->retryAt) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(*slot->retryAt - SteadyClock::now());
      waitMs = static_cast<int>(std::clamp<long long>(left.count(), 0, waitMs));
    }
  }
  return m_loop.Wait(waitMs, errorText, &m_ownLoop, watched);
}

TransferLoop& TransferSlots::LoopOf(const Slot& slot) {
  return slot.request.ownConnection ? m_ownLoop : m_loop;
}
