#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Several GETs at once over HTTP/1.1, with libcurl's multi interface: connections to a server
// stay open between files and the next file of a slot reuses them. Each slot holds one reused
// easy handle and at most one transfer. Everything runs on the thread that calls Pump.
class HttpTransfers {
 public:
  enum class End {
    Complete,  // the answer came whole
    Broken,    // the answer began and then broke off
    Failed,    // no answer at all: the network call failed
    Refused,   // the receiver refused more bytes
  };

  // What a transfer reports, in this order: the final answer's headers once, its body in pieces,
  // then its end once.
  class Receiver {
   public:
    virtual ~Receiver() = default;
    virtual void OnHeaders(int slot, int status, const std::optional<std::string>& sizeHeader,
                           const std::string& contentType) = 0;
    // False refuses the bytes, which ends the transfer as Refused.
    virtual bool OnBody(int slot, const char* data, size_t size) = 0;
    virtual void OnEnd(int slot, End end, const std::string& errorText) = 0;
  };

  HttpTransfers(int slots, Receiver& receiver);
  ~HttpTransfers();
  HttpTransfers(const HttpTransfers&) = delete;
  HttpTransfers& operator=(const HttpTransfers&) = delete;

  // Starts a GET in a free slot; false, with the reason, when it cannot even be sent.
  bool Start(int slot, bool https, const std::string& server, const std::string& objectName,
             const std::string& referrer, std::string& errorText);
  // Politeness, when asked for: whether a request to this server may start now. A yes counts as
  // the start.
  bool MayStart(const std::string& server);
  // Drops a slot's transfer without a report.
  void Abort(int slot);
  bool Busy(int slot) const;
  int Active() const;
  // Moves the transfers on for at most waitMs and reports what happened. False when the multi
  // interface itself failed, with its reason.
  bool Pump(int waitMs, std::string& errorText);

 private:
  struct Slot;
  struct Shared;
  std::unique_ptr<Shared> m_shared;
  std::vector<std::unique_ptr<Slot>> m_slots;
  Receiver& m_receiver;
};
