#pragma once

// One transfer's exchanges as curl's trace shows them, handed to the crawl's recorder one at a
// time, each request with the answer it got.
#include <curl/curl.h>

#include <memory>
#include <string>
#include <string_view>

#include "platform/wire_recorder.h"

class WireCapture {
 public:
  // A piece of the trace. A new exchange is begun with the recorder, named by the address and
  // peer the handle has then, or by url where it has none.
  void Trace(WireRecorder& recorder, CURL* easy, const std::string& url, curl_infotype type,
             std::string_view bytes);
  // The exchange in hand ends, cut as said where its answer has begun; a head cut short is
  // recorded as far as it came, unless headWhole: it came, its last line not traced yet.
  void End(WireCut cut, bool headWhole = false);
  // A request that got no answer, to be sent again: it is not recorded.
  void ForgetUnanswered();

 private:
  void RequestHead(WireRecorder& recorder, CURL* easy, const std::string& url,
                   std::string_view bytes);
  void AnswerHead(std::string_view bytes);

  std::unique_ptr<WireExchange> m_exchange;
  std::string m_head;       // the answer's head as it comes, line by line
  bool m_answered = false;  // its head went to the recorder: body bytes follow
  bool m_tunnel = false;    // a proxy's CONNECT and its answer, which no archive keeps
  bool m_headSent = false;  // the request's head went whole
};
