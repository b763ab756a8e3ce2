// standin_cancel_test.cpp: the stand-in driver's transfers (windows/driver:
// Machine, Rack) against cancels that come at any moment, with cancel
// routines kept as Windows keeps an IRP's: a slot that the driver sets and
// takes back and that a cancel takes (IoSetCancelRoutine, IoCancelIrp).
// Every transfer must be completed exactly once and never touched by the
// driver after that: a transfer whose cancel took its routine first leaves
// its list having done nothing (no data stored, no reply taken) and ends
// cancelled by its routine, and a transfer cancelled before it was listed is
// not listed. Plain C++, so it runs here, under the sanitizers too; the
// driver's C part does only what FakeDriver does.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "standin_machine.h"
#include "standin_protocol.h"
#include "standin_rack.h"

namespace norvex::standin {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

// The general-state query and its reply (docs/device-protocol.md).
const Bytes kQuery = {0x4D, 0x45, 0x10, 0x01, 0x06, 0x00, 0xD0, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x33, 0x07};
const Bytes kReply = {0x4D, 0x45, 0x01, 0x10, 0x06, 0x00, 0xD1, 0xC0, 0x01, 0x00, 0x00, 0x00, 0x26, 0x16};
constexpr uint32_t kFrameCode = 0x222002;
constexpr OpenKey kHost = 1;

// An IRP as far as the driver's cancel handling sees it.
struct FakeIrp {
  std::atomic<bool> routine{false};  // its cancel routine is set
  std::atomic<bool> cancelled{false};
  std::atomic<int> completions{0};
  std::atomic<bool> touchedAfterCompletion{false};
  std::mutex mu;
  Completion result;

  void Touch() {
    if (completions.load() > 0) touchedAfterCompletion = true;
  }
  Completion Result() {
    std::lock_guard<std::mutex> lock(mu);
    return result;
  }
};
FakeIrp* Irp(Transfer transfer) { return static_cast<FakeIrp*>(transfer); }

// The driver's C part: arm, disarm, complete, and IoCancelIrp with the
// cancel routine (CancelTransfer).
class FakeDriver final : public Bus {
 public:
  bool Arm(Transfer transfer) override {
    FakeIrp* irp = Irp(transfer);
    irp->Touch();
    irp->routine = true;
    return !(irp->cancelled && irp->routine.exchange(false));
  }
  bool Disarm(Transfer transfer) override {
    Irp(transfer)->Touch();
    return Irp(transfer)->routine.exchange(false);
  }
  void PresenceChanged() override {}
  void Complete(Completions& completions) override {
    for (Completion& c : completions) CompleteOne(std::move(c));
    completions.clear();
  }
  static void CompleteOne(Completion c) {
    FakeIrp* irp = Irp(c.transfer);
    irp->Touch();
    {
      std::lock_guard<std::mutex> lock(irp->mu);
      irp->result = std::move(c);
    }
    ++irp->completions;
  }

  // IoCancelIrp's first half: the cancel flag, and the routine taken. True
  // when the cancel got the routine (the routine is then to run).
  static bool TakeRoutine(FakeIrp& irp) {
    irp.cancelled = true;
    return irp.routine.exchange(false);
  }
  // The routine, as CancelTransfer runs it for a platesetter's transfer.
  static void RunRoutine(Machine& machine, FakeIrp& irp) {
    if (!machine.Cancel(&irp)) CompleteOne(Done(&irp, kStatusCancelled));
  }
  static void CancelIrp(Machine& machine, FakeIrp& irp) {
    if (TakeRoutine(irp)) RunRoutine(machine, irp);
  }
};

emu::EmulatorOptions Options() {
  emu::EmulatorOptions options;
  options.name = "cancel-test";
  return options;
}

class MachineCancelTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(machine.Open(kHost, true), kStatusSuccess); }
  Completions Tick(Clock::duration later) { return machine.Tick(Clock::now() + later); }

  FakeDriver driver;
  Machine machine{Options(), driver};
};

