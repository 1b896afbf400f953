/* The restore file of a run, inside the engine. ApplyRecord calls these
   around each replacement; RunPatch opens and closes the file. Every call
   that adds a record has the record and the container's new record count
   on disk (flushed) before it returns PR_OK, so that a kill at any later
   moment leaves a restore file that brings back every target replaced so
   far. After any failure, no target may be replaced: the caller stops the
   run. The state is g_restore. */
#ifndef KORVEX_ENGINE_RESTORE_H
#define KORVEX_ENGINE_RESTORE_H

#include "engine/patch.h"

struct OldFile;

#ifdef __cplusplus
extern "C" {
#endif

/* 1 while a restore file is being made in this run. */
int RestoreActive(void);

/* The check notes the target of every record, index 0 up, so that the run
   knows the targets named more than once. The name need only be readable
   during the call: its hash and length are kept. */
void RestoreNoteTarget(unsigned index, const PatchRecordHead* head);

/* How a target's record is made: the reverse of the forward stream (or its
   old bytes) for a target named once; the old file whole at the first
   replacement of one named again; none once that is in. */
enum { RECORD_STREAM, RECORD_WHOLE, RECORD_HELD };

/* Sorts the noted targets of a run of records records and forgets which
   are held: RestoreCreate does it. */
void RestorePrepareTargets(unsigned records);

/* How the record of head's target is made, as above; a target named more
   than once is then the current one for RestoreHoldTarget. */
int RecordKind(const PatchRecordHead* head);

/* Makes the restore file under a name that is free (never over an existing
   file): the stub's bytes and a container header with no records, flushed.
   records: how many targets the check noted. PR_OK, or PR_NOTWRITTEN with
   g_restore.state RESTORE_FAILED. */
int RestoreBegin(const PatchRestore* restore, unsigned records);

/* Makes the restore file of either form under a name that is free (never
   over an existing file) with the stub's bytes at its start, after
   RestorePrepareTargets(records), as g_restoreOut's file with limit and
   withCrc; then header writes the container's header after the stub's
   base bytes, flushed. PR_OK with RESTORE_MADE, or PR_NOTWRITTEN with
   RESTORE_FAILED and nothing left. */
int RestoreOpen(const PatchRestore* restore, unsigned records, uint64_t limit, int withCrc,
                int (*header)(uint64_t base));

/* Writes n bytes at pos of file (its file pointer is not used); 1, or 0
   when the write failed or fell short. */
int RestoreWriteAt(HANDLE file, uint64_t pos, const void* bytes, DWORD n);

/* The writer of either form's restore file: a record's bytes are grouped
   into large positioned writes through one buffer. file is 0 when no
   restore file is open; ok is cleared by the first failed write of a
   record, and by a record that would pass limit (the bare form's positions
   are 32 bits). */
typedef struct RestoreOut {
    HANDLE file;
    uint64_t pos;    /* where the buffer's bytes go */
    uint64_t limit;  /* the last byte a record may reach */
    DWORD used;
    int ok;
    int withCrc;     /* format 2: crc takes every byte put */
    uint32_t crc;
} RestoreOut;
extern RestoreOut g_restoreOut;

/* Starts a record at pos; ok is set while the state is RESTORE_MADE. */
void RestoreStartAt(uint64_t pos);

/* Appends n bytes of the record (nothing once ok is cleared). */
void RestorePut(const void* bytes, size_t n);
/* Appends n bytes of the old file from offset on, read through the read
   window (ok cleared when a read fails). */
void RestorePutOld(struct OldFile* old, uint64_t offset, uint64_t n);
/* Hands the buffer's bytes to the file. */
void RestoreDrain(void);
/* Ends the record begun at *end: drained and flushed, and then (counted:
   the bare form) counted, the container's 16-bit record count raised and
   flushed; the current target is then held and *end moves past the
   record: PR_OK. Else the record is taken away again (on a full disk the
   way back needs that room), with RESTORE_FAILED: PR_NOTWRITTEN. */
int RestoreEndRecord(uint64_t* end, int counted);
/* RestoreWriteAt on the open restore file, then flushed; 1 or 0. */
int RestoreWriteFlushed(uint64_t pos, const void* bytes, DWORD n);

/* Before a bare record's target is replaced, appends the record of its
   way back, on disk and counted. For a delta record (old: its old file,
   held open and read through the read window) that turns the rebuilt file
   (checksum head->newSum) back into the old one (checksum head->oldSum),
   made from the forward stream (stream: the offset of its first command
   in the container the bare reader reads, engine/container.h): copies of
   the new file's ranges that came from the old file, inserts for the
   rest. For a whole-file record (old 0) it turns the new content
   (checksum newSum) back into the file now at target; a target that
   cannot be opened is refused, and nothing is written. A target named
   more than once gets one record only, at its first replacement, holding
   the old file whole: whatever later records leave there, it gives back
   what was there before the run. PR_OK or PR_NOTWRITTEN. */
int RestoreKeep(const PatchRecordHead* head, const char* target, struct OldFile* old, uint64_t stream,
                uint32_t newSum);

/* A whole-file record created a file where none was: the restore file
   cannot remove it, so it is only counted. */
void RestoreNoteCreated(void);

/* Closes the restore file; one that holds no record is deleted, and the
   state is then RESTORE_NONE unless it failed. */
void RestoreEnd(void);

/* The same for an open restore file of either form, given its handle. */
void RestoreCloseFile(HANDLE file);

#ifdef __cplusplus
}
#endif

#endif
