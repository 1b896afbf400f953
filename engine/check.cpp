// The check before the first write: the whole container is walked (and its
// trailer, when there is one, read and its CRC checked), then every delta
// record's target is read once. Nothing is written, so a damaged container
// or a folder of another version is found before any file changes.
#include "engine/patch.h"
#include "engine/patch2.h"
#include "engine/fileio.h"

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

int F2BlockAt(const unsigned char* container, uint64_t end, uint64_t at, F2BlockHead* b) {
    if (F2ReadBlockHead(container + at, end - at, b) != PR_OK)
        return PR_BADDATA;
    size_t body = (size_t)(b->size - F2_BLOCK_CRC_SIZE);
    return Crc32Update(0, container + at, body) == GetU32(container + at + body) ? PR_OK : PR_BADDATA;
}

// Reads a block's table: every entry well formed, every name one that
// stays inside the folder (and holds no 0 byte, which would cut the path
// short), and no byte left over.
static int WalkTable2(const unsigned char* block, const F2BlockHead* b) {
    PatchCursor table;
    CursorInit(&table, block + F2_BLOCK_HEAD_SIZE, b->tableLength);
    for (uint32_t k = 0; k < b->count; k++) {
        F2Record r;
        if (F2ReadRecord(&table, &r) != PR_OK || memchr(r.name, 0, r.nameLen) ||
            !CheckRecordName(r.name, r.nameLen, IsLeadByteAcp))
            return PR_BADDATA;
    }
    return CursorLeft(&table) ? PR_BADDATA : PR_OK;
}

// Walks every block without acting on it and sets check->count. A closed
// container must end at its length (but for a signature's padding) and
// hold its count; an open one ends at its data's end or at the first block
// cut short or failing its CRC, the tail of a run that was stopped.
static int WalkBlocks2(const unsigned char* container, size_t size, const F2Header* h, PatchCheck* check) {
    int open = (h->flags & F2_FLAG_OPEN) != 0;
    uint64_t end = size;
    if (!open) {
        if (h->length > size || size - h->length > 7)
            return PR_BADDATA;
        for (size_t i = (size_t)h->length; i < size; i++)
            if (container[i])
                return PR_BADDATA;
        end = h->length;
    }
    unsigned count = 0;
    for (uint64_t at = F2_HEADER_SIZE; at < end;) {
        F2BlockHead b;
        if (F2BlockAt(container, end, at, &b) != PR_OK) {
            if (open)
                break;
            return PR_BADDATA;
        }
        if (F2BlockMemory(&b) > h->memory || b.count > CONTAINER_MAX_RECORDS - count ||
            WalkTable2(container + at, &b) != PR_OK)
            return PR_BADDATA;
        count += b.count;
        at += b.size;
    }
    if (!open && count != h->count)
        return PR_BADDATA;
    check->count = count;
    return PR_OK;
}

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

// Looks at every target of the walked blocks.
static int CheckTargets2(const unsigned char* container, size_t size, const char* targetDir, const PatchHost* host,
                         PatchCheck* check) {
    unsigned done = 0;
    for (uint64_t at = F2_HEADER_SIZE; done < check->count;) {
        F2BlockHead b;
        F2ReadBlockHead(container + at, size - at, &b);
        PatchCursor table;
        CursorInit(&table, container + at + F2_BLOCK_HEAD_SIZE, b.tableLength);
        for (uint32_t k = 0; k < b.count; k++, done++) {
            Progress(host, done, check->count);
            if (!PatchKeepRunning())
                return PR_SKIPPED;
            F2Record r;
            F2ReadRecord(&table, &r);
            char target[PATCH_PATH_MAX];
            if (r.kind == F2_KIND_DELTA)
                CheckDeltaTarget2(check, targetDir, &r);
            else if (JoinPath(target, targetDir, r.name, r.nameLen) &&
                     GetFileAttributesA(target) != INVALID_FILE_ATTRIBUTES)
                check->existing++;
        }
        at += b.size;
    }
    Progress(host, check->count, check->count);
    return PR_OK;
}

int CheckPatch2(const unsigned char* container, size_t size, const char* targetDir, const PatchHost* host,
                PatchCheck* check) {
    ZeroMemory(check, sizeof *check);
    check->result = PR_BADDATA;
    F2Header h;
    if (F2ReadHeader(container, size, &h) == PR_OK && WalkBlocks2(container, size, &h, check) == PR_OK)
        check->result = CheckTargets2(container, size, targetDir, host, check);
    return check->result;
}
