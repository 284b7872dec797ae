#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

// The program's own name, which requests give unless they are told another.
inline constexpr const char* kDefaultUserAgent = "Kelvane";

// How a crawl talks to servers: the transport's part of the crawl's plan, which the option table
// writes and the transport reads as it is.
struct NetworkSettings {
  long connectTimeoutMs = 30000;     // a connection not made by then is a failed network call
  long stallTimeoutMs = 60000;       // an answer that delivers nothing for this long is broken
  long dnsTimeoutMs = 0;             // given apart: a name lookup's own, before the connection's
  long maxRedirects = 20;            // redirects followed in a row
  bool checkCertificates = true;     // off: any server certificate is taken, said as a warning
  bool randomWait = false;           // each wait between 0.5 and 1.5 times the one given
  std::string caFile;                // a certificate authority to trust besides the system's
  long waitMs = 0;                   // between the starts of two requests to one server
  long long maxBytesPerSecond = 0;   // what the whole crawl may receive; 0 for no limit
  std::string userAgent;             // empty: the program's own name
  std::vector<std::string> headers;  // more header lines for every request, "Name: value"
  // Cookies: read from this file (Netscape format) before the crawl, and those the crawl ends
  // with written to that one; either makes the crawl's requests share one cookie store.
  std::string loadCookies;
  std::string saveCookies;
  // HTTP authentication, given to one server alone: the start address's ("scheme://server").
  std::string user;
  std::string password;
  bool netrc = false;  // from ~/.netrc, what the credentials given leave out
  // Logins written into other start addresses, each given to its own server alone.
  struct ServerLogin {
    std::string server;  // "scheme://server", as authServer
    std::string user;
    std::string password;
    // The realm it was given for, which it goes to alone; none: any realm of its server.
    std::string realm{};
  };
  std::vector<ServerLogin> moreLogins;
  // Basic credentials sent at once, to a server that never asks for them; otherwise they go
  // only once the server asks, by the scheme it names (Basic or Digest).
  bool authNoChallenge = false;
  std::string authServer;
  // Every coding decoded here is undone, whether or not the request asked for it: a server that
  // compresses unasked still gives the file, not its compressed bytes.
  bool decodeAnyCoding = false;
  // Test seam: gives the address of every server name without a DNS query, or nothing for a
  // name that cannot be resolved.
  std::function<std::optional<std::string>(const std::string& host)> resolve;
};
