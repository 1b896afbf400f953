// A container read through fixed buffers instead of a mapping: a 32-bit
// applier has no room to map a container of a few GB. A format-2
// container is read front to back, block by block and stream by stream,
// and a bare one record by record, so a few small buffers serve either
// whatever its size.
#include "engine/container.h"
#include "engine/fileio.h"
#include "engine/locate.h"
#include "core/names.h"

// Zero, not CONTAINER_PIECE_MAX, so that it costs the applier no section
// of initialised data.
uint32_t g_containerPiece;

// The packed bytes of one stream, brought in piece by piece.
typedef struct Stream {
    const PatchContainer* container;
    uint64_t next;  // container offset of the first byte not brought in yet
    uint64_t left;  // packed bytes not brought in yet
} Stream;

static Stream s_streams[F2_STREAMS];
static unsigned char s_buffers[F2_STREAMS][CONTAINER_PIECE_MAX];
static unsigned char s_piece[CONTAINER_PIECE_MAX];

// How many bytes a read of up to n brings in.
static size_t Piece(uint64_t n) {
    size_t piece = g_containerPiece ? g_containerPiece : (uint32_t)CONTAINER_PIECE_MAX;
    return n < piece ? (size_t)n : piece;
}

int ContainerRead(const PatchContainer* c, uint64_t offset, unsigned char* to, size_t n) {
    if (offset > c->size || n > c->size - offset)
        return 0;
    if (c->bytes) {
        CopyMemory(to, c->bytes + offset, n);
        return 1;
    }
    return ReadAt(c->file, c->offset + offset, to, (DWORD)n);
}

int ContainerIsFormat2(const PatchContainer* c) {
    unsigned char head[F2_HEADER_SIZE];
    return ContainerRead(c, 0, head, sizeof head) && IsFormat2(head, sizeof head);
}

int ContainerHeader2(const PatchContainer* c, F2Header* h) {
    unsigned char head[F2_HEADER_SIZE];
    return ContainerRead(c, 0, head, sizeof head) && F2ReadHeader(head, sizeof head, h) == PR_OK;
}

int ContainerCrc(const PatchContainer* c, uint64_t offset, uint64_t n, uint32_t* crc) {
    while (n) {
        size_t piece = Piece(n);
        if (!ContainerRead(c, offset, s_piece, piece))
            return 0;
        *crc = Crc32Update(*crc, s_piece, piece);
        offset += piece;
        n -= piece;
    }
    return 1;
}

int ContainerBlockHead(const PatchContainer* c, uint64_t offset, uint64_t end, F2BlockHead* b) {
    unsigned char head[F2_BLOCK_HEAD_SIZE];
    if (offset > end || end - offset < F2_BLOCK_HEAD_SIZE || !ContainerRead(c, offset, head, sizeof head))
        return PR_BADDATA;
    return F2ReadBlockHead(head, end - offset, b);
}

// Brings the stream's next piece into its buffer; 0 once its packed bytes
// are used up (the reader then has a stream that needs more than it holds)
// or when the read fails.
static int Refill(LzmaInput* in) {
    Stream* s = (Stream*)in->ctx;
    unsigned char* buffer = s_buffers[s - s_streams];
    size_t n = Piece(s->left);
    if (!n || !ContainerRead(s->container, s->next, buffer, n))
        return 0;
    s->next += n;
    s->left -= n;
    in->pos = buffer;
    in->end = buffer + n;
    return 1;
}

void ContainerInput(unsigned i, const PatchContainer* c, uint64_t offset, uint64_t packed, LzmaInput* in) {
    Stream* s = &s_streams[i];
    s->container = c;
    s->next = offset;
    s->left = packed;
    in->pos = s_buffers[i];
    in->end = s_buffers[i];
    in->refill = Refill;
    in->ctx = s;
}

// Every LZMA dictionary of a block is carved from this one buffer. The
// applier asks for no memory at run time.
static unsigned char s_arena[F2_MEMORY_MAX];
static LzmaDecoder s_lzma[F2_STREAMS];

// The dictionary an LZMA stream decodes into: its dictionary size, or
// its unpacked length when that is less; 0 for a stored stream. A
// dictionary is at most F2_MEMORY_MAX bytes, so a block's four sum in 32
// bits.
static uint32_t StreamMemory(const F2StreamHead* s) {
    if (s->method != F2_LZMA)
        return 0;
    return s->dictSize < s->unpacked ? s->dictSize : (uint32_t)s->unpacked;
}

