// cmd_testplate.cpp: norvexctl testplate: a test plate for printing, made
// from integer arithmetic alone so that every machine writes the same bytes:
// a frame and registration marks, a tone wedge of halftone steps, a
// continuous wedge, solid and line targets, checkerboards and rings.
#include <cmath>
#include <cstdio>

#include "commands.h"
#include "image_io.h"

namespace norvexctl {
namespace {

constexpr uint32_t kCell = 16;  // 150 lpi at 2400 dpi

// A clustered-dot threshold cell: the cell's pixels ranked by their distance
// from its centre (ties by position), so that a tone t of 256 blackens the
// t * 256 / 256 nearest pixels as one round dot.
struct DotCell {
  uint8_t rank[kCell][kCell];
  DotCell() {
    uint32_t order[kCell * kCell];
    for (uint32_t i = 0; i < kCell * kCell; ++i) order[i] = i;
    auto key = [](uint32_t i) {
      const int dx = 2 * static_cast<int>(i % kCell) + 1 - static_cast<int>(kCell);
      const int dy = 2 * static_cast<int>(i / kCell) + 1 - static_cast<int>(kCell);
      return static_cast<uint32_t>(dx * dx + dy * dy) * 1024u + i;
    };
    // Insertion sort: 256 entries, once.
    for (uint32_t i = 1; i < kCell * kCell; ++i) {
      for (uint32_t j = i; j > 0 && key(order[j - 1]) > key(order[j]); --j) std::swap(order[j - 1], order[j]);
    }
    for (uint32_t r = 0; r < kCell * kCell; ++r)
      rank[order[r] / kCell][order[r] % kCell] = static_cast<uint8_t>(r);
  }
  // Black at (x, y) for a tone of 0 (white) to 256 (solid).
  bool Black(uint32_t x, uint32_t y, uint32_t tone) const { return rank[y % kCell][x % kCell] < tone; }
};

Bitmap TestPlate(uint32_t width, uint32_t height) {
  Bitmap plate;
  plate.Resize(width, height);
  const DotCell dots;
  const uint32_t margin = width / 40 > 16 ? width / 40 : 16;
  const uint32_t stroke = width / 800 > 2 ? width / 800 : 2;
  const uint32_t left = margin;
  const uint32_t right = width - margin;
  const uint32_t top = margin;
  const uint32_t bottom = height - margin;
  const uint32_t inner = right - left;
  const uint32_t tall = bottom - top;
  // Bands from the top: tone steps, a continuous wedge, line targets,
  // checkerboards and rings.
  const uint32_t bandSteps = top + tall * 25 / 100;
  const uint32_t bandWedge = top + tall * 38 / 100;
  const uint32_t bandLines = top + tall * 69 / 100;
  const uint32_t gap = stroke * 4;

  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      bool black = false;
      const bool inFrame = x >= left && x < right && y >= top && y < bottom;
      if (!inFrame) {
        // Registration crosses in the four corners of the margin.
        const uint32_t cx = x < width / 2 ? margin / 2 : width - margin / 2;
        const uint32_t cy = y < height / 2 ? margin / 2 : height - margin / 2;
        const uint32_t dx = x > cx ? x - cx : cx - x;
        const uint32_t dy = y > cy ? y - cy : cy - y;
        black = (dx < stroke / 2 + 1 && dy < margin * 2 / 5) || (dy < stroke / 2 + 1 && dx < margin * 2 / 5);
      } else if (x < left + stroke || x >= right - stroke || y < top + stroke || y >= bottom - stroke) {
        black = true;  // the frame
      } else if (y < top + gap || x < left + gap || x >= right - gap) {
        black = false;  // white inside the frame
      } else if (y < bandSteps - gap) {
        // Eleven patches, 0% to 100% in steps of 10%.
        const uint32_t patch = (x - left - gap) * 11 / (inner - 2 * gap);
        black = dots.Black(x, y, patch * 256 / 10);
      } else if (y < bandSteps) {
        black = false;
      } else if (y < bandWedge - gap) {
        // 0% to 100% continuously from left to right.
        black = dots.Black(x, y, (x - left - gap) * 257 / (inner - 2 * gap));
      } else if (y < bandWedge) {
        black = false;
      } else if (y < bandLines - gap) {
        // Eight blocks: vertical lines 1, 2, 4, 8 pixels wide, then
        // horizontal ones, each line as wide as its gap.
        const uint32_t block = (x - left - gap) * 8 / (inner - 2 * gap);
        const uint32_t line = 1u << (block % 4);
        black = block < 4 ? (x / line) % 2 == 0 : (y / line) % 2 == 0;
      } else if (y < bandLines) {
        black = false;
      } else if (y < bottom - gap) {
        // Checkerboards of 1, 2, 4, 8 pixels, a solid block, rings.
        const uint32_t block = (x - left - gap) * 6 / (inner - 2 * gap);
        if (block < 4) {
          const uint32_t square = 1u << block;
          black = ((x / square) + (y / square)) % 2 == 0;
        } else if (block == 4) {
          black = true;
        } else {
          const double rx = static_cast<double>(x) - (left + gap + (inner - 2 * gap) * 11.0 / 12.0);
          const double ry = static_cast<double>(y) - (bandLines + bottom - gap) / 2.0;
          black = static_cast<uint32_t>(std::sqrt(rx * rx + ry * ry)) / (2 * stroke) % 2 == 0;
        }
      }
      if (black) plate.SetBlack(x, y);
    }
  }
  return plate;
}

}  // namespace

