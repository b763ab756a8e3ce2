// posix_windows.cpp: the window stand-in of the POSIX build: windows owned
// by threads, device notification registrations, call-window-procedure hooks
// per thread, and the device's presence watched so that it becomes arrival
// and removal notifications: the device folder with inotify (endpoints that
// come and go), and for a device reached over the network its connection (a
// lost connection is a removal) and, while none is open, a probe of its
// address now and then (a device that answers again is an arrival).
#include "platform/posix/posix_windows.h"

#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/device/device_address.h"
#include "platform/device/endpoint_driver.h"
#include "platform/posix/posix_driver.h"
#include "platform/posix/posix_fd.h"
#include "platform/posix/posix_stream.h"
#include "platform/posix/tcp_transport.h"
#include "platform/posix/unix_transport.h"

namespace norvex::platform {
namespace {

struct WindowRecord {
  std::thread::id owner;
};

struct RegistrationRecord {
  Window window;
  bool forHandle;  // a handle's removal, else arrivals of the class
  Guid interfaceClass;
  Handle device;         // forHandle only
  Registration parent;   // forHandle only
  std::string endpoint;  // forHandle only: the device's endpoint path
};

struct HookRecord {
  std::thread::id thread;
  HookProcedure procedure;
};

using device::Clock;

// How often a network device's address is probed while none is open, and
// how long one probe may take.
constexpr std::chrono::milliseconds kProbeInterval{250};
constexpr std::chrono::milliseconds kProbeWait{500};

// The per-thread watch of the device folder, made with the thread's first
// window and dropped with its last; and the time of the thread's last probe.
struct FolderWatch {
  UniqueFd inotify;
  std::string folder;
  Clock::time_point lastProbe{};
};

// The window system's state is process-wide, as a window system's is.
class Registry {
 public:
  static Registry& Get() {
    static Registry registry;
    return registry;
  }

  Window CreateWindowForThisThread() {
    std::lock_guard<std::mutex> hold(m_lock);
    const auto self = std::this_thread::get_id();
    if (m_watches.count(self) == 0) {
      FolderWatch watch;
      const device::DeviceAddress address = device::ConfiguredDeviceAddress(Host());
      watch.folder = address.kind == device::DeviceAddress::Kind::kLocal
                         ? address.folder
                         : unix_transport::DefaultDeviceFolder();
      unix_transport::MakeDeviceFolder(watch.folder);
      watch.inotify = UniqueFd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
      if (watch.inotify) {
        ::inotify_add_watch(watch.inotify.get(), watch.folder.c_str(),
                            IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM);
      }
      m_watches.emplace(self, std::move(watch));
    }
    Window window = NextId();
    m_windows[window] = WindowRecord{self};
    return window;
  }

  bool IsOwnWindow(Window window) {
    std::lock_guard<std::mutex> hold(m_lock);
    auto it = m_windows.find(window);
    return it != m_windows.end() && it->second.owner == std::this_thread::get_id();
  }

  void ForgetWindow(Window window) {
    std::lock_guard<std::mutex> hold(m_lock);
    auto it = m_windows.find(window);
    if (it == m_windows.end()) return;
    const auto owner = it->second.owner;
    m_windows.erase(it);
    bool ownerHasMore = std::any_of(m_windows.begin(), m_windows.end(),
                                    [&](const auto& w) { return w.second.owner == owner; });
    if (!ownerHasMore) m_watches.erase(owner);
  }

  Registration Register(RegistrationRecord record) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_windows.count(record.window) == 0) return nullptr;
    Registration id = NextId();
    m_registrations[id] = std::move(record);
    return id;
  }

  bool Unregister(Registration id) {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_registrations.erase(id) != 0;
  }

  Hook AddHook(HookProcedure procedure) {
    if (procedure == nullptr) return nullptr;
    std::lock_guard<std::mutex> hold(m_lock);
    Hook id = NextId();
    // The newest hook is called first.
    m_hookOrder.insert(m_hookOrder.begin(), id);
    m_hooks[id] = HookRecord{std::this_thread::get_id(), procedure};
    return id;
  }

