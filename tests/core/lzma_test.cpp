// The LZMA decoder against streams that liblzma made (lzma_vectors.py, run
// at build time), read in pieces of many sizes, and against damaged ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>

#include "support/lzma_pieces.h"

using namespace testing_support;

namespace {

using Bytes = std::vector<unsigned char>;

struct Vector {
    std::string name;
    unsigned props;
    uint32_t dictSize;  // the stream's dictionary, cut to the data's size
    Bytes packed, data;
};

// The records lzma_vectors.py wrote, in its order.
const std::vector<Vector>& Vectors() {
    static const std::vector<Vector> all = [] {
        std::ifstream f(LZMA_VECTORS, std::ios::binary);
        Bytes b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        auto u32 = [&](size_t at) { return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | (uint32_t)b[at + 3] << 24; };
        std::vector<Vector> v;
        for (size_t at = 0; at < b.size();) {
            std::string name = (const char*)&b[at];
            at += name.size() + 1;
            uint32_t unpacked = u32(at + 5), packed = u32(at + 9);
            auto p = b.begin() + at + 13;
            v.push_back({name, b[at], std::max(1u, std::min(u32(at + 1), unpacked)), Bytes(p, p + packed),
                         Bytes(p + packed, p + packed + unpacked)});
            at += 13 + packed + unpacked;
        }
        return v;
    }();
    return all;
}

PieceSize Fixed(size_t size) {
    return [size](size_t left) { return std::min(size, left); };
}

LzmaPieces Decode(const Bytes& packed, unsigned props, uint32_t dictSize, uint64_t unpacked, size_t outPiece,
                  size_t inPiece) {
    return DecodeInPieces(packed.data(), packed.size(), props, dictSize, unpacked, Fixed(inPiece), Fixed(outPiece));
}

TEST(Lzma, LiblzmaStreamsInPiecesOfEverySize) {
    ASSERT_EQ(Vectors().size(), 9u) << LZMA_VECTORS;
    // {bytes a read, packed bytes a refill}
    const size_t modes[][2] = {{SIZE_MAX, SIZE_MAX}, {1, 1}, {7, 3}, {65536, 1}, {100003, 4096}};
    for (const Vector& v : Vectors())
        for (auto& m : modes) {
            LzmaPieces r = Decode(v.packed, v.props, v.dictSize, v.data.size(), m[0], m[1]);
            EXPECT_TRUE(r.done && r.out == v.data) << v.name << ", reads of " << m[0] << ", refills of " << m[1];
        }
}

TEST(Lzma, DataErrors) {
    const Vector& text = Vectors().at(5);  // text_lp
    const Vector& far = Vectors().at(6);   // far_repeats: distances of about 150 KB
    ASSERT_EQ(far.name, "far_repeats");
    Bytes half(text.packed.begin(), text.packed.begin() + text.packed.size() / 2);
    Bytes notZero = text.packed;
    notZero[0] = 1;
    Bytes ones(64, 0xFF);  // after the 0: every bit a 1, so a repeated match before any byte
    ones[0] = 0;
    const struct {
        const char* what;
        const Bytes& packed;
        unsigned props;
        uint32_t dictSize;
        uint64_t unpacked;
        const Bytes& prefix;  // what must come out before the fault
        bool begins;
    } cases[] = {
        {"packed bytes cut in half", half, text.props, text.dictSize, text.data.size(), text.data, true},
        {"a distance beyond the dictionary", far.packed, far.props, 65536, far.data.size(), far.data, true},
        {"an end marker before the end", text.packed, text.props, text.dictSize, text.data.size() + 1, text.data,
         true},
        {"a distance before the first byte", ones, 0x5D, 4096, 4096, {}, true},
        {"zeros that run out", Bytes(5), 0x5D, 4096, 4096, Bytes(4096), true},
        {"first byte not 0", notZero, text.props, text.dictSize, text.data.size(), {}, false},
        {"fewer than 5 bytes", Bytes(4), 0x5D, 4096, 1, {}, false},
        {"props above 224", text.packed, 225, text.dictSize, text.data.size(), {}, false},
        {"lc + lp above 4", text.packed, (0 * 5 + 1) * 9 + 4, text.dictSize, text.data.size(), {}, false},
    };
    for (const auto& c : cases)
        for (size_t inPiece : {(size_t)1, SIZE_MAX}) {
            // one byte a read: every byte before the fault comes out
            LzmaPieces r = Decode(c.packed, c.props, c.dictSize, c.unpacked, 1, inPiece);
            EXPECT_EQ(r.begun, c.begins) << c.what;
            EXPECT_FALSE(r.done) << c.what;
            EXPECT_LT(r.out.size(), c.unpacked) << c.what;
            EXPECT_TRUE(r.out.size() <= c.prefix.size() && std::equal(r.out.begin(), r.out.end(), c.prefix.begin()))
                << c.what;
        }
}

}  // namespace
