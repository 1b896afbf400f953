// The restore file of a run: a patch of our own format that turns every
// target the run replaces back into its old bytes. It is the applier's own
// leading bytes and a container whose records are appended one by one; the
// container's record count is raised only once a record is complete on
// disk, so a reader never sees more records than are whole, whatever
// moment the run is killed at. Writes are positioned (no file pointer to
// keep) and grouped into 64 KB pieces in a fixed buffer. Positions are 32
// bits: the applier maps its whole file, so a restore file of 4 GB or more
// could never run, and making one fails instead.
//
// The restore file is applied in order, one record after another, so a
// target that the run replaces twice (v1, then v2, then v3) cannot be
// given back by two reverse records (v2 to v1, then v3 to v2): the first
// of them would meet v3. It gets one record instead, made at its first
// replacement and holding v1 whole: a whole file takes the target's place
// whatever stands there (after the overwrite question), so no later
// replacement needs to touch the restore file, and a kill at any moment
// still leaves it right.
#include "engine/restore.h"
#include "engine/fileio.h"
#include "engine/container.h"
#include "core/pe.h"
#include "core/reverse.h"

PatchRestoreState g_restore;

enum { RESTORE_COPIES = 4096 };  // forward copies sorted at once; more cost extra reads

RestoreOut g_restoreOut;
static unsigned char s_buffer[FILEIO_CHUNK];  // the writer's, for either form
static DWORD s_count;            // file offset of the container's record count
static uint64_t s_end;           // end of the last complete record
static ReverseCopy s_copies[RESTORE_COPIES];

// Every record's target, as the check noted it; RestoreBegin sorts them so
// that the names of one target stand together. Such a group of two or
// more is known by the index it starts at. A name is kept as a 64-bit hash
// of the name as the file system compares it and of its length: a format-2
// container is read through a window, so its names do not stay in memory.
static uint64_t s_targets[CONTAINER_MAX_RECORDS];
static unsigned s_noted;
enum { NO_GROUP = CONTAINER_MAX_RECORDS };  // a slot of s_held that no group uses
static unsigned char s_held[NO_GROUP + 1];  // by group: its record is in
static unsigned s_group;                    // of the record being made, or NO_GROUP


// A byte of a name as the file system compares it, unless it trails a
// double-byte character: ASCII letters without case, either separator.
static unsigned Folded(unsigned c) {
    if (c >= 'a' && c <= 'z')
        return c - ('a' - 'A');
    return c == '/' ? '\\' : c;
}

// The hash of a name as the file system compares it and of its length
// (FNV-1a over its folded bytes, from a basis that holds the length). A
// trail byte is taken as it is: it can
// be an ASCII letter that is not that letter.
static uint64_t TargetHash(const char* name, uint32_t len) {
    uint64_t h = 0xCBF29CE484222325ull ^ len;
    int trail = 0;
    for (uint32_t i = 0; i < len; i++) {
        unsigned c = (unsigned char)name[i];
        if (!trail)
            c = Folded(c);
        h = (h ^ c) * 0x100000001B3ull;
        trail = !trail && IsDBCSLeadByte((BYTE)c);
    }
    return h;
}

// Shell sort: no heap, and a few million comparisons at the most records.
static void SortTargets(void) {
    for (unsigned gap = s_noted / 2; gap; gap = gap == 2 ? 1 : gap * 5 / 11)
        for (unsigned i = gap; i < s_noted; i++) {
            uint64_t t = s_targets[i];
            unsigned j = i;
            for (; j >= gap && s_targets[j - gap] > t; j -= gap)
                s_targets[j] = s_targets[j - gap];
            s_targets[j] = t;
        }
}

// Finds head's target among the noted ones and says how its record is
// made; s_group is its group when it is named more than once.
int RecordKind(const PatchRecordHead* head) {
    uint64_t key = TargetHash(head->name, head->nameLen);
    unsigned lo = 0, hi = s_noted;
    while (lo < hi) {
        unsigned mid = lo + (hi - lo) / 2;
        if (s_targets[mid] < key)
            lo = mid + 1;
        else
            hi = mid;
    }
    s_group = NO_GROUP;
    if (lo + 1 >= s_noted || s_targets[lo + 1] != key)
        return RECORD_STREAM;
    s_group = lo;
    return s_held[lo] ? RECORD_HELD : RECORD_WHOLE;
}

void RestorePrepareTargets(unsigned records) {
    s_noted = records;
    SortTargets();
    ZeroMemory(s_held, sizeof s_held);
}

// index is below the container's record count, a 16-bit number
void RestoreNoteTarget(unsigned index, const PatchRecordHead* head) {
    s_targets[index] = TargetHash(head->name, head->nameLen);
}

