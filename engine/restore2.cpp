// The restore file of a format-2 run: the applier's own leading bytes, then
// a format-2 container (docs/format.md, "Open containers") that grows by one
// block per replaced target. Each block holds one record with stored streams
// and its own CRC-32 and is flushed once, before its target is replaced; the
// header stays open (no count, no length) until the run ends. A run killed
// at any moment so leaves a file whose complete blocks a reader takes and
// whose torn last block it passes over, with no second flush per record to
// keep a count right. A target the run replaces more than once gets one
// whole-file record, at its first replacement, as in the bare form's
// restore file (engine/restore.cpp says why). Positions are 64 bits: the format's files may be
// larger than 4 GiB.
#include "engine/patch2.h"
#include "engine/fileio.h"
#include "engine/restore.h"
#include "core/pe.h"

static HANDLE s_file;   // 0 when no format-2 restore file is open
static uint64_t s_base; // file offset of the container's header
static uint64_t s_end;  // end of the last complete block
static uint32_t s_crc;  // of the block's bytes so far
static unsigned char s_buffer[FILEIO_CHUNK];

static int WriteAt2(uint64_t pos, const void* bytes, DWORD n) {
    OVERLAPPED at;
    ZeroMemory(&at, sizeof at);
    at.Offset = (DWORD)pos;
    at.OffsetHigh = (DWORD)(pos >> 32);
    DWORD done = 0;
    return WriteFile(s_file, bytes, n, &done, &at) && done == n;
}

// Writes a piece of a block at *pos and moves past it, counting it into
// the block's CRC. 1, or 0 when the write failed.
static int Put2(uint64_t* pos, const unsigned char* bytes, DWORD n) {
    s_crc = Crc32Update(s_crc, bytes, n);
    if (!WriteAt2(*pos, bytes, n))
        return 0;
    *pos += n;
    return 1;
}

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
    return WriteAt2(s_base, bytes, F2_HEADER_SIZE) && FlushFileBuffers(s_file);
}

int Restore2Active(void) {
    return s_file != 0;
}

int Restore2Begin(const PatchRestore* restore) {
    static const unsigned char kNone[8] = {0};
    RestorePrepareTargets(g_check.count);
    g_restore.state = RESTORE_FAILED;
    HANDLE file = CreateFree(restore, g_restore.path);
    if (file == INVALID_HANDLE_VALUE) {
        g_restore.path[0] = 0;
        return PR_NOTWRITTEN;
    }
    s_file = file;
    s_base = restore->stubSize;
    s_end = s_base + F2_HEADER_SIZE;
    // A signed applier's header names its certificate table, which the
    // copy does not have: a reader would take the table's place for the
    // container's end.
    size_t security = PeSecurityEntry(restore->stub, restore->stubSize);
    if (WriteAt2(0, restore->stub, (DWORD)restore->stubSize) && (!security || WriteAt2(security, kNone, 8)) &&
        WriteHeader2(1)) {
        g_restore.state = RESTORE_MADE;
        return PR_OK;
    }
    Restore2End();
    return PR_NOTWRITTEN;
}

// Appends one block whose only record is r: a whole file, or a delta
// record with one command (no seek, no copy, and all r->newLength bytes
// from the literal stream), its bytes read from the open file from. Flushed once; on failure what it
// wrote is taken away again (on a full disk the way back needs that room)
// and the state is RESTORE_FAILED.
static int AddBlock2(const F2Record* r, HANDLE from) {
    // the head, the table entry and the command go out in one write
    unsigned char crc[4];
    F2BlockHead b;
    ZeroMemory(&b, sizeof b);
    b.count = 1;
    b.tableLength = (uint32_t)PutF2Record(s_buffer + F2_BLOCK_HEAD_SIZE, r);
    DWORD n = F2_BLOCK_HEAD_SIZE + b.tableLength;
    if (r->kind == F2_KIND_DELTA && r->newLength) {  // a record of no bytes has no command
        F2Command c = {0, 0, 0, r->newLength};
        b.streams[F2_CONTROL].packed = b.streams[F2_CONTROL].unpacked = PutF2Command(s_buffer + n, &c);
        n += (DWORD)b.streams[F2_CONTROL].packed;
    }
    b.streams[F2_LITERAL].packed = b.streams[F2_LITERAL].unpacked = r->newLength;
    PutF2BlockHead(s_buffer, &b);
    uint64_t pos = s_end;
    s_crc = 0;
    int ok = g_restore.state == RESTORE_MADE && Put2(&pos, s_buffer, n);
    for (uint64_t at = 0; ok && at < r->newLength; at += n) {
        n = r->newLength - at < sizeof s_buffer ? (DWORD)(r->newLength - at) : (DWORD)sizeof s_buffer;
        ok = ReadAt(from, at, s_buffer, n) && Put2(&pos, s_buffer, n);
    }
    PutU32(crc, s_crc);
    if (ok && Put2(&pos, crc, sizeof crc) && FlushFileBuffers(s_file)) {
        if (r->kind == F2_KIND_WHOLE)
            RestoreHoldTarget();
        g_restore.records++;
        s_end = pos;
        return PR_OK;
    }
    LARGE_INTEGER keep;
    keep.QuadPart = (LONGLONG)s_end;
    if (SetFilePointerEx(s_file, keep, NULL, FILE_BEGIN))
        SetEndOfFile(s_file);
    g_restore.state = RESTORE_FAILED;
    return PR_NOTWRITTEN;
}

// How r's target comes back: RECORD_STREAM, RECORD_WHOLE or RECORD_HELD.
static int Kind2(const F2Record* r) {
    PatchRecordHead head = {r->oldSum, r->newSum, r->name, r->nameLen};
    return RecordKind(&head);
}

int Restore2AddDelta(const F2Record* r, HANDLE old) {
    // the way back: from the rebuilt file (the old side) to the old one
    int kind = Kind2(r);
    F2Record back = {kind == RECORD_WHOLE ? F2_KIND_WHOLE : F2_KIND_DELTA,
                     r->name, r->nameLen, r->oldLength, r->oldSum, r->oldCrc, r->newLength, r->newSum, r->newCrc};
    return kind == RECORD_HELD ? PR_OK : AddBlock2(&back, old);
}

int Restore2AddWhole(const F2Record* r, const char* target) {
    // A target that cannot be opened or read cannot be overwritten either:
    // the record is refused and the restore file stays as it is. It is read
    // twice, for its sums (the table entry comes before its bytes), then for
    // its bytes; held without sharing, it cannot change between.
    int kind = Kind2(r);
    if (kind == RECORD_HELD)
        return PR_OK;
    HANDLE old = CreateFileA(target, GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (old == INVALID_HANDLE_VALUE)
        return PR_NOTWRITTEN;
    FileSums sums;
    int result = PR_NOTWRITTEN;
    if (SumOpenFile(old, SUM_CRC | SUM_ANY_SIZE, &sums, 0)) {
        F2Record back = {kind == RECORD_WHOLE ? F2_KIND_WHOLE : F2_KIND_DELTA,
                         r->name, r->nameLen, sums.size, sums.sum, sums.crc, r->newLength, r->newSum, r->newCrc};
        result = AddBlock2(&back, old);
    }
    CloseHandle(old);
    return result;
}

void Restore2End(void) {
    if (!s_file)
        return;
    // A header that cannot be closed still reads as an open container.
    if (g_restore.records)
        WriteHeader2(0);
    RestoreCloseFile(s_file);
    s_file = 0;
}
