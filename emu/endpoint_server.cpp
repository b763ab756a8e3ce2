// endpoint_server.cpp: the endpoint side of the emulator. One thread waits
// on the listening socket, the connections still opening, the host's
// connection and a wake-up, and keeps the timers of delayed replies, late
// completions and openings.
#include "emu/endpoint_server.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "emu/reply_schedule.h"
#include "wire/device_wire.h"

namespace norvex::emu {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kReceiveChunk = 256 * 1024;
constexpr int kChunksPerRound = 16;
// How long the serving thread looks again for a host's next message before
// it sleeps.
constexpr int kSpinMicros = 50;
// How long a new connection may take to send its OPEN. A host of the
// versions before the version field sends none: it is answered in its own
// form, as a device of another version.
constexpr std::chrono::milliseconds kOpenWait{1000};
// The longest request frame a host can make: its length word's limit.
constexpr size_t kMaxRequestFrameBytes = 0xFFFF + 8;
constexpr uint32_t kStatusNotEnoughMemory = 8;

int PollTimeout(bool any, Clock::time_point due) {
  if (!any) return -1;
  const auto left = due - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<int>(std::min<decltype(ms)>(ms, 60000));
}

}  // namespace

// The connection of the host that holds the device, and its transfers.
struct EndpointServer::Session {
  struct PendingRead {
    uint32_t id;
    uint32_t capacity;
  };
  using Replies = ReplySchedule<PendingRead>;
  // A WRITE whose data is still coming in WRITE_DATA messages, with the plan
  // of its completion.
  struct IncomingWrite {
    uint32_t id;
    uint32_t total;  // the bytes the WRITE announced
    WritePlan plan;
    std::vector<uint8_t> data;
  };
  // A WRITE whose completion a bulk-write fault holds back; its bytes go to
  // the print memory when it completes. No `due`: it waits for its CANCEL.
  struct PendingWrite {
    uint32_t id;
    std::optional<Clock::time_point> due;
    std::vector<uint8_t> data;
  };

  Session(DeviceModel& model, net::Socket connection, wire::MessageParser input)
      : m_model(model), m_socket(std::move(connection)), m_input(std::move(input)) {}

  net::SocketId socket() const { return m_socket.id(); }

  // Whether the device takes nothing from the connection now (a stall).
  bool Paused() const { return m_pausedUntil.has_value(); }

  // Takes what the host sent and handles every whole message in it. False
  // when the connection is to be closed.
  bool OnReadable() {
    // Everything the host has sent by now, up to a bound, so that the end of
    // the stream after its last message is seen in the same round.
    for (int chunks = 0; chunks < kChunksPerRound && !Paused(); ++chunks) {
      const long n = net::ReceiveSome(m_socket.id(), m_chunk.data(), m_chunk.size());
      if (n < 0) break;
      if (n == 0) return false;  // the host closed, or the connection failed
      m_input.Feed(m_chunk.data(), static_cast<size_t>(n));
      if (!HandleInput()) return false;
    }
    return true;
  }

  // Handles every whole message received so far. False when the connection
  // is to be closed.
  bool HandleInput() {
    wire::Message message;
    while (!Paused()) {
      const wire::MessageParser::Result parsed = m_input.Next(message);
      if (parsed == wire::MessageParser::Result::kNeedMore) return true;
      if (parsed == wire::MessageParser::Result::kBadHeader || !HandleMessage(message)) return false;
    }
    return true;
  }

  // The earliest time at which OnTimers has something to do.
  std::optional<Clock::time_point> NextDue() const {
    std::optional<Clock::time_point> next = m_pausedUntil;
    const std::optional<Clock::time_point> reply = m_replies.NextDue();
    if (reply && (!next || *reply < *next)) next = reply;
    for (const PendingWrite& write : m_writes) {
      if (write.due && (!next || *write.due < *next)) next = write.due;
    }
    return next;
  }

