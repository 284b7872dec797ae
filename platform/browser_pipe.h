#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>
#include "platform/watched_fd.h"

// A headless Chromium driven over its DevTools pipe: commands written to its fd 3, answers and
// events read from its fd 4, each a JSON text ended by a NUL. No port is opened, so nothing but
// this process can drive it. The browser runs in a process group of its own, ended with it.
class BrowserPipe {
 public:
  using Json = nlohmann::json;
  using Reply = std::function<void(const Json& message)>;
  using Event = std::function<void(const std::string& method, const Json& params,
                                   const std::string& session)>;

  BrowserPipe() = default;
  ~BrowserPipe();
  BrowserPipe(const BrowserPipe&) = delete;
  BrowserPipe& operator=(const BrowserPipe&) = delete;

  // The browser's own program, where the machine has one; nothing otherwise.
  static std::optional<std::string> Program();
  // Starts the browser with a profile of its own in profileDirectory; false, with why, when it
  // cannot be started.
  bool Start(const std::string& program, const std::string& profileDirectory, std::string& why);
  void OnEvent(Event event) { m_onEvent = std::move(event); }
  // Sends a command, to a tab's session where one is given; its reply goes to reply.
  void Send(const std::string& method, Json params, const std::string& session = {},
            Reply reply = {});
  // Reads what came within waitMs and hands it on; false once the browser is gone.
  bool Pump(int waitMs);
  bool Running() const { return m_in >= 0; }
  // What a wait elsewhere watches so as to pump again as soon as there is work: the browser's
  // messages, and room for what is still to be written to it.
  std::vector<WatchedFd> Watched() const {
    return {{m_in, false}, {m_toSend.empty() ? -1 : m_out, true}};
  }
  // Ends the browser and every process it started.
  void Stop();

 private:
  void Flush();
  void Dispatch(std::string_view text);

  pid_t m_pid = -1;
  int m_out = -1;  // commands, to the browser's fd 3
  int m_in = -1;   // answers and events, from its fd 4
  std::string m_toSend;
  std::string m_received;
  int m_nextId = 1;
  std::map<int, Reply> m_replies;
  Event m_onEvent;
};

// Bytes as base64, as the protocol carries a body.
std::string Base64(std::string_view bytes);
std::optional<std::string> FromBase64(std::string_view text);
