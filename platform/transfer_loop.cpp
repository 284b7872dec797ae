#include "platform/transfer_loop.h"

#include <algorithm>

TransferLoop::TransferLoop(long streams, long connectionsPerServer, long connections)
    : m_multi(curl_multi_init()) {
  InitCurl();
  if (m_multi && streams > 0) {
    const long perServer = connectionsPerServer > 0 ? connectionsPerServer : streams;
    curl_multi_setopt(m_multi.get(), CURLMOPT_MAX_HOST_CONNECTIONS, perServer);
    curl_multi_setopt(m_multi.get(), CURLMOPT_MAXCONNECTS,
                      connections > 0 ? connections : perServer);
    // A hard bound too: a server that closes its multiplexed connection (after so many requests)
    // would otherwise see a new connection for each of the streams it had.
    if (connections > 0)
      curl_multi_setopt(m_multi.get(), CURLMOPT_MAX_TOTAL_CONNECTIONS, connections);
    // Never more streams at once than transfers; curl keeps below the server's own limit.
    curl_multi_setopt(m_multi.get(), CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
    curl_multi_setopt(m_multi.get(), CURLMOPT_MAX_CONCURRENT_STREAMS, streams);
  }
}

TransferLoop::~TransferLoop() {
  while (!m_transfers.empty())
    Remove(*m_transfers.back());
}

bool TransferLoop::Add(Transfer& transfer, std::string& errorText) {
  CURLMcode code =
      m_multi ? curl_multi_add_handle(m_multi.get(), transfer.Handle()) : CURLM_OUT_OF_MEMORY;
  if (code != CURLM_OK) {
    errorText = curl_multi_strerror(code);
    return false;
  }
  m_transfers.push_back(&transfer);
  return true;
}

void TransferLoop::Remove(Transfer& transfer) {
  auto found = std::find(m_transfers.begin(), m_transfers.end(), &transfer);
  if (found == m_transfers.end())
    return;
  curl_multi_remove_handle(m_multi.get(), transfer.Handle());
  m_transfers.erase(found);
}

bool TransferLoop::Perform(std::vector<Ended>& ended, std::string& errorText) {
  ended.clear();
  // Transfers whose wait for the budget is over go on, the one that has waited longest first:
  // the budget is taken in turns, and no transfer is left unread for long.
  const SteadyClock::time_point now = SteadyClock::now();
  std::vector<Transfer*> due;
  for (Transfer* transfer : m_transfers) {
    std::optional<SteadyClock::time_point> until = transfer->PausedUntil();
    if (until && now >= *until)
      due.push_back(transfer);
  }
  std::stable_sort(due.begin(), due.end(), [](const Transfer* a, const Transfer* b) {
    return a->WaitingSince().value_or(SteadyClock::time_point::max()) <
           b->WaitingSince().value_or(SteadyClock::time_point::max());
  });
  for (Transfer* transfer : due)
    transfer->Resume();
  int running = 0;
  CURLMcode code = curl_multi_perform(m_multi.get(), &running);
  if (code != CURLM_OK) {
    errorText = curl_multi_strerror(code);
    return false;
  }
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(m_multi.get(), &queued)) {
    if (message->msg != CURLMSG_DONE)
      continue;
    for (Transfer* transfer : m_transfers) {
      if (transfer->Handle() == message->easy_handle)
        ended.push_back({transfer, message->data.result, false});
    }
  }
  const SteadyClock::time_point later = SteadyClock::now();
  for (Transfer* transfer : m_transfers) {
    transfer->StartStallClockOnceSent();
    bool already = std::any_of(ended.begin(), ended.end(),
                               [&](const Ended& e) { return e.transfer == transfer; });
    if (!already && transfer->Stalled(later))
      ended.push_back({transfer, CURLE_OPERATION_TIMEDOUT, true});
  }
  for (const Ended& e : ended)
    Remove(*e.transfer);
  return true;
}

int TransferLoop::PauseBound(int waitMs, SteadyClock::time_point now) const {
  // A paused transfer's socket is not watched: wake for the end of its pause.
  for (Transfer* transfer : m_transfers) {
    if (std::optional<SteadyClock::time_point> until = transfer->PausedUntil()) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(*until - now);
      waitMs = static_cast<int>(std::clamp<long long>(left.count(), 0, waitMs));
    }
  }
  return waitMs;
}

bool TransferLoop::Wait(int waitMs, std::string& errorText, const TransferLoop* alongside,
                        const std::vector<WatchedFd>& watched) {
  const SteadyClock::time_point now = SteadyClock::now();
  waitMs = PauseBound(waitMs, now);
  std::vector<curl_waitfd> extra;
  for (const WatchedFd& w : watched) {
    if (w.fd >= 0)
      extra.push_back(
          curl_waitfd{w.fd, static_cast<short>(w.write ? CURL_WAIT_POLLOUT : CURL_WAIT_POLLIN), 0});
  }
  if (alongside != nullptr && !alongside->m_transfers.empty()) {
    CURLM* other = alongside->m_multi.get();
    waitMs = alongside->PauseBound(waitMs, now);
    long timeout = -1;
    if (curl_multi_timeout(other, &timeout) == CURLM_OK && timeout >= 0)
      waitMs = static_cast<int>(std::min<long>(waitMs, timeout));
    fd_set read, write, error;
    FD_ZERO(&read);
    FD_ZERO(&write);
    FD_ZERO(&error);
    int most = -1;
    if (curl_multi_fdset(other, &read, &write, &error, &most) != CURLM_OK || most < 0)
      waitMs = std::min(waitMs, 10);  // no socket to watch yet: look again soon
    for (int fd = 0; fd <= most; ++fd) {
      const short events = static_cast<short>((FD_ISSET(fd, &read) ? CURL_WAIT_POLLIN : 0) |
                                              (FD_ISSET(fd, &write) ? CURL_WAIT_POLLOUT : 0) |
                                              (FD_ISSET(fd, &error) ? CURL_WAIT_POLLPRI : 0));
      if (events != 0)
        extra.push_back(curl_waitfd{fd, events, 0});
    }
  }
  CURLMcode code = curl_multi_poll(m_multi.get(), extra.data(), static_cast<unsigned>(extra.size()),
                                   waitMs, nullptr);
  if (code != CURLM_OK) {
    errorText = curl_multi_strerror(code);
    return false;
  }
  return true;
}
