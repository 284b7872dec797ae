#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/transfer_loop.h"
#include "platform/watched_fd.h"

// Several GETs at once: over HTTP/2 where a server offers it, as streams of one connection;
// elsewhere over HTTP/1.1, where connections to a server stay open between files and the next
// file of a slot reuses them. Each slot holds one reused transfer, and at most one request.
// Everything runs on the thread that calls Pump.
class TransferSlots {
 public:
  // A slot's request has ended; the slot is free again, and may be started from here. The
  // crawl above is told through this alone, so that the transport knows nothing of it.
  using EndReport = std::function<void(int slot, const TransferResult& result)>;

  // At most connectionsPerServer connections to a server and connections in all; 0: as many as
  // slots.
  TransferSlots(int slots, Transport& transport, EndReport onEnd, int connectionsPerServer = 0,
                int connections = 0);
  ~TransferSlots();
  TransferSlots(const TransferSlots&) = delete;
  TransferSlots& operator=(const TransferSlots&) = delete;

  // Starts a request in a free slot; what arrives goes to the sink. False, with how it failed,
  // when it cannot even be sent.
  bool Start(int slot, TransferRequest request, TransferSink& sink, TransferResult& failure);
  // Drops a slot's request without a report.
  void Abort(int slot);
  bool Busy(int slot) const;
  int Active() const;
  // Moves the requests on for at most waitMs and reports those that ended. False when the multi
  // interface itself failed, with its reason.
  bool Pump(int waitMs, std::string& errorText, const std::vector<WatchedFd>& watched = {});

 private:
  struct Slot;
  bool Retry(Slot& slot, const TransferLoop::Ended& ended);
  void Follow(int slot);
  void StartRetries();
  TransferLoop& LoopOf(const Slot& slot);

  Transport& m_transport;
  EndReport m_onEnd;
  TransferLoop m_loop;
  // Requests over a connection of their own, apart: libcurl 7.88 may hand a transfer that waits
  // for a stream of a connection being made to one of these, and both read the one answer.
  TransferLoop m_ownLoop;
  std::vector<std::unique_ptr<Slot>> m_slots;
};
