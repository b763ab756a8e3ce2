// printdata_test.cpp: the print data path through norvex.h against the
// emulator: bulk writes in pieces, the argument checks of WriteSDRAM2 in their
// order, writes left outstanding, time-outs and their log lines, one write at
// a time, the TIFF capture and print-data files of the link modes, print
// memory read-back and the index limit by firmware version.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "api_helpers.h"
#include "emu/device_model.h"
#include "emu/emulator.h"
#include "emulator_session.h"
#include "norvex.h"

namespace {

using norvex::emu::BulkWriteFault;
using norvex::emu::BulkWriteFaultKind;
using norvex::emu::Emulator;
using norvex::emu::Fault;
using norvex::emu::FaultKind;
using norvex::emu::Reply;
using norvex::emu::Request;
using norvex_api_test::LogReader;
using norvex_api_test::ReadFile;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kBusy = 170;        // a second bulk write while one is outstanding
constexpr uint32_t kNoWrite = 6;       // a completion with no write outstanding
constexpr uint32_t kIncomplete = 996;  // not done within UsbTimeout
constexpr uint32_t kNoProgress = 29;   // a piece that moved no byte
constexpr uint32_t kCaptureWidth = 1024;

Bytes RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(random() % 3 == 0 ? 0 : random());
  return b;
}

std::string Folder() { return norvex_api_test::ExecutableFolder(); }
std::string CapturePath() { return Folder() + "/capture.tif"; }
std::string DataPath() { return Folder() + "/print.bin"; }
std::string CompressedPath() { return Folder() + "/print.cmp"; }

Bytes ReadBytes(const std::string& path) {
  const std::string text = ReadFile(path);
  return Bytes(text.begin(), text.end());
}

// The compressed stream turned back into bytes: 0x0000 and 0xFFFF begin a
// value-and-count pair, every other word is itself.
Bytes Expand(const Bytes& stream) {
  Bytes out;
  for (size_t i = 0; i + 1 < stream.size(); i += 2) {
    const uint16_t word = static_cast<uint16_t>(stream[i] | (stream[i + 1] << 8));
    if (word != 0 && word != 0xFFFF) {
      out.insert(out.end(), {stream[i], stream[i + 1]});
      continue;
    }
    const uint16_t count = static_cast<uint16_t>(stream[i + 2] | (stream[i + 3] << 8));
    out.insert(out.end(), 2 * static_cast<size_t>(count), static_cast<uint8_t>(word));
    i += 2;
  }
  return out;
}

// Band-interleaves image lines (width/8 bytes each, 32 lines a band) the
// way the device takes them.
Bytes Interleave(const Bytes& lines, uint32_t width) {
  const size_t L = width / 8;
  Bytes data(lines.size());
  for (size_t band = 0; band < lines.size(); band += 32 * L) {
    for (size_t t = 0; t < 32; ++t) {
      for (size_t b = 0; b < L / 2; ++b) {
        data[band + 64 * b + 2 * t + 1] = lines[band + t * L + 2 * b];
        data[band + 64 * b + 2 * t] = lines[band + t * L + 2 * b + 1];
      }
    }
  }
  return data;
}

// A minimal uncompressed bilevel TIFF of the same image, written here for
// tiffcmp to compare with.
void WriteReferenceTiff(const std::string& path, const Bytes& lines, uint32_t width, uint32_t height) {
  Bytes f = {'I', 'I', 42, 0};
  auto u16 = [&f](uint32_t v) { f.insert(f.end(), {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)}); };
  auto u32 = [&](uint32_t v) {
    u16(v & 0xFFFF);
    u16(v >> 16);
  };
  const auto ifd = 8 + static_cast<uint32_t>(lines.size());
  constexpr uint32_t kEntries = 15;
  const uint32_t rationals = ifd + 2 + 12 * kEntries + 4;
  u32(ifd);
  f.insert(f.end(), lines.begin(), lines.end());
  const uint32_t entries[kEntries][3] = {{254, 4, 0},         {256, 4, width},
                                         {257, 4, height},    {258, 3, 1},
                                         {259, 3, 1},         {262, 3, 0},
                                         {266, 3, 1},         {273, 4, 8},
                                         {274, 3, 1},         {277, 3, 1},
                                         {278, 4, height},    {279, 4, static_cast<uint32_t>(lines.size())},
                                         {282, 5, rationals}, {283, 5, rationals + 8},
                                         {296, 3, 1}};
  u16(kEntries);
  for (const auto& e : entries) {
    u16(e[0]);
    u16(e[1]);
    u32(1);
    if (e[1] == 3) {
      u16(e[2]);
      u16(0);
    } else {
      u32(e[2]);
    }
  }
  u32(0);
  for (int i = 0; i < 2; ++i) {
    u32(200);
    u32(1);
  }
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(f.data()), static_cast<long>(f.size()));
}

