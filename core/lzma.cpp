// Placeholder until the decoder lands: every LZMA stream is refused.
#include "core/lzma.h"

int LzmaBegin(LzmaDecoder*, unsigned, unsigned char*, uint32_t, uint64_t, LzmaInput*) {
    return 0;
}

int LzmaRead(LzmaDecoder*, unsigned char*, size_t) {
    return 0;
}
