// standin_rack.h: the stand-in driver's emulated platesetters: made, plugged
// and unplugged, and controlled through the control device's requests
// (standin_protocol.h), with the waits that those requests may ask for and
// the clock that completes delayed transfers. Plain C++: the driver gives it
// a Bus that makes and removes the device objects and completes requests.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "standin_machine.h"
#include "standin_protocol.h"

namespace norvex::standin {

// What the rack needs from the driver: the cancel routines of the transfers
// that wait in its lists and its machines' (CancelGuard), and the following.
class Bus : public CancelGuard {
 public:
  // The set of present platesetters changed: the bus reports its children
  // anew (IoInvalidateDeviceRelations).
  virtual void PresenceChanged() = 0;
  // Completes transfers; called without the rack's lock.
  virtual void Complete(Completions& completions) = 0;
};

class Rack {
 public:
  explicit Rack(Bus& bus);
  ~Rack();
  Rack(const Rack&) = delete;
  Rack& operator=(const Rack&) = delete;

  // ---- Control device ------------------------------------------------------
  // Carries out one kIoctlOperation request of the control handle `owner`;
  // `answer` gets the answer (standin_protocol.h), to be cut to the room the
  // request has by the caller.
  void Operate(uintptr_t owner, const uint8_t* request, size_t size, std::vector<uint8_t>& answer);
  // Takes one kIoctlWait request: it is completed (with an answer of the
  // same form) when the awaited state holds or at its time-out.
  void Wait(uintptr_t owner, Transfer transfer, const uint8_t* request, size_t size);
  // The cancel routine of a wait: it is taken off the list (true when it was
  // still there); the driver completes it cancelled.
  bool CancelWait(Transfer transfer);
  // The control handle closed: its waits end and its platesetters go.
  void ReleaseOwner(uintptr_t owner);

  // ---- Bus ----------------------------------------------------------------
  struct Child {
    uint32_t id;
    std::string name;
  };
  // The platesetters that are plugged in.
  std::vector<Child> PresentChildren();
  std::shared_ptr<Machine> Find(uint32_t id);
  bool IsPresent(uint32_t id);
  // The device object of `id` enabled or disabled its interface.
  void InterfaceChanged(uint32_t id, bool enabled);

  // Completes what is due (the clock thread, and after every request).
  void Tick();
  // A transfer was queued that may come due later: the clock looks again.
  void Wake() { m_wake.notify_all(); }

 private:
  struct Entry {
    std::shared_ptr<Machine> machine;
    std::string name;
    uintptr_t owner = 0;  // 0: kept until destroyed
    bool plugged = false;
    bool interfaceOn = false;
  };
  struct Waiter {
    Transfer transfer;
    uintptr_t owner;
    Op op;
    uint32_t id;
    uint32_t count;  // frames
    bool flag;       // host connected
    Clock::time_point deadline;
  };

  // The requests of Operate, with m_mu held: making a platesetter; its
  // presence and host (false: not such a request). The controls of its
  // model are emu::control::ApplyMachineControl's.
  void Create(uintptr_t owner, Reader& r, std::vector<uint8_t>& answer);
  static bool Present(Op op, Entry& entry, Completions& completions, bool& presenceChanged, Writer& out);
  bool HeldLocked(const Waiter& waiter);
  void Run();
  void Destroy(std::unique_lock<std::mutex>& lock, uint32_t id);

  Bus& m_bus;
  std::mutex m_mu;
  std::condition_variable m_wake;
  std::map<uint32_t, Entry> m_entries;
  std::vector<Waiter> m_waiters;
  uint32_t m_nextId = 1;
  bool m_stop = false;
  std::thread m_clock;
};

}  // namespace norvex::standin
