// The core's in-memory apply against a reader written here from the format
// alone, for both forms of container. Input: a 16-bit word, the old file
// (as long as the word's low 15 bits say), then the container, read as the
// bare form and, when its header says so, as format 2 too.
//
// Bare form: for every record both must agree on the result (PR_OK,
// PR_BADRESULT for a copy past the old file, PR_BADDATA for an undefined
// command or bytes that run out), on where the next record starts, on the
// bytes a good record writes, and on the checksum of those bytes taken as
// they are written. After the last record the reference reads the
// integrity trailer on its own (and takes CRC-32 bit by bit), and both must
// agree on what is there. A good delta record's reverse (core/reverse.h,
// with a table small enough to need windows) must turn what it wrote back
// into the old file.
//
// Format 2: see "format 2" below.
#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <vector>

#include "core/format.h"
#include "core/format2.h"
#include "core/checksum.h"
#include "core/trailer.h"
#include "core/reverse.h"
#include "fuzz_check.h"

namespace {

using Bytes = std::vector<unsigned char>;

// --- the reference reader: plain indices into one byte array ---

struct RefResult {
    int result = PR_OK;
    size_t next = 0;  // index of the next record; meaningless after PR_BADDATA
    bool whole = false;
    Bytes output;     // what the record writes (whole: the content)
};

struct RefReader {
    const unsigned char* b;
    size_t n;
    size_t at;

    bool Has(size_t k) const { return n - at >= k; }
    uint32_t Number(size_t k) {
        uint32_t v = 0;
        for (size_t i = 0; i < k; i++)
            v |= uint32_t(b[at + i]) << (8 * i);
        at += k;
        return v;
    }

    RefResult Record(const Bytes& old) {
        RefResult r;
        r.result = PR_BADDATA;
        if (!Has(8))
            return r;
        at += 8;  // both checksums: the in-memory apply does not look at them
        while (at < n && b[at] != 0)
            at++;
        if (at >= n)
            return r;
        at++;  // the name's 0 byte
        if (!Has(1))
            return r;
        if (b[at] == 3) {
            r.whole = true;
            at++;
            if (!Has(4))
                return r;
            uint32_t len = Number(4);
            if (!Has(len))
                return r;
            r.output.assign(b + at, b + at + len);
            at += len;
            r.result = PR_OK;
            r.next = at;
            return r;
        }
        bool outside = false;
        for (;;) {
            if (!Has(1))
                return r;
            unsigned char op = b[at++];
            if (op == 0)
                break;
            if (op == 1) {
                if (!Has(8))
                    return r;
                uint32_t len = Number(4);
                uint32_t off = Number(4);
                if (off > old.size() || len > old.size() - off)
                    outside = true;
                else if (!outside)
                    r.output.insert(r.output.end(), old.begin() + off, old.begin() + off + len);
            } else if (op == 2) {
                if (!Has(4))
                    return r;
                uint32_t len = Number(4);
                if (!Has(len))
                    return r;
                if (!outside)
                    r.output.insert(r.output.end(), b + at, b + at + len);
                at += len;
            } else {
                return r;
            }
        }
        r.result = outside ? PR_BADRESULT : PR_OK;
        r.next = at;
        return r;
    }
};

uint32_t RefWordXor(const Bytes& bytes) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 4 <= bytes.size(); i += 4)
        sum ^= fuzz::LoadLE(&bytes[i], 4);
    return sum;
}

// CRC-32 one bit at a time, as the checksum ZIP uses is defined.
uint32_t RefCrc(const unsigned char* p, size_t n) {
    uint32_t c = 0xFFFFFFFF;
    for (size_t i = 0; i < n; i++) {
        c ^= p[i];
        for (int k = 0; k < 8; k++)
            c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    }
    return ~c;
}

// The trailer as its layout is written down: entries from the records'
// end, then CRC, version 1, reserved 0, length and the tag, which up to
// seven zero bytes of signing padding may follow.
struct RefTrailer {
    int kind = TRAILER_NONE;
    uint32_t crc = 0;
    size_t entries = 0;  // index of the first entry
};

