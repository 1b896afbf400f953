// Runs a command stream with the core, the output kept in memory: for tests
// that need the core's own reading of a stream, without the engine's files.
#pragma once

#include <cstdint>
#include <vector>

#include "core/format.h"

namespace testing_support {

struct MemoryOutput {
    const std::vector<uint8_t>* old;
    std::vector<uint8_t> bytes;
};

inline int MemoryWrite(void* ctx, const unsigned char* p, size_t n) {
    auto* m = static_cast<MemoryOutput*>(ctx);
    m->bytes.insert(m->bytes.end(), p, p + n);
    return 1;
}

// RunCommands has checked the range against the old bytes' size.
inline int MemoryCopy(void* ctx, uint32_t offset, uint32_t length) {
    auto* m = static_cast<MemoryOutput*>(ctx);
    return MemoryWrite(ctx, m->old->data() + offset, length);
}

// Runs the commands at *cur against old into *out; returns what RunCommands
// returns, and leaves *cur where it stopped.
inline int RunInMemory(const std::vector<uint8_t>& old, PatchCursor* cur, std::vector<uint8_t>* out) {
    MemoryOutput m{&old, {}};
    PatchOutput po{MemoryWrite, MemoryCopy, &m, old.size()};
    int rc = RunCommands(cur, &po);
    *out = std::move(m.bytes);
    return rc;
}

}  // namespace testing_support
