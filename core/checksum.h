/* The checksums. The word XOR checksum of the container's records: the XOR
   of a byte sequence's whole little-endian 32-bit words, the last size % 4
   bytes taking no part; whole, or over bytes that arrive in pieces. And
   CRC-32 (the checksum ZIP uses), which the integrity trailer holds because
   the XOR is blind to a file's last bytes and to words that trade places. */
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

/* CRC-32 (reflected, polynomial 0xEDB88320) carried on over more bytes:
   start with crc 0; Crc32Update(Crc32Update(0, a), b) is the CRC of a then
   b. Table-driven, eight bytes a step; the tables are made on the first
   call, so the first call must not race with another. */
uint32_t Crc32Update(uint32_t crc, const unsigned char* bytes, size_t size);

#ifdef __cplusplus
}
#endif

#endif
