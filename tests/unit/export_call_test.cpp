// export_call_test.cpp: the count of the export calls inside the library,
// which the unload waits for: calls that start once it has begun are
// refused, calls already inside are waited for until they return.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "exports/export_support.h"

namespace norvex {
namespace {

TEST(ExportCalls, UnloadRefusesNewCallsAndWaitsForThoseInside) {
  std::mutex lock;
  std::condition_variable changed;
  bool inside = false;
  bool leave = false;
  bool admitted = false;
  std::thread caller([&] {
    const ExportCall call;
    std::unique_lock<std::mutex> hold(lock);
    admitted = static_cast<bool>(call);
    inside = true;
    changed.notify_all();
    changed.wait(hold, [&] { return leave; });
  });
  {
    std::unique_lock<std::mutex> hold(lock);
    changed.wait(hold, [&] { return inside; });
  }
  EXPECT_TRUE(admitted);
  // For good, in this process: nothing else here calls an export.
  RefuseExports();
  // A call that starts now is refused, and its body never runs.
  bool ran = false;
  EXPECT_EQ(WhileLoaded(kUnloaded,
                        [&] {
                          ran = true;
                          return 0u;
                        }),
            kUnloaded);
  EXPECT_FALSE(ran);
  // The one inside holds the unload.
  EXPECT_FALSE(WaitForExportsToReturn(20));
  {
    std::lock_guard<std::mutex> hold(lock);
    leave = true;
  }
  changed.notify_all();
  EXPECT_TRUE(WaitForExportsToReturn(60000));
  caller.join();
}

}  // namespace
}  // namespace norvex
