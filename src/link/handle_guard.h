// handle_guard.h: HandleGuard, the lock that keeps the device handle in place
// while exchanges and bulk writes use it: any number of shared holders (the
// pins), or one exclusive holder (open and close) that waits for the pins to
// go. Made of a mutex and a condition variable, so that the exclusive wait
// can be bounded (std::shared_mutex has no timed lock, and the timed waits
// of std::shared_timed_mutex are not followed by every sanitizer runtime).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace norvex {

class HandleGuard {
 public:
  void lock_shared() {
    std::unique_lock<std::mutex> hold(m_mutex);
    m_changed.wait(hold, [this] { return !m_exclusive; });
    ++m_shared;
  }
  void unlock_shared() {
    {
      std::lock_guard<std::mutex> hold(m_mutex);
      --m_shared;
    }
    m_changed.notify_all();
  }

  void lock() {
    std::unique_lock<std::mutex> hold(m_mutex);
    m_changed.wait(hold, [this] { return !m_exclusive && m_shared == 0; });
    m_exclusive = true;
  }
  // Waits at most `wait` for every holder to go; true when it was taken.
  bool try_lock_for(std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> hold(m_mutex);
    if (!m_changed.wait_for(hold, wait, [this] { return !m_exclusive && m_shared == 0; })) return false;
    m_exclusive = true;
    return true;
  }
  bool try_lock() { return try_lock_for(std::chrono::milliseconds(0)); }
  void unlock() {
    {
      std::lock_guard<std::mutex> hold(m_mutex);
      m_exclusive = false;
    }
    m_changed.notify_all();
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  size_t m_shared = 0;
  bool m_exclusive = false;
};

}  // namespace norvex
