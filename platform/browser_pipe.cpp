#include "platform/browser_pipe.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string_view>
#include <thread>

namespace {

// What keeps the browser to the pages it is given: no network of its own (updates, sync, safe
// browsing, suggestions, its clock), no first-run pages, no sound, and no sandbox, which it
// refuses to run as root with.
std::vector<std::string> BrowserArguments(const std::string& program, const std::string& profile) {
  return {
      program,
      "--headless",
      "--no-sandbox",
      "--remote-debugging-pipe",
      "--user-data-dir=" + profile,
      "--disable-gpu",
      "--disable-dev-shm-usage",
      "--no-first-run",
      "--no-default-browser-check",
      "--disable-background-networking",
      "--disable-component-update",
      "--disable-sync",
      "--disable-default-apps",
      "--disable-extensions",
      "--disable-breakpad",
      "--disable-domain-reliability",
      "--disable-client-side-phishing-detection",
      "--metrics-recording-only",
      "--no-pings",
      "--mute-audio",
      "--hide-scrollbars",
      "--password-store=basic",
      "--deny-permission-prompts",
      // Only the last of these counts: every feature that calls out on its own, in one, and the
      // page cache that would give each next page of a window a process of its own.
      "--disable-features=BackForwardCache,Translate,OptimizationHints,MediaRouter,"
      "DialMediaRouteProvider,"
      "AutofillServerCommunication,CertificateTransparencyComponentUpdater,"
      "InterestFeedContentSuggestions,PrivacySandboxSettings4,ServiceWorkerAutoPreload,"
      "NetworkTimeServiceQuerying",
      // No name is ever looked up, nor any address reached: what the pages get, the crawl gives.
      "--host-resolver-rules=MAP * ~NOTFOUND",
      "about:blank",
  };
}

// This process's environment, but for the browser's scratch files, which go in its profile,
// removed with it, even when it is stopped at its start.
std::vector<std::string> EnvironmentWithin(const std::string& profile) {
  std::vector<std::string> environment = {"TMPDIR=" + profile};
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::string_view(*entry).substr(0, 7) != "TMPDIR=")
      environment.emplace_back(*entry);
  }
  return environment;
}

}  // namespace

BrowserPipe::~BrowserPipe() {
  Stop();
}

std::optional<std::string> BrowserPipe::Program() {
  // Debian's /usr/bin/chromium is a script that adds flags of its own; the program is beside it.
  for (const char* path : {"/usr/lib/chromium/chromium", "/usr/bin/chromium"}) {
    if (::access(path, X_OK) == 0)
      return std::string(path);
  }
  return std::nullopt;
}

