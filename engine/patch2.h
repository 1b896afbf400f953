/* Format 2 inside the engine (docs/format.md): the check of a format-2
   container, its records carried out block by block, and the format-2
   restore file a run makes of it. RunPatch and CheckPatch tell the forms
   apart and call these for format 2. */
#ifndef KORVEX_ENGINE_PATCH2_H
#define KORVEX_ENGINE_PATCH2_H

#include "core/format2.h"
#include "engine/patch.h"

/* Creates a restore file under the first free name (engine/restore.cpp),
   its path in path; INVALID_HANDLE_VALUE when none can be made. Declared
   with the linkage restore.cpp gives it. */
HANDLE CreateFree(const PatchRestore* restore, char* path);

#ifdef __cplusplus
extern "C" {
#endif

/* CheckPatch for a container IsFormat2 holds for: every block head, CRC,
   table entry and name, the count, the length and the decoder memory;
   then every target. An open container counts the blocks up to the first
   one cut short or damaged. Same results as CheckPatch. */
int CheckPatch2(const unsigned char* container, size_t size, const char* targetDir, const PatchHost* host,
                PatchCheck* check);

/* Applies the g_check.count records of a checked format-2 container in
   order, each through EndOfRecord; stops with PR_BADDATA in g_lastResult
   when a block's streams do not decode or hold more than its records
   take. */
void ApplyAll2(const unsigned char* container, size_t size, const char* targetDir, const PatchHost* host);

/* After each record (engine/run.cpp): its result noted, tallied and
   reported as done of g_check.count. Returns 1 while the run goes on. */
int EndOfRecord(const PatchHost* host, int result, const PatchRecordNote* note, unsigned done);

/* --- the format-2 restore file (engine/restore2.cpp); its state is
   g_restore, as for the bare form --- */

/* Makes the restore file under a free name: the stub's bytes and an open
   header, flushed. PR_OK, or PR_NOTWRITTEN with RESTORE_FAILED. */
int Restore2Begin(const PatchRestore* restore);

/* 1 while a format-2 restore file is being made. */
int Restore2Active(void);

/* Before a delta record's target is replaced: appends one block whose
   record turns the rebuilt file (r's new side) back into the old one,
   read from old (r's old side), written and flushed once. PR_OK, or
   PR_NOTWRITTEN with RESTORE_FAILED and the block taken away. */
int Restore2AddDelta(const F2Record* r, HANDLE old);

/* Before an existing target is overwritten by a whole-file record r: the
   same for the file now at target. */
int Restore2AddWhole(const F2Record* r, const char* target);

/* Rewrites the header closed (count, length, CRC) and closes the file; a
   file with no record is deleted, and the state is then RESTORE_NONE
   unless it failed. Nothing when no file is open. */
void Restore2End(void);

#ifdef __cplusplus
}
#endif

#endif
