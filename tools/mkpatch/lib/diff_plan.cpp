// The planner works on alignments: an alignment says that new[i] comes
// from old[i + d] for a run of positions, a diagonal d. Versions of a file
// mostly keep long stretches on one diagonal with a few bytes changed in
// them (moved addresses, shifted offsets), which a copy with differences
// carries cheaply: the difference stream is then mostly zeros, and zeros
// code to almost nothing.
//
// 1. Anchors: walking new from the start, the exact longest match at each
//    position (from the suffix array) starts a new alignment only when it
//    beats the current diagonal over the same bytes by more than
//    switchGain agreeing bytes; a match the current diagonal nearly
//    reproduces is better left to the differences, unless the current
//    copy will have ended before it (see rejoinLength).
// 2. Each anchor's copy grows forward and backward over the bytes between
//    anchors, as far as the count of agreeing bytes less the count of
//    disagreeing ones is greatest (so at least half agree); where two
//    copies would overlap, the split that agrees most wins; what neither
//    covers becomes extra literal bytes.
// 3. Inside a copy, long runs without a difference become exact copies of
//    their own, so the applier reads no difference bytes for them.
#include "diff_plan.h"

#include <algorithm>

#include "matcher.h"

namespace mkpatch {
namespace {

// An exact match chosen as the start of an alignment.
struct Anchor {
    uint64_t newPos;
    int64_t diag;  // old position less new position
};

// A stretch of new copied along one diagonal, before it is cut up.
struct Span {
    uint64_t begin, end;
    int64_t diag;
};

class Planner {
public:
    Planner(std::span<const uint8_t> old, std::span<const uint8_t> neu, const DiffPlanOptions& opts)
        : old_(old), new_(neu), opts_(opts) {}

    // Whether new[i] equals its byte on diagonal d (false off old's ends).
    bool Agrees(uint64_t i, int64_t d) const {
        int64_t j = static_cast<int64_t>(i) + d;
        return j >= 0 && static_cast<uint64_t>(j) < old_.size() && old_[j] == new_[i];
    }

    std::vector<Anchor> ChooseAnchors(const LongestMatches& lm) const;
    std::vector<Span> Extend(const std::vector<Anchor>& anchors) const;
    std::vector<DiffCommand> Commands(const std::vector<Span>& spans) const;

private:
    uint64_t Forward(uint64_t from, uint64_t limit, int64_t d) const;
    uint64_t Backward(uint64_t from, uint64_t limit, int64_t d) const;
    uint64_t Split(uint64_t begin, uint64_t end, int64_t left, int64_t right) const;
    void Emit(std::vector<DiffCommand>& out, const Span& s, uint64_t extra) const;

