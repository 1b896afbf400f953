// Format 2: fixed parts, streams and the carrying out of one record.
#include "core/format2.h"

#include <string.h>

#include "core/checksum.h"

static const unsigned char kMagic[4] = {0xFF, 0xFF, 0x4B, 0x32};
static const unsigned char kBlockTag[4] = {0x4B, 0x42, 0x32, 0x1A};

uint64_t GetU64(const unsigned char* p) {
    return (uint64_t)GetU32(p) | ((uint64_t)GetU32(p + 4) << 32);
}

void PutU64(unsigned char* p, uint64_t v) {
    PutU32(p, (uint32_t)v);
    PutU32(p + 4, (uint32_t)(v >> 32));
}

size_t PutVarint(unsigned char* out, uint64_t v) {
    size_t n = 0;
    while (v >= 0x80) {
        out[n++] = (unsigned char)(v | 0x80);
        v >>= 7;
    }
    out[n++] = (unsigned char)v;
    return n;
}

uint64_t ZigZag(int64_t v) {
    return ((uint64_t)v << 1) ^ (uint64_t)(v >> 63);
}

int64_t UnZigZag(uint64_t v) {
    return (int64_t)(v >> 1) ^ -(int64_t)(v & 1);
}

// --- header ---

int IsFormat2(const unsigned char* bytes, size_t size) {
    return size >= F2_HEADER_SIZE && memcmp(bytes, kMagic, sizeof kMagic) == 0 &&
           Crc32Update(0, bytes, F2_HEADER_SIZE - 4) == GetU32(bytes + F2_HEADER_SIZE - 4);
}

int F2ReadHeader(const unsigned char* bytes, size_t size, F2Header* h) {
    if (!IsFormat2(bytes, size))
        return PR_BADDATA;
    h->revision = GetU16(bytes + 4);
    h->flags = GetU16(bytes + 6);
    h->count = GetU32(bytes + 8);
    h->memory = GetU32(bytes + 12);
    h->length = GetU64(bytes + 16);
    if (h->revision != F2_REVISION || (h->flags & ~(unsigned)F2_FLAG_OPEN) || GetU32(bytes + 24) != 0 ||
        h->memory > F2_MEMORY_MAX)
        return PR_BADDATA;
    // an open container says nothing of its size yet
    if ((h->flags & F2_FLAG_OPEN) && (h->count || h->length))
        return PR_BADDATA;
    if (!(h->flags & F2_FLAG_OPEN) && h->length < F2_HEADER_SIZE)
        return PR_BADDATA;
    return PR_OK;
}

size_t PutF2Header(unsigned char out[F2_HEADER_SIZE], const F2Header* h) {
    memcpy(out, kMagic, sizeof kMagic);
    PutU16(out + 4, (uint16_t)h->revision);
    PutU16(out + 6, (uint16_t)h->flags);
    PutU32(out + 8, h->count);
    PutU32(out + 12, h->memory);
    PutU64(out + 16, h->length);
    PutU32(out + 24, 0);
    PutU32(out + 28, Crc32Update(0, out, F2_HEADER_SIZE - 4));
    return F2_HEADER_SIZE;
}

// --- blocks ---

// Whether a stream head is one the format allows.
static int StreamHeadValid(const F2StreamHead* s) {
    if (s->method == F2_STORED)
        return s->props == 0 && s->dictSize == 0 && s->packed == s->unpacked;
    if (s->method != F2_LZMA || s->props > LZMA_PROPS_MAX)
        return 0;
    unsigned lc = s->props % 9, lp = s->props / 9 % 5;
    return lc + lp <= LZMA_LCLP_MAX && s->dictSize >= LZMA_DICT_MIN && s->dictSize <= F2_MEMORY_MAX;
}

int F2ReadBlockHead(const unsigned char* bytes, uint64_t left, F2BlockHead* b) {
    if (left < F2_BLOCK_HEAD_SIZE + F2_BLOCK_CRC_SIZE || memcmp(bytes, kBlockTag, sizeof kBlockTag) != 0)
        return PR_BADDATA;
    b->count = GetU32(bytes + 4);
    left -= F2_BLOCK_HEAD_SIZE + F2_BLOCK_CRC_SIZE;
    if (b->count == 0)
        return PR_BADDATA;
    uint64_t at = F2_BLOCK_HEAD_SIZE;
    for (unsigned i = 0; i < F2_STREAMS; i++) {
        const unsigned char* p = bytes + 8 + i * F2_STREAM_HEAD_SIZE;
        F2StreamHead* s = &b->streams[i];
        s->method = p[0];
        s->props = p[1];
        s->dictSize = GetU32(p + 4);
        s->packed = GetU64(p + 8);
        s->unpacked = GetU64(p + 16);
        if (GetU16(p + 2) != 0 || !StreamHeadValid(s) || s->packed > left)
            return PR_BADDATA;
        left -= s->packed;
        b->streamOffset[i] = at;
        at += s->packed;
    }
    b->size = at + F2_BLOCK_CRC_SIZE;
    return PR_OK;
}

