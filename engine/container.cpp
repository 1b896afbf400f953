// A format-2 container read through fixed buffers instead of a mapping: a
// 32-bit applier has no room to map a container of a few GB, and a
// format-2 container is read front to back, block by block and stream by
// stream, so a few small buffers serve it whatever its size.
#include "engine/container.h"
#include "engine/fileio.h"

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

int ContainerEntry(const PatchContainer* c, uint64_t offset, uint32_t tableLeft,
                   unsigned char entry[F2_ENTRY_MAX], F2Record* r, uint32_t* size) {
    if (tableLeft < 4 || !ContainerRead(c, offset, entry, 4))
        return PR_BADDATA;
    // The first four bytes say how long the entry is. One longer than any
    // the format allows is refused from them alone, and one that runs past
    // the table from what the table holds: F2ReadRecord finds both.
    uint32_t want = (entry[0] == F2_KIND_DELTA ? F2_ENTRY_DELTA_SIZE : F2_ENTRY_WHOLE_SIZE) + GetU16(entry + 2);
    if (want > F2_ENTRY_MAX)
        want = 4;
    if (want > tableLeft)
        want = tableLeft;
    if (!ContainerRead(c, offset + 4, entry + 4, want - 4))
        return PR_BADDATA;
    PatchCursor cursor;
    CursorInit(&cursor, entry, want);
    if (F2ReadRecord(&cursor, r) != PR_OK)
        return PR_BADDATA;
    *size = (uint32_t)(cursor.pos - entry);
    return PR_OK;
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