RefTrailer RefReadTrailer(const unsigned char* b, size_t n, size_t recordsEnd, unsigned count) {
    RefTrailer t;
    size_t e = n;
    for (int pad = 0; pad < 7 && e > recordsEnd && b[e - 1] == 0; pad++)
        e--;
    static const unsigned char tag[8] = {'K', 'V', 'X', 'T', 'R', 'L', 'R', 0x1A};
    if (e - recordsEnd < 8 || std::memcmp(b + e - 8, tag, 8) != 0)
        return t;
    t.kind = TRAILER_BAD;
    if (e - recordsEnd < 20)
        return t;
    uint64_t length = fuzz::LoadLE(b + e - 12, 4);
    if (length != e - recordsEnd || fuzz::LoadLE(b + e - 16, 2) != 1 || fuzz::LoadLE(b + e - 14, 2) != 0 ||
        length != 20 + 16 * uint64_t(count))
        return t;
    t.kind = TRAILER_FOUND;
    t.crc = fuzz::LoadLE(b + e - 20, 4);
    t.entries = recordsEnd;
    return t;
}

void CheckTrailer(const unsigned char* base, size_t size, size_t recordsEnd, unsigned count) {
    FUZZ_CHECK(Crc32Update(0, base, recordsEnd) == RefCrc(base, recordsEnd));
    RefTrailer want = RefReadTrailer(base, size, recordsEnd, count);
    PatchTrailer got;
    FUZZ_CHECK(FindTrailer(base, size, recordsEnd, count, &got) == want.kind);
    if (want.kind != TRAILER_FOUND)
        return;
    FUZZ_CHECK(got.start == recordsEnd && got.count == count && got.containerCrc == want.crc);
    for (unsigned i = 0; i < count; i++) {
        TrailerEntry e;
        GetTrailerEntry(&got, i, &e);
        const unsigned char* p = base + want.entries + 16 * size_t(i);
        FUZZ_CHECK(e.newLength == fuzz::LoadLE(p, 4) && e.newCrc == fuzz::LoadLE(p + 4, 4));
        FUZZ_CHECK(e.oldLength == fuzz::LoadLE(p + 8, 4) && e.oldCrc == fuzz::LoadLE(p + 12, 4));
    }
}

// --- the core, used as an in-memory apply ---

struct MemoryOut {
    const Bytes* old;
    Bytes bytes;
    XorSumState sum;
};

int MemWrite(void* ctx, const unsigned char* p, size_t n) {
    MemoryOut* m = static_cast<MemoryOut*>(ctx);
    m->bytes.insert(m->bytes.end(), p, p + n);
    XorSumAdd(&m->sum, p, n);
    return 1;
}

int MemCopy(void* ctx, uint32_t offset, uint32_t length) {
    MemoryOut* m = static_cast<MemoryOut*>(ctx);
    return MemWrite(ctx, m->old->data() + offset, length);
}

// Collects the reverse commands as a stream over old (for its inserts).
int ReverseEmit(void* ctx, unsigned op, uint32_t from, uint32_t length) {
    MemoryOut* m = static_cast<MemoryOut*>(ctx);
    unsigned char cmd[CMD_COPY_SIZE];
    if (op == CMD_COPY)
        return MemWrite(ctx, cmd, PutCopyCommand(cmd, length, from));
    MemWrite(ctx, cmd, PutInsertHead(cmd, length));
    return MemWrite(ctx, m->old->data() + from, length);
}

void CheckReverse(PatchCursor stream, const Bytes& old, const Bytes& neu) {
    ReverseCopy table[4];
    MemoryOut back{&old, {}, {}};
    ReverseSink sink{ReverseEmit, &back};
    FUZZ_CHECK(ReverseCommands(stream, uint32_t(old.size()), table, 4, &sink) == PR_OK);
    back.bytes.push_back(CMD_END);
    MemoryOut again{&neu, {}, {}};
    PatchOutput po{MemWrite, MemCopy, &again, neu.size()};
    PatchCursor cur;
    CursorInit(&cur, back.bytes.data(), back.bytes.size());
    FUZZ_CHECK(RunCommands(&cur, &po) == PR_OK && again.bytes == old);
}

