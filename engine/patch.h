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

/* What the engine needs of its caller. Every operation is called on the
   thread that runs the patch. */
typedef struct PatchHost {
    /* Puts one Yes/No question (text and caption in the ANSI code page);
       returns 1 only for Yes. */
    int (*askOverwrite)(void* ctx, const char* text, const char* caption);
    /* Delivers the one end notification of a run, finished (1) or stopped
       (0), and returns only after the receiver has handled it. */
    void (*notifyEnd)(void* ctx, int finished);
    /* After each record: how many of count records are done. May be 0. */
    void (*progress)(void* ctx, unsigned done, unsigned count);
    void* ctx;
} PatchHost;

/* The overwrite question of a whole-file record whose target exists. */
extern const char kOverwriteText[];
extern const char kOverwriteCaption[];

enum { PATCH_TALLY_NAMES = 16 };

/* One failed record: its name as the container holds it, and its result. */
typedef struct PatchFailure {
    char name[PATCH_PATH_MAX];
    int result;
} PatchFailure;

/* What a run did, record by record, so that no failure goes unreported.
   Failures are PR_NOTARGET, PR_BADSOURCE (unless already up to date),
   PR_BADRESULT and PR_NOTWRITTEN; the first PATCH_TALLY_NAMES are named. */
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

/* Outcomes of a run, derived from g_keepRunning and g_lastResult. */
enum { PATCH_FINISHED = 0, PATCH_DATAERROR = 1, PATCH_CANCELLED = 2 };

#ifdef __cplusplus
extern "C" {
#endif

/* The run flag (non-zero while the run may go on) and the last record's
   result; both 0 at start. The flag is written by two threads, so it is
   only touched through the interlocked functions below. */
extern volatile LONG g_keepRunning;
extern int g_lastResult;
extern PatchTally g_tally;

void PatchSetKeepRunning(LONG value);
int PatchKeepRunning(void);
int PatchOutcome(void);

/* 1 when a result counts as a failure the user should hear about. */
int PatchIsFailure(int result, int upToDate);

/* The checksum of a file open for reading, read from its start; the file's
   position is left at its end and the handle stays open. A file that cannot
   be read gives 0. */
uint32_t XorSumHandle(HANDLE file);

/* Opens path for reading without sharing and returns its checksum; 0 when
   it cannot be opened. */
uint32_t XorSumFile(const char* path);

/* Carries out the record at the cursor in targetDir (which ends with a
   separator); the cursor then stands on the next record, except after
   PR_BADDATA. Returns the result and leaves it in g_lastResult. note may be
   0. */
int ApplyRecord(PatchCursor* cursor, const char* targetDir, const PatchHost* host,
                PatchRecordNote* note);

/* Clears the run flag for a data error; nothing for any other result. */
void NoteRecordResult(int result);

/* Applies every record of the container (size bytes from container, the
   true end of what is mapped) in order, and ends with exactly one end
   notification. Resets g_tally first. The caller sets g_keepRunning. */
void RunPatch(const unsigned char* container, size_t size, const char* targetDir,
              const PatchHost* host);

#ifdef __cplusplus
}
#endif

#endif
