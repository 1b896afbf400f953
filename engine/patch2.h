/* Format 2 inside the engine (docs/format.md): the check of a format-2
   container, its records carried out block by block, and the format-2
   restore file a run makes of it. RunPatch and CheckPatch tell the forms
   apart and call these for format 2. */
#ifndef KORVEX_ENGINE_PATCH2_H
#define KORVEX_ENGINE_PATCH2_H

#include "core/format2.h"
#include "engine/patch.h"

struct OldFile;

#ifdef __cplusplus
extern "C" {
#endif

/* CheckPatch for a container IsFormat2 holds for: every block head, CRC,
   table entry and name, the count, the length and the decoder memory;
   then every target. An open container counts the blocks up to the first
   one cut short or damaged. Same results as CheckPatch. */
int CheckPatch2(const PatchContainer* container, const char* targetDir, const PatchHost* host, PatchCheck* check);

/* Applies the g_check.count records of a checked format-2 container in
   order, each through EndOfRecord; stops with PR_BADDATA in g_lastResult
   when a block's streams do not decode or hold more than its records
   take, or when the container can no longer be read. */
void ApplyAll2(const PatchContainer* container, const char* targetDir, const PatchHost* host);

/* Adds head's name (cut to fit) and result to a list of failures of
   PATCH_TALLY_NAMES entries, *named of them used; nothing when full. */
void NameFailure(PatchFailure* list, unsigned* named, const PatchRecordHead* head, int result);

/* After each record (engine/run.cpp): its result noted, tallied and
   reported as done of g_check.count. Returns 1 while the run goes on. */
int EndOfRecord(const PatchHost* host, int result, const PatchRecordNote* note, unsigned done);

/* --- the format-2 restore file (engine/restore2.cpp); its state is
   g_restore, as for the bare form --- */

/* Makes the restore file under a free name: the stub's bytes and an open
   header, flushed. PR_OK, or PR_NOTWRITTEN with RESTORE_FAILED. */
int Restore2Begin(const PatchRestore* restore);

/* The copies a delta record's run takes exactly from its old file,
   noted as it runs (old[from, from + length) is new[at, at + length)),
   where both files are under 4 GiB: Restore2StartCopies forgets the last
   record's. Copies shorter than BACK_COPY_MIN are not worth a command and
   are not kept; when the table is full, the shortest go, and the way back
   takes more literal bytes. */
enum { BACK_COPY_MIN = 16 };
void Restore2StartCopies(void);
void Restore2NoteCopy(uint32_t from, uint32_t length, uint32_t at);

/* Before r's target is replaced: appends one block whose record turns
   the file r makes back into the one it replaces. For a delta record
   (old: its held old file) that is copies of the rebuilt file where the
   noted copies say the old bytes are in it and the rest of the old file,
   read through old and the read window, as literal bytes; for a
   whole-file record (old 0) the file now at target, whole. Written and
   flushed once. PR_OK, or PR_NOTWRITTEN with RESTORE_FAILED and the block
   taken away (or with nothing written when target cannot be read). */
int Restore2Keep(const F2Record* r, const char* target, struct OldFile* old);

/* Rewrites the header closed (count, length, CRC) and closes the file; a
   file with no record is deleted, and the state is then RESTORE_NONE
   unless it failed. Nothing when no file is open. */
void Restore2End(void);

#ifdef __cplusplus
}
#endif

#endif
