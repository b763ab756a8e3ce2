/* host.c: a small host application in C, built against the installed
 * library (through pkg-config, and through CMake's find_package): it checks
 * that the library it runs with is of the major version it was built for,
 * opens the platesetter that NORVEX_DEVICE_DIR holds and prints its kernel
 * name, its general state and where the library keeps its files. Exit 0
 * when all of that worked. */
#include <stdio.h>
#include <string.h>

#include "norvex.h"
#include "norvex_posix.h"

int main(void) {
  unsigned char version[4];
  char name[512];
  unsigned char state[4];
  char folder[1024];
  NorvexWindow window;
  uint32_t result;

  Norvex_GetVersion(version);
  printf("library %u.%u.%u.%u\n", version[0], version[1], version[2], version[3]);
  printf("built with %d.%d.%d (NORVEX_VERSION 0x%06X)\n", NORVEX_VERSION_MAJOR, NORVEX_VERSION_MINOR,
         NORVEX_VERSION_PATCH, (unsigned)NORVEX_VERSION);
  /* Any library of the same major version at this version or later will do. */
  if (version[0] != NORVEX_VERSION_MAJOR ||
      NORVEX_MAKE_VERSION(version[0], version[1], version[2]) < NORVEX_VERSION) {
    printf("the library is older than this host or of another major version\n");
    return 1;
  }
  window = NorvexHost_CreateWindow();
  result = Norvex_Init(window);
  if (result != NORVEX_OK) {
    printf("open failed: 0x%08X (platform error %u)\n", result, NorvexHost_GetOpenError());
    return 1;
  }
  memset(name, 0, sizeof(name));
  result = NV_GetKernelName(name);
  printf("kernel name: %s (0x%08X)\n", name, result);
  if (result == NORVEX_OK) result = NV_GetState(state);
  if (result == NORVEX_OK)
    printf("general state: %02X %02X %02X %02X\n", state[0], state[1], state[2], state[3]);
  if (NorvexHost_GetFilesFolder(folder, sizeof(folder)) < sizeof(folder))
    printf("files folder: %s\n", folder);
  NorvexHost_DestroyWindow(window);
  return result == NORVEX_OK ? 0 : 1;
}
