// params_test.cpp: the parameter-file exports through norvex.h against the
// emulator: the exact frames of the header and size queries and of chunked
// reads and writes, the write order, the save and its mask, header, size and
// chunk-limit errors before any section moves, the HS section 6 bound,
// failures in the middle, null records, and round trips get, check, set,
// save, get.
#include <cstring>
#include <string>
#include <vector>

#include "api_helpers.h"
#include "emu/device_model.h"
#include "unit_api_support.h"

namespace {

using norvex::emu::ParaFileEvent;
using norvex::emu::ParaFileHeader;
using norvex_api_test::Bytes;
using norvex_api_test::LastResult;
using norvex_api_test::Le32;
using norvex_api_test::Pattern;
using norvex_api_test::RequestFrame;
using norvex_api_test::Selector;

// The units' addresses, as the emulator has them.
constexpr uint8_t kMain = norvex::emu::kMainUnit;
constexpr uint8_t kLh = norvex::emu::kLaserHead;
constexpr uint8_t kHs0 = norvex::emu::kHsBoard0;
constexpr uint8_t kHs1 = norvex::emu::kHsBoard1;
constexpr uint16_t kRead = 0xC080;
constexpr uint16_t kWrite = 0xC082;
constexpr uint16_t kSave = 0xC0EE;

Bytes Words(uint16_t a, uint16_t b) { return Selector(a, b); }

template <typename Record>
Bytes BytesOf(const Record& record, size_t offset, size_t size) {
  const auto* p = reinterpret_cast<const uint8_t*>(&record);
  return Bytes(p + offset, p + offset + size);
}

template <typename Record>
void Fill(Record& record, uint8_t value) {
  std::memset(&record, value, sizeof record);
}

// The frames of reading `length` bytes of section `section` with read limit
// `limit`, built here independently of the library.
std::vector<Bytes> ReadFrames(uint8_t address, uint16_t section, size_t length, size_t limit) {
  std::vector<Bytes> frames;
  for (size_t offset = 0; offset < length;) {
    const size_t chunk = std::min(length - offset, limit);
    frames.push_back(RequestFrame(
        address, kRead,
        Words(static_cast<uint16_t>((offset / 2) << 4 | section), static_cast<uint16_t>(chunk / 2))));
    offset += length == 2 ? 4 : chunk;
  }
  return frames;
}

// The frames of writing `data` as section `section` with write limit `limit`.
std::vector<Bytes> WriteFrames(uint8_t address, uint16_t section, const Bytes& data, size_t limit) {
  std::vector<Bytes> frames;
  for (size_t offset = 0; offset < data.size();) {
    const size_t chunk = std::min(data.size() - offset, limit);
    Bytes body = Words(static_cast<uint16_t>((offset / 2) << 4 | section), static_cast<uint16_t>(chunk / 2));
    body.insert(body.end(), data.begin() + static_cast<long>(offset),
                data.begin() + static_cast<long>(offset + chunk));
    if (chunk == 2) body.insert(body.end(), {0, 0});
    frames.push_back(RequestFrame(address, kWrite, body));
    offset += chunk;
  }
  return frames;
}

Bytes HeaderQuery(uint8_t address) {
  return RequestFrame(address, 0xC0D0, Selector(address == kMain ? 0xF800 : 0x5000, 2));
}
Bytes SizeQuery(uint8_t address) {
  return RequestFrame(address, 0xC0D0, Selector(address == kMain ? 0xF800 : 0x5000, 1));
}

void Append(std::vector<Bytes>& to, const std::vector<Bytes>& more) {
  to.insert(to.end(), more.begin(), more.end());
}

class ParamsTest : public norvex_api_test::UnitApiTest {
 protected:
  std::vector<Bytes> Frames() const { return emulator.Model().ReceivedFrames(); }
  void SetChunks(uint8_t address, uint16_t readWords, uint16_t writeWords) {
    ParaFileHeader header = emulator.Model().ParaFiles().Header(address);
    header.readChunkWords = readWords;
    header.writeChunkWords = writeWords;
    emulator.Model().ParaFiles().SetHeader(address, header);
  }
};

// ---- Get ------------------------------------------------------------------------

TEST_F(ParamsTest, MainUnitGetReadsEverySectionInChunks) {
  SetChunks(kMain, 8, 248);  // 16 bytes a read
  emulator.Model().ParaFiles().SetSection(kMain, 2, {0x41, 0x00});
  MainUnitParaFile file;
  Fill(file, 0xEE);
  EXPECT_EQ(NV_GetParaFile(&file, 0xFFFFFFFFu), NORVEX_OK);
  EXPECT_EQ(LastResult(), NORVEX_OK);

  std::vector<Bytes> expected = {HeaderQuery(kMain), SizeQuery(kMain)};
  const size_t words[9] = {136, 8, 1, 2, 256, 4, 1, 2, 2};
  for (uint16_t s = 0; s < 9; ++s) Append(expected, ReadFrames(kMain, s, 2 * words[s], 16));
  EXPECT_EQ(Frames(), expected);
  EXPECT_EQ(file.header.formatWord, 0x0202);
  EXPECT_EQ(file.header.sectionCount, 9);
  EXPECT_EQ(file.header.readChunkWords, 8);
  for (size_t s = 0; s < 9; ++s) EXPECT_EQ(file.sectionWords[s], words[s]);
  EXPECT_EQ(BytesOf(file, 44, 272), emulator.Model().ParaFiles().Section(kMain, 0));
  EXPECT_EQ(BytesOf(file, 340, 512), emulator.Model().ParaFiles().Section(kMain, 4));
  EXPECT_EQ(BytesOf(file, 868, 4), emulator.Model().ParaFiles().Section(kMain, 8));
  // A one-word section takes the unit's 4 bytes, its padding included.
  EXPECT_EQ(BytesOf(file, 332, 4), (Bytes{0x41, 0, 0, 0}));
}

TEST_F(ParamsTest, ReadLimitIsAtMost500Bytes) {
  SetChunks(kMain, 300, 248);
  MainUnitParaFile file{};
  EXPECT_EQ(NV_GetParaFile(&file, 0x00020000u), NORVEX_OK);
  const std::vector<Bytes> expected = {
      HeaderQuery(kMain), SizeQuery(kMain), RequestFrame(kMain, kRead, Words(0x0003, 2)),
      RequestFrame(kMain, kRead, Words(0x0004, 250)), RequestFrame(kMain, kRead, Words(0x0FA4, 6))};
  EXPECT_EQ(Frames(), expected);
  EXPECT_EQ(BytesOf(file, 340, 512), emulator.Model().ParaFiles().Section(kMain, 4));
}

TEST_F(ParamsTest, MainUnitSection3DefaultAndReadFailure) {
  emulator.Model().ParaFiles().SetSection(kMain, 3, {5, 0, 0, 0});
  MainUnitParaFile file{};
  EXPECT_EQ(NV_GetParaFile(&file, 0x00080000u), NORVEX_OK);
  EXPECT_EQ(file.section3[0], 5);
  EXPECT_EQ(file.section3[1], 2400);
  emulator.Model().ParaFiles().SetSection(kMain, 3, {5, 0, 7, 0});
  EXPECT_EQ(NV_GetParaFile(&file, 0x00020000u), NORVEX_OK);
  EXPECT_EQ(file.section3[1], 7);

  // A failed section 3 read leaves 0 in its first word; section 4 is not read.
  Fill(file, 0xEE);
  emulator.Model().ClearReceived();
  emulator.Model().ParaFiles().Refuse(kMain, kRead, 0x0051);
  EXPECT_EQ(NV_GetParaFile(&file, 0x00020000u), CTP_ERR_DEVICE(0x10u, 0x0051u));
  EXPECT_EQ(LastResult(), CTP_ERR_DEVICE(0x10u, 0x0051u));
  EXPECT_EQ(file.section3[0], 0);
  EXPECT_EQ(file.section3[1], 0xEEEE);
  EXPECT_EQ(file.section4[0], 0xEEEE);
  EXPECT_EQ(Frames().size(), 3u);
}

// Uses a command handler of the test's own, which runs only where the
// machine is this process's (not the stand-in's, not a norvex-emu's).
TEST_F(ParamsTest, GetFailingInTheMiddleKeepsEarlierSections) {
  norvex::emu::DeviceModel* const local = emulator.LocalModel();
  if (local == nullptr)
    GTEST_SKIP() << "a command handler of the test's own runs in this process, not where the machine is";
  SetChunks(kLh, 4, 248);
  emulator.Model().ParaFiles().Refuse(kLh, kRead, 0x0052);  // refuses the first read ...
  LaserHeadParaFile file;
  Fill(file, 0xEE);
  EXPECT_EQ(LH_GetParaFile(&file, 0x1F), CTP_ERR_DEVICE(0x42u, 0x0052u));
  EXPECT_EQ(BytesOf(file, 28, 28), Bytes(28, 0xEE));
  // ... and later the second chunk of section 2. Sections 0 (28 bytes) and
  // 1 (8 bytes) take 5 reads of at most 8 bytes, each answered with its
  // number.
  emulator.Model().ClearReceived();
  int reads = 0;
  local->SetCommandHandler(kLh, kRead, [&](const norvex::emu::Request& request) {
    ++reads;
    if (reads == 7) return norvex::emu::Reply::Error(0x0053);
    const size_t bytes = 2u * static_cast<size_t>(request.data[2] | (request.data[3] << 8));
    return norvex::emu::Reply{0xC081, Bytes(bytes, static_cast<uint8_t>(reads))};
  });
  EXPECT_EQ(LH_GetParaFile(&file, 0x1F), CTP_ERR_DEVICE(0x42u, 0x0053u));
  EXPECT_EQ(reads, 7);
  EXPECT_EQ(BytesOf(file, 28, 8), Bytes(8, 1));
  EXPECT_EQ(BytesOf(file, 52, 4), Bytes(4, 4));
  EXPECT_EQ(BytesOf(file, 56, 8), Bytes(8, 5));
  EXPECT_EQ(BytesOf(file, 64, 8), Bytes(8, 6));
  EXPECT_EQ(BytesOf(file, 72, 44), Bytes(44, 0xEE));
}

TEST_F(ParamsTest, MaskZeroOnlyQueriesHeaderAndSizes) {
  MainUnitParaFile file{};
  EXPECT_EQ(NV_GetParaFile(&file, 0), NORVEX_OK);
  EXPECT_EQ(Frames(), (std::vector<Bytes>{HeaderQuery(kMain), SizeQuery(kMain)}));
}

TEST_F(ParamsTest, OddChunksKeepOnlyTheirBytes) {
  // 3 words a read: 6-byte chunks whose replies come padded to 8 bytes.
  SetChunks(kLh, 3, 248);
  LaserHeadParaFile file;
  Fill(file, 0xEE);
  EXPECT_EQ(LH_GetParaFile(&file, 0x01), NORVEX_OK);
  std::vector<Bytes> expected = {HeaderQuery(kLh), SizeQuery(kLh)};
  Append(expected, ReadFrames(kLh, 0, 28, 6));
  EXPECT_EQ(Frames(), expected);
  EXPECT_EQ(BytesOf(file, 28, 28), emulator.Model().ParaFiles().Section(kLh, 0));
  EXPECT_EQ(BytesOf(file, 56, 8), Bytes(8, 0xEE));

  // 1 word a read: every word its own chunk.
  SetChunks(kLh, 1, 248);
  emulator.Model().ClearReceived();
  EXPECT_EQ(LH_GetParaFile(&file, 0x02), NORVEX_OK);
  expected = {HeaderQuery(kLh), SizeQuery(kLh)};
  Append(expected, ReadFrames(kLh, 1, 8, 2));
  EXPECT_EQ(Frames(), expected);
  EXPECT_EQ(BytesOf(file, 56, 8), emulator.Model().ParaFiles().Section(kLh, 1));
  EXPECT_EQ(BytesOf(file, 64, 4), Bytes(4, 0xEE));
}

// ---- Header, size and chunk-limit errors --------------------------------------------

struct HeaderErrorCase {
  const char* name;
  uint8_t address;
  ParaFileHeader header;
  uint32_t result;
  size_t frames;
};

const HeaderErrorCase kHeaderErrors[] = {
    {"main format", kMain, {0x0302, 9, 250, 248}, NORVEX_ERR_PARA_FORMAT_WORD, 1},
    {"main count 8", kMain, {0x0202, 8, 250, 248}, NORVEX_ERR_PARA_SECTION_COUNT, 1},
    {"laser head format", kLh, {0x0202, 5, 250, 248}, NORVEX_ERR_PARA_FORMAT_WORD, 1},
    {"laser head count", kLh, {0x0302, 7, 250, 248}, NORVEX_ERR_PARA_SECTION_COUNT, 1},
    {"HS format", kHs1, {0x0303, 7, 250, 248}, NORVEX_ERR_PARA_FORMAT_WORD, 1},
    {"HS count", kHs0, {0x0302, 5, 250, 248}, NORVEX_ERR_PARA_SECTION_COUNT, 1},
};

// Get or set of every section of the file at `address`, into `buffer`.
uint32_t GetAll(uint8_t address, void* buffer) {
  if (address == kMain) return NV_GetParaFile(static_cast<MainUnitParaFile*>(buffer), 0xFFFFFFFFu);
  if (address == kLh) return LH_GetParaFile(static_cast<LaserHeadParaFile*>(buffer), 0xFFFFFFFFu);
  return HS_GetParaFile(address - 0x20u, static_cast<HsBoardParaFile*>(buffer), 0xFFFFFFFFu);
}
uint32_t SetAll(uint8_t address, void* buffer) {
  if (address == kMain) return NV_SetParaFile(static_cast<MainUnitParaFile*>(buffer), 0xFFFFFFFFu);
  if (address == kLh) return LH_SetParaFile(static_cast<LaserHeadParaFile*>(buffer), 0xFFFFFFFFu);
  return HS_SetParaFile(address - 0x20u, static_cast<HsBoardParaFile*>(buffer), 0xFFFFFFFFu);
}

TEST_F(ParamsTest, HeaderErrorsComeBeforeAnySectionMoves) {
  for (const HeaderErrorCase& c : kHeaderErrors) {
    for (bool set : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (set ? " set" : " get"));
      emulator.Model().ParaFiles().SetHeader(c.address, c.header);
      emulator.Model().ClearReceived();
      emulator.Model().ParaFiles().ClearEvents();
      HsBoardParaFile buffer;  // the largest record
      Fill(buffer, 0xEE);
      EXPECT_EQ(set ? SetAll(c.address, &buffer) : GetAll(c.address, &buffer), c.result);
      EXPECT_EQ(LastResult(), c.result);
      EXPECT_EQ(Frames(), std::vector<Bytes>{HeaderQuery(c.address)});
      EXPECT_TRUE(emulator.Model().ParaFiles().Events().empty());
      // The record holds the unit's header; nothing else was written.
      EXPECT_EQ(buffer.header.formatWord, c.header.formatWord);
      EXPECT_EQ(buffer.header.sectionCount, c.header.sectionCount);
      EXPECT_EQ(buffer.sectionWords[0], 0xEEEEEEEEu);
    }
    // Back to the true header.
    ParaFileHeader good = c.header;
    good.formatWord = c.address == kMain ? 0x0202 : 0x0302;
    good.sectionCount = c.address == kMain ? 9 : (c.address == kLh ? 5 : 7);
    emulator.Model().ParaFiles().SetHeader(c.address, good);
  }
}

