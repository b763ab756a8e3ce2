/* host_check.c: a plain 32-bit host program, written as a host developer
 * would, that walks through the hot-plug and print-data path of Norvex.dll
 * against the platesetter stand-in under wine (scripts/wine-device):
 *   1. creates a window, Norvex_Init(window), NV_GetKernelName: 0 and a name;
 *   2. runs "TOOL unplug" while its message loop runs: then a command gets
 *      0xE0000010 and the log shows "Device Remove Complete!" and
 *      "Close Device!";
 *   3. runs "TOOL plug" and waits, dispatching messages, until the library
 *      has opened the device again: commands succeed;
 *   4. a 2 MiB NV_SentPrintData, then NV_ReadSDRAMData reads the same bytes.
 * Usage: host_check TOOL (the 32-bit norvex-standin.exe), or host_check
 * file:PATH when the platesetter is a device endpoint that NORVEX_DEVICE
 * names (tcp:HOST:PORT): then "unplug" and "plug" are asked of whoever
 * serves it by writing the word into PATH.request, and are done when
 * PATH.done appears (scripts/test-wine-tcp stops and starts the emulator).
 * Prints one line per step; exit status 0 when every step held. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "norvex.h"

#define PRINT_BYTES (2u * 1024u * 1024u)

static int g_checks, g_failures;

static void Check(int held, const char* what) {
  printf("%s: %s\n", held ? "ok" : "FAILED", what);
  fflush(stdout);
  ++g_checks;
  if (!held) ++g_failures;
}

static LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcA(window, message, wParam, lParam);
}

/* Dispatches the thread's messages until `process` ends (0: for `ms`). */
static void DispatchWhile(HANDLE process, DWORD ms) {
  const DWORD start = GetTickCount();
  for (;;) {
    MSG msg;
    DWORD wait;
    while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    if (process == NULL && GetTickCount() - start >= ms) return;
    wait = MsgWaitForMultipleObjects(process ? 1 : 0, process ? &process : NULL, FALSE,
                                     process ? INFINITE : 10, QS_ALLINPUT);
    if (process != NULL && wait == WAIT_OBJECT_0) return;
  }
}

/* Asks for ACTION through the files of "file:PATH" while the message loop
 * goes on; 0 when it was done within 30 s. */
static DWORD AskThroughFiles(const char* path, const char* action) {
  char request[MAX_PATH + 16], done[MAX_PATH + 16];
  FILE* file;
  snprintf(request, sizeof(request), "%s.request", path);
  snprintf(done, sizeof(done), "%s.done", path);
  DeleteFileA(done);
  file = fopen(request, "wb");
  if (!file) return 1;
  fputs(action, file);
  fclose(file);
  for (int i = 0; i < 3000; ++i) {
    if (GetFileAttributesA(done) != INVALID_FILE_ATTRIBUTES) {
      DeleteFileA(done);
      return 0;
    }
    DispatchWhile(NULL, 10);
  }
  return 1;
}

