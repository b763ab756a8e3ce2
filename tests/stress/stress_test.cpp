// stress_test.cpp: many threads drive the library through norvex.h at once
// (main-unit commands and state queries, laser head and HS board commands,
// parameter-file gets, raw exchanges, bulk writes) while the emulator
// injects every kind of device and bulk-write fault and the device is
// unplugged and replugged, seen on the host's window thread. Bounded in
// operations and cycles. Afterwards every result must be a known code, every
// log line whole, no descriptor or thread left behind (memory: the leak check
// of the AddressSanitizer build), and the library must still work.
#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <map>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "api_helpers.h"
#include "emu/emulator.h"
#include "norvex.h"
#include "norvex_posix.h"

namespace {

using norvex::emu::BulkWriteFault;
using norvex::emu::BulkWriteFaultKind;
using norvex::emu::Emulator;
using norvex::emu::Fault;
using norvex::emu::FaultKind;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kWorkerKinds = 6;
constexpr int kThreadsPerKind = 2;
constexpr int kMaxOperationsPerThread = 300;
// Unplug cycles go on until every worker is done, at least kMinUnplugCycles
// and at most kMaxUnplugCycles of them.
constexpr int kMinUnplugCycles = 8;
constexpr int kMaxUnplugCycles = 40;
constexpr auto kDeadline = 40s;  // the whole run stops early rather than run long
// The USB time-out of the calls before and after the run, which must succeed.
constexpr uint32_t kPatientTimeoutMs = 10000;

// The result codes a call may return here, by pattern.
bool IsKnownCode(uint32_t code) {
  switch (code) {
    case NORVEX_OK:
    case NORVEX_ERROR_INVALID_HANDLE:   // a command on a closed or pseudo handle
    case 29:                            // a bulk piece that moved nothing
    case 170:                           // a bulk write while another is outstanding
    case NORVEX_ERROR_BULK_INCOMPLETE:  // a bulk write not done in time
    case NORVEX_ERROR_IO_PENDING:       // an exchange not done in time
    case 1167:                          // the device went away
    case CTP_ERR_NO_DEVICE:
    case CTP_ERR_LOCK_TIMEOUT:
    case NORVEX_ERR_PARA_FORMAT_WORD:
    case NORVEX_ERR_PARA_SECTION_COUNT:
    case NORVEX_ERR_PARA_CHUNK_LIMIT:
      return true;
    default:
      break;
  }
  if (code >= CTP_ERR_RX_OVERFLOW && code <= CTP_ERR_SLOW_LOCK) return true;
  // An error reply of one of the four units, any value.
  switch (code >> 16) {
    case 0xE010:
    case 0xE042:
    case 0xE020:
    case 0xE021:
      return true;
    default:
      break;
  }
  // A section size of a parameter file (section numbers 0..8).
  const uint32_t kind = code & 0xFFFF0000u;
  if ((kind == NORVEX_ERR_PARA_SIZE_MAIN_UNIT || kind == NORVEX_ERR_PARA_SIZE_LASER_HEAD ||
       kind == NORVEX_ERR_PARA_SIZE_HS_BOARD) &&
      (code & 0xFFFFu) <= 8) {
    return true;
  }
  return false;
}

size_t CountEntries(const char* folder) {
  size_t count = 0;
  if (DIR* dir = ::opendir(folder)) {
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
  }
  return count;
}
// The opendir descriptor is counted in both figures alike.
size_t OpenDescriptors() { return CountEntries("/proc/self/fd"); }
size_t Threads() { return CountEntries("/proc/self/task"); }

// Waits (dispatching the window's messages) until `done`, at most 5 s.
template <typename Done>
bool DispatchUntil(Done done) {
  const auto deadline = Clock::now() + 5s;
  while (!done()) {
    if (Clock::now() > deadline) return false;
    NorvexHost_DispatchMessages(20);
  }
  return true;
}

// The log texts the library writes, after the time prefix.
const std::vector<std::regex>& KnownTexts() {
  static const std::string hex4 = "0x[0-9A-F]{4}", hex2 = "0x[0-9A-F]{2}", hex8 = "0x[0-9A-F]{8}";
  static const std::vector<std::regex> texts = {
      std::regex("Communication Fail! cmd = " + hex4 + " , addr = " + hex2 + " , return = " + hex8),
      std::regex("Device disconnect! cmd = " + hex4 + " , addr = " + hex2),
      std::regex("Device lock Timeout! cmd = " + hex4 + " , addr = " + hex2 +
                 " , time = -?[0-9]+\\(-?[0-9]+\\)"),
      std::regex("Command lock time! cmd = " + hex4 + " , addr = " + hex2 +
                 " , time = -?[0-9]+\\(-?[0-9]+\\)"),
      // The failure text's first line: the GBK "error number" and the code.
      std::regex("\xB4\xED\xCE\xF3\xB1\xE0\xBA\xC5 " + hex8),
      // A failure text whose record another thread replaced meanwhile.
      std::regex("\xCE\xDE\xB7\xA8\xBD\xF8\xD2\xBB\xB2\xBD\xBB\xF1\xC8\xA1\xB4\xED\xCE\xF3\xD0\xC5\xCF\xA2!"),
      std::regex("FAIL:GetSentPtrDataResult2?\\(result is " + hex8 + "\\)\\."),
      std::regex("Open Device!|Close Device!|Device Arrival!|Device Remove Complete!|Windows Destroy!|"
                 "Application Start!|Application Close!"),
  };
  return texts;
}

// Checks every line from `offset` on: a date line, a time-prefixed known
// text, or a continuation line right where a failure text has it. Returns
// the number of lines checked; failures are reported by gtest.
size_t CheckLog(const std::string& log, size_t offset) {
  static const std::regex date("[0-9]{4}/[0-9]{2}/[0-9]{2}");
  static const std::regex prefix("[0-9]{2}:[0-9]{2}:[0-9]{2}:[0-9]{3}    ");
  // The address fields are 16-bit words printed with at least two digits.
  static const std::regex send("\tSend:\\(0x[0-9A-F]{4} , 0x[0-9A-F]{4} , 0x[0-9A-F]{2,4}\\)");
  static const std::regex rec("\t Rec:\\(0x[0-9A-F]{4} , 0x[0-9A-F]{4} , 0x[0-9A-F]{2,4}\\)");
  static const std::regex data("\tData:\\( ([0-9A-F]{4} )+\\)");
  static const std::regex codeIs(
      "\xB4\xED\xCE\xF3\xC2\xEB\xCE\xAA"
      "0x[0-9A-F]{8}/0x[0-9A-F]{8}");
  enum class Expect { kAny, kSend, kRec, kDataOrAny, kCodeIs } expect = Expect::kAny;
  size_t lines = 0;
  size_t pos = offset;
  while (pos < log.size()) {
    const size_t lf = log.find('\n', pos);
    EXPECT_NE(lf, std::string::npos) << "the log ends inside a line";
    if (lf == std::string::npos) break;
    const std::string line = log.substr(pos, lf - pos);
    pos = lf + 1;
    ++lines;
    if (expect == Expect::kSend) {
      EXPECT_TRUE(std::regex_match(line, send)) << line;
      expect = Expect::kRec;
      continue;
    }
    if (expect == Expect::kRec) {
      EXPECT_TRUE(std::regex_match(line, rec)) << line;
      expect = Expect::kDataOrAny;
      continue;
    }
    if (expect == Expect::kCodeIs) {
      EXPECT_TRUE(std::regex_match(line, codeIs)) << line;
      expect = Expect::kAny;
      continue;
    }
    if (expect == Expect::kDataOrAny && std::regex_match(line, data)) {
      expect = Expect::kAny;
      continue;
    }
    expect = Expect::kAny;
    if (std::regex_match(line, date)) continue;
    if (line.size() < 16 || !std::regex_match(line.substr(0, 16), prefix)) {
      ADD_FAILURE() << "not a whole log line: " << line;
      continue;
    }
    const std::string text = line.substr(16);
    bool known = false;
    for (size_t i = 0; i < KnownTexts().size() && !known; ++i) {
      if (std::regex_match(text, KnownTexts()[i])) {
        known = true;
        if (i == 4) expect = Expect::kSend;
        if (i == 5) expect = Expect::kCodeIs;
      }
    }
    EXPECT_TRUE(known) << "unknown log text: " << text;
  }
  EXPECT_TRUE(expect == Expect::kAny || expect == Expect::kDataOrAny) << "a failure text is cut off";
  return lines;
}

struct Tally {
  std::atomic<uint64_t> calls{0};
  std::atomic<uint64_t> successes{0};
  std::mutex lock;
  std::map<uint32_t, uint64_t> unknown;  // code -> times

