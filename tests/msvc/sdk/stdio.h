/* stdio.h: printf, as the C library declares it, for the example hosts built
 * without Microsoft's C library (minimal_crt.c implements it). */
#ifndef NORVEX_TEST_SDK_STDIO_H
#define NORVEX_TEST_SDK_STDIO_H

#ifdef __cplusplus
extern "C" {
#endif

int __cdecl printf(const char* format, ...);

#ifdef __cplusplus
}
#endif

#endif
