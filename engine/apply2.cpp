// Format-2 records carried out in the target folder, block by block.
//
// A block's three streams are read in step by its records, so every record
// takes its bytes from them whatever becomes of its target: a target that is
// missing or of another version, or a write that fails, still has its bytes
// read (and thrown away), and the next record finds its own. As for the bare
// form, a target is either left as it was or replaced in one step by a
// complete file that was read back and checked first.
#include "engine/patch2.h"
#include "engine/fileio.h"
#include "engine/container.h"
#include "engine/restore.h"

static unsigned char s_scratch[FILEIO_CHUNK];

void F2Sides(const F2Record* r, TargetSides* sides) {
    sides->oldLength = r->oldLength;
    sides->newLength = r->newLength;
    sides->oldSum = 0;  // format 2 has no XOR sums: SUM_NO_XOR gives 0
    sides->newSum = 0;
    sides->oldCrc = r->oldCrc;
    sides->newCrc = r->newCrc;
    sides->how = SUM_FORMAT2;
}

// Where a record's bytes go: a temporary file, and for a delta record its
// copies come from the old file. A write or read that fails is only noted:
// the sink still takes every byte, so the streams reach the record's end.
// noting: the copies are noted for the restore file's way back.
typedef struct Rebuild2 {
    OutFile out;
    OldFile* old;
    int ok;
    int noting;
} Rebuild2;

static int SinkWrite2(void* ctx, const unsigned char* bytes, size_t n) {
    Rebuild2* rb = (Rebuild2*)ctx;
    if (rb->ok && !OutWrite(&rb->out, bytes, n))
        rb->ok = 0;
    return 1;
}

// Old bytes from the read window, which is moved when they lie outside it,
// straight to the output, or added to the differences in their place;
// F2RunRecord has checked the range against the old length.
static int SinkCopy2(void* ctx, uint64_t offset, uint64_t n, unsigned char* diffs) {
    Rebuild2* rb = (Rebuild2*)ctx;
    uint64_t at = rb->out.written + rb->out.used;
    // (both files under 4 GiB when noting)
    if (rb->noting && !diffs)
        Restore2NoteCopy((uint32_t)offset, (uint32_t)n, (uint32_t)at);
    // runs of zero differences are exact copies too
    for (size_t i = 0, j; rb->noting && diffs && i < n; i = j + 1) {
        for (j = i; j < n && !diffs[j]; j++) {
        }
        if (j - i >= BACK_COPY_MIN)
            Restore2NoteCopy((uint32_t)(offset + i), (uint32_t)(j - i), (uint32_t)(at + i));
    }
    while (n && rb->ok) {
        size_t piece;
        const unsigned char* from = OldBytesAt(rb->old, offset, n, &piece);
        if (!from) {
            rb->ok = 0;
            break;
        }
        if (diffs) {
            for (size_t i = 0; i < piece; i++)
                diffs[i] = (unsigned char)(diffs[i] + from[i]);
            from = diffs;
            diffs += piece;
        }
        if (!OutWrite(&rb->out, from, piece))
            rb->ok = 0;
        offset += piece;
        n -= piece;
    }
    return 1;
}

// Reads a record's bytes from the streams and throws them away; result, or
// PR_BADDATA when the streams do not decode.
static int Skip(F2Source src[F2_STREAMS], const F2Record* r, int result) {
    return F2RunRecord(src, r, 0, s_scratch, sizeof s_scratch) == PR_OK ? result : PR_BADDATA;
}

// Carries out r from the streams into a fresh temporary file beside target
// (old is the held old file of a delta record, else 0), flushes it and reads
// it back through its own handle. PR_OK when it holds the record's new
// length and CRC-32, its name then in tmp; else no temporary file
// is left. The record's bytes have left the streams unless PR_BADDATA.
static int RunToTemp(F2Source src[F2_STREAMS], const F2Record* r, OldFile* old, const char* target,
                     size_t dirLen, char tmp[PATCH_PATH_MAX]) {
    Rebuild2 rb;
    rb.old = old;
    rb.ok = 1;
    rb.noting = 0;
    if (old && RestoreActive()) {
        Restore2StartCopies();
        rb.noting = r->oldLength <= 0xFFFFFFFF && r->newLength <= 0xFFFFFFFF;
    }
    rb.out.used = 0;
    rb.out.written = 0;
    rb.out.file = CreateTempBeside(target, dirLen, tmp);
    if (rb.out.file == INVALID_HANDLE_VALUE)
        return Skip(src, r, PR_NOTWRITTEN);
    F2Sink sink = {SinkWrite2, SinkCopy2, &rb};
    int result = F2RunRecord(src, r, &sink, s_scratch, sizeof s_scratch);
    if (result == PR_OK && !rb.ok)
        result = PR_NOTWRITTEN;
    TargetSides sides;
    F2Sides(r, &sides);
    return FinishTemp(result, &rb.out, &sides, tmp, old);
}

// Where the run's walk carries its records out.
typedef struct RunWalk {
    const char* targetDir;
    const PatchHost* host;
} RunWalk;

// A format-2 record on its way, and the streams its bytes come from.
typedef struct Way2 {
    F2Source* src;
    const F2Record* r;
} Way2;

// Makes the record's new file (from old for a delta record) in a
// temporary file beside target, or passes its bytes over (target 0).
static int Make2(void* ctx, OldFile* old, const char* target, size_t dirLen, char tmp[PATCH_PATH_MAX]) {
    Way2* w = (Way2*)ctx;
    if (!target)
        return Skip(w->src, w->r, PR_NOTWRITTEN);
    return RunToTemp(w->src, w->r, old, target, dirLen, tmp);
}

static int Keep2(void* ctx, const char* target, OldFile* old) {
    const F2Record* r = ((Way2*)ctx)->r;
    return Restore2Keep(r, target, old);
}

// Carries out the record the walk has come to; PR_SKIPPED once the run
// ends.
static int Run2(F2Walk* w, const F2Record* r) {
    const RunWalk* rw = (const RunWalk*)w->ctx;
    PatchRecordNote note;
    note.head.oldSum = 0;
    note.head.newSum = 0;
    note.head.name = r->name;
    note.head.nameLen = r->nameLen;
    note.upToDate = 0;
    int result = w->begun;
    Way2 way2 = {w->src, r};
    RecordWay way = {Make2, Keep2, &way2};
    TargetSides sides;
    F2Sides(r, &sides);
    if (result == PR_OK)
        result = r->kind == F2_KIND_WHOLE ? ApplyWhole(rw->targetDir, r->name, r->nameLen, rw->host, &way)
                                          : ApplyDeltaTo(rw->targetDir, r->name, r->nameLen, &sides, &note, &way);
    g_lastResult = result;
    return EndOfRecord(rw->host, result, &note, w->done + 1) ? PR_OK : PR_SKIPPED;
}

void ApplyAll2(const PatchContainer* c, const char* targetDir, const PatchHost* host) {
    // checked already: only a read that fails now, or streams that do not
    // decode, can refuse it
    RunWalk rw = {targetDir, host};
    F2Walk w;
    w.c = c;
    w.end = c->size;
    w.flags = F2W_RUN;
    w.limit = g_check.count;
    w.visit = Run2;
    w.ctx = &rw;
    if (WalkF2(&w) == PR_BADDATA) {  // ends the run with a data error between records
        g_lastResult = PR_BADDATA;
        PatchSetKeepRunning(0);
    }
}
