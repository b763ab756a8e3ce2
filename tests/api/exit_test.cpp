// exit_test.cpp: exit() while another thread is inside a command, many
// times: a host program (exit_during_command.cpp) against a device that
// never answers, made to exit once the device has the command's request.
// The process ends cleanly every time (no crash, no sanitizer report), the
// command returns before the library's objects go, calls made after the
// unload return at once, and the log ends with "Application Close!" after
// the command's failure.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "api_helpers.h"
#include "emu/emulator.h"
#include "temp_folder.h"

namespace {

using norvex_api_test::ReadFile;

// Runs the host program once; its exit status, or 128 + the signal.
int RunHostThatExits(norvex::emu::Emulator& emulator, const std::string& files) {
  int go[2];
  if (::pipe(go) != 0) return -1;
  emulator.Model().ClearReceived();
  // Everything the child needs is made before the fork: the emulator's
  // threads run on in this process.
  ::setenv("NORVEX_HOME", files.c_str(), 1);
  const std::string fd = std::to_string(go[0]);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(go[1]);
    ::execl(EXIT_DURING_COMMAND_PATH, "exit_during_command", NORVEX_LIBRARY_PATH, fd.c_str(),
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(go[0]);
  // The command's request has reached the device: the host's thread is
  // inside the library, waiting for a reply that never comes.
  const bool inside = emulator.Model().WaitForFrames(1, std::chrono::seconds(60));
  const char byte = 1;
  if (::write(go[1], &byte, 1) != 1) ADD_FAILURE() << "the host is gone";
  ::close(go[1]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(inside) << "the command never reached the device";
  // The device sees the host go before the next one comes.
  EXPECT_TRUE(emulator.Model().WaitForHost(false, std::chrono::seconds(60)));
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(ExitDuringCommand, ProcessEndsCleanlyAndTheCommandReturnsFirst) {
  const norvex::test_support::TempFolder devices("norvex-exit-devices");
  const norvex::test_support::TempFolder files("norvex-exit-files");
  ASSERT_FALSE(devices.path().empty());
  ASSERT_FALSE(files.path().empty());
  ::setenv("NORVEX_DEVICE_DIR", devices.path().c_str(), 1);
  norvex::emu::EmulatorOptions options;
  options.folder = devices.path();
  norvex::emu::Emulator emulator(options);
  ASSERT_TRUE(emulator.Plug()) << emulator.LastError();
  norvex::emu::Fault silence;
  silence.kind = norvex::emu::FaultKind::kNoReply;
  silence.count = norvex::emu::Fault::kUntilCleared;
  emulator.Model().InjectFault(silence);

  const std::string log = files.Path("log/UsbDriver.log");
  for (int run = 0; run < 12; ++run) {
    ASSERT_EQ(RunHostThatExits(emulator, files.path()), 0) << "run " << run;
    const std::string text = ReadFile(log);
    const std::string close = "Application Close!\n";
    ASSERT_GE(text.size(), close.size());
    EXPECT_EQ(text.substr(text.size() - close.size()), close) << "run " << run;
    // This run's command failed before the close, and said so.
    const size_t start = text.rfind("Application Start!");
    ASSERT_NE(start, std::string::npos);
    EXPECT_NE(text.find("Communication Fail! cmd = 0xC0D0 , addr = 0x10", start), std::string::npos)
        << text.substr(start);
  }
}

}  // namespace
