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

int ContainerSource(const PatchContainer* c, uint64_t offset, const F2BlockHead* b, unsigned i, F2Source* src,
                    uint64_t* carved) {
    const F2StreamHead* s = &b->streams[i];
    LzmaInput in;
    ContainerInput(i, c, offset + b->streamOffset[i], s->packed, &in);
    uint64_t need = 0;
    if (s->method == F2_LZMA)
        need = s->dictSize < s->unpacked ? s->dictSize : s->unpacked;
    if (need > F2_MEMORY_MAX - *carved ||
        F2SourceBegin(src, s, &s_lzma[i], s_arena + *carved, (uint32_t)need, &in) != PR_OK)
        return PR_BADDATA;
    *carved += need;
    return PR_OK;
}
