// The LZMA decoder on any bytes. Input: props (1), dictionary size (2, in
// units of 64 bytes, at least 1 byte), unpacked size (2, in units of 4 bytes),
// a seed for the piece sizes (1), then the packed stream.
//
// The stream is decoded twice, in the same random-sized pieces of output
// and of input: with the small dictionary, and with one that holds the
// whole output, where only the bytes decoded so far bound a distance. Both
// must agree on the bytes they give, and the small one can only stop
// sooner. Where liblzma is there, its raw decoder, also with a dictionary
// that holds the whole output (it takes none under 4 KB), must give the
// same bytes and stop where the second one stops: at the end, or at the
// same fault.
#include <algorithm>
#include <vector>

#include "fuzz_check.h"
#include "tests/support/lzma_pieces.h"
#ifdef KORVEX_HAVE_LIBLZMA
#include <lzma.h>
#endif

namespace {

using Bytes = std::vector<unsigned char>;
using testing_support::DecodeInPieces;
using testing_support::LzmaPieces;

// Piece sizes from a seed: 1 to left, at most 16 half the time.
struct Rng {
    uint32_t s;
    size_t operator()(size_t left) {
        s = s * 1103515245u + 12345u;
        size_t max = std::min<size_t>(left, (s & 0x80000000u) ? 5000 : 16);
        return (s >> 16) % max + 1;
    }
};

LzmaPieces Decode(const unsigned char* packed, size_t size, unsigned props, uint32_t dictSize, uint32_t unpacked,
                  uint32_t seed) {
    return DecodeInPieces(packed, size, props, dictSize, unpacked, Rng{seed}, Rng{seed ^ 0x5555});
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

    LzmaPieces small = Decode(packed, packedSize, props, dictSize, unpacked, seed);
    LzmaPieces whole = Decode(packed, packedSize, props, unpacked ? unpacked : 1, unpacked, seed);
    FUZZ_CHECK(small.out.size() <= whole.out.size());
    FUZZ_CHECK(std::equal(small.out.begin(), small.out.end(), whole.out.begin()));
    FUZZ_CHECK(!small.done || whole.done);

#ifdef KORVEX_HAVE_LIBLZMA
    // (an empty stream: ours reads the five bytes that start the range
    // decoder, liblzma need not look at them)
    if (!unpacked || props > LZMA_PROPS_MAX || props % 9 + props / 9 % 5 > LZMA_LCLP_MAX)
        return 0;
    Bytes theirs;
    bool theirsDone = Liblzma(packed, packedSize, props, unpacked, &theirs);
    FUZZ_CHECK(whole.done == theirsDone);
    // ours stops at the read that meets the fault (or before the first
    // byte), theirs at the fault
    FUZZ_CHECK(whole.out.size() <= theirs.size());
    FUZZ_CHECK(std::equal(whole.out.begin(), whole.out.end(), theirs.begin()));
    FUZZ_CHECK(whole.done || theirs.size() < whole.out.size() + std::max<size_t>(whole.failedRead, 1));
#endif
    return 0;
}
