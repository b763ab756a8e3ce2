// windows_bench.cpp: the speed of the Windows builds' print data kernels,
// run under wine64 for each architecture (scripts/bench-windows): the word
// compression through Norvex.dll's Norvex_CompressData and the TIFF
// capture's band de-interleave (DeinterleaveBand of the library's core, built
// as in the DLL), each beside memcpy of the same bytes and the plain loop,
// all in one process, on 2400 dpi plate bands. Each candidate runs over the
// whole data once per round, the rounds interleaved so that load elsewhere
// falls on all alike; the ratios come from the medians of one run.
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

constexpr size_t kPiece = 0x200000;              // one bulk write, compressed at once
constexpr size_t kMinBytesPerRound = 16u << 20;  // repeat small data up to this

struct Candidate {
  std::string name;
  std::function<void()> pass;  // once over the data
  std::vector<double> seconds;
  double Median() const {
    std::vector<double> sorted = seconds;
    std::sort(sorted.begin(), sorted.end());
    return sorted[sorted.size() / 2];
  }
};

double Seconds() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Runs every candidate `rounds` times, interleaved, each time over the data
// `repeat` times.
void Measure(std::vector<Candidate>& candidates, int rounds, size_t repeat) {
  for (int round = 0; round < rounds; ++round) {
    for (Candidate& c : candidates) {
      const double start = Seconds();
      for (size_t k = 0; k < repeat; ++k) c.pass();
      c.seconds.push_back((Seconds() - start) / static_cast<double>(repeat));
    }
  }
}

const Candidate& Named(const std::vector<Candidate>& candidates, const std::string& name) {
  for (const Candidate& c : candidates) {
    if (c.name == name) return c;
  }
  std::fprintf(stderr, "no candidate %s\n", name.c_str());
  std::exit(2);
}

void Table(const std::vector<Candidate>& candidates, size_t bytes, const char* memcpyName) {
  const double memcpySeconds = Named(candidates, memcpyName).Median();
  for (const Candidate& c : candidates) {
    const double seconds = c.Median();
    std::printf("  %-34s %9.0f MB/s  %5.2f x memcpy\n", c.name.c_str(),
                static_cast<double>(bytes) / seconds / 1e6, memcpySeconds / seconds);
  }
}

