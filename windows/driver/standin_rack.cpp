// standin_rack.cpp: the emulated platesetters and their control requests.
#include "standin_rack.h"

#include <algorithm>
#include <utility>

#include "standin_protocol.h"

namespace norvex::standin {
namespace {

void Answer(std::vector<uint8_t>& answer, uint32_t status, const Writer& body = Writer()) {
  answer = emu::control::Answer(status, body);
}

}  // namespace

Rack::Rack(Bus& bus) : m_bus(bus), m_clock(&Rack::Run, this) {}

Rack::~Rack() {
  {
    std::lock_guard<std::mutex> lock(m_mu);
    m_stop = true;
  }
  m_wake.notify_all();
  m_clock.join();
  // Nothing is left pending: the hosts' transfers end as at an unplug, the
  // waits as cancelled.
  Completions completions;
  for (Waiter& waiter : m_waiters) {
    if (m_bus.Disarm(waiter.transfer)) completions.push_back(Done(waiter.transfer, kStatusCancelled));
  }
  for (auto& entry : m_entries) {
    Completions dropped = entry.second.machine->DropHost();
    completions.insert(completions.end(), std::make_move_iterator(dropped.begin()),
                       std::make_move_iterator(dropped.end()));
  }
  m_bus.Complete(completions);
}

void Rack::Operate(uintptr_t owner, const uint8_t* request, size_t size, std::vector<uint8_t>& answer) {
  Reader r(request, size);
  const Op op = static_cast<Op>(r.U32());
  const uint32_t id = r.U32();
  std::unique_lock<std::mutex> lock(m_mu);
  if (op == Op::kCreate || op == Op::kCreateKept) return Create(op == Op::kCreate ? owner : 0, r, answer);
  if (op == Op::kFind) {
    const std::string name = r.Text();
    uint32_t found = 0;
    for (const auto& entry : m_entries) {
      if (entry.second.name == name) found = entry.first;
    }
    return Answer(answer, kAnswerOk, Writer().U32(found));
  }

  const auto it = m_entries.find(id);
  if (it == m_entries.end()) return Answer(answer, kAnswerNoMachine);
  if (op == Op::kDestroy) {
    Destroy(lock, id);
    return Answer(answer, kAnswerOk);
  }
  Entry& entry = it->second;
  Writer out;
  bool presenceChanged = false;
  Completions completions;
  const bool known = Present(op, entry, completions, presenceChanged, out) ||
                     emu::control::ApplyMachineControl(op, entry.machine->Model(), r, out);
  if (!known || !r.ok()) return Answer(answer, kAnswerBadRequest);
  Answer(answer, kAnswerOk, out);
  lock.unlock();
  m_bus.Complete(completions);
  if (presenceChanged) m_bus.PresenceChanged();
  Tick();
}

void Rack::Create(uintptr_t owner, Reader& r, std::vector<uint8_t>& answer) {
  const emu::EmulatorOptions options = GetOptions(r);
  if (!r.ok()) return Answer(answer, kAnswerBadRequest);
  for (const auto& entry : m_entries) {
    if (entry.second.name == options.name) {
      return Answer(answer, kAnswerFailed, Writer().Text("another platesetter is named " + options.name));
    }
  }
  const uint32_t made = m_nextId++;
  Entry& entry = m_entries[made];
  entry.machine = std::make_shared<Machine>(options, m_bus);
  entry.name = options.name;
  entry.owner = owner;
  Answer(answer, kAnswerOk, Writer().U32(made));
}

bool Rack::Present(Op op, Entry& entry, Completions& completions, bool& presenceChanged, Writer& out) {
  switch (op) {
    case Op::kPlug:
      presenceChanged = !entry.plugged;
      entry.plugged = true;
      return true;
    case Op::kUnplug:
      presenceChanged = entry.plugged;
      entry.plugged = false;
      completions = entry.machine->DropHost();
      return true;
    case Op::kIsPlugged:
      out.U8(entry.plugged);
      return true;
    case Op::kDropHost:
      completions = entry.machine->DropHost();
      return true;
    case Op::kHostOf:
      out.U64(entry.machine->HostOf());
      return true;
    default:
      return false;
  }
}

void Rack::Destroy(std::unique_lock<std::mutex>& lock, uint32_t id) {
  const auto it = m_entries.find(id);
  if (it == m_entries.end()) return;
  const bool wasPlugged = it->second.plugged;
  std::shared_ptr<Machine> machine = std::move(it->second.machine);
  m_entries.erase(it);
  lock.unlock();
  Completions completions = machine->DropHost();
  m_bus.Complete(completions);
  if (wasPlugged) m_bus.PresenceChanged();
  lock.lock();
}

void Rack::Wait(uintptr_t owner, Transfer transfer, const uint8_t* request, size_t size) {
  Reader r(request, size);
  Waiter waiter{transfer, owner, static_cast<Op>(r.U32()), r.U32(), 0, false, {}};
  if (waiter.op == Op::kWaitForFrames) {
    waiter.count = r.U32();
  } else {
    waiter.flag = r.U8() != 0;
  }
  waiter.deadline = Clock::now() + std::chrono::milliseconds(r.U32());
  Completions completions;
  {
    std::lock_guard<std::mutex> lock(m_mu);
    const bool known = waiter.op == Op::kWaitForFrames || waiter.op == Op::kWaitForHost ||
                       waiter.op == Op::kWaitForInterface;
    std::vector<uint8_t> answer;
    if (!r.ok() || !known) {
      Answer(answer, kAnswerBadRequest);
    } else if (m_entries.count(waiter.id) == 0) {
      Answer(answer, kAnswerNoMachine);
    } else if (!m_bus.Arm(transfer)) {
      completions.push_back(Done(transfer, kStatusCancelled));
    } else {
      m_waiters.push_back(waiter);
    }
    if (!answer.empty()) completions.push_back(Done(transfer, kStatusSuccess, answer.size(), answer));
  }
  m_bus.Complete(completions);
  m_wake.notify_all();
  Tick();
}

bool Rack::CancelWait(Transfer transfer) {
  std::lock_guard<std::mutex> lock(m_mu);
  const auto it = std::find_if(m_waiters.begin(), m_waiters.end(),
                               [&](const Waiter& w) { return w.transfer == transfer; });
  if (it == m_waiters.end()) return false;
  m_waiters.erase(it);
  return true;
}

void Rack::ReleaseOwner(uintptr_t owner) {
  Completions completions;
  std::unique_lock<std::mutex> lock(m_mu);
  for (auto it = m_waiters.begin(); it != m_waiters.end();) {
    if (it->owner == owner) {
      if (m_bus.Disarm(it->transfer)) completions.push_back(Done(it->transfer, kStatusCancelled));
      it = m_waiters.erase(it);
    } else {
      ++it;
    }
  }
  std::vector<uint32_t> owned;
  for (const auto& entry : m_entries) {
    if (entry.second.owner == owner) owned.push_back(entry.first);
  }
  for (uint32_t id : owned) Destroy(lock, id);
  lock.unlock();
  m_bus.Complete(completions);
}

std::vector<Rack::Child> Rack::PresentChildren() {
  std::lock_guard<std::mutex> lock(m_mu);
  std::vector<Child> children;
  for (const auto& entry : m_entries) {
    if (entry.second.plugged) children.push_back(Child{entry.first, entry.second.name});
  }
  return children;
}

std::shared_ptr<Machine> Rack::Find(uint32_t id) {
  std::lock_guard<std::mutex> lock(m_mu);
  const auto it = m_entries.find(id);
  return it == m_entries.end() ? nullptr : it->second.machine;
}

bool Rack::IsPresent(uint32_t id) {
  std::lock_guard<std::mutex> lock(m_mu);
  const auto it = m_entries.find(id);
  return it != m_entries.end() && it->second.plugged;
}

void Rack::InterfaceChanged(uint32_t id, bool enabled) {
  {
    std::lock_guard<std::mutex> lock(m_mu);
    const auto it = m_entries.find(id);
    if (it != m_entries.end()) it->second.interfaceOn = enabled;
  }
  Tick();
}

bool Rack::HeldLocked(const Waiter& waiter) {
  const auto it = m_entries.find(waiter.id);
  if (it == m_entries.end()) return false;
  emu::DeviceModel& model = it->second.machine->Model();
  switch (waiter.op) {
    case Op::kWaitForFrames:
      return model.WaitForFrames(waiter.count, std::chrono::milliseconds(0));
    case Op::kWaitForHost:
      return model.HostConnected() == waiter.flag;
    case Op::kWaitForInterface:
      return it->second.interfaceOn == waiter.flag;
    default:
      return false;
  }
}

void Rack::Tick() {
  Completions completions;
  const Clock::time_point now = Clock::now();
  std::vector<std::shared_ptr<Machine>> machines;
  {
    std::lock_guard<std::mutex> lock(m_mu);
    for (auto it = m_waiters.begin(); it != m_waiters.end();) {
      const bool held = HeldLocked(*it);
      if (held || it->deadline <= now) {
        std::vector<uint8_t> answer;
        Answer(answer, m_entries.count(it->id) ? kAnswerOk : kAnswerNoMachine, Writer().U8(held));
        // A wait that a cancel has ends cancelled instead.
        if (m_bus.Disarm(it->transfer)) {
          completions.push_back(Done(it->transfer, kStatusSuccess, answer.size(), answer));
        }
        it = m_waiters.erase(it);
      } else {
        ++it;
      }
    }
    for (const auto& entry : m_entries) machines.push_back(entry.second.machine);
  }
  for (const auto& machine : machines) {
    Completions due = machine->Tick(now);
    completions.insert(completions.end(), std::make_move_iterator(due.begin()),
                       std::make_move_iterator(due.end()));
  }
  m_bus.Complete(completions);
}

void Rack::Run() {
  std::unique_lock<std::mutex> lock(m_mu);
  while (!m_stop) {
    // The next moment anything is due: a wait's time-out or a delayed
    // transfer of a platesetter.
    std::optional<Clock::time_point> next;
    for (const Waiter& waiter : m_waiters) {
      if (!next || waiter.deadline < *next) next = waiter.deadline;
    }
    std::vector<std::shared_ptr<Machine>> machines;
    for (const auto& entry : m_entries) machines.push_back(entry.second.machine);
    lock.unlock();
    for (const auto& machine : machines) {
      const std::optional<Clock::time_point> due = machine->NextDue();
      if (due && (!next || *due < *next)) next = due;
    }
    lock.lock();
    if (m_stop) break;
    // Woken by a new request, or at the next due moment (at most a second
    // later, so that a transfer queued meanwhile is never missed for long).
    const Clock::time_point until = next ? std::min(*next, Clock::now() + std::chrono::seconds(1))
                                         : Clock::now() + std::chrono::seconds(1);
    m_wake.wait_until(lock, until);
    lock.unlock();
    Tick();
    lock.lock();
  }
}

}  // namespace norvex::standin
