// The suffix sort, the longest matches and the cost-optimal parse, each
// against a slow, separately written reference; then round trips through
// the core's command runner.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <map>
#include <string>

#include "core/format.h"
#include "generate.h"
#include "tree.h"
#include "tools/mkpatch/lib/diff_plan.h"
#include "tools/mkpatch/lib/encoder.h"
#include "tools/mkpatch/lib/format2_reader.h"
#include "tools/mkpatch/lib/format2_writer.h"
#include "tools/mkpatch/lib/lzma_enc.h"
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

// Format 2's planner: the commands cover the new file exactly, exact copies
// hold no difference and copies with differences hold at least one, and
// without approximate copies there are none with differences.
void CheckPlan(const Bytes& old, const Bytes& neu, const std::vector<mkpatch::DiffCommand>& plan,
               const mkpatch::DiffPlanOptions& o) {
    uint64_t at = 0;
    for (const auto& c : plan) {
        ASSERT_LE(c.oldPos + c.copy, old.size());
        bool differs = !std::equal(neu.begin() + at, neu.begin() + at + c.copy, old.begin() + c.oldPos);
        EXPECT_EQ(c.diff, differs) << "copy at new " << at;
        EXPECT_TRUE(o.approximate || !c.diff);
        at += c.copy + c.extra;
    }
    EXPECT_EQ(at, neu.size());
}

// Planner, writer and the core's reader together: generated pairs, in one
// container per option set, blocks cut small for one of them, rebuilt
// through F2RunRecord.
// A record rebuilt in memory from an old file at hand.
struct MemorySink {
    const Bytes* old = nullptr;
    Bytes out;
    F2Sink sink{Write, Copy, this};

    static int Write(void* ctx, const unsigned char* bytes, size_t n) {
        auto* m = static_cast<MemorySink*>(ctx);
        m->out.insert(m->out.end(), bytes, bytes + n);
        return 1;
    }
    static int Copy(void* ctx, uint64_t offset, uint64_t n, unsigned char* diffs) {
        auto* m = static_cast<MemorySink*>(ctx);
        if (offset > m->old->size() || n > m->old->size() - offset)
            return 0;
        for (uint64_t i = 0; i < n; i++)
            m->out.push_back(static_cast<uint8_t>((*m->old)[offset + i] + (diffs ? diffs[i] : 0)));
        return 1;
    }
};

TEST(DiffPlan, RoundTripsThroughTheCoreReader) {
    struct Variant {
        const char* what;
        mkpatch::DiffPlanOptions plan;
        uint64_t blockBytes;
        bool compress;
    } variants[] = {
        {"default, LZMA", {}, mkpatch::kBlockStreamBytes, true},
        {"exact copies only", {8, false, 32}, mkpatch::kBlockStreamBytes, false},
        {"every equal run its own copy, small blocks", {8, true, 1}, 3000, false},
        {"eager switching, small blocks, LZMA", {0, true, UINT32_MAX}, 5000, true},
        {"no rejoining", {8, true, UINT32_MAX, 0}, mkpatch::kBlockStreamBytes, false},
        {"rejoining on every match, small blocks, LZMA", {8, true, UINT32_MAX, 1}, 4000, true},
    };
    for (const Variant& v : variants) {
        SCOPED_TRACE(std::string(v.what) + ", seed 808");
        std::mt19937 rng(808);
        mkpatch::Format2Writer w({v.plan, v.compress, v.blockBytes});
        // the same records again, every stream of more than 1000 bytes in
        // a temporary file and the blocks to a sink: the same container
        tree::TempDir spillDir;
        mkpatch::Format2Options spillOpts{v.plan, v.compress, v.blockBytes};
        spillOpts.spillBytes = 1000;
        spillOpts.tempFolder = spillDir.path();
        Bytes sunk;
        mkpatch::Format2Writer spilled(spillOpts, [&](std::span<const uint8_t> b) { sunk.insert(sunk.end(), b.begin(), b.end()); });
        std::map<std::string, std::pair<Bytes, Bytes>> pairs;
        for (int round = 0; round < 16; round++) {
            unsigned alpha = round % 4 == 0 ? 4 : 256;
            Bytes old = gen::RandomBytes(rng, rng() % 20000, alpha);
            Bytes neu = round == 5 ? Bytes{} : gen::Edit(rng, old, 1 + round * 2, alpha);
            std::string name = "f";  // appended: GCC 12 warns falsely of overlap on "f" + ...
            name += std::to_string(100 + round);
            CheckPlan(old, neu, mkpatch::PlanDiff(old, neu, v.plan), v.plan);
            if (round % 7 == 3) {
                w.AddWhole(name, neu), old.clear();
                spilled.AddWhole(name, neu);
            } else {
                w.AddDelta(name, old, neu);
                spilled.AddDelta(name, old, neu);
            }
            pairs[name] = {old, neu};
        }
        Bytes c = w.Finish();
        Bytes header = spilled.Finish();
        header.insert(header.end(), sunk.begin(), sunk.end());
        EXPECT_TRUE(header == c);
        EXPECT_TRUE(std::filesystem::is_empty(spillDir.path())) << "temporary files left behind";
        size_t rebuilt = 0;
        MemorySink sink;
        auto s = mkpatch::ReadFormat2(
            c, false,
            [&](const mkpatch::F2RecordInfo& r) {
                sink.old = &pairs.at(r.name).first;
                sink.out.clear();
                return &sink.sink;
            },
            [&](const mkpatch::F2RecordInfo& r, int result) {
                EXPECT_EQ(result, PR_OK) << r.name;
                EXPECT_EQ(sink.out, pairs.at(r.name).second) << r.name;
                rebuilt++;
            });
        EXPECT_EQ(s.problem, "");
        EXPECT_EQ(rebuilt, pairs.size());
        EXPECT_EQ(s.blocks.size() > 1, v.blockBytes < mkpatch::kBlockStreamBytes) << s.blocks.size();
    }
}