struct SizeErrorCase {
  uint8_t address;
  std::vector<uint32_t> sizes;
  uint32_t result;
};

const SizeErrorCase kSizeErrors[] = {
    {kMain, {137, 8, 1, 2, 256, 4, 1, 2, 2}, 0x10100000u},
    {kMain, {136, 8, 1, 2, 256, 4, 1, 2, 3}, 0x10100008u},
    {kMain, {136, 8, 2, 2, 255, 4, 1, 2, 2}, 0x10100002u},
    {kLh, {14, 4, 12, 11, 2}, 0x10420003u},
    {kLh, {14, 4, 12, 12, 0}, 0x10420004u},
    {kHs0, {454, 32, 40, 2, 2, 453, 16}, 0x101F0005u},
    {kHs1, {454, 31, 40, 2, 2, 454, 16}, 0x101F0001u},
    // Section 6 has no expected size, but a bound.
    {kHs0, {454, 32, 40, 2, 2, 454, NORVEX_HS_PARA_SECTION6_MAX_WORDS + 1}, 0x101F0006u},
    {kHs1, {454, 32, 40, 2, 2, 454, 0xFFFFFFFFu}, 0x101F0006u},
};

TEST_F(ParamsTest, SizeErrorsComeBeforeAnySectionMoves) {
  for (const SizeErrorCase& c : kSizeErrors) {
    for (bool set : {false, true}) {
      SCOPED_TRACE(::testing::Message() << std::hex << c.result << (set ? " set" : " get"));
      emulator.Model().ParaFiles().SetSizes(c.address, c.sizes);
      emulator.Model().ClearReceived();
      emulator.Model().ParaFiles().ClearEvents();
      HsBoardParaFile buffer;
      Fill(buffer, 0xEE);
      EXPECT_EQ(set ? SetAll(c.address, &buffer) : GetAll(c.address, &buffer), c.result);
      EXPECT_EQ(Frames(), (std::vector<Bytes>{HeaderQuery(c.address), SizeQuery(c.address)}));
      EXPECT_TRUE(emulator.Model().ParaFiles().Events().empty());
      // The record holds the unit's size table.
      Bytes table;
      for (uint32_t words : c.sizes) {
        const Bytes value = Le32(words);
        table.insert(table.end(), value.begin(), value.end());
      }
      EXPECT_EQ(BytesOf(buffer, 8, table.size()), table);
      // Nothing after the size table was written.
      EXPECT_EQ(BytesOf(buffer, 8 + table.size(), 64), Bytes(64, 0xEE));
    }
  }
}

