#pragma once

// The transport of one crawl over libcurl: the settings and politeness every request shares, and
// what its pooled transfers share (DNS answers, cookies). A transfer (transfer.h) is one request
// over it, and a transfer loop (transfer_loop.h) moves transfers on.
#include <curl/curl.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/answer_framing.h"
#include "platform/content_decoding.h"
#include "platform/network_settings.h"
#include "platform/wire_recorder.h"

using SteadyClock = std::chrono::steady_clock;

// A server as politeness counts it: "host:port" with the web's default port left out, so that
// "h" and "h:80" are one server.
std::string ServerKey(std::string_view server);

// The politeness of one crawl: the wait between starts to one server and the crawl's receiving
// budget. Used from the crawl's one thread.
class Politeness {
 public:
  // randomWait: each wait after a start drawn between half and one and a half times waitMs, so
  // that the requests keep no beat a server could tell from a person's.
  Politeness(long waitMs, long long bytesPerSecond, bool randomWait = false)
      : m_waitMs(waitMs), m_bytesPerSecond(bytesPerSecond), m_randomWait(randomWait) {}

  // Zero when a request to the server may start now, and the start is then counted; otherwise
  // how long it must still wait, and nothing is counted.
  std::chrono::milliseconds ClaimStart(const std::string& server);
  // The server's own wait between starts (its robots.txt's Crawl-delay), where longer than the
  // crawl's.
  void SetWait(const std::string& server, long waitMs);
  // No request to the server starts before then: it asked to be left alone until that time.
  void HoldOff(const std::string& server, SteadyClock::time_point until);
  // A request to the server started then, outside the turns claimed (its robots.txt): the wait
  // after it holds all the same.
  void Started(const std::string& server, SteadyClock::time_point when);
  // The next turn with the server, claimed now for a start at that time.
  SteadyClock::time_point ReserveStart(const std::string& server);
  bool RateLimited() const { return m_bytesPerSecond > 0; }
  // n bytes taken now push back the time before which no more should be taken; returns it.
  SteadyClock::time_point TakeBytes(size_t n);
  // The time before which no bytes should be taken.
  SteadyClock::time_point NextTake() const { return m_next; }

 private:
  // The earliest time of the server's next start, and the wait after it.
  SteadyClock::time_point Due(const std::string& server, long& waitMs) const;
  // A start at that time, and the wait after it.
  void CountStart(const std::string& server, SteadyClock::time_point when);

  long m_waitMs;
  long long m_bytesPerSecond;
  bool m_randomWait;
  std::map<std::string, long> m_drawnWaitMs;  // with random waits: the wait after each last start
  std::map<std::string, SteadyClock::time_point> m_lastStart;
  std::map<std::string, long> m_serverWaitMs;
  std::map<std::string, SteadyClock::time_point> m_heldOff;
  SteadyClock::time_point m_next;
};

struct EasyDeleter {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct ShareDeleter {
  void operator()(CURLSH* share) const { curl_share_cleanup(share); }
};

// OnChallenge: by the scheme the server names, once it asks.
enum class LoginScheme { None, Basic, Digest, OnChallenge };
// How a login goes below a directory: by which scheme, and which realm's login it is (none: the
// login given for any realm of the server).
struct RememberedLogin {
  LoginScheme scheme = LoginScheme::None;
  std::string realm;
};

// The options and politeness of one crawl's requests, and what its pooled transfers share: DNS
// answers, and the cookies when the crawl keeps them.
class Transport {
 public:
  explicit Transport(NetworkSettings options = {});
  ~Transport();
  Transport(const Transport&) = delete;
  Transport& operator=(const Transport&) = delete;

  const NetworkSettings& Options() const { return m_options; }
  // The name every request gives: the one asked for, or the program's own.
  std::string UserAgent() const {
    return m_options.userAgent.empty() ? kDefaultUserAgent : m_options.userAgent;
  }
  Politeness& Polite() { return m_politeness; }
  // Used from the crawl's one thread only, so it needs no locks.
  CURLSH* Share() const { return m_share.get(); }
  bool Cookies() const { return !m_options.loadCookies.empty() || !m_options.saveCookies.empty(); }
  // Writes the cookie store to the file for them, when there is one; false when it cannot.
  // Done once: by the crawl at its end, else when the transport goes.
  bool SaveCookies();
  // A login the server asked for at the address, and took: from then on it goes at once with
  // every request below the address's directory on that server, as browsers send it (Digest
  // with the nonce the transfer's handle keeps).
  // exact: at that address alone, not below its directory.
  void RememberLogin(std::string_view url, LoginScheme scheme, const std::string& realm = {},
                     bool exact = false);
  RememberedLogin LoginRemembered(std::string_view url) const;
  // A login given during the crawl for a server ("scheme://server"): it takes the place of any
  // the crawl had for it.
  void AddLogin(const NetworkSettings::ServerLogin& login);
  // A login the server refused for a realm: it goes nowhere any more.
  void ForgetLogin(const std::string& server, const std::string& realm);
  // Every exchange of the crawl's transfers goes to the recorder too, from then on.
  void Record(WireRecorder* recorder) { m_recorder = recorder; }
  WireRecorder* Recorder() const { return m_recorder; }

 private:
  NetworkSettings m_options;
  Politeness m_politeness;
  std::unique_ptr<CURLSH, ShareDeleter> m_share;
  bool m_cookiesSaved = false;
  WireRecorder* m_recorder = nullptr;
  // "scheme://server/dir/" where a login worked or a realm was met; the first that holds an
  // address is its.
  std::vector<std::pair<std::string, RememberedLogin>> m_loginDirectories;
};

// libcurl's process-wide set-up, done once before any handle is made.
void InitCurl();
