// load_unload_test.cpp: loading and unloading the shared library as a host
// does, twice, and what the log holds afterwards.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "api_helpers.h"
#include "norvex.h"

namespace {

using norvex_api_test::IniPath;
using norvex_api_test::LogPath;
using norvex_api_test::ReadFile;

void LoadAndUnload() {
  void* library = ::dlopen(NORVEX_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << ::dlerror();
  auto getErrorInfo =
      reinterpret_cast<const char*(NORVEX_CALL*)(uint32_t)>(::dlsym(library, "CTP_GetErrorInfo"));
  ASSERT_NE(getErrorInfo, nullptr);
  EXPECT_NE(getErrorInfo(0), nullptr);
  ASSERT_EQ(::dlclose(library), 0);
}

// Everything after the first "\n" of `text`, line by line, without the time
// prefixes: date lines stay as they are.
std::vector<std::string> Texts(const std::string& text) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t lf = text.find('\n', pos);
    std::string line = text.substr(pos, lf - pos);
    pos = lf + 1;
    out.push_back(line.size() > 16 && line[2] == ':' ? line.substr(16) : line);
  }
  return out;
}

// A host that unloads the library while its window is still watched: the
// library removes its registration and hook from a window system that must
// still be there.
TEST(LoadUnload, UnloadWhileAWindowIsWatched) {
  void* library = ::dlopen(NORVEX_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << ::dlerror();
  auto createWindow =
      reinterpret_cast<NorvexWindow(NORVEX_CALL*)()>(::dlsym(library, "NorvexHost_CreateWindow"));
  auto init = reinterpret_cast<uint32_t(NORVEX_CALL*)(NorvexWindow)>(::dlsym(library, "Norvex_Init"));
  ASSERT_NE(createWindow, nullptr);
  ASSERT_NE(init, nullptr);
  NorvexWindow window = createWindow();
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(init(window), CTP_ERR_NO_DEVICE);
  ASSERT_EQ(::dlclose(library), 0);
}

// CTP_GetErrorInfo's text outlives the thread that asked for it: a host may
// hand the pointer to another thread. (Loaded with dlopen, the library's
// per-thread storage would be freed with the thread: AddressSanitizer runs
// check that nothing reads freed memory here.)
TEST(LoadUnload, ErrorTextOutlivesTheThreadThatAskedForIt) {
  void* library = ::dlopen(NORVEX_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << ::dlerror();
  auto getErrorInfo =
      reinterpret_cast<const char*(NORVEX_CALL*)(uint32_t)>(::dlsym(library, "CTP_GetErrorInfo"));
  ASSERT_NE(getErrorInfo, nullptr);
  const std::string expected = getErrorInfo(CTP_ERR_CHECKSUM);
  const char* text = nullptr;
  std::thread asker([&] { text = getErrorInfo(CTP_ERR_CHECKSUM); });
  asker.join();
  // This thread asks for other texts meanwhile: they are its own.
  for (uint32_t code = 1; code <= 4; ++code) getErrorInfo(code);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::string(text), expected);
  ASSERT_EQ(::dlclose(library), 0);
}

TEST(LoadUnload, EveryRunIsFramedByStartAndClose) {
  std::remove(LogPath().c_str());
  std::remove(IniPath().c_str());
  LoadAndUnload();
  LoadAndUnload();
  std::vector<std::string> lines = Texts(ReadFile(LogPath()));
  ASSERT_EQ(lines.size(), 5u) << ReadFile(LogPath());
  // A fresh INI file has no date: the first run writes the date line, the
  // second one, on the same day, does not.
  EXPECT_EQ(lines[0].size(), 10u);
  EXPECT_EQ(lines[0][4], '/');
  EXPECT_EQ(lines[1], "Application Start!");
  EXPECT_EQ(lines[2], "Application Close!");
  EXPECT_EQ(lines[3], "Application Start!");
  EXPECT_EQ(lines[4], "Application Close!");
  EXPECT_NE(ReadFile(IniPath()).find("LastTime=" + lines[0]), std::string::npos);
}

}  // namespace
