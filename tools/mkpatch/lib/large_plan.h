// The delta planner for files too large to index whole: an index of the
// old file's blocks (a rolling hash, one entry per block) finds where each
// stretch of the new file may come from, and the bytes around each hit
// are compared to make the match exact and as long as it goes. Both files
// are read through bounded windows, so memory stays under a cap whatever
// their size; the new file is planned in fixed segments on several
// threads, and the plan never depends on how many.
#ifndef KORVEX_MKPATCH_LARGE_PLAN_H
#define KORVEX_MKPATCH_LARGE_PLAN_H

#include <cstdint>
#include <filesystem>
#include <vector>

#include "encoder.h"

namespace mkpatch {

// One exact copy: new[at, at + length) == old[from, from + length).
struct LargeCopy {
    uint64_t at;
    uint64_t from;
    uint64_t length;
};

struct LargePlanOptions {
    uint64_t memoryCap = uint64_t{1} << 30;  // the planner's own buffers and index
    unsigned threads = 0;                    // 0: one per processor
    uint64_t segment = uint64_t{16} << 20;   // new bytes planned as one piece
};

// What the planner decided for these inputs and this cap.
struct LargePlanShape {
    uint32_t blockSize;    // old bytes per index entry
    uint64_t tableBytes;   // the index's size
};

// The block size and index size PlanLargeDelta uses for an old file of
// oldSize bytes under the options' cap, whatever the thread count. Throws
// Error when even the largest block size does not fit the cap.
LargePlanShape ChooseLargePlan(uint64_t oldSize, const LargePlanOptions& opts);

// Exact copies, in new-file order and not overlapping, that build newPath
// from oldPath; every byte between them is new (a literal). Throws Error
// naming the file when one cannot be read.
std::vector<LargeCopy> PlanLargeDelta(const std::filesystem::path& oldPath,
                                      const std::filesystem::path& newPath,
                                      const LargePlanOptions& opts,
                                      const EncodeProgress& onProgress = {});

}  // namespace mkpatch

#endif
