/* The word XOR checksum of the container's records: the XOR of a byte
   sequence's whole little-endian 32-bit words, the last size % 4 bytes
   taking no part. Whole, or over bytes that arrive in pieces. */
#ifndef KORVEX_CORE_CHECKSUM_H
#define KORVEX_CORE_CHECKSUM_H

#include <stddef.h>
#include <stdint.h>

/* Running state of a checksum over bytes that arrive in pieces. */
typedef struct XorSumState {
    uint32_t sum;
    uint32_t word;      /* bytes of the unfinished word, little-endian */
    unsigned filled;    /* how many bytes of word are set, 0 to 3 */
} XorSumState;

#ifdef __cplusplus
extern "C" {
#endif

uint32_t XorSum(const unsigned char* bytes, size_t size);
void XorSumBegin(XorSumState* st);
void XorSumAdd(XorSumState* st, const unsigned char* bytes, size_t size);
uint32_t XorSumEnd(const XorSumState* st);

#ifdef __cplusplus
}
#endif

#endif
