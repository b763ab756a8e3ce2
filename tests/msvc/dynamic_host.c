/* dynamic_host.c: a host that loads Norvex.dll at run time, as Delphi, VB6
 * and .NET (P/Invoke) hosts do: LoadLibraryA, GetProcAddress by name, and
 * function-pointer types written from the header's declarations with
 * __stdcall spelled out (a pointer type without it leaves the stack wrong
 * after the first call). It checks that every function of the header is
 * exported under its name and at its ordinal, the same address both ways,
 * then calls a few through its own pointer types, a print and its
 * read-back among them. Exit status 0 when every step held. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "norvex.h"

typedef void*(__stdcall* GetVersionFn)(void* versionBuffer);
typedef uint32_t(__stdcall* InitFn)(void* hostWindow);
typedef uint32_t(__stdcall* RecordFn)(void* record);
typedef uint32_t(__stdcall* NoArgumentFn)(void);
typedef uint32_t(__stdcall* SendFn)(const void* data, uint32_t byteCount);
typedef uint32_t(__stdcall* ReadBackFn)(void* buffer, uint32_t* byteCount);

struct Export {
  const char* name;
  unsigned ordinal;
};
/* Every function of the header with its ordinal (every_export.inc, made from the header). */
static const struct Export kExports[] = {
#define NORVEX_EXPORT(name, ordinal) {#name, ordinal},
#include "every_export.inc"
#undef NORVEX_EXPORT
};

#define PRINT_BYTES (64u * 1024u + 12u)
static unsigned char g_print[PRINT_BYTES];
static unsigned char g_readBack[PRINT_BYTES + 500];
static int g_failures;

static void Check(int held, const char* what) {
  printf("%s: %s\n", held ? "ok" : "FAILED", what);
  if (!held) ++g_failures;
}

static FARPROC Function(HMODULE norvex, const char* name) {
  FARPROC function = GetProcAddress(norvex, name);
  if (!function) printf("no export %s\n", name);
  return function;
}

int main(void) {
  HMODULE norvex = LoadLibraryA("Norvex.dll");
  unsigned i, found = 0;
  unsigned char version[4] = {0};
  char kernelName[500] = {0};
  unsigned char state[4];
  uint32_t result, count;
  GetVersionFn getVersion;
  InitFn init;
  RecordFn getKernelName, getState;
  NoArgumentFn resetPage;
  SendFn sendPrintData;
  ReadBackFn readSdram;

  if (!norvex) {
    printf("LoadLibraryA(\"Norvex.dll\"): error %lu\n", GetLastError());
    return 1;
  }
  for (i = 0; i < sizeof(kExports) / sizeof(kExports[0]); ++i) {
    FARPROC byName = GetProcAddress(norvex, kExports[i].name);
    FARPROC byOrdinal = GetProcAddress(norvex, MAKEINTRESOURCEA(kExports[i].ordinal));
    if (byName && byName == byOrdinal) {
      ++found;
    } else {
      printf("%s: %s by name, %s at ordinal %u\n", kExports[i].name, byName ? "found" : "missing",
             byOrdinal == byName ? "the same" : "another or none", kExports[i].ordinal);
    }
  }
  printf("%u of %u functions exported by name and at their ordinals\n", found,
         (unsigned)(sizeof(kExports) / sizeof(kExports[0])));
  Check(found == sizeof(kExports) / sizeof(kExports[0]), "every function of the header, by name and ordinal");

  getVersion = (GetVersionFn)Function(norvex, "Norvex_GetVersion");
  init = (InitFn)Function(norvex, "Norvex_Init");
  getKernelName = (RecordFn)Function(norvex, "NV_GetKernelName");
  getState = (RecordFn)Function(norvex, "NV_GetState");
  resetPage = (NoArgumentFn)Function(norvex, "NV_ResetPage");
  sendPrintData = (SendFn)Function(norvex, "NV_SentPrintData");
  readSdram = (ReadBackFn)Function(norvex, "NV_ReadSDRAMData");
  if (!getVersion || !init || !getKernelName || !getState || !resetPage || !sendPrintData || !readSdram)
    return 1;

  Check(getVersion(version) == version, "Norvex_GetVersion returns its buffer");
  printf("Norvex.dll %u.%u.%u.%u\n", version[0], version[1], version[2], version[3]);
  result = init(NULL);
  printf("Norvex_Init: 0x%08X\n", result);
  Check(result == NORVEX_OK, "Norvex_Init opens the platesetter");
  if (result != NORVEX_OK) return 1;
  result = getKernelName(kernelName);
  printf("NV_GetKernelName: 0x%08X \"%s\"\n", result, kernelName);
  Check(result == NORVEX_OK && kernelName[0] != 0, "NV_GetKernelName");
  Check(getState(state) == NORVEX_OK, "NV_GetState");

  for (i = 0; i < PRINT_BYTES; ++i) g_print[i] = (unsigned char)(i * 2246822519u >> 25);
  Check(resetPage() == NORVEX_OK, "NV_ResetPage");
  result = sendPrintData(g_print, PRINT_BYTES);
  printf("NV_SentPrintData(%u bytes): 0x%08X\n", PRINT_BYTES, result);
  Check(result == NORVEX_OK, "NV_SentPrintData");
  count = PRINT_BYTES;
  result = readSdram(g_readBack, &count);
  printf("NV_ReadSDRAMData: 0x%08X, %u bytes\n", result, count);
  Check(result == NORVEX_OK && count >= PRINT_BYTES && memcmp(g_print, g_readBack, PRINT_BYTES) == 0,
        "NV_ReadSDRAMData reads back the same bytes");

  Check(FreeLibrary(norvex) != 0, "FreeLibrary");
  printf("dynamic_host: %s\n", g_failures ? "FAILED" : "every step held");
  return g_failures ? 1 : 0;
}