bool HaveTool(const char* tool) {
  return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

class PrintDataTest : public norvex_api_test::EmulatorSessionTest {
 protected:
  static void SetUpTestSuite() {
    std::ofstream(norvex_api_test::IniPath(), std::ios::trunc)
        << "[LOG]\nLockTime=7500\n[PrintData]\nCaptureWidth=" << kCaptureWidth
        << "\nCaptureFile=" << CapturePath() << "\nPrintDataFile=" << DataPath()
        << "\nCompressedFile=" << CompressedPath() << "\n";
  }
  void SetUp() override {
    EmulatorSessionTest::SetUp();
    log.Mark();
  }

  LogReader log;
};

TEST_F(PrintDataTest, SentPrintDataLandsInPrintMemory) {
  const Bytes data = RandomBytes(0x200000, 1);
  EXPECT_EQ(NV_SentPrintData(data.data(), static_cast<uint32_t>(data.size())), NORVEX_OK);
  EXPECT_EQ(emulator.Model().PrintMemory(), data);
  EXPECT_EQ(NV_SentPrintData(nullptr, 64), NORVEX_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(log.NewText(), "");
}

// Above 2 MiB in the device modes, NV_SentPrintData is one bulk write: the
// driver takes it whole (mode 3 captures it too).
TEST_F(PrintDataTest, SentPrintDataAboveTwoMiBIsOneWrite) {
  const Bytes data = RandomBytes(0x300006, 11);
  EXPECT_EQ(NV_SentPrintData(data.data(), static_cast<uint32_t>(data.size())), NORVEX_OK);
  EXPECT_EQ(emulator.Model().PrintMemory(), data);
  emulator.Model().ClearPrintMemory();
  Norvex_SetPrintDataSaveIdle(NORVEX_LINK_USB_AND_TIFF_CAPTURE);
  EXPECT_EQ(NV_SentPrintData(data.data(), static_cast<uint32_t>(data.size())), NORVEX_OK);
  Norvex_SetPrintDataSaveIdle(NORVEX_LINK_USB);
  EXPECT_EQ(emulator.Model().PrintMemory(), data);
  EXPECT_EQ(log.NewText(), "");
}

// Bulk writes are overlapped: against a device that takes nothing for a
// while, a no-wait write returns at once, and a completion waits at most
// UsbTimeout, then cancels (996). The host's buffer is freed as soon as the
// completion returns: AddressSanitizer runs see any later read of it.
TEST_F(PrintDataTest, BulkWritesKeepTheirTimeLimitsAgainstAStalledDevice) {
  Norvex_SetUSBOvertime(200);
  emulator.Model().InjectBulkWriteFault(BulkWriteFault{BulkWriteFaultKind::kStall, 3000, 0, 1});
  for (const bool noWait : {true, false}) {
    SCOPED_TRACE(noWait);
    auto buffer = std::make_unique<Bytes>(RandomBytes(0x200000, 12));
    uint32_t words = 0x100000;
    const auto start = std::chrono::steady_clock::now();
    uint32_t result = Norvex_WriteSDRAM2(buffer->data(), &words, noWait ? 1 : 0);
    if (noWait) {
      EXPECT_EQ(result, NORVEX_OK);
      uint32_t bytes = 99;
      result = Norvex_GetWriteSDRAM2Result(&bytes);
      EXPECT_EQ(bytes, 0u);
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    buffer.reset();
    EXPECT_EQ(result, kIncomplete);
    EXPECT_GE(elapsed, std::chrono::milliseconds(200));
    EXPECT_LT(elapsed, std::chrono::milliseconds(2500));  // before the stall ends
  }
  EXPECT_EQ(
      log.NewText(),
      "FAIL:GetSentPtrDataResult2(result is 0x000003E4).|FAIL:GetSentPtrDataResult(result is 0x000003E4).|");
  // After the stall the link works, and the cancelled writes stored nothing.
  Norvex_SetUSBOvertime(norvex_api_test::kPatientTimeoutMs);
  uint8_t state[4];
  EXPECT_EQ(NV_GetState(state), NORVEX_OK);
  // A Unix socket holds less than a write, so the stall held the data back
  // and the CANCEL came first. A TCP connection on the loopback interface
  // may take a whole write before the stall: the device then completes it
  // after the stall, and its late WRITE_DONE is dropped.
  if (!norvex_api_test::OverTcp()) {
    EXPECT_TRUE(emulator.Model().PrintMemory().empty());
  }
}

// A command on another thread does not wait behind the data of a stalled
// bulk write for longer than its own time limit (and the cancel wait of its
// transfer), and a command that could not get through leaves the link
// standing: after the stall every command works again.
TEST_F(PrintDataTest, CommandBesideAStalledBulkWriteKeepsItsTimeLimitAndTheLink) {
  Norvex_SetUSBOvertime(500);
  emulator.Model().InjectBulkWriteFault(BulkWriteFault{BulkWriteFaultKind::kStall, 4000, 0, 1});
  const Bytes data = RandomBytes(0x200000, 21);
  std::atomic<bool> writing{false};
  uint32_t written = 0;
  std::thread writer([&] {
    writing = true;
    written = NV_SentPrintData(data.data(), static_cast<uint32_t>(data.size()));
  });
  while (!writing) std::this_thread::yield();
  const auto start = std::chrono::steady_clock::now();
  uint8_t state[4];
  const uint32_t command = NV_GetState(state);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  writer.join();
  EXPECT_EQ(written, kIncomplete);
  // Not done in time (997), or done when the write had not yet begun.
  EXPECT_TRUE(command == NORVEX_ERROR_IO_PENDING || command == NORVEX_OK) << command;
  // Its time limit, the wait for its cancel, and a margin; the stall lasts 4 s.
  EXPECT_LT(elapsed, std::chrono::milliseconds(500 + 1000 + 1500));
  EXPECT_EQ(Norvex_GetPortStatus(), NORVEX_OK);
  Norvex_SetUSBOvertime(norvex_api_test::kPatientTimeoutMs);
  EXPECT_EQ(NV_GetState(state), NORVEX_OK);  // after the stall: the link stands
  EXPECT_EQ(NV_GetState(state), NORVEX_OK);
}

TEST_F(PrintDataTest, WriteSdramSendsThreeMiBInTwoPieces) {
  const Bytes data = RandomBytes(0x300000, 2);
  // The first piece is taken only in part: the next one starts right after it.
  emulator.Model().InjectBulkWriteFault(BulkWriteFault{BulkWriteFaultKind::kPartial, 0, 0x100000, 1});
  EXPECT_EQ(Norvex_WriteSDRAM(data.data(), 0x180000), NORVEX_OK);
  EXPECT_EQ(emulator.Model().PrintMemory(), data);

  emulator.Model().ClearPrintMemory();
  EXPECT_EQ(Norvex_WriteSDRAM(data.data(), 0x180000), NORVEX_OK);
  EXPECT_EQ(emulator.Model().PrintMemory(), data);
}

TEST_F(PrintDataTest, WriteSdramEdgeResults) {
  uint32_t out = 0;
  EXPECT_EQ(Norvex_CompressData(nullptr, &out, &out, 4), NORVEX_ERR_INVALID_ARGUMENT);
  const uint16_t words[2] = {1, 2};
  // 0 words: nothing sent, the previous result comes back.
  EXPECT_EQ(Norvex_WriteSDRAM(words, 0), NORVEX_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(Norvex_WriteSDRAM(nullptr, 4), NORVEX_ERR_INVALID_ARGUMENT);
  // A device that takes nothing ends the call instead of looping.
  emulator.Model().InjectBulkWriteFault(BulkWriteFault{BulkWriteFaultKind::kPartial, 0, 0, 1});
  EXPECT_EQ(Norvex_WriteSDRAM(words, 2), kNoProgress);
  EXPECT_TRUE(emulator.Model().PrintMemory().empty());
}

TEST_F(PrintDataTest, WriteSdram2ChecksArgumentsInOrder) {
  const Bytes data = RandomBytes(0x200000, 3);
  struct Case {
    const char* name;
    bool nullData;
    uint32_t words;
    uint32_t result;
    uint32_t wordsAfter;
  } cases[] = {
      {"null data before the size", true, 0x100001, NORVEX_ERR_INVALID_ARGUMENT, 0x100001},
      {"size before the multiple of 64", false, 0x100001, NORVEX_ERR_LENGTH_LIMIT, 0x100001},
      {"not a multiple of 32 words", false, 16, NORVEX_ERR_INVALID_ARGUMENT, 16},
      {"a word count that would wrap", false, 0x80000010, NORVEX_ERR_LENGTH_LIMIT, 0x80000010},
      {"0 words pass", false, 0, NORVEX_OK, 0},
      {"32 words", false, 32, NORVEX_OK, 32},
      {"the largest", false, 0x100000, NORVEX_OK, 0x100000},
  };
  size_t expectedMemory = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uint32_t words = c.words;
    EXPECT_EQ(Norvex_WriteSDRAM2(c.nullData ? nullptr : data.data(), &words, 0), c.result);
    EXPECT_EQ(words, c.wordsAfter);
    if (c.result == NORVEX_OK) expectedMemory += 2 * static_cast<size_t>(c.words);
    EXPECT_EQ(emulator.Model().PrintMemory().size(), expectedMemory);
  }
  EXPECT_EQ(Norvex_WriteSDRAM2(data.data(), nullptr, 0), NORVEX_ERR_INVALID_ARGUMENT);
  // A partial write reports the words it moved.
  emulator.Model().InjectBulkWriteFault(BulkWriteFault{BulkWriteFaultKind::kPartial, 0, 40, 1});
  uint32_t words = 64;
  EXPECT_EQ(Norvex_WriteSDRAM2(data.data(), &words, 0), NORVEX_OK);
  EXPECT_EQ(words, 20u);
}

TEST_F(PrintDataTest, NoWaitThenResultAndOneWriteAtATime) {
  const Bytes data = RandomBytes(4096, 4);
  emulator.Model().InjectBulkWriteFault(BulkWriteFault{BulkWriteFaultKind::kSlow, 300, 0, 1});
  uint32_t words = 1024;
  EXPECT_EQ(Norvex_WriteSDRAM2(data.data(), &words, 0x10001), NORVEX_OK);  // the low 16 bits say no-wait
  EXPECT_EQ(words, 1024u);
  // Neither a second write nor a waited one may overlap the outstanding one.
  uint32_t more = 32;
  EXPECT_EQ(Norvex_WriteSDRAM2(data.data(), &more, 1), kBusy);
  EXPECT_EQ(Norvex_WriteSDRAM2(data.data(), &more, 0), kBusy);
  EXPECT_EQ(more, 0u);
  EXPECT_EQ(NV_SentPrintData(data.data(), 64), kBusy);
  EXPECT_EQ(Norvex_WriteSDRAM(data.data(), 32), kBusy);

  uint32_t bytes = 0;
  EXPECT_EQ(Norvex_GetWriteSDRAM2Result(&bytes), NORVEX_OK);
  EXPECT_EQ(bytes, 2048u);
  EXPECT_EQ(emulator.Model().PrintMemory(), Bytes(data.begin(), data.begin() + 2048));
  EXPECT_EQ(log.NewText(), "");

  // Nothing outstanding any more.
  bytes = 77;
  EXPECT_EQ(Norvex_GetWriteSDRAM2Result(&bytes), kNoWrite);
  EXPECT_EQ(bytes, 0u);
  EXPECT_EQ(log.NewText(), "FAIL:GetSentPtrDataResult2(result is 0x00000006).|");
  EXPECT_EQ(Norvex_GetWriteSDRAM2Result(nullptr), NORVEX_ERR_INVALID_ARGUMENT);
}

TEST_F(PrintDataTest, TimeOutGives996AndItsLogLine) {
  Norvex_SetUSBOvertime(100);
  const Bytes data = RandomBytes(256, 5);
  emulator.Model().InjectBulkWriteFault(BulkWriteFault{BulkWriteFaultKind::kNoCompletion, 0, 0, 1});
  EXPECT_EQ(NV_SentPrintData(data.data(), 256), kIncomplete);
  EXPECT_EQ(log.NewText(), "FAIL:GetSentPtrDataResult(result is 0x000003E4).|");
  EXPECT_TRUE(emulator.Model().PrintMemory().empty());

  // No-wait write not done in time: the result call reports it.
  emulator.Model().InjectBulkWriteFault(BulkWriteFault{BulkWriteFaultKind::kNoCompletion, 0, 0, 1});
  uint32_t words = 128;
  EXPECT_EQ(Norvex_WriteSDRAM2(data.data(), &words, 1), NORVEX_OK);
  uint32_t bytes = 99;
  EXPECT_EQ(Norvex_GetWriteSDRAM2Result(&bytes), kIncomplete);
  EXPECT_EQ(bytes, 0u);
  EXPECT_EQ(log.NewText(), "FAIL:GetSentPtrDataResult2(result is 0x000003E4).|");

  // The record is free again.
  Norvex_SetUSBOvertime(norvex_api_test::kPatientTimeoutMs);
  EXPECT_EQ(NV_SentPrintData(data.data(), 256), NORVEX_OK);
  EXPECT_EQ(emulator.Model().PrintMemory(), data);
}

TEST_F(PrintDataTest, NoDeviceIsFoundByTheCompletion) {
  emulator.Unplug();
  Norvex_Init(nullptr);
  log.Mark();
  const Bytes data = RandomBytes(64, 6);
  EXPECT_EQ(NV_SentPrintData(data.data(), 64), kNoWrite);
  EXPECT_EQ(log.NewText(), "FAIL:GetSentPtrDataResult(result is 0x00000006).|");
}

TEST_F(PrintDataTest, ConcurrentWritersNeverOverlap) {
  const Bytes data = RandomBytes(64 * 1024, 7);
  std::atomic<int> done{0};
  std::atomic<int> busy{0};
  auto writer = [&] {
    for (int i = 0; i < 20; ++i) {
      const uint32_t r = NV_SentPrintData(data.data(), static_cast<uint32_t>(data.size()));
      if (r == NORVEX_OK)
        ++done;
      else if (r == kBusy)
        ++busy;
      else
        ADD_FAILURE() << r;
    }
  };
  std::thread a(writer), b(writer);
  a.join();
  b.join();
  EXPECT_EQ(done + busy, 40);
  const Bytes memory = emulator.Model().PrintMemory();
  ASSERT_EQ(memory.size(), static_cast<size_t>(done) * data.size());
  for (size_t at = 0; at < memory.size(); at += data.size()) {
    EXPECT_TRUE(std::equal(data.begin(), data.end(), memory.begin() + static_cast<long>(at)));
  }
}

TEST_F(PrintDataTest, CommandFileModeWritesThePrintDataFile) {
  std::remove(DataPath().c_str());
  const Bytes data = RandomBytes(0x300000, 8);
  Norvex_SetPrintDataSaveIdle(NORVEX_LINK_COMMAND_FILE);
  EXPECT_EQ(Norvex_WriteSDRAM(data.data(), 0x180000), NORVEX_OK);
  EXPECT_EQ(NV_SentPrintData(data.data(), 100), NORVEX_OK);
  Norvex_SetPrintDataSaveIdle(NORVEX_LINK_USB);
  Bytes expected = data;
  expected.insert(expected.end(), data.begin(), data.begin() + 100);
  EXPECT_EQ(ReadBytes(DataPath()), expected);
  EXPECT_TRUE(emulator.Model().PrintMemory().empty());
}

TEST_F(PrintDataTest, CompressedModeLosesNothingInTheWorstCase) {
  std::remove(CompressedPath().c_str());
  // Lone 0x0000 and 0xFFFF words: the compressed form is twice the 2 MiB input.
  Bytes worst(0x200000);
  for (size_t i = 0; i < worst.size(); i += 2) worst[i] = worst[i + 1] = (i / 2) % 2 == 0 ? 0x00 : 0xFF;
  const Bytes plain = RandomBytes(0x100000, 9);
  Norvex_SetPrintDataSaveIdle(NORVEX_LINK_COMPRESSED_FILE);
  EXPECT_EQ(Norvex_WriteSDRAM(worst.data(), 0x100000), NORVEX_OK);
  uint32_t words = 0x80000;
  EXPECT_EQ(Norvex_WriteSDRAM2(plain.data(), &words, 0), NORVEX_OK);
  EXPECT_EQ(words, 0x80000u);
  Norvex_SetPrintDataSaveIdle(NORVEX_LINK_USB);
  const Bytes file = ReadBytes(CompressedPath());
  EXPECT_GE(file.size(), 2 * worst.size());
  Bytes expected = worst;
  expected.insert(expected.end(), plain.begin(), plain.end());
  EXPECT_EQ(Expand(file), expected);
  EXPECT_TRUE(emulator.Model().PrintMemory().empty());
}

// Data above 2 MiB in one call is compressed in pieces, but a run that goes
// across a piece's end is not cut: the file holds the bytes that one stream
// of the whole buffer has.
TEST_F(PrintDataTest, CompressedModeKeepsRunsWholeAcrossPieces) {
  Bytes zeros(0x300000, 0);
  Bytes mixed = RandomBytes(0x500000, 21);
  std::fill(mixed.begin() + 0x1F0001, mixed.begin() + 0x230003, 0x00);  // across the first end
  std::fill(mixed.begin() + 0x3E0000, mixed.begin() + 0x400000, 0xFF);  // up to the second
  std::fill(mixed.begin() + 0x400000, mixed.begin() + 0x420000, 0x00);  // and after it
  for (const Bytes* data : {&zeros, &mixed}) {
    std::remove(CompressedPath().c_str());
    Norvex_SetPrintDataSaveIdle(NORVEX_LINK_COMPRESSED_FILE);
    EXPECT_EQ(NV_SentPrintData(data->data(), static_cast<uint32_t>(data->size())), NORVEX_OK);
    Norvex_SetPrintDataSaveIdle(NORVEX_LINK_USB);
    Bytes oneStream(2 * data->size());
    uint32_t length = 0;
    ASSERT_EQ(
        Norvex_CompressData(oneStream.data(), &length, data->data(), static_cast<uint32_t>(data->size())),
        NORVEX_OK);
    oneStream.resize(length);
    EXPECT_EQ(ReadBytes(CompressedPath()), oneStream);
  }
  std::remove(CompressedPath().c_str());
  Norvex_SetPrintDataSaveIdle(NORVEX_LINK_COMPRESSED_FILE);
  EXPECT_EQ(NV_SentPrintData(zeros.data(), static_cast<uint32_t>(zeros.size())), NORVEX_OK);
  Norvex_SetPrintDataSaveIdle(NORVEX_LINK_USB);
  EXPECT_EQ(ReadBytes(CompressedPath()).size(), 100u);  // 25 pairs: 24 of 65535 words and one of 24
}

TEST_F(PrintDataTest, OtherModesSendNothingAndSucceed) {
  const Bytes data = RandomBytes(0x300000, 10);
  Norvex_SetPrintDataSaveIdle(7);
  EXPECT_EQ(Norvex_WriteSDRAM(data.data(), 0x180000), NORVEX_OK);
  uint32_t words = 64;
  EXPECT_EQ(Norvex_WriteSDRAM2(data.data(), &words, 1), NORVEX_OK);
  uint32_t bytes = 0;
  EXPECT_EQ(Norvex_GetWriteSDRAM2Result(&bytes), NORVEX_OK);
  EXPECT_EQ(bytes, 128u);
  EXPECT_TRUE(emulator.Model().PrintMemory().empty());
}

// A random image of `height` lines, captured in mode `mode` in pieces of
// awkward sizes; returns the lines.
Bytes CaptureImage(int32_t mode, uint32_t height, uint32_t seed) {
  const Bytes lines = RandomBytes(height * kCaptureWidth / 8, seed);
  const Bytes data = Interleave(lines, kCaptureWidth);
  std::remove(CapturePath().c_str());
  Norvex_SetPrintDataSaveIdle(mode);
  size_t at = 0;
  for (uint32_t piece : {1000u, 7u, 4096u, 30000u}) {
    EXPECT_EQ(NV_SentPrintData(data.data() + at, piece), NORVEX_OK);
    at += piece;
  }
  EXPECT_EQ(NV_SentPrintData(data.data() + at, static_cast<uint32_t>(data.size() - at)), NORVEX_OK);
  Norvex_SetPrintDataSaveIdle(NORVEX_LINK_USB);  // leaving the mode completes the TIFF
  return lines;
}

void CheckTiff(const Bytes& lines, uint32_t height) {
  const Bytes file = ReadBytes(CapturePath());
  ASSERT_GE(file.size(), 8 + lines.size());
  EXPECT_TRUE(std::equal(lines.begin(), lines.end(), file.begin() + 8));
  if (HaveTool("tiffinfo")) {
    const std::string out = Folder() + "/tiffinfo.txt";
    ASSERT_EQ(std::system(("tiffinfo " + CapturePath() + " >" + out + " 2>&1").c_str()), 0);
    const std::string info = ReadFile(out);
    EXPECT_NE(info.find("Image Width: 1024 Image Length: " + std::to_string(height)), std::string::npos)
        << info;
    EXPECT_NE(info.find("Bits/Sample: 1"), std::string::npos) << info;
    EXPECT_NE(info.find("min-is-white"), std::string::npos) << info;
    EXPECT_EQ(info.find("rror"), std::string::npos) << info;
  }
  if (HaveTool("tiffcmp")) {
    const std::string reference = Folder() + "/reference.tif";
    WriteReferenceTiff(reference, lines, kCaptureWidth, height);
    const std::string compare =
        "tiffcmp " + reference + " " + CapturePath() + " >" + Folder() + "/tiffcmp.txt 2>&1";
    EXPECT_EQ(std::system(compare.c_str()), 0);
    // Only libtiff's note of the private tag; no tag or pixel differs.
    const std::string same = ReadFile(Folder() + "/tiffcmp.txt");
    EXPECT_EQ(same.find("appears only"), std::string::npos) << same;
    EXPECT_EQ(same.find("Scanline"), std::string::npos) << same;
    EXPECT_EQ(same.find("differ"), std::string::npos) << same;
    // tiffcmp does see a wrong pixel.
    Bytes other = lines;
    other[lines.size() / 2] ^= 0x10;
    WriteReferenceTiff(reference, other, kCaptureWidth, height);
    EXPECT_NE(std::system(compare.c_str()), 0);  // tiffcmp says so in its status too
    EXPECT_NE(ReadFile(Folder() + "/tiffcmp.txt").find("Scanline"), std::string::npos);
  }
  // Pillow reads it pixel for pixel (1 bit = black under WhiteIsZero).
  if (std::system("/usr/bin/python3 -c 'import PIL' >/dev/null 2>&1") == 0) {
    const std::string rawPath = Folder() + "/lines.raw";
    std::ofstream(rawPath, std::ios::binary)
        .write(reinterpret_cast<const char*>(lines.data()), static_cast<long>(lines.size()));
    const std::string script =
        "import sys\nfrom PIL import Image\nim=Image.open(sys.argv[1]).convert('1')\n"
        "raw=open(sys.argv[2],'rb').read()\nw,h=im.size\nL=w//8\npx=im.load()\n"
        "bad=sum(1 for y in range(h) for x in range(w) if (px[x,y]==0)!=bool(raw[y*L+x//8]>>(7-x%8)&1))\n"
        "sys.exit(0 if bad==0 and (w,h)==(1024," +
        std::to_string(height) + ") else 1)\n";
    const std::string scriptPath = Folder() + "/pixels.py";
    std::ofstream(scriptPath) << script;
    EXPECT_EQ(std::system(("/usr/bin/python3 " + scriptPath + " " + CapturePath() + " " + rawPath).c_str()),
              0);
  }
}

TEST_F(PrintDataTest, TiffCaptureOnlyMakesAValidTiff) {
  const Bytes lines = CaptureImage(NORVEX_LINK_TIFF_CAPTURE, 320, 11);
  EXPECT_TRUE(emulator.Model().PrintMemory().empty());
  CheckTiff(lines, 320);
}

TEST_F(PrintDataTest, UsbAndTiffCaptureDoBoth) {
  const Bytes lines = CaptureImage(NORVEX_LINK_USB_AND_TIFF_CAPTURE, 352, 12);
  EXPECT_EQ(emulator.Model().PrintMemory(), Interleave(lines, kCaptureWidth));
  CheckTiff(lines, 352);
}

TEST_F(PrintDataTest, ReadSdramDataReadsBackWhatWasWritten) {
  const Bytes data = RandomBytes(3000, 13);
  ASSERT_EQ(NV_SentPrintData(data.data(), 3000), NORVEX_OK);
  Bytes buffer(2000 + 500, 0xEE);
  uint32_t count = 2000;
  EXPECT_EQ(NV_ReadSDRAMData(buffer.data(), &count), NORVEX_OK);
  EXPECT_EQ(count, 2000u);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 2000), Bytes(data.begin(), data.begin() + 2000));
  ASSERT_EQ(emulator.Model().ReceivedFrames().size(), 4u);
  EXPECT_EQ(emulator.Model().ReceivedFrames()[0],
            (Bytes{0x4D, 0x45, 0x10, 0x01, 0x02, 0x00, 0x42, 0x08, 0xA1, 0x4E}));
  // The rest, then the end of memory: an empty reply ends the loop.
  count = 2000;
  EXPECT_EQ(NV_ReadSDRAMData(buffer.data(), &count), NORVEX_OK);
  EXPECT_EQ(count, 1000u);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 1000), Bytes(data.begin() + 2000, data.end()));
}

