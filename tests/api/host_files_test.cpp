// host_files_test.cpp: the host's files in the folder NORVEX_HOME names (set
// for this test by CTest before the library loads), and the POSIX host's
// additions of norvex_posix.h: the files folder, the INI writer that the
// library's own reads then see, and why the latest device open failed.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "api_helpers.h"
#include "emu/emulator.h"
#include "endpoint_client.h"
#include "norvex.h"
#include "norvex_posix.h"

namespace {

using norvex_api_test::ReadFile;

std::string Home() {
  const char* home = std::getenv("NORVEX_HOME");
  return home != nullptr ? home : "";
}

std::string FilesFolder() {
  char buffer[4096];
  const uint32_t n = NorvexHost_GetFilesFolder(buffer, sizeof(buffer));
  return n < sizeof(buffer) ? std::string(buffer, n) : std::string();
}

TEST(HostFilesTest, NorvexHomeHoldsTheLogAndTheIniFile) {
  ASSERT_FALSE(Home().empty()) << "run through ctest, which sets NORVEX_HOME";
  EXPECT_EQ(FilesFolder(), Home());
  // The log was opened at load, in the folder named, which the library made.
  const std::string log = ReadFile(Home() + "/log/UsbDriver.log");
  EXPECT_NE(log.find("Application Start!"), std::string::npos);
  struct stat info {};
  EXPECT_NE(::stat((norvex_api_test::ExecutableFolder() + "/log").c_str(), &info), 0);
  EXPECT_NE(ReadFile(Home() + "/Varnock.ini").find("LockTime=7500"), std::string::npos);
}

TEST(HostFilesTest, FolderTextIsCutToTheBufferAndCountedWhole) {
  const std::string folder = FilesFolder();
  ASSERT_GT(folder.size(), 4u);
  char small[5] = {'x', 'x', 'x', 'x', 'x'};
  EXPECT_EQ(NorvexHost_GetFilesFolder(small, sizeof(small)), folder.size());
  EXPECT_EQ(std::string(small), folder.substr(0, 4));
  EXPECT_EQ(NorvexHost_GetFilesFolder(nullptr, 0), folder.size());
}

TEST(HostFilesTest, IniKeysWrittenAreWhatTheCaptureReads) {
  const std::string capture = Home() + "/written-by-host.tif";
  ASSERT_EQ(NorvexHost_WriteIniString("PrintData", "CaptureWidth", "64"), NORVEX_OK);
  ASSERT_EQ(NorvexHost_WriteIniString("PrintData", "CaptureFile", capture.c_str()), NORVEX_OK);
  EXPECT_NE(ReadFile(Home() + "/Varnock.ini").find("CaptureWidth=64"), std::string::npos);
  // Entering the capture mode reads them: one band of 32 lines of 64 pixels.
  Norvex_SetPrintDataSaveIdle(NORVEX_LINK_TIFF_CAPTURE);
  std::vector<uint8_t> band(64 / 8 * 32, 0x5A);
  EXPECT_EQ(NV_SentPrintData(band.data(), static_cast<uint32_t>(band.size())), NORVEX_OK);
  Norvex_SetPrintDataSaveIdle(NORVEX_LINK_USB);
  const std::string tiff = ReadFile(capture);
  ASSERT_GT(tiff.size(), band.size());
  EXPECT_EQ(tiff.substr(0, 2), "II");
}

TEST(HostFilesTest, IniTextsThatWouldBreakTheFileAreRefused) {
  const std::string before = ReadFile(Home() + "/Varnock.ini");
  EXPECT_EQ(NorvexHost_WriteIniString(nullptr, "k", "v"), NORVEX_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(NorvexHost_WriteIniString("S", nullptr, "v"), NORVEX_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(NorvexHost_WriteIniString("S", "k", nullptr), NORVEX_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(NorvexHost_WriteIniString("", "k", "v"), NORVEX_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(NorvexHost_WriteIniString("S]x", "k", "v"), NORVEX_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(NorvexHost_WriteIniString("S", "k=1", "v"), NORVEX_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(NorvexHost_WriteIniString("S", " k", "v"), NORVEX_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(NorvexHost_WriteIniString("S", "k", "v\n[LOG]"), NORVEX_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(ReadFile(Home() + "/Varnock.ini"), before);
}

TEST(HostFilesTest, OpenErrorTellsAbsentFromBusy) {
  EXPECT_EQ(Norvex_Init(nullptr), CTP_ERR_NO_DEVICE);
  EXPECT_EQ(NorvexHost_GetOpenError(), NORVEX_ERROR_NO_MORE_ITEMS);

  norvex::emu::Emulator emulator;
  ASSERT_TRUE(emulator.Plug()) << emulator.LastError();
  // Another host holds the device.
  norvex::test_support::EndpointClient holder(emulator.EndpointPath());
  ASSERT_EQ(holder.OpenStatus(), 0);
  ASSERT_TRUE(emulator.Model().WaitForHost(true, std::chrono::milliseconds(2000)));
  EXPECT_EQ(Norvex_Init(nullptr), CTP_ERR_NO_DEVICE);
  EXPECT_EQ(NorvexHost_GetOpenError(), 5u);  // ERROR_ACCESS_DENIED
  holder.Close();
  ASSERT_TRUE(emulator.Model().WaitForHost(false, std::chrono::milliseconds(2000)));
  EXPECT_EQ(Norvex_Init(nullptr), NORVEX_OK);
  EXPECT_EQ(NorvexHost_GetOpenError(), 0u);
  emulator.Unplug();
  Norvex_Init(nullptr);
}

}  // namespace