std::vector<uint8_t> ReadFileBytes(const char* path) {
  std::vector<uint8_t> bytes;
  if (FILE* file = std::fopen(path, "rb")) {
    uint8_t buffer[1 << 16];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof(buffer), file)) > 0)
      bytes.insert(bytes.end(), buffer, buffer + got);
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
  const size_t repeat = std::max<size_t>(1, kMinBytesPerRound / data.size());
  std::printf("Norvex.dll %s under wine64%s; processor level %s\n", is64 ? "x64" : "x86 (32-bit)",
              is64 ? "" : " (WoW64)", norvex::cpu::Name(norvex::cpu::Detected()));
  std::printf("data: %s, %zu bytes of bands %u pixels wide; medians of %d rounds\n", source.c_str(),
              data.size(), width, rounds);

  // The compression, in pieces of at most 2 MiB as the library's bulk path
  // and its print-data file take them.
  std::vector<uint8_t> out(static_cast<size_t>(norvex::CompressedBound(kPiece)));
  std::vector<uint8_t> expected(out.size());
  auto overPieces = [&](const std::function<void(const uint8_t*, uint32_t)>& work) {
    for (size_t at = 0; at < data.size(); at += kPiece) {
      work(&data[at], static_cast<uint32_t>(std::min(kPiece, data.size() - at)));
    }
  };
  // The DLL's output, piece by piece, against the plain loop's before timing.
  bool same = true;
  overPieces([&](const uint8_t* piece, uint32_t size) {
    uint32_t length = 0;
    uint32_t expectedLength = 0;
    compressData(out.data(), &length, piece, size);
    norvex::reference::CompressWords(expected.data(), &expectedLength, piece, size);
    same = same && length == expectedLength && std::memcmp(out.data(), expected.data(), length) == 0;
  });
  if (!same) {
    std::fprintf(stderr, "Norvex_CompressData differs from the plain loop\n");
    return 1;
  }
  uint32_t length = 0;
  std::vector<Candidate> compression = {
      {"memcpy",
       [&] { overPieces([&](const uint8_t* p, uint32_t n) { std::memcpy(out.data(), p, n); }); },
       {}},
      {"Norvex_CompressData (Norvex.dll)",
       [&] { overPieces([&](const uint8_t* p, uint32_t n) { compressData(out.data(), &length, p, n); }); },
       {}},
      {"plain loop (tests' reference)",
       [&] {
         overPieces([&](const uint8_t* p, uint32_t n) {
           norvex::reference::CompressWords(out.data(), &length, p, n);
         });
       },
       {}},
  };
  const std::pair<norvex::CompressPath, const char*> paths[] = {
      {norvex::CompressPath::kScalar, "path scalar"},
      {norvex::CompressPath::kSse2, "path sse2"},
      {norvex::CompressPath::kAvx2, "path avx2"}};
  for (const auto& [path, name] : paths) {
    if (!norvex::CompressPathAvailable(path)) continue;
    compression.push_back({name,
                           [&, path = path] {
                             overPieces([&](const uint8_t* p, uint32_t n) {
                               norvex::CompressWordsWith(path, out.data(), &length, p, n);
                             });
                           },
                           {}});
  }
  Measure(compression, rounds, repeat);

  // The de-interleave, band by band into one band of lines, as the capture
  // does it.
  std::vector<uint8_t> lines(bandBytes);
  auto overBands = [&](const std::function<void(const uint8_t*)>& work) {
    for (size_t at = 0; at + bandBytes <= data.size(); at += bandBytes) work(&data[at]);
  };
  std::vector<uint8_t> naive(bandBytes);
  bool linesRight = true;
  overBands([&](const uint8_t* band) {
    norvex::DeinterleaveBand(band, lines.data(), lineBytes);
    norvex::reference::DeinterleaveBand(band, naive.data(), lineBytes);
    linesRight = linesRight && lines == naive;
  });
  if (!linesRight) {
    std::fprintf(stderr, "DeinterleaveBand differs from the plain loop\n");
    return 1;
  }
  const size_t bandedBytes = data.size() - data.size() % bandBytes;
  std::vector<Candidate> deinterleave = {
      {"memcpy", [&] { overBands([&](const uint8_t* b) { std::memcpy(lines.data(), b, bandBytes); }); }, {}},
      {std::string("DeinterleaveBand (") + norvex::DeinterleaveKernelName(norvex::BestDeinterleaveKernel()) +
           ")",
       [&] { overBands([&](const uint8_t* b) { norvex::DeinterleaveBand(b, lines.data(), lineBytes); }); },
       {}},
      {"plain loop (byte by byte)",
       [&] { overBands([&](const uint8_t* b) { norvex::reference::DeinterleaveBand(b, lines.data(), lineBytes); }); },
       {}},
  };
  for (norvex::DeinterleaveKernel kernel :
       {norvex::DeinterleaveKernel::kPortable, norvex::DeinterleaveKernel::kSse2,
        norvex::DeinterleaveKernel::kSsse3, norvex::DeinterleaveKernel::kAvx2}) {
    if (!norvex::DeinterleaveKernelAvailable(kernel)) continue;
    deinterleave.push_back({std::string("kernel ") + norvex::DeinterleaveKernelName(kernel),
                            [&, kernel] {
                              overBands([&](const uint8_t* b) {
                                norvex::DeinterleaveBandWith(kernel, b, lines.data(), lineBytes);
                              });
                            },
                            {}});
  }
  Measure(deinterleave, rounds, std::max<size_t>(1, kMinBytesPerRound / bandedBytes));

  std::printf("\ncompression, pieces of up to 2 MiB:\n");
  Table(compression, data.size(), "memcpy");
  std::printf("\nde-interleave, bands of %zu bytes:\n", bandBytes);
  Table(deinterleave, bandedBytes, "memcpy");

  const double compressVsMemcpy =
      Named(compression, "memcpy").Median() / Named(compression, "Norvex_CompressData (Norvex.dll)").Median();
  const double compressVsPlain = Named(compression, "plain loop (tests' reference)").Median() /
                                 Named(compression, "Norvex_CompressData (Norvex.dll)").Median();
  const double bandVsMemcpy = Named(deinterleave, "memcpy").Median() / deinterleave[1].Median();
  const double bandVsPlain =
      Named(deinterleave, "plain loop (byte by byte)").Median() / deinterleave[1].Median();
  std::printf("\n%s: Norvex_CompressData %.2f x memcpy (goal >= %.1f: %s), %.1f x the plain loop\n",
              is64 ? "x64" : "x86", compressVsMemcpy, goal, Verdict(compressVsMemcpy, goal), compressVsPlain);
  std::printf("%s: DeinterleaveBand    %.2f x memcpy (goal >= %.1f: %s), %.1f x the plain loop\n",
              is64 ? "x64" : "x86", bandVsMemcpy, goal, Verdict(bandVsMemcpy, goal), bandVsPlain);
  FreeLibrary(dll);
  return 0;
}