  void Note(uint32_t code) {
    ++calls;
    if (code == NORVEX_OK) ++successes;
    if (!IsKnownCode(code)) {
      std::lock_guard<std::mutex> hold(lock);
      ++unknown[code];
    }
  }
};

// One operation of worker kind `kind`, the `i`-th of its thread.
void Operate(int kind, int thread, int i, Tally& tally) {
  uint8_t buffer[512];
  switch (kind) {
    case 0: {  // main-unit commands
      uint8_t job[64] = {static_cast<uint8_t>(i)};
      const uint8_t selector[4] = {static_cast<uint8_t>(i & 7), 0, 1, 0};
      tally.Note(i % 2 ? NV_StartPrint(job) : NV_FunctionEx(selector));
      break;
    }
    case 1: {  // state queries of every unit
      const uint8_t selector[4] = {0, 0, 0, 0};
      switch (i % 4) {
        case 0:
          tally.Note(NV_GetState(buffer));
          break;
        case 1:
          tally.Note(LH_GetSystemState(buffer));
          break;
        case 2:
          tally.Note(HS_GetSystemState(static_cast<uint32_t>(thread & 1), buffer));
          break;
        default:
          tally.Note(CTP_GetStateEx(selector, buffer, 4, NORVEX_ADDR_MAIN_UNIT));
          break;
      }
      break;
    }
    case 2: {  // board commands
      switch (i % 3) {
        case 0:
          tally.Note(LH_SetFocus(static_cast<uint32_t>(i)));
          break;
        case 1:
          tally.Note(HS_SetMode(3, static_cast<uint32_t>(i)));
          break;
        default: {
          const uint8_t selector[4] = {1, 0, 2, 0};
          tally.Note(HS_FunctionEx(3, selector, 0));
        }
      }
      break;
    }
    case 3: {  // parameter-file gets
      static thread_local MainUnitParaFile mainFile;
      static thread_local LaserHeadParaFile laserFile;
      static thread_local HsBoardParaFile hsFile;
      switch (i % 3) {
        case 0:
          tally.Note(NV_GetParaFile(&mainFile, 0xFFFFFFFFu));
          break;
        case 1:
          tally.Note(LH_GetParaFile(&laserFile, 0x1F));
          break;
        default:
          tally.Note(HS_GetParaFile(static_cast<uint32_t>(i & 1), &hsFile, 0x7F));
          break;
      }
      break;
    }
    case 4: {  // raw exchanges and failure texts
      const uint8_t selector[4] = {0, 0, 0, 0};
      CommandPacket packet{selector, 4, buffer, 4, NORVEX_ADDR_MAIN_UNIT, CTP_CMD_GET_STATE_EX, 0, 0xC0D1};
      const uint32_t code = CTP_SendCommand(&packet);
      tally.Note(code);
      if (CTP_GetErrorInfo(code) == nullptr) tally.Note(0xFFFFFFFFu);
      break;
    }
    default: {  // bulk writes, waited and not
      std::vector<uint8_t> data(256, static_cast<uint8_t>(i));
      uint32_t words = 128;
      if (i % 3 == 0) {
        const uint32_t started = Norvex_WriteSDRAM2(data.data(), &words, 1);
        tally.Note(started);
        if (started == NORVEX_OK) {
          uint32_t bytes = 0;
          const uint32_t done = Norvex_GetWriteSDRAM2Result(&bytes);
          // Another thread may have completed it (6); never more than was sent.
          tally.Note(done);
          if (bytes > data.size()) tally.Note(0xFFFFFFFEu);
        }
      } else if (i % 3 == 1) {
        tally.Note(Norvex_WriteSDRAM2(data.data(), &words, 0));
        if (words > 128) tally.Note(0xFFFFFFFEu);
      } else {
        tally.Note(NV_SentPrintData(data.data(), static_cast<uint32_t>(data.size())));
      }
    }
  }
}

TEST(Stress, ThreadsFaultsAndHotPlug) {
  Emulator emulator;
  ASSERT_TRUE(emulator.Plug()) << emulator.LastError();
  NorvexWindow window = NorvexHost_CreateWindow();
  ASSERT_NE(window, nullptr);
  Norvex_SetPrintDataSaveIdle(NORVEX_LINK_USB);
  // Calls that must succeed wait long, so that a busy machine cannot make
  // them time out; the run itself uses a short time-out.
  Norvex_SetUSBOvertime(kPatientTimeoutMs);
  ASSERT_EQ(Norvex_Init(window), NORVEX_OK);
  NorvexHost_DispatchMessages(0);
  uint8_t state[4];
  ASSERT_EQ(NV_GetState(state), NORVEX_OK);
  Norvex_SetUSBOvertime(60);

  const size_t logStart = norvex_api_test::ReadFile(norvex_api_test::LogPath()).size();
  const size_t fdsBefore = OpenDescriptors();
  const size_t threadsBefore = Threads();
  const auto start = Clock::now();

  Tally tally;
  std::atomic<bool> stop{false};
  std::atomic<int> finished{0};
  std::vector<std::thread> workers;
  for (int kind = 0; kind < kWorkerKinds; ++kind) {
    for (int t = 0; t < kThreadsPerKind; ++t) {
      workers.emplace_back([&, kind, t] {
        for (int i = 0; i < kMaxOperationsPerThread && !stop; ++i) Operate(kind, t, i, tally);
        ++finished;
      });
    }
  }

  // Every kind of fault in turn, for one exchange or one bulk write each.
  std::atomic<uint64_t> faults{0};
  std::atomic<uint64_t> bulkFaults{0};
  std::thread injector([&] {
    const FaultKind kinds[] = {FaultKind::kErrorReply,     FaultKind::kBadChecksum,  FaultKind::kWrongLength,
                               FaultKind::kWrongReplySize, FaultKind::kWrongCommand, FaultKind::kNoReply,
                               FaultKind::kLateReply,      FaultKind::kWrongUnit,    FaultKind::kDisconnect,
                               FaultKind::kDelay};
    const BulkWriteFault bulk[] = {
        BulkWriteFault{BulkWriteFaultKind::kSlow, 10}, BulkWriteFault{BulkWriteFaultKind::kPartial, 0, 64},
        BulkWriteFault{BulkWriteFaultKind::kNoCompletion}, BulkWriteFault{BulkWriteFaultKind::kSlow, 200}};
    for (uint64_t n = 0; !stop; ++n) {
      Fault fault{kinds[n % 10], static_cast<uint16_t>(n % 10 == 0 ? 0x55 : 0), 1};
      fault.delayMs = fault.kind == FaultKind::kDelay ? 10 : 20;
      emulator.Model().InjectFault(fault);
      ++faults;
      if (n % 3 == 0) {
        emulator.Model().InjectBulkWriteFault(bulk[(n / 3) % 4]);
        ++bulkFaults;
      }
      std::this_thread::sleep_for(4ms);
    }
  });

  // Unplug and replug, followed on this thread, the window's.
  int cycles = 0;
  const int workerCount = kWorkerKinds * kThreadsPerKind;
  for (; cycles < kMaxUnplugCycles && (cycles < kMinUnplugCycles || finished < workerCount) &&
         Clock::now() - start < kDeadline;
       ++cycles) {
    for (int i = 0; i < 5; ++i) NorvexHost_DispatchMessages(20);
    emulator.Unplug();
    EXPECT_TRUE(DispatchUntil([] { return Norvex_GetPortStatus() != NORVEX_OK; }));
    for (int i = 0; i < 2; ++i) NorvexHost_DispatchMessages(10);
    ASSERT_TRUE(emulator.Plug());
    EXPECT_TRUE(DispatchUntil([] { return Norvex_GetPortStatus() == NORVEX_OK; }));
  }
  stop = true;
  for (std::thread& worker : workers) worker.join();
  injector.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

  // The device back without faults; a kDisconnect may have broken the link
  // since the last arrival, so the host reopens it as after any failure.
  emulator.Model().ClearFaults();
  emulator.Model().ClearBulkWriteFaults();
  Norvex_SetUSBOvertime(kPatientTimeoutMs);
  if (NV_GetState(state) != NORVEX_OK) {
    ASSERT_EQ(Norvex_Init(window), NORVEX_OK);
  }
  NorvexHost_DispatchMessages(0);
  EXPECT_EQ(NV_GetState(state), NORVEX_OK);
  emulator.Model().ClearPrintMemory();
  std::vector<uint8_t> data(128, 0x77);
  uint32_t words = 64;
  EXPECT_EQ(Norvex_WriteSDRAM2(data.data(), &words, 0), NORVEX_OK);
  EXPECT_EQ(emulator.Model().PrintMemory(), data);

  // Nothing left behind: the same descriptors and threads as before the run
  // (the device open, the window alive). Closing a connection ends its
  // reader thread; the kernel may list it a moment longer.
  size_t fdsAfter = OpenDescriptors();
  size_t threadsAfter = Threads();
  for (int i = 0; i < 100 && (fdsAfter != fdsBefore || threadsAfter != threadsBefore); ++i) {
    std::this_thread::sleep_for(20ms);
    fdsAfter = OpenDescriptors();
    threadsAfter = Threads();
  }
  EXPECT_EQ(fdsAfter, fdsBefore);
  EXPECT_EQ(threadsAfter, threadsBefore);

  {
    std::lock_guard<std::mutex> hold(tally.lock);
    for (const auto& entry : tally.unknown) {
      ADD_FAILURE() << "unknown result 0x" << std::hex << entry.first << std::dec << " (" << entry.second
                    << " times)";
    }
  }
  EXPECT_GT(tally.successes.load(), 0u);
  EXPECT_GE(cycles, kMinUnplugCycles);

  EXPECT_EQ(NorvexHost_DestroyWindow(window), NORVEX_OK);
  emulator.Unplug();
  Norvex_Init(nullptr);
  const size_t lines = CheckLog(norvex_api_test::ReadFile(norvex_api_test::LogPath()), logStart);

  std::printf("stress figures: threads %d (+1 fault injector, +1 window thread), calls %" PRIu64 " (%" PRIu64
              " succeeded), device faults injected %" PRIu64 ", bulk-write faults injected %" PRIu64
              ", unplug/replug cycles %d, log lines checked %zu, %.1f s\n",
              kWorkerKinds * kThreadsPerKind, tally.calls.load(), tally.successes.load(), faults.load(),
              bulkFaults.load(), cycles, lines, seconds);
}

}  // namespace
