// control_client.cpp: a platesetter of a norvex-emu, reached through its
// control port (control_client.h).
#include "emu/control_client.h"

#include <chrono>
#include <utility>

#include "emu/control_channel.h"
#include "wire/device_address.h"

namespace norvex::emu {
namespace {

using control::Op;
using control::Reader;
using control::Writer;
using Clock = std::chrono::steady_clock;

constexpr int kConnectMs = 5000;
// How long an answer may take beyond a wait's own time: a busy machine, a
// large print memory.
constexpr std::chrono::seconds kAnswerWait{30};

}  // namespace

ControlledPlatesetter::ControlledPlatesetter(const std::string& control, const EmulatorOptions& options) {
  std::string error;
  if (!Open(control, error)) {
    Fail(error);
    return;
  }
  EmulatorOptions where = WithEndpoint(options);
  // Windows has no device folder: there a TCP port that norvex-emu picks.
  if (where.folder.empty() && where.listen.empty()) where.listen = "127.0.0.1:0";
  Writer args;
  control::Put(args, where);
  const std::vector<uint8_t> body = Call(Op::kCreate, args);
  Reader r(body.data(), body.size());
  m_id = r.U32();
}

ControlledPlatesetter::~ControlledPlatesetter() {
  if (m_id != 0) Call(Op::kDestroy);
}

bool ControlledPlatesetter::Open(const std::string& control, std::string& error) {
  const wire::DeviceAddress address = wire::ParseDeviceAddress(control);
  if (address.kind != wire::DeviceAddress::Kind::kTcp) {
    error = "not a control port's address (tcp:HOST:PORT): " + control;
    return false;
  }
  m_socket = net::Connect(address.host, address.port, kConnectMs, error);
  if (!m_socket) {
    error = "norvex-emu's control port " + control + ": " + error;
    return false;
  }
  uint8_t opening[control::kOpeningBytes];
  control::StoreU32(opening, control::kMagic);
  control::StoreU32(opening + 4, control::kVersion);
  uint8_t answer[control::kOpeningAnswerBytes];
  if (!net::SendAll(m_socket.id(), opening, sizeof(opening)) ||
      !control::ReceiveExactly(m_socket.id(), m_wake, answer, sizeof(answer), Clock::now() + kAnswerWait)) {
    error = control + " did not answer as a norvex-emu control port";
    m_socket.Reset();
    return false;
  }
  if (control::LoadU32(answer) != control::kMagic || control::LoadU32(answer + 4) != 0) {
    error = control + " refused the control connection: its version is " +
            std::to_string(control::LoadU32(answer + 8)) + ", this one's " +
            std::to_string(control::kVersion);
    m_socket.Reset();
    return false;
  }
  return true;
}

void ControlledPlatesetter::Fail(const std::string& error) const {
  std::lock_guard<std::mutex> lock(m_errorMu);
  m_lastError = error;
}

std::vector<uint8_t> ControlledPlatesetter::Call(Op op, const Writer& args, bool wait) const {
  std::lock_guard<std::mutex> lock(m_exchange);
  // Without a connection, or a platesetter that was not made, the reason
  // is kept already.
  if (!m_socket || (m_id == 0 && op != Op::kCreate)) return {};
  Writer request;
  request.U32(static_cast<uint32_t>(control::kRequestHeader + args.Data().size()))
      .U32(static_cast<uint32_t>(op))
      .U32(m_id);
  Clock::time_point deadline = Clock::now() + kAnswerWait;
  if (wait) {
    // The wait's time-out follows the operation's first argument: a count or
    // a flag, then the milliseconds.
    Reader r(args.Data().data(), args.Data().size());
    if (op == Op::kWaitForFrames)
      r.U32();
    else
      r.U8();
    deadline += std::chrono::milliseconds(r.U32());
  }
  uint8_t head[control::kAnswerHeader];
  const bool exchanged = net::SendAll(m_socket.id(), request.Data().data(), request.Data().size(),
                                      args.Data().data(), args.Data().size()) &&
                         control::ReceiveExactly(m_socket.id(), m_wake, head, sizeof(head), deadline);
  const uint32_t status = control::LoadU32(head);
  const uint32_t size = control::LoadU32(head + 4);
  std::vector<uint8_t> body;
  if (exchanged && size >= control::kAnswerHeader && size <= control::kMaxAnswerBytes) {
    body.resize(size - control::kAnswerHeader);
    if (control::ReceiveExactly(m_socket.id(), m_wake, body.data(), body.size(), deadline)) {
      if (status == control::kAnswerOk) return body;
      Reader r(body.data(), body.size());
      Fail(status == control::kAnswerFailed
               ? r.Text()
               : "norvex-emu refused control " + std::to_string(static_cast<uint32_t>(op)) + " with status " +
                     std::to_string(status));
      return {};
    }
  }
  // The stream is out of step: nothing more goes over it.
  Fail("the control connection to norvex-emu broke");
  m_socket.Reset();
  return {};
}

bool ControlledPlatesetter::Plug() {
  const std::vector<uint8_t> body = Call(Op::kPlug);
  Reader r(body.data(), body.size());
  const bool plugged = r.U8() != 0;
  const std::string error = r.Text();
  if (!plugged && !body.empty()) Fail(error);
  return plugged;
}

void ControlledPlatesetter::Unplug() { Call(Op::kUnplug); }

bool ControlledPlatesetter::IsPlugged() const {
  const std::vector<uint8_t> body = Call(Op::kIsPlugged);
  return !body.empty() && body[0] != 0;
}

std::string ControlledPlatesetter::Address() const {
  const std::vector<uint8_t> body = Call(Op::kWhere);
  Reader r(body.data(), body.size());
  return r.Text();
}

std::string ControlledPlatesetter::EndpointPath() const {
  const std::vector<uint8_t> body = Call(Op::kWhere);
  Reader r(body.data(), body.size());
  r.Text();
  return r.Text();
}

std::string ControlledPlatesetter::LastError() const {
  std::lock_guard<std::mutex> lock(m_errorMu);
  return m_lastError;
}

void ControlledPlatesetter::DropHost() { Call(Op::kDropHost); }

}  // namespace norvex::emu