// The bare form: every record in turn, then the trailer.
void CheckBare(const Bytes& box, const Bytes& old) {
    const unsigned char* base = box.data();
    PatchCursor cur;
    CursorInit(&cur, base, box.size());
    unsigned count;
    int headRc = ReadContainerHeader(&cur, &count);
    FUZZ_CHECK((headRc == PR_OK) == (box.size() >= 4));
    if (headRc != PR_OK)
        return;
    RefReader ref{base, box.size(), 4};
    FUZZ_CHECK(count == fuzz::LoadLE(base, 2));

    size_t recordsEnd = 4;
    for (unsigned r = 0; r < count; r++) {
        RefResult want = ref.Record(old);
        recordsEnd = want.next;

        int got;
        MemoryOut out{&old, {}, {}};
        XorSumBegin(&out.sum);
        PatchRecordHead head;
        bool whole = false;
        if (ReadRecordHead(&cur, &head) != PR_OK) {
            got = PR_BADDATA;
        } else if (BodyIsWholeFile(&cur)) {
            whole = true;
            const unsigned char* content;
            uint32_t length;
            got = ReadWholeFile(&cur, &content, &length);
            if (got == PR_OK)
                MemWrite(&out, content, length);
        } else {
            PatchOutput po{MemWrite, MemCopy, &out, old.size()};
            PatchCursor stream = cur;
            got = RunCommands(&cur, &po);
            if (got == PR_OK)
                CheckReverse(stream, old, out.bytes);
        }

        FUZZ_CHECK(got == want.result);
        if (got == PR_BADDATA)
            return;
        FUZZ_CHECK(whole == want.whole);
        FUZZ_CHECK(size_t(cur.pos - base) == want.next);
        if (got == PR_OK) {
            FUZZ_CHECK(out.bytes == want.output);
            FUZZ_CHECK(XorSumEnd(&out.sum) == RefWordXor(want.output));
            FUZZ_CHECK(XorSum(out.bytes.data(), out.bytes.size()) == RefWordXor(want.output));
        }
    }
    CheckTrailer(base, box.size(), recordsEnd, count);
}

// --- format 2 ---
//
// Both sides walk the container to the same trace: each block's head, size,
// decoder memory, CRC and table entries, and for a block of stored streams
// each record carried out (against the old file when its old length is the
// old file's, else read and thrown away as for a target that is not there),
// with the bytes written, their CRC-32 and where each stream's
// next byte is. The reference reads the bytes from docs/format.md alone; the
// core side reads them with core/format2.h, walking the blocks as the
// applier does. The reference reads stored streams only: the records of a
// block with an LZMA stream are run by the core alone (see RunBlock). With
// the input word's top bit set, the reference makes the header's and each
// block's CRC-32 hold before they are read, so that mutated containers get
// past them.

// A block's table coded with LZMA: the reference reads stored streams only.
constexpr int kNotRead = -2;

struct Rec2 {
    unsigned kind = 0;
    Bytes name;
    uint64_t newLength = 0, oldLength = 0;
    uint32_t newCrc = 0, oldCrc = 0;
    int run = -1;            // the record carried out: a PR_ code; -1 not run
    bool rebuilt = false;
    Bytes output;
    uint32_t outCrc = 0;
    size_t next[F2_TABLE] = {};  // after a good run: where each stream of bytes is
};

struct Block2 {
    size_t at = 0;
    int head = PR_BADDATA;  // the head reads and the block fits
    uint64_t size = 0, memory = 0;
    bool crc = false, stored = false;
    int table = PR_BADDATA;  // every entry reads and they fill the table; kNotRead for an LZMA table
    std::vector<Rec2> records;
    int rest = -1;  // after the records ran: PR_OK when every stream is used up
};

struct Trace2 {
    int header = PR_BADDATA;
    bool open = false;
    int result = PR_BADDATA;
    std::vector<Block2> blocks;
};

bool operator==(const Rec2& a, const Rec2& b) {
    return a.kind == b.kind && a.name == b.name && a.newLength == b.newLength &&
           a.oldLength == b.oldLength && a.newCrc == b.newCrc && a.oldCrc == b.oldCrc && a.run == b.run &&
           a.rebuilt == b.rebuilt && a.output == b.output && a.outCrc == b.outCrc &&
           std::memcmp(a.next, b.next, sizeof a.next) == 0;
}

