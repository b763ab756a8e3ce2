// endpoint_server.h: serves one device endpoint (a Unix socket of a device
// folder, or a TCP port) on a thread of its own: the versioned opening with
// one host at a time (and probes that are never granted), and the transfers
// of that host (CONTROL, READ, WRITE, CANCEL) with their DONE messages,
// timed replies and late completions. What the frames mean is the
// DeviceModel's business.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "emu/device_model.h"
#include "emu/net.h"

namespace norvex::emu {

class EndpointServer {
 public:
  explicit EndpointServer(DeviceModel& model) : m_model(model) {}
  // Stops.
  ~EndpointServer();
  EndpointServer(const EndpointServer&) = delete;
  EndpointServer& operator=(const EndpointServer&) = delete;

  // Serves the Unix socket `path` in `folder` (net::ListenLocal). False,
  // with the reason in `error`, when it cannot; a server that failed to
  // start may be started again.
  bool StartLocal(const std::string& folder, const std::string& path, std::string& error);
  // Serves TCP at `host`:`port` (port 0: the system picks one, and `port`
  // says which).
  bool StartTcp(const std::string& host, uint16_t& port, std::string& error);
  // Unplugs: removes the socket file (or stops listening), then closes every
  // connection and ends the serving thread. Nothing when not started.
  void Stop();
  // Closes the host's connection, if any, and goes on serving.
  void DropHost();

 private:
  struct Session;
  struct Opening;
  class Loop;
  bool Start(net::Socket listener, std::string& error);
  void Run();

  DeviceModel& m_model;
  std::string m_path;      // a Unix socket's path, else empty
  std::string m_identity;  // the socket file's, to remove only our own
  net::Socket m_listener;
  net::WakeSet m_wake;
  std::atomic<bool> m_stop{false};
  std::atomic<bool> m_dropHost{false};
  std::thread m_thread;
};

}  // namespace norvex::emu
