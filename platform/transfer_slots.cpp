#include "platform/transfer_slots.h"

struct TransferSlots::Slot {
  explicit Slot(Transport& transport) : transfer(transport) {}
  Transfer transfer;
  TransferRequest request;
  TransferSink* sink = nullptr;
  bool busy = false;
  bool retried = false;
};

TransferSlots::TransferSlots(int slots, Transport& transport, Receiver& receiver)
    : m_receiver(receiver), m_loop(slots) {
  for (int i = 0; i < slots; ++i)
    m_slots.push_back(std::make_unique<Slot>(transport));
}

TransferSlots::~TransferSlots() {
  for (int i = 0; i < static_cast<int>(m_slots.size()); ++i)
    Abort(i);
}

bool TransferSlots::Start(int slot, TransferRequest request, TransferSink& sink,
                          std::string& errorText) {
  Slot& s = *m_slots[static_cast<size_t>(slot)];
  s.request = std::move(request);
  s.sink = &sink;
  s.retried = false;
  if (!s.transfer.Prepare(s.request, sink, errorText) || !m_loop.Add(s.transfer, errorText))
    return false;
  s.busy = true;
  return true;
}

void TransferSlots::Abort(int slot) {
  Slot& s = *m_slots[static_cast<size_t>(slot)];
  if (s.busy)
    m_loop.Remove(s.transfer);
  s.busy = false;
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

// An answer whose headers curl's framing refused (a size header that is no number) is asked for
// once more, over a connection of its own and read to its close, as the one-file request reads
// every answer; nothing of the first try reached the sink.
bool TransferSlots::Retry(Slot& slot) {
  if (slot.retried)
    return false;
  slot.retried = true;
  slot.request.http10 = true;
  slot.request.readToClose = true;
  std::string ignored;
  return slot.transfer.Prepare(slot.request, *slot.sink, ignored) &&
         m_loop.Add(slot.transfer, ignored);
}

bool TransferSlots::Pump(int waitMs, std::string& errorText) {
  std::vector<TransferLoop::Ended> ended;
  if (!m_loop.Perform(ended, errorText))
    return false;
  // Ends are reported after the round, so that a receiver may start the next request of a slot
  // from within its report.
  for (const TransferLoop::Ended& e : ended) {
    for (size_t i = 0; i < m_slots.size(); ++i) {
      Slot& slot = *m_slots[i];
      if (&slot.transfer != e.transfer)
        continue;
      if (!e.stalled && slot.transfer.FramingRefused(e.code) && Retry(slot))
        break;
      slot.busy = false;
      m_receiver.OnEnd(static_cast<int>(i), slot.transfer.Finish(e.code, e.stalled));
      break;
    }
  }
  if (!ended.empty())
    return true;
  return m_loop.Wait(waitMs, errorText);
}