uint64_t Le(const unsigned char* p, size_t k) {
    uint64_t v = 0;
    for (size_t i = 0; i < k; i++)
        v |= uint64_t(p[i]) << (8 * i);
    return v;
}

// A stored stream: the index of its next byte and one past its last.
struct RefStream {
    size_t at, end;
    bool Take(uint64_t k) {
        if (k > end - at)
            return false;
        at += k;
        return true;
    }
};

// What the header asks of the reader, from its 32 bytes.
struct RefHeader {
    bool isFormat2 = false;
    int result = PR_BADDATA;
    bool open = false;
    uint32_t count = 0, memory = 0;
    uint64_t length = 0;
};

RefHeader RefReadHeader(const unsigned char* b, size_t n) {
    RefHeader h;
    static const unsigned char magic[4] = {0xFF, 0xFF, 0x4B, 0x32};
    if (n < 32 || std::memcmp(b, magic, 4) != 0 || RefCrc(b, 28) != Le(b + 28, 4))
        return h;
    h.isFormat2 = true;
    uint64_t flags = Le(b + 6, 2);
    h.open = flags & 1;
    h.count = uint32_t(Le(b + 8, 4));
    h.memory = uint32_t(Le(b + 12, 4));
    h.length = Le(b + 16, 8);
    bool fields = Le(b + 4, 2) == 3 && (flags & ~uint64_t(1)) == 0 && Le(b + 24, 4) == 0 && h.memory <= (64u << 20);
    bool sizes = h.open ? h.count == 0 && h.length == 0 : h.length >= 32;
    h.result = fields && sizes ? PR_OK : PR_BADDATA;
    return h;
}

// The block at b[at], the blocks ending at end: its head, CRC and table,
// and where its streams lie. With fix, its CRC is made to hold first.
void RefBlock(unsigned char* b, size_t end, Block2* k, RefStream s[F2_STREAMS], bool fix) {
    size_t at = k->at, left = end - at;
    static const unsigned char tag[4] = {0x4B, 0x42, 0x32, 0x1A};
    if (left < 104 || std::memcmp(b + at, tag, 4) != 0)
        return;
    uint64_t count = Le(b + at + 4, 4);
    if (count == 0)
        return;
    unsigned __int128 size = 104;  // then each stream's packed bytes
    uint64_t packed[F2_STREAMS];
    bool tableStored = false;
    k->stored = true;
    for (unsigned i = 0; i < F2_STREAMS; i++) {
        const unsigned char* h = b + at + 8 + 24 * i;
        unsigned props = h[1];
        uint64_t dict = Le(h + 4, 4), unpacked = Le(h + 16, 8);
        packed[i] = Le(h + 8, 8);
        if (Le(h + 2, 2) != 0)
            return;
        if (h[0] == 0) {
            if (props != 0 || dict != 0 || packed[i] != unpacked)
                return;
            tableStored = i == 3;
        } else if (h[0] == 1) {
            unsigned lc = props % 9, lp = props / 9 % 5, pb = props / 45;
            if (pb > 4 || lc + lp > 4 || dict < 4096 || dict > (64u << 20))
                return;
            k->memory += dict < unpacked ? dict : unpacked;
            k->stored = false;
        } else {
            return;
        }
        size += packed[i];
    }
    size += 4;  // the CRC
    if (size > left)
        return;
    k->head = PR_OK;
    k->size = uint64_t(size);
    size_t from = at + 104;
    for (unsigned i = 0; i < F2_STREAMS; i++) {
        s[i] = {from, from + size_t(packed[i])};
        from += size_t(packed[i]);
    }
    size_t crcAt = at + k->size - 4;
    if (fix) {
        uint32_t c = RefCrc(b + at, k->size - 4);
        for (int i = 0; i < 4; i++)
            b[crcAt + i] = uint8_t(c >> (8 * i));
    }
    k->crc = RefCrc(b + at, k->size - 4) == Le(b + crcAt, 4);
    // the table (stream 3): entries back to back, filling it exactly
    if (!tableStored) {
        k->table = kNotRead;
        return;
    }
    size_t e = s[3].at, tableEnd = s[3].end;
    for (uint64_t r = 0; r < count; r++) {
        Rec2 rec;
        if (tableEnd - e < 4)
            return;
        rec.kind = b[e];
        size_t n = size_t(Le(b + e + 2, 2));
        size_t fixed = rec.kind == 2 ? 24 : 12;
        if ((rec.kind != 1 && rec.kind != 2) || b[e + 1] != 0 || n < 1 || n > 259 || tableEnd - e - 4 < n + fixed)
            return;
        rec.name.assign(b + e + 4, b + e + 4 + n);
        const unsigned char* f = b + e + 4 + n;
        rec.newLength = Le(f, 8);
        rec.newCrc = uint32_t(Le(f + 8, 4));
        if (rec.kind == 2) {
            rec.oldLength = Le(f + 12, 8);
            rec.oldCrc = uint32_t(Le(f + 20, 4));
        }
        k->records.push_back(rec);
        e += 4 + n + fixed;
    }
    if (e == tableEnd)
        k->table = PR_OK;
}