TEST_F(ParamsTest, ZeroChunkLimitsAreRefused) {
  for (uint8_t address : {kMain, kLh, kHs0, kHs1}) {
    SCOPED_TRACE(int{address});
    HsBoardParaFile buffer{};
    // No read chunk: a get is refused after the header.
    SetChunks(address, 0, 248);
    emulator.Model().ClearReceived();
    EXPECT_EQ(GetAll(address, &buffer), NORVEX_ERR_PARA_CHUNK_LIMIT);
    EXPECT_EQ(LastResult(), NORVEX_ERR_PARA_CHUNK_LIMIT);
    EXPECT_EQ(Frames(), std::vector<Bytes>{HeaderQuery(address)});
    // No write chunk: a set is refused after the header; a get works.
    SetChunks(address, 250, 0);
    emulator.Model().ClearReceived();
    EXPECT_EQ(SetAll(address, &buffer), NORVEX_ERR_PARA_CHUNK_LIMIT);
    EXPECT_EQ(Frames(), std::vector<Bytes>{HeaderQuery(address)});
    EXPECT_EQ(GetAll(address, &buffer), NORVEX_OK);
    SetChunks(address, 250, 248);
  }
  // A set with a read chunk of 0 does not need one.
  SetChunks(kLh, 0, 248);
  LaserHeadParaFile file{};
  EXPECT_EQ(LH_SetParaFile(&file, 0x01), NORVEX_OK);
}

