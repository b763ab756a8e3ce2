// print_data.h: print data for the print, capture and compress commands:
// an input file as print bands, and the compressed format of the print-data
// file (Norvex_CompressData in pieces, and its decoder).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "output.h"

namespace norvexctl {

// The largest bulk write, and the largest piece compressed at once.
inline constexpr uint32_t kPieceBytes = 0x200000;

struct PrintInput {
  std::vector<uint8_t> data;  // the print bands
  uint32_t width = 0;         // pixels a line of the bands (a multiple of 16)
  uint32_t lines = 0;         // lines of the bands (a multiple of 32 for an image)
  uint32_t imageWidth = 0;    // the image's own size (0 for raw data)
  uint32_t imageHeight = 0;
  bool image = false;
  uint64_t bytes = 0;  // the print data's size (known before it is read)
  // The page of a TIFF file to read, as --page names it (1 the first; 0
  // when none was named, which a file of several pages refuses). Set before
  // PlanInput; PlanInput sets it to the page read.
  uint32_t page = 0;
  uint32_t pages = 1;  // the image file's pages
  std::string tone;    // what is thresholded: empty for a bilevel image (ImageInfo)
};

// Where raw print data (a file that is no image) is taken: not by print,
// which takes images only; by capture and compress with --width.
enum class RawData { kRefused, kAllowed };

// What an input file is and how much print data it makes, from its first
// bytes and header alone: checked before anything is read in full or sent.
// `name` is the file as the user named it (for messages). False with `error`
// naming the real reason (missing, empty, a JPEG, a text file, too large, no
// --width for raw data).
bool PlanInput(const std::string& path, const std::string& name, uint32_t rawWidth, RawData raw,
               PrintInput& plan, std::string& error);

// PlanInput, then the file read: an image (TIFF, PNG, PBM) as bands, or
// another file as raw print data of `rawWidth` pixels a line. False with
// `error` set.
bool LoadPrintInput(const std::string& path, const std::string& name, uint32_t rawWidth, RawData raw,
                    PrintInput& input, std::string& error);

// --page N of the commands that read images, into `input.page`. False for a
// value that is no page number (1 or more).
bool ParsePage(const std::string& text, PrintInput& input);
// What was read of an image and how, for a person: its page of several, and
// that a grey or colour image was thresholded, at which level. Each is also
// set in `json` ("page", "pages", "threshold": {"tone", "level"}).
std::vector<std::string> DescribeReading(const PrintInput& input, Json& json);

// Compresses the whole input as one stream with Norvex_CompressData, as the
// compressed print-data file of link mode 12 holds a write. Returns its
// result (0 when all went well).
uint32_t CompressStream(const std::vector<uint8_t>& data, std::vector<uint8_t>& out);

// Decodes the compressed format: 16-bit little-endian words; 0x0000 and
// 0xFFFF are followed by a count word and stand for that many of themselves,
// every other word for itself. False at a malformed stream (odd length, a
// run without its count, a count of 0), with `badOffset` its byte offset.
bool Decompress(const std::vector<uint8_t>& stream, std::vector<uint8_t>& out, size_t& badOffset);
// The bytes Decompress would make, without making them (a stream of a few
// bytes may stand for gigabytes). False at a malformed stream, as Decompress.
bool DecompressedSize(const std::vector<uint8_t>& stream, uint64_t& size, size_t& badOffset);

}  // namespace norvexctl
