// FNV-1a over a byte stream that arrives in pieces, with its length: lets a
// test compare large outputs without holding them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace testing_support {

struct StreamHash {
    uint64_t hash = 1469598103934665603ull;
    uint64_t length = 0;

    void Add(const unsigned char* p, size_t n) {
        for (size_t i = 0; i < n; i++)
            hash = (hash ^ p[i]) * 1099511628211ull;
        length += n;
    }
    bool operator==(const StreamHash&) const = default;
};

}  // namespace testing_support
