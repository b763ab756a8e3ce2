// emulator_client.cpp: the platesetter of an Emulator (emu/emulator.h) in a
// Windows test program, by default: the stand-in driver's (windows/driver),
// made through its control device when the Emulator is made and gone when it
// goes; its controls are a RemoteModel (emu/remote_model.h) over the same
// device. Plug and Unplug wait until the platesetter's device interface
// appears or goes, and Unplug gives the host that held it open the removal
// notice that Wine does not send (standin_client.h).
#include <windows.h>

#include <memory>
#include <mutex>
#include <utility>

#include "emu/emulator_backend.h"
#include "emu/remote_model.h"
#include "standin_client.h"

namespace norvex::emu {
namespace {

using standin::Op;
using standin::Reader;
using standin::Writer;

class StandInPlatesetter final : public EmulatorBackend {
 public:
  explicit StandInPlatesetter(const EmulatorOptions& options) : m_options(options) {
    Writer args;
    standin::Put(args, m_options);
    const std::vector<uint8_t> body = Call(Op::kCreate, args);
    Reader r(body.data(), body.size());
    m_id = r.U32();
  }
  ~StandInPlatesetter() override {
    Unplug();
    if (m_id != 0) Call(Op::kDestroy);
  }
  StandInPlatesetter(const StandInPlatesetter&) = delete;
  StandInPlatesetter& operator=(const StandInPlatesetter&) = delete;

  bool Plug() override {
    if (m_id == 0) return false;
    Call(Op::kPlug);
    return WaitInterface(true);
  }
  void Unplug() override;
  bool IsPlugged() const override { return Flag(Op::kIsPlugged); }
  std::string EndpointPath() const override { return "\\\\?\\norvex#platesetter#" + m_options.name; }
  std::string Address() const override { return "usb"; }
  std::string LastError() const override {
    std::lock_guard<std::mutex> lock(m_mu);
    return m_lastError;
  }
  void DropHost() override { Call(Op::kDropHost); }
  RemoteModel& Model() override { return m_model; }
  const RemoteModel& Model() const override { return m_model; }

 private:
  // Sends `op` with the platesetter's id and `args`; the answer's body, empty
  // when the request failed (the reason is kept for LastError).
  std::vector<uint8_t> Call(Op op, const Writer& args = Writer(), bool wait = false) const {
    Writer request;
    request.U32(static_cast<uint32_t>(op)).U32(m_id);
    request.Data().insert(request.Data().end(), args.Data().begin(), args.Data().end());
    std::vector<uint8_t> body;
    std::string error;
    if (!m_channel.Call(request, body, error, wait)) {
      std::lock_guard<std::mutex> lock(m_mu);
      m_lastError = error;
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

  EmulatorOptions m_options;
  standin::ControlChannel m_channel;
  uint32_t m_id = 0;
  mutable std::mutex m_mu;
  mutable std::string m_lastError;  // under m_mu
  // The removal notice to this process's own windows, which take it when
  // their thread next dispatches messages (until the next unplug).
  std::unique_ptr<standin::RemovalNotice> m_notice;
  // The platesetter's controls, each a request through `m_channel`.
  RemoteModel m_model{[this](Op op, const Writer& args, bool wait) { return Call(op, args, wait); }};
};

void StandInPlatesetter::Unplug() {
  if (m_id == 0 || !IsPlugged()) return;
  const std::vector<uint8_t> body = Call(Op::kHostOf);
  Reader r(body.data(), body.size());
  const standin::HostHandle host = standin::FindHostHandle(r.U64());
  Call(Op::kUnplug);
  WaitInterface(false);
  m_notice.reset();
  if (host.handle == 0) return;
  m_notice = std::make_unique<standin::RemovalNotice>();
  std::string error;
  if (m_notice->Post(host, error) == 0) {
    std::lock_guard<std::mutex> lock(m_mu);
    m_lastError = error;
    return;
  }
  // A host in another process (one that opened the device through this
  // emulator's platesetter) gets it at once, as from the norvex-standin tool.
  if (host.process != ::GetCurrentProcessId()) m_notice->WaitDelivered(1, 5000);
}

}  // namespace

std::unique_ptr<EmulatorBackend> MakeDefaultBackend(const EmulatorOptions& options) {
  return std::make_unique<StandInPlatesetter>(options);
}

}  // namespace norvex::emu
