/* standin_glue.h: what the stand-in driver's kernel part (standin_driver.c,
 * plain C against Wine's ntoskrnl) calls in its C++ part (the emulated
 * platesetters, standin_glue.cpp), and what it gives back. Transfers are IRPs,
 * passed as opaque pointers; opens are file objects. */
#ifndef NORVEX_STANDIN_GLUE_H
#define NORVEX_STANDIN_GLUE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One transfer to complete: its NT status, the bytes it reports, the bytes to
 * copy into its buffer (a reply frame, a control answer) and whether a cancel
 * already took its cancel routine. */
typedef struct StandInCompletion {
  void* irp;
  int32_t status;
  size_t information;
  const uint8_t* data;
  size_t size;
  int afterCancel;
} StandInCompletion;

typedef void (*StandInCompleteFn)(const StandInCompletion* completion);
typedef void (*StandInPresenceFn)(void);

/* Starts the emulated platesetters (none yet) and their clock. 0 on failure. */
int StandInStart(StandInCompleteFn complete, StandInPresenceFn presenceChanged);
void StandInStop(void);

/* The control device. StandInOperate writes the answer to `out` (at most
 * `room` bytes; when it needs more, a "too long" answer with the size needed)
 * and returns its size. */
size_t StandInOperate(uintptr_t owner, const uint8_t* request, size_t size, uint8_t* out, size_t room);
void StandInWait(uintptr_t owner, void* irp, const uint8_t* request, size_t size);
int StandInCancelWait(void* irp);
void StandInReleaseOwner(uintptr_t owner);

/* The bus: the ids of the plugged platesetters (at most `room`, the count is
 * returned), a platesetter's instance name, its interface's state. */
size_t StandInPresent(uint32_t* ids, size_t room);
int StandInIsPresent(uint32_t id);
/* Writes the zero-terminated name (at most room - 1 characters). */
void StandInInstanceName(uint32_t id, wchar_t* out, size_t room);
void StandInInterfaceChanged(uint32_t id, int enabled);

/* Why the transfers of `open` are refused at once (0: they are not): an open
 * that the device refused, one whose connection ended, a platesetter gone. */
int32_t StandInRefusal(uint32_t id, uintptr_t open);
/* A platesetter's transfers. StandInCancel returns 1 when the platesetter
 * keeps the transfer for a later completion. */
int32_t StandInOpen(uint32_t id, uintptr_t open);
void StandInCleanup(uint32_t id, uintptr_t open);
void StandInClose(uint32_t id, uintptr_t open);
void StandInControl(uint32_t id, uintptr_t open, void* irp, uint32_t code, const uint8_t* frame, size_t size);
void StandInRead(uint32_t id, uintptr_t open, void* irp, uint32_t capacity);
void StandInWrite(uint32_t id, uintptr_t open, void* irp, const uint8_t* data, size_t size);
int StandInCancel(uint32_t id, void* irp);
uint64_t StandInOpenNumber(uint32_t id, uintptr_t open);

#ifdef __cplusplus
}
#endif

#endif
