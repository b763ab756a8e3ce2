// host_conventions_test.cpp: the 32-bit Norvex.dll called as a host built by
// another compiler calls it. Every export is looked up by name and by
// ordinal and called through its standard-call pointer with the stack at
// each offset from a 16-byte boundary that 32-bit Windows allows (0, 4, 8,
// 12), by the thunk of host_call_x86.S, which checks after each call that the
// export removed exactly its arguments and wrote nothing above them, and kept
// EBX, ESI, EDI, EBP, the direction flag, the x87 control word and MXCSR. The
// vector kernels run on plate data this way: the compression, the TIFF
// capture in link modes 2 and 3 and the bulk writes to the print-data files,
// each result checked byte for byte against a plain reference; and also from
// a thread made with CreateThread, with the library loaded and freed at run
// time. A fault inside the library ends the program with the step it was in.
#define WIN32_LEAN_AND_MEAN
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "fault_report.h"
#include "host_call.h"
#include "norvex.h"
#include "reference_compress.h"
#include "reference_deinterleave.h"
#include "test_raster.h"

uint32_t g_hostCallSlot = 0;

namespace {

struct ExportCall {
  int ordinal;
  const char* name;
  const char* args;  // one letter an argument: p a pointer, v a value
};
// Every function the DLL is built with, from its .def file and norvex.h.
const ExportCall kExports[] = {
#include "export_calls.inc"
};

constexpr uint32_t kStackOffsets[] = {0, 4, 8, 12};
// What a host may run with: the x87 at 53-bit precision (as programs built
// with MSVC do), SSE with flush-to-zero; exceptions masked in both.
constexpr uint32_t kHostFpuControl = 0x027F;
constexpr uint32_t kHostMxcsr = 0x9F80;
// The exception flags are the only part of either that a callee may change.
constexpr uint32_t kFpuControlBits = 0x1F3F;
constexpr uint32_t kMxcsrControlBits = 0xFFC0;
constexpr uint32_t kDirectionFlag = 0x400;

struct Setup {
  Setup() {
    g_hostCallSlot = TlsAlloc();
    InstallFaultReport();
  }
} const g_setup;

std::string ExeFolder() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string exe(path);
  return exe.substr(0, exe.rfind('\\'));
}

std::string ReadFileBytes(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::string();
  std::string bytes;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0) bytes.append(buffer, got);
  CloseHandle(file);
  return bytes;
}

uint32_t Arg(const void* pointer) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer)); }

// Norvex.dll beside this program, loaded for the object's lifetime.
class Library {
 public:
  Library() : m_module(LoadLibraryA((ExeFolder() + "\\Norvex.dll").c_str())) {}
  ~Library() {
    if (m_module != nullptr) FreeLibrary(m_module);
  }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  bool Loaded() const { return m_module != nullptr; }
  const void* ByName(const char* name) const { return Address(GetProcAddress(m_module, name)); }
  const void* ByOrdinal(int ordinal) const {
    return Address(GetProcAddress(m_module, reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(ordinal))));
  }

 private:
  static const void* Address(FARPROC proc) { return reinterpret_cast<const void*>(proc); }
  HMODULE m_module;
};

// Calls `target` with `args` at `stackOffset` and checks what the call left
// behind; returns its result.
uint32_t CallAsHost(const void* target, const std::vector<uint32_t>& args, uint32_t stackOffset,
                    const std::string& what) {
  Step(what + " at ESP % 16 = " + std::to_string(stackOffset));
  SCOPED_TRACE(t_faultStep);
  HostCall call{};
  call.target = target;
  call.argCount = static_cast<uint32_t>(args.size());
  for (size_t i = 0; i < args.size(); ++i) call.args[i] = args[i];
  call.stackOffset = stackOffset;
  // Values no compiler would leave there by chance, different at each offset.
  call.ebx = 0xB0B1B2B3u ^ stackOffset;
  call.esi = 0x50515253u ^ stackOffset;
  call.edi = 0xD0D1D2D3u ^ stackOffset;
  call.ebp = 0xE0E1E2E3u ^ stackOffset;
  call.fpuControl = kHostFpuControl;
  call.mxcsr = kHostMxcsr;
  TlsSetValue(g_hostCallSlot, &call);
  NorvexHostCall(&call);
  EXPECT_EQ(call.espAtCall % 16, stackOffset);
  EXPECT_EQ(call.stackError, 0) << "removed " << 4 * args.size() + static_cast<size_t>(call.stackError)
                                << " bytes of arguments, not " << 4 * args.size();
  EXPECT_EQ(call.guardAfter, kHostCallGuard) << "wrote above its arguments";
  EXPECT_EQ(call.ebxAfter, call.ebx) << "EBX";
  EXPECT_EQ(call.esiAfter, call.esi) << "ESI";
  EXPECT_EQ(call.ediAfter, call.edi) << "EDI";
  EXPECT_EQ(call.ebpAfter, call.ebp) << "EBP";
  EXPECT_EQ(call.eflagsAfter & kDirectionFlag, 0u) << "direction flag left set";
  EXPECT_EQ(call.fpuControlAfter & kFpuControlBits, kHostFpuControl & kFpuControlBits) << "x87 control word";
  EXPECT_EQ(call.mxcsrAfter & kMxcsrControlBits, kHostMxcsr & kMxcsrControlBits) << "MXCSR";
  return call.result;
}

