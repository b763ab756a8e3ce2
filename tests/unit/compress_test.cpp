// compress_test.cpp: the word run-length compression word for word, its size
// bounds, and round trips through the decompressor.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "printdata/word_compression.h"

namespace norvex {
namespace {

using Words = std::vector<uint16_t>;
using Bytes = std::vector<uint8_t>;

Bytes ToBytes(const Words& words) {
  Bytes bytes;
  for (uint16_t w : words) {
    bytes.push_back(static_cast<uint8_t>(w));
    bytes.push_back(static_cast<uint8_t>(w >> 8));
  }
  return bytes;
}

Words ToWords(const Bytes& bytes, size_t count) {
  Words words;
  for (size_t i = 0; i + 1 < count; i += 2) {
    words.push_back(static_cast<uint16_t>(bytes[i] | (bytes[i + 1] << 8)));
  }
  return words;
}

Words Compress(const Bytes& input, uint32_t byteCount, uint32_t* outBytes = nullptr) {
  // A guard word past the bound shows any write beyond it.
  Bytes out(static_cast<size_t>(CompressedBound(byteCount)) + 2, 0xA5);
  uint32_t length = 0xDEADBEEF;
  CompressWords(out.data(), &length, input.data(), byteCount);
  EXPECT_EQ(out[out.size() - 2], 0xA5);
  EXPECT_EQ(out[out.size() - 1], 0xA5);
  EXPECT_LE(length, CompressedBound(byteCount));
  if (outBytes) *outBytes = length;
  return ToWords(out, length);
}

struct Case {
  const char* name;
  Words input;
  Words output;
};

TEST(CompressWords, KnownStreams) {
  const Case cases[] = {
      {"literal run literal", {0x1234, 0, 0, 0, 0xABCD}, {0x1234, 0x0000, 0x0003, 0xABCD}},
      {"single specials double", {0xFFFF, 0x0000}, {0xFFFF, 0x0001, 0x0000, 0x0001}},
      {"zeros then ones are two pairs", {0, 0, 0xFFFF, 0xFFFF, 0xFFFF}, {0x0000, 2, 0xFFFF, 3}},
      {"literals only", {1, 2, 0xFFFE, 0x8000}, {1, 2, 0xFFFE, 0x8000}},
      {"run at the end", {7, 0xFFFF, 0xFFFF}, {7, 0xFFFF, 2}},
      {"empty", {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uint32_t length = 0;
    const Bytes input = ToBytes(c.input);
    EXPECT_EQ(Compress(input, static_cast<uint32_t>(input.size()), &length), c.output);
    EXPECT_EQ(length, 2 * c.output.size());
  }
}

TEST(CompressWords, LongRunsSplitAt65535) {
  for (uint16_t value : {uint16_t{0x0000}, uint16_t{0xFFFF}}) {
    const Bytes input = ToBytes(Words(70000, value));
    uint32_t length = 0;
    EXPECT_EQ(Compress(input, static_cast<uint32_t>(input.size()), &length),
              (Words{value, 0xFFFF, value, 0x1171}));
    EXPECT_EQ(length, 8u);
  }
  // Exactly 65535 and 65536 words.
  EXPECT_EQ(Compress(ToBytes(Words(65535, 0)), 65535 * 2), (Words{0, 0xFFFF}));
  EXPECT_EQ(Compress(ToBytes(Words(65536, 0)), 65536 * 2), (Words{0, 0xFFFF, 0, 1}));
}

TEST(CompressWords, OnlyWholeWordsCount) {
  const Bytes input = {0x34, 0x12, 0x00, 0x00, 0x99, 0x77};
  uint32_t length = 7;
  EXPECT_TRUE(Compress(input, 1, &length).empty());
  EXPECT_EQ(length, 0u);
  EXPECT_TRUE(Compress(input, 0, &length).empty());
  EXPECT_EQ(length, 0u);
  // 5 bytes: the first two words only; the run does not reach into byte 5.
  EXPECT_EQ(Compress(input, 5, &length), (Words{0x1234, 0x0000, 0x0001}));
  EXPECT_EQ(length, 6u);
}

TEST(CompressWords, WorstCaseIsTwiceTheInput) {
  Words input;
  for (int i = 0; i < 1000; ++i) input.push_back(i % 2 == 0 ? 0x0000 : 0xFFFF);
  uint32_t length = 0;
  const Bytes bytes = ToBytes(input);
  Compress(bytes, static_cast<uint32_t>(bytes.size()), &length);
  EXPECT_EQ(length, 4000u);
  EXPECT_EQ(CompressedBound(bytes.size()), 4000u);
}

TEST(CompressWords, RoundTripsRandomRasters) {
  std::mt19937 random(1234);
  for (int trial = 0; trial < 40; ++trial) {
    SCOPED_TRACE(trial);
    const size_t words = random() % 5000;
    Words input(words);
    // Mostly runs, as in print data, with literals and lone specials.
    for (size_t i = 0; i < words;) {
      const uint32_t kind = random() % 4;
      const size_t run = 1 + random() % (kind == 3 ? 3 : 200);
      for (size_t k = 0; k < run && i < words; ++k, ++i) {
        input[i] = kind == 0 ? 0x0000 : kind == 1 ? 0xFFFF : static_cast<uint16_t>(random());
      }
    }
    const Bytes bytes = ToBytes(input);
    Bytes out(static_cast<size_t>(CompressedBound(bytes.size())));
    uint32_t length = 0;
    CompressWords(out.data(), &length, bytes.data(), static_cast<uint32_t>(bytes.size()));
    Bytes back;
    ASSERT_TRUE(DecompressWords(out.data(), length, back));
    EXPECT_EQ(back, bytes);
  }
}

TEST(DecompressWords, RefusesMalformedStreams) {
  Bytes out;
  EXPECT_FALSE(DecompressWords(ToBytes({0x1234, 0x0000}).data(), 4, out));  // pair without count
  EXPECT_FALSE(DecompressWords(ToBytes({0xFFFF, 0x0000}).data(), 4, out));  // count 0
  const Bytes odd = {1, 2, 3};
  EXPECT_FALSE(DecompressWords(odd.data(), odd.size(), out));
  out.clear();
  EXPECT_TRUE(DecompressWords(ToBytes({0xFFFF, 2, 0x4321}).data(), 6, out));
  EXPECT_EQ(out, (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x21, 0x43}));
}

}  // namespace
}  // namespace norvex
