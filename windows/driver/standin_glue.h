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

/* One transfer to complete: its NT status, the bytes it reports and the
 * bytes to copy into its buffer (a reply frame, a control answer). A transfer
 * that waited in a list has had its cancel routine taken back already. */
typedef struct StandInCompletion {
  void* irp;
  int32_t status;
  size_t information;
  const uint8_t* data;
  size_t size;
} StandInCompletion;

/* What the C++ part calls in the kernel part. arm and disarm are called with
 * the lock of the list that keeps the transfer held (see CancelGuard in
 * standin_machine.h): arm gives a transfer about to be listed its cancel
 * routine (0: it was cancelled already, and is completed cancelled instead),
 * disarm takes the routine back as the transfer leaves the list to be
 * completed (0: a cancel took it first; the transfer leaves the list having
 * done nothing, and its cancel routine completes it cancelled). */
typedef struct StandInDriverCalls {
  void (*complete)(const StandInCompletion* completion);
  void (*presenceChanged)(void);
  int (*arm)(void* irp);
  int (*disarm)(void* irp);
} StandInDriverCalls;

/* Starts the emulated platesetters (none yet) and their clock. 0 on failure.
 * After StandInStop (the bus's removal) every call below finds no
 * platesetter: transfers are refused as a gone device's, and those that
 * return an int return 0 for "not taken", which the caller completes. */
int StandInStart(const StandInDriverCalls* calls);
void StandInStop(void);

/* The control device. StandInOperate writes the answer to `out` (at most
 * `room` bytes; when it needs more, a "too long" answer with the size needed)
 * and returns its size. */
size_t StandInOperate(uintptr_t owner, const uint8_t* request, size_t size, uint8_t* out, size_t room);
int StandInWait(uintptr_t owner, void* irp, const uint8_t* request, size_t size);
/* The cancel routine of a wait: takes it off its list (1 when it was there);
 * the caller completes it cancelled. */
int StandInCancelWait(void* irp);
void StandInReleaseOwner(uintptr_t owner);

/* The bus: the ids of the plugged platesetters (at most `room`, the count is
 * returned), a platesetter's instance name, its interface's state. */
size_t StandInPresent(uint32_t* ids, size_t room);
/* Writes the zero-terminated name (at most room - 1 characters). */
void StandInInstanceName(uint32_t id, wchar_t* out, size_t room);
void StandInInterfaceChanged(uint32_t id, int enabled);

/* Why the transfers of `open` are refused at once (0: they are not): an open
 * that the device refused, one whose connection ended, a platesetter gone. */
int32_t StandInRefusal(uint32_t id, uintptr_t open);
/* A platesetter's transfers; 0: not taken (no rack any more). StandInCancel,
 * a transfer's cancel routine, returns 1 when the platesetter keeps the
 * transfer for a later completion (a late reply); 0: the caller completes it
 * cancelled. */
int32_t StandInOpen(uint32_t id, uintptr_t open);
void StandInCleanup(uint32_t id, uintptr_t open);
void StandInClose(uint32_t id, uintptr_t open);
int StandInControl(uint32_t id, uintptr_t open, void* irp, uint32_t code, const uint8_t* frame, size_t size);
int StandInRead(uint32_t id, uintptr_t open, void* irp, uint32_t capacity);
int StandInWrite(uint32_t id, uintptr_t open, void* irp, const uint8_t* data, size_t size);
int StandInCancel(uint32_t id, void* irp);
uint64_t StandInOpenNumber(uint32_t id, uintptr_t open);

#ifdef __cplusplus
}
#endif

#endif