// The export `name` of `library`, found by name; the ordinal must give the
// same address.
const void* Export(const Library& library, const char* name) {
  const void* byName = library.ByName(name);
  EXPECT_NE(byName, nullptr) << name;
  for (const ExportCall& e : kExports) {
    if (std::strcmp(e.name, name) == 0) {
      EXPECT_EQ(library.ByOrdinal(e.ordinal), byName) << name;
    }
  }
  return byName;
}

// Plate data: the 2 MiB plate raster (2400 dpi) and inputs that are hard
// for the compression in one way each.
const std::vector<norvex::raster::StressInput>& PlateInputs() {
  static const std::vector<norvex::raster::StressInput> inputs = [] {
    std::vector<norvex::raster::StressInput> all{{"plate", norvex::raster::PlateRaster()},
                                                 {"white_90pct", norvex::raster::WhiteRaster()}};
    for (auto& s : norvex::raster::StressSet()) all.push_back(std::move(s));
    return all;
  }();
  return inputs;
}

std::string Compressed(const uint8_t* data, size_t size) {
  std::string out(2 * size + 4, '\0');
  uint32_t length = 0;
  norvex::reference::CompressWords(&out[0], &length, data, static_cast<uint32_t>(size));
  out.resize(length);
  return out;
}

// The lines of the whole bands of `data`, by the plain reference.
std::string LinesOf(const std::vector<uint8_t>& data, uint32_t width) {
  const size_t band = 32 * static_cast<size_t>(width / 8);
  std::string lines(data.size() - data.size() % band, '\0');
  for (size_t start = 0; start < lines.size(); start += band) {
    norvex::reference::DeinterleaveBand(&data[start], reinterpret_cast<uint8_t*>(&lines[start]), width / 8);
  }
  return lines;
}

uint32_t Le32(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i)
    value |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + i])) << (8 * i);
  return value;
}

// The value of `tag` in the first IFD of a little-endian TIFF, 0 if absent.
uint32_t TiffTag(const std::string& tiff, uint16_t tag) {
  if (tiff.size() < 8 || tiff.compare(0, 4, "II*\0", 4) != 0) return 0;
  const size_t ifd = Le32(tiff, 4);
  if (ifd + 2 > tiff.size()) return 0;
  const size_t entries =
      static_cast<uint8_t>(tiff[ifd]) | static_cast<size_t>(static_cast<uint8_t>(tiff[ifd + 1])) << 8;
  for (size_t k = 0; k < entries && ifd + 2 + 12 * (k + 1) <= tiff.size(); ++k) {
    const size_t at = ifd + 2 + 12 * k;
    if ((Le32(tiff, at) & 0xFFFF) == tag) return Le32(tiff, at + 8);
  }
  return 0;
}

// The bytes of one bulk write in the tests below.
constexpr size_t kPiece = 174720;

// The bulk exports in turn, each piece at the next stack offset: pieces of
// 174720 bytes (a whole number of 64-byte blocks, so that Norvex_WriteSDRAM2
// takes them, and not of bands, so that bands straddle calls), the rest last.
// Returns the results.
std::vector<uint32_t> WriteInPieces(const Library& library, const std::vector<uint8_t>& data) {
  const void* writeSdram2 = Export(library, "Norvex_WriteSDRAM2");
  const void* sentPrintData = Export(library, "NV_SentPrintData");
  const void* writeSdram = Export(library, "Norvex_WriteSDRAM");
  std::vector<uint32_t> results;
  size_t k = 0;
  for (size_t at = 0; at < data.size(); at += kPiece, ++k) {
    const size_t size = data.size() - at < kPiece ? data.size() - at : kPiece;
    const uint32_t offset = kStackOffsets[k % 4];
    const std::string piece = "piece " + std::to_string(k) + " of " + std::to_string(size) + " bytes";
    uint32_t words = static_cast<uint32_t>(size / 2);
    switch (k % 3) {
      case 0:
        results.push_back(CallAsHost(writeSdram2, {Arg(&data[at]), Arg(&words), 0}, offset,
                                     "Norvex_WriteSDRAM2, " + piece));
        if (results.back() == 0) {
          EXPECT_EQ(words, size / 2);
        }
        break;
      case 1:
        results.push_back(CallAsHost(sentPrintData, {Arg(&data[at]), static_cast<uint32_t>(size)}, offset,
                                     "NV_SentPrintData, " + piece));
        break;
      default:
        results.push_back(
            CallAsHost(writeSdram, {Arg(&data[at]), words}, offset, "Norvex_WriteSDRAM, " + piece));
        break;
    }
  }
  return results;
}

