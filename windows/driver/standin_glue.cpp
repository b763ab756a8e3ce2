// standin_glue.cpp: the C entry points of the stand-in's emulated
// platesetters (standin_glue.h) over the Rack.
#include "standin_glue.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "standin_protocol.h"
#include "standin_rack.h"

namespace norvex::standin {
namespace {

class DriverBus final : public Bus {
 public:
  DriverBus(StandInCompleteFn complete, StandInPresenceFn presence)
      : m_complete(complete), m_presence(presence) {}
  void PresenceChanged() override { m_presence(); }
  void Complete(Completions& completions) override {
    for (const Completion& c : completions) {
      const StandInCompletion out{c.transfer,    c.status,      c.information,
                                  c.data.data(), c.data.size(), c.afterCancel ? 1 : 0};
      m_complete(&out);
    }
    completions.clear();
  }

 private:
  StandInCompleteFn m_complete;
  StandInPresenceFn m_presence;
};

// The driver's one set of platesetters, from StandInStart to StandInStop.
struct Driver {
  Driver(StandInCompleteFn complete, StandInPresenceFn presence) : bus(complete, presence), rack(bus) {}
  DriverBus bus;
  Rack rack;
};
std::unique_ptr<Driver> g_driver;

Rack& TheRack() { return g_driver->rack; }

// Runs `use` on the platesetter `id`, and completes what it gives back.
template <typename Use>
void WithMachine(uint32_t id, Use use) {
  std::shared_ptr<Machine> machine = TheRack().Find(id);
  Completions out = use(machine.get());
  g_driver->bus.Complete(out);
  TheRack().Wake();
}

}  // namespace
}  // namespace norvex::standin

using namespace norvex::standin;

extern "C" int StandInStart(StandInCompleteFn complete, StandInPresenceFn presenceChanged) {
  if (g_driver) return 1;
  g_driver.reset(new (std::nothrow) Driver(complete, presenceChanged));
  return g_driver != nullptr;
}

extern "C" void StandInStop(void) { g_driver.reset(); }

extern "C" size_t StandInOperate(uintptr_t owner, const uint8_t* request, size_t size, uint8_t* out,
                                 size_t room) {
  std::vector<uint8_t> answer;
  TheRack().Operate(owner, request, size, answer);
  if (answer.size() > room) {
    Writer tooLong;
    tooLong.U32(kAnswerTooLong).U32(static_cast<uint32_t>(answer.size()));
    answer = tooLong.Data();
    if (answer.size() > room) return 0;
  }
  std::memcpy(out, answer.data(), answer.size());
  return answer.size();
}

extern "C" void StandInWait(uintptr_t owner, void* irp, const uint8_t* request, size_t size) {
  TheRack().Wait(owner, irp, request, size);
}

extern "C" int StandInCancelWait(void* irp) { return TheRack().CancelWait(irp) ? 1 : 0; }

extern "C" void StandInReleaseOwner(uintptr_t owner) { TheRack().ReleaseOwner(owner); }

extern "C" size_t StandInPresent(uint32_t* ids, size_t room) {
  const std::vector<Rack::Child> children = TheRack().PresentChildren();
  const size_t n = std::min(room, children.size());
  for (size_t i = 0; i < n; ++i) ids[i] = children[i].id;
  return n;
}

extern "C" int StandInIsPresent(uint32_t id) { return TheRack().IsPresent(id) ? 1 : 0; }

extern "C" void StandInInstanceName(uint32_t id, wchar_t* out, size_t room) {
  if (room == 0) return;
  std::string name;
  for (const Rack::Child& child : TheRack().PresentChildren()) {
    if (child.id == id) name = child.name;
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
  TheRack().InterfaceChanged(id, enabled != 0);
}

extern "C" int32_t StandInOpen(uint32_t id, uintptr_t open) {
  std::shared_ptr<Machine> machine = TheRack().Find(id);
  if (!machine) return kStatusNoSuchDevice;
  const int32_t status = machine->Open(open, TheRack().IsPresent(id));
  TheRack().Tick();
  return status;
}

extern "C" void StandInCleanup(uint32_t id, uintptr_t open) {
  WithMachine(id, [&](Machine* m) { return m ? m->Cleanup(open) : Completions{}; });
  TheRack().Tick();
}

extern "C" void StandInClose(uint32_t id, uintptr_t open) {
  WithMachine(id, [&](Machine* m) { return m ? m->Close(open) : Completions{}; });
  TheRack().Tick();
}

extern "C" int32_t StandInRefusal(uint32_t id, uintptr_t open) {
  std::shared_ptr<Machine> machine = TheRack().Find(id);
  return machine ? machine->RefusalOf(open) : kStatusDeviceNotConnected;
}

extern "C" void StandInControl(uint32_t id, uintptr_t open, void* irp, uint32_t code, const uint8_t* frame,
                               size_t size) {
  WithMachine(id, [&](Machine* m) {
    if (!m) return Completions{Done(irp, kStatusDeviceNotConnected)};
    return m->Control(open, irp, code, frame, size);
  });
  TheRack().Tick();
}

extern "C" void StandInRead(uint32_t id, uintptr_t open, void* irp, uint32_t capacity) {
  WithMachine(id, [&](Machine* m) {
    if (!m) return Completions{Done(irp, kStatusDeviceNotConnected)};
    return m->Read(open, irp, capacity);
  });
}

extern "C" void StandInWrite(uint32_t id, uintptr_t open, void* irp, const uint8_t* data, size_t size) {
  WithMachine(id, [&](Machine* m) {
    if (!m) return Completions{Done(irp, kStatusDeviceNotConnected)};
    return m->Write(open, irp, data, size);
  });
}

extern "C" int StandInCancel(uint32_t id, void* irp) {
  std::shared_ptr<Machine> machine = TheRack().Find(id);
  if (!machine) return 0;
  const bool kept = machine->Cancel(irp);
  TheRack().Wake();
  return kept ? 1 : 0;
}

extern "C" uint64_t StandInOpenNumber(uint32_t id, uintptr_t open) {
  std::shared_ptr<Machine> machine = TheRack().Find(id);
  return machine ? machine->OpenNumber(open) : 0;
}
