// One record carried out in the target folder.
//
// Whatever happens, a target is either left as it was or replaced in one
// step by a complete file: output goes to a temporary "PCH" file in the
// target's own folder, is read back and checked, and only then moved over
// the target. The buffers are fixed and shared by the records of one run;
// only one run happens at a time.
#include "engine/patch.h"
#include "engine/fileio.h"
#include "engine/restore.h"
#include "engine/container.h"
#include "engine/locate.h"

static unsigned char s_outBuffer[FILEIO_CHUNK];

// --- output: grouped into large writes, every write checked whole ---

static int WriteAll(HANDLE file, const unsigned char* bytes, size_t n) {
    while (n) {
        DWORD piece = n > FILEIO_CHUNK ? (DWORD)FILEIO_CHUNK : (DWORD)n;
        DWORD done = 0;
        if (!WriteFile(file, bytes, piece, &done, NULL) || done != piece)
            return 0;
        bytes += piece;
        n -= piece;
    }
    return 1;
}

int OutFlush(OutFile* out) {
    if (!out->used)
        return 1;
    if (!WriteAll(out->file, s_outBuffer, out->used))
        return 0;
    out->written += out->used;
    out->used = 0;
    return 1;
}

int OutWrite(OutFile* out, const unsigned char* bytes, size_t n) {
    while (n) {
        DWORD room = FILEIO_CHUNK - out->used;
        DWORD piece = n < room ? (DWORD)n : room;
        CopyMemory(s_outBuffer + out->used, bytes, piece);
        out->used += piece;
        bytes += piece;
        n -= piece;
        if (out->used == FILEIO_CHUNK && !OutFlush(out))
            return 0;
    }
    return 1;
}

// --- the old file, read through the window ---

// A delta record's old file is read into the read window rather than
// mapped: its sums are taken as it is read in, front to back, and a file
// that fits the window is then wholly there for the copies, which cost a
// memory copy each. Copies outside the window read it again from their own
// offset. No mapping means no first touch of every page a second time, and
// no file too large for a 32-bit address space.
static const uint32_t OLD_READAHEAD = FILEIO_CHUNK;

// Where offset lies outside the window, it is moved there: the old file
// from offset on, at least n bytes of it or as much as the window takes,
// and a little more for the copies that follow on. The caller has checked
// offset + n against size.
const unsigned char* OldBytesAt(OldFile* old, uint64_t offset, uint64_t n, size_t* piece) {
    if (offset < old->start || offset - old->start >= old->have) {
        uint64_t want = n > OLD_READAHEAD ? n : OLD_READAHEAD;
        if (want > FILEIO_WINDOW)
            want = FILEIO_WINDOW;
        if (want > old->size - offset)
            want = old->size - offset;
        old->have = 0;
        if (!ReadAt(old->file, offset, g_window, (DWORD)want))
            return 0;
        old->start = offset;
        old->have = (uint32_t)want;
    }
    *piece = old->have - (size_t)(offset - old->start);
    if (*piece > n)
        *piece = (size_t)n;
    return g_window + (offset - old->start);
}

// --- where a rebuild's bytes come from and go to ---

typedef struct Rebuild {
    OutFile out;
    OldFile* old;
} Rebuild;

static int SinkWrite(void* ctx, const unsigned char* bytes, size_t n) {
    return OutWrite(&((Rebuild*)ctx)->out, bytes, n);
}

static int SinkCopy(void* ctx, uint32_t offset, uint32_t length);
static int PassOn(uint64_t from, uint64_t to, int (*put)(void* ctx, const unsigned char* bytes, size_t n),
                  void* ctx);

