// windows_bench.cpp: the speed of the Windows builds' print data kernels,
// run under wine64 for each architecture (scripts/bench-windows): the word
// compression through Norvex.dll's Norvex_CompressData and the TIFF
// capture's band de-interleave (DeinterleaveBand of the library's core, built
// as in the DLL), each beside memcpy of the same bytes and the plain loop,
// all in one process, on 2400 dpi plate bands.
//
// The data is taken in units (a 2 MiB piece for the compression, 32 bands
// for the de-interleave), each unit timed on its own in every round, the
// candidates in turn. A candidate's time is the sum over the units of the
// unit's median over the rounds, so that a unit that another process
// interrupted counts no more than any other sample; the ratios all come from
// this one run.
//
//   norvex_bench_windows [BANDS WIDTH] [--rounds N]
//
// BANDS is a file of print bands of WIDTH pixels (bench/plate_bands.py makes
// one from a TIFF); without it the plate raster of test_raster.h (2 MiB of
// 72000-pixel lines) is taken as bands of the default capture width, 10800.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "norvex.h"
#include "printdata/band_deinterleave.h"
#include "printdata/cpu.h"
#include "printdata/word_compression.h"
#include "reference_compress.h"
#include "reference_deinterleave.h"
#include "test_raster.h"

namespace {

constexpr size_t kPiece = 0x200000;  // one bulk write, compressed at once
constexpr size_t kBandsPerUnit = 32;

struct Candidate {
  std::string name;
  std::function<void(size_t unit)> run;
  std::vector<std::vector<double>> samples = {};  // seconds, by unit

  double Seconds() const {
    double total = 0;
    for (std::vector<double> unit : samples) {
      std::sort(unit.begin(), unit.end());
      total += unit[unit.size() / 2];
    }
    return total;
  }
};

double Now() {
  static const LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

void Measure(std::vector<Candidate>& candidates, size_t units, int rounds) {
  for (Candidate& c : candidates) c.samples.assign(units, {});
  for (int round = 0; round < rounds; ++round) {
    for (Candidate& c : candidates) {
      for (size_t unit = 0; unit < units; ++unit) {
        const double start = Now();
        c.run(unit);
        c.samples[unit].push_back(Now() - start);
      }
    }
  }
}

double SecondsOf(const std::vector<Candidate>& candidates, const std::string& name) {
  for (const Candidate& c : candidates) {
    if (c.name == name) return c.Seconds();
  }
  std::fprintf(stderr, "no candidate %s\n", name.c_str());
  std::exit(2);
}

void Table(const std::vector<Candidate>& candidates, size_t bytes) {
  const double memcpySeconds = SecondsOf(candidates, "memcpy");
  for (const Candidate& c : candidates) {
    const double seconds = c.Seconds();
    std::printf("  %-34s %9.0f MB/s  %5.2f x memcpy\n", c.name.c_str(),
                static_cast<double>(bytes) / seconds / 1e6, memcpySeconds / seconds);
  }
}

std::vector<uint8_t> ReadFileBytes(const char* path) {
  std::vector<uint8_t> bytes;
  if (FILE* file = std::fopen(path, "rb")) {
    uint8_t buffer[1 << 16];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof(buffer), file)) > 0) {
      bytes.insert(bytes.end(), buffer, buffer + got);
    }
    std::fclose(file);
  }
  return bytes;
}

std::string Folder() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string exe(path);
  return exe.substr(0, exe.rfind('\\'));
}