// The write came due after a cancel took its routine: the clock leaves it
// to the cancel routine, having stored nothing, and it ends cancelled, once.
TEST_F(MachineCancelTest, AWriteDueAsItsCancelComesStoresNothingAndEndsCancelled) {
  machine.Model().InjectBulkWriteFault(emu::BulkWriteFault{emu::BulkWriteFaultKind::kSlow, 1});
  FakeIrp irp;
  const Bytes data(1000, 0x5A);
  EXPECT_TRUE(machine.Write(kHost, &irp, data.data(), data.size()).empty());
  EXPECT_TRUE(irp.routine);
  ASSERT_TRUE(FakeDriver::TakeRoutine(irp));
  EXPECT_TRUE(Tick(1s).empty());
  EXPECT_TRUE(machine.Model().PrintMemory().empty());
  EXPECT_EQ(irp.completions, 0);
  FakeDriver::RunRoutine(machine, irp);
  EXPECT_EQ(irp.completions, 1);
  EXPECT_EQ(irp.Result().status, kStatusCancelled);
  EXPECT_FALSE(irp.touchedAfterCompletion);
}

// The clock's next moment is a held-back write's due time: nothing comes due
// before it, the write completes at it, and then nothing is due. A write
// that never completes has no due time.
TEST_F(MachineCancelTest, NextDueIsTheTimeAHeldBackWriteCompletes) {
  EXPECT_FALSE(machine.NextDue());
  machine.Model().InjectBulkWriteFault(emu::BulkWriteFault{emu::BulkWriteFaultKind::kNoCompletion});
  machine.Model().InjectBulkWriteFault(emu::BulkWriteFault{emu::BulkWriteFaultKind::kSlow, 50});
  FakeIrp never, slow;
  const Bytes data(100, 1);
  EXPECT_TRUE(machine.Write(kHost, &never, data.data(), data.size()).empty());
  EXPECT_FALSE(machine.NextDue());
  const Clock::time_point before = Clock::now();
  EXPECT_TRUE(machine.Write(kHost, &slow, data.data(), data.size()).empty());
  const std::optional<Clock::time_point> due = machine.NextDue();
  ASSERT_TRUE(due);
  EXPECT_GE(*due, before + 50ms);
  EXPECT_TRUE(machine.Tick(*due - 1ms).empty());
  Completions done = machine.Tick(*due);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0].transfer, &slow);
  EXPECT_EQ(done[0].status, kStatusSuccess);
  driver.Complete(done);
  EXPECT_FALSE(machine.NextDue());
  FakeDriver::CancelIrp(machine, never);
  EXPECT_EQ(never.completions, 1);
}

// A read whose delayed reply came due as its cancel took its routine: it is
// passed over and ends cancelled; the reply goes to the next read.
TEST_F(MachineCancelTest, AReadServedAsItsCancelComesIsPassedOverAndTheReplyKept) {
  machine.Model().InjectFault(emu::Fault{emu::FaultKind::kDelay, 0, 1, std::nullopt, std::nullopt, 1});
  FakeIrp control, read, next;
  Completions answered = machine.Control(kHost, &control, kFrameCode, kQuery.data(), kQuery.size());
  driver.Complete(answered);
  EXPECT_EQ(control.completions, 1);
  EXPECT_TRUE(machine.Read(kHost, &read, 512).empty());
  ASSERT_TRUE(FakeDriver::TakeRoutine(read));
  EXPECT_TRUE(Tick(1s).empty());
  FakeDriver::RunRoutine(machine, read);
  EXPECT_EQ(read.completions, 1);
  EXPECT_EQ(read.Result().status, kStatusCancelled);
  EXPECT_FALSE(read.touchedAfterCompletion);
  Completions served = machine.Read(kHost, &next, 512);
  driver.Complete(served);
  EXPECT_EQ(next.completions, 1);
  EXPECT_EQ(next.Result().data, kReply);
}