int RestoreWriteAt(HANDLE file, uint64_t pos, const void* bytes, DWORD n) {
    OVERLAPPED at;
    ZeroMemory(&at, sizeof at);
    at.Offset = (DWORD)pos;
    at.OffsetHigh = (DWORD)(pos >> 32);
    DWORD done = 0;
    return WriteFile(file, bytes, n, &done, &at) && done == n;
}

int RestoreWriteFlushed(uint64_t pos, const void* bytes, DWORD n) {
    return RestoreWriteAt(g_restoreOut.file, pos, bytes, n) && FlushFileBuffers(g_restoreOut.file);
}

void RestoreStartAt(uint64_t pos) {
    g_restoreOut.pos = pos;
    g_restoreOut.used = 0;
    g_restoreOut.ok = g_restore.state == RESTORE_MADE;
}

void RestoreDrain(void) {
    RestoreOut* o = &g_restoreOut;
    if (o->pos + o->used > o->limit || (o->used && o->ok && !RestoreWriteAt(o->file, o->pos, s_buffer, o->used)))
        o->ok = 0;
    o->pos += o->used;
    o->used = 0;
}

void RestorePut(const void* bytes, size_t n) {
    const unsigned char* b = (const unsigned char*)bytes;
    if (g_restoreOut.withCrc)
        g_restoreOut.crc = Crc32Update(g_restoreOut.crc, b, n);
    while (n && g_restoreOut.ok) {
        DWORD piece = FILEIO_CHUNK - g_restoreOut.used;
        if (piece > n)
            piece = (DWORD)n;
        CopyMemory(s_buffer + g_restoreOut.used, b, piece);
        g_restoreOut.used += piece;
        b += piece;
        n -= piece;
        if (g_restoreOut.used == FILEIO_CHUNK)
            RestoreDrain();
    }
}

int RestoreEndRecord(uint64_t* end, int counted) {
    unsigned char count[2];
    PutU16(count, (uint16_t)(g_restore.records + 1));
    RestoreDrain();
    if (g_restoreOut.ok && FlushFileBuffers(g_restoreOut.file) &&
        (!counted || RestoreWriteFlushed(s_count, count, 2))) {
        g_restore.records++;
        *end = g_restoreOut.pos;
        s_held[s_group] = 1;  // (a spare slot when the target is named once)
        return PR_OK;
    }
    // What the failed record wrote goes: on a full disk the way back needs
    // that room to rebuild its files.
    LARGE_INTEGER keep;
    keep.QuadPart = (LONGLONG)*end;
    if (SetFilePointerEx(g_restoreOut.file, keep, NULL, FILE_BEGIN))
        SetEndOfFile(g_restoreOut.file);
    g_restore.state = RESTORE_FAILED;
    return PR_NOTWRITTEN;
}

int RestoreActive(void) {
    return g_restoreOut.file != 0;
}

// Creates the file under the first free name: base.exe, base(2).exe, ...
// up to base(99).exe. Any failure moves on to the next name: a folder that
// refuses one refuses them all.
static HANDLE CreateFree(const PatchRestore* restore, char* path) {
    // room for "(99).exe" and the 0 byte
    if (lstrlenA(restore->folder) + lstrlenA(restore->baseName) <= PATCH_PATH_MAX - 9)
        for (unsigned n = 1; n < 100; n++) {
            wsprintfA(path, n > 1 ? "%s%s(%u).exe" : "%s%s.exe", restore->folder, restore->baseName, n);
            HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
            if (file != INVALID_HANDLE_VALUE)
                return file;
        }
    return INVALID_HANDLE_VALUE;
}

int RestoreOpen(const PatchRestore* restore, unsigned records, uint64_t limit, int withCrc,
                int (*header)(uint64_t base)) {
    static const unsigned char kNone[8] = {0};
    RestorePrepareTargets(records);
    g_restore.state = RESTORE_FAILED;
    HANDLE file = CreateFree(restore, g_restore.path);
    if (file == INVALID_HANDLE_VALUE) {
        g_restore.path[0] = 0;
        return PR_NOTWRITTEN;
    }
    g_restoreOut.file = file;
    g_restoreOut.limit = limit;
    g_restoreOut.withCrc = withCrc;
    // A signed applier's header names its certificate table, which the
    // copy does not have: a reader would take the table's place for the
    // container's end.
    size_t security = PeSecurityEntry(restore->stub, restore->stubSize);
    if (RestoreWriteAt(file, 0, restore->stub, (DWORD)restore->stubSize) &&
        (!security || RestoreWriteAt(file, security, kNone, 8)) && header(restore->stubSize)) {
        g_restore.state = RESTORE_MADE;
        return PR_OK;
    }
    RestoreEnd();
    return PR_NOTWRITTEN;
}

