// standin_client.h: a Windows program's side of the stand-in driver's control
// device: the requests of standin_protocol.h, and the removal notice that the
// driver's host gets when its platesetter is unplugged.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "standin_protocol.h"

namespace norvex::standin {

// One handle of the control device "\\.\NorvexStandIn" (opened when made;
// every request fails when the stand-in is not running). The platesetters
// made through it with Op::kCreate go when it closes.
class ControlChannel {
 public:
  ControlChannel();
  ~ControlChannel();
  ControlChannel(const ControlChannel&) = delete;
  ControlChannel& operator=(const ControlChannel&) = delete;

  bool IsOpen() const { return m_handle != nullptr; }
  // Sends `request` (an operation word, a platesetter id and the arguments)
  // as kIoctlOperation, or kIoctlWait when `wait` is set, and gives the
  // answer's body. False, with the reason in `error`, when the request did
  // not get an answer of status kAnswerOk.
  bool Call(const Writer& request, std::vector<uint8_t>& body, std::string& error, bool wait = false) const;

 private:
  void* m_handle = nullptr;
};

// The removal of a platesetter that a host holds open, as Windows reports it
// and Wine 8 does not: WM_DEVICECHANGE with DBT_DEVICEREMOVECOMPLETE and a
// DEV_BROADCAST_HANDLE record carrying the host's handle, to the host's
// windows. Wine neither sends handle notifications nor gives a message hook
// the right record when WM_DEVICECHANGE comes from another process, so the
// notice is sent from the host's own thread: a message hook of ours
// (notice_hook.h) is installed for the threads of the host's windows, and a
// posted message makes it send the notice there
// (docs/windows-host-guide.md, "Trying a host under wine").
struct HostHandle {
  uint32_t process = 0;
  uintptr_t handle = 0;  // 0: not found
};
// Finds the process and handle that hold the platesetter's open number
// `openNumber`: among the handles of every process (Wine's driver cannot
// tell who opened it), those whose object is a platesetter device object
// ("\\Device\\NorvexPlatesetter<n>") are asked kIoctlIdentifyOpen.
HostHandle FindHostHandle(uint64_t openNumber);

// One removal notice on its way: the hooks stay until it goes.
class RemovalNotice {
 public:
  RemovalNotice() = default;
  ~RemovalNotice();
  RemovalNotice(const RemovalNotice&) = delete;
  RemovalNotice& operator=(const RemovalNotice&) = delete;

  // Hooks the threads of the host's windows and posts the notice to each of
  // them. Returns the windows posted to (0 also when it could not hook).
  // For another process the hook comes from norvex-standin-notice.dll
  // beside this program, which must be of the host's bitness.
  int Post(const HostHandle& host, std::string& error);
  // Waits until `count` of the notices were sent, at most `timeoutMs`.
  bool WaitDelivered(int count, uint32_t timeoutMs);

 private:
  std::vector<void*> m_hooks;
  void* m_module = nullptr;
  void* m_delivered = nullptr;  // the semaphore the hook counts on
};

// Plugs the platesetter `name` (made when missing; it stays until the
// stand-in stops) and waits until its interface can be found. False with
// the reason in `error`.
bool PlugKept(const std::string& name, std::string& error);
// Unplugs it, waits until its interface is gone, and sends the removal
// notice to the host that held it open; `report` says what was done.
bool UnplugKept(const std::string& name, std::string& report, std::string& error);

}  // namespace norvex::standin
