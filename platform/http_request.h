#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/transport.h"

// One HTTP request in the four steps of opening a session, naming the server, opening the
// request and sending it; then the size header and reads of the body. Each step that fails
// leaves its reason in ErrorText(). The request has a connection of its own: nothing is shared
// with another request but the crawl's politeness.
class HttpRequest : private TransferSink {
 public:
  enum class SendResult { Sent, Failed, Stopped };

  explicit HttpRequest(Transport& transport);
  ~HttpRequest() override;
  HttpRequest(const HttpRequest&) = delete;
  HttpRequest& operator=(const HttpRequest&) = delete;

  bool OpenSession(const std::string& agent);
  bool Connect(bool https, const std::string& server);
  bool OpenRequest(const std::string& verb, const std::string& objectName,
                   const std::string& version, const std::string& referrer,
                   std::function<bool(const std::string&)> mayRedirect = {},
                   std::vector<std::string> headers = {});
  // Runs the transfer until the final answer's headers are in. Returns Stopped as soon as the
  // flag is raised.
  SendResult Send(const std::atomic<int>& stop);

  // The final answer's Content-Length text as sent; false when it has none or it is too long.
  bool SizeHeader(std::string& text) const;
  int Status() const { return m_transfer.Status(); }
  std::string ContentType() const { return m_transfer.ContentType(); }
  AnswerInfo Info() const { return m_transfer.Info(); }
  // Waits until max bytes have arrived, the answer has ended or the flag is raised; 0 at the end.
  int Read(char* destination, int max, const std::atomic<int>& stop);
  // How the answer ended, once it has.
  const std::optional<TransferResult>& Result() const { return m_result; }
  const std::string& ErrorText() const { return m_errorText; }

 private:
  void OnAnswer(const AnswerInfo&) override {}
  Take OnBody(const char* data, size_t size) override;
  bool Full() const override;
  size_t Available() const { return m_buffer.size() - m_offset; }
  // One round of the transfer; false when the multi interface itself failed.
  bool Pump();
  void End(TransferResult result);

  Transport& m_transport;
  Transfer m_transfer;
  std::unique_ptr<TransferLoop> m_loop;
  TransferRequest m_request;
  bool m_sent = false;
  std::optional<TransferResult> m_result;
  std::string m_errorText;
  std::string m_buffer;  // body bytes not yet read
  size_t m_offset = 0;
};
