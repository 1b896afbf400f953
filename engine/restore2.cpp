// The restore file of a format-2 run: the applier's own leading bytes, then
// a format-2 container (docs/format.md, "Open containers") that grows by one
// block per replaced target. Each block holds one record with stored streams
// and its own CRC-32 and is flushed once, before its target is replaced; the
// header stays open (no count, no length) until the run ends. A run killed
// at any moment so leaves a file whose complete blocks a reader takes and
// whose torn last block it passes over, with no second flush per record to
// keep a count right. A target the run replaces more than once gets one
// whole-file record, at its first replacement, as in the bare form's
// restore file (engine/restore.cpp says why). Positions are 64 bits: the
// format's files may be larger than 4 GiB.
//
// A delta record's way back copies from the rebuilt file every stretch of
// the old one that the forward run copied exactly (the copies noted while
// it ran, swept as engine/restore.cpp's bare form sweeps its stream), so
// that only the old bytes the new file lacks are written.
#include "engine/patch2.h"
#include "engine/fileio.h"
#include "engine/restore.h"

// A forward copy: old[from, from + length) is new[at, at + length). Swept,
// the table holds the way back's copies instead, in the same shape.
// Noted for files under 4 GiB only (a way back past that holds the old
// file whole), so that the sweep takes 32-bit sums.
typedef struct BackCopy {
    uint32_t from;
    uint32_t at;
    uint32_t length;
} BackCopy;

enum { BACK_COPIES = 16384 };  // a record's copies kept at once

static uint64_t s_base; // file offset of the container's header
static uint64_t s_end;  // end of the last complete block
static BackCopy s_copies[BACK_COPIES];
static size_t s_count;
static uint32_t s_shortest;  // copies shorter than this are not kept

// Writes the header, open while the run lasts and closed (count, length)
// at its end, and flushes it.
static int WriteHeader2(int open) {
    F2Header h;
    h.revision = F2_REVISION;
    h.flags = open ? F2_FLAG_OPEN : 0;
    h.count = open ? 0 : g_restore.records;
    h.memory = 0;
    h.length = open ? 0 : s_end - s_base;
    unsigned char bytes[F2_HEADER_SIZE];
    PutF2Header(bytes, &h);
    return RestoreWriteFlushed(s_base, bytes, F2_HEADER_SIZE);
}

// The header as the run begins, open, after the stub's base bytes.
static int OpenHeader2(uint64_t base) {
    s_base = base;
    s_end = base + F2_HEADER_SIZE;
    return WriteHeader2(1);
}

int Restore2Begin(const PatchRestore* restore) {
    // each block ends with the CRC of its bytes
    return RestoreOpen(restore, g_check.count, ~(uint64_t)0, 1, OpenHeader2);
}

void Restore2StartCopies(void) {
    s_count = 0;
    s_shortest = BACK_COPY_MIN;
}

void Restore2NoteCopy(uint32_t from, uint32_t length, uint32_t at) {
    // a full table keeps the longer half or so: the shortest save least
    while (length >= s_shortest && s_count == BACK_COPIES) {
        s_shortest *= 2;
        size_t kept = 0;
        for (size_t i = 0; i < s_count; i++)
            if (s_copies[i].length >= s_shortest)
                s_copies[kept++] = s_copies[i];
        s_count = kept;
    }
    if (length < s_shortest)
        return;
    BackCopy c = {from, at, length};
    s_copies[s_count++] = c;
}

// Turns the noted copies into the way back's, for an old file of length
// bytes: sorted by old offset, each old byte is taken from the copy
// starting at or before it that reaches furthest, and what no copy covers
// stays literal. The table is rewritten in place (each way back copy comes
// from a forward copy already passed) and their count returned; every one
// is at least BACK_COPY_MIN bytes, the remains of a covered copy that are
// shorter left literal.
static size_t SweepCopies(uint32_t length) {
    size_t n = s_count;
    // Shell sort: no heap, and quick enough for the table's size.
    for (size_t gap = n / 2; gap; gap = gap == 2 ? 1 : gap * 5 / 11)
        for (size_t i = gap; i < n; i++) {
            BackCopy t = s_copies[i];
            size_t j = i;
            for (; j >= gap && s_copies[j - gap].from > t.from; j -= gap)
                s_copies[j] = s_copies[j - gap];
            s_copies[j] = t;
        }
    BackCopy best = {0, 0, 0};
    size_t i = 0, made = 0;
    for (uint32_t x = 0; x < length;) {
        for (; i < n && s_copies[i].from <= x; i++)
            if (s_copies[i].from + s_copies[i].length > best.from + best.length)
                best = s_copies[i];
        uint32_t end = best.from + best.length;
        if (end > x) {
            if (end - x >= BACK_COPY_MIN) {
                BackCopy c = {x, best.at + (x - best.from), end - x};
                s_copies[made++] = c;
            }
            x = end;
        } else if (i < n)
            x = s_copies[i].from;
        else
            break;
    }
    return made;
}

