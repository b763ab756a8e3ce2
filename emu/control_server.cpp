// control_server.cpp: a norvex-emu's control port (control_server.h).
#include "emu/control_server.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "emu/control_channel.h"
#include "wire/device_address.h"

namespace norvex::emu {
namespace {

using control::Answer;
using control::Op;
using control::Reader;
using control::Writer;
using Clock = std::chrono::steady_clock;

// A client sends its opening, and each request, whole and at once.
constexpr std::chrono::seconds kMessageWait{10};
// Between requests a connection may stay silent as long as it likes.
constexpr std::chrono::hours kIdleWait{24 * 365};
// Waits look at the stop request this often.
constexpr std::chrono::milliseconds kWaitSlice{100};
// Platesetters made through the port, over all connections.
constexpr size_t kMaxMadePlatesetters = 256;

bool IsLoopbackHost(const std::string& host) {
  return host == "localhost" || host.rfind("127.", 0) == 0 || host == "::1";
}

// Why a platesetter of `options` is not made through the port, or empty.
// Only TCP of the loopback interface: a folder of Unix sockets would let
// whoever reaches the port make and remove sockets where this user may.
std::string Refusal(const EmulatorOptions& options) {
  const wire::DeviceAddress address = wire::ParseDeviceAddress("tcp:" + options.listen, true);
  if (options.listen.empty() || !options.folder.empty()) {
    return "a platesetter made through the control port serves TCP (listen HOST:PORT), not a device folder";
  }
  if (address.kind != wire::DeviceAddress::Kind::kTcp) {
    return "not an address to listen at: " + options.listen + ": " + address.problem;
  }
  if (!IsLoopbackHost(address.host)) {
    return "a platesetter made through the control port listens on the loopback interface only, not at " +
           options.listen;
  }
  return {};
}

}  // namespace

ControlServer::~ControlServer() { Stop(); }

void ControlServer::Keep(std::shared_ptr<LocalPlatesetter> platesetter) {
  std::lock_guard<std::mutex> lock(m_mu);
  m_entries[m_nextId++] = Entry{std::move(platesetter), 0};
}

bool ControlServer::Start(const std::string& listen, std::string& address, std::string& error) {
  if (m_listener) {
    error = "the control port is served already";
    return false;
  }
  const wire::DeviceAddress where = wire::ParseDeviceAddress("tcp:" + listen, true);
  if (where.kind != wire::DeviceAddress::Kind::kTcp) {
    error = "not an address to listen at: " + where.problem;
    return false;
  }
  uint16_t port = where.port;
  net::Socket listener = net::ListenTcp(where.host, port, error);
  if (!listener) return false;
  if (!net::BoundToLoopback(listener.id())) {
    error = "the control port listens on the loopback interface only, and " + where.host +
            " is not a loopback address";
    return false;
  }
  address = wire::TcpAddressText(where.host, port);
  if (!m_wake.ok()) {
    error = "cannot make the control port's wake-up";
    return false;
  }
  m_listener = std::move(listener);
  m_stop = false;
  m_thread = std::thread(&ControlServer::Accepting, this);
  return true;
}

void ControlServer::Stop() {
  if (!m_thread.joinable()) return;
  m_stop = true;
  m_wake.Wake();
  m_thread.join();
  std::list<Connection> connections;
  {
    std::lock_guard<std::mutex> lock(m_mu);
    connections.splice(connections.end(), m_connections);
  }
  for (Connection& connection : connections) connection.wake.Wake();
  for (Connection& connection : connections) connection.thread.join();
  m_listener.Reset();
}

void ControlServer::Accepting() {
  while (!m_stop) {
    const net::SocketId listener = m_listener.id();
    bool readable = false;
    m_wake.Wait(&listener, &readable, 1, -1);
    if (m_stop) break;
    while (net::Socket accepted = net::Accept(listener)) {
      std::lock_guard<std::mutex> lock(m_mu);
      ReapLocked();
      if (m_connections.size() >= kMaxConnections) continue;  // closed as it goes
      Connection& connection = m_connections.emplace_back();
      connection.number = m_nextConnection++;
      connection.socket = std::move(accepted);
      connection.thread = std::thread(&ControlServer::Serve, this, std::ref(connection));
    }
  }
}

void ControlServer::ReapLocked() {
  for (auto it = m_connections.begin(); it != m_connections.end();) {
    if (it->done) {
      it->thread.join();
      it = m_connections.erase(it);
    } else {
      ++it;
    }
  }
}

bool ControlServer::Opening(Connection& connection) {
  uint8_t opening[control::kOpeningBytes];
  if (!control::ReceiveExactly(connection.socket.id(), connection.wake, opening, sizeof(opening),
                               Clock::now() + kMessageWait, &m_stop) ||
      control::LoadU32(opening) != control::kMagic) {
    return false;
  }
  const bool sameVersion = control::LoadU32(opening + 4) == control::kVersion;
  uint8_t answer[control::kOpeningAnswerBytes];
  control::StoreU32(answer, control::kMagic);
  control::StoreU32(answer + 4, sameVersion ? 0 : control::kStatusOtherVersion);
  control::StoreU32(answer + 8, control::kVersion);
  return net::SendAll(connection.socket.id(), answer, sizeof(answer)) && sameVersion;
}

void ControlServer::Serve(Connection& connection) {
  const net::SocketId socket = connection.socket.id();
  if (Opening(connection)) {
    std::vector<uint8_t> request;
    for (;;) {
      uint8_t size[4];
      if (!control::ReceiveExactly(socket, connection.wake, size, sizeof(size), Clock::now() + kIdleWait,
                                   &m_stop)) {
        break;
      }
      const uint32_t total = control::LoadU32(size);
      if (total < control::kRequestHeader || total > control::kMaxRequestBytes) break;
      request.resize(total - sizeof(size));
      if (!control::ReceiveExactly(socket, connection.wake, request.data(), request.size(),
                                   Clock::now() + kMessageWait, &m_stop)) {
        break;
      }
      const Op op = static_cast<Op>(control::LoadU32(request.data()));
      const uint32_t id = control::LoadU32(request.data() + 4);
      Reader args(request.data() + 8, request.size() - 8);
      const std::vector<uint8_t> answer = Handle(connection, op, id, args);
      if (answer.empty() || !net::SendAll(socket, answer.data(), answer.size())) break;
    }
  }
  // The platesetters go before the connection closes: a client that sees
  // its end finds them gone.
  Release(connection.number);
  connection.socket.Reset();
  connection.done = true;
}

std::vector<uint8_t> ControlServer::Handle(Connection& connection, Op op, uint32_t id, Reader& args) {
  if (op == Op::kCreate) {
    const EmulatorOptions options = control::GetOptions(args);
    if (!args.ok()) return Answer(control::kAnswerBadRequest);
    const std::string refusal = Refusal(options);
    if (!refusal.empty()) return Answer(control::kAnswerFailed, Writer().Text(refusal));
    auto platesetter = std::make_shared<LocalPlatesetter>(options);
    std::lock_guard<std::mutex> lock(m_mu);
    const size_t made = static_cast<size_t>(
        std::count_if(m_entries.begin(), m_entries.end(), [](const auto& e) { return e.second.owner != 0; }));
    if (made >= kMaxMadePlatesetters) {
      return Answer(control::kAnswerFailed,
                    Writer().Text("norvex-emu has made as many platesetters as it makes"));
    }
    m_entries[m_nextId] = Entry{std::move(platesetter), connection.number};
    return Answer(control::kAnswerOk, Writer().U32(m_nextId++));
  }
  if (op == Op::kFind) {
    const std::string name = args.Text();
    if (!args.ok()) return Answer(control::kAnswerBadRequest);
    std::lock_guard<std::mutex> lock(m_mu);
    const auto found = std::find_if(m_entries.begin(), m_entries.end(),
                                    [&](const auto& e) { return e.second.platesetter->Name() == name; });
    return Answer(control::kAnswerOk, Writer().U32(found == m_entries.end() ? 0 : found->first));
  }
  if (op == Op::kDestroy) {
    std::shared_ptr<LocalPlatesetter> gone;
    {
      std::lock_guard<std::mutex> lock(m_mu);
      const auto it = m_entries.find(id);
      if (it == m_entries.end()) return Answer(control::kAnswerNoMachine);
      if (it->second.owner != connection.number) {
        return Answer(control::kAnswerFailed, Writer().Text("platesetter " + std::to_string(id) +
                                                            " was not made by this connection"));
      }
      gone = std::move(it->second.platesetter);
      m_entries.erase(it);
    }
    gone->Unplug();
    return Answer(control::kAnswerOk);
  }
  const std::shared_ptr<LocalPlatesetter> platesetter = Find(id);
  if (!platesetter) return Answer(control::kAnswerNoMachine);
  std::vector<uint8_t> answer = HandlePresence(op, *platesetter);
  if (!answer.empty()) return answer;
  Writer out;
  if (op == Op::kWaitForFrames || op == Op::kWaitForHost) {
    if (!Wait(connection, op, platesetter->Model(), args, out)) return {};
    return Answer(args.ok() ? control::kAnswerOk : control::kAnswerBadRequest, out);
  }
  if (control::ApplyMachineControl(op, platesetter->Model(), args, out))
    return Answer(control::kAnswerOk, out);
  return Answer(control::kAnswerBadRequest);
}

std::vector<uint8_t> ControlServer::HandlePresence(Op op, LocalPlatesetter& platesetter) {
  Writer out;
  switch (op) {
    case Op::kPlug: {
      const bool plugged = platesetter.Plug();
      out.U8(plugged).Text(plugged ? std::string() : platesetter.LastError());
      break;
    }
    case Op::kUnplug:
      platesetter.Unplug();
      break;
    case Op::kIsPlugged:
      out.U8(platesetter.IsPlugged());
      break;
    case Op::kDropHost:
      platesetter.DropHost();
      break;
    case Op::kWhere:
      out.Text(platesetter.Address()).Text(platesetter.EndpointPath());
      break;
    default:
      return {};
  }
  return Answer(control::kAnswerOk, out);
}

bool ControlServer::Wait(Connection& connection, Op op, const MachineControls& machine, Reader& args,
                         Writer& out) {
  const uint32_t count = op == Op::kWaitForFrames ? args.U32() : 0;
  const bool connected = op == Op::kWaitForHost && args.U8() != 0;
  const uint32_t ms = args.U32();
  if (!args.ok()) return true;  // answered as a bad request
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
  const net::SocketId socket = connection.socket.id();
  bool held = false;
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    const auto slice = std::clamp(left, std::chrono::milliseconds(0), kWaitSlice);
    held = op == Op::kWaitForFrames ? machine.WaitForFrames(count, slice)
                                    : machine.WaitForHost(connected, slice);
    if (held || left <= kWaitSlice) break;
    // A client sends nothing while it waits for an answer: anything that
    // comes now (the end of its stream, above all) ends the connection, and
    // so does a stop.
    bool readable = false;
    connection.wake.Wait(&socket, &readable, 1, 0);
    if (readable || m_stop) return false;
  }
  out.U8(held);
  return true;
}

std::shared_ptr<LocalPlatesetter> ControlServer::Find(uint32_t id) {
  std::lock_guard<std::mutex> lock(m_mu);
  const auto it = m_entries.find(id);
  return it == m_entries.end() ? nullptr : it->second.platesetter;
}

void ControlServer::Release(uint64_t owner) {
  std::vector<std::shared_ptr<LocalPlatesetter>> gone;
  {
    std::lock_guard<std::mutex> lock(m_mu);
    for (auto it = m_entries.begin(); it != m_entries.end();) {
      if (it->second.owner == owner) {
        gone.push_back(std::move(it->second.platesetter));
        it = m_entries.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (const auto& platesetter : gone) platesetter->Unplug();
}

}  // namespace norvex::emu
