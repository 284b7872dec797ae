#include "platform/wire_capture.h"

#include <chrono>

#include "platform/url_resolve.h"

void WireCapture::Trace(WireRecorder& recorder, CURL* easy, const std::string& url,
                        curl_infotype type, std::string_view bytes) {
  switch (type) {
    case CURLINFO_HEADER_OUT:
      return RequestHead(recorder, easy, url, bytes);
    case CURLINFO_DATA_OUT:
      if (m_exchange && !m_answered)
        m_exchange->Request(bytes);
      return;
    case CURLINFO_HEADER_IN:
      return AnswerHead(bytes);
    case CURLINFO_DATA_IN:
      if (m_exchange && m_answered)
        m_exchange->AnswerBody(bytes);
      return;
    default:
      return;
  }
}

void WireCapture::RequestHead(WireRecorder& recorder, CURL* easy, const std::string& url,
                              std::string_view bytes) {
  // A request after an answer (a redirect followed, a login asked again) is an exchange of its
  // own; one sent again on a new connection after a whole head went unanswered takes the place
  // of the first, so that a request is recorded once, with the answer it got; a head sent in
  // pieces is one.
  if (m_answered || m_tunnel)
    End(WireCut::None);
  else if (m_headSent)
    ForgetUnanswered();
  if (m_headSent)
    End(WireCut::Disconnect);  // a head of an answer had begun: it stays as it came
  if (bytes.starts_with("CONNECT ")) {
    m_tunnel = true;
    return;
  }
  if (!m_exchange) {
    char* effective = nullptr;
    char* ip = nullptr;
    curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &effective);
    curl_easy_getinfo(easy, CURLINFO_PRIMARY_IP, &ip);
    m_exchange = recorder.Begin(WithoutLogin(effective != nullptr ? effective : url),
                                ip != nullptr ? ip : "", std::chrono::system_clock::now());
    if (!m_exchange)
      return;
    m_exchange->Request(AsHttp11Request(bytes));
  } else {
    m_exchange->Request(bytes);
  }
  m_headSent = bytes.ends_with("\r\n\r\n");
}

void WireCapture::AnswerHead(std::string_view bytes) {
  if (!m_exchange || m_answered)
    return;
  // A status line begins a head: an interim answer before it (100 Continue, 103), whose blank
  // line the trace does not always show, is no part of the record.
  if (bytes.starts_with("HTTP/"))
    m_head.clear();
  m_head.append(bytes);
  // Only an empty line ends the head; one of blanks is a header line folded over.
  if (bytes != "\r\n" && bytes != "\n")
    return;
  const size_t space = m_head.find(' ');
  if (space == std::string::npos || m_head.compare(space + 1, 1, "1") != 0) {
    m_exchange->AnswerHead(AsHttp11Answer(m_head));
    m_answered = true;
  }
  m_head.clear();
}

void WireCapture::End(WireCut cut, bool headWhole) {
  if (m_exchange && !m_answered && !m_head.empty()) {
    if (!m_head.ends_with("\r\n\r\n") && headWhole)
      m_head += "\r\n";
    m_exchange->AnswerHead(AsHttp11Answer(m_head));
    m_answered = true;
    cut = headWhole ? cut : WireCut::Unspecified;
  }
  if (m_exchange)
    m_exchange->End(m_answered ? cut : WireCut::Unspecified);
  m_exchange.reset();
  m_head.clear();
  m_answered = false;
  m_tunnel = false;
  m_headSent = false;
}

void WireCapture::ForgetUnanswered() {
  if (m_answered || !m_head.empty())
    return;
  m_exchange.reset();
  m_headSent = false;
}
