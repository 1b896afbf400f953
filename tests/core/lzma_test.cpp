// The LZMA decoder against streams that liblzma made (lzma_vectors.py, run
// at build time), read in pieces of many sizes, and against damaged ones.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "core/lzma.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct Vector {
    std::string name;
    unsigned props;
    uint32_t dictSize;
    Bytes packed, data;
};

std::vector<Vector> LoadVectors() {
    std::vector<Vector> all;
    FILE* f = fopen(LZMA_VECTORS, "rb");
    if (!f)
        return all;
    Bytes file;
    unsigned char buf[65536];
    for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;)
        file.insert(file.end(), buf, buf + n);
    fclose(f);
    auto u32 = [&](size_t at) { return file[at] | file[at + 1] << 8 | file[at + 2] << 16 | (uint32_t)file[at + 3] << 24; };
    for (size_t at = 0; at < file.size();) {
        Vector v;
        v.name = (const char*)&file[at];
        at += v.name.size() + 1;
        v.props = file[at];
        v.dictSize = u32(at + 1);
        uint32_t unpacked = u32(at + 5), packed = u32(at + 9);
        at += 13;
        v.packed.assign(file.begin() + at, file.begin() + at + packed);
        v.data.assign(file.begin() + at + packed, file.begin() + at + packed + unpacked);
        at += packed + unpacked;
        all.push_back(v);
    }
    return all;
}

const std::vector<Vector>& Vectors() {
    static const std::vector<Vector> all = LoadVectors();
    return all;
}

// Hands out the packed bytes `piece` at a time, each piece in a buffer of
// its own size, so that a read past a piece's end is a sanitizer error.
struct PieceInput {
    LzmaInput in = {};
    const Bytes* packed;
    size_t at = 0, piece;
    std::unique_ptr<unsigned char[]> buf;

    PieceInput(const Bytes& p, size_t pieceSize) : packed(&p), piece(pieceSize) {
        in.refill = Refill;
        in.ctx = this;
    }
    static int Refill(LzmaInput* in) {
        PieceInput* self = (PieceInput*)in->ctx;
        size_t n = std::min(self->piece, self->packed->size() - self->at);
        if (!n)
            return 0;
        self->buf.reset(new unsigned char[n]);
        memcpy(self->buf.get(), self->packed->data() + self->at, n);
        self->at += n;
        in->pos = self->buf.get();
        in->end = in->pos + n;
        return 1;
    }
};

// Decodes `unpacked` bytes of a stream with the given dictionary, reading
// outPiece bytes a call and taking inPiece packed bytes at a time. True
// when every read succeeded; *out holds what the successful reads gave.
bool Decode(const Bytes& packed, unsigned props, uint32_t dictSize, uint64_t unpacked, size_t outPiece,
            size_t inPiece, Bytes* out) {
    auto d = std::make_unique<LzmaDecoder>();
    Bytes dict(dictSize);
    PieceInput input(packed, inPiece);
    out->clear();
    if (!LzmaBegin(d.get(), props, dict.data(), dictSize, unpacked, &input.in))
        return false;
    while (out->size() < unpacked) {
        Bytes piece(std::min<uint64_t>(outPiece, unpacked - out->size()));
        if (!LzmaRead(d.get(), piece.data(), piece.size()))
            return false;
        out->insert(out->end(), piece.begin(), piece.end());
    }
    return true;
}

uint32_t DictFor(const Vector& v) {
    return std::max<uint32_t>(1, std::min<uint32_t>(v.dictSize, (uint32_t)v.data.size()));
}

TEST(Lzma, LiblzmaStreamsInPiecesOfEverySize) {
    ASSERT_GE(Vectors().size(), 9u) << "no test streams in " << LZMA_VECTORS;
    // {bytes a read, packed bytes a refill}
    const size_t modes[][2] = {{SIZE_MAX, SIZE_MAX}, {1, 1}, {7, 3}, {65536, 1}, {100003, 4096}};
    for (const Vector& v : Vectors())
        for (auto& m : modes) {
            Bytes out;
            EXPECT_TRUE(Decode(v.packed, v.props, DictFor(v), v.data.size(), m[0], m[1], &out))
                << v.name << " reads of " << m[0] << ", refills of " << m[1];
            EXPECT_TRUE(out == v.data) << v.name << " reads of " << m[0] << ", refills of " << m[1];
        }
}

const Vector& Named(const char* name) {
    for (const Vector& v : Vectors())
        if (v.name == name)
            return v;
    static const Vector none = {"none", 0, 1, {}, {}};
    return none;
}

TEST(Lzma, DataErrors) {
    ASSERT_FALSE(Vectors().empty());
    const Vector& text = Named("text_lp");
    const Vector& far = Named("far_repeats");
    Bytes textHalf(text.packed.begin(), text.packed.begin() + text.packed.size() / 2);
    Bytes notZero = text.packed;
    notZero[0] = 1;
    Bytes fourBytes = {0, 0, 0, 0};
    // all ones decode as a match from the last distance, before any byte
    Bytes ones(64, 0xFF);
    ones[0] = 0;
    // zeros decode as zero literals until the packed bytes run out
    Bytes zeros(5, 0);
    const struct {
        const char* what;
        const Bytes& packed;
        unsigned props;
        uint32_t dictSize;
        uint64_t unpacked, read;  // read: bytes asked for after Begin
        bool begins;
    } cases[] = {
        {"packed bytes cut in half", textHalf, text.props, DictFor(text), text.data.size(), text.data.size(), true},
        {"a distance beyond the dictionary", far.packed, far.props, 65536, far.data.size(), far.data.size(), true},
        {"more than the unpacked bytes", text.packed, text.props, DictFor(text), 1000, 1001, true},
        {"an end marker before the end", text.packed, text.props, DictFor(text), text.data.size() + 1,
         text.data.size() + 1, true},
        {"a distance before the first byte", ones, 0x5D, 4096, 4096, 1, true},
        {"zeros that run out", zeros, 0x5D, 4096, 4096, 4096, true},
        {"first byte not 0", notZero, text.props, DictFor(text), text.data.size(), 0, false},
        {"fewer than 5 bytes", fourBytes, 0x5D, 4096, 1, 0, false},
        {"props above 224", text.packed, 225, DictFor(text), text.data.size(), 0, false},
        {"lc + lp above 4", text.packed, (0 * 5 + 1) * 9 + 4, DictFor(text), text.data.size(), 0, false},
    };
    for (const auto& c : cases)
        for (size_t inPiece : {(size_t)1, SIZE_MAX}) {
            auto d = std::make_unique<LzmaDecoder>();
            Bytes dict(c.dictSize), out(c.read);
            PieceInput input(c.packed, inPiece);
            ASSERT_EQ(LzmaBegin(d.get(), c.props, dict.data(), c.dictSize, c.unpacked, &input.in), c.begins) << c.what;
            if (!c.begins)
                continue;
            // every byte before the fault comes out; the read that meets it fails
            size_t good = 0;
            while (good < c.read && LzmaRead(d.get(), out.data() + good, 1))
                good++;
            EXPECT_LT(good, c.read) << c.what;
            EXPECT_EQ(LzmaRead(d.get(), out.data(), 1), 0) << c.what << ": a failed decoder stays failed";
        }
}

}  // namespace