// Bytes changed in place every so often: copies with differences carry
// them and nothing goes to the literal stream but the inserted bytes;
// with exact copies only, the changed bytes become literal bytes.
TEST(DiffPlan, ScatteredChangesBecomeDifferences) {
    std::mt19937 rng(12);
    Bytes old = gen::RandomBytes(rng, 20000);
    Bytes neu = old;
    for (size_t i = 100; i < neu.size(); i += 50)
        neu[i]++;
    neu.insert(neu.begin() + 10007, {'i', 'n', 's', 'e', 'r', 't'});
    auto totals = [&](const mkpatch::DiffPlanOptions& o) {
        uint64_t literal = 0, diffed = 0;
        for (const auto& c : mkpatch::PlanDiff(old, neu, o)) {
            literal += c.extra;
            diffed += c.diff ? c.copy : 0;
        }
        return std::pair(literal, diffed);
    };
    auto [literal, diffed] = totals({8, true, 1000});
    EXPECT_LE(literal, 6u + 1);
    EXPECT_GE(diffed, neu.size() - 100);
    auto [exactLiteral, exactDiffed] = totals({8, false, 32});
    EXPECT_EQ(exactDiffed, 0u);
    EXPECT_GE(exactLiteral, 390u);
}

// Short equal runs on one diagonal between longer changed stretches (as in
// gzip output after an early change): the copy along the diagonal ends
// after the first run, and each later run starts a copy of its own, so
// that only the changed bytes are literal. Without rejoining, the runs
// after the first go as literal bytes too.
TEST(DiffPlan, ShortRunsOnTheSameDiagonalRejoin) {
    std::mt19937 rng(31);
    Bytes old = gen::RandomBytes(rng, 30000);
    Bytes neu(old.begin() + 40, old.end());
    for (size_t i = 0; i < neu.size(); i++) {
        if (i % 100 >= 30)
            neu[i] = static_cast<uint8_t>(rng());
    }
    auto literal = [&](unsigned rejoin) {
        mkpatch::DiffPlanOptions o;
        o.rejoinLength = rejoin;
        auto plan = mkpatch::PlanDiff(old, neu, o);
        CheckPlan(old, neu, plan, o);
        uint64_t n = 0;
        for (const auto& c : plan)
            n += c.extra;
        return n;
    };
    EXPECT_LE(literal(8), neu.size() * 72 / 100);
    EXPECT_GE(literal(0), neu.size() * 95 / 100);
    // runs shorter than the threshold are left alone
    EXPECT_GE(literal(31), neu.size() * 95 / 100);
}

// A small probe for the tests: 4 pieces of 4 KB, from 64 KB.
constexpr mkpatch::StreamProbe kTestProbe{64 << 10, 4, 4 << 10};

// A stream just large enough to be probed, zeros but for random bytes in
// the first `random` of its probe pieces.
Bytes ProbeFilled(std::mt19937& rng, size_t random) {
    const auto& p = kTestProbe;
    Bytes b(p.from, 0);
    for (size_t k = 0; k < random; k++) {
        Bytes r = gen::RandomBytes(rng, p.piece);
        std::copy(r.begin(), r.end(), b.begin() + (p.from - p.piece) / (p.pieces - 1) * k);
    }
    return b;
}

