/* example_host.c: a small host of Norvex.dll, written as a Visual Studio C
 * project has it (docs/windows-host-guide.md shows it): norvex.h and
 * Norvex.lib from the release package, the import library named by
 * #pragma comment(lib), the functions called as the header declares them
 * (__stdcall). It opens the platesetter without a window (so without
 * hot-plug), asks for its kernel name and state, and sends one page of
 * print data and reads it back. It prints each step; exit status 0 when
 * every step held. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "norvex.h"

#pragma comment(lib, "Norvex.lib")

#define PAGE_BYTES (256u * 1024u)

static unsigned char g_page[PAGE_BYTES];
static unsigned char g_readBack[PAGE_BYTES + 500]; /* the read-back's room: its count + 500 */
static int g_failures;

static void Check(int held, const char* what) {
  printf("%s: %s\n", held ? "ok" : "FAILED", what);
  if (!held) ++g_failures;
}

int main(void) {
  unsigned char version[4] = {0};
  char kernelName[500] = {0};
  unsigned char state[4];
  uint32_t result, count, i;

  Norvex_GetVersion(version);
  printf("Norvex.dll %u.%u.%u.%u\n", version[0], version[1], version[2], version[3]);

  result = Norvex_Init(NULL); /* no window: no hot-plug */
  printf("Norvex_Init: 0x%08X\n", result);
  Check(result == NORVEX_OK, "Norvex_Init opens the platesetter");
  if (result != NORVEX_OK) return 1;

  result = NV_GetKernelName(kernelName);
  printf("NV_GetKernelName: 0x%08X \"%s\"\n", result, kernelName);
  Check(result == NORVEX_OK && kernelName[0] != 0, "NV_GetKernelName");
  result = NV_GetState(state);
  printf("NV_GetState: 0x%08X, state %02X %02X %02X %02X\n", result, state[0], state[1], state[2], state[3]);
  Check(result == NORVEX_OK, "NV_GetState");

  /* One page: the page reset empties the print memory, the data goes to it
   * as one bulk write, and the read-back returns it. */
  for (i = 0; i < PAGE_BYTES; ++i) g_page[i] = (unsigned char)(i * 2654435761u >> 24);
  Check(NV_ResetPage() == NORVEX_OK, "NV_ResetPage");
  result = NV_SentPrintData(g_page, PAGE_BYTES);
  printf("NV_SentPrintData(%u bytes): 0x%08X\n", PAGE_BYTES, result);
  Check(result == NORVEX_OK, "NV_SentPrintData");
  count = PAGE_BYTES;
  result = NV_ReadSDRAMData(g_readBack, &count);
  printf("NV_ReadSDRAMData: 0x%08X, %u bytes\n", result, count);
  Check(result == NORVEX_OK && count >= PAGE_BYTES && memcmp(g_page, g_readBack, PAGE_BYTES) == 0,
        "NV_ReadSDRAMData reads back the same bytes");

  printf("example_host: %s\n", g_failures ? "FAILED" : "every step held");
  return g_failures ? 1 : 0;
}