  // Makes delayed replies ready and sends late completions that are due.
  // False when the connection is to be closed.
  bool OnTimers() {
    const Clock::time_point now = Clock::now();
    if (m_pausedUntil && *m_pausedUntil <= now) {
      // The stall is over: what came meanwhile is taken now.
      m_pausedUntil.reset();
      if (!HandleInput()) return false;
    }
    if (const std::optional<Replies::Delivery> served = m_replies.ServeDelayed(now)) {
      if (!CompleteRead(served->read, served->frame)) return false;
    }
    for (const Replies::Delivery& late : m_replies.TakeLate(now)) {
      if (!CompleteRead(late.read, late.frame)) return false;
    }
    for (auto it = m_writes.begin(); it != m_writes.end();) {
      if (!it->due || *it->due > now) {
        ++it;
        continue;
      }
      const PendingWrite write = std::move(*it);
      it = m_writes.erase(it);
      if (!CompleteWrite(write.id, write.data.data(), write.data.size())) return false;
    }
    return true;
  }

 private:
  bool HandleMessage(const wire::Message& message) {
    switch (message.type) {
      case wire::kControl:
        return OnControl(message);
      case wire::kRead:
        // A READ without its capacity is a protocol error.
        if (message.payload.size() < 4) return false;
        m_replies.AddRead(PendingRead{message.id, wire::LoadU32(message.payload.data())});
        return ServeReads();
      case wire::kWrite:
        return OnWrite(message);
      case wire::kWriteData:
        return OnWriteData(message);
      case wire::kCancel:
        return OnCancel(message.id);
      default:
        // Messages that only a device sends are a protocol error from a host.
        return false;
    }
  }

  bool OnControl(const wire::Message& message) {
    // A frame longer than any a host can make (its length word's limit) is
    // refused, as one without its control code.
    if (message.payload.size() < 4 || message.payload.size() > 4 + kMaxRequestFrameBytes) {
      return Complete(wire::kControlDone, message.id, kStatusInvalidParameter);
    }
    if (wire::LoadU32(message.payload.data()) != kFrameControlCode) {
      return Complete(wire::kControlDone, message.id, kStatusInvalidFunction);
    }
    Outcome outcome = m_model.HandleFrame(message.payload.data() + 4, message.payload.size() - 4);
    if (outcome.action == Outcome::Action::kDisconnect) return false;
    if (!Complete(wire::kControlDone, message.id, kStatusOk)) return false;
    m_replies.Take(std::move(outcome), Clock::now());
    return ServeReads();
  }

  // WRITE: a bulk write of the announced length begins; its data follows in
  // WRITE_DATA messages. How it completes is planned now (a bulk-write fault
  // may hold it back, cut it, or stall the connection).
  bool OnWrite(const wire::Message& message) {
    // A WRITE without its 4-byte length is a protocol error.
    if (message.payload.size() != 4) return false;
    IncomingWrite write{message.id, wire::LoadU32(message.payload.data()), WritePlan{}, {}};
    if (write.total > kPrintMemoryBytes) {
      // More than the print memory holds: refused at once, and its data is
      // dropped as it comes (it belongs to no write coming in).
      uint8_t done[8];
      wire::StoreU32(done, kStatusNotEnoughMemory);
      wire::StoreU32(done + 4, 0);
      return Send(wire::kWriteDone, message.id, done, sizeof(done));
    }
    write.plan = m_model.PlanWrite(write.total);
    if (write.plan.stallMs > 0) m_pausedUntil = Clock::now() + std::chrono::milliseconds(write.plan.stallMs);
    if (write.total == 0) return Finish(std::move(write));
    m_incoming.push_back(std::move(write));
    return true;
  }

  // WRITE_DATA: the next bytes of an incoming write. Data of a write that is
  // no longer coming in (completed, cancelled, never begun) is dropped.
  bool OnWriteData(const wire::Message& message) {
    auto write = std::find_if(m_incoming.begin(), m_incoming.end(),
                              [&message](const IncomingWrite& w) { return w.id == message.id; });
    if (write == m_incoming.end()) return true;
    // More data than the WRITE announced is a protocol error.
    if (message.payload.size() > write->total - write->data.size()) return false;
    write->data.insert(write->data.end(), message.payload.begin(), message.payload.end());
    if (write->data.size() < write->total) return true;
    IncomingWrite whole = std::move(*write);
    m_incoming.erase(write);
    return Finish(std::move(whole));
  }