// A varint of the control stream: 7-bit groups, lowest first, at most 10
// bytes, the value inside 64 bits.
bool RefVarint(const unsigned char* b, RefStream* s, uint64_t* v) {
    *v = 0;
    for (unsigned i = 0; i < 10; i++) {
        if (s->at == s->end)
            return false;
        unsigned char byte = b[s->at++];
        if (i == 9 && byte > 1)
            return false;
        *v |= uint64_t(byte & 0x7F) << (7 * i);
        if (!(byte & 0x80))
            return true;
    }
    return false;
}

// Carries out one record from the streams; its bytes go to rec->output
// when it is rebuilt against old.
int RefRun(const unsigned char* b, RefStream s[F2_STREAMS], Rec2* rec, const Bytes& old) {
    RefStream &control = s[0], &diffs = s[1], &literal = s[2];
    if (rec->kind == 1) {
        size_t from = literal.at;
        if (!literal.Take(rec->newLength))
            return PR_BADDATA;
        rec->output.assign(b + from, b + literal.at);
        return PR_OK;
    }
    uint64_t pos = 0, made = 0;
    while (made < rec->newLength) {
        uint64_t seek, copy, extra;
        if (!RefVarint(b, &control, &seek) || !RefVarint(b, &control, &copy) || !RefVarint(b, &control, &extra))
            return PR_BADDATA;
        if (seek & 1) {  // back by (seek >> 1) + 1
            if ((seek >> 1) >= pos)
                return PR_BADDATA;
            pos -= (seek >> 1) + 1;
        } else {
            if ((seek >> 1) > rec->oldLength - pos)
                return PR_BADDATA;
            pos += seek >> 1;
        }
        bool diff = copy & 1;
        copy >>= 1;
        if (copy > rec->oldLength - pos || copy > rec->newLength - made || extra > rec->newLength - made - copy)
            return PR_BADDATA;
        size_t d = diffs.at;
        if (diff && !diffs.Take(copy))
            return PR_BADDATA;
        if (rec->rebuilt)
            for (uint64_t i = 0; i < copy; i++)
                rec->output.push_back(uint8_t(old[pos + i] + (diff ? b[d + i] : 0)));
        pos += copy;
        size_t l = literal.at;
        if (!literal.Take(extra))
            return PR_BADDATA;
        if (rec->rebuilt)
            rec->output.insert(rec->output.end(), b + l, b + literal.at);
        made += copy + extra;
    }
    return PR_OK;
}

// Whether the walk goes on after block k, and the container's result if not.
bool RefBlockGood(Trace2* t, const Block2& k, const RefHeader& h) {
    // an open container's data ends at a block that does not read whole
    if (k.head != PR_OK || !k.crc) {
        t->result = t->open ? PR_OK : PR_BADDATA;
        return false;
    }
    if (k.table == kNotRead) {
        t->result = kNotRead;  // the core alone reads on
        return false;
    }
    if (k.memory > h.memory || k.table != PR_OK) {
        t->result = PR_BADDATA;
        return false;
    }
    return true;
}