// Uses a command handler of the test's own, which runs only where the
// machine is this process's (not the stand-in's, not a norvex-emu's).
TEST_F(PrintDataTest, ReadSdramDataCountsWholeReplies) {
  norvex::emu::DeviceModel* const local = emulator.LocalModel();
  if (local == nullptr)
    GTEST_SKIP() << "a command handler of the test's own runs in this process, not where the machine is";
  local->SetCommandHandler(0x10, 0x0842, [](const Request&) { return Reply{0x0843, Bytes(64, 0x5A)}; });
  Bytes buffer(600, 0);
  uint32_t count = 100;
  EXPECT_EQ(NV_ReadSDRAMData(buffer.data(), &count), NORVEX_OK);
  EXPECT_EQ(count, 128u);
  EXPECT_EQ(emulator.Model().ReceivedFrames().size(), 2u);

  emulator.Model().ClearReceived();
  count = 0;
  EXPECT_EQ(NV_ReadSDRAMData(buffer.data(), &count), NORVEX_OK);
  EXPECT_EQ(count, 0u);
  EXPECT_TRUE(emulator.Model().ReceivedFrames().empty());
  EXPECT_EQ(NV_ReadSDRAMData(buffer.data(), nullptr), NORVEX_ERR_INVALID_ARGUMENT);

  // A failure ends the loop; the count says what came before it.
  emulator.Model().InjectFault(Fault{FaultKind::kErrorReply, 0x33, 1, 0x0842, std::nullopt, 0});
  local->SetCommandHandler(0x10, 0x0842, {});
  const Bytes data = RandomBytes(1000, 14);
  ASSERT_EQ(NV_SentPrintData(data.data(), 1000), NORVEX_OK);
  count = 1000;
  EXPECT_EQ(NV_ReadSDRAMData(buffer.data(), &count), CTP_ERR_DEVICE(0x10, 0x33));
  EXPECT_EQ(count, 0u);
}

