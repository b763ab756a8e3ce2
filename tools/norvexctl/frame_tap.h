// frame_tap.h: norvexctl -v and --trace: a relay between the library and the
// device that shows every message, each line with the milliseconds since the
// tool started, on standard error (-v) or in a file (--trace). It serves an
// endpoint of its own in a private device folder, which the library is
// pointed at, and forwards each connection to the real endpoint byte for
// byte, in both directions, as the device protocol (docs/device-protocol.md)
// frames them: the request frames of CONTROL and the reply frames of
// READ_DONE in hex, the other messages in one line each.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace norvexctl {

class FrameTap {
 public:
  FrameTap() = default;
  ~FrameTap();
  FrameTap(const FrameTap&) = delete;
  FrameTap& operator=(const FrameTap&) = delete;

  // Serves `folder`/`name` and relays to the endpoint `upstream`, showing
  // the messages in `out` (which stays the caller's), timed from `start`.
  // False, with `error` set, when the endpoint cannot be made.
  bool Start(const std::string& upstream, const std::string& folder, const std::string& name, std::FILE* out,
             std::chrono::steady_clock::time_point start, std::string& error);
  // Serves the endpoint again after it went with the device (an unplug is
  // passed on to the library as the removal of the tap's endpoint).
  bool Rebind(std::string& error);

 private:
  bool Bind(std::string& error);
  void Run();

  std::string m_upstream;
  std::string m_path;
  std::FILE* m_out = stderr;
  std::chrono::steady_clock::time_point m_start;
  std::atomic<int> m_listenFd{-1};
  int m_wakeRead = -1;
  int m_wakeWrite = -1;
  std::atomic<bool> m_stop{false};
  std::atomic<bool> m_unbound{false};  // the endpoint was removed after an unplug
  std::thread m_thread;
};

}  // namespace norvexctl
