// emulator_session.h: what the C-interface tests against the emulator do
// around each test: plug it, open the library's link to it in USB mode, and
// afterwards leave no device behind.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>

#include "emu/emulator.h"
#include "norvex.h"

namespace norvex_api_test {

// The USB time-out of calls that are to succeed: long, so that a busy
// machine never makes them time out; a device that answers ends the wait.
// Calls that are to time out set a short one of their own.
inline constexpr uint32_t kPatientTimeoutMs = 10000;

// Plugs `emulator`, sets USB mode and `usbTimeoutMs`, opens the link and
// forgets the frames of the open. Check HasFatalFailure() after it.
inline void OpenOnEmulator(norvex::emu::Emulator& emulator, uint32_t usbTimeoutMs = kPatientTimeoutMs) {
  ASSERT_TRUE(emulator.Plug()) << emulator.LastError();
  Norvex_SetPrintDataSaveIdle(NORVEX_LINK_USB);
  Norvex_SetUSBOvertime(usbTimeoutMs);
  ASSERT_EQ(Norvex_Init(nullptr), NORVEX_OK);
  ASSERT_TRUE(emulator.Model().WaitForHost(true, std::chrono::milliseconds(2000)));
  emulator.Model().ClearReceived();
}

// Back to USB mode, the emulator unplugged, the link closed.
inline void CloseOnEmulator(norvex::emu::Emulator& emulator) {
  Norvex_SetPrintDataSaveIdle(NORVEX_LINK_USB);
  emulator.Unplug();
  Norvex_Init(nullptr);  // no device is present: this closes the link
}

// A fixture whose tests each run against a plugged emulator with the
// library's link open on it.
class EmulatorSessionTest : public ::testing::Test {
 protected:
  void SetUp() override { OpenOnEmulator(emulator); }
  void TearDown() override { CloseOnEmulator(emulator); }

  norvex::emu::Emulator emulator;
};

}  // namespace norvex_api_test
