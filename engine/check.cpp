// The check before the first write: the whole container is walked (and its
// trailer, when there is one, read and its CRC checked), then every delta
// record's target is read once. Nothing is written, so a damaged container
// or a folder of another version is found before any file changes.
#include "engine/patch.h"
#include "engine/patch2.h"
#include "engine/fileio.h"
#include "engine/container.h"
#include "engine/locate.h"
#include "engine/restore.h"

PatchCheck g_check;

static void NoteMismatch(PatchCheck* check, const PatchRecordHead* head, int reason) {
    check->mismatched++;
    NameFailure(check->list, &check->listed, head, reason);
}

// What the check's second pass looks with.
typedef struct CheckWalk {
    const char* targetDir;
    const PatchHost* host;
    PatchCheck* check;
} CheckWalk;

static void Progress(const PatchHost* host, unsigned done, unsigned count) {
    if (host && host->progress)
        host->progress(host->ctx, PATCH_PHASE_CHECK, done, count);
}

// Looks at the target of record i of either form (delta: with its sides,
// else 0) after reporting progress: a whole file's target is counted when
// it exists, a delta record's is the old file, already the new one, or a
// mismatch. PR_OK, or PR_SKIPPED when the run was cancelled.
static int LookAtTarget(const char* targetDir, const PatchHost* host, PatchCheck* check, unsigned i,
                        const PatchRecordHead* head, const TargetSides* sides) {
    Progress(host, i, check->count);
    if (!PatchKeepRunning())
        return PR_SKIPPED;
    RestoreNoteTarget(i, head);
    if (!sides) {
        check->existing += FolderHolds(targetDir, head->name, head->nameLen);
        return PR_OK;
    }
    char target[PATCH_PATH_MAX];
    // opened as the record itself will open it: without sharing
    OldFile old;
    int upToDate;
    int result = OpenOldTarget(targetDir, head->name, head->nameLen, sides, &old, target, &upToDate);
    if (result == PR_OK)
        CloseHandle(old.file);
    else if (upToDate)
        check->upToDate++;
    else
        NoteMismatch(check, head, result);
    return PR_OK;
}

// A record of the check's first walk: only whether it reads.
static int ReadsWell(void* ctx, unsigned i, const BareRecord* r, int read, const TargetSides* sides) {
    (void)ctx, (void)i, (void)r, (void)sides;
    return read;
}

// Looks at the target of the record the check's second walk has come to.
static int LookAtBare(void* ctx, unsigned i, const BareRecord* r, int read, const TargetSides* sides) {
    const CheckWalk* cw = (const CheckWalk*)ctx;
    if (read != PR_OK)  // the container can no longer be read
        return PR_BADDATA;
    return LookAtTarget(cw->targetDir, cw->host, cw->check, i, &r->head, r->whole ? NULL : sides);
}

// The container's last bytes, enough for the longest trailer, its padding
// and one byte more; the trailer's entries are read from here.
static unsigned char s_tail[TRAILER_TAIL_SIZE + (unsigned)CONTAINER_MAX_RECORDS * TRAILER_ENTRY_SIZE + TRAILER_MAX_PAD + 1];

// FindTrailer over the container's last bytes. Records that end before
// them leave more bytes than any trailer takes: a tag there frames no
// trailer for them.
static int FindBareTrailer(const PatchContainer* c, uint64_t recordsEnd, unsigned count, PatchTrailer* t) {
    uint64_t n = c->size < sizeof s_tail ? c->size : sizeof s_tail;
    uint64_t tailStart = c->size - n;
    int before = recordsEnd < tailStart;
    if (!ContainerRead(c, tailStart, s_tail, (size_t)n))
        return TRAILER_BAD;
    int found = FindTrailer(s_tail, (size_t)n, before ? 0 : (size_t)(recordsEnd - tailStart), count, t);
    t->start += tailStart;
    return before && found == TRAILER_FOUND ? TRAILER_BAD : found;
}