// Carries out the bare command stream at at, walked already, into rb: as
// RunCommands, with the literal bytes passed on as the reader holds them.
// PR_OK; PR_BADRESULT when a copy reaches past the old file; PR_NOTWRITTEN
// when the output failed or the container could no longer be read.
static int RunStream(uint64_t at, Rebuild* rb) {
    for (;;) {
        PatchCommand cmd;
        if (BareCommand(0, &at, &cmd) != PR_OK)
            return PR_NOTWRITTEN;
        if (cmd.op == CMD_END)
            return PR_OK;
        // 64-bit sum: offset + length can pass 4 GiB
        if (cmd.op == CMD_COPY && (uint64_t)cmd.offset + cmd.length > rb->old->size)
            return PR_BADRESULT;
        if (!(cmd.op == CMD_COPY ? SinkCopy(rb, cmd.offset, cmd.length)
                                 : PassOn(at - cmd.length, at, SinkWrite, rb)))
            return PR_NOTWRITTEN;
    }
}

static int SinkCopy(void* ctx, uint32_t offset, uint32_t length) {
    Rebuild* rb = (Rebuild*)ctx;
    while (length) {
        size_t piece;
        const unsigned char* p = OldBytesAt(rb->old, offset, length, &piece);
        if (!p || !OutWrite(&rb->out, p, piece))
            return 0;
        offset += (uint32_t)piece;
        length -= (uint32_t)piece;
    }
    return 1;
}

// --- paths ---

// The folder part of path, with its separator, into folder.
static void FolderOf(const char* path, char folder[PATCH_PATH_MAX]) {
    size_t len = FolderPartLength(path, (size_t)lstrlenA(path), LeadByteAcp);
    CopyMemory(folder, path, len);
    folder[len] = 0;
}

// The sub-folders one record made, by the length of each one's path, so
// that a record that fails can take them away again.
// Creates the sub-folders that the name part of target (after dirLen
// bytes) passes through; those that exist already are left alone, those
// made here are noted in made.
void MakeSubFolders(char* target, size_t dirLen, MadeFolders* made) {
    size_t len = (size_t)lstrlenA(target);
    made->count = 0;
    for (size_t i = dirLen; i < len;) {
        size_t step = CharLength(target + i, len - i, LeadByteAcp);
        if (step == 1 && (target[i] == '\\' || target[i] == '/')) {
            char keep = target[i];
            target[i] = 0;
            if (CreateDirectoryA(target, NULL) && made->count < PATCH_PATH_MAX / 2)
                made->ends[made->count++] = (unsigned short)i;
            target[i] = keep;
        }
        i += step;
    }
}

// Removes the sub-folders made for a record that then failed, deepest
// first; one that is no longer empty stays.
void RemoveMadeFolders(char* target, const MadeFolders* made) {
    for (unsigned k = made->count; k-- > 0;) {
        char keep = target[made->ends[k]];
        target[made->ends[k]] = 0;
        RemoveDirectoryA(target);
        target[made->ends[k]] = keep;
    }
}

// Makes what was written to an open file durable before the file takes a
// target's name: after a power loss the target is then either the old file
// or the complete new one, never a name whose bytes never reached the disk.
int CloseDurably(HANDLE file) {
    int flushed = FlushFileBuffers(file);
    return CloseHandle(file) && flushed;
}

