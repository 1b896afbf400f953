/* File helpers shared inside the Win32 engine. */
#ifndef KORVEX_ENGINE_FILEIO_H
#define KORVEX_ENGINE_FILEIO_H

#include <windows.h>
#include <stdint.h>

#include "core/trailer.h"
#include "engine/patch.h"

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
    uint32_t sum;   /* XorSum; 0 with SUM_NO_XOR */
    uint32_t crc;   /* CRC-32, only when asked for */
    uint64_t size;
} FileSums;

/* What SumOpenFile takes: the CRC as well, files of any size, every
   piece read into the window's last FILEIO_CHUNK bytes (so that the rest
   of the window keeps what it holds), and no XOR sum (format 2 has none:
   sum is then 0). */
enum { SUM_CRC = 1, SUM_ANY_SIZE = 2, SUM_WINDOW_END = 4, SUM_NO_XOR = 8 };

/* Reads an open file from its start into sums; the CRC too with SUM_CRC.
   The pieces are laid one after another into g_window, from its start
   again when it is full; *have (when not 0) gets how many of the file's
   last bytes stand at the window's start. Without SUM_ANY_SIZE reading
   stops once the size passes 4 GiB - 1 (the sums are then of no use: the
   bare form refuses such a file). Returns 0 when a read fails; the values
   are then of no use. */
int SumOpenFile(HANDLE file, int how, FileSums* sums, uint32_t* have);

/* Reads n bytes at offset of a file (its file pointer is not used); 0 when
   the read fails or the file ends before. */
int ReadAt(HANDLE file, uint64_t offset, unsigned char* to, DWORD n);

/* 1 when a file of these sums is the one an entry's old (or new) side
   describes: the XOR sum, and with a trailer entry its length and CRC. */
int SumsMatch(const FileSums* sums, uint32_t sum, const TrailerEntry* strong, int newSide);

/* The sums a format-2 record's sides are matched by: length and CRC-32. */
#define SUM_FORMAT2 (SUM_CRC | SUM_ANY_SIZE | SUM_NO_XOR)

/* 1 when a file of these sums (taken with SUM_CRC) is the one a format-2
   record's side describes. */
int SideMatches(const FileSums* sums, uint64_t length, uint32_t crc);

/* --- the steps of a record, shared by both forms (engine/apply.cpp) --- */

/* A temporary file being written, its writes grouped into large ones. */
typedef struct OutFile {
    HANDLE file;
    DWORD used;        /* bytes waiting in the output buffer */
    uint64_t written;  /* bytes handed to the file so far */
} OutFile;

/* Appends bytes; 1, or 0 when a write failed. */
int OutWrite(OutFile* out, const unsigned char* bytes, size_t n);
/* Hands what waits in the buffer to the file; 1, or 0 when it failed. */
int OutFlush(OutFile* out);

/* A target's old file, held without sharing, and what of it stands in
   g_window. */
typedef struct OldFile {
    HANDLE file;
    uint64_t size;   /* bytes read when the sums were taken */
    uint64_t start;  /* file offset of g_window[0] */
    uint32_t have;   /* bytes of the file in the window */
} OldFile;

/* Fills the window with the old file from offset (inside it) on: length
   bytes or more, as the window allows. 1, or 0 when the read failed. */
int OldWindowAt(OldFile* old, uint64_t offset, uint64_t length);

/* The sub-folders one record made, by the length of each one's path. */
typedef struct MadeFolders {
    unsigned count;
    unsigned short ends[PATCH_PATH_MAX / 2];  /* a name has at most this many separators */
} MadeFolders;

/* Makes the sub-folders on the way to target (past its first dirLen
   bytes), noting in made those that did not exist. */
void MakeSubFolders(char* target, size_t dirLen, MadeFolders* made);
/* Takes away the folders noted in made, deepest first, where empty. */
void RemoveMadeFolders(char* target, const MadeFolders* made);

/* A fresh temporary file beside target (or in the target folder, its
   first dirLen bytes, when a deep folder leaves no room), its name in
   tmp; INVALID_HANDLE_VALUE when none can be made. */
HANDLE CreateTempBeside(const char* target, size_t dirLen, char tmp[PATCH_PATH_MAX]);
/* Flushes and closes; 1 only when both worked. */
int CloseDurably(HANDLE file);
/* Moves the finished tmp over an existing target; the temporary file is
   deleted when that fails. PR_OK or PR_NOTWRITTEN. */
int ReplaceTarget(const char* tmp, const char* target);

/* Puts a finished temporary file of a whole-file record at target: moved
   there when no file is, else after the overwrite question (name as the
   container holds it) and keepOld(ctx, target), which saves the way back
   and may be 0. PR_OK, PR_OVERWRITTEN, PR_SKIPPED or PR_NOTWRITTEN; tmp is
   gone afterwards in every case. */
int PlaceWholeTemp(const char* tmp, const char* target, const char* name, const PatchHost* host,
                   int (*keepOld)(const void* ctx, const char* target), const void* ctx);

#ifdef __cplusplus
}
#endif

#endif
