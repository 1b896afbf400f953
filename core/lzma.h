/* Placeholder of the LZMA decoder's interface until the decoder lands. */
#ifndef KORVEX_CORE_LZMA_H
#define KORVEX_CORE_LZMA_H

#include <stddef.h>
#include <stdint.h>

enum { LZMA_PROPS_MAX = 224, LZMA_LCLP_MAX = 4, LZMA_DICT_MIN = 4096 };

typedef struct LzmaInput {
    const unsigned char* pos;
    const unsigned char* end;
    int (*refill)(struct LzmaInput* in);
    void* ctx;
} LzmaInput;

typedef struct LzmaDecoder {
    int unused;
} LzmaDecoder;

#ifdef __cplusplus
extern "C" {
#endif
int LzmaBegin(LzmaDecoder* d, unsigned props, unsigned char* dict, uint32_t dictSize, uint64_t unpacked,
              LzmaInput* in);
int LzmaRead(LzmaDecoder* d, unsigned char* out, size_t n);
#ifdef __cplusplus
}
#endif
#endif