// The reference walk; with fix, every CRC is made to hold before it is
// checked (so that mutated containers get past the CRCs).
Trace2 RefFormat2(Bytes& box, const Bytes& old, bool fix) {
    Trace2 t;
    unsigned char* b = box.data();
    size_t n = box.size();
    static const unsigned char magic[4] = {0xFF, 0xFF, 0x4B, 0x32};
    if (fix && n >= 32 && std::memcmp(b, magic, 4) == 0) {
        uint32_t c = RefCrc(b, 28);
        for (int i = 0; i < 4; i++)
            b[28 + i] = uint8_t(c >> (8 * i));
    }
    RefHeader h = RefReadHeader(b, n);
    t.header = h.result;
    if (h.result != PR_OK)
        return t;
    t.open = h.open;
    // a closed container: its length, then up to seven zero bytes
    size_t end = n;
    if (!h.open) {
        if (h.length > n || n - h.length > 7)
            return t;
        end = size_t(h.length);
        for (size_t i = end; i < n; i++)
            if (b[i] != 0)
                return t;
    }
    uint64_t records = 0;
    for (size_t at = 32; at < end;) {
        t.blocks.emplace_back();
        Block2& k = t.blocks.back();
        k.at = at;
        RefStream s[F2_STREAMS];
        RefBlock(b, end, &k, s, fix);
        if (!RefBlockGood(&t, k, h))
            return t;
        records += k.records.size();
        if (k.stored) {
            for (Rec2& rec : k.records) {
                rec.rebuilt = rec.kind == 1 || rec.oldLength == old.size();
                rec.run = RefRun(b, s, &rec, old);
                if (rec.run != PR_OK) {
                    rec.output.clear();
                    return t;
                }
                rec.outCrc = RefCrc(rec.output.data(), rec.output.size());
                for (unsigned i = 0; i < F2_TABLE; i++)
                    rec.next[i] = s[i].at;
            }
            bool usedUp = s[0].at == s[0].end && s[1].at == s[1].end && s[2].at == s[2].end;  // the table's was
            k.rest = usedUp ? PR_OK : PR_BADDATA;
            if (!usedUp)
                return t;
        }
        at += k.size;
    }
    t.result = h.open || records == h.count ? PR_OK : PR_BADDATA;
    return t;
}

// --- the core's format-2 reading, walked the way the applier walks ---

struct CoreSink {
    const Bytes* old;
    Bytes out;
};

int CoreWrite(void* ctx, const unsigned char* p, size_t n) {
    CoreSink* m = static_cast<CoreSink*>(ctx);
    m->out.insert(m->out.end(), p, p + n);
    return 1;
}

int CoreCopy(void* ctx, uint64_t offset, uint64_t n, unsigned char* diffs) {
    CoreSink* m = static_cast<CoreSink*>(ctx);
    FUZZ_CHECK(offset <= m->old->size() && n <= m->old->size() - offset);
    for (uint64_t i = 0; i < n; i++)
        m->out.push_back(static_cast<unsigned char>((*m->old)[offset + i] + (diffs ? diffs[i] : 0)));
    return 1;
}

// Hands a stored stream's bytes to the core a few at a time.
struct Pieces {
    const unsigned char* end;
    size_t piece;
};

int Refill(LzmaInput* in) {
    const Pieces* p = static_cast<const Pieces*>(in->ctx);
    if (in->end == p->end)
        return 0;
    in->pos = in->end;
    in->end += std::min<size_t>(p->piece, size_t(p->end - in->end));
    return 1;
}

// An LZMA-coded block is run only when its dictionaries and new files are
// small enough to keep each input quick.
bool SmallLzma(const F2BlockHead& b, const std::vector<F2Record>& heads) {
    uint64_t made = 0;
    for (const F2Record& e : heads)
        made += std::min<uint64_t>(e.newLength, 1 << 20);
    return F2BlockMemory(&b) <= (1 << 20) && made <= (1 << 20);
}