// A cancel that takes a waiting read off: the routine completes it cancelled.
TEST_F(MachineCancelTest, AWaitingReadIsTakenOffByItsCancel) {
  FakeIrp read;
  EXPECT_TRUE(machine.Read(kHost, &read, 512).empty());
  FakeDriver::CancelIrp(machine, read);
  EXPECT_EQ(read.completions, 1);
  EXPECT_EQ(read.Result().status, kStatusCancelled);
  // The next reply goes to the next read, not to the cancelled one.
  FakeIrp control, next;
  Completions done = machine.Control(kHost, &control, kFrameCode, kQuery.data(), kQuery.size());
  Completions served = machine.Read(kHost, &next, 512);
  driver.Complete(done);
  driver.Complete(served);
  EXPECT_EQ(next.Result().data, kReply);
  EXPECT_EQ(read.completions, 1);
}

// Cancelled before the machine listed it: completed cancelled at once, never
// listed, so the reply that comes later finds no read.
TEST_F(MachineCancelTest, ATransferCancelledBeforeItIsListedIsNotListed) {
  FakeIrp read, write;
  read.cancelled = true;
  write.cancelled = true;
  Completions out = machine.Read(kHost, &read, 512);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].status, kStatusCancelled);
  driver.Complete(out);
  machine.Model().InjectBulkWriteFault(emu::BulkWriteFault{emu::BulkWriteFaultKind::kSlow, 1});
  const Bytes data(64, 1);
  out = machine.Write(kHost, &write, data.data(), data.size());
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].status, kStatusCancelled);
  driver.Complete(out);
  EXPECT_TRUE(Tick(1s).empty());
  EXPECT_TRUE(machine.Model().PrintMemory().empty());
  FakeIrp control;
  Completions done = machine.Control(kHost, &control, kFrameCode, kQuery.data(), kQuery.size());
  EXPECT_EQ(done.size(), 1u);  // the control request only: no read waits
  EXPECT_EQ(read.completions, 1);
  EXPECT_EQ(write.completions, 1);
}

// A dropped host ends its transfers; one whose cancel has its routine ends
// cancelled through that routine.
TEST_F(MachineCancelTest, ADroppedHostLeavesACancelledTransferToItsRoutine) {
  FakeIrp read, write;
  EXPECT_TRUE(machine.Read(kHost, &read, 512).empty());
  machine.Model().InjectBulkWriteFault(emu::BulkWriteFault{emu::BulkWriteFaultKind::kNoCompletion});
  const Bytes data(64, 1);
  EXPECT_TRUE(machine.Write(kHost, &write, data.data(), data.size()).empty());
  ASSERT_TRUE(FakeDriver::TakeRoutine(read));
  Completions out = machine.DropHost();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].transfer, &write);
  driver.Complete(out);
  FakeDriver::RunRoutine(machine, read);
  EXPECT_EQ(read.completions, 1);
  EXPECT_EQ(read.Result().status, kStatusCancelled);
  EXPECT_EQ(write.completions, 1);
}

// A rack with one platesetter, made through the control device's request
// by the control handle 7, and opened by its host.
class RackCancelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Writer create;
    create.U32(static_cast<uint32_t>(Op::kCreate)).U32(0);
    Put(create, Options());
    Bytes answer;
    rack.Operate(7, create.Data().data(), create.Data().size(), answer);
    Reader made(answer.data(), answer.size());
    ASSERT_EQ(made.U32(), kAnswerOk);
    made.U32();
    id = made.U32();
    machine = rack.Find(id);
    ASSERT_TRUE(machine);
    ASSERT_EQ(machine->Open(kHost, true), kStatusSuccess);
  }

  FakeDriver driver;
  Rack rack{driver};
  uint32_t id = 0;
  std::shared_ptr<Machine> machine;
};

