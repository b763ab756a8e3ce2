/* minimal_crt.c: the little of a C library that the example hosts use, for
 * building them as Visual Studio builds a console program but without
 * Microsoft's C library, which is not at hand here: the entry point that the
 * linker picks for a program with main (mainCRTStartup: main's result ends
 * the process), printf (formatted by user32's wvsprintfA: %d %u %X %s %c,
 * at most 1024 characters a call) and the memory functions that the
 * compiler may also call by itself. Compiled with -ffreestanding, so that
 * these loops stay loops. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

int main(void);

void __cdecl mainCRTStartup(void) { ExitProcess((UINT)main()); }

int __cdecl printf(const char* format, ...) {
  char text[1025];
  DWORD written = 0;
  va_list arguments;
  int length;
  va_start(arguments, format);
  length = wvsprintfA(text, format, arguments);
  va_end(arguments);
  if (length <= 0) return length;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, (DWORD)length, &written, 0);
  return (int)written;
}

int __cdecl memcmp(const void* a, const void* b, size_t size) {
  const unsigned char* x = (const unsigned char*)a;
  const unsigned char* y = (const unsigned char*)b;
  for (; size; --size, ++x, ++y) {
    if (*x != *y) return *x < *y ? -1 : 1;
  }
  return 0;
}

void* __cdecl memset(void* target, int value, size_t size) {
  unsigned char* p = (unsigned char*)target;
  while (size--) *p++ = (unsigned char)value;
  return target;
}

void* __cdecl memcpy(void* target, const void* source, size_t size) {
  unsigned char* p = (unsigned char*)target;
  const unsigned char* q = (const unsigned char*)source;
  while (size--) *p++ = *q++;
  return target;
}

size_t __cdecl strlen(const char* text) {
  size_t n = 0;
  while (text[n]) ++n;
  return n;
}