// Starts src on stream i of the block at offset whose head is b: its
// packed bytes come through a buffer of its own, and an LZMA stream is
// decoded into a dictionary buffer carved from the arena at *carved,
// which then moves past it (each block starts at 0). PR_OK, or PR_BADDATA
// when the stream does not begin or the arena has no room left.
static int ContainerSource(const PatchContainer* c, uint64_t offset, const F2BlockHead* b, unsigned i,
                           F2Source* src, uint32_t* carved) {
    const F2StreamHead* s = &b->streams[i];
    LzmaInput in;
    ContainerInput(i, c, offset + b->streamOffset[i], s->packed, &in);
    uint32_t need = StreamMemory(s);
    if (need > F2_MEMORY_MAX - *carved ||
        F2SourceBegin(src, s, &s_lzma[i], s_arena + *carved, need, &in) != PR_OK)
        return PR_BADDATA;
    *carved += need;
    return PR_OK;
}

// The CRC-32 of any bytes followed by their own CRC-32, little-endian.
static const uint32_t CRC32_RESIDUE = 0x2144DF1C;

int WalkF2(F2Walk* w) {
    const PatchContainer* c = w->c;
    unsigned flags = w->flags;
    w->done = 0;
    for (uint64_t at = F2_HEADER_SIZE; w->limit != ~0u ? w->done < w->limit : at < w->end;) {
        F2BlockHead b;
        uint32_t crc = 0;
        // A block followed by its own CRC (little-endian) has the CRC-32
        // residue as the CRC of both: that, for any block, only when the
        // stored CRC is the block's.
        if (ContainerBlockHead(c, at, w->end, &b) != PR_OK ||
            ((flags & F2W_CRC) && !(ContainerCrc(c, at, b.size, &crc) && crc == CRC32_RESIDUE))) {
            if (flags & F2W_TORN)
                break;
            return PR_BADDATA;
        }
        uint32_t memory = 0;
        for (unsigned i = 0; i < F2_STREAMS; i++)
            memory += StreamMemory(&b.streams[i]);
        if ((flags & F2W_CHECK) && (memory > w->memory || b.count > CONTAINER_MAX_RECORDS - w->done))
            return PR_BADDATA;
        uint32_t carved = 0;
        if (ContainerSource(c, at, &b, F2_TABLE, &w->src[F2_TABLE], &carved) != PR_OK)
            return PR_BADDATA;
        // streams that do not begin fail the block's records, one by one
        w->begun = PR_OK;
        unsigned first = flags & F2W_RUN ? 0 : F2_TABLE;
        for (unsigned i = first; i < F2_TABLE; i++)
            if (ContainerSource(c, at, &b, i, &w->src[i], &carved) != PR_OK)
                w->begun = PR_BADDATA;
        for (uint32_t k = 0; k < b.count; k++, w->done++) {
            F2Record r;
            unsigned char entry[F2_ENTRY_MAX];
            if (F2ReadEntry(&w->src[F2_TABLE], entry, &r) != PR_OK)
                return PR_BADDATA;
            // (a 0 byte, which would cut the path short, is refused too)
            if ((flags & F2W_CHECK) && !CheckRecordName(r.name, r.nameLen, LeadByteAcp))
                return PR_BADDATA;
            int result = w->visit ? w->visit(w, &r) : PR_OK;
            if (result != PR_OK)
                return result;
        }
        // the records of a block use every byte of its streams
        if (flags & (F2W_CHECK | F2W_RUN))
            for (unsigned i = first; i < F2_STREAMS; i++)
                if (w->src[i].left)
                    return PR_BADDATA;
        at += b.size;
    }
    return PR_OK;
}

// --- the bare form ---
//
// A bare container has no lengths ahead of its parts: a record head ends at
// its name's 0 byte, a body at its CMD_END or after its content. So the
// reader holds the bytes from some offset on and is asked for at least a
// few of them at a time; a request the buffer does not cover reads the
// buffer anew from there, a piece at a time. Offsets are 64 bits: a bare
// container may run past 4 GiB.

static const PatchContainer* s_bare;
static uint64_t s_bareStart;  // container offset of s_held[0]
static uint32_t s_bareHave;   // bytes in s_held
static unsigned char s_held[BARE_HOLD];
static char s_name[PATCH_PATH_MAX];

void BareBegin(const PatchContainer* c) {
    s_bare = c;
    s_bareHave = 0;
}

