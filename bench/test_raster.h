// test_raster.h: deterministic one-bit print data for the compression's
// benchmarks and tests: a plate raster as an imagesetter RIP makes it, a
// mostly white one, and a stress set of inputs that are hard in one way each.
//
// Pixels: 2400 dpi, one bit a pixel, 1 is exposed (black). Pixel x of a line
// is bit 15 - (x & 15) of word x >> 4; words are stored little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace norvex::raster {

inline constexpr uint32_t kLinePixels = 72000;            // a 30-inch plate line at 2400 dpi
inline constexpr uint32_t kLineWords = kLinePixels / 16;  // 4,500
inline constexpr size_t kBufferBytes = 0x200000;          // one 2 MiB bulk piece
// Whole lines in one buffer (233); the rest of the buffer holds the start of
// the next line, as a piece cut from a longer page does.
inline constexpr uint32_t kWholeLines = static_cast<uint32_t>(kBufferBytes / (2 * kLineWords));

// The plate: 5% white margins on each side; 35% halftone at 150 lpi (16-pixel
// cells) in three blocks, screened at 15, 45 and 75 degrees with round dots
// swept from 2% to 98% tone; a 10% solid block; the remaining 45% white with
// thin text strokes scattered in it: three columns of 9 pt type of a light
// face on 11 pt leading, lines ragged on the right. 2 MiB.
std::vector<uint8_t> PlateRaster();

// A mostly white plate: 90% of each line white (margins included); the other
// 10% is a 45-degree halftone block (5%), a column of text (3%) and a solid
// bar (2%). 2 MiB.
std::vector<uint8_t> WhiteRaster();

struct StressInput {
  std::string name;
  std::vector<uint8_t> bytes;  // the whole input; its size may be odd
};

// Inputs that each stress one part of a compressor:
// - stochastic (FM) screens of 2x2-pixel dots at 2, 5, 10, 50 and 95%;
// - random literal words (no 0x0000, no 0xFFFF);
// - 0x0000 alternating with literal words (every run a single word);
// - dense small type: text columns with a line every 150 rows, so that nearly
//   every pixel line crosses strokes;
// - runs of exactly 65535, 65536 and 131071 words, 0x0000 and 0xFFFF in turn;
// - an all-white buffer;
// - odd word counts: one plate line less a word (4,499 words), and the plate
//   less its last byte (1,048,575 words and a dangling byte).
// All 2 MiB or within a few bytes of it, but the one-line input.
std::vector<StressInput> StressSet();

}  // namespace norvex::raster