int CheckBare(const PatchContainer* c, const char* targetDir, const PatchHost* host, PatchCheck* check) {
    ZeroMemory(check, sizeof *check);
    check->result = PR_BADDATA;
    BareBegin(c);
    unsigned count;
    if (BareCount(&count) != PR_OK)
        return check->result;
    check->count = count;
    uint64_t at;
    if (WalkBare(count, NULL, ReadsWell, NULL, &at) != PR_OK)
        return check->result;
    check->trailer = FindBareTrailer(c, at, count, &check->strong);
    if (check->trailer == TRAILER_BAD)
        return check->result;
    uint32_t crc = 0;
    if (check->trailer == TRAILER_FOUND &&
        (!ContainerCrc(c, 0, check->strong.start, &crc) || crc != check->strong.containerCrc))
        return check->result;
    // then every target
    CheckWalk cw = {targetDir, host, check};
    check->result = WalkBare(count, check->trailer == TRAILER_FOUND ? &check->strong : NULL, LookAtBare, &cw, &at);
    if (check->result == PR_OK)
        Progress(host, count, count);
    return check->result;
}

int CheckPatch(const unsigned char* container, size_t size, const char* targetDir, const PatchHost* host,
               PatchCheck* check) {
    PatchContainer whole = {container, INVALID_HANDLE_VALUE, 0, size};
    if (IsFormat2(container, size))
        return CheckPatch2(&whole, targetDir, host, check);
    return CheckBare(&whole, targetDir, host, check);
}

// --- format 2 ---

// Looks at the target of the record the second pass of the check has
// come to.
static int LookAtF2(F2Walk* w, const F2Record* r) {
    const CheckWalk* cw = (const CheckWalk*)w->ctx;
    PatchRecordHead head = {0, 0, r->name, r->nameLen};
    TargetSides sides;
    F2Sides(r, &sides);
    return LookAtTarget(cw->targetDir, cw->host, cw->check, w->done, &head,
                        r->kind == F2_KIND_DELTA ? &sides : NULL);
}

// Walks the blocks up to end (engine/container.h) in one of two passes.
// The first (look 0) checks every block head, CRC, table entry and name
// and the decoder memory, and counts the records into check->count; an
// open container's blocks end at the first one cut short or failing its
// CRC, the tail of a run that was stopped. The second (look 1) goes over
// those records again and looks at their targets, reporting progress,
// without reading the container's bytes a second time for CRCs. Nothing
// holds the whole container.
static int Walk2(const PatchContainer* c, uint64_t end, const F2Header* h, const char* targetDir,
                 const PatchHost* host, PatchCheck* check, int look) {
    int open = (h->flags & F2_FLAG_OPEN) != 0;
    CheckWalk cw = {targetDir, host, check};
    F2Walk w;
    w.c = c;
    w.end = end;
    w.flags = F2W_CHECK | (look ? 0 : F2W_CRC) | (open ? F2W_TORN : 0);
    w.limit = look ? check->count : ~0u;
    w.memory = h->memory;
    w.visit = look ? LookAtF2 : NULL;
    w.ctx = &cw;
    int result = WalkF2(&w);
    if (result != PR_OK)
        return result == PR_BADDATA ? PR_BADDATA : PR_SKIPPED;
    if (look)
        Progress(host, w.done, w.done);
    else if (!open && w.done != h->count)
        return PR_BADDATA;
    check->count = w.done;
    return PR_OK;
}

int CheckPatch2(const PatchContainer* c, const char* targetDir, const PatchHost* host, PatchCheck* check) {
    ZeroMemory(check, sizeof *check);
    check->result = PR_BADDATA;
    F2Header h;
    if (!ContainerHeader2(c, &h))
        return check->result;
    // A closed container ends at its length; only a signature's padding,
    // up to seven zero bytes, may follow.
    uint64_t end = c->size;
    if (!(h.flags & F2_FLAG_OPEN)) {
        uint64_t pad = 0;  // read into its first bytes, the last stays 0
        if (h.length > c->size || c->size - h.length > sizeof pad - 1 ||
            !ContainerRead(c, h.length, (unsigned char*)&pad, (size_t)(c->size - h.length)) || pad)
            return check->result;
        end = h.length;
    }
    if (Walk2(c, end, &h, targetDir, host, check, 0) == PR_OK)
        check->result = Walk2(c, end, &h, targetDir, host, check, 1);
    return check->result;
}