  bool RemoveHook(Hook id) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_hooks.erase(id) == 0) return false;
    m_hookOrder.erase(std::find(m_hookOrder.begin(), m_hookOrder.end(), id));
    return true;
  }

  // The hook after `after` (or the first one for null) of the calling
  // thread's chain.
  bool NextHook(Hook after, Hook& next, HookProcedure& procedure) {
    std::lock_guard<std::mutex> hold(m_lock);
    const auto self = std::this_thread::get_id();
    auto it = m_hookOrder.begin();
    if (after != nullptr) {
      it = std::find(m_hookOrder.begin(), m_hookOrder.end(), after);
      if (it == m_hookOrder.end()) return false;
      ++it;
    }
    for (; it != m_hookOrder.end(); ++it) {
      const HookRecord& record = m_hooks[*it];
      if (record.thread == self) {
        next = *it;
        procedure = record.procedure;
        return true;
      }
    }
    return false;
  }

  // The inotify descriptor and folder of the calling thread's watch.
  bool ThreadWatch(int& fd, std::string& folder) {
    std::lock_guard<std::mutex> hold(m_lock);
    auto it = m_watches.find(std::this_thread::get_id());
    if (it == m_watches.end() || !it->second.inotify) return false;
    fd = it->second.inotify.get();
    folder = it->second.folder;
    return true;
  }

  // The calling thread's registrations: of handles, or of arrivals.
  std::vector<RegistrationRecord> OfThisThread(bool forHandle) {
    std::lock_guard<std::mutex> hold(m_lock);
    const auto self = std::this_thread::get_id();
    std::vector<RegistrationRecord> out;
    for (const auto& [id, record] : m_registrations) {
      auto window = m_windows.find(record.window);
      if (window != m_windows.end() && window->second.owner == self && record.forHandle == forHandle) {
        out.push_back(record);
      }
    }
    return out;
  }

  // Whether the calling thread is due a probe now; marks it made.
  bool ProbeDue(Clock::time_point now, Clock::time_point& next) {
    std::lock_guard<std::mutex> hold(m_lock);
    auto it = m_watches.find(std::this_thread::get_id());
    if (it == m_watches.end()) return false;
    next = it->second.lastProbe + kProbeInterval;
    if (now < next) return false;
    it->second.lastProbe = now;
    next = now + kProbeInterval;
    return true;
  }

  // The registrations of the calling thread's windows that a change of
  // `endpoint` concerns.
  std::vector<RegistrationRecord> Interested(bool arrival, const std::string& endpoint) {
    std::lock_guard<std::mutex> hold(m_lock);
    const auto self = std::this_thread::get_id();
    std::vector<RegistrationRecord> out;
    for (const auto& [id, record] : m_registrations) {
      auto window = m_windows.find(record.window);
      if (window == m_windows.end() || window->second.owner != self) continue;
      if (arrival ? !record.forHandle : (record.forHandle && record.endpoint == endpoint)) {
        out.push_back(record);
      }
    }
    return out;
  }

 private:
  void* NextId() {
    m_nextId += 4;
    return reinterpret_cast<void*>(m_nextId);
  }

  std::mutex m_lock;
  uintptr_t m_nextId = 0x10000;
  std::map<Window, WindowRecord> m_windows;
  std::map<Registration, RegistrationRecord> m_registrations;
  std::map<Hook, HookRecord> m_hooks;
  std::vector<Hook> m_hookOrder;
  std::map<std::thread::id, FolderWatch> m_watches;
};

// Runs the calling thread's hook chain for one message; the window itself
// has no procedure of its own.
void RunHooks(Window window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  HookMessage record{lParam, wParam, message, window};
  Hook first = nullptr;
  HookProcedure procedure = nullptr;
  if (Registry::Get().NextHook(nullptr, first, procedure)) {
    procedure(0, 0, reinterpret_cast<intptr_t>(&record));
  }
}

class PosixWindowSystem final : public WindowSystem {
 public:
  // The registry is made with the window system, so that it outlives every
  // object (the library's among them) that was given the window system.
  PosixWindowSystem() { Registry::Get(); }

  Registration RegisterInterfaceNotification(Window window, const Guid& interfaceClass) override {
    return Registry::Get().Register(
        RegistrationRecord{window, false, interfaceClass, kInvalidHandle, nullptr, {}});
  }
  Registration RegisterHandleNotification(Window window, Handle device, Registration parent,
                                          const Guid& interfaceClass) override {
    std::string endpoint = PosixDeviceEndpoint(device);
    if (endpoint.empty()) return nullptr;
    return Registry::Get().Register(
        RegistrationRecord{window, true, interfaceClass, device, parent, std::move(endpoint)});
  }
  bool UnregisterNotification(Registration registration) override {
    return Registry::Get().Unregister(registration);
  }
  Hook InstallHook(HookProcedure procedure) override { return Registry::Get().AddHook(procedure); }
  bool RemoveHook(Hook hook) override { return Registry::Get().RemoveHook(hook); }
  intptr_t CallNextHook(Hook hook, int code, uintptr_t wParam, intptr_t lParam) override {
    Hook next = nullptr;
    HookProcedure procedure = nullptr;
    if (hook == nullptr || !Registry::Get().NextHook(hook, next, procedure)) return 0;
    return procedure(code, wParam, lParam);
  }
};

bool IsSocket(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

}  // namespace

WindowSystem& Windows() {
  static PosixWindowSystem windows;
  return windows;
}

