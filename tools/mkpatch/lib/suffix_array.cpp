// Induced sorting. Every level sorts the LMS substrings (the stretches
// between positions where the text turns from falling to rising), names
// them, sorts the string of names (recursively when names repeat), and then
// induces the order of all suffixes from the sorted LMS suffixes.
//
// The end of every text is a virtual sentinel, smaller than any symbol, so
// no level needs an extra slot. The reduced string of a level lives in the
// upper part of the caller's array and its suffix array in the lower part;
// LMS positions are at least two apart, so both halves always fit.
#include "suffix_array.h"

#include <algorithm>
#include <stdexcept>

namespace mkpatch {
namespace {

// One bit per position: set for S-type (smaller than the suffix after it).
class TypeBits {
public:
    explicit TypeBits(uint32_t n) : bits_((n + 63) / 64, 0) {}
    bool S(uint32_t i) const { return (bits_[i >> 6] >> (i & 63)) & 1; }
    void SetS(uint32_t i) { bits_[i >> 6] |= uint64_t{1} << (i & 63); }

private:
    std::vector<uint64_t> bits_;
};

// A plain byte text.
struct ByteText {
    const uint8_t* p;
    uint32_t operator()(uint32_t i) const { return p[i]; }
};

// a, a separator smaller than every byte, then b; symbols shift up by one.
struct PairText {
    const uint8_t* a;
    uint32_t na;
    const uint8_t* b;
    uint32_t operator()(uint32_t i) const {
        if (i < na)
            return a[i] + 1u;
        return i == na ? 0u : b[i - na - 1] + 1u;
    }
};

// The reduced string of names, held inside the level above's array.
struct NameText {
    const uint32_t* p;
    uint32_t operator()(uint32_t i) const { return p[i]; }
};

template <class Text>
class Level {
public:
    Level(const Text& t, uint32_t* sa, uint32_t n, uint32_t k)
        : t_(t), sa_(sa), n_(n), k_(k), type_(n), count_(k, 0), bucket_(k) {}

    // Sorts; onStep, when given, hears of each of kSortSteps passes.
    void Sort(const std::function<void()>* onStep = nullptr);

private:
    bool Lms(uint32_t i) const { return i > 0 && i < n_ && type_.S(i) && !type_.S(i - 1); }
    void Classify();
    void BucketStarts();
    void BucketEnds();
    void InduceL();
    void InduceS();
    uint32_t NameLmsSubstrings(uint32_t lmsCount);
    bool SameLmsSubstring(uint32_t a, uint32_t b) const;

