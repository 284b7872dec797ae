#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Settings of every request of the process, set once by the front end before a crawl.
struct HttpClientOptions {
  long connectTimeoutMs = 30000;    // a connection not made by then is a failed send
  long stallTimeoutMs = 60000;      // a body that delivers nothing for this long is broken
  std::string caFile;               // a certificate authority to trust besides the system's
  long long maxBytesPerSecond = 0;  // what all requests together may receive; 0 for no limit
  long waitMs = 0;  // at least this long between the starts of two requests to one server
  // Test seam: when set, gives the address of every server name without a DNS query, or
  // nothing for a name that cannot be resolved.
  std::function<std::optional<std::string>(const std::string& host)> resolve;
};

void SetHttpClientOptions(HttpClientOptions options);

// One HTTP request over libcurl, in the four steps of opening a session, naming the server,
// opening the request and sending it; then the size header and reads of the body. Each step
// that fails leaves its reason in ErrorText(). Nothing is shared between two requests.
class HttpRequest {
 public:
  enum class SendResult { Sent, Failed, Stopped };

  HttpRequest();
  ~HttpRequest();
  HttpRequest(const HttpRequest&) = delete;
  HttpRequest& operator=(const HttpRequest&) = delete;

  bool OpenSession(const std::string& agent);
  bool Connect(bool https, const std::string& server);
  bool OpenRequest(const std::string& verb, const std::string& objectName,
                   const std::string& version, const std::string& referrer);
  // Runs the transfer until the final answer's headers are in. Returns Stopped as soon as the
  // flag is raised.
  SendResult Send(const std::atomic<int>& stop);

  // The final answer's Content-Length text as sent; false when it has none.
  bool SizeHeader(std::string& text) const;
  int Status() const;
  // Waits until max bytes have arrived, the answer has ended or the flag is raised; 0 at the end.
  int Read(char* destination, int max, const std::atomic<int>& stop);
  // The answer ended with an error (reset, timeout, fewer bytes than announced, ...).
  bool Broken() const;
  const std::string& ErrorText() const { return m_errorText; }

 private:
  struct State;
  std::unique_ptr<State> m_state;
  std::string m_errorText;
};

// Bytes that cannot stand in a request path (0x20 and below, 0x7F and above) as %XX.
std::string EncodeRequestPath(const std::string& objectName);