// Carries out a block's records from its streams, each handed over a few
// bytes at a time, into k's records. Without a reference for LZMA streams,
// what such a block's records give is only held to the core's promise: a
// data error, or exactly the new length written.
void RunBlock(const unsigned char* base, const F2BlockHead& b, const std::vector<F2Record>& heads, const Bytes& old,
              size_t piece, Bytes& scratch, Block2* k) {
    const unsigned char* block = base + k->at;
    F2Source src[F2_STREAMS];
    Pieces pieces[F2_STREAMS];
    LzmaDecoder lzma[F2_STREAMS];
    Bytes dict(F2BlockMemory(&b));
    size_t used = 0;
    for (unsigned i = 0; i < F2_TABLE; i++) {
        const F2StreamHead& head = b.streams[i];
        const unsigned char* p = block + b.streamOffset[i];
        pieces[i] = {p + head.packed, piece};
        LzmaInput in{p, p, Refill, &pieces[i]};
        uint32_t need = head.method == F2_LZMA ? uint32_t(std::min<uint64_t>(head.dictSize, head.unpacked)) : 0;
        int begun = F2SourceBegin(&src[i], &head, &lzma[i], dict.data() + used, need, &in);
        FUZZ_CHECK(begun == PR_OK || !k->stored);
        if (begun != PR_OK)
            return;
        used += need;
    }
    for (size_t r = 0; r < heads.size(); r++) {
        Rec2& rec = k->records[r];
        CoreSink m{&old, {}};
        F2Sink sink{CoreWrite, CoreCopy, &m};
        bool rebuilt = rec.kind == F2_KIND_WHOLE || rec.oldLength == old.size();
        int run = F2RunRecord(src, &heads[r], rebuilt ? &sink : nullptr, scratch.data(), scratch.size());
        FUZZ_CHECK(run == PR_OK || run == PR_BADDATA);
        FUZZ_CHECK(run != PR_OK || !rebuilt || m.out.size() == rec.newLength);
        if (!k->stored) {
            if (run != PR_OK)
                return;
            continue;
        }
        rec.rebuilt = rebuilt;
        rec.run = run;
        if (run != PR_OK)
            return;
        rec.output = m.out;
        rec.outCrc = Crc32Update(0, m.out.data(), m.out.size());
        for (unsigned i = 0; i < F2_TABLE; i++) {
            rec.next[i] = size_t(src[i].in.pos - base);
            FUZZ_CHECK(src[i].left == uint64_t(pieces[i].end - src[i].in.pos));
        }
    }
    if (k->stored)
        k->rest = src[0].left || src[1].left || src[2].left ? PR_BADDATA : PR_OK;
}

Trace2 CoreFormat2(const Bytes& box, const Bytes& old, size_t piece, size_t scratchSize) {
    Trace2 t;
    const unsigned char* base = box.data();
    size_t n = box.size();
    F2Header h;
    t.header = F2ReadHeader(base, n, &h);
    if (t.header != PR_OK)
        return t;
    t.open = (h.flags & F2_FLAG_OPEN) != 0;
    uint64_t end = n;
    if (!t.open) {
        if (h.length > n || n - h.length > 7)
            return t;
        for (uint64_t i = h.length; i < n; i++)
            if (base[i])
                return t;
        end = h.length;
    }
    uint64_t records = 0;
    Bytes scratch(scratchSize);
    for (uint64_t at = F2_HEADER_SIZE; at < end;) {
        t.blocks.emplace_back();
        Block2& k = t.blocks.back();
        k.at = size_t(at);
        F2BlockHead b;
        k.head = F2ReadBlockHead(base + at, end - at, &b);
        if (k.head == PR_OK) {
            k.size = b.size;
            k.memory = F2BlockMemory(&b);
            k.stored = true;
            for (const F2StreamHead& s : b.streams)
                k.stored = k.stored && s.method == F2_STORED;
            k.crc = Crc32Update(0, base + at, b.size - 4) == GetU32(base + at + b.size - 4);
        }
        if (k.head != PR_OK || !k.crc) {
            t.result = t.open ? PR_OK : PR_BADDATA;
            return t;
        }
        // the table as the applier reads it: its stream decoded a few bytes
        // at a time
        const F2StreamHead& th = b.streams[F2_TABLE];
        const unsigned char* tp = base + at + b.streamOffset[F2_TABLE];
        Pieces tablePieces{tp + th.packed, piece};
        LzmaInput tin{tp, tp, Refill, &tablePieces};
        LzmaDecoder tableLzma;
        Bytes tableDict(th.method == F2_LZMA ? size_t(std::min<uint64_t>(th.dictSize, th.unpacked)) : 0);
        F2Source table;
        std::vector<F2Record> heads;
        std::deque<std::array<unsigned char, F2_ENTRY_MAX>> entries;  // the names stay where they are
        bool tableBegun = F2SourceBegin(&table, &th, &tableLzma, tableDict.data(), uint32_t(tableDict.size()),
                                        &tin) == PR_OK;
        for (uint32_t r = 0; tableBegun && r < b.count; r++) {
            F2Record e;
            if (F2ReadEntry(&table, entries.emplace_back().data(), &e) != PR_OK)
                break;
            heads.push_back(e);
            Rec2 rec;
            rec.kind = e.kind;
            rec.name.assign(e.name, e.name + e.nameLen);
            rec.newLength = e.newLength;
            rec.newCrc = e.newCrc;
            rec.oldLength = e.oldLength;
            rec.oldCrc = e.oldCrc;
            k.records.push_back(rec);
        }
        if (heads.size() == b.count && table.left == 0)
            k.table = PR_OK;
        if (th.method == F2_LZMA) {
            // judged by the core alone: run what can be run quickly, then
            // stop where the reference stops
            if (k.table == PR_OK && k.memory <= h.memory && SmallLzma(b, heads))
                RunBlock(base, b, heads, old, piece, scratch, &k);
            k.table = kNotRead;
            k.records.clear();
            t.result = kNotRead;
            return t;
        }
        if (k.memory > h.memory || k.table != PR_OK) {
            t.result = PR_BADDATA;
            return t;
        }
        records += b.count;
        if (k.stored || SmallLzma(b, heads))
            RunBlock(base, b, heads, old, piece, scratch, &k);
        if (k.stored && k.rest != PR_OK)
            return t;
        at += b.size;
    }
    t.result = t.open || records == h.count ? PR_OK : PR_BADDATA;
    return t;
}

