#include "platform/http_transfers.h"

#include "platform/curl_common.h"

#include <algorithm>

using namespace curl_common;

struct HttpTransfers::Shared {
  HttpClientOptions options;
  std::unique_ptr<CURLM, MultiDeleter> multi;
  std::unique_ptr<curl_slist, ListDeleter> headers;
};

struct HttpTransfers::Slot {
  int index = 0;
  HttpTransfers* owner = nullptr;
  std::unique_ptr<CURL, EasyDeleter> easy;
  std::unique_ptr<curl_slist, ListDeleter> resolve;
  char errorBuffer[CURL_ERROR_SIZE] = "";
  std::string referrer;
  bool attached = false;
  bool headersReported = false;
  bool refused = false;
  int64_t received = 0;
  AnswerHeaders answer;
  // Under a rate limit: no bytes are taken before this time; curl holds them meanwhile.
  std::optional<std::chrono::steady_clock::time_point> pausedUntil;
  bool paused = false;

  void Reset() {
    attached = false;
    headersReported = false;
    refused = false;
    received = 0;
    answer = AnswerHeaders();
    pausedUntil.reset();
    paused = false;
    errorBuffer[0] = '\0';
  }

  void ReportHeaders() {
    if (headersReported)
      return;
    headersReported = true;
    long status = 0;
    curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &status);
    char* type = nullptr;
    curl_easy_getinfo(easy.get(), CURLINFO_CONTENT_TYPE, &type);
    owner->m_receiver.OnHeaders(index, static_cast<int>(status), answer.contentLength,
                                type != nullptr ? type : "");
  }

  static size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    auto* self = static_cast<Slot*>(user);
    self->answer.OnLine(std::string_view(data, size * count), self->easy.get());
    if (self->answer.complete && !self->answer.done)
      self->ReportHeaders();
    return size * count;
  }

  static size_t OnBody(char* data, size_t size, size_t count, void* user) {
    auto* self = static_cast<Slot*>(user);
    const long long rate = self->owner->m_shared->options.maxBytesPerSecond;
    if (self->pausedUntil && std::chrono::steady_clock::now() < *self->pausedUntil) {
      self->paused = true;
      return CURL_WRITEFUNC_PAUSE;  // given again once the slot is let go on
    }
    self->answer.complete = true;
    self->answer.lastData = std::chrono::steady_clock::now();
    self->ReportHeaders();
    size_t n = size * count;
    // Bytes past the announced length are not the file's.
    if (self->answer.expected)
      n = static_cast<size_t>(std::min<int64_t>(n, *self->answer.expected - self->received));
    self->received += static_cast<int64_t>(n);
    if (n > 0 && !self->owner->m_receiver.OnBody(self->index, data, n)) {
      self->refused = true;
      return 0;
    }
    if (rate > 0)
      self->pausedUntil = TakeBytes(size * count, rate);
    return size * count;
  }

  std::string ResultText(CURLcode result) const {
    if (!answer.resultText.empty())
      return answer.resultText;
    if (errorBuffer[0] != '\0')
      return std::string(Trim(errorBuffer));
    return curl_easy_strerror(result);
  }
};

HttpTransfers::HttpTransfers(int slots, Receiver& receiver)
    : m_shared(std::make_unique<Shared>()), m_receiver(receiver) {
  GlobalInit();
  m_shared->options = CurrentOptions();
  m_shared->multi.reset(curl_multi_init());
  // libcurl adds "Accept: */*" of its own; the request carries no accept list.
  m_shared->headers.reset(curl_slist_append(nullptr, "Accept:"));
  if (m_shared->multi) {
    // One connection per transfer at most, kept open between files of one server.
    curl_multi_setopt(m_shared->multi.get(), CURLMOPT_MAX_HOST_CONNECTIONS, long{slots});
    curl_multi_setopt(m_shared->multi.get(), CURLMOPT_MAXCONNECTS, long{slots});
  }
  for (int i = 0; i < slots; ++i) {
    auto slot = std::make_unique<Slot>();
    slot->index = i;
    slot->owner = this;
    m_slots.push_back(std::move(slot));
  }
}

HttpTransfers::~HttpTransfers() {
  for (int i = 0; i < static_cast<int>(m_slots.size()); ++i)
    Abort(i);
}