// The bare container's header, with no records yet.
static int WriteHeader(uint64_t base) {
    static const unsigned char kNone[CONTAINER_HEADER_SIZE] = {0};
    s_count = (DWORD)base;
    s_end = base + CONTAINER_HEADER_SIZE;
    return RestoreWriteFlushed(s_count, kNone, CONTAINER_HEADER_SIZE);
}

int RestoreBegin(const PatchRestore* restore, unsigned records) {
    // a bare restore file's positions are 32 bits
    return RestoreOpen(restore, records, 0xFFFFFFFF, 0, WriteHeader);
}

// Starts a record at the end of the last complete one.
static void BeginRecord(uint32_t oldSum, uint32_t newSum, const PatchRecordHead* head) {
    unsigned char sums[RECORD_SUMS_SIZE];
    PutU32(sums, oldSum);
    PutU32(sums + 4, newSum);
    RestoreStartAt(s_end);
    RestorePut(sums, sizeof sums);
    RestorePut(head->name, head->nameLen + 1);  // with its 0 byte
}

// Ends a command stream.
static void PutEnd(void) {
    static const unsigned char kEnd[CMD_END_SIZE] = {CMD_END};
    RestorePut(kEnd, sizeof kEnd);
}

void RestorePutOld(OldFile* old, uint64_t offset, uint64_t n) {
    while (n && g_restoreOut.ok) {
        size_t piece;
        const unsigned char* p = OldBytesAt(old, offset, n, &piece);
        if (!p) {
            g_restoreOut.ok = 0;
            break;
        }
        RestorePut(p, piece);
        offset += piece;
        n -= piece;
    }
}

// A reverse command: a copy of the new file, or old bytes read from the
// old file (ctx).
static int EmitReverse(void* ctx, unsigned op, uint32_t from, uint32_t length) {
    unsigned char cmd[CMD_COPY_SIZE];
    if (op == CMD_COPY) {
        RestorePut(cmd, PutCopyCommand(cmd, length, from));
        return g_restoreOut.ok;
    }
    RestorePut(cmd, PutInsertHead(cmd, length));
    RestorePutOld((OldFile*)ctx, from, length);
    return g_restoreOut.ok;
}

// Puts a body holding the old file whole: a whole-file body, or (kind
// RECORD_STREAM) a stream of one insert.
static void PutOldFile(OldFile* old, int kind) {
    unsigned char head[CMD_INSERT_HEAD_SIZE];
    PutInsertHead(head, (uint32_t)old->size);
    if (kind == RECORD_WHOLE)
        head[0] = REC_WHOLEFILE;  // a whole-file body's head has the same shape
    RestorePut(head, sizeof head);
    RestorePutOld(old, 0, old->size);
    if (kind == RECORD_STREAM)
        PutEnd();
}

int RestoreKeep(const PatchRecordHead* head, const char* target, OldFile* old, uint64_t stream, uint32_t newSum) {
    int kind = RecordKind(head);
    if (kind == RECORD_HELD)
        return PR_OK;
    uint32_t oldSum = head->oldSum;
    OldFile own;
    own.file = 0;
    int read = 1;
    if (!old) {
        // A target that cannot be opened cannot be overwritten either:
        // the record is refused, and the restore file stays as it is. The
        // file is read twice, for its checksum, which the record's head
        // holds, then for its bytes (from the read window where it fits).
        FileSums sums;
        read = OpenOldFile(target, 0, &own, &sums);
        if (own.file == INVALID_HANDLE_VALUE)
            return PR_NOTWRITTEN;
        old = &own;
        oldSum = sums.sum;
        read = read && sums.size <= 0xFFFFFFFF;
    } else
        newSum = head->newSum;
    BeginRecord(newSum, oldSum, head);
    g_restoreOut.ok &= read;
    if (own.file || kind == RECORD_WHOLE)
        PutOldFile(old, kind);
    else {
        ReverseSink sink = {EmitReverse, old};
        CommandSource forward = {BareCommand, 0, stream};
        if (ReverseCommandsFrom(&forward, (uint32_t)old->size, s_copies, RESTORE_COPIES, &sink) != PR_OK)
            g_restoreOut.ok = 0;
        PutEnd();
    }
    if (own.file)
        CloseHandle(own.file);
    return RestoreEndRecord(&s_end, 1);  // on disk and counted before the target is replaced
}

void RestoreNoteCreated(void) {
    g_restore.created++;
}

void RestoreCloseFile(HANDLE file) {
    CloseHandle(file);
    if (g_restore.records)
        return;
    DeleteFileA(g_restore.path);
    g_restore.path[0] = 0;
    if (g_restore.state == RESTORE_MADE)
        g_restore.state = RESTORE_NONE;
}

void RestoreEnd(void) {
    if (!g_restoreOut.file)
        return;
    RestoreCloseFile(g_restoreOut.file);
    g_restoreOut.file = 0;
}
