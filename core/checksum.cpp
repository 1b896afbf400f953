// The word XOR checksum, whole and over pieces.
#include "core/checksum.h"

#include <string.h>

uint32_t XorSum(const unsigned char* bytes, size_t size) {
    // four words a step, in four sums: the loop then keeps the processor's
    // load units busy even where the compiler is told to favour size
    uint32_t s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    size_t i = 0;
    for (; i + 16 <= size; i += 16) {
        uint32_t w[4];
        memcpy(w, bytes + i, 16);  // unaligned loads; byte order fixed below
        s0 ^= w[0];
        s1 ^= w[1];
        s2 ^= w[2];
        s3 ^= w[3];
    }
    for (; i + 4 <= size; i += 4) {
        uint32_t w;
        memcpy(&w, bytes + i, 4);
        s0 ^= w;
    }
    uint32_t sum = s0 ^ s1 ^ s2 ^ s3;
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

// The table of 256 entries: the CRC of each byte value. Made at run time
// into zeroed storage rather than stored in the file: the applier stays
// small. Long runs of bytes go through the folding below wherever the
// processor has carry-less multiplication (every x86 processor since
// 2010); the table takes the rest, a byte at a time.
static uint32_t s_crcTable[256];  // entry 1 is not 0 once the table is made

static void MakeCrcTables(void) {
    for (uint32_t n = 0; n < 256; n++) {
        uint32_t c = n;
        for (int k = 0; k < 8; k++)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        s_crcTable[n] = c;
    }
}

// The table CRC without the inversions at either end: the remainder of
// crc's register carried on over bytes.
static uint32_t Crc32Table(uint32_t crc, const unsigned char* bytes, size_t size) {
    while (size--)
        crc = s_crcTable[(crc ^ *bytes++) & 0xFF] ^ (crc >> 8);
    return crc;
}

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>
#include <emmintrin.h>
#include <wmmintrin.h>

// Folding with carry-less multiplication. In the reflected bit order a
// 16-byte block loaded little-endian holds the coefficients of x^127 (bit 0)
// down to x^0 (bit 127), times x^(8 * the bytes after it). A block is moved
// forward over n bits by multiplying its first half (x^64 and up) by
// x^(n+64) mod P and its second half by x^n mod P; each constant is taken
// as x^32 * (x^(e) mod P), reflected over 33 bits, so that the 96-bit
// products land bit-aligned in the next block. What remains at the end is
// a 16-byte value congruent to everything folded so far; the table CRC of
// that value followed by the last bytes is the CRC of the whole.
enum { CRC_FOLD_MIN = 64 };

// A 32-bit Windows thread's stack is only 4-byte aligned: the function sets
// up its own alignment before anything of 16 bytes could be kept there.
#if defined(__i386__)
#define KORVEX_ALIGN_STACK __attribute__((force_align_arg_pointer))
#else
#define KORVEX_ALIGN_STACK
#endif

__attribute__((target("sse2,pclmul"))) KORVEX_ALIGN_STACK static uint32_t Crc32Folded(
    uint32_t crc, const unsigned char* bytes, size_t size) {
    // (x^(128+32) mod P, x^(128-32) mod P): one block forward
    const __m128i k1 = _mm_set_epi32(0, 0xCCAA009E, 0x00000001, 0x751997D0);
    // (x^(512+32) mod P, x^(512-32) mod P): four blocks forward
    const __m128i k4 = _mm_set_epi32(0x00000001, 0xC6E41596, 0x00000001, 0x54442BD4);
    __m128i x0 = _mm_xor_si128(_mm_loadu_si128((const __m128i*)bytes), _mm_cvtsi32_si128((int)crc));
    __m128i x1 = _mm_loadu_si128((const __m128i*)(bytes + 16));
    __m128i x2 = _mm_loadu_si128((const __m128i*)(bytes + 32));
    __m128i x3 = _mm_loadu_si128((const __m128i*)(bytes + 48));
    bytes += 64;
    size -= 64;
#define KORVEX_FOLD(x, k, next) \
    _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next)
    while (size >= 64) {
        x0 = KORVEX_FOLD(x0, k4, _mm_loadu_si128((const __m128i*)bytes));
        x1 = KORVEX_FOLD(x1, k4, _mm_loadu_si128((const __m128i*)(bytes + 16)));
        x2 = KORVEX_FOLD(x2, k4, _mm_loadu_si128((const __m128i*)(bytes + 32)));
        x3 = KORVEX_FOLD(x3, k4, _mm_loadu_si128((const __m128i*)(bytes + 48)));
        bytes += 64;
        size -= 64;
    }
    x0 = KORVEX_FOLD(x0, k1, x1);
    x0 = KORVEX_FOLD(x0, k1, x2);
    x0 = KORVEX_FOLD(x0, k1, x3);
    while (size >= 16) {
        x0 = KORVEX_FOLD(x0, k1, _mm_loadu_si128((const __m128i*)bytes));
        bytes += 16;
        size -= 16;
    }
#undef KORVEX_FOLD
    unsigned char rest[16];
    _mm_storeu_si128((__m128i*)rest, x0);
    return Crc32Table(Crc32Table(0, rest, 16), bytes, size);
}

// Every processor that runs Windows has the cpuid instruction and its
// leaf 1, so neither is asked about first.
static int HasCarrylessMultiply(void) {
    unsigned a, b, c, d;
    __cpuid(1, a, b, c, d);
    return (c & bit_PCLMUL) && (d & bit_SSE2);
}
#else
enum { CRC_FOLD_MIN = 0 };
static uint32_t Crc32Folded(uint32_t crc, const unsigned char* bytes, size_t size) {
    return Crc32Table(crc, bytes, size);
}
static int HasCarrylessMultiply(void) {
    return 0;
}
#endif

static int s_crcFolds;

uint32_t Crc32Update(uint32_t crc, const unsigned char* bytes, size_t size) {
    if (!s_crcTable[1]) {
        MakeCrcTables();
        s_crcFolds = HasCarrylessMultiply();
    }
    crc = ~crc;
    if (s_crcFolds && size >= CRC_FOLD_MIN)
        return ~Crc32Folded(crc, bytes, size);
    return ~Crc32Table(crc, bytes, size);
}
