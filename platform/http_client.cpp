#include "platform/http_client.h"

#include "platform/curl_common.h"

#include <curl/curl.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>
#include <thread>

namespace {

using namespace curl_common;

constexpr int kPollMs = 50;                 // how long a wait may last before the flag is seen
constexpr size_t kPauseAbove = 256 * 1024;  // bytes held before the transfer is paused

}  // namespace

struct HttpRequest::State {
  HttpClientOptions options;
  std::unique_ptr<CURLM, MultiDeleter> multi;
  std::unique_ptr<CURL, EasyDeleter> easy;
  std::unique_ptr<curl_slist, ListDeleter> headers;
  std::unique_ptr<curl_slist, ListDeleter> resolve;
  bool attached = false;
  bool https = false;
  std::string server;
  std::string host;
  bool unresolvable = false;
  char errorBuffer[CURL_ERROR_SIZE] = "";

  // What the header callback learns of the answer now arriving; the stall clock runs once the
  // answer has begun.
  AnswerHeaders answer;
  int64_t received = 0;

  std::vector<char> buffer;  // body bytes not yet read
  size_t offset = 0;
  bool paused = false;
  bool done = false;
  CURLcode result = CURLE_OK;

  ~State() {
    if (attached)
      curl_multi_remove_handle(multi.get(), easy.get());
  }

  static size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    auto* self = static_cast<State*>(user);
    self->answer.OnLine(std::string_view(data, size * count), self->easy.get());
    if (self->answer.done && !self->done) {
      self->done = true;
      self->result = self->answer.result;
    }
    return size * count;
  }

  static size_t OnBody(char* data, size_t size, size_t count, void* user) {
    auto* self = static_cast<State*>(user);
    if (self->buffer.size() - self->offset > kPauseAbove) {
      self->paused = true;
      return CURL_WRITEFUNC_PAUSE;
    }
    self->answer.complete = true;
    self->answer.lastData = std::chrono::steady_clock::now();
    size_t n = size * count;
    const std::optional<int64_t>& expected = self->answer.expected;
    if (expected)
      n = static_cast<size_t>(std::min<int64_t>(n, *expected - self->received));
    self->buffer.insert(self->buffer.end(), data, data + n);
    self->received += static_cast<int64_t>(n);
    if (expected && self->received >= *expected)
      self->done = true;
    return size * count;
  }

  size_t Available() const { return buffer.size() - offset; }

  // One round of the transfer; false when the multi interface itself failed.
  bool Pump(std::string& errorText) {
    const size_t before = buffer.size();
    int running = 0;
    CURLMcode code = curl_multi_perform(multi.get(), &running);
    if (code != CURLM_OK) {
      errorText = curl_multi_strerror(code);
      return false;
    }
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi.get(), &queued)) {
      if (message->msg == CURLMSG_DONE && !done) {
        done = true;
        result = message->data.result;
        if (result == CURLE_OK && answer.expected && received < *answer.expected) {
          result = CURLE_PARTIAL_FILE;
          answer.resultText = "transfer closed with " +
                              std::to_string(*answer.expected - received) +
                              " bytes remaining to read";
        }
      }
    }
    if (done)
      return true;
    if (answer.lastData && std::chrono::steady_clock::now() - *answer.lastData >
                               std::chrono::milliseconds(options.stallTimeoutMs)) {
      done = true;
      result = CURLE_OPERATION_TIMEDOUT;
      answer.resultText = StallText(options.stallTimeoutMs);
      return true;
    }
    // Wait only when this round brought nothing: a paused transfer's socket is not watched.
    if (buffer.size() != before || paused)
      return true;
    code = curl_multi_poll(multi.get(), nullptr, 0, kPollMs, nullptr);
    if (code != CURLM_OK) {
      errorText = curl_multi_strerror(code);
      return false;
    }
    return true;
  }

  std::string ResultText() const {
    if (!answer.resultText.empty())
      return answer.resultText;
    if (errorBuffer[0] != '\0') {
      std::string_view text = Trim(errorBuffer);
      return std::string(text);
    }
    return curl_easy_strerror(result);
  }
};

HttpRequest::HttpRequest() = default;
HttpRequest::~HttpRequest() = default;

bool HttpRequest::OpenSession(const std::string& agent) {
  GlobalInit();
  m_state = std::make_unique<State>();
  m_state->options = CurrentOptions();
  m_state->multi.reset(curl_multi_init());
  m_state->easy.reset(curl_easy_init());
  if (!m_state->multi || !m_state->easy) {
    m_errorText = curl_easy_strerror(CURLE_FAILED_INIT);
    return false;
  }
  curl_easy_setopt(m_state->easy.get(), CURLOPT_USERAGENT, agent.c_str());
  return true;
}