    std::span<const uint8_t> old_;
    std::span<const uint8_t> new_;
    const DiffPlanOptions& opts_;
};

std::vector<Anchor> Planner::ChooseAnchors(const LongestMatches& lm) const {
    std::vector<Anchor> anchors;
    const uint64_t m = new_.size();
    bool have = false;
    int64_t diag = 0;
    // score counts the positions of [i, hi) that agree on the current
    // diagonal; hi only moves forward between anchors, so the walk is
    // linear but for the recount after each new anchor
    uint64_t hi = 0, score = 0;
    // gain and peak follow the current anchor's copy as Forward will grow
    // it: agreeing less disagreeing bytes since the anchor, and their most
    const int64_t rejoin = opts_.rejoinLength;
    int64_t gain = 0, peak = 0;
    for (uint64_t i = 0; i < m;) {
        uint64_t len = lm.length[i];
        if (hi < i) {
            hi = i;
            score = 0;
        }
        for (; hi < i + len; hi++)
            score += have && Agrees(hi, diag);
        // A match the current diagonal holds is still lost when that copy
        // has fallen so far behind its peak that even this match would not
        // carry it past: the copy ends before it, so it starts one anew.
        int64_t slen = static_cast<int64_t>(len);
        bool behind = have && rejoin > 0 && slen >= rejoin && gain + slen <= peak;
        if (len > score + opts_.switchGain || behind) {
            diag = static_cast<int64_t>(lm.offset[i]) - static_cast<int64_t>(i);
            have = true;
            anchors.push_back({i, diag});
            i += len;
            hi = i;
            score = 0;
            gain = peak = slen;
            continue;
        }
        if (have) {
            bool same = Agrees(i, diag);
            gain += same ? 1 : -1;
            peak = std::max(peak, gain);
            if (i < hi && same)
                score--;
        }
        i++;
    }
    return anchors;
}

// How far a copy on diagonal d that starts at from should run, at most to
// limit: where agreeing less disagreeing bytes is greatest, or without
// approximate copies, as long as every byte agrees.
uint64_t Planner::Forward(uint64_t from, uint64_t limit, int64_t d) const {
    int64_t gain = 0, best = 0;
    uint64_t end = from;
    for (uint64_t i = from; i < limit; i++) {
        int64_t j = static_cast<int64_t>(i) + d;
        if (j < 0 || static_cast<uint64_t>(j) >= old_.size())
            break;
        bool same = old_[j] == new_[i];
        if (!opts_.approximate && !same)
            break;
        gain += same ? 1 : -1;
        if (gain > best) {
            best = gain;
            end = i + 1;
        }
    }
    return end;
}

// The same backwards: where a copy on diagonal d that ends at from should
// start, not before limit.
uint64_t Planner::Backward(uint64_t from, uint64_t limit, int64_t d) const {
    int64_t gain = 0, best = 0;
    uint64_t begin = from;
    for (uint64_t i = from; i > limit; i--) {
        int64_t j = static_cast<int64_t>(i - 1) + d;
        if (j < 0 || static_cast<uint64_t>(j) >= old_.size())
            break;
        bool same = old_[j] == new_[i - 1];
        if (!opts_.approximate && !same)
            break;
        gain += same ? 1 : -1;
        if (gain > best) {
            best = gain;
            begin = i - 1;
        }
    }
    return begin;
}

// Where, in [begin, end], a copy on diagonal left should hand over to one
// on diagonal right so that the most bytes agree.
uint64_t Planner::Split(uint64_t begin, uint64_t end, int64_t left, int64_t right) const {
    // taking position i from left instead of right changes the agreement
    // by the difference of the two; the best split is where the running
    // sum of those changes peaks
    int64_t run = 0, best = 0;
    uint64_t at = begin;
    for (uint64_t i = begin; i < end; i++) {
        run += int64_t{Agrees(i, left)} - int64_t{Agrees(i, right)};
        if (run > best) {
            best = run;
            at = i + 1;
        }
    }
    return at;
}

std::vector<Span> Planner::Extend(const std::vector<Anchor>& anchors) const {
    std::vector<Span> spans;
    for (size_t k = 0; k < anchors.size(); k++) {
        const Anchor& a = anchors[k];
        uint64_t next = k + 1 < anchors.size() ? anchors[k + 1].newPos : new_.size();
        uint64_t low = k > 0 ? anchors[k - 1].newPos : 0;
        Span s{Backward(a.newPos, low, a.diag), Forward(a.newPos, next, a.diag), a.diag};
        if (!spans.empty() && spans.back().end > s.begin) {
            uint64_t at = Split(s.begin, spans.back().end, spans.back().diag, s.diag);
            spans.back().end = at;
            s.begin = at;
            if (spans.back().end == spans.back().begin)
                spans.pop_back();
        }
        if (s.end > s.begin)
            spans.push_back(s);
    }
    return spans;
}

// Appends the commands of one span and the extra bytes after it: the span
// cut where a run of exactRun or more equal bytes starts or ends.
void Planner::Emit(std::vector<DiffCommand>& out, const Span& s, uint64_t extra) const {
    auto piece = [&](uint64_t begin, uint64_t end, bool diff) {
        out.push_back({static_cast<uint64_t>(static_cast<int64_t>(begin) + s.diag), end - begin, diff, 0});
    };
    uint64_t pending = s.begin;  // start of bytes not yet in a command
    for (uint64_t i = s.begin; i < s.end;) {
        if (!Agrees(i, s.diag)) {
            i++;
            continue;
        }
        uint64_t run = i;
        while (i < s.end && Agrees(i, s.diag))
            i++;
        bool whole = run == s.begin && i == s.end;
        if (i - run < opts_.exactRun && !whole)
            continue;
        if (run > pending)
            piece(pending, run, true);
        piece(run, i, false);
        pending = i;
    }
    if (s.end > pending)
        piece(pending, s.end, true);
    out.back().extra = extra;
}

std::vector<DiffCommand> Planner::Commands(const std::vector<Span>& spans) const {
    std::vector<DiffCommand> out;
    uint64_t first = spans.empty() ? new_.size() : spans.front().begin;
    if (first > 0)
        out.push_back({0, 0, false, first});
    for (size_t k = 0; k < spans.size(); k++) {
        uint64_t next = k + 1 < spans.size() ? spans[k + 1].begin : new_.size();
        Emit(out, spans[k], next - spans[k].end);
    }
    return out;
}

}  // namespace

// The longest matches take most of a file's time; the rest is linear.
constexpr uint32_t kMatchesShare = kProgressWhole * 4 / 5;

std::vector<DiffCommand> PlanDiff(std::span<const uint8_t> oldBytes, std::span<const uint8_t> newBytes,
                                  const DiffPlanOptions& opts, const EncodeProgress& onProgress) {
    if (newBytes.empty())
        return {};
    auto report = [&](uint32_t done) {
        if (onProgress)
            onProgress(done);
    };
    report(0);
    LongestMatches lm = FindLongestMatches(oldBytes, newBytes);
    report(kMatchesShare);
    Planner planner(oldBytes, newBytes, opts);
    std::vector<Anchor> anchors = planner.ChooseAnchors(lm);
    lm = {};
    std::vector<DiffCommand> commands = planner.Commands(planner.Extend(anchors));
    report(kProgressWhole);
    return commands;
}

}  // namespace mkpatch
