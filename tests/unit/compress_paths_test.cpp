// compress_paths_test.cpp: every built-in path of the word run-length
// compression (portable, SSE2, AVX2) against the plain reference loop, byte
// for byte, on the plate rasters, the stress set, random inputs and runs
// placed across the block edges of the vector loops. Each input sits in a
// heap block of its exact size (an AddressSanitizer build catches any read
// past it), and guard bytes after CompressedBound catch any write past it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "printdata/word_compression.h"
#include "reference_compress.h"
#include "test_raster.h"

namespace norvex {

// Test names and failure messages show the path by name.
void PrintTo(CompressPath path, std::ostream* os);

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kGuardBytes = 64;
constexpr uint8_t kGuard = 0xA5;

const char* PathName(CompressPath path) {
  switch (path) {
    case CompressPath::kScalar:
      return "Scalar";
    case CompressPath::kSse2:
      return "Sse2";
    case CompressPath::kAvx2:
      return "Avx2";
  }
  return "Unknown";
}

// Compresses `input` (all of it, odd sizes included) with `path` and with the
// reference, and compares.
void ExpectSameAsReference(CompressPath path, const Bytes& input, const std::string& what) {
  SCOPED_TRACE(what + " (" + std::to_string(input.size()) + " bytes)");
  const auto size = static_cast<uint32_t>(input.size());
  const auto bound = static_cast<size_t>(CompressedBound(size));

  std::unique_ptr<uint8_t[]> in(new uint8_t[input.size() + (input.empty() ? 1 : 0)]);
  if (!input.empty()) std::memcpy(in.get(), input.data(), input.size());

  Bytes expected(bound + 1);
  uint32_t expectedLength = 0;
  reference::CompressWords(expected.data(), &expectedLength, in.get(), size);

  std::unique_ptr<uint8_t[]> out(new uint8_t[bound + kGuardBytes]);
  std::memset(out.get(), kGuard, bound + kGuardBytes);
  uint32_t length = 0xDEADBEEF;
  CompressWordsWith(path, out.get(), &length, in.get(), size);

  ASSERT_EQ(length, expectedLength);
  const auto mismatch =
      std::mismatch(expected.begin(), expected.begin() + static_cast<std::ptrdiff_t>(length), out.get());
  EXPECT_EQ(mismatch.first, expected.begin() + static_cast<std::ptrdiff_t>(length))
      << "first difference at output byte " << (mismatch.first - expected.begin());
  for (size_t k = 0; k < kGuardBytes; ++k) {
    if (out[bound + k] != kGuard) {
      ADD_FAILURE() << "written " << k << " bytes past CompressedBound";
      break;
    }
  }
}

Bytes ToBytes(const std::vector<uint16_t>& words) {
  Bytes bytes;
  bytes.reserve(2 * words.size());
  for (uint16_t w : words) {
    bytes.push_back(static_cast<uint8_t>(w & 0xFF));
    bytes.push_back(static_cast<uint8_t>(w >> 8));
  }
  return bytes;
}

uint16_t Literal(std::mt19937& random) {
  while (true) {
    const auto w = static_cast<uint16_t>(random());
    if (w != 0x0000 && w != 0xFFFF) return w;
  }
}

// Rasters and stress inputs are made once for all paths.
const std::vector<raster::StressInput>& Rasters() {
  static const std::vector<raster::StressInput> rasters = [] {
    std::vector<raster::StressInput> all;
    all.push_back({"plate", raster::PlateRaster()});
    all.push_back({"white_90pct", raster::WhiteRaster()});
    for (auto& s : raster::StressSet()) all.push_back(std::move(s));
    return all;
  }();
  return rasters;
}

class CompressPathTest : public ::testing::TestWithParam<CompressPath> {
 protected:
  void SetUp() override {
    if (!CompressPathAvailable(GetParam())) GTEST_SKIP() << PathName(GetParam()) << " is not available here";
  }
};

TEST_P(CompressPathTest, MatchesReferenceOnRastersAndStressSet) {
  for (const raster::StressInput& input : Rasters())
    ExpectSameAsReference(GetParam(), input.bytes, input.name);
}

TEST_P(CompressPathTest, MatchesReferenceOnPiecesOfThePlate) {
  // Every start offset within a vector block, and lengths around the block
  // sizes, so that blocks and the portable tail meet everywhere.
  const Bytes& plate = Rasters()[0].bytes;
  std::mt19937 random(5);
  for (size_t offset = 0; offset < 80; ++offset) {
    for (size_t length : {0u, 1u, 2u, 15u, 16u, 17u, 18u, 31u, 63u, 64u, 65u, 66u, 67u, 130u, 1001u}) {
      const size_t from = (random() % 1000000) * 2 + offset;
      const Bytes piece(plate.begin() + static_cast<std::ptrdiff_t>(from),
                        plate.begin() + static_cast<std::ptrdiff_t>(from + length));
      ExpectSameAsReference(GetParam(), piece, "plate from " + std::to_string(from));
    }
  }
}

TEST_P(CompressPathTest, MatchesReferenceOnRandomInputs) {
  std::mt19937 random(20240611);
  for (int trial = 0; trial < 400; ++trial) {
    const size_t words = trial < 100 ? static_cast<size_t>(trial) : random() % 5000;
    std::vector<uint16_t> input(words);
    // Runs of 0x0000 and 0xFFFF of all lengths (short ones most often),
    // literals, and lone run words, in proportions that change per trial.
    const auto runShare = random() % 100;
    const size_t maxRun = trial % 3 == 0 ? 4 : trial % 3 == 1 ? 40 : 300;
    for (size_t i = 0; i < words;) {
      const bool isRun = random() % 100 < runShare;
      const size_t length = 1 + random() % maxRun;
      const uint16_t value = random() % 2 == 0 ? 0x0000 : 0xFFFF;
      for (size_t k = 0; k < length && i < words; ++k, ++i) input[i] = isRun ? value : Literal(random);
    }
    Bytes bytes = ToBytes(input);
    if (trial % 4 == 1) bytes.push_back(static_cast<uint8_t>(random()));  // a dangling odd byte
    ExpectSameAsReference(GetParam(), bytes, "random trial " + std::to_string(trial));
  }
}

TEST_P(CompressPathTest, MatchesReferenceWithRunsAcrossBlockEdges) {
  std::mt19937 random(99);
  for (size_t length = 1; length <= 70; ++length) {
    for (size_t at = 0; at <= 40; ++at) {
      for (uint16_t value : {uint16_t{0x0000}, uint16_t{0xFFFF}}) {
        // Literals around one run; the other run word right after it; and
        // the input ending with the run.
        std::vector<uint16_t> input(at + length + 40);
        for (uint16_t& w : input) w = Literal(random);
        for (size_t k = 0; k < length; ++k) input[at + k] = value;
        ExpectSameAsReference(GetParam(), ToBytes(input),
                              "run of " + std::to_string(length) + " at " + std::to_string(at));
        input[at + length] = static_cast<uint16_t>(~value);
        ExpectSameAsReference(GetParam(), ToBytes(input), "run then the other run word");
        input.resize(at + length);
        ExpectSameAsReference(GetParam(), ToBytes(input), "run at the end");
      }
    }
  }
}

TEST_P(CompressPathTest, MatchesReferenceOnLongRuns) {
  std::mt19937 random(7);
  for (size_t length : {65534u, 65535u, 65536u, 65567u, 131070u, 131071u, 131072u}) {
    for (size_t at : {0u, 1u, 33u}) {
      std::vector<uint16_t> input(at + length + 3);
      for (uint16_t& w : input) w = Literal(random);
      for (size_t k = 0; k < length; ++k) input[at + k] = 0xFFFF;
      ExpectSameAsReference(GetParam(), ToBytes(input), "long run of " + std::to_string(length));
      input.resize(at + length);
      ExpectSameAsReference(GetParam(), ToBytes(input), "long run at the end");
    }
  }
}

TEST_P(CompressPathTest, KnownStreams) {
  // The documented examples, through this path.
  const struct {
    std::vector<uint16_t> input, output;
  } cases[] = {
      {{0x1234, 0, 0, 0, 0xABCD}, {0x1234, 0x0000, 0x0003, 0xABCD}},
      {{0xFFFF, 0x0000}, {0xFFFF, 0x0001, 0x0000, 0x0001}},
      {std::vector<uint16_t>(70000, 0xFFFF), {0xFFFF, 0xFFFF, 0xFFFF, 0x1171}},
  };
  for (const auto& c : cases) {
    const Bytes input = ToBytes(c.input);
    Bytes out(static_cast<size_t>(CompressedBound(input.size())));
    uint32_t length = 0;
    CompressWordsWith(GetParam(), out.data(), &length, input.data(), static_cast<uint32_t>(input.size()));
    out.resize(length);
    EXPECT_EQ(out, ToBytes(c.output));
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, CompressPathTest,
                         ::testing::Values(CompressPath::kScalar, CompressPath::kSse2, CompressPath::kAvx2),
                         [](const ::testing::TestParamInfo<CompressPath>& param) {
                           return PathName(param.param);
                         });

// The benchmark's plate is what its description says, so that its figures
// mean what they claim.
TEST(TestRasters, PlateHasTheDescribedLayout) {
  const Bytes& plate = Rasters()[0].bytes;
  ASSERT_EQ(plate.size(), raster::kBufferBytes);
  EXPECT_EQ(plate, raster::PlateRaster());  // deterministic
  auto word = [&](size_t line, size_t k) {
    const size_t at = 2 * (line * raster::kLineWords + k);
    return static_cast<uint16_t>(plate[at] | (plate[at + 1] << 8));
  };
  auto black = [&](size_t line, uint32_t x) {
    return (static_cast<uint32_t>(word(line, x >> 4)) >> (15 - (x & 15))) & 1u;
  };
  uint32_t darkStart = 0;
  uint32_t darkEnd = 0;
  for (size_t line = 0; line < raster::kWholeLines; ++line) {
    for (size_t k = 0; k < 225; ++k) {  // 5% margins: 3,600 pixels each side
      ASSERT_EQ(word(line, k), 0) << "line " << line;
      ASSERT_EQ(word(line, raster::kLineWords - 1 - k), 0) << "line " << line;
    }
    for (size_t k = 1981; k < 2429; ++k) ASSERT_EQ(word(line, k), 0xFFFF) << "solid, line " << line;
    // The first halftone block (pixels 3,600 to 12,243) sweeps from 2% to 98%.
    for (uint32_t x = 3600; x < 4032; ++x) darkStart += black(line, x);
    for (uint32_t x = 11811; x < 12243; ++x) darkEnd += black(line, x);
  }
  const double pixels = 432.0 * raster::kWholeLines;  // 432 pixels at each end of the block
  EXPECT_LT(darkStart / pixels, 0.08);
  EXPECT_GT(darkEnd / pixels, 0.92);
}

TEST(TestRasters, WhiteRasterIsNinetyPercentWhite) {
  const Bytes& white = Rasters()[1].bytes;
  ASSERT_EQ(white.size(), raster::kBufferBytes);
  uint32_t zeroWords = 0;
  for (size_t i = 0; i + 1 < white.size(); i += 2) zeroWords += white[i] == 0 && white[i + 1] == 0;
  EXPECT_GE(zeroWords, raster::kBufferBytes / 2 * 89 / 100);
}

TEST(CompressPaths, VectorPathsAreBuiltForX86_64) {
  EXPECT_TRUE(CompressPathAvailable(CompressPath::kScalar));
#if defined(__x86_64__)
  EXPECT_TRUE(CompressPathAvailable(CompressPath::kSse2));
  EXPECT_NE(FastestCompressPath(), CompressPath::kScalar);
#if !defined(_WIN32)
  __builtin_cpu_init();
  EXPECT_EQ(CompressPathAvailable(CompressPath::kAvx2), __builtin_cpu_supports("avx2") != 0);
#endif
#endif
}

TEST(CompressPaths, CompressWordsMatchesReferenceOnThePlate) {
  const Bytes& plate = Rasters()[0].bytes;
  Bytes expected(static_cast<size_t>(CompressedBound(plate.size())));
  Bytes out(static_cast<size_t>(CompressedBound(plate.size())));
  uint32_t expectedLength = 0;
  uint32_t length = 0;
  reference::CompressWords(expected.data(), &expectedLength, plate.data(),
                           static_cast<uint32_t>(plate.size()));
  CompressWords(out.data(), &length, plate.data(), static_cast<uint32_t>(plate.size()));
  ASSERT_EQ(length, expectedLength);
  EXPECT_EQ(0, std::memcmp(out.data(), expected.data(), length));
}

}  // namespace

void PrintTo(CompressPath path, std::ostream* os) { *os << PathName(path); }

}  // namespace norvex