// ---- HS section 6 ------------------------------------------------------------------

TEST_F(ParamsTest, HsSection6AsTheBoardReportsUpToTheBound) {
  const uint32_t maxWords = NORVEX_HS_PARA_SECTION6_MAX_WORDS;
  emulator.Model().ParaFiles().SetSizes(kHs1, {454, 32, 40, 2, 2, 454, maxWords});
  const Bytes content = Pattern(2 * maxWords, 3);
  emulator.Model().ParaFiles().SetSection(kHs1, 6, content);
  HsBoardParaFile file;
  Fill(file, 0xEE);
  EXPECT_EQ(HS_GetParaFile(1, &file, 0x40), NORVEX_OK);
  std::vector<Bytes> expected = {HeaderQuery(kHs1), SizeQuery(kHs1)};
  Append(expected, ReadFrames(kHs1, 6, 2 * maxWords, 500));
  EXPECT_EQ(Frames(), expected);
  EXPECT_EQ(BytesOf(file, 2004, 2 * maxWords), content);

  // An odd size: only its bytes land in the record.
  emulator.Model().ParaFiles().SetSizes(kHs0, {454, 32, 40, 2, 2, 454, 3});
  emulator.Model().ParaFiles().SetSection(kHs0, 6, {1, 2, 3, 4, 5, 6});
  Fill(file, 0xEE);
  EXPECT_EQ(HS_GetParaFile(0, &file, 0x40), NORVEX_OK);
  EXPECT_EQ(BytesOf(file, 2004, 8), (Bytes{1, 2, 3, 4, 5, 6, 0xEE, 0xEE}));

  // Written back as the board reports it, then saved.
  emulator.Model().ClearReceived();
  file.section6[0] = 0x0A0B;
  EXPECT_EQ(HS_SetParaFile(0, &file, 0x40), NORVEX_OK);
  expected = {HeaderQuery(kHs0), SizeQuery(kHs0)};
  Append(expected, WriteFrames(kHs0, 6, {0x0B, 0x0A, 3, 4, 5, 6}, 496));
  expected.push_back(RequestFrame(kHs0, kSave, Le32(0x40)));
  EXPECT_EQ(Frames(), expected);
  EXPECT_EQ(emulator.Model().ParaFiles().SavedSection(kHs0, 6), (Bytes{0x0B, 0x0A, 3, 4, 5, 6}));
}

