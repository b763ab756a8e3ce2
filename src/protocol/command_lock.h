// command_lock.h: CommandLock, the lock that serialises commands, with a
// bounded wait for it. Made of a mutex and a condition variable rather than
// std::timed_mutex, whose timed wait some sanitizer runtimes cannot follow.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace norvex {

class CommandLock {
 public:
  // Waits at most `wait` for the lock; true when it was taken.
  bool try_lock_for(std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> hold(m_mutex);
    if (!m_released.wait_for(hold, wait, [this] { return !m_held; })) return false;
    m_held = true;
    return true;
  }
  bool try_lock() { return try_lock_for(std::chrono::milliseconds(0)); }
  void lock() {
    std::unique_lock<std::mutex> hold(m_mutex);
    m_released.wait(hold, [this] { return !m_held; });
    m_held = true;
  }
  void unlock() {
    {
      std::lock_guard<std::mutex> hold(m_mutex);
      m_held = false;
    }
    m_released.notify_one();
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_released;
  bool m_held = false;
};

}  // namespace norvex
