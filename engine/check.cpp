// The check before the first write: the whole container is walked (and its
// trailer, when there is one, read and its CRC checked), then every delta
// record's target is read once. Nothing is written, so a damaged container
// or a folder of another version is found before any file changes.
#include "engine/patch.h"
#include "engine/fileio.h"
#include "engine/restore.h"

PatchCheck g_check;

static int IsLeadByteAcp(unsigned char byte) {
    return IsDBCSLeadByte(byte);
}

// Walks every record without acting on it; the cursor ends after the last.
static int WalkRecords(PatchCursor* cursor, unsigned count) {
    for (unsigned i = 0; i < count; i++) {
        PatchRecordHead head;
        PatchCursor at = *cursor;
        if (ReadRecordHead(&at, &head) != PR_OK || !CheckRecordName(head.name, head.nameLen, IsLeadByteAcp) ||
            SkipRecord(cursor) != PR_OK)
            return PR_BADDATA;
    }
    return PR_OK;
}

static void NoteMismatch(PatchCheck* check, const PatchRecordHead* head, int reason) {
    check->mismatched++;
    if (check->listed == PATCH_TALLY_NAMES)
        return;
    PatchFailure* f = &check->list[check->listed++];
    uint32_t len = head->nameLen < PATCH_PATH_MAX - 1 ? head->nameLen : PATCH_PATH_MAX - 1;
    CopyMemory(f->name, head->name, len);
    f->name[len] = 0;
    f->result = reason;
}

// Looks at one delta record's target: the old file, or already the new.
static void CheckDeltaTarget(PatchCheck* check, const char* targetDir, const PatchRecordHead* head,
                             const TrailerEntry* strong) {
    char target[PATCH_PATH_MAX];
    if (!JoinPath(target, targetDir, head->name, head->nameLen)) {
        NoteMismatch(check, head, PR_NOTARGET);
        return;
    }
    // opened as the record itself will open it: without sharing
    HANDLE file = CreateFileA(target, GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        NoteMismatch(check, head, PR_NOTARGET);
        return;
    }
    FileSums sums;
    int read = SumOpenFile(file, strong != NULL, &sums, 0);
    CloseHandle(file);
    if (!read)
        NoteMismatch(check, head, PR_NOTARGET);
    else if (sums.size > 0xFFFFFFFF)
        NoteMismatch(check, head, PR_BADSOURCE);
    else if (SumsMatch(&sums, head->oldSum, strong, 0))
        return;
    else if (SumsMatch(&sums, head->newSum, strong, 1))
        check->upToDate++;
    else
        NoteMismatch(check, head, PR_BADSOURCE);
}

static void Progress(const PatchHost* host, unsigned done, unsigned count) {
    if (host && host->progress)
        host->progress(host->ctx, PATCH_PHASE_CHECK, done, count);
}

// Looks at every target, the records already known to be well formed.
static int CheckTargets(PatchCursor* cursor, const char* targetDir, const PatchHost* host, PatchCheck* check) {
    for (unsigned i = 0; i < check->count; i++) {
        Progress(host, i, check->count);
        if (!PatchKeepRunning())
            return PR_SKIPPED;
        PatchRecordHead head;
        ReadRecordHead(cursor, &head);
        RestoreNoteTarget(i, &head);
        if (BodyIsWholeFile(cursor)) {
            char target[PATCH_PATH_MAX];
            if (JoinPath(target, targetDir, head.name, head.nameLen) &&
                GetFileAttributesA(target) != INVALID_FILE_ATTRIBUTES)
                check->existing++;
            const unsigned char* content;
            uint32_t length;
            ReadWholeFile(cursor, &content, &length);
            continue;
        }
        TrailerEntry entry;
        if (check->trailer == TRAILER_FOUND)
            GetTrailerEntry(&check->strong, i, &entry);
        CheckDeltaTarget(check, targetDir, &head, check->trailer == TRAILER_FOUND ? &entry : NULL);
        SkipCommands(cursor);
    }
    Progress(host, check->count, check->count);
    return PR_OK;
}

int CheckPatch(const unsigned char* container, size_t size, const char* targetDir, const PatchHost* host,
               PatchCheck* check) {
    ZeroMemory(check, sizeof *check);
    PatchCursor cursor;
    CursorInit(&cursor, container, size);
    unsigned count;
    check->result = PR_BADDATA;
    if (ReadContainerHeader(&cursor, &count) != PR_OK)
        return check->result;
    check->count = count;
    PatchCursor records = cursor;
    if (WalkRecords(&cursor, count) != PR_OK)
        return check->result;
    size_t recordsEnd = (size_t)(cursor.pos - container);
    check->trailer = FindTrailer(container, size, recordsEnd, count, &check->strong);
    if (check->trailer == TRAILER_BAD)
        return check->result;
    if (check->trailer == TRAILER_FOUND &&
        Crc32Update(0, container, check->strong.start) != check->strong.containerCrc)
        return check->result;
    check->result = CheckTargets(&records, targetDir, host, check);
    return check->result;
}
