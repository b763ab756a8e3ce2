// control_server.h: a norvex-emu's control port (--control HOST:PORT): a
// TCP listener of the loopback interface whose clients make platesetters of
// their own and control them (and the daemon's own) with the requests of
// control_messages.h, framed as control_channel.h says
// (docs/emulator-control.md). A thread accepts, and one serves each
// connection; a platesetter made by a connection goes when it ends.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "emu/control_messages.h"
#include "emu/local_platesetter.h"
#include "emu/net.h"

namespace norvex::emu {

class ControlServer {
 public:
  // At most this many connections at once; another is closed at once.
  static constexpr size_t kMaxConnections = 32;

  ControlServer() = default;
  // Stops.
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  // A platesetter of the daemon's own: clients find it by its name (kFind)
  // and control it; it stays when they go.
  void Keep(std::shared_ptr<LocalPlatesetter> platesetter);
  // Serves the control port at `listen` ("HOST:PORT"; port 0: the system
  // picks one); `address` says where: "tcp:HOST:PORT". A host that is not a
  // loopback address is refused: whoever reaches the port has the machines.
  // False, with the reason in `error`, when it cannot serve.
  bool Start(const std::string& listen, std::string& address, std::string& error);
  // Stops listening, ends every connection (a wait in progress within
  // 100 ms) with the platesetters they made, and joins the threads.
  void Stop();

 private:
  struct Entry {
    std::shared_ptr<LocalPlatesetter> platesetter;
    uint64_t owner = 0;  // the connection that made it; 0: the daemon's own
  };
  struct Connection {
    uint64_t number = 0;
    net::Socket socket;
    net::WakeSet wake;
    std::thread thread;
    std::atomic<bool> done{false};
  };

  void Accepting();
  void Serve(Connection& connection);
  bool Opening(Connection& connection);
  // The answer to one request of `connection`; empty when the connection is
  // to end instead.
  std::vector<uint8_t> Handle(Connection& connection, control::Op op, uint32_t id, control::Reader& args);
  // The answer to an operation on the platesetter's presence; empty for another.
  static std::vector<uint8_t> HandlePresence(control::Op op, LocalPlatesetter& platesetter);
  // A wait of `connection` (kWaitForFrames, kWaitForHost) in slices, so that
  // a stop or the client's going ends it; false when it ended so (the
  // connection ends without an answer).
  bool Wait(Connection& connection, control::Op op, const MachineControls& machine, control::Reader& args,
            control::Writer& out);
  std::shared_ptr<LocalPlatesetter> Find(uint32_t id);
  // Unplugs and forgets the platesetters that `owner` made.
  void Release(uint64_t owner);
  void ReapLocked();

  std::mutex m_mu;
  std::map<uint32_t, Entry> m_entries;  // under m_mu
  uint32_t m_nextId = 1;                // under m_mu
  std::list<Connection> m_connections;  // under m_mu
  uint64_t m_nextConnection = 1;        // under m_mu
  net::Socket m_listener;
  net::WakeSet m_wake;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

}  // namespace norvex::emu
