/* string.h: the memory functions, as the C library declares them, for the
 * example hosts built without Microsoft's C library (minimal_crt.c). */
#ifndef NORVEX_TEST_SDK_STRING_H
#define NORVEX_TEST_SDK_STRING_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

int __cdecl memcmp(const void* a, const void* b, size_t size);
void* __cdecl memset(void* target, int value, size_t size);
void* __cdecl memcpy(void* target, const void* source, size_t size);
size_t __cdecl strlen(const char* text);

#ifdef __cplusplus
}
#endif

#endif