bool BrowserPipe::Start(const std::string& program, const std::string& profileDirectory,
                        std::string& why) {
  int toBrowser[2];
  int fromBrowser[2];
  if (::pipe2(toBrowser, O_CLOEXEC) != 0 || ::pipe2(fromBrowser, O_CLOEXEC) != 0) {
    why = std::strerror(errno);
    return false;
  }
  const std::vector<std::string> arguments = BrowserArguments(program, profileDirectory);
  std::vector<char*> argv;
  for (const std::string& argument : arguments)
    argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> environment = EnvironmentWithin(profileDirectory);
  std::vector<char*> envp;
  for (std::string& entry : environment)
    envp.push_back(entry.data());
  envp.push_back(nullptr);
  m_pid = ::fork();
  if (m_pid == 0) {
    // Out of the way of 3 and 4 first: a pipe may have been given either.
    const int commands = ::fcntl(toBrowser[0], F_DUPFD, 10);
    const int answers = ::fcntl(fromBrowser[1], F_DUPFD, 10);
    ::dup2(commands, 3);
    ::dup2(answers, 4);
    // What it says of itself is no one's to read.
    const int nowhere = ::open("/dev/null", O_WRONLY);
    ::dup2(nowhere, 2);
    ::dup2(nowhere, 1);
    ::setpgid(0, 0);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(toBrowser[0]);
  ::close(fromBrowser[1]);
  if (m_pid < 0) {
    why = std::strerror(errno);
    ::close(toBrowser[1]);
    ::close(fromBrowser[0]);
    return false;
  }
  m_out = toBrowser[1];
  m_in = fromBrowser[0];
  ::fcntl(m_out, F_SETFL, O_NONBLOCK);
  ::fcntl(m_in, F_SETFL, O_NONBLOCK);
  return true;
}

void BrowserPipe::Send(const std::string& method, Json params, const std::string& session,
                       Reply reply) {
  const int id = m_nextId++;
  Json message = {{"id", id}, {"method", method}, {"params", std::move(params)}};
  if (!session.empty())
    message["sessionId"] = session;
  m_toSend += message.dump(-1, ' ', false, Json::error_handler_t::replace);
  m_toSend += '\0';
  if (reply)
    m_replies[id] = std::move(reply);
  Flush();
}

void BrowserPipe::Flush() {
  while (!m_toSend.empty() && m_out >= 0) {
    const ssize_t written = ::write(m_out, m_toSend.data(), m_toSend.size());
    if (written > 0) {
      m_toSend.erase(0, static_cast<size_t>(written));
    } else if (written < 0 && errno == EINTR) {
      continue;
    } else {
      return;  // full: the rest goes with the next pump
    }
  }
}

bool BrowserPipe::Pump(int waitMs) {
  if (m_in < 0)
    return false;
  pollfd polled[2] = {{m_in, POLLIN, 0},
                      {m_out, static_cast<short>(m_toSend.empty() ? 0 : POLLOUT), 0}};
  if (::poll(polled, 2, waitMs) <= 0)
    return true;
  if ((polled[1].revents & POLLOUT) != 0)
    Flush();
  if ((polled[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0)
    return true;
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(m_in, buffer, sizeof buffer);
    if (got > 0) {
      m_received.append(buffer, static_cast<size_t>(got));
      continue;
    }
    if (got < 0 && (errno == EAGAIN || errno == EINTR))
      break;
    ::close(m_in);  // the browser is gone
    m_in = -1;
    break;
  }
  size_t start = 0;
  for (size_t end; (end = m_received.find('\0', start)) != std::string::npos; start = end + 1)
    Dispatch(std::string_view(m_received).substr(start, end - start));
  m_received.erase(0, start);
  return m_in >= 0;
}

void BrowserPipe::Dispatch(std::string_view text) {
  Json message = Json::parse(text, nullptr, false);
  if (message.is_discarded() || !message.is_object())
    return;
  if (message.contains("id")) {
    auto reply = m_replies.find(message.value("id", 0));
    if (reply == m_replies.end())
      return;
    Reply handler = std::move(reply->second);
    m_replies.erase(reply);
    handler(message);
  } else if (m_onEvent && message.contains("method")) {
    m_onEvent(message.value("method", ""), message.value("params", Json::object()),
              message.value("sessionId", ""));
  }
}

void BrowserPipe::Stop() {
  if (m_out >= 0)
    ::close(m_out);
  if (m_in >= 0)
    ::close(m_in);
  m_out = m_in = -1;
  if (m_pid <= 0)
    return;
  // Closing its pipe ends the browser; one that does not go is made to.
  int status = 0;
  for (int tries = 0; tries < 40; ++tries) {
    if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
      ::kill(-m_pid, SIGKILL);
      m_pid = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  ::kill(-m_pid, SIGKILL);
  ::waitpid(m_pid, &status, 0);
  m_pid = -1;
}

std::string Base64(std::string_view bytes) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const unsigned v = static_cast<unsigned char>(bytes[i]) << 16 |
                       static_cast<unsigned char>(bytes[i + 1]) << 8 |
                       static_cast<unsigned char>(bytes[i + 2]);
    text += {kDigits[v >> 18], kDigits[(v >> 12) & 63], kDigits[(v >> 6) & 63], kDigits[v & 63]};
  }
  if (i < bytes.size()) {
    const bool two = i + 1 < bytes.size();
    const unsigned v = static_cast<unsigned char>(bytes[i]) << 16 |
                       (two ? static_cast<unsigned char>(bytes[i + 1]) << 8 : 0u);
    text += {kDigits[v >> 18], kDigits[(v >> 12) & 63], two ? kDigits[(v >> 6) & 63] : '=', '='};
  }
  return text;
}

std::optional<std::string> FromBase64(std::string_view text) {
  std::string bytes;
  unsigned value = 0;
  int bits = 0;
  for (const char c : text) {
    int digit = c >= 'A' && c <= 'Z'   ? c - 'A'
                : c >= 'a' && c <= 'z' ? c - 'a' + 26
                : c >= '0' && c <= '9' ? c - '0' + 52
                : c == '+'             ? 62
                : c == '/'             ? 63
                                       : -1;
    if (c == '=')
      break;
    if (digit < 0)
      return std::nullopt;
    value = (value << 6) | static_cast<unsigned>(digit);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      bytes += static_cast<char>((value >> bits) & 0xff);
    }
  }
  return bytes;
}