bool HttpRequest::Connect(bool https, const std::string& server) {
  State& s = *m_state;
  s.https = https;
  s.server = server;
  std::optional<std::string> entry;
  if (!ResolveEntry(s.options, https, server, s.host, entry, m_errorText))
    return false;
  if (s.options.resolve && !entry) {
    s.unresolvable = true;
  } else if (entry) {
    s.resolve.reset(curl_slist_append(nullptr, entry->c_str()));
    curl_easy_setopt(s.easy.get(), CURLOPT_RESOLVE, s.resolve.get());
  }
  return true;
}

bool HttpRequest::OpenRequest(const std::string& verb, const std::string& objectName,
                              const std::string& version, const std::string& referrer) {
  State& s = *m_state;
  CURL* easy = s.easy.get();
  const std::string url = RequestUrl(s.https, s.server, objectName);
  std::unique_ptr<CURLU, UrlDeleter> parsed(curl_url());
  CURLUcode parse = parsed
                        ? curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), CURLU_PATH_AS_IS)
                        : CURLUE_OUT_OF_MEMORY;
  if (parse != CURLUE_OK) {
    m_errorText = curl_url_strerror(parse);
    return false;
  }
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, verb == "GET" ? nullptr : verb.c_str());
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION,
                   version == "HTTP/1.0" ? CURL_HTTP_VERSION_1_0 : CURL_HTTP_VERSION_1_1);
  // libcurl adds "Accept: */*" of its own; the request carries no accept list.
  s.headers.reset(curl_slist_append(nullptr, "Accept:"));
  SetCommonOptions(easy, s.options, referrer, s.headers.get());
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, s.errorBuffer);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &State::OnHeader);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, &s);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &State::OnBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &s);
  return true;
}

HttpRequest::SendResult HttpRequest::Send(const std::atomic<int>& stop) {
  State& s = *m_state;
  if (s.unresolvable) {
    m_errorText = "Could not resolve host: " + s.host;
    return SendResult::Failed;
  }
  // Politeness, when asked for: the request waits its turn with this server.
  while (s.options.waitMs > 0) {
    auto wait = ClaimStart(s.server, s.options.waitMs);
    if (wait.count() == 0)
      break;
    if (stop.load() != 0)
      return SendResult::Stopped;
    std::this_thread::sleep_for(std::min(wait, std::chrono::milliseconds(kPollMs)));
  }
  CURLMcode code = curl_multi_add_handle(s.multi.get(), s.easy.get());
  if (code != CURLM_OK) {
    m_errorText = curl_multi_strerror(code);
    return SendResult::Failed;
  }
  s.attached = true;
  while (!s.answer.complete) {
    if (stop.load() != 0)
      return SendResult::Stopped;
    if (!s.Pump(m_errorText))
      return SendResult::Failed;
    if (s.done) {
      // An answer that began and then broke off is the body's problem, not the send's.
      if (s.result != CURLE_OK)
        m_errorText = s.ResultText();
      return s.result == CURLE_OK || s.answer.sawAnswer ? SendResult::Sent : SendResult::Failed;
    }
  }
  return SendResult::Sent;
}

bool HttpRequest::SizeHeader(std::string& text) const {
  const std::optional<std::string>& length = m_state->answer.contentLength;
  if (!length || length->size() > 254)
    return false;
  text = *length;
  return true;
}

int HttpRequest::Status() const {
  long status = 0;
  curl_easy_getinfo(m_state->easy.get(), CURLINFO_RESPONSE_CODE, &status);
  return static_cast<int>(status);
}

int HttpRequest::Read(char* destination, int max, const std::atomic<int>& stop) {
  State& s = *m_state;
  size_t wanted = max > 0 ? static_cast<size_t>(max) : 0;
  while (s.Available() < wanted && !s.done && stop.load() == 0) {
    if (s.paused) {
      s.paused = false;
      curl_easy_pause(s.easy.get(), CURLPAUSE_CONT);
    }
    if (!s.Pump(m_errorText)) {
      s.done = true;
      s.result = CURLE_RECV_ERROR;
      break;
    }
  }
  size_t n = std::min(wanted, s.Available());
  // A rate limit paces what is taken; curl reads ahead no further than kPauseAbove.
  if (n > 0 && s.options.maxBytesPerSecond > 0) {
    const auto due = TakeBytes(n, s.options.maxBytesPerSecond);
    for (auto now = std::chrono::steady_clock::now(); now < due && stop.load() == 0;
         now = std::chrono::steady_clock::now()) {
      std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
          due - now, std::chrono::milliseconds(kPollMs)));
    }
  }
  if (n > 0)
    std::memcpy(destination, s.buffer.data() + s.offset, n);
  s.offset += n;
  if (s.offset == s.buffer.size()) {
    s.buffer.clear();
    s.offset = 0;
  } else if (s.offset > kPauseAbove) {
    s.buffer.erase(s.buffer.begin(), s.buffer.begin() + static_cast<std::ptrdiff_t>(s.offset));
    s.offset = 0;
  }
  if (s.done && s.result != CURLE_OK && m_errorText.empty())
    m_errorText = s.ResultText();
  return static_cast<int>(n);
}

bool HttpRequest::Broken() const {
  return m_state && m_state->done && m_state->result != CURLE_OK;
}
