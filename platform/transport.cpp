#include "platform/transport.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <random>

#include "platform/ascii.h"
#include "platform/netrc.h"

void InitCurl() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

namespace {

std::minstd_rand& RandomBits() {
  static std::minstd_rand bits(std::random_device{}());
  return bits;
}

// What the login given leaves out, ~/.netrc gives for the server's host: the password for the
// user given, or the user and password both. (libcurl's own lookup is skipped once a user is
// set, and would give an empty password.)
void FillFromNetrc(NetworkSettings& options) {
  if (options.authServer.empty() || (!options.user.empty() && !options.password.empty()))
    return;
  std::string host = options.authServer.substr(options.authServer.find("://") + 3);
  const size_t colon = host.rfind(':');
  if (colon != std::string::npos && host.find(']', colon) == std::string::npos)
    host.resize(colon);
  if (host.starts_with('[') && host.ends_with(']'))
    host = host.substr(1, host.size() - 2);
  const std::optional<NetrcLogin> entry = NetrcEntry(ReadUserNetrc(), host, options.user);
  if (!entry)
    return;
  if (options.user.empty())
    options.user = entry->login;
  if (options.password.empty())
    options.password = entry->password;
}

}  // namespace

Transport::Transport(NetworkSettings options)
    : m_options(std::move(options)),
      m_politeness(m_options.waitMs, m_options.maxBytesPerSecond, m_options.randomWait) {
  InitCurl();
  if (m_options.netrc)
    FillFromNetrc(m_options);
  m_share.reset(curl_share_init());
  if (!m_share)
    return;
  // TLS sessions stay with each transfer's own handle, which resumes them on its next
  // connection: libcurl 7.88 loses an entry of a shared session cache when a TLS set-up times out.
  curl_share_setopt(m_share.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  if (!Cookies())
    return;
  curl_share_setopt(m_share.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
  if (!m_options.loadCookies.empty()) {
    std::unique_ptr<CURL, EasyDeleter> loader(curl_easy_init());
    if (loader) {
      curl_easy_setopt(loader.get(), CURLOPT_SHARE, m_share.get());
      curl_easy_setopt(loader.get(), CURLOPT_COOKIEFILE, m_options.loadCookies.c_str());
      curl_easy_setopt(loader.get(), CURLOPT_COOKIELIST, "RELOAD");
    }
  }
}

Transport::~Transport() {
  if (!m_cookiesSaved)
    SaveCookies();
}

bool Transport::SaveCookies() {
  m_cookiesSaved = true;
  if (m_options.saveCookies.empty() || !m_share)
    return true;
  std::unique_ptr<CURL, EasyDeleter> saver(curl_easy_init());
  if (!saver)
    return false;
  curl_easy_setopt(saver.get(), CURLOPT_SHARE, m_share.get());
  // libcurl's own writing of a cookie jar says nothing when the file cannot be written: the
  // lines are taken from it and written here, where a failure is seen.
  curl_slist* cookies = nullptr;
  if (curl_easy_getinfo(saver.get(), CURLINFO_COOKIELIST, &cookies) != CURLE_OK)
    return false;
  std::string text = "# Netscape HTTP Cookie File\n";
  for (const curl_slist* line = cookies; line != nullptr; line = line->next)
    text += std::string(line->data) + "\n";
  curl_slist_free_all(cookies);
  FILE* file = std::fopen(m_options.saveCookies.c_str(), "w");
  if (file == nullptr)
    return false;
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  return std::fclose(file) == 0 && written;
}

std::string ServerKey(std::string_view server) {
  static constexpr std::string_view kPorts[] = {":80", ":443"};
  for (std::string_view port : kPorts) {
    if (server.ends_with(port))
      return std::string(server.substr(0, server.size() - port.size()));
  }
  return std::string(server);
}

SteadyClock::time_point Politeness::Due(const std::string& server, long& waitMs) const {
  waitMs = m_waitMs;
  if (auto drawn = m_drawnWaitMs.find(server); drawn != m_drawnWaitMs.end())
    waitMs = drawn->second;
  if (auto own = m_serverWaitMs.find(server); own != m_serverWaitMs.end())
    waitMs = std::max(waitMs, own->second);
  SteadyClock::time_point due{};
  if (auto last = m_lastStart.find(server); last != m_lastStart.end() && waitMs > 0)
    due = last->second + std::chrono::milliseconds(waitMs);
  if (auto held = m_heldOff.find(server); held != m_heldOff.end())
    due = std::max(due, held->second);
  return due;
}

std::chrono::milliseconds Politeness::ClaimStart(const std::string& name) {
  const std::string server = ServerKey(name);
  long waitMs = 0;
  const SteadyClock::time_point due = Due(server, waitMs);
  const SteadyClock::time_point now = SteadyClock::now();
  if (now < due)
    return std::max(std::chrono::ceil<std::chrono::milliseconds>(due - now),
                    std::chrono::milliseconds(1));
  if (waitMs > 0)
    CountStart(server, now);
  return std::chrono::milliseconds(0);
}

SteadyClock::time_point Politeness::ReserveStart(const std::string& name) {
  const std::string server = ServerKey(name);
  long waitMs = 0;
  const SteadyClock::time_point turn = std::max(SteadyClock::now(), Due(server, waitMs));
  if (waitMs > 0)
    CountStart(server, turn);
  return turn;
}

void Politeness::CountStart(const std::string& server, SteadyClock::time_point when) {
  m_lastStart[server] = when;
  if (m_randomWait && m_waitMs > 0)
    m_drawnWaitMs[server] =
        std::uniform_int_distribution<long>(m_waitMs / 2, m_waitMs * 3 / 2)(RandomBits());
}

void Politeness::Started(const std::string& name, SteadyClock::time_point when) {
  SteadyClock::time_point& last = m_lastStart[ServerKey(name)];
  last = std::max(last, when);
}

void Politeness::SetWait(const std::string& server, long waitMs) {
  m_serverWaitMs[ServerKey(server)] = waitMs;
}

void Politeness::HoldOff(const std::string& server, SteadyClock::time_point until) {
  SteadyClock::time_point& held = m_heldOff[ServerKey(server)];
  held = std::max(held, until);
}

SteadyClock::time_point Politeness::TakeBytes(size_t n) {
  m_next = std::max(m_next, SteadyClock::now()) +
           std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(
               static_cast<double>(n) / static_cast<double>(m_bytesPerSecond)));
  return m_next;
}

void Transport::RememberLogin(std::string_view url, LoginScheme scheme, const std::string& realm,
                              bool exact) {
  const size_t path = url.find('/', url.find("://") + 3);
  if (path == std::string_view::npos)
    return;
  std::string directory(url.substr(0, url.find_first_of("?#", path)));
  if (!exact)
    directory.resize(directory.rfind('/') + 1);
  const RememberedLogin known = LoginRemembered(directory);
  if (known.scheme == LoginScheme::None) {
    m_loginDirectories.push_back({std::move(directory), {scheme, realm}});
  } else if (!realm.empty() && known.realm != realm) {
    // The realm the server named there is known now: it comes before what held the directory.
    m_loginDirectories.insert(m_loginDirectories.begin(), {std::move(directory), {scheme, realm}});
  }
}

void Transport::AddLogin(const NetworkSettings::ServerLogin& login) {
  if (login.realm.empty() && EqualsNoCase(login.server, m_options.authServer)) {
    m_options.user = login.user;
    m_options.password = login.password;
  }
  m_options.moreLogins.insert(m_options.moreLogins.begin(), login);
}

RememberedLogin Transport::LoginRemembered(std::string_view url) const {
  for (const auto& [directory, login] : m_loginDirectories) {
    if (url.starts_with(directory))
      return login;
  }
  return {};
}

void Transport::ForgetLogin(const std::string& server, const std::string& realm) {
  std::erase_if(m_options.moreLogins, [&](const NetworkSettings::ServerLogin& login) {
    return login.realm == realm && EqualsNoCase(login.server, server);
  });
  std::erase_if(m_loginDirectories, [&](const auto& remembered) {
    return remembered.second.realm == realm && StartsWithNoCase(remembered.first, server + "/");
  });
}
