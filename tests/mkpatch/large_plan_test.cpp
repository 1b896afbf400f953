// The block-index planner for large files, on generated files a few MB
// long, planned in small segments with small windows so that every edge
// (segment ends, the old file's window, block boundaries) is crossed many
// times.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <random>

#include "generate.h"
#include "support/scratch_dir.h"
#include "tools/mkpatch/lib/error.h"
#include "tools/mkpatch/lib/large_plan.h"

namespace {

using gen::Bytes;
namespace fs = std::filesystem;

void WriteFile(const fs::path& p, const Bytes& b) {
    std::ofstream f(p, std::ios::binary);
    f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

// Checks that every copy is exact, in order and inside both files, and
// returns the bytes the copies leave to literals.
uint64_t LiteralBytes(const std::vector<mkpatch::LargeCopy>& plan, const Bytes& old, const Bytes& neu) {
    uint64_t pos = 0, literal = 0;
    for (const auto& c : plan) {
        EXPECT_GE(c.at, pos);
        EXPECT_LE(c.at + c.length, neu.size());
        EXPECT_LE(c.from + c.length, old.size());
        if (c.at + c.length > neu.size() || c.from + c.length > old.size())
            return UINT64_MAX;
        EXPECT_TRUE(std::equal(old.begin() + c.from, old.begin() + c.from + c.length, neu.begin() + c.at));
        literal += c.at - pos;
        pos = c.at + c.length;
    }
    return literal + (neu.size() - pos);
}

struct Case {
    const char* what;
    std::function<Bytes(std::mt19937&, const Bytes&)> change;
    uint64_t maxLiteral;  // the new bytes the change put in, and a little
};

Bytes Splice(Bytes b, size_t at, size_t erase, const Bytes& put) {
    b.erase(b.begin() + at, b.begin() + at + erase);
    b.insert(b.begin() + at, put.begin(), put.end());
    return b;
}

TEST(LargePlan, FindsWhatTheEditsLeft) {
    std::mt19937 rng(20261209);
    std::printf("seed 20261209\n");
    const Bytes old = gen::RandomBytes(rng, 3 << 20);
    const Case cases[] = {
        {"identical", [](std::mt19937&, const Bytes& o) { return o; }, 0},
        {"200 local edits",
         [](std::mt19937& r, const Bytes& o) {
             Bytes b = o;
             for (int i = 0; i < 200; i++)
                 b[r() % b.size()] ^= 0x5A;
             return b;
         },
         200},
        {"insertion of 300 KB", [](std::mt19937& r, const Bytes& o) { return Splice(o, 1000003, 0, gen::RandomBytes(r, 300000)); }, 300000},
        {"deletion", [](std::mt19937&, const Bytes& o) { return Splice(o, 777777, 123457, {}); }, 0},
        {"moved block",
         [](std::mt19937&, const Bytes& o) {
             Bytes block(o.begin() + 2000000, o.begin() + 2500000);
             return Splice(Splice(o, 2000000, 500000, {}), 10, 0, block);
         },
         0},
        {"block repeated many times",
         [](std::mt19937&, const Bytes& o) {
             Bytes b(o.begin(), o.begin() + 4096);
             for (int i = 0; i < 300; i++)
                 b.insert(b.end(), o.begin() + 100000, o.begin() + 104096);
             return b;
         },
         0},
    };
    testing_support::ScratchDir dir("largeplan");
    WriteFile(dir.path() / "old", old);
    mkpatch::LargePlanOptions opts;
    opts.segment = 256 << 10;
    opts.threads = 2;
    for (const Case& c : cases) {
        Bytes neu = c.change(rng, old);
        WriteFile(dir.path() / "new", neu);
        auto plan = mkpatch::PlanLargeDelta(dir.path() / "old", dir.path() / "new", opts);
        // a match may stop short only where a segment ends
        uint64_t slack = (neu.size() / opts.segment + 1) * 2 * 64;
        EXPECT_LE(LiteralBytes(plan, old, neu), c.maxLiteral + slack) << c.what;
    }
}

// The plan depends on the inputs and the segment size only.
TEST(LargePlan, SameForAnyThreadCount) {
    std::mt19937 rng(7);
    Bytes old = gen::RandomBytes(rng, 1 << 20, 4);  // small alphabet: many equal blocks
    Bytes neu = gen::Edit(rng, old, 40, 4);
    testing_support::ScratchDir dir("largeplan-threads");
    WriteFile(dir.path() / "old", old);
    WriteFile(dir.path() / "new", neu);
    mkpatch::LargePlanOptions opts;
    opts.segment = 100000;
    opts.threads = 1;
    auto one = mkpatch::PlanLargeDelta(dir.path() / "old", dir.path() / "new", opts);
    LiteralBytes(one, old, neu);
    opts.threads = 3;
    auto three = mkpatch::PlanLargeDelta(dir.path() / "old", dir.path() / "new", opts);
    ASSERT_EQ(one.size(), three.size());
    for (size_t i = 0; i < one.size(); i++)
        EXPECT_TRUE(one[i].at == three[i].at && one[i].from == three[i].from && one[i].length == three[i].length);
}

// A smaller cap takes larger blocks, and the index always fits the cap.
TEST(LargePlan, IndexFitsTheCap) {
    const uint64_t old = uint64_t{3} << 30;
    uint32_t last = 0;
    for (uint64_t cap : {uint64_t{4} << 30, uint64_t{1} << 30, uint64_t{300} << 20}) {
        mkpatch::LargePlanOptions opts;
        opts.memoryCap = cap;
        opts.threads = 2;
        auto shape = mkpatch::ChooseLargePlan(old, opts);
        EXPECT_LT(shape.tableBytes, cap);
        EXPECT_GE(shape.blockSize, last);
        last = shape.blockSize;
    }
    mkpatch::LargePlanOptions tiny;
    tiny.memoryCap = 1 << 20;
    EXPECT_THROW(mkpatch::ChooseLargePlan(old, tiny), mkpatch::Error);
}

}  // namespace