TEST_F(ParamsTest, BoardNumberAboveOneAndNullRecords) {
  HsBoardParaFile hs{};
  struct {
    const char* name;
    uint32_t result;
  } cases[] = {
      {"HS_GetParaFile board 2", HS_GetParaFile(2, &hs, 1)},
      {"HS_SetParaFile board 2", HS_SetParaFile(2, &hs, 1)},
      {"HS_SaveParaFile board 2", HS_SaveParaFile(2, 1)},
      {"HS_GetParaFile null", HS_GetParaFile(0, nullptr, 1)},
      {"HS_SetParaFile null", HS_SetParaFile(1, nullptr, 1)},
      {"NV_GetParaFile null", NV_GetParaFile(nullptr, 1)},
      {"NV_SetParaFile null", NV_SetParaFile(nullptr, 1)},
      {"LH_GetParaFile null", LH_GetParaFile(nullptr, 1)},
      {"LH_SetParaFile null", LH_SetParaFile(nullptr, 1)},
  };
  for (const auto& c : cases) EXPECT_EQ(c.result, NORVEX_ERR_INVALID_ARGUMENT) << c.name;
  EXPECT_EQ(LastResult(), NORVEX_ERR_INVALID_ARGUMENT);
  EXPECT_TRUE(Frames().empty());

  // The checks give 0 for null and leave the last-result word alone.
  PresetLastResult(0x0033);
  EXPECT_EQ(NV_CheckParaFile(nullptr, nullptr), 0u);
  EXPECT_EQ(LH_CheckParaFile(nullptr), 0u);
  EXPECT_EQ(HS_CheckParaFile(nullptr), 0u);
  EXPECT_EQ(LastResult(), CTP_ERR_DEVICE(0x10u, 0x0033u));
  // HS_CheckParaFile changes nothing.
  Fill(hs, 0x5A);
  EXPECT_EQ(HS_CheckParaFile(&hs), 0u);
  EXPECT_EQ(BytesOf(hs, 0, sizeof hs), Bytes(sizeof hs, 0x5A));
}