void CheckFormat2(Bytes& box, const Bytes& old, bool fix) {
    Trace2 want = RefFormat2(box, old, fix);
    FUZZ_CHECK(XorSum(old.data(), old.size()) == RefWordXor(old));
    FUZZ_CHECK(Crc32Update(0, old.data(), old.size()) == RefCrc(old.data(), old.size()));
    FUZZ_CHECK(IsFormat2(box.data(), box.size()) == RefReadHeader(box.data(), box.size()).isFormat2);
    if (!IsFormat2(box.data(), box.size()))
        return;
    Trace2 got = CoreFormat2(box, old, 1 + box.size() % 13, 2 + box.size() % 29);
    FUZZ_CHECK(got.header == want.header);
    FUZZ_CHECK(got.open == want.open);
    FUZZ_CHECK(got.blocks.size() == want.blocks.size());
    for (size_t i = 0; i < want.blocks.size(); i++) {
        const Block2 &g = got.blocks[i], &w = want.blocks[i];
        FUZZ_CHECK(g.at == w.at);
        FUZZ_CHECK(g.head == w.head);
        if (w.head != PR_OK)
            continue;
        FUZZ_CHECK(g.size == w.size && g.memory == w.memory && g.crc == w.crc);
        if (!w.crc)
            continue;
        FUZZ_CHECK(g.table == w.table && g.stored == w.stored);
        FUZZ_CHECK(g.records.size() == w.records.size());
        for (size_t r = 0; r < w.records.size(); r++)
            FUZZ_CHECK(g.records[r] == w.records[r]);
        FUZZ_CHECK(g.rest == w.rest);
    }
    FUZZ_CHECK(got.result == want.result);
}

}  // namespace

// Input: a 16-bit word, the old file (as long as the word's low 15 bits
// say), then the container. With the word's top bit set, a container that
// starts with format 2's magic has its header's and blocks' CRC-32 made to
// hold before it is read.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    size_t word = fuzz::LoadLE(data, 2);
    size_t oldLen = std::min(word & 0x7FFF, size - 2);
    const Bytes old(data + 2, data + 2 + oldLen);
    // the container in a buffer of its own size, so a read past it is caught
    Bytes box(data + 2 + oldLen, data + size);
    CheckFormat2(box, old, (word & 0x8000) != 0);
    CheckBare(box, old);
    return 0;
}
