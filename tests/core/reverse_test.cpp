// The reverse sweep: which commands it finds for small forward streams, and
// a seeded round trip (old -> new forward, new -> old by the reverse) with
// tables from none to ample, so the windowed reading is exercised too.
#include <gtest/gtest.h>

#include <random>
#include <tuple>

#include "core/reverse.h"
#include "support/container_builder.h"
#include "support/memory_output.h"

using namespace testing_support;

namespace {

using Cmd = std::tuple<unsigned, uint32_t, uint32_t>;  // op, from, length

struct Collected {
    std::vector<Cmd> cmds;
    int failAt = -1;
};

int Collect(void* ctx, unsigned op, uint32_t from, uint32_t length) {
    auto* c = static_cast<Collected*>(ctx);
    if ((int)c->cmds.size() == c->failAt)
        return 0;
    c->cmds.emplace_back(op, from, length);
    return 1;
}

// A stream from a builder, without the container header it starts with.
Bytes StreamOf(const ContainerBuilder& b) {
    return Bytes(b.bytes().begin() + CONTAINER_HEADER_SIZE, b.bytes().end());
}

int Reverse(const Bytes& stream, uint32_t oldSize, size_t capacity, Collected* out) {
    std::vector<ReverseCopy> table(capacity + 1);
    PatchCursor cur;
    CursorInit(&cur, stream.data(), stream.size());
    ReverseSink sink{Collect, out};
    return ReverseCommands(cur, oldSize, table.data(), capacity, &sink);
}

// The reverse stream as bytes: copies of the new file, inserts of old bytes.
Bytes ReverseStream(const std::vector<Cmd>& cmds, const Bytes& old) {
    ContainerBuilder b(0);
    for (const auto& [op, from, length] : cmds) {
        if (op == CMD_COPY)
            b.Copy(length, from);
        else
            b.Insert(Bytes(old.begin() + from, old.begin() + from + length));
    }
    return StreamOf(b.End());
}

const unsigned C = CMD_COPY, I = CMD_INSERT;

}  // namespace

TEST(Reverse, CommandsForKnownStreams) {
    struct Row {
        const char* what;
        ContainerBuilder forward;
        uint32_t oldSize;
        std::vector<Cmd> expect;
    } rows[] = {
        {"T.DAT: ab..efgh come back from the new file, cd and ij are inserted",
         ContainerBuilder(0).Copy(4, 4).Insert(B("XY")).Copy(2, 0).End(), 10,
         {{C, 6, 2}, {I, 2, 2}, {C, 0, 4}, {I, 8, 2}}},
        {"overlapping copies: the one reaching further takes over",
         ContainerBuilder(0).Copy(6, 0).Copy(8, 2).End(), 10, {{C, 0, 6}, {C, 10, 4}}},
        {"a range copied in two pieces comes back in two, the empty insert between them is no gap",
         ContainerBuilder(0).Copy(5, 0).Insert(B("")).Copy(5, 5).End(), 10, {{C, 0, 5}, {C, 5, 5}}},
        {"a range copied twice is taken once", ContainerBuilder(0).Copy(4, 0).Copy(4, 0).End(), 4, {{C, 0, 4}}},
        {"a copy inside a longer one adds nothing", ContainerBuilder(0).Copy(3, 2).Copy(10, 0).End(), 10,
         {{C, 3, 10}}},
        {"empty copies are no cover", ContainerBuilder(0).Copy(0, 3).Insert(B("n")).End(), 5, {{I, 0, 5}}},
        {"only inserts: the old file is inserted whole", ContainerBuilder(0).Insert(B("new")).End(), 7,
         {{I, 0, 7}}},
        {"an empty old file needs no command", ContainerBuilder(0).Insert(B("xyz")).End(), 0, {}},
        {"a copy to the last byte", ContainerBuilder(0).Insert(B("h")).Copy(2, 8).End(), 10,
         {{I, 0, 8}, {C, 1, 2}}},
    };
    for (Row& r : rows) {
        SCOPED_TRACE(r.what);
        Collected got;
        ASSERT_EQ(Reverse(StreamOf(r.forward), r.oldSize, 64, &got), PR_OK);
        EXPECT_EQ(got.cmds, r.expect);
        // A small table sweeps in windows, and a copy cut at a window's
        // edge may give way to another: other commands, the same bytes.
        Bytes old(r.oldSize), neu, back;
        for (size_t i = 0; i < old.size(); i++) old[i] = (uint8_t)('a' + i);
        Bytes forward = StreamOf(r.forward);
        PatchCursor cur;
        CursorInit(&cur, forward.data(), forward.size());
        ASSERT_EQ(RunInMemory(old, &cur, &neu), PR_OK);
        for (size_t capacity : {size_t(0), size_t(1), size_t(64)}) {
            Collected small;
            ASSERT_EQ(Reverse(forward, r.oldSize, capacity, &small), PR_OK);
            Bytes stream = ReverseStream(small.cmds, old);
            CursorInit(&cur, stream.data(), stream.size());
            ASSERT_EQ(RunInMemory(neu, &cur, &back), PR_OK);
            EXPECT_EQ(back, old) << "table of " << capacity;
        }
    }
}

