// The check before the first write: the whole container is walked (and its
// trailer, when there is one, read and its CRC checked), then every delta
// record's target is read once. Nothing is written, so a damaged container
// or a folder of another version is found before any file changes.
#include "engine/patch.h"
#include "engine/patch2.h"
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
    if (IsFormat2(container, size))
        return CheckPatch2(container, size, targetDir, host, check);
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

// --- format 2 ---

// Looks at one delta record's target: the old file, or already the new,
// by length, XOR sum and CRC-32, whatever its size.
static void CheckDeltaTarget2(PatchCheck* check, const char* targetDir, const F2Record* r) {
    PatchRecordHead head = {r->oldSum, r->newSum, r->name, r->nameLen};
    char target[PATCH_PATH_MAX];
    HANDLE file = INVALID_HANDLE_VALUE;
    if (JoinPath(target, targetDir, r->name, r->nameLen))
        file = CreateFileA(target, GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        NoteMismatch(check, &head, PR_NOTARGET);
        return;
    }
    FileSums sums;
    int read = SumOpenFile(file, SUM_CRC | SUM_ANY_SIZE, &sums, 0);
    CloseHandle(file);
    if (!read)
        NoteMismatch(check, &head, PR_NOTARGET);
    else if (SideMatches(&sums, r->oldLength, r->oldSum, r->oldCrc))
        return;
    else if (SideMatches(&sums, r->newLength, r->newSum, r->newCrc))
        check->upToDate++;
    else
        NoteMismatch(check, &head, PR_BADSOURCE);
}

// Walks the blocks up to end in one of two passes. The first (look 0)
// checks every block head, CRC, table entry and name and the decoder
// memory, and counts the records into check->count; an open container's
// blocks end at the first one cut short or failing its CRC, the tail of a
// run that was stopped. The second (look 1) goes over those records again
// and looks at their targets, reporting progress, without reading the
// container's bytes a second time for CRCs.
static int Walk2(const unsigned char* container, size_t end, const F2Header* h, const char* targetDir,
                 const PatchHost* host, PatchCheck* check, int look) {
    int open = (h->flags & F2_FLAG_OPEN) != 0;
    unsigned done = 0;
    for (size_t at = F2_HEADER_SIZE; look ? done < check->count : at < end;) {
        const unsigned char* block = container + at;
        F2BlockHead b;
        if (F2ReadBlockHead(block, end - at, &b) != PR_OK ||
            (!look && Crc32Update(0, block, (size_t)b.size - 4) != GetU32(block + (size_t)b.size - 4))) {
            if (open)
                break;
            return PR_BADDATA;
        }
        if (F2BlockMemory(&b) > h->memory || b.count > CONTAINER_MAX_RECORDS - done)
            return PR_BADDATA;
        PatchCursor table;
        CursorInit(&table, block + F2_BLOCK_HEAD_SIZE, b.tableLength);
        for (uint32_t k = 0; k < b.count; k++, done++) {
            F2Record r;
            // a 0 byte in a name would cut the path short
            if (F2ReadRecord(&table, &r) != PR_OK || memchr(r.name, 0, r.nameLen) ||
                !CheckRecordName(r.name, r.nameLen, IsLeadByteAcp))
                return PR_BADDATA;
            if (!look)
                continue;
            Progress(host, done, check->count);
            if (!PatchKeepRunning())
                return PR_SKIPPED;
            char target[PATCH_PATH_MAX];
            if (r.kind == F2_KIND_DELTA)
                CheckDeltaTarget2(check, targetDir, &r);
            else if (JoinPath(target, targetDir, r.name, r.nameLen) &&
                     GetFileAttributesA(target) != INVALID_FILE_ATTRIBUTES)
                check->existing++;
        }
        if (CursorLeft(&table))
            return PR_BADDATA;
        at += (size_t)b.size;
    }
    if (look)
        Progress(host, done, done);
    else if (!open && done != h->count)
        return PR_BADDATA;
    check->count = done;
    return PR_OK;
}

int CheckPatch2(const unsigned char* container, size_t size, const char* targetDir, const PatchHost* host,
                PatchCheck* check) {
    ZeroMemory(check, sizeof *check);
    check->result = PR_BADDATA;
    F2Header h;
    if (F2ReadHeader(container, size, &h) != PR_OK)
        return check->result;
    // A closed container ends at its length; only a signature's padding,
    // up to seven zero bytes, may follow.
    size_t end = size;
    if (!(h.flags & F2_FLAG_OPEN)) {
        if (h.length > size || size - h.length > 7)
            return check->result;
        for (end = (size_t)h.length; end < size; end++)
            if (container[end])
                return check->result;
        end = (size_t)h.length;
    }
    if (Walk2(container, end, &h, targetDir, host, check, 0) == PR_OK)
        check->result = Walk2(container, end, &h, targetDir, host, check, 1);
    return check->result;
}
