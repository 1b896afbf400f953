// The run over all records, its flag and its tally.
#include "engine/patch.h"
#include "engine/restore.h"
#include "engine/patch2.h"
#include "engine/container.h"

volatile LONG g_keepRunning = 0;
int g_lastResult = PR_OK;
PatchTally g_tally;

void PatchSetKeepRunning(LONG value) {
    InterlockedExchange(&g_keepRunning, value);
}

int PatchKeepRunning(void) {
    return InterlockedCompareExchange(&g_keepRunning, 0, 0) != 0;
}

int PatchOutcome(void) {
    if (g_restore.state == RESTORE_FAILED)
        return PATCH_RESTOREFAILED;
    if (PatchKeepRunning())
        return PATCH_FINISHED;
    return g_lastResult == PR_BADDATA ? PATCH_DATAERROR : PATCH_CANCELLED;
}

void NoteRecordResult(int result) {
    if (result == PR_BADDATA)
        PatchSetKeepRunning(0);
}

// 1 when a result counts as a failure the user should hear about.
static int PatchIsFailure(int result, int upToDate) {
    switch (result) {
    case PR_NOTARGET:
    case PR_BADRESULT:
    case PR_NOTWRITTEN:
        return 1;
    case PR_BADSOURCE:
        return !upToDate;
    default:
        return 0;
    }
}

static void TallyRecord(int result, const PatchRecordNote* note) {
    PatchTally* t = &g_tally;
    t->records++;
    switch (result) {
    case PR_OK: t->ok++; break;
    case PR_OVERWRITTEN: t->overwritten++; break;
    case PR_SKIPPED: t->skipped++; break;
    case PR_NOTARGET: t->notTarget++; break;
    case PR_BADSOURCE:
        t->badSource++;
        if (note->upToDate)
            t->upToDate++;
        break;
    case PR_BADRESULT: t->badResult++; break;
    case PR_NOTWRITTEN: t->notWritten++; break;
    default: t->badData++; break;
    }
    if (!PatchIsFailure(result, note->upToDate))
        return;
    t->failed++;
    if (note->head.name)
        NameFailure(t->failures, &t->named, &note->head, result);
}

void NameFailure(PatchFailure* list, unsigned* named, const PatchRecordHead* head, int result) {
    if (*named == PATCH_TALLY_NAMES)
        return;
    PatchFailure* f = &list[(*named)++];
    uint32_t len = head->nameLen < PATCH_PATH_MAX - 1 ? head->nameLen : PATCH_PATH_MAX - 1;
    CopyMemory(f->name, head->name, len);
    f->name[len] = 0;
    f->result = result;
}

static void Notify(const PatchHost* host, int finished) {
    if (host && host->notifyEnd)
        host->notifyEnd(host->ctx, finished);
}

// Stops a run before it has written anything: the end notification says
// stopped, and g_lastResult tells a data error from a cancel.
static void StopBeforeWriting(const PatchHost* host, int lastResult) {
    g_lastResult = lastResult;
    PatchSetKeepRunning(0);
    Notify(host, 0);
}

int EndOfRecord(const PatchHost* host, int result, const PatchRecordNote* note, unsigned done) {
    NoteRecordResult(result);
    TallyRecord(result, note);
    if (host && host->recordDone)
        host->recordDone(host->ctx, note, result);
    if (host && host->progress)
        host->progress(host->ctx, PATCH_PHASE_APPLY, done, g_check.count);
    // Without its restore record no further target may be replaced.
    if (g_restore.state == RESTORE_FAILED)
        PatchSetKeepRunning(0);
    // Cancel takes effect here, between records, never inside one.
    return PatchKeepRunning();
}

// Where the run carries its bare records out.
typedef struct RunBareWay {
    const char* targetDir;
    const PatchHost* host;
} RunBareWay;

// Carries out the bare record the walk has come to; PR_SKIPPED once the
// run ends.
static int RunBare(void* ctx, unsigned i, const BareRecord* r, int read, const TargetSides* sides) {
    const RunBareWay* rw = (const RunBareWay*)ctx;
    PatchRecordNote note;
    int result = ApplyBareRead(r, read, sides, rw->targetDir, rw->host, &note);
    return EndOfRecord(rw->host, result, &note, i + 1) ? PR_OK : PR_SKIPPED;
}

// Applies the records of the bare reader's container, checked already,
// one by one.
static void ApplyAll(const char* targetDir, const PatchHost* host) {
    RunBareWay rw = {targetDir, host};
    uint64_t end;
    WalkBare(g_check.count, g_check.trailer == TRAILER_FOUND ? &g_check.strong : NULL, RunBare, &rw, &end);
}

void RunPatch(const unsigned char* container, size_t size, const char* targetDir, const PatchHost* host,
              const PatchRestore* restore) {
    PatchContainer whole = {container, INVALID_HANDLE_VALUE, 0, size};
    RunPatchContainer(&whole, targetDir, host, restore);
}

void RunPatchContainer(const PatchContainer* c, const char* targetDir, const PatchHost* host,
                       const PatchRestore* restore) {
    ZeroMemory(&g_tally, sizeof g_tally);
    ZeroMemory(&g_restore, sizeof g_restore);
    ZeroMemory(&g_check, sizeof g_check);
    g_lastResult = PR_OK;
    int form2 = ContainerIsFormat2(c);
    int checked = form2 ? CheckPatch2(c, targetDir, host, &g_check) : CheckBare(c, targetDir, host, &g_check);
    if (checked != PR_OK) {  // damaged, or cancelled during the check
        StopBeforeWriting(host, checked == PR_BADDATA ? PR_BADDATA : PR_OK);
        return;
    }
    if (g_check.mismatched && host && host->askProceed && !host->askProceed(host->ctx, &g_check)) {
        StopBeforeWriting(host, PR_OK);
        return;
    }
    // a format-2 patch makes a format-2 restore file
    if (restore && (form2 ? Restore2Begin(restore) : RestoreBegin(restore, g_check.count)) != PR_OK) {
        StopBeforeWriting(host, PR_OK);
        return;
    }
    if (form2) {
        ApplyAll2(c, targetDir, host);
        Restore2End();
    } else {
        ApplyAll(targetDir, host);  // through the reader the check began
        RestoreEnd();
    }
    Notify(host, PatchKeepRunning());
}
