// Shared bits of the fuzz targets: a check that stops the process with the
// failed condition (so libFuzzer keeps the input as a crash), and a small
// hash for output streams too long to keep whole.
#ifndef KORVEX_TESTS_FUZZ_CHECK_H
#define KORVEX_TESTS_FUZZ_CHECK_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "tests/support/stream_hash.h"

#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

namespace fuzz {

using testing_support::StreamHash;

// Reads a little-endian number of n bytes; the caller has checked the bounds.
inline uint32_t LoadLE(const unsigned char* p, size_t n) {
    uint32_t v = 0;
    for (size_t i = 0; i < n; i++)
        v |= uint32_t(p[i]) << (8 * i);
    return v;
}

}  // namespace fuzz

#endif
