// The word XOR checksum, whole and over pieces.
#include "core/checksum.h"

#include <string.h>

uint32_t XorSum(const unsigned char* bytes, size_t size) {
    uint32_t sum = 0;
    size_t words = size / 4;
    for (size_t i = 0; i < words; i++) {
        uint32_t w;
        memcpy(&w, bytes + 4 * i, 4);  // one unaligned load; fixed below
        sum ^= w;
    }
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    sum = __builtin_bswap32(sum);
#endif
    return sum;
}

void XorSumBegin(XorSumState* st) {
    st->sum = 0;
    st->word = 0;
    st->filled = 0;
}

void XorSumAdd(XorSumState* st, const unsigned char* bytes, size_t size) {
    while (size && st->filled) {  // finish the word left open last time
        st->word |= (uint32_t)*bytes++ << (8 * st->filled);
        size--;
        if (++st->filled == 4) {
            st->sum ^= st->word;
            st->word = 0;
            st->filled = 0;
        }
    }
    size_t whole = size & ~(size_t)3;
    st->sum ^= XorSum(bytes, whole);
    for (size_t i = whole; i < size; i++)
        st->word |= (uint32_t)bytes[i] << (8 * st->filled++);
}

uint32_t XorSumEnd(const XorSumState* st) {
    return st->sum;  // an unfinished last word takes no part
}
