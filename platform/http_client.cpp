#include "platform/http_client.h"

#include <curl/curl.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>

namespace {

constexpr long kMaxRedirects = 20;
constexpr int kPollMs = 50;                 // how long a wait may last before the flag is seen
constexpr size_t kPauseAbove = 256 * 1024;  // bytes held before the transfer is paused

std::mutex g_optionsMutex;
HttpClientOptions g_options;

HttpClientOptions CurrentOptions() {
  std::lock_guard lock(g_optionsMutex);
  return g_options;
}

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct EasyDeleter {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct MultiDeleter {
  void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct ListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct UrlDeleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size())
    return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char a = text[i];
    if (a >= 'A' && a <= 'Z')
      a = static_cast<char>(a + 32);
    if (a != prefix[i])
      return false;
  }
  return true;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    text.remove_prefix(1);
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' ||
                           text.back() == '\t')) {
    text.remove_suffix(1);
  }
  return text;
}

// A Content-Length that is a plain decimal number; anything else announces nothing.
std::optional<int64_t> ParseLength(const std::optional<std::string>& text) {
  if (!text || text->empty() || text->size() > 18)
    return std::nullopt;
  int64_t value = 0;
  for (char c : *text) {
    if (c < '0' || c > '9')
      return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

bool IsFollowedRedirect(long status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

}  // namespace

void SetHttpClientOptions(HttpClientOptions options) {
  std::lock_guard lock(g_optionsMutex);
  g_options = std::move(options);
}

std::string EncodeRequestPath(const std::string& objectName) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  encoded.reserve(objectName.size());
  for (unsigned char c : objectName) {
    if (c <= 0x20 || c >= 0x7F) {
      encoded += '%';
      encoded += kHex[c >> 4];
      encoded += kHex[c & 15];
    } else {
      encoded += static_cast<char>(c);
    }
  }
  return encoded;
}

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

  // What the header callback learns of the answer now arriving.
  bool headersComplete = false;
  bool sawAnswer = false;
  bool location = false;
  std::optional<std::string> contentLength;
  // The announced length as a number, when it is one; the transfer ends when it is reached.
  std::optional<int64_t> expected;
  int64_t received = 0;
  std::string resultText;  // a reason of our own, when curl saw none
  // When the answer last delivered a byte; the stall clock runs once the answer has begun.
  std::optional<std::chrono::steady_clock::time_point> lastData;

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
    self->lastData = std::chrono::steady_clock::now();
    std::string_view line(data, size * count);
    if (line.starts_with("HTTP/")) {
      self->contentLength.reset();
      self->location = false;
    } else if (Trim(line).empty()) {
      long status = 0;
      long redirects = 0;
      curl_easy_getinfo(self->easy.get(), CURLINFO_RESPONSE_CODE, &status);
      curl_easy_getinfo(self->easy.get(), CURLINFO_REDIRECT_COUNT, &redirects);
      self->sawAnswer = true;
      bool interim = status >= 100 && status < 200;
      bool redirect = IsFollowedRedirect(status) && self->location;
      if (redirect && redirects >= kMaxRedirects) {
        self->headersComplete = true;
        self->done = true;
        self->result = CURLE_TOO_MANY_REDIRECTS;
        self->resultText = "Maximum (" + std::to_string(kMaxRedirects) + ") redirects followed";
      } else if (!interim && !redirect) {
        self->headersComplete = true;
        self->expected =
            status == 204 || status == 304 ? std::nullopt : ParseLength(self->contentLength);
        if (self->expected == 0)
          self->done = true;
      }
    } else if (StartsWithNoCase(line, "content-length:")) {
      self->contentLength = std::string(Trim(line.substr(15)));
    } else if (StartsWithNoCase(line, "location:")) {
      self->location = true;
    }
    return size * count;
  }

  static size_t OnBody(char* data, size_t size, size_t count, void* user) {
    auto* self = static_cast<State*>(user);
    if (self->buffer.size() - self->offset > kPauseAbove) {
      self->paused = true;
      return CURL_WRITEFUNC_PAUSE;
    }
    self->headersComplete = true;
    self->lastData = std::chrono::steady_clock::now();
    size_t n = size * count;
    if (self->expected)
      n = static_cast<size_t>(std::min<int64_t>(n, *self->expected - self->received));
    self->buffer.insert(self->buffer.end(), data, data + n);
    self->received += static_cast<int64_t>(n);
    if (self->expected && self->received >= *self->expected)
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
        if (result == CURLE_OK && expected && received < *expected) {
          result = CURLE_PARTIAL_FILE;
          resultText = "transfer closed with " + std::to_string(*expected - received) +
                       " bytes remaining to read";
        }
      }
    }
    if (done)
      return true;
    if (lastData && std::chrono::steady_clock::now() - *lastData >
                        std::chrono::milliseconds(options.stallTimeoutMs)) {
      done = true;
      result = CURLE_OPERATION_TIMEDOUT;
      char text[80];
      std::snprintf(text, sizeof text, "no data received for %g seconds",
                    static_cast<double>(options.stallTimeoutMs) / 1000.0);
      resultText = text;
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
    if (!resultText.empty())
      return resultText;
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
  std::unique_ptr<CURLU, UrlDeleter> url(curl_url());
  std::string text = std::string(https ? "https://" : "http://") + server + "/";
  CURLUcode code =
      url ? curl_url_set(url.get(), CURLUPART_URL, text.c_str(), 0) : CURLUE_OUT_OF_MEMORY;
  if (code != CURLUE_OK) {
    m_errorText = curl_url_strerror(code);
    return false;
  }
  char* host = nullptr;
  char* port = nullptr;
  curl_url_get(url.get(), CURLUPART_HOST, &host, 0);
  curl_url_get(url.get(), CURLUPART_PORT, &port, CURLU_DEFAULT_PORT);
  s.host = host != nullptr ? host : "";
  std::string portText = port != nullptr ? port : "";
  curl_free(host);
  curl_free(port);
  if (s.options.resolve) {
    std::optional<std::string> address = s.options.resolve(s.host);
    if (!address) {
      s.unresolvable = true;
    } else {
      std::string entry = s.host + ":" + portText + ":" + *address;
      s.resolve.reset(curl_slist_append(nullptr, entry.c_str()));
      curl_easy_setopt(s.easy.get(), CURLOPT_RESOLVE, s.resolve.get());
    }
  }
  return true;
}