const char* Verdict(double ratio, double goal) { return ratio >= goal ? "met" : "MISSED"; }

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> positional;
  int rounds = 9;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else {
      positional.push_back(argv[i]);
    }
  }
  std::vector<uint8_t> data;
  uint32_t width = 10800;
  std::string source = "the plate raster of test_raster.h";
  if (positional.size() == 2) {
    data = ReadFileBytes(positional[0].c_str());
    width = static_cast<uint32_t>(std::strtoul(positional[1].c_str(), nullptr, 10));
    source = positional[0];
  } else if (positional.empty()) {
    data = norvex::raster::PlateRaster();
  }
  const uint32_t lineBytes = width / 8;
  const size_t bandBytes = 32 * static_cast<size_t>(lineBytes);
  if (positional.size() == 1 || positional.size() > 2 || width == 0 || width % 16 != 0 ||
      data.size() < bandBytes) {
    std::fprintf(stderr, "usage: norvex_bench_windows [BANDS WIDTH] [--rounds N]\n");
    return 2;
  }

  HMODULE dll = LoadLibraryA((Folder() + "\\Norvex.dll").c_str());
  const auto compressData = reinterpret_cast<decltype(&Norvex_CompressData)>(
      reinterpret_cast<void*>(GetProcAddress(dll, "Norvex_CompressData")));
  if (compressData == nullptr) {
    std::fprintf(stderr, "Norvex.dll or its Norvex_CompressData not found beside the program\n");
    return 2;
  }

  const bool is64 = sizeof(void*) == 8;
  const double goal = is64 ? 0.6 : 0.5;
  std::printf("Norvex.dll %s under wine64%s; processor level %s\n", is64 ? "x64" : "x86 (32-bit)",
              is64 ? "" : " (WoW64)", norvex::cpu::Name(norvex::cpu::Detected()));
  std::printf("data: %s, %zu bytes of bands %u pixels wide; %d rounds\n", source.c_str(), data.size(), width,
              rounds);

  // The compression, in pieces of at most 2 MiB as the library's bulk path
  // and its print-data file take them; the DLL's output against the plain
  // loop's first.
  const size_t pieces = (data.size() + kPiece - 1) / kPiece;
  auto piece = [&](size_t unit) { return &data[unit * kPiece]; };
  auto pieceBytes = [&](size_t unit) {
    return static_cast<uint32_t>(std::min(kPiece, data.size() - unit * kPiece));
  };
  std::vector<uint8_t> out(static_cast<size_t>(norvex::CompressedBound(kPiece)));
  std::vector<uint8_t> expected(out.size());
  for (size_t unit = 0; unit < pieces; ++unit) {
    uint32_t length = 0;
    uint32_t expectedLength = 0;
    compressData(out.data(), &length, piece(unit), pieceBytes(unit));
    norvex::reference::CompressWords(expected.data(), &expectedLength, piece(unit), pieceBytes(unit));
    if (length != expectedLength || std::memcmp(out.data(), expected.data(), length) != 0) {
      std::fprintf(stderr, "Norvex_CompressData differs from the plain loop\n");
      return 1;
    }
  }
  uint32_t length = 0;
  std::vector<Candidate> compression = {
      {"memcpy", [&](size_t u) { std::memcpy(out.data(), piece(u), pieceBytes(u)); }},
      {"Norvex_CompressData (Norvex.dll)",
       [&](size_t u) { compressData(out.data(), &length, piece(u), pieceBytes(u)); }},
      {"plain loop (tests' reference)",
       [&](size_t u) { norvex::reference::CompressWords(out.data(), &length, piece(u), pieceBytes(u)); }},
  };
  const std::pair<norvex::CompressPath, const char*> paths[] = {
      {norvex::CompressPath::kScalar, "path scalar"},
      {norvex::CompressPath::kSse2, "path sse2"},
      {norvex::CompressPath::kAvx2, "path avx2"}};
  for (const auto& [path, name] : paths) {
    if (!norvex::CompressPathAvailable(path)) continue;
    compression.push_back({name, [&, path = path](size_t u) {
                             norvex::CompressWordsWith(path, out.data(), &length, piece(u), pieceBytes(u));
                           }});
  }
  Measure(compression, pieces, rounds);

  // The de-interleave, band by band into one band of lines, as the capture
  // does it; whole bands only, checked against the plain loop first.
  const size_t bands = data.size() / bandBytes;
  const size_t bandUnits = (bands + kBandsPerUnit - 1) / kBandsPerUnit;
  auto overBands = [&](size_t unit, const std::function<void(const uint8_t*)>& work) {
    for (size_t k = unit * kBandsPerUnit; k < std::min(bands, (unit + 1) * kBandsPerUnit); ++k) {
      work(&data[k * bandBytes]);
    }
  };
  std::vector<uint8_t> lines(bandBytes);
  std::vector<uint8_t> plain(bandBytes);
  for (size_t k = 0; k < bands; ++k) {
    norvex::DeinterleaveBand(&data[k * bandBytes], lines.data(), lineBytes);
    norvex::reference::DeinterleaveBand(&data[k * bandBytes], plain.data(), lineBytes);
    if (lines != plain) {
      std::fprintf(stderr, "DeinterleaveBand differs from the plain loop\n");
      return 1;
    }
  }
  const std::string best = std::string("DeinterleaveBand (") +
                           norvex::DeinterleaveKernelName(norvex::BestDeinterleaveKernel()) + ")";
  std::vector<Candidate> deinterleave = {
      {"memcpy",
       [&](size_t u) { overBands(u, [&](const uint8_t* b) { std::memcpy(lines.data(), b, bandBytes); }); }},
      {best,
       [&](size_t u) {
         overBands(u, [&](const uint8_t* b) { norvex::DeinterleaveBand(b, lines.data(), lineBytes); });
       }},
      {"plain loop (byte by byte)",
       [&](size_t u) {
         overBands(
             u, [&](const uint8_t* b) { norvex::reference::DeinterleaveBand(b, lines.data(), lineBytes); });
       }},
  };
  for (norvex::DeinterleaveKernel kernel :
       {norvex::DeinterleaveKernel::kPortable, norvex::DeinterleaveKernel::kSse2,
        norvex::DeinterleaveKernel::kSsse3, norvex::DeinterleaveKernel::kAvx2}) {
    if (!norvex::DeinterleaveKernelAvailable(kernel)) continue;
    deinterleave.push_back(
        {std::string("kernel ") + norvex::DeinterleaveKernelName(kernel), [&, kernel](size_t u) {
           overBands(u, [&](const uint8_t* b) {
             norvex::DeinterleaveBandWith(kernel, b, lines.data(), lineBytes);
           });
         }});
  }
  Measure(deinterleave, bandUnits, rounds);

  std::printf("\ncompression, %zu pieces of up to 2 MiB:\n", pieces);
  Table(compression, data.size());
  std::printf("\nde-interleave, %zu bands of %zu bytes:\n", bands, bandBytes);
  Table(deinterleave, bands * bandBytes);

  const double compressSeconds = SecondsOf(compression, "Norvex_CompressData (Norvex.dll)");
  const double compressVsMemcpy = SecondsOf(compression, "memcpy") / compressSeconds;
  const double compressVsPlain = SecondsOf(compression, "plain loop (tests' reference)") / compressSeconds;
  const double bandSeconds = SecondsOf(deinterleave, best);
  const double bandVsMemcpy = SecondsOf(deinterleave, "memcpy") / bandSeconds;
  const double bandVsPlain = SecondsOf(deinterleave, "plain loop (byte by byte)") / bandSeconds;
  const char* arch = is64 ? "x64" : "x86";
  std::printf("\n%s: Norvex_CompressData %.2f x memcpy (goal >= %.1f: %s), %.1f x the plain loop\n", arch,
              compressVsMemcpy, goal, Verdict(compressVsMemcpy, goal), compressVsPlain);
  std::printf("%s: DeinterleaveBand    %.2f x memcpy (goal >= %.1f: %s), %.1f x the plain loop\n", arch,
              bandVsMemcpy, goal, Verdict(bandVsMemcpy, goal), bandVsPlain);
  FreeLibrary(dll);
  return 0;
}
