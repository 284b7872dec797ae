#include "crawl/run/server_turns.h"

#include <algorithm>

#include "crawl/run/http_fetcher.h"
#include "platform/ascii.h"
#include "platform/url_resolve.h"

std::string ServerOf(const std::string& url) {
  std::string server;
  std::string objectName;
  CutAddress(IsHttpUrl(url) ? url : "http://" + url, server, objectName);
  return ServerKey(server);
}

std::string SchemeAndServer(const std::string& url) {
  return (StartsWithNoCase(url, "https://") ? "https://" : "http://") + ServerOf(url);
}

ServerTurns::ServerTurns(int jobs)
    : m_jobs(jobs > 0 ? jobs : kPoliteInAll + kPoliteStreams),
      m_perServer(jobs > 0 ? jobs : kPoliteConnections),
      m_polite(jobs == 0) {}

int ServerTurns::Cap(const std::string& server) const {
  const int cap = m_polite && m_multiplexing.count(server) != 0 ? kPoliteStreams : m_perServer;
  auto lowered = m_cap.find(server);
  return lowered == m_cap.end() ? cap : std::min(cap, lowered->second);
}

bool ServerTurns::AtCap(const std::string& server) const {
  auto found = m_inFlight.find(server);
  if (found != m_inFlight.end() && found->second >= Cap(server))
    return true;
  if (!m_polite || m_multiplexing.count(server) != 0)
    return false;
  // A multiplexed connection is one, whatever its streams.
  int connections = 0;
  for (const auto& [other, inFlight] : m_inFlight)
    connections += m_multiplexing.count(other) != 0 ? std::min(inFlight, 1) : inFlight;
  return connections >= kPoliteInAll;
}

ServerTurns::Beside ServerTurns::Start(const std::string& server) {
  Beside beside;
  beside.alongside = m_inFlight[server]++;
  beside.startsBefore = m_starts[server]++;
  return beside;
}

void ServerTurns::End(const std::string& server, const TransferResult& result) {
  --m_inFlight[server];
  if (result.status != 0)
    m_lastAnswer[server] = SteadyClock::now();
  if (result.multiplexed)
    m_multiplexing.insert(server);
}

std::optional<Slowdown> ServerTurns::PauseFor(const Beside& ended, int tries,
                                              const TransferResult& result,
                                              const std::string& answering) {
  std::optional<std::chrono::milliseconds> pause = result.PauseAsked(tries);
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

void ServerTurns::Halve(const std::string& server, bool firstOfPause) {
  if (firstOfPause || m_cap.count(server) == 0)
    m_cap[server] = std::max(1, std::min(Cap(server), m_jobs) / 2);
}

bool ServerTurns::Crowded(const Beside& ended, const TransferResult& result,
                          const std::string& server) const {
  const bool lost = result.end == TransferEnd::Failed && !result.nameUnknown;
  const bool busy =
      result.end == TransferEnd::Complete && result.status == 503 && result.retryAfter.empty();
  const bool beside = ended.alongside > 0 || m_inFlight.at(server) > 0 ||
                      m_starts.at(server) > ended.startsBefore + 1;
  // A server that has just answered may not yet have let go of the connection it answered on.
  const auto answered = m_lastAnswer.find(server);
  const bool lately = answered != m_lastAnswer.end() &&
                      SteadyClock::now() - answered->second < std::chrono::seconds(2);
  return (lost && (beside || lately)) || (busy && beside);
}

void ServerTurns::KeepToInFlight(const std::string& server) {
  m_cap[server] = std::max(1, std::min(Cap(server), m_inFlight[server]));
}
