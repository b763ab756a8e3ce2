// host_files_test.cpp: the host's files in the folder NORVEX_HOME names (set
// for this test by CTest before the library loads), and the POSIX host's
// additions of norvex_posix.h: the files folder, the INI writer that the
// library's own reads then see, why the latest device open failed, and the
// library's texts in UTF-8.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "api_helpers.h"
#include "emu/emulator.h"
#include "endpoint_client.h"
#include "norvex.h"
#include "norvex_posix.h"
#include "reference_gbk.h"

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

// GBK to UTF-8 by the C library's converter, with the English meaning after
// each of the library's Chinese phrases: what the library's UTF-8 texts are
// checked against.
std::string Utf8WithMeanings(const std::string& gbk) {
  std::string out = norvex::test_support::ReferenceGbkToUtf8(gbk);
  const std::pair<std::string, std::string> meanings[] = {
      {"\xE9\x94\x99\xE8\xAF\xAF\xE7\xBC\x96\xE5\x8F\xB7", " (error number)"},       // 错误编号
      {"\xE9\x94\x99\xE8\xAF\xAF\xE7\xA0\x81\xE4\xB8\xBA", " (the error code is)"},  // 错误码为
      {"\xE4\xBF\xA1\xE6\x81\xAF!",
       " (no further error information)"},  // ...信息! ending 无法进一步获取错误信息!
  };
  for (const auto& [chinese, english] : meanings) {
    const size_t at = out.find(chinese);
    if (at != std::string::npos) out.insert(at + chinese.size(), english);
  }
  return out;
}

std::string ErrorText(uint32_t code) {
  char buffer[1024];
  const uint32_t n = NorvexHost_GetErrorText(code, buffer, sizeof(buffer));
  return n < sizeof(buffer) ? std::string(buffer, n) : std::string("(too long)");
}

TEST(HostFilesTest, ErrorTextIsTheFailureTextInUtf8WithMeanings) {
  EXPECT_EQ(Norvex_Init(nullptr), CTP_ERR_NO_DEVICE);
  uint8_t state[4];
  ASSERT_EQ(NV_GetState(state), CTP_ERR_NO_DEVICE);
  const std::string gbk = CTP_GetErrorInfo(CTP_ERR_NO_DEVICE);
  ASSERT_NE(gbk.find("0xE0000010"), std::string::npos);
  EXPECT_EQ(ErrorText(CTP_ERR_NO_DEVICE), Utf8WithMeanings(gbk));
  EXPECT_EQ(ErrorText(CTP_ERR_NO_DEVICE)
                .rfind("\xE9\x94\x99\xE8\xAF\xAF\xE7\xBC\x96\xE5\x8F\xB7 (error number) 0xE0000010", 0),
            0u);
  // Another code than the recorded one: the notice, as CTP_GetErrorInfo gives it.
  EXPECT_EQ(ErrorText(5), Utf8WithMeanings(CTP_GetErrorInfo(5)));
  EXPECT_NE(ErrorText(5).find("(no further error information)"), std::string::npos);
  EXPECT_NE(ErrorText(5).find("(the error code is)0xE0000010/0x00000005"), std::string::npos);
  // Cut to the buffer, counted whole, never inside a character.
  const std::string whole = ErrorText(CTP_ERR_NO_DEVICE);
  char small[8] = {};
  EXPECT_EQ(NorvexHost_GetErrorText(CTP_ERR_NO_DEVICE, small, sizeof(small)), whole.size());
  EXPECT_EQ(std::string(small), whole.substr(0, 6));
  EXPECT_EQ(NorvexHost_GetErrorText(CTP_ERR_NO_DEVICE, nullptr, 0), whole.size());
}

TEST(HostFilesTest, LogLinesInUtf8) {
  uint8_t state[4];
  ASSERT_EQ(NV_GetState(state), CTP_ERR_NO_DEVICE);
  // The log's last failure line, GBK as the library writes it.
  const std::string log = ReadFile(Home() + "/log/UsbDriver.log");
  const size_t at = log.rfind("\xB4\xED\xCE\xF3\xB1\xE0\xBA\xC5");
  ASSERT_NE(at, std::string::npos);
  const std::string line = log.substr(at, log.find('\n', at) - at);
  char buffer[512];
  const uint32_t n = NorvexHost_TextToUtf8(line.c_str(), buffer, sizeof(buffer));
  ASSERT_LT(n, sizeof(buffer));
  EXPECT_EQ(std::string(buffer, n), Utf8WithMeanings(line));
  EXPECT_EQ(NorvexHost_TextToUtf8(nullptr, buffer, sizeof(buffer)), 0u);
  EXPECT_EQ(buffer[0], '\0');
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