// A stream is LZMA-coded only when that makes it smaller, and then decodes
// through the core's decoder to its bytes with the contexts chosen.
TEST(Format2Writer, CodeStreamKeepsTheSmallerForm) {
    std::mt19937 rng(3);
    struct Case {
        const char* what;
        Bytes bytes;
        mkpatch::StreamCoding coding;
        bool compress;
        unsigned method;
    } cases[] = {
        {"empty", {}, {3, 0, 2}, true, F2_STORED},
        {"random bytes", gen::RandomBytes(rng, 3000), {3, 0, 2}, true, F2_STORED},
        {"mostly zeros", Bytes(50000, 0), {0, 0, 0}, true, F2_LZMA},
        {"text", gen::Edit(rng, Bytes(20000, 'a'), 40, 4), {1, 3, 4}, true, F2_LZMA},
        {"compression off", Bytes(50000, 0), {0, 0, 0}, false, F2_STORED},
        // a large stream is judged by its probe pieces: random where they
        // are is stored without coding the rest (zeros here, a loss taken
        // knowingly); zeros in three of them, and it is coded
        {"large, random where probed", ProbeFilled(rng, 4), {0, 0, 0}, true, F2_STORED},
        {"large, one probe piece random", ProbeFilled(rng, 1), {0, 0, 0}, true, F2_LZMA},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto coded = mkpatch::CodeStream(c.bytes, c.coding, 8192, c.compress, kTestProbe);
        ASSERT_EQ(coded.head.method, c.method);
        EXPECT_EQ(coded.head.packed, coded.packed.size());
        EXPECT_EQ(coded.head.unpacked, c.bytes.size());
        if (c.method == F2_STORED) {
            EXPECT_EQ(coded.packed, c.bytes);
            continue;
        }
        EXPECT_LT(coded.packed.size(), c.bytes.size());
        EXPECT_EQ(coded.head.props, (c.coding.pb * 5 + c.coding.lp) * 9 + c.coding.lc);
        LzmaDecoder d;
        Bytes dict(std::min<size_t>(coded.head.dictSize, c.bytes.size())), out(c.bytes.size());
        LzmaInput in{coded.packed.data(), coded.packed.data() + coded.packed.size(), nullptr, nullptr};
        F2Source src;
        ASSERT_EQ(F2SourceBegin(&src, &coded.head, &d, dict.data(), static_cast<uint32_t>(dict.size()), &in), PR_OK);
        ASSERT_TRUE(F2SourceRead(&src, out.data(), out.size()));
        EXPECT_EQ(out, c.bytes);
    }
}

// Each stream's dictionary is at least 4096 bytes and no larger than the
// stream needs; the buffers the decoder keeps fit 64 MiB.
TEST(Format2Writer, DictionariesFitTheDecoderMemory) {
    const uint64_t MiB = 1 << 20;
    const uint64_t cases[][F2_STREAMS] = {
        {0, 0, 0, 0}, {10, 5000, 4096, 30}, {1 * MiB, 2 * MiB, 60 * MiB, 1000}, {1 * MiB, 70 * MiB, 3 * MiB, 0},
        {40 * MiB, 40 * MiB, 40 * MiB, 40 * MiB}, {100, 1ull << 40, 1ull << 33, 9 * MiB},
    };
    for (const auto& u : cases) {
        uint32_t d[F2_STREAMS];
        mkpatch::ChooseDictionaries(u, d);
        uint64_t sum = 0, all = 0;
        for (unsigned i = 0; i < F2_STREAMS; i++) {
            EXPECT_GE(d[i], uint32_t{LZMA_DICT_MIN});
            EXPECT_TRUE(d[i] == LZMA_DICT_MIN || d[i] <= u[i]) << i;
            sum += std::min<uint64_t>(d[i], u[i]);
            all += u[i];
        }
        EXPECT_LE(sum, F2_MEMORY_MAX);
        // when everything fits, every stream gets all it needs
        if (all <= F2_MEMORY_MAX) {
            EXPECT_EQ(sum, all);
        }
    }
}

// Under a memory cap a stream's dictionary shrinks to the largest power of
// two whose encoder fits, never below 4096; what fits is left as it is.
TEST(Format2Writer, DictionariesFitTheMemoryCap) {
    const uint64_t MiB = 1 << 20;
    struct Case {
        uint32_t dict;
        uint64_t unpacked;
        bool spilled;
        uint64_t budget;
        uint32_t want;
    } cases[] = {
        {64 * MiB, 64 * MiB, false, 640 * MiB, 64 * MiB},  // a full block at the default cap
        {64 * MiB, 64 * MiB, true, 640 * MiB, 32 * MiB},   // read from a file, its buffer counts too
        {40 * MiB, 40 * MiB, true, 40 * MiB, 2 * MiB},
        {40 * MiB, 100000, true, 40 * MiB, 40 * MiB},      // the window is the stream, not the dictionary
        {1 * MiB, 1 * MiB, false, 1000, 4096},
    };
    for (const Case& c : cases) {
        uint32_t d = mkpatch::FitDictionary(c.dict, c.unpacked, c.spilled, c.budget);
        EXPECT_EQ(d, c.want) << c.dict << " " << c.unpacked << " " << c.budget;
        uint32_t window = static_cast<uint32_t>(std::min<uint64_t>(d, c.unpacked));
        if (d > LZMA_DICT_MIN) {
            EXPECT_LE(mkpatch::LzmaEncoderMemory(window, c.spilled), c.budget);
        }
    }
}

}  // namespace
