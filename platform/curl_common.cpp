#include "platform/curl_common.h"

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>

namespace {

std::mutex g_optionsMutex;
HttpClientOptions g_options;

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

namespace curl_common {

HttpClientOptions CurrentOptions() {
  std::lock_guard lock(g_optionsMutex);
  return g_options;
}

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

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

void AnswerHeaders::OnLine(std::string_view line, CURL* easy) {
  lastData = std::chrono::steady_clock::now();
  if (line.starts_with("HTTP/")) {
    contentLength.reset();
    location = false;
  } else if (Trim(line).empty()) {
    long status = 0;
    long redirects = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(easy, CURLINFO_REDIRECT_COUNT, &redirects);
    sawAnswer = true;
    bool interim = status >= 100 && status < 200;
    bool redirect = IsFollowedRedirect(status) && location;
    if (redirect && redirects >= kMaxRedirects) {
      complete = true;
      done = true;
      result = CURLE_TOO_MANY_REDIRECTS;
      resultText = "Maximum (" + std::to_string(kMaxRedirects) + ") redirects followed";
    } else if (!interim && !redirect) {
      complete = true;
      expected = status == 204 || status == 304 ? std::nullopt : ParseLength(contentLength);
      if (expected == 0)
        done = true;
    }
  } else if (StartsWithNoCase(line, "content-length:")) {
    contentLength = std::string(Trim(line.substr(15)));
  } else if (StartsWithNoCase(line, "location:")) {
    location = true;
  }
}

void SetCommonOptions(CURL* easy, const HttpClientOptions& options, const std::string& referrer,
                      curl_slist* headers) {
  curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L);
  curl_easy_setopt(easy, CURLOPT_REFERER, referrer.c_str());
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  // The size header is read as text and may be anything; the layer checks the length itself.
  curl_easy_setopt(easy, CURLOPT_IGNORE_CONTENT_LENGTH, 1L);
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, options.connectTimeoutMs);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME,
                   std::max(1L, (options.stallTimeoutMs + 999) / 1000));
  if (!options.caFile.empty())
    curl_easy_setopt(easy, CURLOPT_CAINFO, options.caFile.c_str());
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  // A proxy's answer to CONNECT is not the server's: its status and size header stay unseen.
  curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
}

bool ResolveEntry(const HttpClientOptions& options, bool https, const std::string& server,
                  std::string& host, std::optional<std::string>& entry, std::string& errorText) {
  std::unique_ptr<CURLU, UrlDeleter> url(curl_url());
  std::string text = std::string(https ? "https://" : "http://") + server + "/";
  CURLUcode code =
      url ? curl_url_set(url.get(), CURLUPART_URL, text.c_str(), 0) : CURLUE_OUT_OF_MEMORY;
  if (code != CURLUE_OK) {
    errorText = curl_url_strerror(code);
    return false;
  }
  char* hostPart = nullptr;
  char* port = nullptr;
  curl_url_get(url.get(), CURLUPART_HOST, &hostPart, 0);
  curl_url_get(url.get(), CURLUPART_PORT, &port, CURLU_DEFAULT_PORT);
  host = hostPart != nullptr ? hostPart : "";
  std::string portText = port != nullptr ? port : "";
  curl_free(hostPart);
  curl_free(port);
  entry.reset();
  if (options.resolve) {
    if (std::optional<std::string> address = options.resolve(host))
      entry = host + ":" + portText + ":" + *address;
  }
  return true;
}

std::string RequestUrl(bool https, const std::string& server, const std::string& objectName) {
  return std::string(https ? "https://" : "http://") + server + "/" + EncodeRequestPath(objectName);
}

std::chrono::milliseconds ClaimStart(const std::string& server, long waitMs) {
  using Clock = std::chrono::steady_clock;
  static std::mutex mutex;
  static std::map<std::string, Clock::time_point> lastStart;
  std::lock_guard lock(mutex);
  const Clock::time_point now = Clock::now();
  auto found = lastStart.find(server);
  if (found != lastStart.end()) {
    auto due = found->second + std::chrono::milliseconds(waitMs);
    if (now < due)
      return std::chrono::ceil<std::chrono::milliseconds>(due - now);
  }
  lastStart[server] = now;
  return std::chrono::milliseconds(0);
}

std::chrono::steady_clock::time_point TakeBytes(size_t n, long long bytesPerSecond) {
  using Clock = std::chrono::steady_clock;
  static std::mutex mutex;
  static Clock::time_point next;
  std::lock_guard lock(mutex);
  next = std::max(next, Clock::now()) +
         std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
             static_cast<double>(n) / static_cast<double>(bytesPerSecond)));
  return next;
}

std::string StallText(long stallTimeoutMs) {
  char text[80];
  std::snprintf(text, sizeof text, "no data received for %g seconds",
                static_cast<double>(stallTimeoutMs) / 1000.0);
  return text;
}

}  // namespace curl_common
