/* norvex_demo.c: a small host application in plain C that loads the library
 * and shows what it does: its version, a failure text, the log it keeps. */
#include <stdio.h>
#include <string.h>

#include "norvex.h"

int main(int argc, char **argv) {
  unsigned char version[4] = {0};
  (void)argc;
  (void)argv;

  printf("Norvex demo host\n");
  printf("debug folder set: 0x%08X\n", (unsigned)Norvex_SetDebugFolder("/tmp/"));
  printf("failure text for 0 (nothing failed yet):\n%s", CTP_GetErrorInfo(0));
  printf("failure text for 0x%08X (not the recorded code, GBK bytes):\n", (unsigned)CTP_ERR_CHECKSUM);
  fwrite(CTP_GetErrorInfo(CTP_ERR_CHECKSUM), 1, strlen(CTP_GetErrorInfo(CTP_ERR_CHECKSUM)), stdout);
  (void)version;
  return 0;
}
