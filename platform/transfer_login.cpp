#include "platform/transfer_login.h"

namespace {

// "scheme://server/" of an address.
std::string_view ServerPart(std::string_view url) {
  const size_t path = url.find('/', url.find("://") + 3);
  return url.substr(0, path == std::string_view::npos ? url.size() : path + 1);
}

}  // namespace

bool TransferLogin::Forgets(const Transport& transport, std::string_view url) {
  const NetworkSettings& options = transport.Options();
  if (options.user.empty() && options.moreLogins.empty())
    return false;
  if (transport.LoginRemembered(url).scheme == LoginScheme::Digest && !m_digestServer.empty() &&
      ServerPart(url) == m_digestServer)
    return false;
  m_digestServer.clear();
  return true;
}

void TransferLogin::Taken(Transport& transport, const std::string& url, int status, bool answered,
                          bool digest) {
  if (!answered || status == 401 || status == 0)
    return;
  transport.RememberLogin(url, digest ? LoginScheme::Digest : LoginScheme::Basic);
  if (digest)
    m_digestServer = ServerPart(url);
}
