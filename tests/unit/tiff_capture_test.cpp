// tiff_capture_test.cpp: band de-interleaving, bytes pending across calls at
// any split point, and the complete TIFF file that closing leaves.
#include "printdata/tiff_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "printdata/band_deinterleave.h"
#include "reference_deinterleave.h"
#include "temp_folder.h"

namespace norvex {
namespace {

using Bytes = std::vector<uint8_t>;

// In a folder of this test process's own, removed at its end, so that test
// runs side by side never write into each other's captures.
std::string TempPath(const std::string& name) {
  static const test_support::TempFolder folder("norvex-capture");
  return folder.Path(name);
}

Bytes ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Exists(const std::string& path) { return std::ifstream(path).good(); }

uint32_t U16(const Bytes& b, size_t at) { return static_cast<uint32_t>(b[at] | (b[at + 1] << 8)); }
uint32_t U32(const Bytes& b, size_t at) { return U16(b, at) | (U16(b, at + 2) << 16); }

Bytes RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(random());
  return b;
}

// The image lines that band-interleaved `data` stands for, by the layout:
// line t of a band, bytes 2b and 2b+1 = band bytes 64b+2t+1 and 64b+2t.
Bytes Deinterleave(const Bytes& data, uint32_t width) {
  const size_t L = width / 8;
  const size_t G = 32 * L;
  Bytes lines;
  for (size_t band = 0; band + G <= data.size(); band += G) {
    for (size_t t = 0; t < 32; ++t) {
      for (size_t b = 0; b < L / 2; ++b) {
        lines.push_back(data[band + 64 * b + 2 * t + 1]);
        lines.push_back(data[band + 64 * b + 2 * t]);
      }
    }
  }
  return lines;
}

// One band's 32 lines, written the plain way from the layout.
Bytes ReferenceBand(const uint8_t* band, size_t lineBytes) {
  Bytes lines(32 * lineBytes);
  reference::DeinterleaveBand(band, lines.data(), static_cast<uint32_t>(lineBytes));
  return lines;
}

const DeinterleaveKernel kAllKernels[] = {DeinterleaveKernel::kPortable, DeinterleaveKernel::kSse2,
                                          DeinterleaveKernel::kSsse3, DeinterleaveKernel::kAvx2};

// Widths in pixels: every block count from 1 to 80 (each tail of the 8- and
// 16-block tiles, tiles that overlap, bands narrower than a tile), then
// wider shapes around the tile sizes, the default capture width, a plate,
// and the widest line the capture takes.
std::vector<uint32_t> KernelTestWidths() {
  std::vector<uint32_t> widths;
  for (uint32_t blocks = 1; blocks <= 80; ++blocks) widths.push_back(16 * blocks);
  for (uint32_t blocks : {127u, 128u, 129u, 255u, 256u, 257u, 675u, 1001u, 4500u}) {
    widths.push_back(16 * blocks);
  }
  widths.push_back(10800);
  widths.push_back(72000);
  widths.push_back(CTiffCapture::kMaxWidthPixels);
  return widths;
}

// Feeds `data` to a capture of `width` in pieces ending at `splits`, closes
// it and returns the file.
Bytes CaptureInPieces(const Bytes& data, uint32_t width, const std::vector<size_t>& splits,
                      const std::string& name) {
  const std::string path = TempPath(name);
  std::remove(path.c_str());
  CTiffCapture capture;
  EXPECT_TRUE(capture.Open(path, width));
  size_t at = 0;
  for (size_t end : splits) {
    capture.Capture(data.data() + at, static_cast<uint32_t>(end - at));
    at = end;
  }
  capture.Capture(data.data() + at, static_cast<uint32_t>(data.size() - at));
  capture.Close();
  return ReadAll(path);
}

TEST(TiffCapture, OneBandOfWidth64) {
  const Bytes data = RandomBytes(256, 1);
  const Bytes file = CaptureInPieces(data, 64, {}, "one_band.tif");
  ASSERT_GE(file.size(), 8u + 256u);
  for (size_t t = 0; t < 32; ++t) {
    const Bytes line(file.begin() + 8 + static_cast<long>(8 * t),
                     file.begin() + 8 + static_cast<long>(8 * t + 8));
    const Bytes expected = {data[2 * t + 1],       data[2 * t],           data[64 + 2 * t + 1],
                            data[64 + 2 * t],      data[128 + 2 * t + 1], data[128 + 2 * t],
                            data[192 + 2 * t + 1], data[192 + 2 * t]};
    EXPECT_EQ(line, expected) << "line " << t;
  }
}

TEST(TiffCapture, PendingBytesCompleteTheBandLater) {
  const std::string path = TempPath("pending.tif");
  CTiffCapture capture;
  ASSERT_TRUE(capture.Open(path, 64));
  const Bytes data = RandomBytes(600, 2);
  capture.Capture(data.data(), 100);
  EXPECT_EQ(capture.LinesWritten(), 0u);
  EXPECT_EQ(capture.PendingBytes(), 100u);
  capture.Capture(data.data() + 100, 156);
  EXPECT_EQ(capture.LinesWritten(), 32u);
  EXPECT_EQ(capture.PendingBytes(), 0u);
  // Each line is on the disk as soon as it is written.
  EXPECT_EQ(ReadAll(path).size(), 8u + 32u * 8u);

  CTiffCapture second;
  ASSERT_TRUE(second.Open(TempPath("pending2.tif"), 64));
  second.Capture(data.data(), 600);
  EXPECT_EQ(second.LinesWritten(), 64u);
  EXPECT_EQ(second.PendingBytes(), 88u);
}

TEST(TiffCapture, AnySplitGivesTheSameLines) {
  std::mt19937 random(3);
  for (uint32_t width : {16u, 64u, 1024u, 10800u / 8u * 8u}) {
    if (width % 16 != 0) continue;
    SCOPED_TRACE(width);
    const size_t band = 32 * width / 8;
    const Bytes data = RandomBytes(band * 3 + band / 3, width);
    const Bytes expected = Deinterleave(data, width);
    for (int trial = 0; trial < 4; ++trial) {
      std::vector<size_t> splits;
      for (size_t at = 0;;) {
        at += 1 + random() % (band + band / 2);
        if (at >= data.size()) break;
        splits.push_back(at);
      }
      const Bytes file = CaptureInPieces(data, width, splits, "splits.tif");
      ASSERT_GE(file.size(), 8 + expected.size());
      EXPECT_TRUE(std::equal(expected.begin(), expected.end(), file.begin() + 8));
    }
  }
}

TEST(BandDeinterleave, EveryKernelMatchesTheLayoutForEveryShape) {
  // The portable kernel runs everywhere; the others where the processor has
  // them. At least the kernel the capture uses must be among those checked.
  ASSERT_TRUE(DeinterleaveKernelAvailable(DeinterleaveKernel::kPortable));
  ASSERT_TRUE(DeinterleaveKernelAvailable(BestDeinterleaveKernel()));
  std::mt19937 random(11);
  for (DeinterleaveKernel kernel : kAllKernels) {
    if (!DeinterleaveKernelAvailable(kernel)) continue;
    SCOPED_TRACE(DeinterleaveKernelName(kernel));
    for (uint32_t width : KernelTestWidths()) {
      SCOPED_TRACE(width);
      const size_t lineBytes = width / 8;
      const size_t bandBytes = 32 * lineBytes;
      // Buffers at odd offsets (the kernels must not need any alignment),
      // with guard bytes on both sides of the lines.
      const size_t bandOffset = random() % 64;
      const size_t linesOffset = 16 + random() % 48;
      const Bytes source = RandomBytes(bandOffset + bandBytes, width ^ static_cast<uint32_t>(kernel));
      const uint8_t* band = source.data() + bandOffset;
      Bytes lines(linesOffset + bandBytes + 64, 0xA5);
      DeinterleaveBandWith(kernel, band, lines.data() + linesOffset, static_cast<uint32_t>(lineBytes));

      const Bytes expected = ReferenceBand(band, lineBytes);
      const Bytes got(lines.begin() + static_cast<long>(linesOffset),
                      lines.begin() + static_cast<long>(linesOffset + bandBytes));
      ASSERT_EQ(got.size(), expected.size());
      if (got != expected) {
        size_t at = 0;
        while (got[at] == expected[at]) ++at;
        FAIL() << "first difference in line " << at / lineBytes << ", byte " << at % lineBytes;
      }
      for (size_t i = 0; i < linesOffset; ++i) ASSERT_EQ(lines[i], 0xA5) << "written before the lines";
      for (size_t i = linesOffset + bandBytes; i < lines.size(); ++i) {
        ASSERT_EQ(lines[i], 0xA5) << "written after the lines";
      }
    }
  }
}

TEST(BandDeinterleave, TheBestKernelIsTheOneDeinterleaveBandRuns) {
  const uint32_t width = 16 * 37;
  const size_t lineBytes = width / 8;
  const Bytes band = RandomBytes(32 * lineBytes, 12);
  Bytes best(band.size());
  Bytes chosen(band.size());
  DeinterleaveBand(band.data(), best.data(), static_cast<uint32_t>(lineBytes));
  DeinterleaveBandWith(BestDeinterleaveKernel(), band.data(), chosen.data(),
                       static_cast<uint32_t>(lineBytes));
  EXPECT_EQ(best, chosen);
  EXPECT_EQ(best, ReferenceBand(band.data(), lineBytes));
}

// The capture of many shapes, fed in pieces that end anywhere (inside a
// block, on a block's edge, on a band's edge, one byte at a time at the
// start), gives exactly the layout's lines.
TEST(TiffCapture, ManyWidthsAndSplitPointsGiveTheReferenceLines) {
  std::mt19937 random(13);
  const std::vector<uint32_t> widths = {16,  48,  112, 128,  144,  240,   256,       272,
                                        496, 512, 528, 1008, 4096, 10800, 16 * 1001, 72000};
  for (uint32_t width : widths) {
    SCOPED_TRACE(width);
    const size_t lineBytes = width / 8;
    const size_t band = 32 * lineBytes;
    const size_t bands = width >= 10800 ? 3 : 5;
    const Bytes data = RandomBytes(band * bands + band / 2 + 7, width + 1);
    Bytes expected;
    for (size_t at = 0; at + band <= data.size(); at += band) {
      const Bytes lines = ReferenceBand(data.data() + at, lineBytes);
      expected.insert(expected.end(), lines.begin(), lines.end());
    }
    std::vector<std::vector<size_t>> splitSets;
    splitSets.push_back({});                                       // one call
    splitSets.push_back({1, 2, 3, 64, band - 1, band, band + 1});  // edges
    std::vector<size_t> bandEdges;
    for (size_t at = band; at < data.size(); at += band) bandEdges.push_back(at);
    splitSets.push_back(bandEdges);
    for (int trial = 0; trial < 3; ++trial) {
      std::vector<size_t> splits;
      for (size_t at = 0;;) {
        at += 1 + random() % (2 * band);
        if (at >= data.size()) break;
        splits.push_back(at);
      }
      splitSets.push_back(splits);
    }
    for (auto& splits : splitSets) {
      std::sort(splits.begin(), splits.end());
      splits.erase(std::unique(splits.begin(), splits.end()), splits.end());
      const Bytes file = CaptureInPieces(data, width, splits, "shapes.tif");
      ASSERT_EQ(file.size(), 8 + expected.size() + 198 + 16);
      EXPECT_TRUE(std::equal(expected.begin(), expected.end(), file.begin() + 8));
    }
  }
}

TEST(TiffCapture, ClosingWritesACompleteTiff) {
  const uint32_t width = 128;
  const Bytes data = RandomBytes(32 * 16 * 2 + 40, 4);  // two bands and a bit
  const Bytes file = CaptureInPieces(data, width, {7, 700}, "complete.tif");
  const uint32_t lines = 64;
  const uint32_t L = width / 8;
  ASSERT_EQ(file.size(), 8u + lines * L + 198u + 16u);
  EXPECT_EQ(U16(file, 0), 0x4949u);
  EXPECT_EQ(U16(file, 2), 42u);
  const uint32_t ifd = U32(file, 4);
  EXPECT_EQ(ifd, 8u + lines * L);
  ASSERT_EQ(U16(file, ifd), 16u);
  std::map<uint32_t, std::pair<uint32_t, uint32_t>> entries;  // tag -> (type, value)
  uint32_t previousTag = 0;
  for (uint32_t i = 0; i < 16; ++i) {
    const size_t at = ifd + 2 + 12 * i;
    const uint32_t tag = U16(file, at);
    EXPECT_GT(tag, previousTag) << "tags in ascending order";
    previousTag = tag;
    EXPECT_EQ(U32(file, at + 4), 1u) << "count of tag " << tag;
    const uint32_t type = U16(file, at + 2);
    entries[tag] = {type, type == 3 ? U16(file, at + 8) : U32(file, at + 8)};
    if (type == 3) {
      EXPECT_EQ(U16(file, at + 10), 0u);
    }
  }
  EXPECT_EQ(U32(file, ifd + 2 + 16 * 12), 0u) << "no next IFD";
  const std::map<uint32_t, std::pair<uint32_t, uint32_t>> expected = {
      {254, {4, 0}},         {256, {4, width}},     {257, {4, lines}}, {258, {3, 1}},
      {259, {3, 1}},         {262, {3, 0}},         {266, {3, 1}},     {273, {4, 8}},
      {274, {3, 1}},         {277, {3, 1}},         {278, {4, lines}}, {279, {4, lines * L}},
      {282, {5, ifd + 198}}, {283, {5, ifd + 206}}, {296, {3, 1}},     {32934, {4, 0}},
  };
  EXPECT_EQ(entries, expected);
  EXPECT_EQ(U32(file, ifd + 198), 200u);
  EXPECT_EQ(U32(file, ifd + 202), 1u);
  EXPECT_EQ(U32(file, ifd + 206), 200u);
  EXPECT_EQ(U32(file, ifd + 210), 1u);
  const Bytes pixels = Deinterleave(data, width);
  EXPECT_TRUE(std::equal(pixels.begin(), pixels.end(), file.begin() + 8));
}

TEST(TiffCapture, WidthMustBeAPositiveMultipleOf16) {
  CTiffCapture capture;
  for (uint32_t width : {0u, 8u, 24u, 100u}) {
    EXPECT_FALSE(capture.Open(TempPath("bad.tif"), width)) << width;
    EXPECT_FALSE(capture.IsOpen());
  }
  const uint8_t byte = 0;
  capture.Capture(&byte, 1);  // nothing open: nothing happens
  EXPECT_EQ(capture.PendingBytes(), 0u);
  EXPECT_TRUE(capture.Open(TempPath("good.tif"), 16));
}

TEST(TiffCapture, NoBandNoFileAndReopenStartsAgain) {
  const std::string path = TempPath("noband.tif");
  std::remove(path.c_str());
  {
    CTiffCapture capture;
    ASSERT_TRUE(capture.Open(path, 64));
    const Bytes data = RandomBytes(255, 5);
    capture.Capture(data.data(), 255);
  }  // unload completes the capture
  EXPECT_FALSE(Exists(path)) << "a capture without a line leaves no file";

  CTiffCapture capture;
  ASSERT_TRUE(capture.Open(path, 64));
  const Bytes first = RandomBytes(300, 6);
  capture.Capture(first.data(), 300);
  // Opening again completes the first capture and drops its 44 bytes.
  ASSERT_TRUE(capture.Open(TempPath("second.tif"), 64));
  EXPECT_EQ(capture.PendingBytes(), 0u);
  capture.Close();
  const Bytes file = ReadAll(path);
  ASSERT_EQ(file.size(), 8u + 256u + 198u + 16u);
  EXPECT_EQ(U32(file, 4), 8u + 256u);
}

TEST(TiffCapture, UnwritableFileIsNotFatal) {
  CTiffCapture capture;
  ASSERT_TRUE(capture.Open("/nonexistent-folder/x/capture.tif", 64));
  const Bytes data = RandomBytes(512, 7);
  capture.Capture(data.data(), 512);
  EXPECT_TRUE(capture.Failed());
  EXPECT_EQ(capture.LinesWritten(), 0u);
  capture.Close();
}

}  // namespace
}  // namespace norvex