// The rack's waits follow the same rule.
TEST_F(RackCancelTest, AWaitDueAsItsCancelComesIsLeftToItsCancelRoutine) {
  FakeIrp wait;
  Writer request;
  request.U32(static_cast<uint32_t>(Op::kWaitForFrames)).U32(id).U32(1).U32(60000);
  rack.Wait(7, &wait, request.Data().data(), request.Data().size());
  EXPECT_EQ(wait.completions, 0);
  ASSERT_TRUE(FakeDriver::TakeRoutine(wait));
  // The awaited frame comes: the rack leaves the wait to its routine.
  FakeIrp control;
  Completions done = machine->Control(kHost, &control, kFrameCode, kQuery.data(), kQuery.size());
  driver.Complete(done);
  rack.Tick();
  EXPECT_EQ(wait.completions, 0);
  EXPECT_FALSE(rack.CancelWait(&wait));  // off the list already
  FakeDriver::CompleteOne(Done(&wait, kStatusCancelled));
  EXPECT_FALSE(wait.touchedAfterCompletion);

  // A wait still listed is taken off by its cancel; the owner's end leaves
  // it alone then.
  FakeIrp other;
  request = Writer();
  request.U32(static_cast<uint32_t>(Op::kWaitForFrames)).U32(id).U32(5).U32(60000);
  rack.Wait(7, &other, request.Data().data(), request.Data().size());
  ASSERT_TRUE(FakeDriver::TakeRoutine(other));
  EXPECT_TRUE(rack.CancelWait(&other));
  FakeDriver::CompleteOne(Done(&other, kStatusCancelled));
  rack.ReleaseOwner(7);
  EXPECT_EQ(other.completions, 1);
  EXPECT_FALSE(other.touchedAfterCompletion);
}

// Many reads and writes, each cancelled at a random moment while the rack's
// clock completes them: each completes once, untouched after, and the print
// memory holds exactly the writes reported done.
TEST_F(RackCancelTest, TransfersCancelledAtRandomMomentsCompleteOnceAndKeepThePrintMemoryTrue) {
  machine->Model().InjectBulkWriteFault(
      emu::BulkWriteFault{emu::BulkWriteFaultKind::kSlow, 1, 0, emu::Fault::kUntilCleared});
  machine->Model().InjectFault(
      emu::Fault{emu::FaultKind::kDelay, 0, emu::Fault::kUntilCleared, std::nullopt, std::nullopt, 1});

  std::mt19937 random(20261210);
  Bytes stored;
  int done = 0, cancelled = 0;
  const auto settle = [&](FakeIrp& irp) {
    const auto limit = std::chrono::steady_clock::now() + 30s;
    while (irp.completions.load() == 0 && std::chrono::steady_clock::now() < limit) std::this_thread::yield();
    return irp.completions.load();
  };
  for (int i = 0; i < 400; ++i) {
    const auto pause = std::chrono::microseconds(random() % 2500);
    auto irp = std::make_unique<FakeIrp>();
    if (i % 2 == 0) {
      Bytes data(100 + random() % 900, static_cast<uint8_t>(i));
      Completions out = machine->Write(kHost, irp.get(), data.data(), data.size());
      driver.Complete(out);
      rack.Wake();
      std::this_thread::sleep_for(pause);
      FakeDriver::CancelIrp(*machine, *irp);
      ASSERT_EQ(settle(*irp), 1) << "write " << i;
      const Completion result = irp->Result();
      if (result.status == kStatusSuccess) {
        EXPECT_EQ(result.information, data.size());
        stored.insert(stored.end(), data.begin(), data.end());
        ++done;
      } else {
        EXPECT_EQ(result.status, kStatusCancelled);
        ++cancelled;
      }
    } else {
      FakeIrp control;
      Completions out = machine->Control(kHost, &control, kFrameCode, kQuery.data(), kQuery.size());
      driver.Complete(out);
      out = machine->Read(kHost, irp.get(), 512);
      driver.Complete(out);
      rack.Wake();
      std::this_thread::sleep_for(pause);
      FakeDriver::CancelIrp(*machine, *irp);
      ASSERT_EQ(settle(*irp), 1) << "read " << i;
      const Completion result = irp->Result();
      if (result.status == kStatusSuccess) {
        EXPECT_EQ(result.data, kReply);
        ++done;
      } else {
        EXPECT_EQ(result.status, kStatusCancelled);
        ++cancelled;
      }
    }
    EXPECT_FALSE(irp->touchedAfterCompletion) << i;
  }
  EXPECT_EQ(machine->Model().PrintMemory(), stored);
  std::printf("%d transfers done, %d cancelled\n", done, cancelled);
}

}  // namespace
}  // namespace norvex::standin
