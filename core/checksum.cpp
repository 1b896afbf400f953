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

// Eight tables of 256 entries: table k gives the CRC of a byte followed by
// k zero bytes, so eight input bytes are folded in one step. Made at run
// time into zeroed storage rather than stored in the file: the applier
// stays small.
static uint32_t s_crcTable[8][256];
static int s_crcReady;

static void MakeCrcTables(void) {
    for (uint32_t n = 0; n < 256; n++) {
        uint32_t c = n;
        for (int k = 0; k < 8; k++)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        s_crcTable[0][n] = c;
    }
    for (uint32_t n = 0; n < 256; n++)
        for (int k = 1; k < 8; k++)
            s_crcTable[k][n] = (s_crcTable[k - 1][n] >> 8) ^ s_crcTable[0][s_crcTable[k - 1][n] & 0xFF];
    s_crcReady = 1;
}

uint32_t Crc32Update(uint32_t crc, const unsigned char* bytes, size_t size) {
    if (!s_crcReady)
        MakeCrcTables();
    crc = ~crc;
    while (size >= 8) {
        uint32_t lo = crc ^ ((uint32_t)bytes[0] | (uint32_t)bytes[1] << 8 | (uint32_t)bytes[2] << 16 |
                             (uint32_t)bytes[3] << 24);
        uint32_t hi = (uint32_t)bytes[4] | (uint32_t)bytes[5] << 8 | (uint32_t)bytes[6] << 16 |
                      (uint32_t)bytes[7] << 24;
        crc = s_crcTable[7][lo & 0xFF] ^ s_crcTable[6][(lo >> 8) & 0xFF] ^ s_crcTable[5][(lo >> 16) & 0xFF] ^
              s_crcTable[4][lo >> 24] ^ s_crcTable[3][hi & 0xFF] ^ s_crcTable[2][(hi >> 8) & 0xFF] ^
              s_crcTable[1][(hi >> 16) & 0xFF] ^ s_crcTable[0][hi >> 24];
        bytes += 8;
        size -= 8;
    }
    while (size--)
        crc = s_crcTable[0][(crc ^ *bytes++) & 0xFF] ^ (crc >> 8);
    return ~crc;
}
