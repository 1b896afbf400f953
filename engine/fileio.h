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

/* Opens the file at path, held without sharing (so that it cannot change
   while it is read, more than once maybe) and reads it for its sums (how
   as SumOpenFile takes); old then has its size and the window its last
   bytes. 1 when it was read; 0 when it was opened but not read;
   old->file is INVALID_HANDLE_VALUE when it cannot be opened. */
struct OldFile;
int OpenOldFile(const char* path, int how, struct OldFile* old, FileSums* sums);

/* Reads n bytes at offset of a file (its file pointer is not used); 0 when
   the read fails or the file ends before. */
int ReadAt(HANDLE file, uint64_t offset, unsigned char* to, DWORD n);

/* The sums a format-2 record's sides are matched by: length and CRC-32,
   whatever the size. */
#define SUM_FORMAT2 (SUM_CRC | SUM_ANY_SIZE | SUM_NO_XOR)

/* What a delta record says of its target's two sides, in either form:
   the XOR sums (0 in format 2, whose files are summed with SUM_NO_XOR);
   the lengths and CRC-32s when how has SUM_CRC (a bare record with a
   trailer entry, every format-2 record). how is what SumOpenFile takes to
   read the target: SUM_FORMAT2 for format 2. */
typedef struct TargetSides {
    uint64_t oldLength, newLength;
    uint32_t oldSum, newSum;
    uint32_t oldCrc, newCrc;
    int how;
} TargetSides;

/* The sides of a bare record's target (strong: its trailer entry, or 0)
   and of a format-2 record's. */
void BareSides(const PatchRecordHead* head, const TrailerEntry* strong, TargetSides* sides);
struct F2Record;
void F2Sides(const struct F2Record* r, TargetSides* sides);

/* 1 when a file of these sums is the old (or new) side that sides
   describes. */
int SideMatches(const FileSums* sums, const TargetSides* sides, int newSide);

/* 1 when folder holds the file or folder name (len bytes) names
   (engine/locate.cpp). */
int FolderHolds(const char* folder, const char* name, size_t len);

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

/* The old file's bytes from offset (inside it) on, n of them or fewer:
   where they stand in the window, which is moved when offset lies outside
   it, their count in *piece. 0 when the read failed. */
const unsigned char* OldBytesAt(OldFile* old, uint64_t offset, uint64_t n, size_t* piece);

/* Opens a delta record's target (name, nameLen under targetDir; the path
   left in target) without sharing, as the record is carried out, and reads
   it once for its sums, the window keeping what was read last. PR_OK when
   it is the old side, held open in old (size, window set); else it is
   closed and the result is PR_NOTARGET (no such file, or a read failed)
   or PR_BADSOURCE, *upToDate then 1 when it is the new side already. A
   file of 4 GiB or more is PR_BADSOURCE without SUM_ANY_SIZE. */
int OpenOldTarget(const char* targetDir, const char* name, uint32_t nameLen, const TargetSides* sides,
                  OldFile* old, char target[PATCH_PATH_MAX], int* upToDate);

/* Ends a record's temporary file tmp, written through out (result: how
   its making went): flushed, read back through its own handle into the
   window's last piece (old, the held old file of a delta record or 0,
   keeps the window's bytes in front of it) and closed. PR_OK when it holds
   what was written and that is the new side of sides; else tmp is deleted
   and the result is the first failure. */
int FinishTemp(int result, OutFile* out, const TargetSides* sides, const char* tmp, OldFile* old);

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

/* What a record of either form does on the way to its target:
   make(ctx, old, target, dirLen, tmp) makes its new file (from old, the
   held old file of a delta record, or 0) in a fresh temporary file beside
   target, read back and checked where the form does, its name then in
   tmp: PR_OK, or a failure with no temporary file left; with target 0 it
   only passes the record's bytes over (PR_BADDATA when they do not
   decode). keepOld(ctx, target, old) saves the way back (old 0 for a file
   a whole-file record goes over) while a restore file is being made:
   PR_OK or PR_NOTWRITTEN. */
typedef struct RecordWay {
    int (*make)(void* ctx, OldFile* old, const char* target, size_t dirLen, char tmp[PATCH_PATH_MAX]);
    int (*keepOld)(void* ctx, const char* target, OldFile* old);
    void* ctx;
} RecordWay;

/* Passes a record that will not be carried out over: result, or
   PR_BADDATA when its bytes do not decode. */
int PassOver(const RecordWay* way, int result);

/* Carries out a whole-file record named name (nameLen bytes) in
   targetDir: its sub-folders made, its file made, then moved there when
   no file is, else after the overwrite question and the way back. PR_OK,
   PR_OVERWRITTEN, PR_SKIPPED, PR_NOTWRITTEN or PR_BADDATA; no temporary
   file is left, nor a folder made for a record that failed or was
   skipped. */
int ApplyWhole(const char* targetDir, const char* name, uint32_t nameLen, const PatchHost* host,
               const RecordWay* way);

/* Carries out a delta record named name in targetDir: its target checked
   to be the old side of sides (else passed over, note->upToDate set when
   it is the new one already), its new file made from it, the way back
   saved, the old file closed and the target replaced. PR_OK or the first
   failure; no temporary file is left. */
int ApplyDeltaTo(const char* targetDir, const char* name, uint32_t nameLen, const TargetSides* sides,
                 PatchRecordNote* note, const RecordWay* way);

#ifdef __cplusplus
}
#endif

#endif
