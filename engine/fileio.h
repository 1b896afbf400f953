/* File helpers shared inside the Win32 engine. */
#ifndef KORVEX_ENGINE_FILEIO_H
#define KORVEX_ENGINE_FILEIO_H

#include <windows.h>
#include <stdint.h>

/* Reads and writes go in pieces of this size: small writes cost a system
   call each, and much larger ones gain nothing. */
enum { FILEIO_CHUNK = 64 * 1024 };

#ifdef __cplusplus
extern "C" {
#endif

/* Reads an open file from its start and gives its checksum and size.
   Returns 0 when a read fails; the values are then of no use. */
int SumOpenFile(HANDLE file, uint32_t* sum, uint64_t* size);

#ifdef __cplusplus
}
#endif

#endif
