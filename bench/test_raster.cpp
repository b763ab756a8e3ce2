// test_raster.cpp: the plate rasters and the stress inputs of test_raster.h.
// Random choices come from std::mt19937 with fixed seeds and its raw output
// (no distributions), so every build makes the same bytes.
#include "test_raster.h"

#include <cmath>
#include <random>

namespace norvex::raster {
namespace {

constexpr uint32_t kLineHeight = 233;  // lines shown in one buffer, for the text layout
constexpr double kPi = 3.14159265358979323846;
constexpr double kCellPixels = 16.0;  // 150 lpi at 2400 dpi

enum class Kind { kWhite, kHalftone, kSolid, kText };

struct Segment {
  Kind kind;
  uint32_t begin;  // first pixel
  uint32_t end;    // one past the last pixel
  double angle;    // screen angle in degrees (halftone only)
};

// One line of words, bits set by pixel.
class Line {
 public:
  Line() : m_words(kLineWords, 0) {}
  void Set(uint32_t x) { m_words[x >> 4] = static_cast<uint16_t>(m_words[x >> 4] | (0x8000u >> (x & 15))); }
  void SetSpan(uint32_t from, uint32_t to) {
    for (uint32_t x = from; x < to; ++x) Set(x);
  }
  void Clear() { m_words.assign(kLineWords, 0); }
  const std::vector<uint16_t>& Words() const { return m_words; }

