// link_mode_test.cpp: changes between link modes that share what they write
// to: the TIFF capture goes on from one capturing mode to the next, and the
// print-data file is made anew by each file mode and closed only when no
// file mode follows.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "exports/library.h"
#include "fake_host.h"
#include "fake_platform.h"
#include "printdata/link_modes.h"
#include "temp_folder.h"

namespace norvex {
namespace {

class LinkModeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder.path().empty());
    host.files[host.Ini()] = "[PrintData]\nCaptureWidth=16\nCaptureFile=" + CapturePath() + "\n";
  }
  std::string CapturePath() const { return folder.Path("capture.tif"); }
  std::string DataPath() const { return host.exeFolder + "/PrintData.bin"; }
  std::string CompressedPath() const { return host.exeFolder + "/PrintData.cmp"; }

  void Send(const std::vector<uint8_t>& data) {
    uint32_t count = static_cast<uint32_t>(data.size());
    EXPECT_EQ(lib.PrintData().SentPtrData(data.data(), count, false), NORVEX_OK);
  }

  // The image length (tag 257) of the TIFF file left by the capture.
  uint32_t CapturedLines() {
    std::ifstream in(CapturePath(), std::ios::binary);
    const std::vector<uint8_t> f((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto u16 = [&f](size_t at) { return static_cast<uint32_t>(f.at(at) | f.at(at + 1) << 8); };
    auto u32 = [&u16](size_t at) { return u16(at) | u16(at + 2) << 16; };
    const uint32_t ifd = u32(4);
    for (uint32_t i = 0; i < u16(ifd); ++i) {
      if (u16(ifd + 2 + 12 * i) == 257) return u32(ifd + 2 + 12 * i + 8);
    }
    return 0;
  }

  test_support::TempFolder folder;
  testing::FakeHost host;
  testing::FakeDriver driver;
  testing::FakeWindowSystem windows;
  Library lib{host, driver, windows};
};

// A band of a 16-pixel line is 64 bytes: 32 lines.
TEST_F(LinkModeTest, CaptureGoesOnAcrossTheCapturingModes) {
  const std::vector<uint8_t> band(64, 0x5A);
  lib.PrintData().SetLinkMode(NORVEX_LINK_TIFF_CAPTURE);
  Send(band);
  lib.PrintData().SetLinkMode(NORVEX_LINK_USB_AND_TIFF_CAPTURE);
  Send(band);
  lib.PrintData().SetLinkMode(NORVEX_LINK_USB_AND_TIFF_CAPTURE);
  Send(band);
  lib.PrintData().SetLinkMode(NORVEX_LINK_TIFF_CAPTURE);
  Send(band);
  EXPECT_EQ(driver.bulk.size(), 2 * band.size());  // mode 3 wrote to the device as well
  lib.PrintData().SetLinkMode(NORVEX_LINK_USB);
  EXPECT_EQ(CapturedLines(), 4 * 32u);
}

TEST_F(LinkModeTest, EachFileModeMakesItsFileAndTheFileClosesWhenTheFileModesEnd) {
  const std::vector<uint8_t> zeros(8, 0x00);
  lib.PrintData().SetLinkMode(NORVEX_LINK_COMMAND_FILE);
  Send({1, 2});
  lib.PrintData().SetLinkMode(NORVEX_LINK_COMMAND_FILE);  // the same mode again keeps the file
  Send({3, 4});
  lib.PrintData().SetLinkMode(NORVEX_LINK_COMPRESSED_FILE);
  Send(zeros);
  EXPECT_EQ(host.files[DataPath()], std::string("\x01\x02\x03\x04", 4));
  EXPECT_EQ(host.files[CompressedPath()], std::string("\x00\x00\x04\x00", 4));  // 4 words of 0x0000
  EXPECT_EQ(host.openForWriting.count(DataPath()), 0u);
  lib.PrintData().SetLinkMode(NORVEX_LINK_COMMAND_FILE);  // made anew
  Send({5, 6});
  EXPECT_EQ(host.files[DataPath()], std::string("\x05\x06", 2));
  EXPECT_EQ(host.openForWriting.count(DataPath()), 1u);
  lib.PrintData().SetLinkMode(NORVEX_LINK_USB);
  EXPECT_EQ(host.openForWriting.count(DataPath()), 0u);
  EXPECT_EQ(host.openForWriting.count(CompressedPath()), 0u);
  EXPECT_TRUE(host.messages.empty());
  EXPECT_TRUE(driver.bulk.empty());
}

// Every NORVEX_LINK_ mode that the public header defines has its own row in
// the library's table, and the table holds no other: a mode added to the
// header alone, or a row left over, is found here.
TEST(LinkModeTable, HasOneRowForEachModeOfTheHeader) {
  std::ifstream header(NORVEX_PUBLIC_HEADER);
  ASSERT_TRUE(header) << NORVEX_PUBLIC_HEADER;
  const std::regex define(R"(^#define NORVEX_LINK_([A-Z_]+) (\d+)\s*$)");
  size_t modes = 0;
  for (std::string line; std::getline(header, line);) {
    std::smatch match;
    if (!std::regex_match(line, match, define)) continue;
    const int32_t number = std::stoi(match[2]);
    EXPECT_EQ(LinkModeOf(number).number, number) << "NORVEX_LINK_" << match[1] << " has no row";
    ++modes;
  }
  EXPECT_EQ(modes, std::size(kLinkModes));
}

}  // namespace
}  // namespace norvex
