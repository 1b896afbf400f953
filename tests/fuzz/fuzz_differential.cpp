// The core's in-memory apply against a reader written here from the format
// alone. Input: a 16-bit length k, k bytes of old file, then the container.
// For every record both must agree on the result (PR_OK, PR_BADRESULT for a
// copy past the old file, PR_BADDATA for an undefined command or bytes that
// run out), on where the next record starts, on the bytes a good record
// writes, and on the checksum of those bytes taken as they are written.
// After the last record the reference reads the integrity trailer on its
// own (and takes CRC-32 bit by bit), and both must agree on what is there.
// A good delta record's reverse (core/reverse.h, with a table small enough
// to need windows) must turn what it wrote back into the old file.
#include <cstring>
#include <vector>

#include "core/format.h"
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    size_t oldLen = fuzz::LoadLE(data, 2);
    if (oldLen > size - 2)
        oldLen = size - 2;
    const Bytes old(data + 2, data + 2 + oldLen);
    // the container in a buffer of its own size, so a read past it is caught
    const Bytes box(data + 2 + oldLen, data + size);
    const unsigned char* base = box.data();

    PatchCursor cur;
    CursorInit(&cur, base, box.size());
    unsigned count;
    int headRc = ReadContainerHeader(&cur, &count);
    FUZZ_CHECK((headRc == PR_OK) == (box.size() >= 4));
    if (headRc != PR_OK)
        return 0;
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
            return 0;
        FUZZ_CHECK(whole == want.whole);
        FUZZ_CHECK(size_t(cur.pos - base) == want.next);
        if (got == PR_OK) {
            FUZZ_CHECK(out.bytes == want.output);
            FUZZ_CHECK(XorSumEnd(&out.sum) == RefWordXor(want.output));
            FUZZ_CHECK(XorSum(out.bytes.data(), out.bytes.size()) == RefWordXor(want.output));
        }
    }
    CheckTrailer(base, box.size(), recordsEnd, count);
    return 0;
}