const unsigned char* BareHold(uint64_t at, uint32_t want, uint32_t* held) {
    const PatchContainer* c = s_bare;
    uint64_t left = c->size - at;
    if (want > left)
        want = (uint32_t)left;
    // at below s_bareStart wraps round to a large skip
    uint64_t skip = at - s_bareStart;
    uint32_t keep = skip <= s_bareHave ? s_bareHave - (uint32_t)skip : 0;
    if (keep < want) {
        s_bareStart = at;
        s_bareHave = 0;
        while (s_bareHave < want) {
            size_t n = Piece(left - s_bareHave);
            if (n > BARE_HOLD - s_bareHave)
                n = BARE_HOLD - s_bareHave;
            if (!ContainerRead(c, at + s_bareHave, s_held + s_bareHave, n)) {
                s_bareHave = 0;
                return 0;
            }
            s_bareHave += (uint32_t)n;
        }
        keep = s_bareHave;
    }
    *held = keep;
    return s_held + (at - s_bareStart);
}

int BareCount(unsigned* count) {
    uint32_t held;
    const unsigned char* p = BareHold(0, CONTAINER_HEADER_SIZE, &held);
    if (!p || held < CONTAINER_HEADER_SIZE)
        return PR_BADDATA;
    *count = GetU16(p);  // the two reserved bytes are never read
    return PR_OK;
}

int BareReadHead(uint64_t* at, BareRecord* r) {
    r->head.name = 0;
    PatchCursor cur;
    PatchRecordHead head;
    // Most names are short: a head of a path's length is asked for first,
    // the whole buffer when its 0 byte is not in that.
    for (uint32_t want = RECORD_SUMS_SIZE + (unsigned)PATCH_PATH_MAX + 1;; want = BARE_HOLD) {
        uint32_t held;
        const unsigned char* p = BareHold(*at, want, &held);
        if (!p)
            return PR_BADDATA;
        CursorInit(&cur, p, held);
        if (ReadRecordHead(&cur, &head) == PR_OK) {
            *at += (uint64_t)(cur.pos - p);
            break;
        }
        // the container ends before the head does, or the name fills the buffer
        if (held < want || want == BARE_HOLD)
            return PR_BADDATA;
    }
    int named = CheckRecordName(head.name, head.nameLen, LeadByteAcp);
    if (head.nameLen > PATCH_PATH_MAX - 1)
        head.nameLen = PATCH_PATH_MAX - 1;
    CopyMemory(s_name, head.name, head.nameLen);
    s_name[head.nameLen] = 0;
    r->head = head;
    r->head.name = s_name;
    r->whole = BodyIsWholeFile(&cur);
    return named ? PR_OK : PR_BADDATA;
}

int BareCommand(void* ctx, uint64_t* at, PatchCommand* cmd) {
    (void)ctx;
    uint32_t held;
    const unsigned char* p = BareHold(*at, CMD_COPY_SIZE, &held);
    PatchCursor cur;
    CursorInit(&cur, p, p ? held : 0);
    if (ReadCommandHead(&cur, cmd) != PR_OK)
        return PR_BADDATA;
    *at += (uint64_t)(cur.pos - p);
    // the literal is compared with what is left, never added first
    if (cmd->op == CMD_INSERT) {
        if (cmd->length > s_bare->size - *at)
            return PR_BADDATA;
        *at += cmd->length;
    }
    return PR_OK;
}

int BareSkipBody(uint64_t* at, BareRecord* r) {
    r->body = *at;
    if (r->whole) {
        uint32_t held;
        const unsigned char* p = BareHold(*at, WHOLEFILE_HEAD_SIZE, &held);
        if (!p || held < WHOLEFILE_HEAD_SIZE)
            return PR_BADDATA;
        r->length = GetU32(p + 1);  // after the tag
        r->body += WHOLEFILE_HEAD_SIZE;
        if (r->length > s_bare->size - r->body)
            return PR_BADDATA;
        *at = r->body + r->length;
        return PR_OK;
    }
    PatchCommand cmd;
    do {
        if (BareCommand(0, at, &cmd) != PR_OK)
            return PR_BADDATA;
    } while (cmd.op != CMD_END);
    return PR_OK;
}

int BareReadRecord(uint64_t* at, BareRecord* r) {
    if (BareReadHead(at, r) != PR_OK)
        return PR_BADDATA;
    return BareSkipBody(at, r);
}
