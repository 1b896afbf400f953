// The run over all records, its flag and its tally.
#include "engine/patch.h"

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
    if (PatchKeepRunning())
        return PATCH_FINISHED;
    return g_lastResult == PR_BADDATA ? PATCH_DATAERROR : PATCH_CANCELLED;
}

void NoteRecordResult(int result) {
    if (result == PR_BADDATA)
        PatchSetKeepRunning(0);
}

int PatchIsFailure(int result, int upToDate) {
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
    if (t->named == PATCH_TALLY_NAMES || !note->head.name)
        return;
    PatchFailure* f = &t->failures[t->named++];
    uint32_t len = note->head.nameLen < PATCH_PATH_MAX - 1 ? note->head.nameLen : PATCH_PATH_MAX - 1;
    CopyMemory(f->name, note->head.name, len);
    f->name[len] = 0;
    f->result = result;
}

static void Notify(const PatchHost* host, int finished) {
    if (host && host->notifyEnd)
        host->notifyEnd(host->ctx, finished);
}

void RunPatch(const unsigned char* container, size_t size, const char* targetDir, const PatchHost* host) {
    ZeroMemory(&g_tally, sizeof g_tally);
    PatchCursor cursor;
    CursorInit(&cursor, container, size);
    unsigned count;
    if (ReadContainerHeader(&cursor, &count) != PR_OK) {
        g_lastResult = PR_BADDATA;
        NoteRecordResult(PR_BADDATA);
        Notify(host, 0);
        return;
    }
    for (unsigned i = 0; i < count; i++) {
        PatchRecordNote note;
        int result = ApplyRecord(&cursor, targetDir, host, &note);
        NoteRecordResult(result);
        TallyRecord(result, &note);
        if (host && host->progress)
            host->progress(host->ctx, i + 1, count);
        // Cancel takes effect here, between records, never inside one.
        if (!PatchKeepRunning()) {
            Notify(host, 0);
            return;
        }
    }
    Notify(host, PatchKeepRunning());
}