bool HttpRequest::OpenRequest(const std::string& verb, const std::string& objectName,
                              const std::string& version, const std::string& referrer) {
  State& s = *m_state;
  CURL* easy = s.easy.get();
  std::string url = std::string(s.https ? "https://" : "http://") + s.server + "/" +
                    EncodeRequestPath(objectName);
  std::unique_ptr<CURLU, UrlDeleter> parsed(curl_url());
  CURLUcode parse = parsed
                        ? curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), CURLU_PATH_AS_IS)
                        : CURLUE_OUT_OF_MEMORY;
  if (parse != CURLUE_OK) {
    m_errorText = curl_url_strerror(parse);
    return false;
  }
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L);
  curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, verb == "GET" ? nullptr : verb.c_str());
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION,
                   version == "HTTP/1.0" ? CURL_HTTP_VERSION_1_0 : CURL_HTTP_VERSION_1_1);
  curl_easy_setopt(easy, CURLOPT_REFERER, referrer.c_str());
  // libcurl adds "Accept: */*" of its own; the request carries no accept list.
  s.headers.reset(curl_slist_append(nullptr, "Accept:"));
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, s.headers.get());
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  // The size header is read as text and may be anything; the layer checks the length itself.
  curl_easy_setopt(easy, CURLOPT_IGNORE_CONTENT_LENGTH, 1L);
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, s.options.connectTimeoutMs);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME,
                   std::max(1L, (s.options.stallTimeoutMs + 999) / 1000));
  if (!s.options.caFile.empty())
    curl_easy_setopt(easy, CURLOPT_CAINFO, s.options.caFile.c_str());
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, s.errorBuffer);
  // A proxy's answer to CONNECT is not the server's: its status and size header stay unseen.
  curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
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
  CURLMcode code = curl_multi_add_handle(s.multi.get(), s.easy.get());
  if (code != CURLM_OK) {
    m_errorText = curl_multi_strerror(code);
    return SendResult::Failed;
  }
  s.attached = true;
  while (!s.headersComplete) {
    if (stop.load() != 0)
      return SendResult::Stopped;
    if (!s.Pump(m_errorText))
      return SendResult::Failed;
    if (s.done) {
      // An answer that began and then broke off is the body's problem, not the send's.
      if (s.result != CURLE_OK)
        m_errorText = s.ResultText();
      return s.result == CURLE_OK || s.sawAnswer ? SendResult::Sent : SendResult::Failed;
    }
  }
  return SendResult::Sent;
}

bool HttpRequest::SizeHeader(std::string& text) const {
  if (!m_state->contentLength || m_state->contentLength->size() > 254)
    return false;
  text = *m_state->contentLength;
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
