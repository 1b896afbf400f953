/* The patch engine: applying records of a container to a target folder and
   running a whole container, with the run state the shell reads afterwards.
   The engine has no windows; the shell hands it the overwrite question, the
   end notification and the progress report. */
#ifndef KORVEX_ENGINE_PATCH_H
#define KORVEX_ENGINE_PATCH_H

#include <windows.h>

#include "core/format.h"
#include "core/checksum.h"
#include "core/names.h"
#include "core/trailer.h"

enum { PATCH_TALLY_NAMES = 16 };

/* One failed record: its name as the container holds it, and its result. */
typedef struct PatchFailure {
    char name[PATCH_PATH_MAX];
    int result;
} PatchFailure;

/* What the check before the first write found. Every record is walked and
   the trailer, when there is one, is read and its container CRC checked;
   then every delta record's target is looked at. */
typedef struct PatchCheck {
    int result;            /* PR_OK; PR_BADDATA when the container is damaged
                              (nothing may be written); PR_SKIPPED when the
                              check was cancelled */
    unsigned count;        /* records */
    int trailer;           /* TRAILER_NONE or TRAILER_FOUND */
    PatchTrailer strong;   /* the trailer, when found */
    unsigned mismatched;   /* delta targets missing, unreadable or of another version */
    unsigned listed;       /* entries used in list */
    PatchFailure list[PATCH_TALLY_NAMES];  /* the first mismatched: name and
                              PR_NOTARGET or PR_BADSOURCE */
    unsigned upToDate;     /* delta targets that already hold the new file */
    unsigned existing;     /* whole-file targets that exist already */
} PatchCheck;

/* Progress phases. */
enum { PATCH_PHASE_CHECK = 0, PATCH_PHASE_APPLY = 1 };

struct PatchRecordNote;

/* What the engine needs of its caller. Every operation is called on the
   thread that runs the patch. */
typedef struct PatchHost {
    /* The overwrite question of a whole-file record whose target exists
       (name as the container holds it, in the ANSI code page); returns 1
       only for Yes. */
    int (*askOverwrite)(void* ctx, const char* name);
    /* The one question before the first write, put only when the check
       found delta targets missing or of another version; returns 1 to go
       on with the other records. May be 0: the run then goes on. */
    int (*askProceed)(void* ctx, const PatchCheck* check);
    /* Delivers the one end notification of a run, finished (1) or stopped
       (0), and returns only after the receiver has handled it. */
    void (*notifyEnd)(void* ctx, int finished);
    /* During the check and after each record: done of count in a phase.
       May be 0. */
    void (*progress)(void* ctx, int phase, unsigned done, unsigned count);
    void* ctx;
    /* After each record carried out: its note and its result. May be 0. */
    void (*recordDone)(void* ctx, const struct PatchRecordNote* note, int result);
} PatchHost;

/* Where a run makes its restore file: a self-applying patch that turns
   every target the run replaces back into its old bytes. */
typedef struct PatchRestore {
    const char* folder;           /* the target folder, with its separator */
    const char* baseName;         /* file name without ".exe"; "(2)" and so
                                     on are added when the name is taken */
    const unsigned char* stub;    /* the applier's own bytes before its container */
    size_t stubSize;
} PatchRestore;

/* What became of the restore file of the last run. */
enum {
    RESTORE_NONE = 0,    /* none asked for, or nothing was replaced (no file left) */
    RESTORE_MADE = 1,    /* path holds records for every replaced target */
    RESTORE_FAILED = 2   /* it could not be written: the run stopped there,
                            and path covers every target replaced before */
};
typedef struct PatchRestoreState {
    int state;
    unsigned records;     /* targets it brings back */
    unsigned created;     /* files the run created where none was: it cannot remove them */
    char path[PATCH_PATH_MAX];
} PatchRestoreState;

/* Where a container's bytes are: wholly in memory (bytes), or in an open
   file (file, from offset on), read through fixed buffers a piece at a
   time, so that a container of any size needs no address space of its
   own; both forms are read the same way from either. size is the container's: from its first byte to the file's
   end, or to the certificate table of a signed patch. */