// A fresh temporary file in the folder of target, created in one step
// (CREATE_NEW fails rather than reuse a name); its name, "PCH" and four hex
// digits as the platform's own temporary names have, goes to tmp. When a
// deep sub-folder leaves no room for that name, the file is made in the
// target folder itself (the first dirLen bytes of target): the final move
// is then a rename within the same volume, and a path that fits is never
// refused for want of room for a temporary name.
HANDLE CreateTempBeside(const char* target, size_t dirLen, char tmp[PATCH_PATH_MAX]) {
    static unsigned s_next;
    const size_t kNameRoom = 14;  // "PCH", four digits, ".tmp", the 0 byte and a spare
    FolderOf(target, tmp);
    size_t len = (size_t)lstrlenA(tmp);
    if (len > PATCH_PATH_MAX - kNameRoom) {
        len = dirLen;
        CopyMemory(tmp, target, len);
        tmp[len] = 0;
    }
    if (len > PATCH_PATH_MAX - kNameRoom)
        return INVALID_HANDLE_VALUE;
    if (!s_next)
        s_next = GetTickCount() ^ (GetCurrentProcessId() << 4);
    for (unsigned tries = 0; tries < 0x10000; tries++) {
        wsprintfA(tmp + len, "PCH%04X.tmp", s_next++ & 0xFFFF);
        HANDLE file = CreateFileA(tmp, GENERIC_READ | GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
        if (file != INVALID_HANDLE_VALUE)
            return file;
        DWORD err = GetLastError();
        if (err != ERROR_FILE_EXISTS && err != ERROR_ALREADY_EXISTS)
            break;
    }
    tmp[0] = 0;
    return INVALID_HANDLE_VALUE;
}

// Puts the finished temporary file over an existing target in one step.
// A read-only target is refused here: some file systems (and wine) would
// replace it anyway. On failure the temporary file is deleted.
int ReplaceTarget(const char* tmp, const char* target) {
    DWORD attr = GetFileAttributesA(target);
    if ((attr != INVALID_FILE_ATTRIBUTES && (attr & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY))) ||
        !MoveFileExA(tmp, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileA(tmp);
        return PR_NOTWRITTEN;
    }
    return PR_OK;
}

// --- whole-file records ---

int PassOver(const RecordWay* way, int result) {
    return way->make(way->ctx, 0, 0, 0, 0) == PR_BADDATA ? PR_BADDATA : result;
}

int ApplyWhole(const char* targetDir, const char* name, uint32_t nameLen, const PatchHost* host,
               const RecordWay* way) {
    char target[PATCH_PATH_MAX];
    char tmp[PATCH_PATH_MAX];
    if (!JoinPath(target, targetDir, name, nameLen))
        return PassOver(way, PR_NOTWRITTEN);
    size_t dirLen = (size_t)lstrlenA(targetDir);
    MadeFolders made;
    MakeSubFolders(target, dirLen, &made);
    int result = way->make(way->ctx, 0, target, dirLen, tmp);
    // The content is complete on disk before it takes the target's name
    // (as MoveFileA would move it: copied when the target folder lies on
    // another volume).
    if (result != PR_OK)
        ;
    else if (MoveFileExA(tmp, target, MOVEFILE_COPY_ALLOWED))
        RestoreNoteCreated();
    else {
        DWORD err = GetLastError();
        DWORD attr = GetFileAttributesA(target);
        int exists = (err == ERROR_ALREADY_EXISTS || err == ERROR_FILE_EXISTS) &&
                     attr != INVALID_FILE_ATTRIBUTES && !(attr & FILE_ATTRIBUTE_DIRECTORY);
        if (!exists)
            result = PR_NOTWRITTEN;
        // the question takes the name as the container holds it, with a 0
        // byte: the target's path past the folder
        else if (!host || !host->askOverwrite || !host->askOverwrite(host->ctx, target + dirLen))
            result = PR_SKIPPED;
        // the way back is on disk before the old content goes
        else if (RestoreActive() && way->keepOld(way->ctx, target, 0) != PR_OK)
            result = PR_NOTWRITTEN;
        else if ((result = ReplaceTarget(tmp, target)) == PR_OK)
            return PR_OVERWRITTEN;
        DeleteFileA(tmp);  // (gone already when the replacement failed)
    }
    if (result != PR_OK)
        RemoveMadeFolders(target, &made);
    return result;
}

// Hands the container's bytes [from, to) to put a piece at a time, as the
// bare reader holds them. 1, or 0 when a read or put failed.
static int PassOn(uint64_t from, uint64_t to, int (*put)(void* ctx, const unsigned char* bytes, size_t n),
                  void* ctx) {
    while (from < to) {
        uint32_t held;
        const unsigned char* p = BareHold(from, 1, &held);
        if (!p)
            return 0;
        if (held > to - from)
            held = (uint32_t)(to - from);
        if (!put(ctx, p, held))
            return 0;
        from += held;
    }
    return 1;
}

// A bare record on its way: a whole file's temporary file as it is
// written and the sum of its content, or a delta record's stream and the
// size of the file it made, for the restore file.
typedef struct BareWay {
    const BareRecord* r;
    HANDLE file;
    XorSumState sum;
    uint64_t newSize;
    const TargetSides* sides;
} BareWay;

static int PutWhole(void* ctx, const unsigned char* bytes, size_t n) {
    BareWay* w = (BareWay*)ctx;
    XorSumAdd(&w->sum, bytes, n);
    return WriteAll(w->file, bytes, n);
}

// Makes the bare record's new file in a temporary file beside target: a
// whole file's content as it is, a delta record's rebuilt from old (and
// read back and checked, with sides). The container needs nothing passed
// over: its reader goes to a record's start itself.
static int MakeBare(void* ctx, OldFile* old, const char* target, size_t dirLen, char tmp[PATCH_PATH_MAX]) {
    BareWay* w = (BareWay*)ctx;
    if (!target)
        return PR_NOTWRITTEN;
    HANDLE file = CreateTempBeside(target, dirLen, tmp);
    if (file == INVALID_HANDLE_VALUE)
        return PR_NOTWRITTEN;
    if (old) {
        Rebuild rb;
        rb.old = old;
        rb.out.used = 0;
        rb.out.written = 0;
        rb.out.file = file;
        int result = FinishTemp(RunStream(w->r->body, &rb), &rb.out, w->sides, tmp, old);
        w->newSize = rb.out.written;
        return result;
    }
    w->file = file;
    XorSumBegin(&w->sum);
    int written = PassOn(w->r->body, w->r->body + w->r->length, PutWhole, w);
    if (CloseDurably(file) && written)
        return PR_OK;
    DeleteFileA(tmp);
    return PR_NOTWRITTEN;
}

// The bare record's way back: a delta record's from its forward stream
// (for a new file under 4 GiB), a whole file's from the file at target.
static int KeepBare(void* ctx, const char* target, OldFile* old) {
    BareWay* w = (BareWay*)ctx;
    if (old && w->newSize > 0xFFFFFFFF)
        return PR_NOTWRITTEN;
    return RestoreKeep(&w->r->head, target, old, w->r->body, old ? 0 : XorSumEnd(&w->sum));
}

// --- delta records ---

int FinishTemp(int result, OutFile* out, const TargetSides* sides, const char* tmp, OldFile* old) {
    if (result == PR_OK && (!OutFlush(out) || !FlushFileBuffers(out->file)))
        result = PR_NOTWRITTEN;
    if (result == PR_OK) {
        // Read back what reached the file, not what was meant to, through
        // the same handle (no one else can open it meanwhile); the length
        // and CRC-32 are checked in the same read where the record has them.
        // It is read through the window's last piece only: the old file's
        // bytes in front of it serve the restore file's old bytes.
        FileSums sums;
        if (old && old->have > FILEIO_WINDOW - FILEIO_CHUNK)
            old->have = FILEIO_WINDOW - FILEIO_CHUNK;
        if (!SumOpenFile(out->file, sides->how | SUM_WINDOW_END, &sums, 0) || sums.size != out->written)
            result = PR_NOTWRITTEN;
        else if (!SideMatches(&sums, sides, 1))
            result = PR_BADRESULT;
    }
    if (!CloseHandle(out->file) && result == PR_OK)
        result = PR_NOTWRITTEN;
    if (result != PR_OK)
        DeleteFileA(tmp);
    return result;
}

int ApplyDeltaTo(const char* targetDir, const char* name, uint32_t nameLen, const TargetSides* sides,
                 PatchRecordNote* note, const RecordWay* way) {
    char target[PATCH_PATH_MAX];
    char tmp[PATCH_PATH_MAX];
    OldFile old;
    int result = OpenOldTarget(targetDir, name, nameLen, sides, &old, target, &note->upToDate);
    if (result != PR_OK)
        return PassOver(way, result);
    result = way->make(way->ctx, &old, target, (size_t)lstrlenA(targetDir), tmp);
    // the way back is on disk before the target is replaced
    if (result == PR_OK && RestoreActive() && way->keepOld(way->ctx, target, &old) != PR_OK) {
        DeleteFileA(tmp);
        result = PR_NOTWRITTEN;
    }
    CloseHandle(old.file);  // the target must be closed before it is replaced
    if (result == PR_OK)
        result = ReplaceTarget(tmp, target);
    return result;
}

void BareSides(const PatchRecordHead* head, const TrailerEntry* strong, TargetSides* sides) {
    ZeroMemory(sides, sizeof *sides);
    sides->oldSum = head->oldSum;
    sides->newSum = head->newSum;
    if (!strong)
        return;
    sides->how = SUM_CRC;
    sides->oldLength = strong->oldLength;
    sides->newLength = strong->newLength;
    sides->oldCrc = strong->oldCrc;
    sides->newCrc = strong->newCrc;
}

int ApplyBareRead(const BareRecord* r, int read, const TargetSides* sides, const char* targetDir,
                  const PatchHost* host, PatchRecordNote* note) {
    PatchRecordNote scratch;
    if (!note)
        note = &scratch;
    note->upToDate = 0;
    note->head = r->head;  // name 0 when the head itself was bad
    g_lastResult = PR_OK;
    // A name that could reach outside the folder is bad data, not a file
    // to skip: a writer that makes one is not to be trusted. A delta
    // record's stream was walked with it: a bad or truncated stream is a
    // data error before anything is touched.
    BareWay w;
    w.r = r;
    w.sides = sides;
    RecordWay way = {MakeBare, KeepBare, &w};
    int result = read;
    if (result == PR_OK)
        result = r->whole ? ApplyWhole(targetDir, r->head.name, r->head.nameLen, host, &way)
                          : ApplyDeltaTo(targetDir, r->head.name, r->head.nameLen, sides, note, &way);
    g_lastResult = result;
    return result;
}

int ApplyBareRecord(uint64_t* at, const char* targetDir, const PatchHost* host, const TrailerEntry* strong,
                    PatchRecordNote* note) {
    BareRecord r;
    int read = BareReadRecord(at, &r);
    TargetSides sides;
    BareSides(&r.head, strong, &sides);
    return ApplyBareRead(&r, read, &sides, targetDir, host, note);
}

int WalkBare(unsigned count, const PatchTrailer* t, BareVisit visit, void* ctx, uint64_t* end) {
    uint64_t at = CONTAINER_HEADER_SIZE;
    for (unsigned i = 0; i < count; i++) {
        BareRecord r;
        int read = BareReadRecord(&at, &r);
        TrailerEntry entry;
        if (t)
            GetTrailerEntry(t, i, &entry);
        TargetSides sides;
        BareSides(&r.head, t ? &entry : NULL, &sides);
        int result = visit(ctx, i, &r, read, &sides);
        if (result != PR_OK)
            return result;
    }
    *end = at;
    return PR_OK;
}

int ApplyRecord(PatchCursor* cursor, const char* targetDir, const PatchHost* host, const TrailerEntry* strong,
                PatchRecordNote* note) {
    PatchContainer rest = {cursor->pos, INVALID_HANDLE_VALUE, 0, CursorLeft(cursor)};
    uint64_t at = 0;
    BareBegin(&rest);
    int result = ApplyBareRecord(&at, targetDir, host, strong, note);
    cursor->pos += at;
    return result;
}
