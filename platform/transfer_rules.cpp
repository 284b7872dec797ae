#include "platform/transfer_rules.h"

#include <cstring>

#include "platform/ascii.h"

// curl would follow every 3xx answer that names a location.
bool IsRedirect(long status) {
  return status >= 300 && status < 400;
}

// The redirects a crawl follows; another 3xx is the answer, as a browser takes it.
bool IsFollowedRedirect(long status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// The address a Location value leads to from the address that answered with it.
std::optional<std::string> RedirectTarget(const char* from, const std::string& location) {
  CURLU* url = curl_url();
  if (url == nullptr)
    return std::nullopt;
  std::optional<std::string> target;
  constexpr unsigned kFlags = CURLU_NON_SUPPORT_SCHEME | CURLU_ALLOW_SPACE;
  if (curl_url_set(url, CURLUPART_URL, from, kFlags) == CURLUE_OK &&
      curl_url_set(url, CURLUPART_URL, location.c_str(), kFlags) == CURLUE_OK) {
    char* text = nullptr;
    // Where a login is written into it, the address is named without: the login is the
    // server's own to ask for.
    curl_url_set(url, CURLUPART_USER, nullptr, 0);
    curl_url_set(url, CURLUPART_PASSWORD, nullptr, 0);
    if (curl_url_get(url, CURLUPART_URL, &text, 0) == CURLUE_OK && text != nullptr)
      target = text;
    curl_free(text);
  }
  curl_url_cleanup(url);
  return target;
}

// "host:port:address" for the resolver seam, and the host it names; false when the server
// part cannot be read at all.
bool ResolveEntry(const NetworkSettings& options, bool https, const std::string& server,
                  std::string& host, std::optional<std::string>& entry, std::string& errorText) {
  CURLU* url = curl_url();
  std::string text = std::string(https ? "https://" : "http://") + server + "/";
  CURLUcode code =
      url != nullptr ? curl_url_set(url, CURLUPART_URL, text.c_str(), 0) : CURLUE_OUT_OF_MEMORY;
  if (code != CURLUE_OK) {
    curl_url_cleanup(url);
    errorText = curl_url_strerror(code);
    return false;
  }
  char* hostPart = nullptr;
  char* port = nullptr;
  curl_url_get(url, CURLUPART_HOST, &hostPart, 0);
  curl_url_get(url, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT);
  host = hostPart != nullptr ? hostPart : "";
  const std::string portText = port != nullptr ? port : "";
  curl_free(hostPart);
  curl_free(port);
  curl_url_cleanup(url);
  entry.reset();
  if (options.resolve) {
    if (std::optional<std::string> address = options.resolve(host))
      entry = host + ":" + portText + ":" + *address;
  }
  return true;
}

// A file that is itself compressed: kept as it came even when its answer names its coding.
bool CompressedFile(const std::string& url, const std::string& type) {
  std::string_view path = url;
  path = path.substr(0, path.find_first_of("?#"));
  for (const char* ending : {".gz", ".tgz", ".svgz", ".br", ".zst"}) {
    if (path.size() >= std::strlen(ending) &&
        EqualsNoCase(path.substr(path.size() - std::strlen(ending)), ending))
      return true;
  }
  const std::string_view mime = TrimSpace(std::string_view(type).substr(0, type.find(';')));
  for (const char* archive :
       {"application/gzip", "application/x-gzip", "application/zstd", "application/x-brotli"}) {
    if (EqualsNoCase(mime, archive))
      return true;
  }
  return false;
}

// Failures before any byte was exchanged with the server: every request to it would meet them.
bool Unreachable(CURLcode code) {
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:  // the connect timeout: no other is set
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
      return true;
    default:
      return false;
  }
}

std::string EncodeRequestPath(const std::string& objectName) {
  std::string encoded;
  encoded.reserve(objectName.size());
  for (unsigned char c : objectName) {
    if (c <= 0x20 || c >= 0x7F) {
      AppendPercentEscaped(encoded, c);
    } else {
      encoded += static_cast<char>(c);
    }
  }
  return encoded;
}

std::string StallText(long stallTimeoutMs) {
  char text[80];
  std::snprintf(text, sizeof text, "no data received for %g seconds",
                static_cast<double>(stallTimeoutMs) / 1000.0);
  return text;
}

void NoteUnreachable(TransferResult& result, CURLcode code) {
  result.unreachable = Unreachable(code);
  result.refused = result.unreachable && code == CURLE_COULDNT_CONNECT;
  result.certificate = result.unreachable && code == CURLE_PEER_FAILED_VERIFICATION;
  result.nameUnknown = result.unreachable &&
                       (code == CURLE_COULDNT_RESOLVE_HOST || code == CURLE_COULDNT_RESOLVE_PROXY);
}
