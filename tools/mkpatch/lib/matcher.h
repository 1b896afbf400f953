// Longest matches: for every position of the new file, the longest string
// starting there that also occurs in the old file, and one place where it
// occurs.
#ifndef KORVEX_MKPATCH_MATCHER_H
#define KORVEX_MKPATCH_MATCHER_H

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace mkpatch {

struct LongestMatches {
    std::vector<uint32_t> length;  // per new position; 0 when its byte is not in old
    std::vector<uint32_t> offset;  // an old position holding that match
};

// Exact longest matches of every suffix of newBytes within oldBytes, in
// time linear in old + new, from one suffix array over both. Besides the
// inputs it holds 4 bytes per old byte and 12 per new byte at its peak.
// onStep, when given, is called after each of its kMatchSteps passes
// (the suffix sort's among them), rising evenly enough for a progress bar.
inline constexpr uint32_t kMatchSteps = 10;
LongestMatches FindLongestMatches(std::span<const uint8_t> oldBytes,
                                  std::span<const uint8_t> newBytes,
                                  const std::function<void()>& onStep = {});

}  // namespace mkpatch

#endif