  // All of a write's data is in: completes it as planned.
  bool Finish(IncomingWrite write) {
    const WritePlan& plan = write.plan;
    write.data.resize(std::min<size_t>(write.data.size(), plan.bytes));
    if (!plan.complete || plan.delayMs > 0) {
      PendingWrite held{write.id, std::nullopt, std::move(write.data)};
      if (plan.complete) held.due = Clock::now() + std::chrono::milliseconds(plan.delayMs);
      m_writes.push_back(std::move(held));
      return true;
    }
    return CompleteWrite(write.id, write.data.data(), write.data.size());
  }

  // Stores the bytes a WRITE took and reports them with status 0.
  bool CompleteWrite(uint32_t id, const uint8_t* data, size_t size) {
    const size_t taken = m_model.AppendPrintData(data, size);
    uint8_t done[8];
    wire::StoreU32(done, kStatusOk);
    wire::StoreU32(done + 4, static_cast<uint32_t>(taken));
    return Send(wire::kWriteDone, id, done, sizeof(done));
  }

  bool OnCancel(uint32_t id) {
    auto incoming = std::find_if(m_incoming.begin(), m_incoming.end(),
                                 [id](const IncomingWrite& w) { return w.id == id; });
    auto write =
        std::find_if(m_writes.begin(), m_writes.end(), [id](const PendingWrite& w) { return w.id == id; });
    if (incoming != m_incoming.end() || write != m_writes.end()) {
      // A WRITE still coming in, or held back, ends cancelled, having stored
      // nothing.
      if (incoming != m_incoming.end()) m_incoming.erase(incoming);
      if (write != m_writes.end()) m_writes.erase(write);
      uint8_t done[8];
      wire::StoreU32(done, kStatusCancelled);
      wire::StoreU32(done + 4, 0);
      return Send(wire::kWriteDone, id, done, sizeof(done));
    }
    // A transfer already completed (or never begun) ignores the CANCEL; a
    // READ that waits for a late reply is kept and completes with it later.
    const Replies::CancelResult cancel =
        m_replies.Cancel([id](const PendingRead& r) { return r.id == id; }, Clock::now());
    if (cancel != Replies::CancelResult::kCancelled) return true;
    return Complete(wire::kReadDone, id, kStatusCancelled);
  }

  // Gives a ready reply to the oldest waiting READ.
  bool ServeReads() {
    const std::optional<Replies::Delivery> served = m_replies.Serve();
    return !served || CompleteRead(served->read, served->frame);
  }

  // READ_DONE with the reply frame, cut to the READ's capacity.
  bool CompleteRead(const PendingRead& read, const std::vector<uint8_t>& frame) {
    const bool fits = frame.size() <= read.capacity;
    return Complete(wire::kReadDone, read.id, fits ? kStatusOk : kStatusMoreData, frame.data(),
                    fits ? frame.size() : read.capacity);
  }

  bool Complete(uint16_t type, uint32_t id, uint32_t status, const uint8_t* data = nullptr, size_t size = 0) {
    uint8_t head[wire::kHeaderSize + 4];
    wire::EncodeHeader(head, type, id, static_cast<uint32_t>(4 + size));
    wire::StoreU32(head + wire::kHeaderSize, status);
    return net::SendAll(m_socket.id(), head, sizeof(head), data, size);
  }

  bool Send(uint16_t type, uint32_t id, const uint8_t* payload, size_t size) {
    uint8_t head[wire::kHeaderSize];
    wire::EncodeHeader(head, type, id, static_cast<uint32_t>(size));
    return net::SendAll(m_socket.id(), head, sizeof(head), payload, size);
  }

  DeviceModel& m_model;
  net::Socket m_socket;
  std::vector<uint8_t> m_chunk = std::vector<uint8_t>(kReceiveChunk);
  wire::MessageParser m_input;  // received bytes not yet a whole message
  Replies m_replies;            // the reply to the last request frame, and the READs
  std::vector<IncomingWrite> m_incoming;
  std::vector<PendingWrite> m_writes;
  std::optional<Clock::time_point> m_pausedUntil;  // a stall: nothing is taken until then
};

// A connection that has not yet said what it wants.
struct EndpointServer::Opening {
  net::Socket socket;
  Clock::time_point due;
  wire::MessageParser input;
};

EndpointServer::~EndpointServer() { Stop(); }

bool EndpointServer::StartLocal(const std::string& folder, const std::string& path, std::string& error) {
  if (m_thread.joinable()) return true;
  std::string identity;
  net::Socket listener = net::ListenLocal(folder, path, identity, error);
  if (!listener) return false;
  m_path = path;
  m_identity = identity;
  if (!Start(std::move(listener), error)) {
    net::RemoveLocal(m_path, m_identity);
    m_path.clear();
    return false;
  }
  return true;
}

