#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A TCP server on 127.0.0.1 and a free port that hands every connection, once its request
// headers are in, to a handler that writes whatever bytes it likes: whole answers, answers cut
// short, resets, stalls. It records every request exactly as it came over the wire.
class RawServer {
 public:
  // fd: the connection; request: the bytes up to and including the blank line.
  using Handler = std::function<void(int fd, const std::string& request)>;

  explicit RawServer(Handler handler);
  ~RawServer();
  RawServer(const RawServer&) = delete;
  RawServer& operator=(const RawServer&) = delete;

  int Port() const { return m_port; }
  std::string Url(const std::string& path) const;
  std::vector<std::string> Requests() const;
  // The request line of every request ("GET /a.htm HTTP/1.0"), in order.
  std::vector<std::string> RequestLines() const;

 private:
  void Serve();
  Handler m_handler;
  int m_listen = -1;
  int m_port = 0;
  std::atomic<bool> m_stopping{false};
  mutable std::mutex m_mutex;
  std::vector<std::string> m_requests;
  std::vector<std::thread> m_connections;
  std::thread m_thread;
};

// Writes all bytes, ignoring a peer that has gone.
void SendAll(int fd, const std::string& bytes);
// Closes with a reset (RST) instead of an orderly end.
void ResetConnection(int fd);
// Waits until the peer closes its end or the time is up: a stall that ends with the client.
void WaitForPeerClose(int fd, int milliseconds);
// An HTTP/1.0 answer with a Content-Length header.
std::string Answer(int status, const std::string& body, const std::string& extraHeaders = "");

// A static site served from memory: path -> body. Unknown paths answer 404.
RawServer::Handler SiteHandler(std::vector<std::pair<std::string, std::string>> files);
