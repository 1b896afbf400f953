/* File helpers shared inside the Win32 engine. */
#ifndef KORVEX_ENGINE_FILEIO_H
#define KORVEX_ENGINE_FILEIO_H

#include <windows.h>
#include <stdint.h>

#include "core/trailer.h"

/* Reads and writes go in pieces of this size: small writes cost a system
   call each, and much larger ones gain nothing. */
enum { FILEIO_CHUNK = 64 * 1024 };

/* The read window: files are read into it piece after piece, so that one
   that fits (most program files do) is wholly there afterwards. Shared by
   the steps of one record, and one run at a time. */
#define FILEIO_WINDOW (4u * 1024 * 1024)
extern unsigned char g_window[FILEIO_WINDOW];

#ifdef __cplusplus
extern "C" {
#endif

/* What one read of a whole file gives. */
typedef struct FileSums {
    uint32_t sum;   /* XorSum */
    uint32_t crc;   /* CRC-32, only when asked for */
    uint64_t size;
} FileSums;

/* Reads an open file from its start into sums; the CRC too when withCrc.
   The pieces are laid one after another into g_window, from its start
   again when it is full; *have (when not 0) gets how many of the file's
   last bytes stand at the window's start. Reading stops once the size
   passes 4 GiB - 1 (the sums are then of no use: such a file is refused).
   Returns 0 when a read fails; the values are then of no use. */
int SumOpenFile(HANDLE file, int withCrc, FileSums* sums, uint32_t* have);

/* Reads n bytes at offset of a file (its file pointer is not used); 0 when
   the read fails or the file ends before. */
int ReadAt(HANDLE file, uint32_t offset, unsigned char* to, DWORD n);

/* 1 when a file of these sums is the one an entry's old (or new) side
   describes: the XOR sum, and with a trailer entry its length and CRC. */
int SumsMatch(const FileSums* sums, uint32_t sum, const TrailerEntry* strong, int newSide);

#ifdef __cplusplus
}
#endif

#endif
