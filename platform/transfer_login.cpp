// How a transfer's login goes: forgotten between requests, remembered once a server takes it.
#include "platform/transfer.h"

namespace {

// "scheme://server/" of an address.
std::string_view ServerPart(std::string_view url) {
  const size_t path = url.find('/', url.find("://") + 3);
  return url.substr(0, path == std::string_view::npos ? url.size() : path + 1);
}

}  // namespace

void Transfer::ForgetLogin() {
  const NetworkSettings& options = m_transport.Options();
  if (options.user.empty() && options.moreLogins.empty())
    return;
  if (m_transport.LoginRemembered(m_url) == LoginScheme::Digest && !m_digestServer.empty() &&
      ServerPart(m_url) == m_digestServer)
    return;
  // libcurl 7.88 loses the handle's cookie-file list on a reset; it is let go first.
  curl_easy_setopt(m_easy.get(), CURLOPT_COOKIEFILE, nullptr);
  curl_easy_reset(m_easy.get());
  m_cookieEngine = false;
  m_digestServer.clear();
}

void Transfer::LoginTaken(int status) {
  if (!m_challengeAnswered || status == 401 || status == 0)
    return;
  const std::string url = Info().url;  // the address whose server took it
  m_transport.RememberLogin(url, m_digestAsked ? LoginScheme::Digest : LoginScheme::Basic);
  if (m_digestAsked)
    m_digestServer = ServerPart(url);
}