namespace posix_windows {

Window CreateWindow() { return Registry::Get().CreateWindowForThisThread(); }

bool SendToWindow(Window window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  if (!Registry::Get().IsOwnWindow(window)) return false;
  RunHooks(window, message, wParam, lParam);
  return true;
}

bool DestroyWindow(Window window) {
  if (!SendToWindow(window, kWmDestroy, 0, 0)) return false;
  Registry::Get().ForgetWindow(window);
  return true;
}

namespace {

void SendArrival(const RegistrationRecord& record) {
  BroadcastDeviceInterface broadcast{};
  broadcast.header = {sizeof(broadcast), kDbtDevtypDeviceInterface, 0};
  broadcast.classGuid = record.interfaceClass;
  SendToWindow(record.window, kWmDeviceChange, kDbtDeviceArrival, reinterpret_cast<intptr_t>(&broadcast));
}

void SendRemoval(const RegistrationRecord& record) {
  BroadcastHandle broadcast{};
  broadcast.header = {sizeof(broadcast), kDbtDevtypHandle, 0};
  broadcast.handle = record.device;
  broadcast.notification = record.parent;
  broadcast.eventGuid = record.interfaceClass;
  SendToWindow(record.window, kWmDeviceChange, kDbtDeviceRemoveComplete,
               reinterpret_cast<intptr_t>(&broadcast));
}

// Whether the device at a network address answers a probe as free: it is
// there and would be granted. The probe never takes it from another host.
bool NetworkDeviceFree(const device::DeviceAddress& address) {
  const Clock::time_point deadline = Clock::now() + kProbeWait;
  uint32_t error = 0;
  return device::ProbeFree(tcp_transport::Connect(address.host, address.port, deadline, error), deadline);
}

// The folder's changes: arrivals and removals of endpoints. Returns how
// many messages were sent.
uint32_t DeliverFolderChanges(int fd, const std::string& folder) {
  uint32_t sent = 0;
  alignas(struct inotify_event) char buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof(buffer));
    if (n <= 0) break;
    for (ssize_t offset = 0; offset < n;) {
      const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + offset);
      offset += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
      if (event->len == 0 || event->name[0] == '.') continue;  // hidden: a device still setting up
      const std::string path = folder + "/" + event->name;
      const bool arrival = (event->mask & (IN_CREATE | IN_MOVED_TO)) != 0;
      if (arrival && !IsSocket(path)) continue;
      for (const RegistrationRecord& record : Registry::Get().Interested(arrival, path)) {
        if (arrival) {
          SendArrival(record);
        } else {
          SendRemoval(record);
        }
        ++sent;
      }
    }
  }
  return sent;
}

}  // namespace

uint32_t DispatchMessages(uint32_t timeoutMs) {
  int fd = -1;
  std::string folder;
  if (!Registry::Get().ThreadWatch(fd, folder)) return 0;
  const Clock::time_point end =
      Clock::now() + std::chrono::milliseconds(timeoutMs > 0x7FFFFFFF ? 0 : timeoutMs);
  const bool forever = timeoutMs > 0x7FFFFFFF;
  uint32_t sent = 0;
  for (bool first = true;; first = false) {
    // A network device: its connection, polled for its end, and its
    // address, probed while it is not open.
    std::vector<struct pollfd> watched{{fd, POLLIN, 0}};
    bool networkOpen = false;
    for (const RegistrationRecord& record : Registry::Get().OfThisThread(true)) {
      int socket = -1;
      const bool alive = PosixNetworkDeviceAlive(record.device, socket);
      if (socket < 0) continue;  // not a network device
      networkOpen = true;
      if (alive) {
        watched.push_back({socket, POLLIN, 0});
      } else {
        SendRemoval(record);
        ++sent;
      }
    }
    const device::DeviceAddress address = device::ConfiguredDeviceAddress(Host());
    const std::vector<RegistrationRecord> arrivals = Registry::Get().OfThisThread(false);
    Clock::time_point nextProbe = Clock::time_point::max();
    if (address.IsNetwork() && !networkOpen && !arrivals.empty() &&
        Registry::Get().ProbeDue(Clock::now(), nextProbe) && NetworkDeviceFree(address)) {
      for (const RegistrationRecord& record : arrivals) {
        SendArrival(record);
        ++sent;
      }
    }
    if (sent > 0 || (!first && !forever && Clock::now() >= end)) return sent;
    Clock::time_point until = forever ? Clock::time_point::max() : end;
    if (address.IsNetwork() && !networkOpen && !arrivals.empty()) until = std::min(until, nextProbe);
    const int wait = until == Clock::time_point::max() ? -1 : posix_stream::PollTimeout(until);
    const int ready = ::poll(watched.data(), watched.size(), wait);
    if (ready > 0 && (watched[0].revents & POLLIN) != 0) sent += DeliverFolderChanges(fd, folder);
    if (sent > 0) return sent;
    if (!forever && Clock::now() >= end && !(ready > 0)) return 0;
  }
}

}  // namespace posix_windows
}  // namespace norvex::platform
