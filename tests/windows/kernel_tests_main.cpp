// kernel_tests_main.cpp: the main of norvex_kernel_tests. A fault ends the
// program with the test it was in (fault_report.h). In 32 bits the tests run
// with the stack 4 bytes off a 16-byte boundary (host_call.h), as a host
// built by another compiler may call the library: a kernel that keeps vectors
// on a stack it takes to be aligned faults there.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "fault_report.h"

#if defined(__i386__)
#include "host_call.h"

uint32_t g_hostCallSlot = 0;
#endif

namespace {

// Names each test as it starts, for the fault report.
class StepListener : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo& test) override {
    Step(std::string(test.test_suite_name()) + "." + test.name());
  }
};

#if defined(__i386__)
int g_result = 1;

void __stdcall RunAllTests() { g_result = RUN_ALL_TESTS(); }

int RunOffTheAlignedStack() {
  g_hostCallSlot = TlsAlloc();
  HostCall call{};
  call.target = reinterpret_cast<const void*>(&RunAllTests);
  call.stackOffset = 4;
  call.fpuControl = 0x037F;  // this program's own
  call.mxcsr = 0x1F80;
  TlsSetValue(g_hostCallSlot, &call);
  NorvexHostCall(&call);
  std::printf("the tests ran with the stack at %u modulo 16\n", static_cast<unsigned>(call.espAtCall % 16));
  return g_result;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  InstallFaultReport();
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::UnitTest::GetInstance()->listeners().Append(new StepListener);
#if defined(__i386__)
  return RunOffTheAlignedStack();
#else
  return RUN_ALL_TESTS();
#endif
}