// ---- Set and save ----------------------------------------------------------------------

TEST_F(ParamsTest, MainUnitSetWritesSection4BeforeSection3ThenSaves) {
  SetChunks(kMain, 250, 100);  // 200 bytes a write
  MainUnitParaFile file{};
  const Bytes s3 = {1, 0, 0x60, 0x09};
  const Bytes s4 = Pattern(512, 9);
  std::memcpy(file.section3, s3.data(), 4);
  std::memcpy(file.section4, s4.data(), 512);
  EXPECT_EQ(NV_SetParaFile(&file, 0x00020000u), NORVEX_OK);
  std::vector<Bytes> expected = {HeaderQuery(kMain), SizeQuery(kMain)};
  Append(expected, WriteFrames(kMain, 4, s4, 200));
  Append(expected, WriteFrames(kMain, 3, s3, 200));
  expected.push_back(RequestFrame(kMain, kSave, Le32(0x000A0000u)));
  EXPECT_EQ(Frames(), expected);
  EXPECT_EQ(expected.size(), 2u + 3 + 1 + 1);
  EXPECT_EQ(emulator.Model().ParaFiles().Section(kMain, 4), s4);
  EXPECT_EQ(emulator.Model().ParaFiles().SavedSection(kMain, 3), s3);
  ASSERT_EQ(emulator.Model().ParaFiles().Saves().size(), 1u);
  EXPECT_EQ(emulator.Model().ParaFiles().Saves()[0].mask, 0x000A0000u);
}

TEST_F(ParamsTest, MainUnitSetOfEverySectionInItsOrder) {
  SetChunks(kMain, 250, 248);
  MainUnitParaFile file{};
  EXPECT_EQ(NV_GetParaFile(&file, 0xFFFFFFFFu), NORVEX_OK);
  for (auto& w : file.section0) w = static_cast<uint16_t>(w ^ 0x5555);
  file.section2 = 0x0047;
  file.section2Reserved = 0x1234;  // never sent: the padding word is 0
  file.section6 = 0x7777;          // read only: never sent
  emulator.Model().ClearReceived();
  emulator.Model().ParaFiles().ClearEvents();
  EXPECT_EQ(NV_SetParaFile(&file, 0xFFFFFFFFu), NORVEX_OK);

  std::vector<uint32_t> sections;
  for (const ParaFileEvent& e : emulator.Model().ParaFiles().Events()) {
    if (e.kind == ParaFileEvent::Kind::kWrite) sections.push_back(e.section);
  }
  EXPECT_EQ(sections, (std::vector<uint32_t>{0, 1, 2, 4, 4, 3, 5}));
  const auto saves = emulator.Model().ParaFiles().Saves();
  ASSERT_EQ(saves.size(), 1u);
  EXPECT_EQ(saves[0].mask, 0xAA0A0000u);
  EXPECT_EQ(saves[0].eventIndex, emulator.Model().ParaFiles().Events().size() - 1);  // after every write
  ASSERT_EQ(saves[0].sections.size(), 6u);                                           // sections 0 to 5
  EXPECT_EQ(saves[0].sections[0].second, BytesOf(file, 44, 272));
  // The one-word section 2 went out as position, count 1, the word, a zero word.
  EXPECT_EQ(Frames()[2 + 1 + 1],
            RequestFrame(kMain, kWrite, {0x02, 0x00, 0x01, 0x00, 0x47, 0x00, 0x00, 0x00}));
  EXPECT_EQ(emulator.Model().ParaFiles().Section(kMain, 2), (Bytes{0x47, 0x00}));
  EXPECT_NE(emulator.Model().ParaFiles().Section(kMain, 6), (Bytes{0x77, 0x77}));
}

