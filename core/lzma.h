/* A decoder of raw LZMA streams (the public LZMA format: a range decoder
   over adaptive bit models, literals, matches and the four most recent
   match distances). The stream has no header of its own: the container
   gives its properties, its dictionary size and how many bytes it unpacks
   to. Everything the decoder needs lives in LzmaDecoder and in the
   caller's dictionary buffer; nothing is allocated.

   The packed bytes are untrusted: every distance is checked against what
   has been decoded and against the dictionary, every read of packed bytes
   stays in [pos, end) of the input, and running out of them is an error,
   never a read past the end. */
#ifndef KORVEX_CORE_LZMA_H
#define KORVEX_CORE_LZMA_H

#include <stddef.h>
#include <stdint.h>

enum {
    LZMA_PROPS_MAX = 224,  /* (pb * 5 + lp) * 9 + lc, pb <= 4, lp <= 4, lc <= 8 */
    LZMA_LCLP_MAX = 4,     /* lc + lp at most this: bounds the literal tables */
    /* Bit models: 1846 for the match, length and distance coders, then one
       table of 0x300 per literal context (1 << (lc + lp) of them). */
    LZMA_PROBS = 1846 + (0x300 << LZMA_LCLP_MAX),
    LZMA_DICT_MIN = 4096
};

/* Where the packed bytes come from. pos/end: the bytes at hand. refill,
   called when pos == end, puts the next bytes in [pos, end) and returns 1,
   or returns 0 when the packed bytes are used up. May be 0 (then the bytes
   at hand are all there is). */
typedef struct LzmaInput {
    const unsigned char* pos;
    const unsigned char* end;
    int (*refill)(struct LzmaInput* in);
    void* ctx;
} LzmaInput;

/* The whole state of one stream, the bit models included. */
typedef struct LzmaDecoder {
    uint32_t range;         /* range decoder: the interval's width ... */
    const unsigned char* pos;  /* in's bytes at hand while decoding, copied */
    const unsigned char* end;  /* here so that no pointer to in is followed a byte */
    LzmaInput* in;
    unsigned char* dict;    /* the last dictSize bytes, circular */
    uint32_t dictSize;
    uint64_t left;          /* bytes of the stream not yet handed out */
    /* from code to state: all 0 when a stream starts */
    uint32_t code;          /* the packed value's place in the range */
    int dry;                /* the packed bytes ran out: zeros are read */
    uint32_t dictPos;       /* where the next byte goes */
    uint32_t posBase;       /* stream position of dict[0], modulo 2^32: the
                               literal and position contexts use its low bits */
    int dictFull;           /* dict has wrapped: all dictSize bytes are history */
    uint32_t matchLeft;     /* bytes of the last match not yet copied */
    uint32_t rep[4];        /* the four most recent distances, less one */
    unsigned state;         /* what the last symbols were, 0 to 11 */
    unsigned lc;            /* literal context: high bits of the last byte */
    uint32_t lpMask;        /* literal context: low bits of the position */
    uint32_t pbMask;        /* low bits of the position for the other models */
    uint16_t probs[LZMA_PROBS];
} LzmaDecoder;

#ifdef __cplusplus
extern "C" {
#endif

/* Starts a raw LZMA stream (no header: the properties come from the container) of
   `unpacked` bytes: props as above (lc + lp <= 4, else 0), dict the caller's buffer of
   dictSize >= 1 bytes (the caller gives min(the stream's dictionary size, unpacked)),
   in the packed bytes, read through from here on. Reads the 5 bytes that start the
   range decoder (the first must be 0). Returns 1, or 0 for bad properties or input. */
int LzmaBegin(LzmaDecoder* d, unsigned props, unsigned char* dict, uint32_t dictSize,
              uint64_t unpacked, LzmaInput* in);

/* Decodes the next n bytes of the stream into out. Returns 1, or 0 for a data error:
   a match distance beyond the bytes decoded so far or beyond dictSize, packed bytes
   used up, n more than the unpacked bytes left, an end marker before the end.
   After 0 the decoder is of no further use. A stream may end with an end marker
   after its last byte; it is never read (decoding stops after `unpacked` bytes).
   A match that runs past the last byte is cut there. */
int LzmaRead(LzmaDecoder* d, unsigned char* out, size_t n);

#ifdef __cplusplus
}
#endif

#endif
