// notice_hook.cpp: the removal notice's message hook (notice_hook.h). It is
// built into norvex-standin-notice.dll, which Windows loads into a host
// process when norvex-standin.exe hooks the host's thread, and into the
// emulator controls of the tests, whose windows are their own.
#include "notice_hook.h"

// clang-format off
#include <dbt.h>
// clang-format on

extern "C" LRESULT CALLBACK NorvexStandInNoticeHook(int code, WPARAM wParam, LPARAM lParam) {
  static const UINT notice = ::RegisterWindowMessageA(norvex::standin::kNoticeMessageName);
  auto* message = reinterpret_cast<MSG*>(lParam);
  if (code == HC_ACTION && wParam == PM_REMOVE && message != nullptr && notice != 0 &&
      message->message == notice) {
    DEV_BROADCAST_HANDLE record{};
    record.dbch_size = sizeof(record);
    record.dbch_devicetype = DBT_DEVTYP_HANDLE;
    record.dbch_handle = reinterpret_cast<HANDLE>(message->wParam);
    record.dbch_nameoffset = -1;
    HWND window = message->hwnd;
    // The posted message itself goes no further.
    message->message = WM_NULL;
    ::SendMessageA(window, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<LPARAM>(&record));
    HANDLE delivered = ::OpenSemaphoreA(
        SEMAPHORE_MODIFY_STATE, FALSE, norvex::standin::NoticeSemaphoreName(::GetCurrentProcessId()).c_str());
    if (delivered != nullptr) {
      ::ReleaseSemaphore(delivered, 1, nullptr);
      ::CloseHandle(delivered);
    }
  }
  return ::CallNextHookEx(nullptr, code, wParam, lParam);
}
