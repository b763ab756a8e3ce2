// listening_environment.cpp: makes sure, before the hot-plug tests run under
// wine, that the process already listens for device events.
//
// Wine 8 starts listening on the first RegisterDeviceNotification of a
// process: a thread that registers with Wine's plug-and-play service a
// moment later. A device event in between reaches no window of the process
// (on Windows the registration takes effect at once). The first test would
// plug its platesetter right after Norvex_Init registered the window, and
// could lose the arrival. So a window of this environment registers first
// and a platesetter of its own is plugged until the window has seen its
// arrival; the registration stays for the whole run. Over TCP the library
// sends its arrivals itself, and there is nothing to wait for.
#include <windows.h>
// clang-format off
#include <dbt.h>
// clang-format on

#include <gtest/gtest.h>

#include "api_helpers.h"
#include "emu/emulator.h"

namespace {

const GUID kInterface = {0xD6CF936E, 0xE78B, 0x477E, {0xAF, 0xCD, 0x69, 0x7A, 0x21, 0x09, 0xE0, 0x95}};
bool g_arrivalSeen = false;

LRESULT CALLBACK ListenerProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DEVICECHANGE && wParam == DBT_DEVICEARRIVAL) g_arrivalSeen = true;
  return ::DefWindowProcA(window, message, wParam, lParam);
}

class ListeningEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (norvex_api_test::OverTcp()) return;
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = &ListenerProcedure;
    windowClass.lpszClassName = "NorvexTestListener";
    ::RegisterClassA(&windowClass);
    m_window = ::CreateWindowA("NorvexTestListener", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(m_window, nullptr);
    DEV_BROADCAST_DEVICEINTERFACE_A filter{};
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kInterface;
    m_registration = ::RegisterDeviceNotificationA(m_window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    ASSERT_NE(m_registration, nullptr);
    norvex::emu::Emulator platesetter(norvex::emu::Emulator::Options{"", "listener-check"});
    // Each round waits up to a second for the arrival to be dispatched.
    for (int round = 0; round < 10 && !g_arrivalSeen; ++round) {
      ASSERT_TRUE(platesetter.Plug()) << platesetter.LastError();
      const DWORD start = ::GetTickCount();
      while (!g_arrivalSeen && ::GetTickCount() - start < 1000) {
        MSG message;
        while (::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageA(&message);
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
      }
      platesetter.Unplug();
    }
    ASSERT_TRUE(g_arrivalSeen) << "no device arrival reached this process";
  }
  void TearDown() override {
    if (m_registration != nullptr) ::UnregisterDeviceNotification(m_registration);
    if (m_window != nullptr) ::DestroyWindow(m_window);
  }

 private:
  HWND m_window = nullptr;
  HDEVNOTIFY m_registration = nullptr;
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new ListeningEnvironment);

}  // namespace