bool EndpointServer::StartTcp(const std::string& host, uint16_t& port, std::string& error) {
  if (m_thread.joinable()) return true;
  net::Socket listener = net::ListenTcp(host, port, error);
  if (!listener) return false;
  m_path.clear();
  return Start(std::move(listener), error);
}

bool EndpointServer::Start(net::Socket listener, std::string& error) {
  if (!m_wake.ok()) {
    error = "cannot make the wake-up of the serving thread";
    return false;
  }
  m_listener = std::move(listener);
  m_stop = false;
  m_dropHost = false;
  try {
    m_thread = std::thread(&EndpointServer::Run, this);
  } catch (const std::system_error& e) {
    error = std::string("cannot start the serving thread: ") + e.what();
    m_listener.Reset();
    return false;
  }
  return true;
}

void EndpointServer::Stop() {
  if (!m_thread.joinable()) return;
  // Unplugged first: the socket goes, then the connections.
  if (!m_path.empty()) net::RemoveLocal(m_path, m_identity);
  m_stop = true;
  m_wake.Wake();
  m_thread.join();
  m_listener.Reset();
}

void EndpointServer::DropHost() {
  m_dropHost = true;
  m_wake.Wake();
}

// The serving thread's state: the host that holds the device, if any, and
// the connections still opening. Lives as long as one Run().
class EndpointServer::Loop {
 public:
  explicit Loop(EndpointServer& server) : m_server(server) {}
  ~Loop() { CloseHost(); }
  Loop(const Loop&) = delete;
  Loop& operator=(const Loop&) = delete;

  void Run() {
    bool active = false;  // the host sent something in the last round
    while (!m_server.m_stop) {
      const Round round = Poll(active);
      active = false;
      if (m_server.m_stop) break;
      if (m_server.m_dropHost.exchange(false)) CloseHost();
      // The host's messages and its end of the connection come before a new
      // host: a host that closed before the next one opened has let go of
      // the device, and the next one must not be refused as busy.
      if (m_host && round.hostPolled && m_generation == round.generation && round.readable[round.count - 1]) {
        active = true;
        if (!m_host->OnReadable()) CloseHost();
      }
      ServeOpenings(round.readable.get());
      if (round.readable[0]) Accept();
      if (m_host && !m_host->OnTimers()) CloseHost();
    }
  }

 private:
  // What one wait found: which of the polled sockets are readable (the
  // listener first, then the openings, then the host when it was polled).
  struct Round {
    std::unique_ptr<bool[]> readable;
    size_t count;
    uint64_t generation;  // the host polled in this round; 0 for none
    bool hostPolled;
  };

  Round Poll(bool active) {
    m_ids.clear();
    m_ids.push_back(m_server.m_listener.id());
    for (const Opening& opening : m_openings) m_ids.push_back(opening.socket.id());
    // A stalled device takes nothing from its host (not even the end of the
    // connection) until the stall is over.
    const bool hostPolled = m_host && !m_host->Paused();
    if (hostPolled) m_ids.push_back(m_host->socket());
    // (The time point goes apart from its flag: GCC 12 for i686 takes an
    // empty optional's time for uninitialized even behind the flag's test.)
    const std::optional<Clock::time_point> hostDue = m_host ? m_host->NextDue() : std::nullopt;
    bool anyDue = hostDue.has_value();
    Clock::time_point due = hostDue.value_or(Clock::time_point());
    for (const Opening& opening : m_openings) {
      if (!anyDue || opening.due < due) due = opening.due;
      anyDue = true;
    }
    Round round{std::unique_ptr<bool[]>(new bool[m_ids.size()]()), m_ids.size(), m_host ? m_generation : 0,
                hostPolled};
    // Right after a message of the host, its next one is expected soon.
    m_server.m_wake.Wait(m_ids.data(), round.readable.get(), m_ids.size(), PollTimeout(anyDue, due),
                         active ? kSpinMicros : 0);
    return round;
  }

  // Marked gone before the socket closes, so that a host that sees the end
  // of its connection finds HostConnected() false.
  void CloseHost() {
    if (!m_host) return;
    m_server.m_model.SetHostConnected(false);
    m_host.reset();
  }

