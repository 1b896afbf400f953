// The LZMA decoder on any bytes. Input: props (1), dictionary size (2, in
// units of 64 bytes, at least 1 byte), unpacked size (2, in units of 4 bytes),
// a seed for the piece sizes (1), then the packed stream.
//
// The stream is decoded twice, in the same random-sized pieces of output
// and of input (each input piece in a buffer of its own size, so that a
// read past it is a sanitizer error): with the small dictionary, and with
// one that holds the whole output, where only the bytes decoded so far
// bound a distance. Both must agree on the bytes they give, and the small
// one can only stop sooner. Where liblzma is there, its raw decoder, given
// a dictionary that holds the whole output too, must give the same bytes
// and get exactly as far: to the end or to the same fault. (With the
// small dictionary no such comparison holds: liblzma rounds its
// dictionary up and keeps more history than it was asked for.)
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "core/lzma.h"
#include "fuzz_check.h"
#ifdef KORVEX_HAVE_LIBLZMA
#include <lzma.h>
#endif

namespace {

using Bytes = std::vector<unsigned char>;

struct Rng {
    uint32_t s;
    size_t Next(size_t max) {  // 1 to max, small sizes most often
        s = s * 1103515245u + 12345u;
        if (!(s & 0x80000000u) && max > 16)
            max = 16;
        return (s >> 16) % max + 1;
    }
};

struct Pieces {
    LzmaInput in = {};
    const unsigned char* p;
    size_t left;
    Rng rng;
    std::unique_ptr<unsigned char[]> buf;

    static int Refill(LzmaInput* in) {
        Pieces* self = (Pieces*)in->ctx;
        if (!self->left)
            return 0;
        size_t n = self->rng.Next(self->left < 300 ? self->left : 300);
        self->buf.reset(new unsigned char[n]);
        memcpy(self->buf.get(), self->p, n);
        self->p += n;
        self->left -= n;
        in->pos = self->buf.get();
        in->end = in->pos + n;
        return 1;
    }
};

// Decodes in pieces; what the reads that succeeded gave goes to *out, and
// the size of the read that failed to *failed. True when all `unpacked`
// bytes came out.
bool Decode(const unsigned char* packed, size_t size, unsigned props, uint32_t dictSize, uint32_t unpacked,
            uint32_t seed, Bytes* out, size_t* failed) {
    *failed = 1;  // a stream that cannot begin fails before its first byte
    auto d = std::make_unique<LzmaDecoder>();
    auto dict = std::make_unique<unsigned char[]>(dictSize);
    Pieces src;
    src.p = packed;
    src.left = size;
    src.rng.s = seed;
    src.in.refill = Pieces::Refill;
    src.in.ctx = &src;
    if (!LzmaBegin(d.get(), props, dict.get(), dictSize, unpacked, &src.in))
        return false;
    Rng rng = {seed ^ 0x5555};
    while (out->size() < unpacked) {
        size_t n = rng.Next(unpacked - out->size() < 5000 ? unpacked - out->size() : 5000);
        auto piece = std::make_unique<unsigned char[]>(n);
        if (!LzmaRead(d.get(), piece.get(), n)) {
            *failed = n;
            return false;
        }
        out->insert(out->end(), piece.get(), piece.get() + n);
    }
    // asking for more than there is fails
    unsigned char extra;
    FUZZ_CHECK(!LzmaRead(d.get(), &extra, 1));
    return true;
}

#ifdef KORVEX_HAVE_LIBLZMA
// liblzma's raw decoder, stopped after `unpacked` bytes. True when it gave
// them all; *out holds what it gave.
bool Liblzma(const unsigned char* packed, size_t size, unsigned props, uint32_t unpacked, Bytes* out) {
    lzma_options_lzma opt;
    lzma_lzma_preset(&opt, 0);
    opt.lc = props % 9;
    opt.lp = props / 9 % 5;
    opt.pb = props / 45;
    opt.dict_size = unpacked < LZMA_DICT_SIZE_MIN ? LZMA_DICT_SIZE_MIN : unpacked;
    lzma_filter filters[] = {{LZMA_FILTER_LZMA1, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_stream strm = LZMA_STREAM_INIT;
    FUZZ_CHECK(lzma_raw_decoder(&strm, filters) == LZMA_OK);
    out->resize(unpacked);
    strm.next_in = packed;
    strm.avail_in = size;
    strm.next_out = out->data();
    strm.avail_out = unpacked;
    lzma_ret ret = LZMA_OK;
    while (ret == LZMA_OK && strm.avail_out)
        ret = lzma_code(&strm, LZMA_FINISH);
    out->resize(unpacked - strm.avail_out);
    lzma_end(&strm);
    return strm.avail_out == 0;
}
#endif

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 6)
        return 0;
    unsigned props = data[0];
    uint32_t dictSize = fuzz::LoadLE(data + 1, 2) * 64 + 1;
    uint32_t unpacked = fuzz::LoadLE(data + 3, 2) * 4;
    uint32_t seed = data[5];
    const unsigned char* packed = data + 6;
    size_t packedSize = size - 6;
    if (dictSize > unpacked)
        dictSize = unpacked ? unpacked : 1;

    Bytes small, whole;
    size_t smallFailed, wholeFailed;
    bool smallDone = Decode(packed, packedSize, props, dictSize, unpacked, seed, &small, &smallFailed);
    bool wholeDone = Decode(packed, packedSize, props, unpacked ? unpacked : 1, unpacked, seed, &whole, &wholeFailed);
    FUZZ_CHECK(small.size() <= whole.size());
    FUZZ_CHECK(std::equal(small.begin(), small.end(), whole.begin()));
    FUZZ_CHECK(!smallDone || wholeDone);

#ifdef KORVEX_HAVE_LIBLZMA
    // (an empty stream: ours reads the five bytes that start the range
    // decoder, liblzma need not look at them)
    if (!unpacked || props > LZMA_PROPS_MAX || props % 9 + props / 9 % 5 > LZMA_LCLP_MAX)
        return 0;
    Bytes theirs;
    bool theirsDone = Liblzma(packed, packedSize, props, unpacked, &theirs);
    FUZZ_CHECK(wholeDone == theirsDone);
    // ours stops at the read that meets the fault, theirs at the fault
    FUZZ_CHECK(whole.size() <= theirs.size());
    FUZZ_CHECK(wholeDone || theirs.size() < whole.size() + wholeFailed);
    FUZZ_CHECK(std::equal(whole.begin(), whole.end(), theirs.begin()));
#endif
    return 0;
}
