// Suffix arrays by induced sorting (SA-IS): linear time, 32-bit indices,
// and no memory beyond the array itself but a bit per position and the
// bucket counts of each level.
#ifndef KORVEX_MKPATCH_SUFFIX_ARRAY_H
#define KORVEX_MKPATCH_SUFFIX_ARRAY_H

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace mkpatch {

// Marks an empty slot; texts are limited to fewer positions than this.
inline constexpr uint32_t kNoPosition = 0xFFFFFFFFu;

// Largest text (or old + new + 1) that 32-bit indices can sort.
inline constexpr uint64_t kMaxSuffixText = 0xFFFFFFFEull;

// Sorts the suffixes of text: sa[k] is the start of the k-th smallest
// suffix, a shorter suffix coming before any longer one it prefixes.
std::vector<uint32_t> SuffixArray(std::span<const uint8_t> text);

// Sorts the suffixes of a + separator + b, where the separator is one
// symbol smaller than every byte and found nowhere else; positions count
// a, then the separator at a.size(), then b. Used to find, for every
// position of b, its longest match in a. onStep, when given, is called
// after each of the kSortSteps passes of the sort, so that a caller can
// show progress inside a large file.
inline constexpr uint32_t kSortSteps = 7;
std::vector<uint32_t> PairSuffixArray(std::span<const uint8_t> a, std::span<const uint8_t> b,
                                      const std::function<void()>& onStep = {});

}  // namespace mkpatch

#endif