typedef struct PatchContainer {
    const unsigned char* bytes;  /* 0 for a container in a file */
    HANDLE file;
    uint64_t offset;             /* of the container in file */
    uint64_t size;
} PatchContainer;

/* What a run did, record by record, so that no failure goes unreported.
   Failures are PR_NOTARGET, PR_BADSOURCE (unless already up to
   date), PR_BADRESULT and PR_NOTWRITTEN; the first PATCH_TALLY_NAMES are named. */
typedef struct PatchTally {
    unsigned records;      /* records carried out, data error included */
    unsigned ok;
    unsigned overwritten;
    unsigned skipped;
    unsigned notTarget;
    unsigned badSource;    /* the already up-to-date ones included */
    unsigned upToDate;     /* PR_BADSOURCE whose target already has the new sum */
    unsigned badResult;
    unsigned notWritten;
    unsigned badData;
    unsigned failed;       /* every failure, named or not */
    unsigned named;        /* entries used in failures */
    PatchFailure failures[PATCH_TALLY_NAMES];
} PatchTally;

/* Extra facts of one record for the tally; filled by ApplyRecord. */
typedef struct PatchRecordNote {
    PatchRecordHead head;  /* name is 0 when the head itself was bad */
    int upToDate;          /* PR_BADSOURCE, but the target's sum is the new one */
} PatchRecordNote;

/* Outcomes of a run, derived from g_keepRunning, g_lastResult and the
   restore state. */
enum { PATCH_FINISHED = 0, PATCH_DATAERROR = 1, PATCH_CANCELLED = 2, PATCH_RESTOREFAILED = 3 };

#ifdef __cplusplus
extern "C" {
#endif

/* The run flag (non-zero while the run may go on) and the last record's
   result; both 0 at start. The flag is written by two threads, so it is
   only touched through the interlocked functions below. */
extern volatile LONG g_keepRunning;
extern int g_lastResult;
extern PatchTally g_tally;
extern PatchCheck g_check;
extern PatchRestoreState g_restore;

void PatchSetKeepRunning(LONG value);
int PatchKeepRunning(void);
int PatchOutcome(void);

/* Opens path for reading without sharing and returns its checksum; 0 when
   it cannot be opened. */
uint32_t XorSumFile(const char* path);

/* Carries out the record at the cursor in targetDir (which ends with a
   separator); the cursor then stands on the next record, except after
   PR_BADDATA. strong is the record's trailer entry, or 0 without a
   trailer: the old file must then match its length and CRC-32 too, and
   the rebuilt file before it replaces the target. Returns the result and
   leaves it in g_lastResult. note may be 0. */
int ApplyRecord(PatchCursor* cursor, const char* targetDir, const PatchHost* host,
                const TrailerEntry* strong, PatchRecordNote* note);

/* The check before the first write, into *check: see PatchCheck. Reports
   progress in PATCH_PHASE_CHECK and stops early, with PR_SKIPPED, when the
   run flag is cleared. Writes nothing. */
int CheckPatch(const unsigned char* container, size_t size, const char* targetDir, const PatchHost* host,
               PatchCheck* check);

/* CheckPatch for a bare container wherever it lies (PatchContainer),
   read through the bare reader (engine/container.h). */
int CheckBare(const PatchContainer* container, const char* targetDir, const PatchHost* host, PatchCheck* check);

/* Clears the run flag for a data error; nothing for any other result. */
void NoteRecordResult(int result);

/* Checks the whole container (size bytes from container: the true end of
   what is mapped, or the start of a signature), asks the one question when
   some targets do not match, then applies every record in order, and ends
   with exactly one end notification. With restore, a restore file is made
   and each replaced target's record is in it before the target is
   replaced. Resets g_tally, g_check and g_restore first. The caller sets
   g_keepRunning. */
void RunPatch(const unsigned char* container, size_t size, const char* targetDir, const PatchHost* host,
              const PatchRestore* restore);

/* RunPatch for a container wherever it lies: either form is read through
   the engine's fixed buffers (engine/container.h), never mapped. */
void RunPatchContainer(const PatchContainer* container, const char* targetDir, const PatchHost* host,
                       const PatchRestore* restore);

#ifdef __cplusplus
}
#endif

#endif
