#pragma once

#include <chrono>
#include <functional>
#include <thread>

// Waits for an event (a request seen, a line written, a file present) rather than for a time:
// looks again every few milliseconds until the condition holds or a minute has gone, however
// busy the machine. True when it held.
inline bool WaitUntil(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}
