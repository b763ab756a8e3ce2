// basics_test.cpp: the library loaded by a host, through norvex.h only: its
// log and INI file, failure texts, the debug folder.
#include <gtest/gtest.h>
#include <pthread.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "api_helpers.h"
#include "norvex.h"

namespace {

using norvex_api_test::IniPath;
using norvex_api_test::LogPath;
using norvex_api_test::ReadFile;

TEST(Load, LogAndIniFileLieBesideTheExecutable) {
  const std::string log = ReadFile(LogPath());
  ASSERT_FALSE(log.empty());
  // This run's start is the last line written so far.
  const std::string tail = "    Application Start!\n";
  ASSERT_GE(log.size(), tail.size());
  EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
  const std::string ini = ReadFile(IniPath());
  EXPECT_NE(ini.find("LastTime="), std::string::npos);
  EXPECT_NE(ini.find("LockTime=7500"), std::string::npos);
}

TEST(ErrorInfo, BeforeAnyFailureZeroHasTheDetailedTextOfZero) {
  EXPECT_STREQ(CTP_GetErrorInfo(0),
               "\xB4\xED\xCE\xF3\xB1\xE0\xBA\xC5 0x00000000\n"
               "\tSend:(0x0000 , 0x0000 , 0x00)\n"
               "\t Rec:(0x0000 , 0x0000 , 0x00)\n");
  EXPECT_STREQ(CTP_GetErrorInfo(CTP_ERR_CHECKSUM),
               "\xCE\xDE\xB7\xA8\xBD\xF8\xD2\xBB\xB2\xBD\xBB\xF1\xC8\xA1\xB4\xED\xCE\xF3\xD0\xC5\xCF\xA2!\n"
               "\xB4\xED\xCE\xF3\xC2\xEB\xCE\xAA"
               "0x00000000/0xE0000008\n");
}

TEST(ErrorInfo, EachThreadKeepsItsOwnText) {
  const char* mine = CTP_GetErrorInfo(0);
  const std::string copy = mine;
  std::vector<std::thread> others;
  for (int i = 0; i < 4; ++i) {
    others.emplace_back([] {
      for (uint32_t code = 1; code < 200; ++code) CTP_GetErrorInfo(code);
    });
  }
  for (auto& t : others) t.join();
  EXPECT_EQ(std::string(mine), copy);
}

// Threads that asked and ended give their texts' slots back: 10000 threads,
// one at a time, share a few slots instead of leaving one each behind. Each
// has a stack of its own size, as the threads of a host's libraries do, so
// that the system seldom gives a new thread the id of an ended one.
// While its thread runs, a text is its own.
TEST(ErrorInfo, ThreadsThatEndedGiveTheirTextsBack) {
  const char* mine = CTP_GetErrorInfo(0);
  const std::string copy = mine;
  std::set<const char*> texts;
  for (size_t i = 0; i < 10000; ++i) {
    pthread_attr_t attributes;
    ASSERT_EQ(pthread_attr_init(&attributes), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attributes, 256 * 1024 + i * 4096), 0);
    const char* text = nullptr;
    pthread_t thread{};
    ASSERT_EQ(pthread_create(
                  &thread, &attributes,
                  [](void* result) -> void* {
                    *static_cast<const char**>(result) = CTP_GetErrorInfo(CTP_ERR_CHECKSUM);
                    return nullptr;
                  },
                  &text),
              0);
    pthread_attr_destroy(&attributes);
    ASSERT_EQ(pthread_join(thread, nullptr), 0);
    ASSERT_NE(text, mine);
    texts.insert(text);
  }
  EXPECT_LE(texts.size(), 8u);
  EXPECT_EQ(std::string(mine), copy);
}

TEST(DebugFolder, NullIsRefused) {
  EXPECT_EQ(Norvex_SetDebugFolder(nullptr), NORVEX_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(Norvex_SetDebugFolder("/tmp/"), NORVEX_OK);
}

}  // namespace
