// standin_glue.cpp: the C entry points of the stand-in's emulated
// platesetters (standin_glue.h) over the Rack. The rack lives from
// StandInStart to StandInStop (the bus's removal); the devices of
// platesetters that a host still holds open outlive it, and their requests
// after it find no rack: they are refused as a gone device's.
#include "standin_glue.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "standin_protocol.h"
#include "standin_rack.h"

namespace norvex::standin {
namespace {

class DriverBus final : public Bus {
 public:
  DriverBus(const StandInDriverCalls& calls) : m_calls(calls) {}
  bool Arm(Transfer transfer) override { return m_calls.arm(transfer) != 0; }
  bool Disarm(Transfer transfer) override { return m_calls.disarm(transfer) != 0; }
  void PresenceChanged() override { m_calls.presenceChanged(); }
  void Complete(Completions& completions) override {
    for (const Completion& c : completions) {
      const StandInCompletion out{c.transfer, c.status, c.information, c.data.data(), c.data.size()};
      m_calls.complete(&out);
    }
    completions.clear();
  }

 private:
  StandInDriverCalls m_calls;
};

// The driver's one set of platesetters, from StandInStart to StandInStop.
struct Driver {
  explicit Driver(const StandInDriverCalls& calls) : bus(calls), rack(bus) {}
  DriverBus bus;
  Rack rack;
};
// Each entry point holds the driver for as long as it uses it: a stop while
// a request runs lets the rack go when that request is done.
std::mutex g_driverMu;
std::shared_ptr<Driver> g_driver;

std::shared_ptr<Driver> TheDriver() {
  std::lock_guard<std::mutex> lock(g_driverMu);
  return g_driver;
}

// Runs `use` on the platesetter `id` and completes what it gives back. False
// when there is no rack any more: the caller completes the transfer.
template <typename Use>
bool WithMachine(uint32_t id, Use use) {
  const std::shared_ptr<Driver> driver = TheDriver();
  if (!driver) return false;
  std::shared_ptr<Machine> machine = driver->rack.Find(id);
  Completions out = use(machine.get());
  driver->bus.Complete(out);
  driver->rack.Wake();
  return true;
}

}  // namespace
}  // namespace norvex::standin

using namespace norvex::standin;

extern "C" int StandInStart(const StandInDriverCalls* calls) {
  std::lock_guard<std::mutex> lock(g_driverMu);
  if (g_driver) return 1;
  Driver* made = new (std::nothrow) Driver(*calls);
  if (!made) return 0;
  g_driver.reset(made);
  return 1;
}

extern "C" void StandInStop(void) {
  std::shared_ptr<Driver> gone;
  {
    std::lock_guard<std::mutex> lock(g_driverMu);
    gone.swap(g_driver);
  }
}

extern "C" size_t StandInOperate(uintptr_t owner, const uint8_t* request, size_t size, uint8_t* out,
                                 size_t room) {
  const std::shared_ptr<Driver> driver = TheDriver();
  if (!driver) return 0;
  std::vector<uint8_t> answer;
  driver->rack.Operate(owner, request, size, answer);
  if (answer.size() > room) {
    Writer tooLong;
    tooLong.U32(kAnswerTooLong).U32(static_cast<uint32_t>(answer.size()));
    answer = tooLong.Data();
    if (answer.size() > room) return 0;
  }
  std::memcpy(out, answer.data(), answer.size());
  return answer.size();
}

extern "C" int StandInWait(uintptr_t owner, void* irp, const uint8_t* request, size_t size) {
  const std::shared_ptr<Driver> driver = TheDriver();
  if (!driver) return 0;
  driver->rack.Wait(owner, irp, request, size);
  return 1;
}

extern "C" int StandInCancelWait(void* irp) {
  const std::shared_ptr<Driver> driver = TheDriver();
  return driver && driver->rack.CancelWait(irp) ? 1 : 0;
}

extern "C" void StandInReleaseOwner(uintptr_t owner) {
  if (const std::shared_ptr<Driver> driver = TheDriver()) driver->rack.ReleaseOwner(owner);
}

extern "C" size_t StandInPresent(uint32_t* ids, size_t room) {
  const std::shared_ptr<Driver> driver = TheDriver();
  if (!driver) return 0;
  const std::vector<Rack::Child> children = driver->rack.PresentChildren();
  const size_t n = std::min(room, children.size());
  for (size_t i = 0; i < n; ++i) ids[i] = children[i].id;
  return n;
}