uint64_t F2BlockMemory(const F2BlockHead* b) {
    uint64_t sum = 0;
    for (unsigned i = 0; i < F2_STREAMS; i++) {
        const F2StreamHead* s = &b->streams[i];
        if (s->method == F2_LZMA)
            sum += s->dictSize < s->unpacked ? s->dictSize : s->unpacked;
    }
    return sum;
}

size_t PutF2BlockHead(unsigned char out[F2_BLOCK_HEAD_SIZE], const F2BlockHead* b) {
    memcpy(out, kBlockTag, sizeof kBlockTag);
    PutU32(out + 4, b->count);
    for (unsigned i = 0; i < F2_STREAMS; i++) {
        unsigned char* p = out + 8 + i * F2_STREAM_HEAD_SIZE;
        const F2StreamHead* s = &b->streams[i];
        p[0] = (unsigned char)s->method;
        p[1] = (unsigned char)s->props;
        PutU16(p + 2, 0);
        PutU32(p + 4, s->dictSize);
        PutU64(p + 8, s->packed);
        PutU64(p + 16, s->unpacked);
    }
    return F2_BLOCK_HEAD_SIZE;
}

// --- the record table ---

int F2ReadRecord(PatchCursor* table, F2Record* r) {
    PatchCursor cur = *table;
    if (CursorLeft(&cur) < 4)
        return PR_BADDATA;
    r->kind = cur.pos[0];
    unsigned flags = cur.pos[1];
    r->nameLen = GetU16(cur.pos + 2);
    cur.pos += 4;
    if ((r->kind != F2_KIND_WHOLE && r->kind != F2_KIND_DELTA) || flags != 0 || r->nameLen == 0 ||
        r->nameLen > F2_NAME_MAX)
        return PR_BADDATA;
    size_t rest = (r->kind == F2_KIND_DELTA ? F2_ENTRY_DELTA_SIZE : F2_ENTRY_WHOLE_SIZE) - 4;
    if (CursorLeft(&cur) < r->nameLen || CursorLeft(&cur) - r->nameLen < rest)
        return PR_BADDATA;
    r->name = (const char*)cur.pos;
    cur.pos += r->nameLen;
    r->newLength = GetU64(cur.pos);
    r->newCrc = GetU32(cur.pos + 8);
    r->oldLength = 0;
    r->oldCrc = 0;
    if (r->kind == F2_KIND_DELTA) {
        r->oldLength = GetU64(cur.pos + 12);
        r->oldCrc = GetU32(cur.pos + 20);
    }
    cur.pos += rest;
    *table = cur;
    return PR_OK;
}

int F2ReadEntry(F2Source* table, unsigned char entry[F2_ENTRY_MAX], F2Record* r) {
    if (!F2SourceRead(table, entry, 4))
        return PR_BADDATA;
    // The first four bytes say how long the entry is; one longer than any
    // the format allows is refused from them alone, by F2ReadRecord.
    size_t size = (entry[0] == F2_KIND_DELTA ? F2_ENTRY_DELTA_SIZE : F2_ENTRY_WHOLE_SIZE) + GetU16(entry + 2);
    if (size > F2_ENTRY_MAX)
        size = 4;
    if (!F2SourceRead(table, entry + 4, size - 4))
        return PR_BADDATA;
    PatchCursor cursor;
    CursorInit(&cursor, entry, size);
    return F2ReadRecord(&cursor, r);
}

size_t PutF2Record(unsigned char* out, const F2Record* r) {
    out[0] = (unsigned char)r->kind;
    out[1] = 0;
    PutU16(out + 2, (uint16_t)r->nameLen);
    memcpy(out + 4, r->name, r->nameLen);
    unsigned char* p = out + 4 + r->nameLen;
    PutU64(p, r->newLength);
    PutU32(p + 8, r->newCrc);
    if (r->kind != F2_KIND_DELTA)
        return (size_t)(p + 12 - out);
    PutU64(p + 12, r->oldLength);
    PutU32(p + 20, r->oldCrc);
    return (size_t)(p + 24 - out);
}

// --- streams ---

int F2SourceBegin(F2Source* s, const F2StreamHead* head, LzmaDecoder* lzma, unsigned char* dict,
                  uint32_t dictBytes, const LzmaInput* in) {
    s->method = head->method;
    s->left = head->unpacked;
    s->in = *in;
    s->lzma = lzma;
    if (head->method == F2_STORED || head->unpacked == 0)
        return PR_OK;
    uint64_t need = head->dictSize < head->unpacked ? head->dictSize : head->unpacked;
    if (need > dictBytes || !LzmaBegin(lzma, head->props, dict, (uint32_t)need, head->unpacked, &s->in))
        return PR_BADDATA;
    return PR_OK;
}

// Copies n stored bytes, refilling the input as it runs out.
static int ReadStored(LzmaInput* in, unsigned char* out, size_t n) {
    while (n) {
        if (in->pos == in->end && (!in->refill || !in->refill(in)))
            return 0;
        size_t piece = (size_t)(in->end - in->pos);
        if (piece > n)
            piece = n;
        memcpy(out, in->pos, piece);
        in->pos += piece;
        out += piece;
        n -= piece;
    }
    return 1;
}