/* Runs "TOOL ACTION" while the message loop goes on; its exit status. */
static DWORD RunTool(const char* tool, const char* action) {
  char command[MAX_PATH + 32];
  if (strncmp(tool, "file:", 5) == 0) {
    const DWORD status = AskThroughFiles(tool + 5, action);
    /* Over the network the library notices the lost connection on its
     * own time: dispatch until it has closed the device. */
    for (int i = 0; i < 500 && strcmp(action, "unplug") == 0 && Norvex_GetPortStatus() == 0; ++i) {
      DispatchWhile(NULL, 10);
    }
    return status;
  }
  STARTUPINFOA startup;
  PROCESS_INFORMATION process;
  DWORD status = 1;
  memset(&startup, 0, sizeof(startup));
  startup.cb = sizeof(startup);
  snprintf(command, sizeof(command), "\"%s\" %s", tool, action);
  if (!CreateProcessA(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) return 1;
  DispatchWhile(process.hProcess, 0);
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return status;
}

/* The driver log (log\UsbDriver.log beside the executable) from byte `from`
 * on; its size goes to `size`. The caller frees the text. */
static char* ReadLog(long from, long* size) {
  char path[MAX_PATH];
  char *slash, *text = NULL;
  FILE* log;
  long length;
  *size = 0;
  GetModuleFileNameA(NULL, path, MAX_PATH);
  slash = strrchr(path, '\\');
  if (slash) strcpy(slash + 1, "log\\UsbDriver.log");
  log = fopen(path, "rb");
  if (!log) return NULL;
  fseek(log, 0, SEEK_END);
  length = ftell(log);
  *size = length;
  if (from > length) from = length;
  text = (char*)calloc((size_t)(length - from) + 1, 1);
  fseek(log, from, SEEK_SET);
  if (text && fread(text, 1, (size_t)(length - from), log) != (size_t)(length - from)) text[0] = 0;
  fclose(log);
  return text;
}

int main(int argc, char** argv) {
  WNDCLASSA windowClass;
  HWND window;
  char name[500];
  uint32_t result;
  unsigned char *data, *readBack;
  uint32_t count;
  long logSize = 0;
  char *logText, *removal;

  if (argc != 2) {
    fprintf(stderr, "usage: host_check TOOL\n");
    return 2;
  }
  memset(&windowClass, 0, sizeof(windowClass));
  windowClass.lpfnWndProc = WindowProcedure;
  windowClass.lpszClassName = "NorvexHostCheck";
  RegisterClassA(&windowClass);
  window = CreateWindowA("NorvexHostCheck", "Norvex host check", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, NULL,
                         NULL, NULL, NULL);
  Check(window != NULL, "a window");

  printf("host process %lu\n", GetCurrentProcessId());
  result = Norvex_Init(window);
  printf("Norvex_Init: 0x%08X\n", (unsigned)result);
  Check(result == 0, "Norvex_Init(window) opens the platesetter");
  memset(name, 0, sizeof(name));
  result = NV_GetKernelName(name);
  printf("NV_GetKernelName: 0x%08X \"%s\"\n", (unsigned)result, name);
  Check(result == 0 && name[0] != 0, "NV_GetKernelName");

  free(ReadLog(0, &logSize));
  Check(RunTool(argv[1], "unplug") == 0, "unplug");
  DispatchWhile(NULL, 100);
  result = NV_GetKernelName(name);
  printf("NV_GetKernelName after unplug: 0x%08X\n", (unsigned)result);
  Check(result == CTP_ERR_NO_DEVICE, "a command after unplug gets 0xE0000010");
  logText = ReadLog(logSize, &logSize);
  printf("--- the log since the unplug\n%s---\n", logText ? logText : "");
  removal = logText ? strstr(logText, "Device Remove Complete!") : NULL;
  Check(removal != NULL && strstr(removal, "Close Device!") != NULL,
        "the log shows \"Device Remove Complete!\" and \"Close Device!\"");
  free(logText);

  Check(RunTool(argv[1], "plug") == 0, "plug");
  for (int i = 0; i < 500 && Norvex_GetPortStatus() != 0; ++i) DispatchWhile(NULL, 10);
  Check(Norvex_GetPortStatus() == 0, "the library opened the platesetter again");
  result = NV_GetKernelName(name);
  printf("NV_GetKernelName after plug: 0x%08X \"%s\"\n", (unsigned)result, name);
  Check(result == 0, "commands succeed again");

  data = (unsigned char*)malloc(PRINT_BYTES);
  readBack = (unsigned char*)malloc(PRINT_BYTES + 500);
  for (uint32_t i = 0; i < PRINT_BYTES; ++i) data[i] = (unsigned char)(i * 2654435761u >> 24);
  result = NV_SentPrintData(data, PRINT_BYTES);
  printf("NV_SentPrintData(2 MiB): 0x%08X\n", (unsigned)result);
  Check(result == 0, "NV_SentPrintData of 2 MiB");
  count = PRINT_BYTES;
  result = NV_ReadSDRAMData(readBack, &count);
  printf("NV_ReadSDRAMData: 0x%08X, %u bytes\n", (unsigned)result, (unsigned)count);
  Check(result == 0 && count >= PRINT_BYTES && memcmp(data, readBack, PRINT_BYTES) == 0,
        "NV_ReadSDRAMData reads back the same bytes");
  free(data);
  free(readBack);

  DestroyWindow(window);
  printf("%d passed, %d failed\n", g_checks - g_failures, g_failures);
  return g_failures == 0 ? 0 : 1;
}
