// The options of a request's curl handle that hang on the request and the settings alone.
#include "platform/request_options.h"

#include "platform/ascii.h"
#include "platform/content_decoding.h"
#include "platform/transfer_rules.h"

bool RequestAddress(const NetworkSettings& options, const TransferRequest& request,
                    std::string& url, std::optional<std::string>& entry, TransferResult& failure) {
  std::string host;
  if (!ResolveEntry(options, request.https, request.server, host, entry, failure.text))
    return false;
  if (options.resolve && !entry) {
    failure.text = "Could not resolve host: " + host;
    failure.unreachable = true;
    return false;
  }
  url = std::string(request.https ? "https://" : "http://") + request.server + "/" +
        EncodeRequestPath(request.objectName);
  CURLU* parsed = curl_url();
  CURLUcode parse = parsed != nullptr
                        ? curl_url_set(parsed, CURLUPART_URL, url.c_str(), CURLU_PATH_AS_IS)
                        : CURLUE_OUT_OF_MEMORY;
  curl_url_cleanup(parsed);
  if (parse != CURLUE_OK)
    failure.text = curl_url_strerror(parse);
  return parse == CURLUE_OK;
}

std::unique_ptr<curl_slist, ListDeleter> RequestHeaderLines(const NetworkSettings& options,
                                                            const TransferRequest& request) {
  std::unique_ptr<curl_slist, ListDeleter> lines;
  const auto add = [&lines](const std::string& line) {
    lines.reset(curl_slist_append(lines.release(), line.c_str()));
  };
  // libcurl adds "Accept: */*" of its own; the request carries no accept list.
  add("Accept:");
  if (request.compressed)
    add(std::string("Accept-Encoding: ") + kAcceptedCodings);
  for (const std::string& header : options.headers)
    add(header);
  for (const std::string& header : request.headers)
    add(header);
  return lines;
}

void SetConnection(CURL* easy, const NetworkSettings& options, const TransferRequest& request) {
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION,
                   request.http10   ? CURL_HTTP_VERSION_1_0
                   : request.pooled ? CURL_HTTP_VERSION_2TLS
                                    : CURL_HTTP_VERSION_1_1);
  // Bodies come as they crossed the wire; compressed ones are decoded here.
  curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, nullptr);
  curl_easy_setopt(easy, CURLOPT_HTTP_CONTENT_DECODING, 0L);
  curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L);
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  // Read to the close, the size header is only text; otherwise a kept-open connection needs
  // the answer's own framing.
  curl_easy_setopt(easy, CURLOPT_IGNORE_CONTENT_LENGTH, request.readToClose ? 1L : 0L);
  curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, request.ownConnection ? 1L : 0L);
  curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, request.ownConnection ? 1L : 0L);
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, options.maxRedirects);
  // curl's connection time counts the name lookup: a lookup given a time of its own adds it.
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                   options.connectTimeoutMs + options.dnsTimeoutMs);
  if (!options.checkCertificates) {
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 0L);
  }
  if (!options.caFile.empty())
    curl_easy_setopt(easy, CURLOPT_CAINFO, options.caFile.c_str());
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  // A proxy's answer to CONNECT is not the server's: its status and size header stay unseen.
  curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
}

// Credentials go to the start address's server alone, never to another it links or sends to.
bool SetLogin(CURL* easy, const NetworkSettings& options, const TransferRequest& request,
              const RememberedLogin& remembered) {
  const std::string server = std::string(request.https ? "https://" : "http://") + request.server;
  // A login given for a realm goes only where that realm was met; one given for the server, to
  // any realm of it but those.
  const bool realm = !remembered.realm.empty();
  const bool authorised =
      !realm && !options.authServer.empty() && EqualsNoCase(server, options.authServer);
  const char* name = authorised && !options.user.empty() ? options.user.c_str() : nullptr;
  const char* password = name != nullptr ? options.password.c_str() : nullptr;
  for (const NetworkSettings::ServerLogin& login : options.moreLogins) {
    if (name == nullptr && EqualsNoCase(server, login.server) && login.realm == remembered.realm) {
      name = login.user.c_str();
      password = login.password.c_str();
    }
  }
  const bool user = name != nullptr;
  curl_easy_setopt(easy, CURLOPT_USERNAME, name);
  curl_easy_setopt(easy, CURLOPT_PASSWORD, password);
  curl_easy_setopt(easy, CURLOPT_NETRC, CURL_NETRC_IGNORED);
  // Credentials go only where the server asks for them, by the scheme it names; for a server
  // that never asks, Basic at once when told so.
  const bool atOnce = options.authNoChallenge || remembered.scheme == LoginScheme::Basic;
  curl_easy_setopt(easy, CURLOPT_HTTPAUTH,
                   atOnce                                     ? CURLAUTH_BASIC
                   : remembered.scheme == LoginScheme::Digest ? CURLAUTH_DIGEST
                                                              : CURLAUTH_BASIC | CURLAUTH_DIGEST);
  curl_easy_setopt(easy, CURLOPT_UNRESTRICTED_AUTH, 0L);
  return user && !atOnce;
}
