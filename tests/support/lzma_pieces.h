// Drives the LZMA decoder in pieces: packed bytes handed out a piece at a
// time, each in a buffer of its own size (so that a read past a piece is a
// sanitizer error), and the output asked for a piece at a time.
#ifndef KORVEX_TESTS_SUPPORT_LZMA_PIECES_H
#define KORVEX_TESTS_SUPPORT_LZMA_PIECES_H

#include <string.h>

#include <functional>
#include <memory>
#include <vector>

#include "core/lzma.h"

namespace testing_support {

// The size of the next piece, 1 to left, given left > 0 bytes to go.
using PieceSize = std::function<size_t(size_t left)>;

struct LzmaPieces {
    bool begun = false;
    bool done = false;         // every byte came out, and a read past them failed
    std::vector<unsigned char> out;  // what the reads that succeeded gave
    size_t failedRead = 0;     // the size of the read that failed
};

inline LzmaPieces DecodeInPieces(const unsigned char* packed, size_t size, unsigned props, uint32_t dictSize,
                                 uint64_t unpacked, PieceSize inPiece, PieceSize outPiece) {
    struct Source {
        LzmaInput in;
        const unsigned char* p;
        size_t left;
        PieceSize* piece;
        std::unique_ptr<unsigned char[]> buf;
    } src = {{}, packed, size, &inPiece, nullptr};
    src.in.ctx = &src;
    src.in.refill = [](LzmaInput* in) {
        Source* s = (Source*)in->ctx;
        if (!s->left)
            return 0;
        size_t n = (*s->piece)(s->left);
        s->buf.reset(new unsigned char[n]);
        memcpy(s->buf.get(), s->p, n);
        s->p += n;
        s->left -= n;
        in->pos = s->buf.get();
        in->end = in->pos + n;
        return 1;
    };
    LzmaPieces r;
    auto d = std::make_unique<LzmaDecoder>();
    auto dict = std::make_unique<unsigned char[]>(dictSize);
    r.begun = LzmaBegin(d.get(), props, dict.get(), dictSize, unpacked, &src.in);
    while (r.begun && r.out.size() < unpacked) {
        size_t n = outPiece(unpacked - r.out.size());
        auto piece = std::make_unique<unsigned char[]>(n);
        if (!LzmaRead(d.get(), piece.get(), n)) {
            r.failedRead = n;
            return r;
        }
        r.out.insert(r.out.end(), piece.get(), piece.get() + n);
    }
    unsigned char extra;
    r.done = r.begun && !LzmaRead(d.get(), &extra, 1);
    return r;
}

}  // namespace testing_support

#endif
