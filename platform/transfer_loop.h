#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/transfer.h"
#include "platform/watched_fd.h"

struct MultiDeleter {
  void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};

// The multi interface that moves transfers on.
class TransferLoop {
 public:
  struct Ended {
    Transfer* transfer;
    CURLcode code;
    bool stalled;
  };

  // streams: at most so many of one multiplexed connection; 0: curl's own settings throughout.
  // connectionsPerServer: at most so many to one server; 0: as many as streams. connections: at
  // most so many in all, idle ones closed first; 0: as many as to one server, no bound in all.
  explicit TransferLoop(long streams = 0, long connectionsPerServer = 0, long connections = 0);
  ~TransferLoop();
  TransferLoop(const TransferLoop&) = delete;
  TransferLoop& operator=(const TransferLoop&) = delete;

  bool Add(Transfer& transfer, std::string& errorText);
  void Remove(Transfer& transfer);
  // One round: paused transfers whose time has come resume, curl moves every transfer on, and
  // those that ended or stalled are returned, already removed. False when the multi interface
  // itself failed, with its reason.
  bool Perform(std::vector<Ended>& ended, std::string& errorText);
  // Waits for the network at most waitMs, less when a rate pause ends sooner; for the
  // transfers of the loop alongside as well, when there is one, and for what is watched.
  bool Wait(int waitMs, std::string& errorText, const TransferLoop* alongside = nullptr,
            const std::vector<WatchedFd>& watched = {});

 private:
  // waitMs, or less when a transfer's rate pause ends sooner.
  int PauseBound(int waitMs, SteadyClock::time_point now) const;

  std::unique_ptr<CURLM, MultiDeleter> m_multi;
  std::vector<Transfer*> m_transfers;
};
