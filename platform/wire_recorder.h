#pragma once

// What crosses the wire, for a crawl that keeps an archive: each exchange of a transfer (a
// redirect, a login's second asking and the final answer are one each) handed over as it goes,
// in the HTTP/1.1 form archives read, whatever version carried it.
#include <chrono>
#include <memory>
#include <string>
#include <string_view>

// Why an answer's record holds less than the server meant to send.
enum class WireCut { None, Length, Time, Disconnect, Unspecified };

class WireExchange {
 public:
  virtual ~WireExchange() = default;
  // The request's bytes as sent, its head first; may come in several pieces.
  virtual void Request(std::string_view bytes) = 0;
  // The answer's status line and headers, whole, once (interim 1xx answers left out).
  virtual void AnswerHead(std::string_view head) = 0;
  // The answer's body as it crossed the wire: chunked framing and content coding kept.
  virtual void AnswerBody(std::string_view bytes) = 0;
  // Nothing more comes; an exchange whose answer never began records nothing.
  virtual void End(WireCut cut) = 0;
};

// Made once per crawl and shared by its transfers, which may run on several threads.
class WireRecorder {
 public:
  virtual ~WireRecorder() = default;
  virtual std::unique_ptr<WireExchange> Begin(const std::string& url, const std::string& ip,
                                              std::chrono::system_clock::time_point when) = 0;
};

// A head as HTTP/1.1 writes it: an HTTP/2 or HTTP/3 request or status line rewritten ("GET /
// HTTP/2" becomes "GET / HTTP/1.1", "HTTP/2 200 " becomes "HTTP/1.1 200 OK"); other heads
// unchanged.
std::string AsHttp11Request(std::string_view head);
std::string AsHttp11Answer(std::string_view head);