extern "C" void StandInInstanceName(uint32_t id, wchar_t* out, size_t room) {
  if (room == 0) return;
  std::string name;
  if (const std::shared_ptr<Driver> driver = TheDriver()) {
    for (const Rack::Child& child : driver->rack.PresentChildren()) {
      if (child.id == id) name = child.name;
    }
  }
  if (name.empty()) name = "platesetter-" + std::to_string(id);
  size_t i = 0;
  for (; i < name.size() && i + 1 < room; ++i) {
    // Device instance names keep letters, digits, '-' and '_'.
    const char c = name[i];
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
    out[i] = static_cast<wchar_t>(plain ? c : '_');
  }
  out[i] = 0;
}

extern "C" void StandInInterfaceChanged(uint32_t id, int enabled) {
  if (const std::shared_ptr<Driver> driver = TheDriver()) driver->rack.InterfaceChanged(id, enabled != 0);
}

extern "C" int32_t StandInOpen(uint32_t id, uintptr_t open) {
  const std::shared_ptr<Driver> driver = TheDriver();
  if (!driver) return kStatusNoSuchDevice;
  std::shared_ptr<Machine> machine = driver->rack.Find(id);
  if (!machine) return kStatusNoSuchDevice;
  const int32_t status = machine->Open(open, driver->rack.IsPresent(id));
  driver->rack.Tick();
  return status;
}

extern "C" void StandInCleanup(uint32_t id, uintptr_t open) {
  WithMachine(id, [&](Machine* m) { return m ? m->Cleanup(open) : Completions{}; });
  if (const std::shared_ptr<Driver> driver = TheDriver()) driver->rack.Tick();
}

extern "C" void StandInClose(uint32_t id, uintptr_t open) {
  WithMachine(id, [&](Machine* m) { return m ? m->Close(open) : Completions{}; });
  if (const std::shared_ptr<Driver> driver = TheDriver()) driver->rack.Tick();
}

extern "C" int32_t StandInRefusal(uint32_t id, uintptr_t open) {
  const std::shared_ptr<Driver> driver = TheDriver();
  std::shared_ptr<Machine> machine = driver ? driver->rack.Find(id) : nullptr;
  return machine ? machine->RefusalOf(open) : kStatusDeviceNotConnected;
}

extern "C" int StandInControl(uint32_t id, uintptr_t open, void* irp, uint32_t code, const uint8_t* frame,
                              size_t size) {
  const bool taken = WithMachine(id, [&](Machine* m) {
    if (!m) return Completions{Done(irp, kStatusDeviceNotConnected)};
    return m->Control(open, irp, code, frame, size);
  });
  if (const std::shared_ptr<Driver> driver = TheDriver()) driver->rack.Tick();
  return taken ? 1 : 0;
}

extern "C" int StandInRead(uint32_t id, uintptr_t open, void* irp, uint32_t capacity) {
  return WithMachine(id,
                     [&](Machine* m) {
                       if (!m) return Completions{Done(irp, kStatusDeviceNotConnected)};
                       return m->Read(open, irp, capacity);
                     })
             ? 1
             : 0;
}

extern "C" int StandInWrite(uint32_t id, uintptr_t open, void* irp, const uint8_t* data, size_t size) {
  return WithMachine(id,
                     [&](Machine* m) {
                       if (!m) return Completions{Done(irp, kStatusDeviceNotConnected)};
                       return m->Write(open, irp, data, size);
                     })
             ? 1
             : 0;
}

extern "C" int StandInCancel(uint32_t id, void* irp) {
  const std::shared_ptr<Driver> driver = TheDriver();
  std::shared_ptr<Machine> machine = driver ? driver->rack.Find(id) : nullptr;
  if (!machine) return 0;
  const bool kept = machine->Cancel(irp);
  driver->rack.Wake();
  return kept ? 1 : 0;
}

extern "C" uint64_t StandInOpenNumber(uint32_t id, uintptr_t open) {
  const std::shared_ptr<Driver> driver = TheDriver();
  std::shared_ptr<Machine> machine = driver ? driver->rack.Find(id) : nullptr;
  return machine ? machine->OpenNumber(open) : 0;
}
