// para_files_test.cpp: the emulated units' parameter files, frame by frame
// through the device model: headers and size tables, chunked reads and
// writes at any position, the unit's own refusals, refusals on demand, and
// saves with what they saved and when.
#include "emu/units/para_files.h"

#include <gtest/gtest.h>

#include <vector>

#include "emu/device_model.h"
#include "params/para_file_tables.h"
#include "protocol/frame.h"
#include "request_frames.h"

namespace norvex::emu {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::Answer;
using testing::Cat;
using testing::RequestFrame;
using testing::Selector;
using units::ParaFileBank;

Bytes Words(uint16_t a, uint16_t b) {
  return {static_cast<uint8_t>(a), static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(b),
          static_cast<uint8_t>(b >> 8)};
}

class ParaFilesTest : public testing::ModelTest {
 protected:
  Answer Read(uint8_t address, uint32_t section, uint32_t wordOffset, uint16_t words) {
    return Send(address, kParaReadCommand, Words(static_cast<uint16_t>(wordOffset << 4 | section), words));
  }
  Answer Write(uint8_t address, uint32_t section, uint32_t wordOffset, uint16_t words, const Bytes& data) {
    return Send(address, kParaWriteCommand,
                Cat(Words(static_cast<uint16_t>(wordOffset << 4 | section), words), data));
  }
  Bytes Section(uint8_t address, uint32_t section) { return model.ParaFiles().Section(address, section); }
};

// The library's tables of the three kinds of file (para_file_tables.h),
// written apart from the emulator's own: each is the check on the other.
struct FileCase {
  uint8_t address;
  const params::ParaFileKind& kind;
};
const FileCase kFiles[] = {
    {kMainUnit, params::kMainUnitFile},
    {kLaserHead, params::kLaserHeadFile},
    {kHsBoard0, params::kHsBoardFile},
    {kHsBoard1, params::kHsBoardFile},
};

TEST_F(ParaFilesTest, EveryUnitReportsTheHeaderAndSizesTheLibraryExpects) {
  for (const FileCase& c : kFiles) {
    SCOPED_TRACE(int{c.address});
    const params::ParaFileKind& kind = c.kind;
    EXPECT_EQ(model.StateRecord(c.address, kind.header.group, kind.header.item),
              Cat(Words(kind.formatWord, kind.sectionCount), Words(250, 248)));
    const Bytes table = model.StateRecord(c.address, kind.sizeTable.group, kind.sizeTable.item);
    ASSERT_EQ(table.size(), 4u * kind.sectionCount);
    for (uint32_t s = 0; s < kind.sectionCount; ++s) {
      const uint32_t words = params::LoadValue(table.data() + 4 * s);
      const params::SectionRow& row = kind.sections[s];
      if (row.expectedWords == params::kReportedSize) {
        EXPECT_LE(words, row.maxWords) << s;
      } else {
        EXPECT_EQ(words, row.expectedWords) << s;
      }
      EXPECT_EQ(Section(c.address, s).size(), 2 * words) << s;
    }
  }
  // Counting bytes, different for every unit and section.
  EXPECT_NE(Section(kHsBoard0, 0), Section(kHsBoard1, 0));
  EXPECT_NE(Section(kHsBoard0, 0), Section(kHsBoard0, 5));
}

TEST_F(ParaFilesTest, ReadsAnyPositionPaddedToWholeUnits) {
  const Bytes s4 = Section(kMainUnit, 4);
  Answer a = Read(kMainUnit, 4, 250, 6);
  EXPECT_EQ(a.command, kParaReadReply);
  EXPECT_EQ(a.data, Bytes(s4.begin() + 500, s4.end()));
  a = Read(kMainUnit, 2, 0, 1);  // one word, with 2 bytes of padding
  EXPECT_EQ(a.data, Cat(Section(kMainUnit, 2), {0, 0}));
  a = Read(kLaserHead, 0, 1, 3);
  const Bytes s0 = Section(kLaserHead, 0);
  EXPECT_EQ(a.data, Cat(Bytes(s0.begin() + 2, s0.begin() + 8), {0, 0}));
}

TEST_F(ParaFilesTest, WritesAnyPositionAndTheOneWordPadding) {
  EXPECT_EQ(Write(kHsBoard1, 2, 10, 2, {1, 2, 3, 4}).command, kReplyAck);
  const Bytes s2 = Section(kHsBoard1, 2);
  EXPECT_EQ(Bytes(s2.begin() + 20, s2.begin() + 24), (Bytes{1, 2, 3, 4}));
  EXPECT_EQ(Write(kMainUnit, 6, 0, 1, {9, 8, 0, 0}).command, kReplyAck);
  EXPECT_EQ(Section(kMainUnit, 6), (Bytes{9, 8}));
  EXPECT_EQ(Write(kMainUnit, 6, 0, 1, {7, 6}).command, kReplyAck);
  EXPECT_EQ(Section(kMainUnit, 6), (Bytes{7, 6}));
  const auto events = model.ParaFiles().Events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].kind, ParaFileEvent::Kind::kWrite);
  EXPECT_EQ(events[0].address, kHsBoard1);
  EXPECT_EQ(events[0].section, 2u);
  EXPECT_EQ(events[0].wordOffset, 10u);
  EXPECT_EQ(events[0].words, 2u);
  EXPECT_EQ(events[0].refusal, 0);
}