class HostConventions : public ::testing::Test {
 protected:
  void SetUp() override {
    m_folder = ExeFolder();
    m_ini = m_folder + "\\Varnock.ini";
    DeleteFileA(m_ini.c_str());
    DeleteFileA((m_folder + "\\log\\UsbDriver.log").c_str());
  }
  void SetPrintData(const char* key, const std::string& value) {
    ASSERT_TRUE(WritePrivateProfileStringA("PrintData", key, value.c_str(), m_ini.c_str()));
  }

  // The TIFF capture of `mode` at `width`, fed by the three bulk exports.
  void CaptureAtEveryStackOffset(int32_t mode, uint32_t width) {
    const std::string file = m_folder + "\\capture_mode" + std::to_string(mode) + ".tif";
    DeleteFileA(file.c_str());
    SetPrintData("CaptureWidth", std::to_string(width));
    SetPrintData("CaptureFile", file);
    const std::vector<uint8_t>& data = PlateInputs().front().bytes;
    {
      Library library;
      ASSERT_TRUE(library.Loaded());
      const void* setMode = Export(library, "Norvex_SetPrintDataSaveIdle");
      EXPECT_EQ(CallAsHost(setMode, {static_cast<uint32_t>(mode)}, 4, "entering the capture mode"), 0u);
      // Without a device, mode 3 reports the handle's error; it captures all the same.
      for (uint32_t result : WriteInPieces(library, data)) {
        EXPECT_EQ(result, mode == NORVEX_LINK_TIFF_CAPTURE ? 0u : uint32_t{NORVEX_ERROR_INVALID_HANDLE});
      }
      EXPECT_EQ(CallAsHost(setMode, {NORVEX_LINK_USB}, 12, "leaving the capture mode"), 0u);
    }
    const std::string tiff = ReadFileBytes(file);
    const std::string lines = LinesOf(data, width);
    ASSERT_GT(lines.size(), 0u);
    EXPECT_EQ(TiffTag(tiff, 256), width);
    EXPECT_EQ(TiffTag(tiff, 257), lines.size() / (width / 8));
    ASSERT_GE(tiff.size(), 8 + lines.size());
    EXPECT_TRUE(tiff.compare(8, lines.size(), lines) == 0) << "the captured lines differ from the bands";
  }

  // The compression and the capture on a thread that the host made itself.
  static DWORD WINAPI HostThread(LPVOID context) {
    Library library;
    EXPECT_TRUE(library.Loaded());
    if (!library.Loaded()) return 1;
    const void* compress = Export(library, "Norvex_CompressData");
    const std::vector<uint8_t>& plate = PlateInputs().front().bytes;
    const std::string expected = Compressed(plate.data(), plate.size());
    for (uint32_t offset : kStackOffsets) {
      std::string out(2 * plate.size() + 4, '\0');
      uint32_t length = 0;
      CallAsHost(compress,
                 {Arg(&out[0]), Arg(&length), Arg(plate.data()), static_cast<uint32_t>(plate.size())}, offset,
                 "Norvex_CompressData on a CreateThread thread");
      out.resize(length);
      EXPECT_TRUE(out == expected) << "differs from the plain reference at offset " << offset;
    }
    static_cast<HostConventions*>(context)->CaptureAtEveryStackOffset(NORVEX_LINK_TIFF_CAPTURE, 10800);
    return 0;
  }

  std::string m_folder, m_ini;
};

TEST_F(HostConventions, EveryExportByNameAndByOrdinalAtEveryStackOffset) {
  ASSERT_GT(std::size(kExports), 100u);
  // Room behind every pointer argument, zero-filled before each call.
  std::vector<std::vector<uint8_t>> buffers(8, std::vector<uint8_t>(0x10000));
  std::vector<std::vector<uint32_t>> results;
  for (uint32_t offset : kStackOffsets) {
    for (bool byOrdinal : {false, true}) {
      // A fresh library for each round, so that every round meets the same state.
      Library library;
      ASSERT_TRUE(library.Loaded());
      std::vector<uint32_t> round;
      for (const ExportCall& e : kExports) {
        const void* target = byOrdinal ? library.ByOrdinal(e.ordinal) : library.ByName(e.name);
        ASSERT_NE(target, nullptr) << e.name;
        std::vector<uint32_t> args;
        for (size_t i = 0; e.args[i] != '\0'; ++i) {
          std::fill(buffers[i].begin(), buffers[i].end(), uint8_t{0});
          args.push_back(e.args[i] == 'p' ? Arg(buffers[i].data()) : 0u);
        }
        round.push_back(CallAsHost(
            target, args, offset,
            std::string(e.name) + (byOrdinal ? " by ordinal " : " by name ") + std::to_string(e.ordinal)));
      }
      results.push_back(round);
    }
  }
  // The same state, the same results: the stack and the lookup change
  // nothing. (CTP_GetErrorInfo returns the address of a text of the library.)
  for (size_t r = 1; r < results.size(); ++r) {
    for (size_t k = 0; k < std::size(kExports); ++k) {
      if (std::strcmp(kExports[k].name, "CTP_GetErrorInfo") == 0) continue;
      EXPECT_EQ(results[r][k], results[0][k]) << kExports[k].name << " in round " << r;
    }
  }
}

