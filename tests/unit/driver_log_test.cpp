// driver_log_test.cpp: the daily log across loads, days and threads, the INI
// key it keeps, and a log that cannot be opened.
#include "log/driver_log.h"

#include <gtest/gtest.h>

#include <optional>
#include <thread>
#include <vector>

#include "fake_host.h"
#include "platform/posix/ini_profile.h"

namespace norvex {
namespace {

using testing::FakeHost;

std::string LastTime(FakeHost& host) {
  return platform::ini::Lookup(host.files[host.Ini()], "LOG", "LastTime").value_or("<missing>");
}

TEST(DriverLog, FirstLoadWritesDateLineThenStartAndRemembersTheDate) {
  FakeHost host;
  { CDriverLog log(host); }
  EXPECT_EQ(host.Log(),
            "2026/12/07\n"
            "09:30:15:042    Application Start!\n"
            "09:30:15:042    Application Close!\n");
  EXPECT_EQ(LastTime(host), "2026/12/07");
  EXPECT_TRUE(host.folders.count("/host/log"));
}

// An unload that leaves the objects in place for a call still inside ends
// the log: "Application Close!" stays the last line, whatever that call
// writes afterwards, and the destructor adds nothing.
TEST(DriverLog, CloseIsTheLastLineWhateverComesAfter) {
  FakeHost host;
  {
    CDriverLog log(host);
    log.WriteLine("Communication Fail!");
    log.Close();
    log.WriteLine("late");
    log.WriteFormatted("late %d", 2);
    EXPECT_FALSE(log.IsOpen());
  }
  EXPECT_EQ(host.Log(),
            "2026/12/07\n"
            "09:30:15:042    Application Start!\n"
            "09:30:15:042    Communication Fail!\n"
            "09:30:15:042    Application Close!\n");
}

TEST(DriverLog, SecondLoadTheSameDayAppendsWithoutDateLine) {
  FakeHost host;
  { CDriverLog log(host); }
  host.now.hour = 11;
  { CDriverLog log(host); }
  EXPECT_EQ(host.Log(),
            "2026/12/07\n"
            "09:30:15:042    Application Start!\n"
            "09:30:15:042    Application Close!\n"
            "11:30:15:042    Application Start!\n"
            "11:30:15:042    Application Close!\n");
}

TEST(DriverLog, LogFromAnEarlierRunIsContinuedNotTruncated) {
  FakeHost host;
  host.folders.insert("/host/log");
  host.files[host.LogPath()] = "older lines\n";
  host.files[host.Ini()] = "[LOG]\r\nLastTime=2026/12/07\r\n";
  { CDriverLog log(host); }
  EXPECT_EQ(host.Log().substr(0, 12), "older lines\n");
  EXPECT_EQ(host.Log().substr(12, 35), "09:30:15:042    Application Start!\n");
}

TEST(DriverLog, FirstLineAfterMidnightIsPrecededByTheNewDate) {
  FakeHost host;
  host.now = {2026, 12, 31, 23, 59, 59, 998};
  CDriverLog log(host);
  log.WriteLine("before");
  host.now = {2027, 1, 1, 0, 0, 0, 3};
  EXPECT_EQ(LastTime(host), "2026/12/31");
  log.WriteLine("after");
  EXPECT_EQ(LastTime(host), "2027/01/01");
  EXPECT_EQ(host.Log(),
            "2026/12/31\n"
            "23:59:59:998    Application Start!\n"
            "23:59:59:998    before\n"
            "2027/01/01\n"
            "00:00:00:003    after\n");
}

TEST(DriverLog, ClockSetBackAlsoWritesADateLine) {
  FakeHost host;
  CDriverLog log(host);
  host.now.day = 6;
  log.WriteLine("back");
  EXPECT_NE(host.Log().find("2026/12/06\n09:30:15:042    back\n"), std::string::npos);
  EXPECT_EQ(LastTime(host), "2026/12/06");
}

TEST(DriverLog, StoredDateIsReadNoLongerThanTodaysText) {
  FakeHost host;
  // Longer than "2026/12/07": read as its first ten characters, which match.
  host.files[host.Ini()] = "[LOG]\nLastTime=2026/12/07 and more\n";
  { CDriverLog log(host); }
  EXPECT_EQ(host.Log().substr(0, 10), "09:30:15:0");
}

TEST(DriverLog, YearIsPaddedWithBlanks) {
  platform::LocalTime t{987, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(CDriverLog::FormatDate(t), " 987/03/04");
  EXPECT_EQ(CDriverLog::FormatTimePrefix(t), "05:06:07:008    ");
}

TEST(DriverLog, LineFeedIsAddedOnlyWhenMissing) {
  FakeHost host;
  host.files[host.Ini()] = "[LOG]\nLastTime=2026/12/07\n";
  CDriverLog log(host);
  const size_t start = host.Log().size();
  log.WriteLine("one\n");
  log.WriteLine("two");
  log.WriteLine("");
  log.WriteLine("multi\nline\n");
  EXPECT_EQ(host.Log().substr(start),
            "09:30:15:042    one\n"
            "09:30:15:042    two\n"
            "09:30:15:042    \n"
            "09:30:15:042    multi\nline\n");
}

TEST(DriverLog, LogThatCannotBeOpenedShowsOneMessageAndStaysSilent) {
  FakeHost host;
  host.failCreateFolder = true;
  {
    CDriverLog log(host);
    EXPECT_FALSE(log.IsOpen());
    host.now.day = 8;  // a new day would otherwise write the INI key
    log.WriteLine("lost");
  }
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0], "\xC8\xD5\xD6\xBE\xCE\xC4\xBC\xFE\xB4\xF2\xBF\xAA\xCA\xA7\xB0\xDC!");
  EXPECT_EQ(host.files.count(host.Ini()), 0u);
  EXPECT_EQ(host.files.count(host.LogPath()), 0u);
}

TEST(DriverLog, SecondWriterOfTheSameLogIsRefused) {
  FakeHost host;
  CDriverLog first(host);
  CDriverLog second(host);
  EXPECT_TRUE(first.IsOpen());
  EXPECT_FALSE(second.IsOpen());
  EXPECT_EQ(host.messages.size(), 1u);
}

TEST(DriverLog, FailedWritesDoNotDisturbTheCaller) {
  FakeHost host;
  CDriverLog log(host);
  host.failWrites = true;
  log.WriteLine("into the void");
  host.failWrites = false;
  log.WriteLine("back");
  EXPECT_EQ(host.Log().find("void"), std::string::npos);
  EXPECT_NE(host.Log().find("back\n"), std::string::npos);
}

TEST(DriverLog, LinesFromManyThreadsStayWhole) {
  FakeHost host;
  host.files[host.Ini()] = "[LOG]\nLastTime=2026/12/07\n";
  constexpr int kThreads = 4;
  constexpr int kLines = 300;
  {
    CDriverLog log(host);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&log, t] {
        const std::string text =
            "thread " + std::to_string(t) + " " + std::string(40, static_cast<char>('a' + t));
        for (int i = 0; i < kLines; ++i) log.WriteLine(text);
      });
    }
    for (auto& th : threads) th.join();
  }
  std::string all = host.Log();
  size_t pos = 0;
  int counts[kThreads] = {};
  int lines = 0;
  while (pos < all.size()) {
    size_t lf = all.find('\n', pos);
    ASSERT_NE(lf, std::string::npos);
    std::string line = all.substr(pos, lf - pos);
    pos = lf + 1;
    ++lines;
    ASSERT_EQ(line.substr(0, 16), "09:30:15:042    ");
    std::string text = line.substr(16);
    if (text.rfind("thread ", 0) == 0) {
      int t = text[7] - '0';
      ASSERT_EQ(text, "thread " + std::to_string(t) + " " + std::string(40, static_cast<char>('a' + t)));
      ++counts[t];
    }
  }
  EXPECT_EQ(lines, kThreads * kLines + 2);
  for (int c : counts) EXPECT_EQ(c, kLines);
}

}  // namespace
}  // namespace norvex