TEST_F(PrintDataTest, MaxSdramIndexByKernelVersion) {
  struct Case {
    std::string name;
    uint32_t index;
  } cases[] = {
      {"NVX-KERNEL V1.3", 63},
      {"NVX-KERNEL V1.2.9", 31},
      {"K V2.0.0", 63},
      {"K V1.3.0.7", 63},
      {"no version here", 31},
      {"v1.3 lower-case", 31},
      {"Va V1.2 V1.3.1", 63},
      {"K V 1.4", 63},
      {"K V1.259", 63},  // 259 keeps 3: 1.3
      {"K V1.-253", 63},
      {"K V0.99", 31},
      // Longer than 32 bytes: no overrun, the version at its end counts.
      {std::string(120, 'x') + " V1.3.2", 63},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes record(c.name.begin(), c.name.end());
    record.resize((record.size() + 1 + 3) / 4 * 4, 0);
    emulator.Model().SetStateRecord(0x10, 0x0000, 0x0004, record);
    EXPECT_EQ(NV_GetMaxSDRAMIndex(), c.index);
  }
  emulator.Model().InjectFault(Fault{FaultKind::kErrorReply, 0x44, 1, std::nullopt, std::nullopt, 0});
  EXPECT_EQ(NV_GetMaxSDRAMIndex(), 31u);
  uint32_t out = 0;
  // LastResult holds the query's code: a 0-word WriteSDRAM returns it.
  EXPECT_EQ(Norvex_WriteSDRAM(&out, 0), CTP_ERR_DEVICE(0x10, 0x44));
}

TEST_F(PrintDataTest, CompressDataExport) {
  const uint16_t input[5] = {0x1234, 0, 0, 0, 0xABCD};
  uint16_t output[10] = {};
  uint32_t length = 0;
  EXPECT_EQ(Norvex_CompressData(output, &length, input, sizeof(input)), NORVEX_OK);
  EXPECT_EQ(length, 8u);
  EXPECT_EQ(std::vector<uint16_t>(output, output + 4), (std::vector<uint16_t>{0x1234, 0, 3, 0xABCD}));
  uint16_t untouched[4] = {9, 9, 9, 9};
  EXPECT_EQ(Norvex_CompressData(untouched, nullptr, input, sizeof(input)), NORVEX_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(untouched[0], 9);
  EXPECT_EQ(Norvex_CompressData(untouched, &length, nullptr, 4), NORVEX_ERR_INVALID_ARGUMENT);
}

}  // namespace