int RunTestPlate(Context& context, const std::vector<std::string>& args) {
  Args parsed;
  std::string error;
  if (!ParseArgs(args, {"--width", "--height"}, {}, parsed, error))
    return UsageError(context, "testplate", error);
  if (parsed.positional.size() != 1) return UsageError(context, "testplate", "testplate takes OUTPUT.pbm");
  uint32_t width = 12000;
  uint32_t height = 9600;
  if (!ParseU32(parsed.Value("--width", "12000"), width) ||
      !ParseU32(parsed.Value("--height", "9600"), height) || width < 256 || height < 256 ||
      width > kMaxLinePixels || height > kMaxLinePixels) {
    return UsageError(context, "testplate", "--width and --height take 256 to 1048576 pixels");
  }
  if (!CheckImageSize(width, height, FileKind::kPbm, error)) {
    context.out.Error(error);
    return kExitFile;
  }
  const std::string name = parsed.positional[0];
  if (name == "-" && context.out.json()) {
    return UsageError(context, "testplate", "--json and OUTPUT '-' would both use standard output");
  }
  Output& out = context.out;
  if (name == "-") out.LinesToStderr();
  OutputFile output;
  if (!output.Check(name, error)) {
    out.Error(error);
    return kExitFile;
  }
  const Bitmap plate = TestPlate(width, height);
  std::FILE* file = std::fopen(output.path().c_str(), "wb");
  bool written = file != nullptr;
  if (written) {
    written = std::fprintf(file, "P4\n# Norvex test plate, %u x %u pixels\n%u %u\n", width, height, width,
                           height) > 0 &&
              std::fwrite(plate.bits.data(), 1, plate.bits.size(), file) == plate.bits.size();
    written = std::fclose(file) == 0 && written;
  }
  if (!written || !output.Commit()) {
    out.Error("cannot write " + name);
    return kExitFile;
  }
  out.Line(Printf("test plate %u x %u pixels written to %s", width, height,
                  output.toStdout() ? "standard output" : output.path().c_str()));
  out.root().Set("width", Json::Int(width));
  out.root().Set("height", Json::Int(height));
  out.root().Set("file", Json::Str(output.path()));
  return kExitOk;
}

}  // namespace norvexctl
