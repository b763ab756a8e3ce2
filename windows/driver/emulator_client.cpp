// emulator_client.cpp: norvex::emu::Emulator for Windows programs: the
// platesetter is the stand-in driver's (windows/driver), made through its
// control device when the Emulator is made and gone when it goes; its
// controls are a RemoteModel over the same device (remote_model.h). Plug and
// Unplug wait until the platesetter's device interface appears or goes, and
// Unplug gives the host that held it open the removal notice that Wine does
// not send (standin_client.h).
#include <windows.h>

#include <mutex>
#include <utility>

#include "emu/emulator.h"
#include "standin_client.h"

namespace norvex::emu {

using standin::Op;
using standin::Reader;
using standin::Writer;

struct Emulator::Impl {
  explicit Impl(Options o) : options(std::move(o)) {}

  // Sends `op` with the platesetter's id and `args`; the answer's body, empty
  // when the request failed (the reason is kept for LastError).
  std::vector<uint8_t> Call(Op op, const Writer& args = Writer(), bool wait = false) const {
    Writer request;
    request.U32(static_cast<uint32_t>(op)).U32(id);
    request.Data().insert(request.Data().end(), args.Data().begin(), args.Data().end());
    std::vector<uint8_t> body;
    std::string error;
    if (!channel.Call(request, body, error, wait)) {
      std::lock_guard<std::mutex> lock(mu);
      lastError = error;
      body.clear();
    }
    return body;
  }
  bool Flag(Op op, const Writer& args = Writer(), bool wait = false) const {
    const std::vector<uint8_t> body = Call(op, args, wait);
    return !body.empty() && body[0] != 0;
  }
  bool WaitInterface(bool enabled) const {
    return Flag(Op::kWaitForInterface, Writer().U8(enabled).U32(10000), true);
  }

  Options options;
  standin::ControlChannel channel;
  uint32_t id = 0;
  mutable std::mutex mu;
  mutable std::string lastError;  // under mu
  // The removal notice to this process's own windows, which take it when
  // their thread next dispatches messages (until the next unplug).
  std::unique_ptr<standin::RemovalNotice> notice;
  // The platesetter's controls, each a request through `channel`.
  RemoteModel model{[this](Op op, const Writer& args, bool wait) { return Call(op, args, wait); }};
};

Emulator::Emulator() : Emulator(Options{}) {}

Emulator::Emulator(Options options) : m_impl(std::make_unique<Impl>(std::move(options))) {
  Writer args;
  standin::Put(args, m_impl->options);
  m_impl->id = 0;
  const std::vector<uint8_t> body = m_impl->Call(Op::kCreate, args);
  Reader r(body.data(), body.size());
  m_impl->id = r.U32();
}

Emulator::~Emulator() {
  Unplug();
  if (m_impl->id != 0) m_impl->Call(Op::kDestroy);
}

bool Emulator::Plug() {
  if (m_impl->id == 0) return false;
  m_impl->Call(Op::kPlug);
  return m_impl->WaitInterface(true);
}

void Emulator::Unplug() {
  if (m_impl->id == 0 || !IsPlugged()) return;
  const std::vector<uint8_t> body = m_impl->Call(Op::kHostOf);
  Reader r(body.data(), body.size());
  const standin::HostHandle host = standin::FindHostHandle(r.U64());
  m_impl->Call(Op::kUnplug);
  m_impl->WaitInterface(false);
  m_impl->notice.reset();
  if (host.handle == 0) return;
  m_impl->notice = std::make_unique<standin::RemovalNotice>();
  std::string error;
  if (m_impl->notice->Post(host, error) == 0) {
    std::lock_guard<std::mutex> lock(m_impl->mu);
    m_impl->lastError = error;
    return;
  }
  // A host in another process (one that opened the device through this
  // emulator's platesetter) gets it at once, as from the norvex-standin tool.
  if (host.process != ::GetCurrentProcessId()) m_impl->notice->WaitDelivered(1, 5000);
}

bool Emulator::IsPlugged() const { return m_impl->Flag(Op::kIsPlugged); }

std::string Emulator::EndpointPath() const { return "\\\\?\\norvex#platesetter#" + m_impl->options.name; }

std::string Emulator::LastError() const {
  std::lock_guard<std::mutex> lock(m_impl->mu);
  return m_impl->lastError;
}

void Emulator::DropHost() { m_impl->Call(Op::kDropHost); }

RemoteModel& Emulator::Model() { return m_impl->model; }

const RemoteModel& Emulator::Model() const { return m_impl->model; }

}  // namespace norvex::emu
