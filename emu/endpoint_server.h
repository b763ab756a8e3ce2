// endpoint_server.h: serves one device endpoint, a Unix stream socket, on a
// thread of its own: the OPEN handshake with one host at a time, and the
// transfers of that host (CONTROL, READ, WRITE, CANCEL) with their DONE
// messages, timed replies and late completions. What the frames mean is the
// DeviceModel's business.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <string>
#include <thread>

#include "emu/device_model.h"
#include "platform/posix/posix_fd.h"

namespace norvex::emu {

class EndpointServer {
 public:
  explicit EndpointServer(DeviceModel& model) : m_model(model) {}
  // Stops.
  ~EndpointServer();
  EndpointServer(const EndpointServer&) = delete;
  EndpointServer& operator=(const EndpointServer&) = delete;

  // Creates `folder` when missing and the socket at `path` inside it, and
  // starts serving. False, with the reason in `error`, when it cannot; a
  // server that failed to start may be started again.
  bool Start(const std::string& folder, const std::string& path, std::string& error);
  // Removes the socket file, then closes every connection and ends the
  // serving thread. Nothing when not started.
  void Stop();
  // Closes the host's connection, if any, and goes on serving.
  void DropHost();

 private:
  struct Session;
  void Run();
  void Wake();

  DeviceModel& m_model;
  std::string m_path;
  dev_t m_socketDevice = 0;
  ino_t m_socketInode = 0;
  platform::UniqueFd m_listenFd;
  platform::UniqueFd m_wakeRead;
  platform::UniqueFd m_wakeWrite;
  std::atomic<bool> m_stop{false};
  std::atomic<bool> m_dropHost{false};
  std::thread m_thread;
};

}  // namespace norvex::emu
