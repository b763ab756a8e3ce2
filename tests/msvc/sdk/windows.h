/* windows.h: the few declarations of the Windows SDK's <windows.h> that the
 * example hosts use, so that they build here as in a Visual Studio project
 * without the SDK: kernel32's module and console functions and user32's
 * wvsprintfA, with the SDK's names, types and calling convention. */
#ifndef NORVEX_TEST_SDK_WINDOWS_H
#define NORVEX_TEST_SDK_WINDOWS_H

#include <stdarg.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define WINAPI __stdcall
#define WINAPIV __cdecl
#define DECLSPEC_IMPORT __declspec(dllimport)

typedef int BOOL;
typedef unsigned long DWORD;
typedef unsigned int UINT;
typedef void* HANDLE;
typedef struct HINSTANCE__* HMODULE;
typedef const char* LPCSTR;
typedef char* LPSTR;
typedef intptr_t(WINAPI* FARPROC)(void);

#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define MAKEINTRESOURCEA(i) ((LPSTR)(uintptr_t)(unsigned short)(i))

DECLSPEC_IMPORT HANDLE WINAPI GetStdHandle(DWORD stdHandle);
DECLSPEC_IMPORT BOOL WINAPI WriteFile(HANDLE file, const void* buffer, DWORD bytes, DWORD* written,
                                      void* overlapped);
DECLSPEC_IMPORT void WINAPI ExitProcess(UINT exitCode);
DECLSPEC_IMPORT HMODULE WINAPI LoadLibraryA(LPCSTR fileName);
DECLSPEC_IMPORT HMODULE WINAPI GetModuleHandleA(LPCSTR moduleName);
DECLSPEC_IMPORT FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName);
DECLSPEC_IMPORT BOOL WINAPI FreeLibrary(HMODULE module);
DECLSPEC_IMPORT DWORD WINAPI GetLastError(void);
DECLSPEC_IMPORT int WINAPI wvsprintfA(LPSTR output, LPCSTR format, va_list arguments);

#ifdef __cplusplus
}
#endif

#endif
