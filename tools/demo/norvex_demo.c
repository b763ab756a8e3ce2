/* norvex_demo.c: a small host application in plain C, built on norvex.h
 * alone: it starts the library with a window, follows the device, reads a
 * few state records and runs a function call, then shows what the library
 * tells a host when something fails. */
#include <stdio.h>
#include <string.h>

#include "norvex.h"
#include "norvex_posix.h"

static void ShowRecord(const char* name, const unsigned char* bytes, unsigned length) {
  unsigned i;
  printf("  %-22s", name);
  for (i = 0; i < length; ++i) printf(" %02X", bytes[i]);
  printf("\n");
}

static unsigned Query(const char* name, unsigned address, unsigned group, unsigned item) {
  unsigned char selector[4];
  unsigned char record[500];
  unsigned result;
  selector[0] = (unsigned char)group;
  selector[1] = (unsigned char)(group >> 8);
  selector[2] = (unsigned char)item;
  selector[3] = (unsigned char)(item >> 8);
  memset(record, 0, sizeof(record));
  result = CTP_GetStateEx(selector, record, 4, address);
  if (result == NORVEX_OK) {
    ShowRecord(name, record, 4);
  } else {
    printf("  %-22s failed: 0x%08X\n", name, result);
  }
  return result;
}

int main(void) {
  unsigned char version[4];
  NorvexWindow window;
  unsigned result;
  const unsigned char start[4] = {0x01, 0x00, 0x00, 0x00};

  Norvex_GetVersion(version);
  printf("Norvex %u.%u.%u.%u\n", version[0], version[1], version[2], version[3]);

  window = NorvexHost_CreateWindow();
  result = Norvex_Init(window);
  printf("Norvex_Init: 0x%08X, port status 0x%08X\n", result, Norvex_GetPortStatus());
  if (result != NORVEX_OK) {
    printf("no platesetter found; is a device (norvex-emu) serving NORVEX_DEVICE_DIR?\n");
    return 1;
  }

  printf("state records:\n");
  Query("main unit, general", NORVEX_ADDR_MAIN_UNIT, 0x0000, 0x0000);
  Query("laser head board", NORVEX_ADDR_LASER_HEAD, 0x0000, 0x0000);
  Query("HS board 0", NORVEX_ADDR_HS_BOARD(0), 0x0000, 0x0000);
  Query("HS board 1", NORVEX_ADDR_HS_BOARD(1), 0x0000, 0x0000);

  result = NV_FunctionEx(start);
  printf("function call 0001/0000 on the main unit: 0x%08X\n", result);

  /* A query with a length the unit does not send: the library refuses the
   * reply, logs it and keeps the failure for the host. */
  {
    unsigned char selector[4] = {0, 0, 0, 0};
    unsigned char record[8];
    result = CTP_GetStateEx(selector, record, 8, NORVEX_ADDR_MAIN_UNIT);
    printf("query expecting 8 bytes: 0x%08X; the library's text for it:\n", result);
    fputs(CTP_GetErrorInfo(result), stdout);
  }

  NorvexHost_DestroyWindow(window);
  printf("window destroyed, port status 0x%08X\n", Norvex_GetPortStatus());
  return 0;
}
