// Work shared among a few threads, and a watch that halts it on a stop or at a deadline.
#include "crawl/copy/side_by_side.h"

#include <algorithm>
#include <vector>

HaltWatch::HaltWatch(const std::atomic<int>& stop,
                     std::optional<std::chrono::steady_clock::time_point> deadline,
                     std::atomic<int>& halt)
    : m_thread([&stop, deadline, &halt, this] {
        std::unique_lock lock(m_lock);
        while (!m_over && halt == 0) {
          if (stop != 0 || (deadline && std::chrono::steady_clock::now() >= *deadline))
            halt = 1;
          else
            m_wake.wait_for(lock, std::chrono::milliseconds(20));
        }
      }) {}

HaltWatch::~HaltWatch() {
  {
    std::lock_guard lock(m_lock);
    m_over = true;
  }
  m_wake.notify_all();
}

void SideBySide(size_t items, const std::function<void(bool)>& work) {
  // On two processors or fewer, a helper costs more in waiting for the store's lock than it
  // does beside this thread.
  const unsigned processors = std::thread::hardware_concurrency();
  const size_t threads = processors <= 2 ? 1 : std::min<size_t>({processors, 4, items});
  std::vector<std::jthread> helpers;
  for (size_t k = 1; k < threads; ++k)
    helpers.emplace_back(work, false);
  work(true);
}