TEST_F(HostConventions, CompressionOfPlateDataAtEveryStackOffset) {
  Library library;
  ASSERT_TRUE(library.Loaded());
  const void* compress = Export(library, "Norvex_CompressData");
  for (const auto& input : PlateInputs()) {
    const std::string expected = Compressed(input.bytes.data(), input.bytes.size());
    for (uint32_t offset : kStackOffsets) {
      std::string out(2 * input.bytes.size() + 4, '\0');
      uint32_t length = 0;
      EXPECT_EQ(CallAsHost(compress,
                           {Arg(&out[0]), Arg(&length), Arg(input.bytes.data()),
                            static_cast<uint32_t>(input.bytes.size())},
                           offset, "Norvex_CompressData of " + input.name),
                0u);
      out.resize(length);
      EXPECT_TRUE(out == expected) << input.name << ": differs from the plain reference";
    }
  }
}

TEST_F(HostConventions, TiffCaptureInMode2OfPlateBandsAtEveryStackOffset) {
  CaptureAtEveryStackOffset(NORVEX_LINK_TIFF_CAPTURE, 10800);
}

TEST_F(HostConventions, TiffCaptureInMode3OfPlateBandsAtEveryStackOffset) {
  CaptureAtEveryStackOffset(NORVEX_LINK_USB_AND_TIFF_CAPTURE, 72000);
}

TEST_F(HostConventions, BulkWritesToThePrintDataFilesAtEveryStackOffset) {
  const std::vector<uint8_t>& data = PlateInputs().front().bytes;
  for (int32_t mode : {NORVEX_LINK_COMMAND_FILE, NORVEX_LINK_COMPRESSED_FILE}) {
    const bool compressed = mode == NORVEX_LINK_COMPRESSED_FILE;
    const std::string file = m_folder + (compressed ? "\\print_data.cmp" : "\\print_data.bin");
    DeleteFileA(file.c_str());
    SetPrintData(compressed ? "CompressedFile" : "PrintDataFile", file);
    {
      Library library;
      ASSERT_TRUE(library.Loaded());
      const void* setMode = Export(library, "Norvex_SetPrintDataSaveIdle");
      EXPECT_EQ(CallAsHost(setMode, {static_cast<uint32_t>(mode)}, 8, "entering a file mode"), 0u);
      for (uint32_t result : WriteInPieces(library, data)) EXPECT_EQ(result, 0u);
      EXPECT_EQ(CallAsHost(setMode, {NORVEX_LINK_USB}, 0, "leaving a file mode"), 0u);
    }
    // Each bulk write is a compressed stream of its own.
    std::string expected;
    for (size_t at = 0; at < data.size(); at += kPiece) {
      const size_t size = data.size() - at < kPiece ? data.size() - at : kPiece;
      const auto* piece = reinterpret_cast<const char*>(&data[at]);
      expected += compressed ? Compressed(&data[at], size) : std::string(piece, size);
    }
    EXPECT_TRUE(ReadFileBytes(file) == expected) << file;
  }
}

TEST_F(HostConventions, CallsFromAThreadMadeWithCreateThread) {
  HANDLE thread = CreateThread(nullptr, 0, &HostThread, this, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  CloseHandle(thread);
}

TEST_F(HostConventions, LoadedAndFreedAtRunTimeAgainAndAgain) {
  for (int round = 0; round < 3; ++round) {
    {
      Library library;
      ASSERT_TRUE(library.Loaded());
      unsigned char version[4] = {};
      EXPECT_EQ(CallAsHost(Export(library, "Norvex_GetVersion"), {Arg(version)}, 4, "Norvex_GetVersion"),
                Arg(version));
      EXPECT_NE(version[0] | version[1] | version[2] | version[3], 0);
      EXPECT_NE(GetModuleHandleA("Norvex.dll"), nullptr);
    }
    EXPECT_EQ(GetModuleHandleA("Norvex.dll"), nullptr) << "still loaded after FreeLibrary, round " << round;
  }
}

}  // namespace