    const Text& t_;
    uint32_t* sa_;
    uint32_t n_;
    uint32_t k_;
    TypeBits type_;
    std::vector<uint32_t> count_;
    std::vector<uint32_t> bucket_;
};

template <class Text>
void Level<Text>::Classify() {
    // the last symbol is above the virtual sentinel, so it is L-type
    for (uint32_t i = n_ - 1; i-- > 0;) {
        uint32_t c = t_(i), d = t_(i + 1);
        if (c < d || (c == d && type_.S(i + 1)))
            type_.SetS(i);
    }
    for (uint32_t i = 0; i < n_; i++)
        count_[t_(i)]++;
}

template <class Text>
void Level<Text>::BucketStarts() {
    uint32_t sum = 0;
    for (uint32_t c = 0; c < k_; c++) {
        bucket_[c] = sum;
        sum += count_[c];
    }
}

template <class Text>
void Level<Text>::BucketEnds() {
    uint32_t sum = 0;
    for (uint32_t c = 0; c < k_; c++) {
        sum += count_[c];
        bucket_[c] = sum;
    }
}

template <class Text>
void Level<Text>::InduceL() {
    BucketStarts();
    // the sentinel sorts first, and the suffix just before it is L-type
    sa_[bucket_[t_(n_ - 1)]++] = n_ - 1;
    for (uint32_t k = 0; k < n_; k++) {
        uint32_t j = sa_[k];
        if (j == kNoPosition || j == 0)
            continue;
        j--;
        if (!type_.S(j))
            sa_[bucket_[t_(j)]++] = j;
    }
}

template <class Text>
void Level<Text>::InduceS() {
    BucketEnds();
    for (uint32_t k = n_; k-- > 0;) {
        uint32_t j = sa_[k];
        if (j == kNoPosition || j == 0)
            continue;
        j--;
        if (type_.S(j))
            sa_[--bucket_[t_(j)]] = j;
    }
}

// Two LMS substrings are equal when their symbols and types agree up to
// and including the next LMS position; one reaching the end never equals
// another, since the sentinel is unique.
template <class Text>
bool Level<Text>::SameLmsSubstring(uint32_t a, uint32_t b) const {
    for (uint32_t d = 0;; d++) {
        if (a + d == n_ || b + d == n_)
            return false;
        if (t_(a + d) != t_(b + d) || type_.S(a + d) != type_.S(b + d))
            return false;
        if (d > 0 && (Lms(a + d) || Lms(b + d)))
            return Lms(a + d) && Lms(b + d);
    }
}

// Names the sorted LMS substrings in sa_[0, lmsCount) and leaves the string
// of names, in text order, in sa_[n - lmsCount, n). Returns the number of
// distinct names.
template <class Text>
uint32_t Level<Text>::NameLmsSubstrings(uint32_t lmsCount) {
    std::fill(sa_ + lmsCount, sa_ + n_, kNoPosition);
    uint32_t names = 0;
    uint32_t prev = kNoPosition;
    for (uint32_t k = 0; k < lmsCount; k++) {
        uint32_t pos = sa_[k];
        if (prev == kNoPosition || !SameLmsSubstring(pos, prev))
            names++;
        prev = pos;
        sa_[lmsCount + pos / 2] = names - 1;  // LMS positions are >= 2 apart
    }
    uint32_t out = n_;
    for (uint32_t k = n_; k-- > lmsCount;) {
        if (sa_[k] != kNoPosition)
            sa_[--out] = sa_[k];
    }
    return names;
}

template <class Text>
void Level<Text>::Sort(const std::function<void()>* onStep) {
    auto step = [&] {
        if (onStep && *onStep)
            (*onStep)();
    };
    if (n_ <= 1) {
        if (n_ == 1)
            sa_[0] = 0;
        for (uint32_t i = 0; i < kSortSteps; i++)
            step();
        return;
    }
    Classify();
    step();

    // Stage 1: LMS suffixes at their buckets' ends, then induce; this sorts
    // the LMS substrings.
    std::fill(sa_, sa_ + n_, kNoPosition);
    BucketEnds();
    for (uint32_t i = 1; i < n_; i++) {
        if (Lms(i))
            sa_[--bucket_[t_(i)]] = i;
    }
    InduceL();
    step();
    InduceS();
    step();

    uint32_t lmsCount = 0;
    for (uint32_t k = 0; k < n_; k++) {
        if (Lms(sa_[k]))
            sa_[lmsCount++] = sa_[k];
    }

    // Stage 2: order the LMS suffixes themselves.
    uint32_t names = NameLmsSubstrings(lmsCount);
    step();
    uint32_t* reduced = sa_ + n_ - lmsCount;
    if (names < lmsCount) {
        NameText sub{reduced};
        Level<NameText>(sub, sa_, lmsCount, names).Sort();
    } else {
        for (uint32_t i = 0; i < lmsCount; i++)
            sa_[reduced[i]] = i;
    }
    step();

    // Stage 3: the sorted LMS suffixes at their buckets' ends, then induce
    // every other suffix from them.
    uint32_t j = 0;
    for (uint32_t i = 1; i < n_; i++) {
        if (Lms(i))
            reduced[j++] = i;
    }
    for (uint32_t k = 0; k < lmsCount; k++)
        sa_[k] = reduced[sa_[k]];
    std::fill(sa_ + lmsCount, sa_ + n_, kNoPosition);
    BucketEnds();
    for (uint32_t k = lmsCount; k-- > 0;) {
        uint32_t pos = sa_[k];
        sa_[k] = kNoPosition;
        sa_[--bucket_[t_(pos)]] = pos;
    }
    InduceL();
    step();
    InduceS();
    step();
}

}  // namespace

std::vector<uint32_t> SuffixArray(std::span<const uint8_t> text) {
    if (text.size() > kMaxSuffixText)
        throw std::length_error("text too large for 32-bit suffix indices");
    uint32_t n = static_cast<uint32_t>(text.size());
    std::vector<uint32_t> sa(n);
    ByteText t{text.data()};
    Level<ByteText>(t, sa.data(), n, 256).Sort();
    return sa;
}

std::vector<uint32_t> PairSuffixArray(std::span<const uint8_t> a, std::span<const uint8_t> b,
                                      const std::function<void()>& onStep) {
    if (uint64_t{a.size()} + b.size() + 1 > kMaxSuffixText)
        throw std::length_error("texts too large for 32-bit suffix indices");
    uint32_t na = static_cast<uint32_t>(a.size());
    uint32_t n = na + 1 + static_cast<uint32_t>(b.size());
    std::vector<uint32_t> sa(n);
    PairText t{a.data(), na, b.data()};
    Level<PairText>(t, sa.data(), n, 257).Sort(&onStep);
    return sa;
}

}  // namespace mkpatch
