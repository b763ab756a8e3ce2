// notice_hook.h: the message hook that hands a platesetter's removal notice
// to a host window from inside the host's own thread (standin_client.h says
// why). The stand-in's tools post kNoticeMessage, with the host's device
// handle as wParam, to the host's windows; the hook, installed for their
// thread as WH_GETMESSAGE, takes it off the queue and sends the window
// WM_DEVICECHANGE / DBT_DEVICEREMOVECOMPLETE with a DEV_BROADCAST_HANDLE
// record carrying that handle, then counts the delivery on the semaphore
// named by NoticeSemaphoreName(process).
#pragma once

#include <windows.h>

#include <string>

namespace norvex::standin {

inline constexpr char kNoticeMessageName[] = "NorvexStandInRemovalNotice";
inline constexpr char kNoticeHookName[] = "NorvexStandInNoticeHook";
inline constexpr char kNoticeModuleName[] = "norvex-standin-notice.dll";

inline std::string NoticeSemaphoreName(DWORD process) {
  return "Local\\NorvexStandInNotice." + std::to_string(process);
}

}  // namespace norvex::standin

extern "C" LRESULT CALLBACK NorvexStandInNoticeHook(int code, WPARAM wParam, LPARAM lParam);
