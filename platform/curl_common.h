#pragma once

// What the two HTTP layers over libcurl share: the one-file request of the described crawl and
// the transfers of several files at once. Not for use outside platform/.
#include <curl/curl.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "platform/http_client.h"

namespace curl_common {

constexpr long kMaxRedirects = 20;

void GlobalInit();
HttpClientOptions CurrentOptions();

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

bool StartsWithNoCase(std::string_view text, std::string_view prefix);
std::string_view Trim(std::string_view text);

// What the header lines of an answer say, followed redirects and a proxy's answers aside.
struct AnswerHeaders {
  bool complete = false;  // the final answer's headers are in
  bool sawAnswer = false;
  bool location = false;
  std::optional<std::string> contentLength;
  std::optional<int64_t> expected;  // the announced length, when it is a number
  bool done = false;                // nothing more will come: an empty body, or a failure
  CURLcode result = CURLE_OK;
  std::string resultText;  // a reason of our own, when curl saw none
  std::optional<std::chrono::steady_clock::time_point> lastData;

  void OnLine(std::string_view line, CURL* easy);
};

// The options of every request: no accept list, http and https only, redirects, timeouts,
// trust, and a proxy's answer to CONNECT kept out of the header lines.
void SetCommonOptions(CURL* easy, const HttpClientOptions& options, const std::string& referrer,
                      curl_slist* headers);

// The server name and port of "server" for the resolver seam: "host:port:address", or nothing
// when the seam cannot resolve the host. host is set either way.
bool ResolveEntry(const HttpClientOptions& options, bool https, const std::string& server,
                  std::string& host, std::optional<std::string>& entry, std::string& errorText);

// The request's address, with bytes that cannot stand in a path encoded.
std::string RequestUrl(bool https, const std::string& server, const std::string& objectName);

// Politeness between requests to one server: how long the next start must still wait. When it
// need not wait, the start is recorded and zero is returned.
std::chrono::milliseconds ClaimStart(const std::string& server, long waitMs);

// The crawl's receiving budget, shared by every transfer: n bytes taken now push back the time
// before which no more should be taken. Returns that time.
std::chrono::steady_clock::time_point TakeBytes(size_t n, long long bytesPerSecond);

// "no data received for N seconds"
std::string StallText(long stallTimeoutMs);

}  // namespace curl_common