TEST_F(ParamsTest, WriteLimitIsAtMost496BytesAndOneWordChunksCoverEveryWord) {
  SetChunks(kHs0, 250, 300);
  HsBoardParaFile file{};
  const Bytes s0 = Pattern(908, 1);
  std::memcpy(file.section0, s0.data(), s0.size());
  EXPECT_EQ(HS_SetParaFile(0, &file, 0x01), NORVEX_OK);
  std::vector<Bytes> expected = {HeaderQuery(kHs0), SizeQuery(kHs0)};
  Append(expected, WriteFrames(kHs0, 0, s0, 496));
  expected.push_back(RequestFrame(kHs0, kSave, Le32(0x01)));
  EXPECT_EQ(Frames(), expected);
  ASSERT_EQ(expected.size(), 5u);  // 496 + 412 bytes
  EXPECT_EQ(emulator.Model().ParaFiles().Section(kHs0, 0), s0);

  // One word a write: every word goes out padded, none is skipped.
  SetChunks(kLh, 250, 1);
  emulator.Model().ClearReceived();
  LaserHeadParaFile lh{};
  const Bytes s1 = Pattern(8, 0x31);
  std::memcpy(lh.section1, s1.data(), 8);
  EXPECT_EQ(LH_SetParaFile(&lh, 0x02), NORVEX_OK);
  expected = {HeaderQuery(kLh), SizeQuery(kLh)};
  Append(expected, WriteFrames(kLh, 1, s1, 2));
  expected.push_back(RequestFrame(kLh, kSave, Le32(0x02)));
  EXPECT_EQ(Frames(), expected);
  ASSERT_EQ(expected.size(), 2u + 4 + 1);
  EXPECT_EQ(emulator.Model().ParaFiles().Section(kLh, 1), s1);
}

TEST_F(ParamsTest, SetWithoutWritableSectionsSendsNoSave) {
  LaserHeadParaFile file{};
  EXPECT_EQ(LH_SetParaFile(&file, 0x10), NORVEX_OK);
  EXPECT_EQ(Frames(), (std::vector<Bytes>{HeaderQuery(kLh), SizeQuery(kLh)}));
  MainUnitParaFile main{};
  emulator.Model().ClearReceived();
  EXPECT_EQ(NV_SetParaFile(&main, 0x00808000u | 0x00200000u), NORVEX_OK);  // sections 6, 7, 8
  EXPECT_EQ(Frames().size(), 2u);
  EXPECT_TRUE(emulator.Model().ParaFiles().Saves().empty());
}

// Uses a command handler of the test's own, which runs only where the
// machine is this process's (not the stand-in's, not a norvex-emu's).
TEST_F(ParamsTest, SetFailingInTheMiddleSendsNoSave) {
  norvex::emu::DeviceModel* const local = emulator.LocalModel();
  if (local == nullptr)
    GTEST_SKIP() << "a command handler of the test's own runs in this process, not where the machine is";
  LaserHeadParaFile file{};
  const Bytes before1 = emulator.Model().ParaFiles().Section(kLh, 1);
  std::memset(file.section0, 0x11, sizeof file.section0);
  std::memset(file.section1, 0x22, sizeof file.section1);
  int writes = 0;
  local->SetCommandHandler(kLh, kWrite, [&](const norvex::emu::Request&) {
    return ++writes == 2 ? norvex::emu::Reply::Error(0x0054) : norvex::emu::Reply::Ack();
  });
  EXPECT_EQ(LH_SetParaFile(&file, 0x0F), CTP_ERR_DEVICE(0x42u, 0x0054u));
  EXPECT_EQ(LastResult(), CTP_ERR_DEVICE(0x42u, 0x0054u));
  EXPECT_EQ(Frames().size(), 4u);  // header, sizes, section 0, section 1 refused
  EXPECT_EQ(writes, 2);
  EXPECT_TRUE(emulator.Model().ParaFiles().Saves().empty());
  EXPECT_EQ(emulator.Model().ParaFiles().Section(kLh, 1), before1);

  // A refused save is the set's result.
  local->SetCommandHandler(kLh, kWrite, nullptr);
  emulator.Model().ParaFiles().Refuse(kLh, kSave, 0x0055);
  EXPECT_EQ(LH_SetParaFile(&file, 0x01), CTP_ERR_DEVICE(0x42u, 0x0055u));
  EXPECT_EQ(emulator.Model().ParaFiles().Section(kLh, 0), Bytes(28, 0x11));
  EXPECT_TRUE(emulator.Model().ParaFiles().SavedSection(kLh, 0).empty());
}

