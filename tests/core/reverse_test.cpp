// The reverse sweep: its commands for small forward streams, and a seeded
// round trip (old -> new forward, new -> old by the reverse) with tables
// from none to ample, so the windowed reading is exercised too.
#include <gtest/gtest.h>

#include <random>
#include <tuple>

#include "core/reverse.h"
#include "support/container_builder.h"
#include "support/memory_output.h"

using namespace testing_support;

namespace {

using Cmd = std::tuple<unsigned, uint32_t, uint32_t>;  // op, from, length
const unsigned C = CMD_COPY, I = CMD_INSERT;

int Collect(void* ctx, unsigned op, uint32_t from, uint32_t length) {
    static_cast<std::vector<Cmd>*>(ctx)->emplace_back(op, from, length);
    return length != 0xDEAD;  // a length to make the output fail on
}

// Reverses forward (a builder's stream after its header) with a table of
// capacity, checks the reverse turns neu back into old, returns its commands.
std::vector<Cmd> Reverse(const ContainerBuilder& forward, const Bytes& old, const Bytes& neu, size_t capacity) {
    std::vector<Cmd> cmds;
    std::vector<ReverseCopy> table(capacity + 1);
    ReverseSink sink{Collect, &cmds};
    PatchCursor cur;
    CursorInit(&cur, forward.bytes().data() + CONTAINER_HEADER_SIZE, forward.size() - CONTAINER_HEADER_SIZE);
    EXPECT_EQ(ReverseCommands(cur, (uint32_t)old.size(), table.data(), capacity, &sink), PR_OK);
    ContainerBuilder back(0);
    for (const auto& [op, from, length] : cmds) {
        EXPECT_NE(length, 0u);
        op == C ? back.Copy(length, from) : back.Insert(Bytes(old.begin() + from, old.begin() + from + length));
    }
    back.End();
    CursorInit(&cur, back.bytes().data() + CONTAINER_HEADER_SIZE, back.size() - CONTAINER_HEADER_SIZE);
    Bytes again;
    EXPECT_EQ(RunInMemory(neu, &cur, &again), PR_OK);
    EXPECT_TRUE(again == old) << "table of " << capacity;
    return cmds;
}

Bytes Forward(const ContainerBuilder& forward, const Bytes& old) {
    PatchCursor cur;
    CursorInit(&cur, forward.bytes().data() + CONTAINER_HEADER_SIZE, forward.size() - CONTAINER_HEADER_SIZE);
    Bytes neu;
    EXPECT_EQ(RunInMemory(old, &cur, &neu), PR_OK);
    return neu;
}

}  // namespace

// With an ample table the exact commands; a small table sweeps in windows,
// where a copy cut at a window's edge may give way to another: other
// commands, the same bytes.
TEST(Reverse, CommandsForKnownStreams) {
    struct Row { const char* what; ContainerBuilder forward; uint32_t oldSize; std::vector<Cmd> expect; } rows[] = {
        {"T.DAT: ab and efgh from the new file, cd and ij inserted",
         ContainerBuilder(0).Copy(4, 4).Insert(B("XY")).Copy(2, 0).End(), 10, {{C, 6, 2}, {I, 2, 2}, {C, 0, 4}, {I, 8, 2}}},
        {"overlapping copies: the one reaching further takes over", ContainerBuilder(0).Copy(6, 0).Copy(8, 2).End(),
         10, {{C, 0, 6}, {C, 10, 4}}},
        {"a range copied twice is taken once", ContainerBuilder(0).Copy(4, 0).Copy(4, 0).End(), 4, {{C, 0, 4}}},
        {"a copy inside a longer one adds nothing", ContainerBuilder(0).Copy(3, 2).Copy(10, 0).End(), 10, {{C, 3, 10}}},
        {"empty copies and inserts are no cover", ContainerBuilder(0).Copy(0, 3).Insert(B("")).Insert(B("n")).End(), 5,
         {{I, 0, 5}}},
        {"an empty old file needs no command", ContainerBuilder(0).Insert(B("xyz")).End(), 0, {}},
        {"a copy to the last byte", ContainerBuilder(0).Insert(B("h")).Copy(2, 8).End(), 10, {{I, 0, 8}, {C, 1, 2}}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        Bytes old(r.oldSize);
        for (size_t i = 0; i < old.size(); i++) old[i] = (uint8_t)('a' + i);
        Bytes neu = Forward(r.forward, old);
        EXPECT_EQ(Reverse(r.forward, old, neu, 64), r.expect);
        Reverse(r.forward, old, neu, 0);
        Reverse(r.forward, old, neu, 1);
    }
    // the output's failure and a stream without its end are reported
    std::vector<Cmd> cmds;
    ReverseCopy table[4];
    ReverseSink sink{Collect, &cmds};
    Bytes stream = ContainerBuilder(0).Insert(B("x")).Copy(0xDEAD, 0).End().bytes();
    for (size_t cut : {size_t(0), size_t(1)}) {
        PatchCursor cur;
        CursorInit(&cur, stream.data() + CONTAINER_HEADER_SIZE, stream.size() - CONTAINER_HEADER_SIZE - cut);
        EXPECT_EQ(ReverseCommands(cur, 0x10000, table, 4, &sink), cut ? PR_BADDATA : PR_NOTWRITTEN);
    }
}

// Random copies (overlapping, repeated, backwards) and inserts over old
// files of few byte values, so copies also match where they were not taken.
TEST(Reverse, RandomRoundTrip) {
    const unsigned seed = 20261208;
    std::mt19937 rng(seed);
    for (int round = 0; round < 300; round++) {
        SCOPED_TRACE("seed " + std::to_string(seed) + " round " + std::to_string(round));
        Bytes old(rng() % (round % 10 == 0 ? 40 : 6000));
        for (auto& b : old) b = (uint8_t)(rng() % 4);
        ContainerBuilder fb(0);
        size_t copies = 0;
        for (unsigned n = rng() % 120; n-- > 0;) {
            if (!old.empty() && rng() % 3) {
                uint32_t off = rng() % old.size();
                fb.Copy(std::min<uint32_t>(rng() % (old.size() / 3 + 2), (uint32_t)old.size() - off), off);
                copies++;
            } else {
                fb.Insert(Bytes(rng() % 20, (uint8_t)rng()));
            }
        }
        fb.End();
        Bytes neu = Forward(fb, old);
        for (size_t capacity : {size_t(0), size_t(2), size_t(17)})
            Reverse(fb, old, neu, capacity);
        EXPECT_LE(Reverse(fb, old, neu, 4096).size(), 2 * copies + 1);
        if (HasFailure())
            return;
    }
}