struct RefusalCase {
  const char* name;
  uint16_t command;
  Bytes data;
  uint16_t error;
};

const RefusalCase kRefusals[] = {
    {"read: no such section", kParaReadCommand, Words(0x0005, 1), units::kErrorBadParameter},
    {"read: 0 words", kParaReadCommand, Words(0x0000, 0), units::kErrorBadParameter},
    {"read: past the end", kParaReadCommand, Words(0x00D0, 2), units::kErrorBadParameter},
    {"read: above the chunk limit", kParaReadCommand, Words(0x0000, 14), units::kErrorBadParameter},
    {"read: data not 4 bytes", kParaReadCommand, Bytes{0, 0, 1, 0, 0, 0}, units::kErrorBadLength},
    {"write: data not the count's bytes", kParaWriteCommand, Cat(Words(0x0000, 2), {1, 2}),
     units::kErrorBadLength},
    {"write: padding not zero", kParaWriteCommand, Cat(Words(0x0000, 1), {1, 2, 3, 4}),
     units::kErrorBadLength},
    {"write: above the chunk limit", kParaWriteCommand, Cat(Words(0x0000, 5), Bytes(10, 1)),
     units::kErrorBadParameter},
    {"write: past the end", kParaWriteCommand, Cat(Words(0x0034, 2), Bytes(4, 1)), units::kErrorBadParameter},
    {"save: data not 4 bytes", kParaSaveCommand, Bytes{1, 0}, units::kErrorBadLength},
};

TEST_F(ParaFilesTest, TheUnitRefusesWhatDoesNotFitAndChangesNothing) {
  model.ParaFiles().SetHeader(kLaserHead, ParaFileHeader{0x0302, 5, 12, 4});
  for (const RefusalCase& c : kRefusals) {
    SCOPED_TRACE(c.name);
    const Bytes before = Section(kLaserHead, 0);
    const Bytes before3 = Section(kLaserHead, 3);
    EXPECT_EQ(Send(kLaserHead, c.command, c.data).error(), c.error);
    EXPECT_EQ(Section(kLaserHead, 0), before);
    EXPECT_EQ(Section(kLaserHead, 3), before3);
  }
  EXPECT_TRUE(model.ParaFiles().Saves().empty());
}

TEST_F(ParaFilesTest, RefusalsOnDemand) {
  model.ParaFiles().Refuse(kHsBoard0, kParaWriteCommand, 0x0061, 2);
  const Bytes before = Section(kHsBoard0, 1);
  EXPECT_EQ(Write(kHsBoard0, 1, 0, 2, {1, 2, 3, 4}).error(), 0x0061);
  EXPECT_EQ(Write(kHsBoard1, 1, 0, 2, {1, 2, 3, 4}).command, kReplyAck);  // another board
  EXPECT_EQ(Read(kHsBoard0, 1, 0, 2).command, kParaReadReply);            // another command
  EXPECT_EQ(Write(kHsBoard0, 1, 0, 2, {1, 2, 3, 4}).error(), 0x0061);
  EXPECT_EQ(Section(kHsBoard0, 1), before);
  EXPECT_EQ(Write(kHsBoard0, 1, 0, 2, {1, 2, 3, 4}).command, kReplyAck);  // used up
  const auto events = model.ParaFiles().Events();
  ASSERT_EQ(events.size(), 5u);
  EXPECT_EQ(events[0].refusal, 0x0061);
  EXPECT_EQ(events[4].refusal, 0);
}