// What PutBack does with the way back's commands.
enum { BACK_MEASURE, BACK_CONTROL, BACK_LITERAL };

// Goes over the way back's commands for n swept copies and an old file of
// length bytes: a literal run before the first copy (when there is one),
// then each copy with the literal run after it. BACK_MEASURE returns the
// control stream's length and adds the literal bytes up in *literal;
// BACK_CONTROL puts the control stream, BACK_LITERAL the literal bytes,
// read through old.
static uint64_t PutBack(size_t n, uint64_t length, int what, OldFile* old, uint64_t* literal) {
    unsigned char bytes[3 * F2_VARINT_MAX];
    uint64_t total = 0;
    uint32_t pos = 0;   // in the rebuilt file, after the last copy
    uint32_t done = 0;  // in the old file, after the last copy
    for (size_t j = 0; j <= n; j++) {
        F2Command c = {0, 0, 0, 0};
        if (j) {
            const BackCopy* b = &s_copies[j - 1];
            c.seek = (int64_t)b->at - (int64_t)pos;
            c.copy = b->length;
            pos = b->at + b->length;
            done = b->from + b->length;
        }
        c.extra = (j < n ? s_copies[j].from : length) - done;
        if (what == BACK_LITERAL) {
            RestorePutOld(old, done, c.extra);
            continue;
        }
        // the literal run that starts the file, only when there is one
        if (!j && n && !c.extra)
            continue;
        size_t k = PutF2Command(bytes, &c);
        total += k;
        if (what == BACK_CONTROL)
            RestorePut(bytes, k);
        else
            *literal += c.extra;
    }
    return total;
}

// Appends one block whose only record is r: a whole file, or a delta
// record made of the n swept copies and the old file's other bytes, read
// through old. Flushed once; on failure what it wrote is taken away again
// (on a full disk the way back needs that room) and the state is
// RESTORE_FAILED.
static int AddBlock2(const F2Record* r, OldFile* old, size_t n) {
    unsigned char head[F2_BLOCK_HEAD_SIZE];
    unsigned char entry[F2_ENTRY_MAX];
    F2BlockHead b;
    ZeroMemory(&b, sizeof b);
    b.count = 1;
    b.streams[F2_TABLE].packed = b.streams[F2_TABLE].unpacked = PutF2Record(entry, r);
    int commands = r->kind == F2_KIND_DELTA && r->newLength;  // a record of no bytes has none
    uint64_t literal = 0;
    uint64_t control = PutBack(n, r->newLength, BACK_MEASURE, old, &literal);
    if (commands)
        b.streams[F2_CONTROL].packed = b.streams[F2_CONTROL].unpacked = control;
    b.streams[F2_LITERAL].packed = b.streams[F2_LITERAL].unpacked = literal;
    PutF2BlockHead(head, &b);
    RestoreStartAt(s_end);
    g_restoreOut.crc = 0;
    RestorePut(head, F2_BLOCK_HEAD_SIZE);
    if (commands)
        PutBack(n, r->newLength, BACK_CONTROL, old, &literal);
    PutBack(n, r->newLength, BACK_LITERAL, old, &literal);
    RestorePut(entry, (size_t)b.streams[F2_TABLE].packed);
    unsigned char crc[4];
    PutU32(crc, g_restoreOut.crc);
    RestorePut(crc, sizeof crc);
    return RestoreEndRecord(&s_end, 0);
}

int Restore2Keep(const F2Record* r, const char* target, OldFile* old) {
    // The way back turns r's new side back into its old one. A delta
    // record's old side is its held old file; a whole file's is the file
    // now at target. A target that cannot be opened or read cannot be
    // overwritten either: the record is refused and the restore file stays
    // as it is. It is read for its sums (the table entry comes before its
    // bytes), then its bytes come from the read window, or from the file
    // where it does not fit.
    PatchRecordHead head = {0, 0, r->name, r->nameLen};
    int kind = RecordKind(&head);
    if (kind == RECORD_HELD)
        return PR_OK;
    F2Record back = {kind == RECORD_WHOLE ? F2_KIND_WHOLE : F2_KIND_DELTA,
                     r->name, r->nameLen, r->oldLength, r->oldCrc, r->newLength, r->newCrc};
    size_t n = 0;
    OldFile own;
    if (!old) {
        FileSums sums;
        int read = OpenOldFile(target, SUM_FORMAT2, &own, &sums);
        if (own.file == INVALID_HANDLE_VALUE)
            return PR_NOTWRITTEN;
        if (!read) {
            CloseHandle(own.file);
            return PR_NOTWRITTEN;
        }
        back.newLength = sums.size;
        back.newCrc = sums.crc;
    } else if (kind != RECORD_WHOLE && s_count)
        n = SweepCopies((uint32_t)r->oldLength);
    int result = AddBlock2(&back, old ? old : &own, n);
    if (!old)
        CloseHandle(own.file);
    return result;
}

void Restore2End(void) {
    // A header that cannot be closed still reads as an open container.
    if (g_restore.records)
        WriteHeader2(0);
    RestoreEnd();
}