int F2SourceRead(F2Source* s, unsigned char* out, size_t n) {
    if (n > s->left)
        return 0;
    if (n == 0)
        return 1;
    s->left -= n;
    if (s->method == F2_STORED)
        return ReadStored(&s->in, out, n);
    return LzmaRead(s->lzma, out, n);
}

static int ReadVarint(F2Source* s, uint64_t* v) {
    uint64_t value = 0;
    for (unsigned i = 0; i < F2_VARINT_MAX; i++) {
        unsigned char byte;
        if (!F2SourceRead(s, &byte, 1))
            return 0;
        // the tenth byte holds the top bit alone
        if (i == F2_VARINT_MAX - 1 && byte > 1)
            return 0;
        value |= (uint64_t)(byte & 0x7F) << (7 * i);
        if (!(byte & 0x80)) {
            *v = value;
            return 1;
        }
    }
    return 0;
}

int F2ReadCommand(F2Source* control, F2Command* c) {
    uint64_t seek, copy;
    if (!ReadVarint(control, &seek) || !ReadVarint(control, &copy) || !ReadVarint(control, &c->extra))
        return PR_BADDATA;
    c->seek = UnZigZag(seek);
    c->copy = copy >> 1;
    c->diff = (int)(copy & 1);
    return PR_OK;
}

size_t PutF2Command(unsigned char* out, const F2Command* c) {
    size_t n = PutVarint(out, ZigZag(c->seek));
    n += PutVarint(out + n, c->copy * 2 + (c->diff ? 1 : 0));
    n += PutVarint(out + n, c->extra);
    return n;
}

// --- one record ---

// Moves n bytes of a stream to the sink (or nowhere), a piece at a time:
// a stored stream's straight from its input, an LZMA one's through scratch.
static int PassOn(F2Source* s, uint64_t n, const F2Sink* sink, unsigned char* scratch, size_t size) {
    if (n > s->left)
        return PR_BADDATA;
    while (n) {
        const unsigned char* from = scratch;
        size_t piece = n < size ? (size_t)n : size;
        if (s->method == F2_STORED) {
            LzmaInput* in = &s->in;
            if (in->pos == in->end && (!in->refill || !in->refill(in)))
                return PR_BADDATA;
            from = in->pos;
            piece = (size_t)(in->end - in->pos);
            if (piece > n)
                piece = (size_t)n;
            in->pos += piece;
            s->left -= piece;
        } else if (!F2SourceRead(s, scratch, piece))
            return PR_BADDATA;
        if (sink && !sink->write(sink->ctx, from, piece))
            return PR_NOTWRITTEN;
        n -= piece;
    }
    return PR_OK;
}

// Copies n old bytes from offset, exactly or (diff set) added to as many
// difference bytes, which come through scratch.
static int CopyOld(F2Source* diffs, uint64_t offset, uint64_t n, int diff, const F2Sink* sink,
                   unsigned char* scratch, size_t size) {
    if (!diff)
        return !n || !sink || sink->copy(sink->ctx, offset, n, 0) ? PR_OK : PR_NOTWRITTEN;
    while (n) {
        size_t piece = n < size ? (size_t)n : size;
        if (!F2SourceRead(diffs, scratch, piece))
            return PR_BADDATA;
        if (sink && !sink->copy(sink->ctx, offset, piece, scratch))
            return PR_NOTWRITTEN;
        offset += piece;
        n -= piece;
    }
    return PR_OK;
}

int F2RunRecord(F2Source sources[F2_STREAMS], const F2Record* r, const F2Sink* sink, unsigned char* scratch,
                size_t scratchSize) {
    if (r->kind == F2_KIND_WHOLE)
        return PassOn(&sources[F2_LITERAL], r->newLength, sink, scratch, scratchSize);
    uint64_t made = 0, pos = 0;
    while (made < r->newLength) {
        // a command's three varints: the seek, zigzag-coded (its low bit
        // says backwards, the rest how far, less one backwards), the copy's
        // length times two plus its difference bit, and the extra bytes
        uint64_t v[3];
        for (unsigned i = 0; i < 3; i++)
            if (!ReadVarint(&sources[F2_CONTROL], &v[i]))
                return PR_BADDATA;
        uint64_t back = v[0] & 1, far = (v[0] >> 1) + back, copy = v[1] >> 1, extra = v[2];
        // every test subtracts from what is left, so no sum can wrap
        if (far > (back ? pos : r->oldLength - pos))
            return PR_BADDATA;
        pos = back ? pos - far : pos + far;
        if (copy > r->oldLength - pos || copy > r->newLength - made || extra > r->newLength - made - copy)
            return PR_BADDATA;
        int result = CopyOld(&sources[F2_DIFF], pos, copy, (int)(v[1] & 1), sink, scratch, scratchSize);
        if (result == PR_OK)
            result = PassOn(&sources[F2_LITERAL], extra, sink, scratch, scratchSize);
        if (result != PR_OK)
            return result;
        pos += copy;
        made += copy + extra;
    }
    return PR_OK;
}