TEST_F(ParaFilesTest, SavesKeepWhatTheirMaskNamesAndWhen) {
  EXPECT_EQ(Write(kMainUnit, 3, 0, 2, {1, 0, 2, 0}).command, kReplyAck);
  EXPECT_EQ(Send(kMainUnit, kParaSaveCommand, Words(0x0000, 0x0002)).command, kReplyAck);  // 0x00020000
  EXPECT_EQ(Write(kMainUnit, 3, 0, 2, {5, 0, 6, 0}).command, kReplyAck);
  EXPECT_EQ(Send(kMainUnit, kParaSaveCommand, Words(0x8000, 0x8000)).command, kReplyAck);  // sections 0 and 6
  const auto saves = model.ParaFiles().Saves();
  ASSERT_EQ(saves.size(), 2u);
  EXPECT_EQ(saves[0].mask, 0x00020000u);
  EXPECT_EQ(saves[0].eventIndex, 1u);
  ASSERT_EQ(saves[0].sections.size(), 2u);  // sections 3 and 4 travel together
  EXPECT_EQ(saves[0].sections[0].first, 3u);
  EXPECT_EQ(saves[0].sections[0].second, (Bytes{1, 0, 2, 0}));
  EXPECT_EQ(saves[0].sections[1].first, 4u);
  EXPECT_EQ(saves[1].eventIndex, 3u);
  ASSERT_EQ(saves[1].sections.size(), 2u);
  EXPECT_EQ(saves[1].sections[0].first, 0u);
  EXPECT_EQ(saves[1].sections[1].first, 6u);
  // The saved copy of section 3 is the one of the first save.
  EXPECT_EQ(model.ParaFiles().SavedSection(kMainUnit, 3), (Bytes{1, 0, 2, 0}));
  EXPECT_TRUE(model.ParaFiles().SavedSection(kMainUnit, 1).empty());
  // A refused save saves nothing.
  model.ParaFiles().Refuse(kMainUnit, kParaSaveCommand, 0x0062, 1);
  EXPECT_EQ(Send(kMainUnit, kParaSaveCommand, Words(0x0000, 0x0002)).error(), 0x0062);
  EXPECT_EQ(model.ParaFiles().Saves().size(), 2u);
  EXPECT_EQ(model.ParaFiles().SavedSection(kMainUnit, 3), (Bytes{1, 0, 2, 0}));
}

TEST_F(ParaFilesTest, ControlsSetHeadersSizesAndSections) {
  model.ParaFiles().SetHeader(kLaserHead, ParaFileHeader{0x1234, 3, 0, 7});
  EXPECT_EQ(model.StateRecord(kLaserHead, 0x5000, 2), (Bytes{0x34, 0x12, 3, 0, 0, 0, 7, 0}));
  EXPECT_EQ(model.ParaFiles().Header(kLaserHead).writeChunkWords, 7);
  model.ParaFiles().SetSizes(kHsBoard1, {1, 0, 2});
  EXPECT_EQ(model.StateRecord(kHsBoard1, 0x5000, 1), (Bytes{1, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0}));
  EXPECT_EQ(model.ParaFiles().Section(kHsBoard1, 2).size(), 4u);
  EXPECT_TRUE(model.ParaFiles().Section(kHsBoard1, 3).empty());
  // A size no position word reaches is only reported.
  model.ParaFiles().SetSizes(kHsBoard0, {454, 32, 40, 2, 2, 454, 0xFFFFFFFFu});
  EXPECT_EQ(model.ParaFiles().Section(kHsBoard0, 6).size(), 32u);
  model.ParaFiles().SetSection(kMainUnit, 8, {1, 2, 3, 4});
  EXPECT_EQ(model.ParaFiles().Section(kMainUnit, 8), (Bytes{1, 2, 3, 4}));
  model.ParaFiles().Refuse(kMainUnit, kParaReadCommand, 1, 1);
  EXPECT_TRUE(model.ParaFiles().Events().empty());
  EXPECT_TRUE(model.ParaFiles().Saves().empty());
}

}  // namespace
}  // namespace norvex::emu
