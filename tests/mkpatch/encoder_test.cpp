// The suffix sort, the longest matches and the cost-optimal parse, each
// against a slow, separately written reference; then round trips through
// the core's command runner.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

#include "core/format.h"
#include "generate.h"
#include "tools/mkpatch/lib/encoder.h"
#include "tools/mkpatch/lib/matcher.h"
#include "tools/mkpatch/lib/suffix_array.h"

namespace {

using gen::Bytes;

Bytes FromString(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// Suffix order by direct comparison: a proper prefix sorts first.
std::vector<uint32_t> NaiveSuffixArray(const std::vector<int>& t) {
    std::vector<uint32_t> sa(t.size());
    for (uint32_t i = 0; i < sa.size(); i++)
        sa[i] = i;
    std::sort(sa.begin(), sa.end(), [&](uint32_t a, uint32_t b) {
        return std::lexicographical_compare(t.begin() + a, t.end(), t.begin() + b, t.end());
    });
    return sa;
}

std::vector<int> AsSymbols(const Bytes& b) {
    return std::vector<int>(b.begin(), b.end());
}

// Texts whose shapes stress induced sorting: runs, periods, few symbols.
std::vector<Bytes> SortCases() {
    std::mt19937 rng(20240601);
    std::vector<Bytes> cases = {
        {}, FromString("a"), FromString("aaaaaaaaaaaaaaaa"), FromString("banana"),
        FromString("mississippi"), FromString("abababababababab"), FromString("abcabcabcabcabx"),
        FromString("zyxwvutsrqponm"), Bytes{0, 0, 0, 255, 255, 0, 0, 255},
    };
    for (size_t n : {2u, 17u, 100u, 1000u, 5000u}) {
        for (unsigned alpha : {2u, 4u, 256u})
            cases.push_back(gen::RandomBytes(rng, n, alpha));
    }
    Bytes fib = {'a'}, prev = {'b'};
    while (fib.size() < 3000) {  // Fibonacci words: deep recursion
        Bytes next = fib;
        next.insert(next.end(), prev.begin(), prev.end());
        prev = fib;
        fib = next;
    }
    cases.push_back(fib);
    return cases;
}

TEST(SuffixArray, MatchesNaiveSort) {
    for (const Bytes& text : SortCases()) {
        SCOPED_TRACE("size " + std::to_string(text.size()));
        EXPECT_EQ(mkpatch::SuffixArray(text), NaiveSuffixArray(AsSymbols(text)));
    }
}

TEST(SuffixArray, PairSortsSeparatorBelowEveryByte) {
    auto cases = SortCases();
    for (size_t c = 0; c + 1 < cases.size(); c++) {
        const Bytes& a = cases[c];
        const Bytes& b = cases[c + 1];
        std::vector<int> t(a.begin(), a.end());
        t.push_back(-1);
        t.insert(t.end(), b.begin(), b.end());
        SCOPED_TRACE("sizes " + std::to_string(a.size()) + "+" + std::to_string(b.size()));
        EXPECT_EQ(mkpatch::PairSuffixArray(a, b), NaiveSuffixArray(t));
    }
}

// Longest match by trying every old position.
uint32_t NaiveLongest(const Bytes& old, const Bytes& neu, size_t i) {
    uint32_t best = 0;
    for (size_t o = 0; o < old.size(); o++) {
        uint32_t l = 0;
        while (o + l < old.size() && i + l < neu.size() && old[o + l] == neu[i + l])
            l++;
        best = std::max(best, l);
    }
    return best;
}

TEST(LongestMatches, ExactLengthsAndValidOffsets) {
    std::mt19937 rng(77);
    for (int round = 0; round < 60; round++) {
        unsigned alpha = round % 3 == 0 ? 2 : round % 3 == 1 ? 5 : 256;
        Bytes old = gen::RandomBytes(rng, rng() % 300, alpha);
        Bytes neu = gen::Edit(rng, old, 1 + round % 6, alpha);
        SCOPED_TRACE("round " + std::to_string(round));
        auto lm = mkpatch::FindLongestMatches(old, neu);
        ASSERT_EQ(lm.length.size(), neu.size());
        for (size_t i = 0; i < neu.size(); i++) {
            ASSERT_EQ(lm.length[i], NaiveLongest(old, neu, i)) << "position " << i;
            if (lm.length[i] > 0) {
                ASSERT_LE(uint64_t{lm.offset[i]} + lm.length[i], old.size());
                ASSERT_EQ(0, std::memcmp(&old[lm.offset[i]], &neu[i], lm.length[i]));
            }
        }
    }
}

// The least stream size by a shortest path over every split of the new
// bytes into pieces, each piece a copy when it occurs in old (found by
// search) or a literal run. It assumes nothing about longest matches.
uint64_t BruteForceOptimum(const Bytes& old, const Bytes& neu) {
    const size_t m = neu.size();
    std::vector<uint64_t> best(m + 1, std::numeric_limits<uint64_t>::max());
    best[0] = 0;
    for (size_t j = 1; j <= m; j++) {
        for (size_t i = 0; i < j; i++) {
            uint64_t lit = best[i] + CMD_INSERT_HEAD_SIZE + (j - i);
            best[j] = std::min(best[j], lit);
            auto piece = neu.begin() + static_cast<long>(i);
            bool inOld = std::search(old.begin(), old.end(), piece,
                                     neu.begin() + static_cast<long>(j)) != old.end();
            if (inOld)
                best[j] = std::min(best[j], best[i] + CMD_COPY_SIZE);
        }
    }
    return best[m] + CMD_END_SIZE;
}

TEST(Encoder, SizeEqualsBruteForceOptimum) {
    std::mt19937 rng(4242);
    for (int round = 0; round < 150; round++) {
        unsigned alpha = round % 2 ? 3 : 256;
        Bytes old = gen::RandomBytes(rng, rng() % 90, alpha);
        Bytes neu = gen::Edit(rng, old, 1 + round % 5, alpha);
        if (neu.size() > 90)
            neu.resize(90);
        SCOPED_TRACE("round " + std::to_string(round) + " seed 4242");
        Bytes stream = mkpatch::EncodeDelta(old, neu);
        EXPECT_EQ(stream.size(), BruteForceOptimum(old, neu));
        int r = -1;
        EXPECT_EQ(mkpatch::RunDeltaInMemory(old, stream, &r), neu);
        EXPECT_EQ(r, PR_OK);
    }
}

// Hand-made cases where a greedy longest-match choice is not the cheapest.
TEST(Encoder, ShortMatchesBecomeLiterals) {
    struct Case {
        const char* old;
        const char* neu;
        size_t size;
    } cases[] = {
        {"", "", 1},                                  // END only
        {"abc", "", 1},
        {"", "xyz", 5 + 3 + 1},                       // one insert
        {"0123456789", "0123456789", 9 + 1},          // one copy
        {"abcdefgh", "abcdefgh", 9 + 1},              // a copy beats 13 literal bytes
        {"abc", "abcXabc", 5 + 7 + 1},                // 3-byte matches do not pay
        {"0123456789ABCDEF", "0123456789ABCDEF!0123456789ABCDEF", 9 + 5 + 1 + 9 + 1},
    };
    for (const Case& c : cases) {
        Bytes old = FromString(c.old), neu = FromString(c.neu);
        SCOPED_TRACE(std::string(c.old) + " -> " + c.neu);
        Bytes stream = mkpatch::EncodeDelta(old, neu);
        EXPECT_EQ(stream.size(), c.size);
        EXPECT_EQ(stream.size(), BruteForceOptimum(old, neu));
        int r = -1;
        EXPECT_EQ(mkpatch::RunDeltaInMemory(old, stream, &r), neu);
    }
}

TEST(Encoder, RoundTripsAndNeverExceedsOneInsert) {
    std::mt19937 rng(99);
    for (int round = 0; round < 24; round++) {
        size_t n = 1000 + rng() % 60000;
        unsigned alpha = round % 4 == 0 ? 4 : 256;
        Bytes old = gen::RandomBytes(rng, n, alpha);
        Bytes neu = gen::Edit(rng, old, 1 + round * 3, alpha);
        SCOPED_TRACE("round " + std::to_string(round) + " seed 99");
        auto plan = mkpatch::PlanDelta(old, neu);
        Bytes stream = mkpatch::WriteStream(plan, neu);
        EXPECT_EQ(stream.size(), mkpatch::StreamSize(plan));
        EXPECT_LE(stream.size(), CMD_INSERT_HEAD_SIZE + neu.size() + CMD_END_SIZE);
        int r = -1;
        EXPECT_EQ(mkpatch::RunDeltaInMemory(old, stream, &r), neu);
        EXPECT_EQ(r, PR_OK);
        for (size_t k = 1; k < plan.size(); k++)  // merged runs: never two inserts in a row
            EXPECT_FALSE(!plan[k].copy && !plan[k - 1].copy);
    }
}

TEST(Encoder, UnrelatedDataIsOneInsert) {
    std::mt19937 rng(5);
    Bytes old = gen::RandomBytes(rng, 4000);
    Bytes neu = gen::RandomBytes(rng, 4000);
    auto plan = mkpatch::PlanDelta(old, neu);
    ASSERT_EQ(plan.size(), 1u);
    EXPECT_FALSE(plan[0].copy);
}

TEST(RunDeltaInMemory, ReportsBadStreams) {
    Bytes old = FromString("0123456789");
    struct Case {
        const char* what;
        Bytes stream;
        int result;
    } cases[] = {
        {"undefined command", {4, 0}, PR_BADDATA},
        {"whole-file tag inside a stream", {2, 1, 0, 0, 0, 'x', 3}, PR_BADDATA},
        {"no end byte", {2, 1, 0, 0, 0, 'x'}, PR_BADDATA},
        {"truncated copy", {1, 4, 0, 0}, PR_BADDATA},
        {"bytes after the end", {0, 0}, PR_BADDATA},
        // copy 4 bytes from offset 8 of a 10-byte file
        {"copy past the old file", {1, 4, 0, 0, 0, 8, 0, 0, 0, 0}, PR_BADRESULT},
    };
    for (const Case& c : cases) {
        int r = -1;
        Bytes out = mkpatch::RunDeltaInMemory(old, c.stream, &r);
        EXPECT_EQ(r, c.result) << c.what;
        EXPECT_TRUE(out.empty()) << c.what;
    }
}

// Progress is told inside a large file, rising, from 0 to the whole; the
// stream is the same with or without it.
TEST(EncodeDelta, ReportsProgressInsideAFile) {
    std::mt19937 rng(5);
    Bytes old = gen::RandomBytes(rng, 3u << 19);  // one report inside the parse
    Bytes neu = gen::Edit(rng, old, 10);
    std::vector<uint32_t> seen;
    Bytes stream = mkpatch::EncodeDelta(old, neu, [&](uint32_t done) { seen.push_back(done); });
    EXPECT_EQ(stream, mkpatch::EncodeDelta(old, neu));
    ASSERT_GE(seen.size(), 4u);  // start, matches found, inside the parse, end
    EXPECT_EQ(seen.front(), 0u);
    EXPECT_EQ(seen.back(), mkpatch::kProgressWhole);
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_GT(std::count_if(seen.begin(), seen.end(),
                            [](uint32_t d) { return d > 0 && d < mkpatch::kProgressWhole; }), 1);
    // the suffix sort, most of the time, moves the bar too: no step skips
    // a fifth of the whole
    uint32_t gap = 0;
    for (size_t i = 1; i < seen.size(); i++)
        gap = std::max(gap, seen[i] - seen[i - 1]);
    EXPECT_LE(gap, mkpatch::kProgressWhole / 5);
}

}  // namespace
