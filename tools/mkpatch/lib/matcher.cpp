// In the suffix array of old + separator + new, the old suffix sharing the
// longest prefix with a new suffix is the nearest old suffix before it or
// the nearest one after it, and what they share is the least common-prefix
// length between neighbours on the way there. So it is enough to know, for
// each new suffix, its common prefix with the suffix just before it and
// with the one just after it; old-old neighbours never matter.
//
// Both neighbour lengths are computed in text order, where each is at least
// the previous one less one (Kasai's argument), so their total work is
// linear. The two arrays that hold them are then reused for the results.
#include "matcher.h"

#include <algorithm>

#include "suffix_array.h"

namespace mkpatch {
namespace {

// Common prefix length of the suffixes at p and q of old + separator + new.
// The separator is unique, so a match never runs across it.
class PairView {
public:
    PairView(std::span<const uint8_t> a, std::span<const uint8_t> b)
        : a_(a.data()), na_(static_cast<uint32_t>(a.size())), b_(b.data()),
          n_(na_ + 1 + static_cast<uint32_t>(b.size())) {}

    uint32_t OldSize() const { return na_; }
    uint32_t Size() const { return n_; }
    bool IsNew(uint32_t pos) const { return pos > na_; }

    // Extends a known common prefix h of p and q as far as it goes.
    uint32_t Extend(uint32_t p, uint32_t q, uint32_t h) const {
        while (p + h < n_ && q + h < n_) {
            int x = At(p + h), y = At(q + h);
            if (x != y || x < 0)
                break;
            h++;
        }
        return h;
    }

private:
    int At(uint32_t i) const {
        if (i < na_)
            return a_[i];
        return i == na_ ? -1 : b_[i - na_ - 1];
    }

    const uint8_t* a_;
    uint32_t na_;
    const uint8_t* b_;
    uint32_t n_;
};

// Replaces each neighbour position in link[i] (for new position i) by the
// common prefix length of new suffix i with that neighbour.
void NeighbourLengths(const PairView& text, std::vector<uint32_t>& link) {
    uint32_t h = 0;
    uint32_t base = text.OldSize() + 1;
    for (uint32_t i = 0; i < link.size(); i++) {
        if (link[i] == kNoPosition) {
            link[i] = 0;
            h = 0;
            continue;
        }
        h = text.Extend(base + i, link[i], h);
        link[i] = h;
        if (h > 0)
            h--;
    }
}

}  // namespace

LongestMatches FindLongestMatches(std::span<const uint8_t> oldBytes,
                                  std::span<const uint8_t> newBytes,
                                  const std::function<void()>& onStep) {
    LongestMatches out;
    const uint32_t m = static_cast<uint32_t>(newBytes.size());
    if (m == 0)
        return out;
    if (oldBytes.empty()) {
        out.length.assign(m, 0);
        out.offset.assign(m, 0);
        return out;
    }

    auto step = [&] {
        if (onStep)
            onStep();
    };
    std::vector<uint32_t> sa = PairSuffixArray(oldBytes, newBytes, onStep);
    PairView text(oldBytes, newBytes);
    const uint32_t n = text.Size();
    const uint32_t base = text.OldSize() + 1;

    // before[i] / after[i]: the suffix just before / after new suffix i.
    std::vector<uint32_t> before(m), after(m);
    for (uint32_t k = 0; k < n; k++) {
        if (!text.IsNew(sa[k]))
            continue;
        uint32_t i = sa[k] - base;
        before[i] = k > 0 ? sa[k - 1] : kNoPosition;
        after[i] = k + 1 < n ? sa[k + 1] : kNoPosition;
    }
    step();
    NeighbourLengths(text, before);
    step();
    NeighbourLengths(text, after);
    step();

    // Walk each run of new suffixes between two old ones (the separator
    // counts as old; it matches nothing, so what it offers has length 0).
    // Forward, before[] turns into the match with the old suffix in front;
    // backward, after[] gives the one behind, and the better of the two
    // ends in before[] (length) and after[] (offset).
    for (uint32_t k = 0; k < n;) {
        if (!text.IsNew(sa[k])) {
            k++;
            continue;
        }
        uint32_t first = k;
        while (k < n && text.IsNew(sa[k]))
            k++;
        uint32_t last = k;  // one past the run
        bool hasFront = first > 0;
        bool hasBack = last < n;
        uint32_t front = hasFront ? sa[first - 1] : 0;
        uint32_t back = hasBack ? sa[last] : 0;

        uint32_t run = kNoPosition;
        for (uint32_t j = first; j < last; j++) {
            uint32_t i = sa[j] - base;
            run = std::min(run, before[i]);
            before[i] = hasFront ? run : 0;
        }
        run = kNoPosition;
        for (uint32_t j = last; j-- > first;) {
            uint32_t i = sa[j] - base;
            run = std::min(run, after[i]);
            uint32_t behind = hasBack ? run : 0;
            if (behind > before[i]) {
                before[i] = behind;
                after[i] = back;
            } else {
                after[i] = before[i] > 0 ? front : 0;
            }
        }
    }
    sa = {};
    out.length = std::move(before);
    out.offset = std::move(after);
    return out;
}

}  // namespace mkpatch
