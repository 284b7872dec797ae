#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "platform/transfer.h"

// Where the number of jobs is not given, with the web rules: what a browser takes of a server.
inline constexpr int kPoliteConnections = 6;  // HTTP/1.1 connections to one server
inline constexpr int kPoliteInAll = 16;       // connections to all servers
inline constexpr int kPoliteStreams = 100;    // streams of one server's multiplexed connection

// The server of an address as requests name it, and with its scheme: http and https of one
// host are two servers to reach.
std::string ServerOf(const std::string& url);
std::string SchemeAndServer(const std::string& url);

// A pause a server asked for; the first of its answers in one pause is the one that counts.
struct Slowdown {
  std::chrono::milliseconds wait;
  bool first = true;
};

// What the scheduler knows of each server: how many of its files are in transfer and how many
// it takes at once, whether it carries several over one connection, and the pauses it asked for.
class ServerTurns {
 public:
  // jobs 0: as many as a polite peer takes.
  explicit ServerTurns(int jobs);

  int Jobs() const { return m_jobs; }
  bool Polite() const { return m_polite; }
  // How many of the server's files may be in transfer at once, and whether as many are, or, for
  // a server not seen to multiplex, as many connections as all servers may have.
  int Cap(const std::string& server) const;
  bool AtCap(const std::string& server) const;

  // A transfer to the server starts, and what ran beside it.
  struct Beside {
    SteadyClock::time_point started = SteadyClock::now();
    int alongside = 0;         // its server's transfers under way when it started
    int64_t startsBefore = 0;  // and the server's starts before its own
  };
  Beside Start(const std::string& server);
  void End(const std::string& server, const TransferResult& result);

  // The pause an answer asks for, to a pass asked again `tries` times already. Answers to
  // requests sent before the server's last pause began are of that pause: they wait with it,
  // and neither count as another pause in a row nor halve its transfers again.
  std::optional<Slowdown> PauseFor(const Beside& ended, int tries, const TransferResult& result,
                                   const std::string& answering);
  // The server takes half as many at once after a pause.
  void Halve(const std::string& server, bool firstOfPause);
  // A server that refuses or drops a connection, or answers 503 without a pause, to a transfer
  // that ran beside others of its own (or drops one just after it answered) takes no more at
  // once.
  bool Crowded(const Beside& ended, const TransferResult& result, const std::string& server) const;
  // It keeps as many as it has still, one at least.
  void KeepToInFlight(const std::string& server);

 private:
  const int m_jobs;
  const int m_perServer;  // until a server is seen to multiplex
  const bool m_polite;    // the number was not given
  std::map<std::string, int> m_inFlight;
  std::map<std::string, int64_t> m_starts;
  std::map<std::string, SteadyClock::time_point> m_lastAnswer;
  std::map<std::string, int> m_cap;      // lowered by pauses and crowding
  std::set<std::string> m_multiplexing;  // servers whose answers came as streams
  std::map<std::string, int> m_pausesInARow;
  std::map<std::string, SteadyClock::time_point> m_pausedAt;  // the last pause's beginning
};
