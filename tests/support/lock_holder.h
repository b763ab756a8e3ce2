// lock_holder.h: threads for tests of what happens around a lock: a lock
// held by a thread of its own until released, and a call run on a thread of
// its own whose result is taken once it ends. They wait for each other
// through a condition variable, never by sleeping.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

namespace norvex::test_support {

// Takes `lock` on a thread of its own; made once the thread holds it, and
// lets it go at Release() or when it goes.
template <typename Lockable>
class LockHolder {
 public:
  explicit LockHolder(Lockable& lock)
      : m_thread([this, &lock] {
          std::lock_guard<Lockable> hold(lock);
          std::unique_lock<std::mutex> state(m_mutex);
          m_holding = true;
          m_changed.notify_all();
          m_changed.wait(state, [this] { return m_release; });
        }) {
    std::unique_lock<std::mutex> state(m_mutex);
    m_changed.wait(state, [this] { return m_holding; });
  }
  ~LockHolder() { Release(); }
  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;

  // Lets the lock go and waits until the thread has.
  void Release() {
    {
      std::lock_guard<std::mutex> state(m_mutex);
      m_release = true;
    }
    m_changed.notify_all();
    if (m_thread.joinable()) m_thread.join();
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_holding = false;
  bool m_release = false;
  std::thread m_thread;  // last: it starts once the rest is made
};

// Runs `call` on a thread of its own; Result() waits for it to end.
template <typename T>
class Background {
 public:
  explicit Background(std::function<T()> call)
      : m_thread([this, call = std::move(call)] { m_result = call(); }) {}
  ~Background() {
    if (m_thread.joinable()) m_thread.join();
  }
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  T Result() {
    if (m_thread.joinable()) m_thread.join();
    return m_result;
  }

 private:
  T m_result{};
  std::thread m_thread;  // last: it starts once the rest is made
};

}  // namespace norvex::test_support