TEST(Reverse, FailuresAreReported) {
    Bytes stream = StreamOf(ContainerBuilder(0).Copy(4, 4).Insert(B("XY")).Copy(2, 0).End());
    for (int failAt : {0, 1, 3}) {
        Collected got;
        got.failAt = failAt;
        EXPECT_EQ(Reverse(stream, 10, 8, &got), PR_NOTWRITTEN) << failAt;
    }
    Bytes cut(stream.begin(), stream.end() - 1);  // no CMD_END
    Collected got;
    EXPECT_EQ(Reverse(cut, 10, 8, &got), PR_BADDATA);
}

// Forward stream old -> new made of random copies (overlapping, repeated,
// backwards) and inserts; the reverse must give the old bytes back with any
// table size.
TEST(Reverse, RandomRoundTrip) {
    const unsigned seed = 20261208;
    std::mt19937 rng(seed);
    for (int round = 0; round < 300; round++) {
        SCOPED_TRACE("seed " + std::to_string(seed) + " round " + std::to_string(round));
        Bytes old(rng() % (round % 10 == 0 ? 40 : 6000));
        for (auto& b : old) b = (uint8_t)(rng() % 4);  // few values: copies that happen to match elsewhere
        ContainerBuilder fb(0);
        size_t copies = 0;
        for (unsigned n = rng() % 120; n-- > 0;) {
            if (!old.empty() && rng() % 3) {
                uint32_t len = rng() % (old.size() / 3 + 2);
                uint32_t off = rng() % old.size();
                len = std::min<uint32_t>(len, (uint32_t)old.size() - off);
                fb.Copy(len, off);
                copies++;
            } else {
                Bytes lit(rng() % 20);
                for (auto& b : lit) b = (uint8_t)rng();
                fb.Insert(lit);
            }
        }
        Bytes forward = StreamOf(fb.End());
        PatchCursor cur;
        CursorInit(&cur, forward.data(), forward.size());
        Bytes neu;
        ASSERT_EQ(RunInMemory(old, &cur, &neu), PR_OK);
        for (size_t capacity : {size_t(0), size_t(2), size_t(17), size_t(4096)}) {
            Collected got;
            ASSERT_EQ(Reverse(forward, (uint32_t)old.size(), capacity, &got), PR_OK);
            Bytes back = ReverseStream(got.cmds, old);
            CursorInit(&cur, back.data(), back.size());
            Bytes again;
            ASSERT_EQ(RunInMemory(neu, &cur, &again), PR_OK) << "table of " << capacity;
            ASSERT_TRUE(again == old) << "table of " << capacity;
            for (size_t k = 0; k < got.cmds.size(); k++) {
                ASSERT_NE(std::get<2>(got.cmds[k]), 0u);
                // in one window an insert runs up to the next copy
                if (capacity == 4096 && k && std::get<0>(got.cmds[k]) == CMD_INSERT) {
                    ASSERT_NE(std::get<0>(got.cmds[k - 1]), CMD_INSERT);
                }
            }
            if (capacity == 4096) {
                EXPECT_LE(got.cmds.size(), 2 * copies + 1);
            }
        }
    }
}
