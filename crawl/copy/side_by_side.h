#pragma once

// Work shared among a few threads, and a watch that halts it on a stop or at a deadline.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

// Raises halt once stop is set or the deadline has passed, until it is destroyed.
class HaltWatch {
 public:
  HaltWatch(const std::atomic<int>& stop,
            std::optional<std::chrono::steady_clock::time_point> deadline, std::atomic<int>& halt);
  ~HaltWatch();
  HaltWatch(const HaltWatch&) = delete;
  HaltWatch& operator=(const HaltWatch&) = delete;

 private:
  std::mutex m_lock;
  std::condition_variable m_wake;
  bool m_over = false;
  std::jthread m_thread;  // last: it starts once the members it waits on are made
};

// Runs work on this thread (told so) and, given more than two processors, on helpers beside it,
// at most four in all.
void SideBySide(size_t items, const std::function<void(bool)>& work);
