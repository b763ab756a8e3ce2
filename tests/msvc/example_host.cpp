// example_host.cpp: a C++ host of Norvex.dll, written as a Visual Studio C++
// project has it: norvex.h from the release package (its declarations in
// extern "C"), Norvex.lib on the linker's command line, the header's own
// function types (decltype, __stdcall included) for a table of queries, and
// a reference to every function the header declares, so that the loader has
// to resolve each of them in Norvex.dll before main runs. Then a few state
// queries and a print of an odd size with its read-back. Exit status 0 when
// every step held.
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "norvex.h"

namespace {

// Every function of the header (every_export.inc, made from the header).
const void* const kEveryExport[] = {
#define NORVEX_EXPORT(name, ordinal) reinterpret_cast<const void*>(&name),
#include "every_export.inc"
#undef NORVEX_EXPORT
};

// The queries of one 4-byte record, all of the header's type.
using FourByteQuery = decltype(&NV_GetState);
struct Query {
  const char* name;
  FourByteQuery call;
};
const Query kQueries[] = {
    {"NV_GetState", &NV_GetState},
    {"NV_GetKernelVersion", &NV_GetKernelVersion},
    {"NV_GetFPGAVersion", &NV_GetFPGAVersion},
};

class Checks {
 public:
  void operator()(bool held, const char* what) {
    printf("%s: %s\n", held ? "ok" : "FAILED", what);
    if (!held) ++m_failures;
  }
  int Failures() const { return m_failures; }

 private:
  int m_failures = 0;
};

constexpr uint32_t kPrintBytes = 100003;  // not a multiple of 4
unsigned char g_print[kPrintBytes];
unsigned char g_readBack[kPrintBytes + 500];

}  // namespace

int main() {
  Checks check;
  unsigned resolved = 0;
  for (const void* address : kEveryExport) resolved += address != nullptr;
  printf("%u of %u functions of norvex.h resolved\n", resolved,
         static_cast<unsigned>(sizeof(kEveryExport) / sizeof(kEveryExport[0])));
  check(resolved == sizeof(kEveryExport) / sizeof(kEveryExport[0]) && resolved > 0,
        "every function of the header is resolved");

  const uint32_t opened = Norvex_Init(nullptr);
  printf("Norvex_Init: 0x%08X\n", opened);
  check(opened == NORVEX_OK, "Norvex_Init opens the platesetter");
  if (opened != NORVEX_OK) return 1;

  for (const Query& query : kQueries) {
    unsigned char record[4] = {};
    const uint32_t result = query.call(record);
    printf("%s: 0x%08X, %02X %02X %02X %02X\n", query.name, result, record[0], record[1], record[2],
           record[3]);
    check(result == NORVEX_OK, query.name);
  }

  for (uint32_t i = 0; i < kPrintBytes; ++i) g_print[i] = static_cast<unsigned char>(i * 40503u >> 7);
  check(NV_ResetPage() == NORVEX_OK, "NV_ResetPage");
  const uint32_t sent = NV_SentPrintData(g_print, kPrintBytes);
  printf("NV_SentPrintData(%u bytes): 0x%08X\n", kPrintBytes, sent);
  check(sent == NORVEX_OK, "NV_SentPrintData");
  uint32_t count = kPrintBytes;
  const uint32_t read = NV_ReadSDRAMData(g_readBack, &count);
  printf("NV_ReadSDRAMData: 0x%08X, %u bytes\n", read, count);
  check(read == NORVEX_OK && count >= kPrintBytes && memcmp(g_print, g_readBack, kPrintBytes) == 0,
        "NV_ReadSDRAMData reads back the same bytes");

  printf("example_host_cpp: %s\n", check.Failures() ? "FAILED" : "every step held");
  return check.Failures() ? 1 : 0;
}
