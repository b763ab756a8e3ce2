/* records_c99.c: norvex_records.h is plain C99, as the rest of the interface
 * is for C hosts: its lists and arrays compile with -std=c99 -pedantic in
 * every build. */
#include <stddef.h>

#include "norvex_records.h"

const NorvexRecord* NorvexKernelNameRecord(void);

/* The kernel name, a row that C code finds in the main unit's array. */
const NorvexRecord* NorvexKernelNameRecord(void) {
  size_t i;
  for (i = 0; i < sizeof(NorvexMainUnitRecords) / sizeof(NorvexMainUnitRecords[0]); ++i) {
    if (NorvexMainUnitRecords[i].bytes == NORVEX_RECORD_ANY_LENGTH) return &NorvexMainUnitRecords[i];
  }
  return 0;
}
