// ini_profile_test.cpp: INI lookup, update and integer reading with the
// Windows profile semantics.
#include "platform/posix/ini_profile.h"

#include <gtest/gtest.h>

namespace norvex::platform::ini {
namespace {

TEST(IniLookup, FindsKeysLikeTheProfileFunctions) {
  const std::string text =
      "; host settings\r\n"
      "stray=before any section\r\n"
      "[Other]\r\n"
      "LockTime=1\r\n"
      "[ log ]\r\n"
      "  lasttime =  2026/12/07  \r\n"
      "Quoted=\"with blanks \"\r\n"
      "Empty=\r\n"
      ";LockTime=3\r\n"
      "[LOG]\r\n"
      "LockTime=99\r\n";
  struct Case {
    const char* section;
    const char* key;
    std::optional<std::string> value;
  } cases[] = {
      {"LOG", "LastTime", "2026/12/07"},  // names ignore case, blanks trimmed
      {"log", "QUOTED", "with blanks "},  // one pair of quotes dropped
      {"LOG", "Empty", ""},               // present but empty
      {"LOG", "LockTime", std::nullopt},  // commented out; the later [LOG] is not read
      {"Other", "LockTime", "1"},
      {"Missing", "LockTime", std::nullopt},
      {"LOG", "stray", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(Lookup(text, c.section, c.key), c.value) << c.section << "/" << c.key;
}

TEST(IniUpdate, CreatesReplacesAndAppends) {
  struct Case {
    const char* before;
    const char* after;
  } cases[] = {
      {"", "[LOG]\r\nLockTime=7500\r\n"},
      {"[A]\nx=1\n", "[A]\nx=1\n[LOG]\nLockTime=7500\n"},
      {"[A]\nx=1", "[A]\nx=1\n[LOG]\nLockTime=7500\n"},
      {"[log]\r\nlocktime=1\r\nOther=2\r\n", "[log]\r\nLockTime=7500\r\nOther=2\r\n"},
      {"[LOG]\nLastTime=x\n\n[B]\ny=2\n", "[LOG]\nLastTime=x\nLockTime=7500\n\n[B]\ny=2\n"},
      {"[LOG]", "[LOG]\r\nLockTime=7500\r\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Update(c.before, "LOG", "LockTime", "7500"), c.after) << c.before;
    EXPECT_EQ(Lookup(Update(c.before, "LOG", "LockTime", "7500"), "LOG", "LockTime"), "7500");
  }
}

TEST(IniParseInt, ReadsSignAndLeadingDigits) {
  struct Case {
    const char* text;
    int32_t value;
  } cases[] = {
      {"7500", 7500}, {"-1", -1}, {"+12", 12}, {"  42", 42},       {"12abc", 12},
      {"abc", 0},     {"0", 0},   {"-", 0},    {"4294967295", -1}, {"2147483648", INT32_MIN},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseInt(c.text), c.value) << c.text;
}

}  // namespace
}  // namespace norvex::platform::ini