 private:
  std::vector<uint16_t> m_words;
};

// Type as set on a plate: 9 pt at 2400 dpi (x-height 140 pixels, ascenders
// and descenders 70 more), a light face (strokes 7 to 13 pixels), lines
// ragged on the right. Body text has 11 pt leading, a line every 367 pixels,
// so a 233-line piece shows parts of one or two lines and white between them.
constexpr int kBodyLinePitch = 367;
constexpr int kXHeight = 140;
constexpr int kExtender = 70;

// A glyph as a few strokes: a stem, a short stem, bars, a diagonal, a bowl.
struct Glyph {
  int x, width;
  int top, bottom;  // rows, with ascender or descender
  int baseline;     // the x-height band is [baseline - kXHeight, baseline)
  int stroke;
  uint32_t shape;  // bit mask of the strokes drawn
};

struct TextBlock {
  uint32_t begin, end;
  std::vector<Glyph> glyphs;
};

// Sets lines of words in the column [begin, end), one every `pitch` rows, at
// a random vertical offset.
TextBlock SetText(uint32_t begin, uint32_t end, int pitch, std::mt19937& random) {
  TextBlock block{begin, end, {}};
  const int width = static_cast<int>(end - begin);
  for (int baseline = static_cast<int>(random() % static_cast<uint32_t>(pitch)) - pitch;
       baseline - kXHeight - kExtender < static_cast<int>(kLineHeight); baseline += pitch) {
    if (baseline + kExtender < 0) continue;
    const int lineEnd =
        static_cast<int>(end) - 150 - static_cast<int>(random() % static_cast<uint32_t>(width / 3));
    int x = static_cast<int>(begin) + 150;
    bool full = false;
    while (!full) {
      const int letters = 2 + static_cast<int>(random() % 8);
      for (int k = 0; k < letters; ++k) {
        const int glyphWidth = 90 + static_cast<int>(random() % 80);
        if (x + glyphWidth > lineEnd) {
          full = true;
          break;
        }
        const uint32_t kind = random() % 8;  // 2 in 8 ascend, 1 in 8 descends
        const int top = baseline - kXHeight - (kind < 2 ? kExtender : 0);
        const int bottom = baseline + (kind == 2 ? kExtender : 0);
        const int stroke = 7 + static_cast<int>(random() % 7);
        const uint32_t shape = 1u + static_cast<uint32_t>(random() % 31);
        block.glyphs.push_back(Glyph{x, glyphWidth, top, bottom, baseline, stroke, shape});
        x += glyphWidth + 15 + static_cast<int>(random() % 15);
      }
      x += 60 + static_cast<int>(random() % 30);  // the space between words
    }
  }
  return block;
}

void DrawSpan(Line& line, const TextBlock& block, int from, int to) {
  if (from < static_cast<int>(block.begin)) from = static_cast<int>(block.begin);
  if (to > static_cast<int>(block.end)) to = static_cast<int>(block.end);
  if (from < to) line.SetSpan(static_cast<uint32_t>(from), static_cast<uint32_t>(to));
}

void DrawText(Line& line, const TextBlock& block, int y) {
  for (const Glyph& g : block.glyphs) {
    if (y < g.top || y >= g.bottom) continue;
    const int xTop = g.baseline - kXHeight;
    const bool inXBand = y >= xTop && y < g.baseline;
    if (g.shape & 1) DrawSpan(line, block, g.x, g.x + g.stroke);  // the stem, with any extender
    if ((g.shape & 2) && inXBand) DrawSpan(line, block, g.x + g.width - g.stroke, g.x + g.width);
    if (g.shape & 4) {  // bars at the top and the middle of the x-height
      if ((y >= xTop && y < xTop + g.stroke) ||
          (y >= xTop + kXHeight / 2 && y < xTop + kXHeight / 2 + g.stroke)) {
        DrawSpan(line, block, g.x, g.x + g.width);
      }
    }
    if ((g.shape & 8) && inXBand) {  // a diagonal across the x-height
      const int cx = g.x + (g.width - g.stroke) * (y - xTop) / kXHeight;
      DrawSpan(line, block, cx, cx + g.stroke + 2);
    }
    if ((g.shape & 16) && inXBand) {  // a bowl filling the x-height
      const double radius = (g.width < kXHeight ? g.width : kXHeight) / 2.0;
      const double d = y + 0.5 - (xTop + kXHeight / 2.0);
      const double outer = radius * radius - d * d;
      if (outer > 0) {
        const double inner = (radius - g.stroke) * (radius - g.stroke) - d * d;
        const double centreX = g.x + g.width / 2.0;
        const double o = std::sqrt(outer);
        const double i = inner > 0 ? std::sqrt(inner) : 0.0;
        DrawSpan(line, block, static_cast<int>(centreX - o), static_cast<int>(centreX - i));
        DrawSpan(line, block, static_cast<int>(centreX + i), static_cast<int>(centreX + o));
      }
    }
  }
}

// Round dots of a rotated screen: black dots that grow up to 50% tone, white
// holes at the cell corners that shrink above it.
void DrawHalftone(Line& line, const Segment& s, uint32_t y) {
  const double radians = s.angle * kPi / 180.0;
  const double c = std::cos(radians) / kCellPixels;
  const double sn = std::sin(radians) / kCellPixels;
  const double py = y + 0.5;
  const double span = static_cast<double>(s.end - s.begin - 1);
  for (uint32_t x = s.begin; x < s.end; ++x) {
    const double tone = 0.02 + 0.96 * (x - s.begin) / span;
    const double px = x + 0.5;
    const double u = px * c + py * sn;
    const double v = py * c - px * sn;
    const double a = 2.0 * (u - std::floor(u)) - 1.0;  // -1..1 across the cell
    const double b = 2.0 * (v - std::floor(v)) - 1.0;
    bool black;
    if (tone <= 0.5) {
      black = a * a + b * b < 4.0 * tone / kPi;
    } else {
      const double ca = 1.0 - std::fabs(a);
      const double cb = 1.0 - std::fabs(b);
      black = !(ca * ca + cb * cb < 4.0 * (1.0 - tone) / kPi);
    }
    if (black) line.Set(x);
  }
}

void Append(std::vector<uint8_t>& out, const std::vector<uint16_t>& words) {
  for (uint16_t w : words) {
    if (out.size() + 2 > kBufferBytes) return;
    out.push_back(static_cast<uint8_t>(w & 0xFF));
    out.push_back(static_cast<uint8_t>(w >> 8));
  }
}

// Segment boundaries from cumulative percentages of the line, each moved by
// a few pixels so that most do not fall on word boundaries.
std::vector<Segment> Layout(const std::vector<std::pair<Kind, double>>& parts,
                            const std::vector<int>& jitter) {
  std::vector<Segment> segments;
  double total = 0;
  uint32_t begin = 0;
  for (size_t k = 0; k < parts.size(); ++k) {
    total += parts[k].second;
    uint32_t end = static_cast<uint32_t>(std::lround(total * kLinePixels / 100.0));
    if (k + 1 < parts.size()) end = static_cast<uint32_t>(static_cast<int>(end) + jitter[k]);
    if (k + 1 == parts.size()) end = kLinePixels;
    segments.push_back(Segment{parts[k].first, begin, end, 0.0});
    begin = end;
  }
  return segments;
}

std::vector<uint8_t> Render(std::vector<Segment> segments, const std::vector<double>& angles, int linePitch,
                            uint32_t seed) {
  std::mt19937 random(seed);
  size_t nextAngle = 0;
  std::vector<TextBlock> text;
  for (Segment& s : segments) {
    if (s.kind == Kind::kHalftone) s.angle = angles[nextAngle++ % angles.size()];
    if (s.kind == Kind::kText) text.push_back(SetText(s.begin, s.end, linePitch, random));
  }
  std::vector<uint8_t> out;
  out.reserve(kBufferBytes);
  Line line;
  for (uint32_t y = 0; out.size() < kBufferBytes; ++y) {
    line.Clear();
    size_t nextText = 0;
    for (const Segment& s : segments) {
      switch (s.kind) {
        case Kind::kWhite:
          break;
        case Kind::kSolid:
          line.SetSpan(s.begin, s.end);
          break;
        case Kind::kHalftone:
          DrawHalftone(line, s, y);
          break;
        case Kind::kText:
          DrawText(line, text[nextText++], static_cast<int>(y));
          break;
      }
    }
    Append(out, line.Words());
  }
  return out;
}

std::vector<uint16_t> ToWords(const std::vector<uint8_t>& bytes) {
  std::vector<uint16_t> words(bytes.size() / 2);
  for (size_t i = 0; i < words.size(); ++i) {
    words[i] = static_cast<uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  }
  return words;
}

std::vector<uint8_t> ToBytes(const std::vector<uint16_t>& words) {
  std::vector<uint8_t> bytes;
  bytes.reserve(2 * words.size());
  for (uint16_t w : words) {
    bytes.push_back(static_cast<uint8_t>(w & 0xFF));
    bytes.push_back(static_cast<uint8_t>(w >> 8));
  }
  return bytes;
}

uint16_t RandomLiteral(std::mt19937& random) {
  while (true) {
    const auto w = static_cast<uint16_t>(random() >> 8);
    if (w != 0x0000 && w != 0xFFFF) return w;
  }
}

// A frequency-modulated screen: each 2x2-pixel dot is black with the chance
// `coverage`, independently of the others.
std::vector<uint8_t> StochasticDots(double coverage, uint32_t seed) {
  std::mt19937 random(seed);
  const auto threshold = static_cast<uint32_t>(coverage * 4294967296.0);
  std::vector<uint8_t> out;
  out.reserve(kBufferBytes);
  Line line;
  while (out.size() < kBufferBytes) {
    line.Clear();
    for (uint32_t x = 0; x < kLinePixels; x += 2) {
      if (random() < threshold) line.SetSpan(x, x + 2);
    }
    Append(out, line.Words());  // each row of dots is two pixel lines
    Append(out, line.Words());
  }
  return out;
}

std::vector<uint8_t> Runs(uint32_t length) {
  std::vector<uint16_t> words(kBufferBytes / 2);
  for (size_t i = 0; i < words.size(); ++i) words[i] = (i / length) % 2 == 0 ? 0x0000 : 0xFFFF;
  return ToBytes(words);
}

}  // namespace

std::vector<uint8_t> PlateRaster() {
  const std::vector<std::pair<Kind, double>> parts = {
      {Kind::kWhite, 5}, {Kind::kHalftone, 12}, {Kind::kText, 15}, {Kind::kHalftone, 12}, {Kind::kSolid, 10},
      {Kind::kText, 15}, {Kind::kHalftone, 11}, {Kind::kText, 15}, {Kind::kWhite, 5},
  };
  const std::vector<int> jitter = {0, 3, -5, 9, -2, 6, -7, 0};
  return Render(Layout(parts, jitter), {15.0, 45.0, 75.0}, kBodyLinePitch, 2400);
}

std::vector<uint8_t> WhiteRaster() {
  const std::vector<std::pair<Kind, double>> parts = {
      {Kind::kWhite, 40}, {Kind::kHalftone, 5}, {Kind::kWhite, 20}, {Kind::kText, 3},
      {Kind::kWhite, 15}, {Kind::kSolid, 2},    {Kind::kWhite, 15},
  };
  const std::vector<int> jitter = {5, -3, 7, -6, 2, -1};
  return Render(Layout(parts, jitter), {45.0}, kBodyLinePitch, 90);
}

std::vector<StressInput> StressSet() {
  std::vector<StressInput> set;
  const struct {
    const char* name;
    double coverage;
  } screens[] = {{"fm_2x2_2pct", 0.02},
                 {"fm_2x2_5pct", 0.05},
                 {"fm_2x2_10pct", 0.10},
                 {"fm_2x2_50pct", 0.50},
                 {"fm_2x2_95pct", 0.95}};
  uint32_t seed = 1;
  for (const auto& s : screens) set.push_back({s.name, StochasticDots(s.coverage, seed++)});

  std::mt19937 random(77);
  std::vector<uint16_t> words(kBufferBytes / 2);
  for (uint16_t& w : words) w = RandomLiteral(random);
  set.push_back({"random_literals", ToBytes(words)});
  for (size_t i = 0; i < words.size(); ++i) words[i] = i % 2 == 0 ? 0x0000 : RandomLiteral(random);
  set.push_back({"zero_literal_alternating", ToBytes(words)});

  // Small type set solid: nearly every line of the piece crosses strokes.
  const std::vector<std::pair<Kind, double>> page = {
      {Kind::kWhite, 5}, {Kind::kText, 45}, {Kind::kText, 45}, {Kind::kWhite, 5}};
  set.push_back({"dense_text", Render(Layout(page, {0, 11, -13}), {}, 150, 5)});

  set.push_back({"runs_65535", Runs(65535)});
  set.push_back({"runs_65536", Runs(65536)});
  set.push_back({"runs_131071", Runs(131071)});
  set.push_back({"all_white", std::vector<uint8_t>(kBufferBytes, 0)});

  const std::vector<uint8_t> plate = PlateRaster();
  std::vector<uint16_t> line = ToWords(plate);
  line.resize(kLineWords - 1);
  set.push_back({"odd_line_4499_words", ToBytes(line)});
  set.push_back({"odd_plate_less_1_byte", std::vector<uint8_t>(plate.begin(), plate.end() - 1)});
  return set;
}

}  // namespace norvex::raster