  // The connections still opening: their OPEN, or their time to say it.
  // `readable` is the round's, whose openings start at its second entry.
  void ServeOpenings(const bool* readable) {
    const Clock::time_point now = Clock::now();
    std::vector<Opening> waiting;
    for (size_t i = 0; i < m_openings.size(); ++i) {
      Opening& opening = m_openings[i];
      bool keep = true;
      if (readable[i + 1]) keep = TakeOpen(opening);
      if (keep && opening.due <= now) {
        // A host that waits for the device to speak first: of a version
        // before the version field. It gets that version's OPEN, refusing.
        uint8_t legacy[wire::kHeaderSize + 4];
        wire::EncodeHeader(legacy, wire::kOpen, 0, 4);
        wire::StoreU32(legacy + wire::kHeaderSize, wire::kOpenVersionMismatch);
        net::SendAll(opening.socket.id(), legacy, sizeof(legacy));
        keep = false;
      }
      if (keep) waiting.push_back(std::move(opening));
    }
    m_openings = std::move(waiting);
  }

  // Reads what an opening connection sent; answers its OPEN once whole.
  // False when the connection is done with (answered, gone or not speaking
  // the protocol).
  bool TakeOpen(Opening& opening) {
    uint8_t buffer[256];
    const long n = net::ReceiveSome(opening.socket.id(), buffer, sizeof(buffer));
    if (n == 0) return false;  // gone before it said anything
    if (n < 0) return true;
    opening.input.Feed(buffer, static_cast<size_t>(n));
    wire::Message open;
    const wire::MessageParser::Result parsed = opening.input.Next(open);
    if (parsed == wire::MessageParser::Result::kNeedMore) return true;
    if (parsed == wire::MessageParser::Result::kMessage) Answer(opening, open);
    return false;
  }

  // Answers the OPEN of a new connection: the host of the device, or a
  // refusal (busy, another version), or a probe's answer.
  void Answer(Opening& opening, const wire::Message& open) {
    if (open.type != wire::kOpen || open.payload.size() != wire::kOpenRequestSize) return;
    const uint32_t version = wire::LoadU32(open.payload.data());
    const uint32_t purpose = wire::LoadU32(open.payload.data() + 4);
    // A purpose this version does not know is a protocol error: closed
    // without an answer.
    if (version == wire::kProtocolVersion && purpose != static_cast<uint32_t>(wire::OpenPurpose::kUse) &&
        purpose != static_cast<uint32_t>(wire::OpenPurpose::kProbe)) {
      return;
    }
    const bool probe = purpose == static_cast<uint32_t>(wire::OpenPurpose::kProbe);
    uint32_t status = m_host ? wire::kOpenBusy : wire::kOpenGranted;
    if (version != wire::kProtocolVersion) status = wire::kOpenVersionMismatch;
    const std::vector<uint8_t> reply = wire::EncodeOpenAnswer(status);
    if (!probe && status != wire::kOpenVersionMismatch) {
      // Counted before the OPEN goes out, so that a host holding its OPEN
      // finds itself counted.
      m_server.m_model.NoteConnection(status == wire::kOpenGranted);
    }
    if (probe || status != wire::kOpenGranted) {
      net::SendAll(opening.socket.id(), reply.data(), reply.size());
      return;
    }
    m_host = std::make_unique<Session>(m_server.m_model, std::move(opening.socket), std::move(opening.input));
    ++m_generation;
    m_server.m_model.SetHostConnected(true);
    if (!net::SendAll(m_host->socket(), reply.data(), reply.size()) || !m_host->HandleInput()) CloseHost();
  }

  void Accept() {
    for (;;) {
      net::Socket accepted = net::Accept(m_server.m_listener.id());
      if (!accepted) break;
      m_openings.push_back(Opening{std::move(accepted), Clock::now() + kOpenWait, {}});
    }
  }

  EndpointServer& m_server;
  std::unique_ptr<Session> m_host;
  std::vector<Opening> m_openings;
  uint64_t m_generation = 1;  // counts the hosts; 0 stands for none
  std::vector<net::SocketId> m_ids;
};

void EndpointServer::Run() {
  Loop loop(*this);
  loop.Run();
}

}  // namespace norvex::emu