TEST_F(ParamsTest, SaveExportsSendTheMaskAsItIs) {
  EXPECT_EQ(NV_SaveParaFile(0x12345678u), NORVEX_OK);
  EXPECT_EQ(LH_SaveParaFile(0x1F), NORVEX_OK);
  EXPECT_EQ(HS_SaveParaFile(1, 0x40), NORVEX_OK);
  EXPECT_EQ(Frames(), (std::vector<Bytes>{RequestFrame(kMain, kSave, Le32(0x12345678u)),
                                          RequestFrame(kLh, kSave, Le32(0x1F)),
                                          RequestFrame(kHs1, kSave, Le32(0x40))}));
  emulator.Model().ParaFiles().Refuse(kHs0, kSave, 0x0056);
  EXPECT_EQ(HS_SaveParaFile(0, 0x01), CTP_ERR_DEVICE(0x20u, 0x0056u));
  EXPECT_EQ(LastResult(), CTP_ERR_DEVICE(0x20u, 0x0056u));
}

// ---- Round trips ----------------------------------------------------------------------------

TEST_F(ParamsTest, MainUnitRoundTripGetCheckSetSaveGet) {
  SetChunks(kMain, 40, 24);  // several chunks for the larger sections
  MainUnitParaFile file{};
  ASSERT_EQ(NV_GetParaFile(&file, 0xFFFFFFFFu), NORVEX_OK);
  const uint32_t changed = NV_CheckParaFile(&file, nullptr);
  EXPECT_NE(changed, 0u);
  EXPECT_EQ(NV_CheckParaFile(&file, nullptr), 0u);
  ASSERT_EQ(NV_SetParaFile(&file, changed), NORVEX_OK);
  ASSERT_EQ(emulator.Model().ParaFiles().Saves().size(), 1u);
  EXPECT_EQ(emulator.Model().ParaFiles().Saves()[0].mask, changed);

  MainUnitParaFile again;
  Fill(again, 0xEE);
  ASSERT_EQ(NV_GetParaFile(&again, 0xFFFFFFFFu), NORVEX_OK);
  EXPECT_EQ(BytesOf(again, 0, 332), BytesOf(file, 0, 332));
  EXPECT_EQ(again.section2, file.section2);
  EXPECT_EQ(BytesOf(again, 336, 872 - 336), BytesOf(file, 336, 872 - 336));
  EXPECT_EQ(NV_CheckParaFile(&again, nullptr), 0u);
  EXPECT_EQ(emulator.Model().ParaFiles().SavedSection(kMain, 0), BytesOf(file, 44, 272));
}

TEST_F(ParamsTest, BoardRoundTrips) {
  SetChunks(kLh, 5, 3);
  LaserHeadParaFile lh{};
  ASSERT_EQ(LH_GetParaFile(&lh, 0x1F), NORVEX_OK);
  const uint32_t changed = LH_CheckParaFile(&lh);
  EXPECT_EQ(changed, 0x0Fu);  // counting bytes break every rule
  ASSERT_EQ(LH_SetParaFile(&lh, 0x1F), NORVEX_OK);
  LaserHeadParaFile lhAgain{};
  ASSERT_EQ(LH_GetParaFile(&lhAgain, 0x1F), NORVEX_OK);
  EXPECT_EQ(BytesOf(lhAgain, 0, sizeof lh), BytesOf(lh, 0, sizeof lh));
  EXPECT_EQ(LH_CheckParaFile(&lhAgain), 0u);

  SetChunks(kHs1, 64, 50);
  HsBoardParaFile hs{};
  ASSERT_EQ(HS_GetParaFile(1, &hs, 0x7F), NORVEX_OK);
  for (auto& w : hs.section5) w = static_cast<uint16_t>(~w);
  for (size_t i = 0; i < 16; ++i) hs.section6[i] = static_cast<uint16_t>(i * 3);
  ASSERT_EQ(HS_SetParaFile(1, &hs, 0x7F), NORVEX_OK);
  ASSERT_EQ(emulator.Model().ParaFiles().Saves().back().mask, 0x67u);  // 0, 1, 2, 5 and 6
  HsBoardParaFile hsAgain{};
  ASSERT_EQ(HS_GetParaFile(1, &hsAgain, 0x7F), NORVEX_OK);
  EXPECT_EQ(BytesOf(hsAgain, 0, 2004 + 32), BytesOf(hs, 0, 2004 + 32));
  // Board 0 was not touched.
  EXPECT_TRUE(emulator.Model().ParaFiles().SavedSection(kHs0, 5).empty());
}

}  // namespace