bool HttpTransfers::Start(int slot, bool https, const std::string& server,
                          const std::string& objectName, const std::string& referrer,
                          std::string& errorText) {
  Slot& s = *m_slots[static_cast<size_t>(slot)];
  const HttpClientOptions& options = m_shared->options;
  s.Reset();
  if (!m_shared->multi) {
    errorText = curl_easy_strerror(CURLE_FAILED_INIT);
    return false;
  }
  if (!s.easy) {
    s.easy.reset(curl_easy_init());
    if (!s.easy) {
      errorText = curl_easy_strerror(CURLE_FAILED_INIT);
      return false;
    }
  }
  CURL* easy = s.easy.get();
  std::string host;
  std::optional<std::string> entry;
  if (!ResolveEntry(options, https, server, host, entry, errorText))
    return false;
  if (options.resolve && !entry) {
    errorText = "Could not resolve host: " + host;
    return false;
  }
  s.resolve.reset(entry ? curl_slist_append(nullptr, entry->c_str()) : nullptr);
  curl_easy_setopt(easy, CURLOPT_RESOLVE, s.resolve.get());
  const std::string url = RequestUrl(https, server, objectName);
  s.referrer = referrer;
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_USERAGENT, "Kelvane");
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
  SetCommonOptions(easy, options, s.referrer, m_shared->headers.get());
  // A connection that stays open for the next file needs the answer's own framing.
  curl_easy_setopt(easy, CURLOPT_IGNORE_CONTENT_LENGTH, 0L);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, s.errorBuffer);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Slot::OnHeader);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, &s);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Slot::OnBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &s);
  CURLMcode code = curl_multi_add_handle(m_shared->multi.get(), easy);
  if (code != CURLM_OK) {
    errorText = curl_multi_strerror(code);
    return false;
  }
  s.attached = true;
  return true;
}

bool HttpTransfers::MayStart(const std::string& server) {
  const long waitMs = m_shared->options.waitMs;
  return waitMs <= 0 || ClaimStart(server, waitMs).count() == 0;
}

void HttpTransfers::Abort(int slot) {
  Slot& s = *m_slots[static_cast<size_t>(slot)];
  if (s.attached)
    curl_multi_remove_handle(m_shared->multi.get(), s.easy.get());
  s.attached = false;
}

bool HttpTransfers::Busy(int slot) const {
  return m_slots[static_cast<size_t>(slot)]->attached;
}

int HttpTransfers::Active() const {
  int active = 0;
  for (const auto& slot : m_slots)
    active += slot->attached ? 1 : 0;
  return active;
}

bool HttpTransfers::Pump(int waitMs, std::string& errorText) {
  CURLM* multi = m_shared->multi.get();
  for (const auto& slot : m_slots) {
    if (slot->attached && slot->paused && std::chrono::steady_clock::now() >= *slot->pausedUntil) {
      slot->paused = false;
      curl_easy_pause(slot->easy.get(), CURLPAUSE_CONT);
    }
  }
  int running = 0;
  CURLMcode code = curl_multi_perform(multi, &running);
  if (code != CURLM_OK) {
    errorText = curl_multi_strerror(code);
    return false;
  }
  // Ends are collected first and reported after, so that a receiver may start the next
  // transfer of a slot from within its report.
  std::vector<std::pair<Slot*, CURLcode>> ended;
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
    if (message->msg != CURLMSG_DONE)
      continue;
    for (const auto& slot : m_slots) {
      if (slot->attached && slot->easy.get() == message->easy_handle)
        ended.emplace_back(slot.get(), message->data.result);
    }
  }
  const auto now = std::chrono::steady_clock::now();
  const auto stall = std::chrono::milliseconds(m_shared->options.stallTimeoutMs);
  for (const auto& slot : m_slots) {
    bool already = false;
    for (const auto& end : ended)
      already = already || end.first == slot.get();
    if (slot->attached && !already && slot->answer.lastData &&
        now - *slot->answer.lastData > stall) {
      slot->answer.resultText = StallText(m_shared->options.stallTimeoutMs);
      ended.emplace_back(slot.get(), CURLE_OPERATION_TIMEDOUT);
    }
  }
  for (auto [slot, result] : ended) {
    curl_multi_remove_handle(multi, slot->easy.get());
    slot->attached = false;
    if (result == CURLE_OK && slot->answer.expected && slot->received < *slot->answer.expected) {
      result = CURLE_PARTIAL_FILE;
      slot->answer.resultText = "transfer closed with " +
                                std::to_string(*slot->answer.expected - slot->received) +
                                " bytes remaining to read";
    }
    if (slot->answer.result != CURLE_OK)
      result = slot->answer.result;  // too many redirects
    End end = End::Complete;
    std::string text;
    if (slot->refused) {
      end = End::Refused;
    } else if (result != CURLE_OK) {
      end = slot->answer.sawAnswer ? End::Broken : End::Failed;
      text = slot->ResultText(result);
    }
    if (end != End::Failed && end != End::Refused)
      slot->ReportHeaders();
    m_receiver.OnEnd(slot->index, end, text);
  }
  if (!ended.empty())
    return true;
  // A paused slot's socket is not watched: wake for its time.
  for (const auto& slot : m_slots) {
    if (slot->attached && slot->paused) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          *slot->pausedUntil - std::chrono::steady_clock::now());
      waitMs = static_cast<int>(std::clamp<long long>(left.count() + 1, 0, waitMs));
    }
  }
  code = curl_multi_poll(multi, nullptr, 0, waitMs, nullptr);
  if (code != CURLM_OK) {
    errorText = curl_multi_strerror(code);
    return false;
  }
  return true;
}
