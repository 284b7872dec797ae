#include "platform/http_request.h"

#include <cstring>
#include <thread>

namespace {

constexpr int kPollMs = 50;                 // how long a wait may last before the flag is seen
constexpr size_t kPauseAbove = 256 * 1024;  // bytes held before the transfer is paused
// What a decoded answer may make us hold at once, far above any file a read takes whole: what
// one piece from the wire decodes to cannot be paused.
constexpr size_t kMostHeld = 64 << 20;

}  // namespace

HttpRequest::HttpRequest(Transport& transport) : m_transport(transport), m_transfer(transport) {}

HttpRequest::~HttpRequest() {
  if (m_loop)
    m_loop->Remove(m_transfer);
}

bool HttpRequest::OpenSession(const std::string& agent) {
  // The agent is the program's own name, which every request of the transport carries.
  (void)agent;
  m_loop = std::make_unique<TransferLoop>();
  return true;
}

bool HttpRequest::Connect(bool https, const std::string& server) {
  m_request.https = https;
  m_request.server = server;
  return true;
}

bool HttpRequest::OpenRequest(const std::string& verb, const std::string& objectName,
                              const std::string& version, const std::string& referrer,
                              std::function<bool(const std::string&)> mayRedirect,
                              std::vector<std::string> headers) {
  (void)verb;  // every request is a GET
  m_request.objectName = objectName;
  m_request.referrer = referrer;
  m_request.http10 = version == "HTTP/1.0";
  // The size header is read as text and may be anything: the answer ends at its close, or at
  // the announced length when that is a number.
  m_request.readToClose = true;
  m_request.mayRedirect = std::move(mayRedirect);
  m_request.headers = std::move(headers);
  TransferResult failure;
  if (m_transfer.Prepare(m_request, *this, failure))
    return true;
  m_errorText = failure.text;
  return false;
}

HttpRequest::SendResult HttpRequest::Send(const std::atomic<int>& stop) {
  // Politeness, when asked for: the request waits its turn with this server.
  for (;;) {
    auto wait = m_transport.Polite().ClaimStart(m_request.server);
    if (wait.count() == 0)
      break;
    if (stop.load() != 0)
      return SendResult::Stopped;
    std::this_thread::sleep_for(std::min(wait, std::chrono::milliseconds(kPollMs)));
  }
  if (!m_loop->Add(m_transfer, m_errorText))
    return SendResult::Failed;
  m_sent = true;
  while (!m_transfer.Answered() && !m_result) {
    if (stop.load() != 0)
      return SendResult::Stopped;
    if (!Pump())
      break;
  }
  if (m_result && m_result->end == TransferEnd::Failed) {
    m_errorText = m_result->text;
    return SendResult::Failed;
  }
  return SendResult::Sent;
}

bool HttpRequest::SizeHeader(std::string& text) const {
  const std::optional<std::string>& length = m_transfer.SizeHeader();
  if (!length || length->size() > 254)
    return false;
  text = *length;
  return true;
}

TransferSink::Take HttpRequest::OnBody(const char* data, size_t size) {
  if (m_transfer.Decoding()) {
    if (Available() + size > kMostHeld)
      return Take::Refuse;
  } else if (Full()) {
    return Take::Pause;
  }
  m_buffer.append(data, size);
  return Take::All;
}

bool HttpRequest::Full() const {
  return Available() > kPauseAbove;
}

void HttpRequest::End(TransferResult result) {
  m_loop->Remove(m_transfer);
  m_result = std::move(result);
}

bool HttpRequest::Pump() {
  std::vector<TransferLoop::Ended> ended;
  std::string failure;
  const size_t before = m_buffer.size();
  if (!m_loop->Perform(ended, failure)) {
    End(TransferResult::Failure(failure));
    return false;
  }
  for (const TransferLoop::Ended& e : ended)
    End(m_transfer.Finish(e.code, e.stalled));
  // The answer is over at its announced length, whether or not the server closes.
  if (!m_result && m_transfer.BodyComplete())
    End(m_transfer.Finish(CURLE_OK, false));
  // Wait only when this round brought nothing: the socket of a transfer paused until its reader
  // makes room is not watched, and waiting would only waste the time. (A wait for the rate
  // budget is one the loop times.)
  const bool readerPause = m_transfer.Paused() && !m_transfer.PausedUntil();
  if (m_result || !ended.empty() || m_buffer.size() != before || readerPause)
    return true;
  if (!m_loop->Wait(kPollMs, failure)) {
    End(TransferResult::Failure(failure));
    return false;
  }
  return true;
}

int HttpRequest::Read(char* destination, int max, const std::atomic<int>& stop) {
  const size_t wanted = max > 0 ? static_cast<size_t>(max) : 0;
  while (m_sent && Available() < wanted && !m_result && stop.load() == 0) {
    if (m_transfer.Paused() && !m_transfer.PausedUntil())
      m_transfer.Resume();  // the reader has made room
    if (!Pump())
      break;
  }
  const size_t n = std::min(wanted, Available());
  if (n > 0)
    std::memcpy(destination, m_buffer.data() + m_offset, n);
  m_offset += n;
  if (m_offset == m_buffer.size()) {
    m_buffer.clear();
    m_offset = 0;
  } else if (m_offset > kPauseAbove) {
    m_buffer.erase(0, m_offset);
    m_offset = 0;
  }
  if (m_result && m_result->end != TransferEnd::Complete && m_errorText.empty())
    m_errorText = m_result->text;
  return static_cast<int>(n);
}
