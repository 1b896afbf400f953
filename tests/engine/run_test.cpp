// Whole runs: the end notification, outcomes, cancel at record boundaries,
// the tally of failures, progress, and rebuilds larger than the buffers.
#include <gtest/gtest.h>

#include <random>

#include "engine/patch.h"
#include "support/win_folder.h"

using namespace testing_support;

namespace {

struct Host {
    int answer = 0;
    int cancelInAsk = 0;
    unsigned cancelAfter = 0;  // clear the flag at this progress step (0 never)
    int ends = 0;
    int finished = -1;
    std::vector<std::pair<unsigned, unsigned>> progress;
    PatchHost host{Ask, End, Progress, this};

    static int Ask(void* ctx, const char*, const char*) {
        auto* h = static_cast<Host*>(ctx);
        if (h->cancelInAsk)
            PatchSetKeepRunning(0);
        return h->answer;
    }
    static void End(void* ctx, int finished) {
        auto* h = static_cast<Host*>(ctx);
        h->ends++;
        h->finished = finished;
    }
    static void Progress(void* ctx, unsigned done, unsigned count) {
        auto* h = static_cast<Host*>(ctx);
        h->progress.emplace_back(done, count);
        if (done == h->cancelAfter)
            PatchSetKeepRunning(0);
    }
};

int RunContainer(const ScratchFolder& f, const Bytes& c, Host& h) {
    PatchSetKeepRunning(1);
    RunPatch(c.data(), c.size(), f.dir().c_str(), &h.host);
    EXPECT_EQ(h.ends, 1) << "exactly one end notification";
    return PatchOutcome();
}

}  // namespace

TEST(RunPatch, EmptyContainerFinishesAndTouchesNothing) {
    ScratchFolder f("empty");
    Host h;
    EXPECT_EQ(RunContainer(f, ContainerBuilder(0, 0xBEEF).bytes(), h), PATCH_FINISHED);
    EXPECT_EQ(h.finished, 1);
    EXPECT_TRUE(h.progress.empty());
    EXPECT_TRUE(List(f.dir()).empty());
}

TEST(RunPatch, DataErrorInFirstOfThreeStops) {
    ScratchFolder f("baddata");
    ContainerBuilder c(3);
    c.Delta(0, 0, "A").Insert(B("a")).U8(0x05).End();
    c.Whole("B", B("b")).Whole("C", B("c"));
    Host h;
    EXPECT_EQ(RunContainer(f, c.bytes(), h), PATCH_DATAERROR);
    EXPECT_EQ(h.finished, 0);
    EXPECT_EQ(g_lastResult, PR_BADDATA);
    EXPECT_TRUE(List(f.dir()).empty());
    EXPECT_EQ(g_tally.records, 1u);
    EXPECT_EQ(g_tally.badData, 1u);
}

TEST(RunPatch, TruncatedContainers) {
    struct Case { const char* what; Bytes bytes; unsigned applied; } cases[] = {
        {"no header", Bytes{0x01}, 0},
        {"count says two, one record there", [] {
             ContainerBuilder c(2);
             c.Whole("A", B("a"));
             return c.bytes();
         }(), 1},
        {"whole-file length past the end", [] {
             ContainerBuilder c(1);
             c.Head(0, 0, "A").U8(REC_WHOLEFILE).U32(1000).Raw(B("short"));
             return c.bytes();
         }(), 0},
        {"name without its 0 byte", [] {
             ContainerBuilder c(1);
             c.U32(0).U32(0).Raw(B("NAME"));
             return c.bytes();
         }(), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchFolder f("trunc");
        Host h;
        EXPECT_EQ(RunContainer(f, c.bytes, h), PATCH_DATAERROR);
        EXPECT_EQ(List(f.dir()).size(), c.applied);
        EXPECT_EQ(CountTempFiles(f.dir()), 0);
    }
}

TEST(RunPatch, CancelTakesEffectAtTheRecordBoundary) {
    // cancel from inside the overwrite question: that record still completes
    {
        ScratchFolder f("cancel-ask");
        WriteBytes(f / "A", B("old"));
        ContainerBuilder c(3);
        c.Whole("A", B("new")).Whole("B", B("b")).Whole("C", B("c"));
        Host h;
        h.answer = 1;
        h.cancelInAsk = 1;
        EXPECT_EQ(RunContainer(f, c.bytes(), h), PATCH_CANCELLED);
        EXPECT_EQ(g_lastResult, PR_OVERWRITTEN);
        EXPECT_EQ(ReadBytes(f / "A"), B("new"));
        EXPECT_FALSE(Exists(f / "B"));
    }
    // cancel after the second of three, and after the last one
    for (unsigned at : {2u, 3u}) {
        ScratchFolder f("cancel-progress");
        ContainerBuilder c(3);
        c.Whole("A", B("a")).Whole("B", B("b")).Whole("C", B("c"));
        Host h;
        h.cancelAfter = at;
        EXPECT_EQ(RunContainer(f, c.bytes(), h), PATCH_CANCELLED) << at;
        EXPECT_EQ(List(f.dir()).size(), at);
        EXPECT_EQ(h.progress.size(), at);
    }
}

TEST(RunPatch, FailuresAreTalliedAndNamed) {
    ScratchFolder f("tally");
    const Bytes old = B("abcdefghij"), neu = B("efghXYab");
    WriteBytes(f / "UPTODATE", neu);
    WriteBytes(f / "OTHER", B("other version"));
    WriteBytes(f / "EXISTS", B("x"));
    ContainerBuilder c(0);
    unsigned count = 0;
    auto delta = [&](const std::string& name) {
        c.Delta(Sum(old), Sum(neu), name).Copy(4, 4).Insert(B("XY")).Copy(2, 0).End();
        count++;
    };
    delta("UPTODATE");           // already patched: not a failure
    delta("OTHER");              // wrong version
    c.Whole("EXISTS", B("y"));   // skipped by the user: not a failure
    count++;
    for (int i = 0; i < 20; i++) delta("MISSING" + std::to_string(i));
    c.Whole("NEW", B("n"));
    count++;
    Bytes bytes = c.bytes();
    PutU16(bytes.data(), (uint16_t)count);

    Host h;
    EXPECT_EQ(RunContainer(f, bytes, h), PATCH_FINISHED);
    const PatchTally& t = g_tally;
    EXPECT_EQ(t.records, count);
    EXPECT_EQ(t.ok, 1u);
    EXPECT_EQ(t.skipped, 1u);
    EXPECT_EQ(t.badSource, 2u);
    EXPECT_EQ(t.upToDate, 1u);
    EXPECT_EQ(t.notTarget, 20u);
    EXPECT_EQ(t.failed, 21u);
    EXPECT_EQ(t.named, (unsigned)PATCH_TALLY_NAMES);
    EXPECT_STREQ(t.failures[0].name, "OTHER");
    EXPECT_EQ(t.failures[0].result, PR_BADSOURCE);
    EXPECT_STREQ(t.failures[1].name, "MISSING0");
    EXPECT_EQ(t.failures[1].result, PR_NOTARGET);
    EXPECT_STREQ(t.failures[15].name, "MISSING14");
    ASSERT_EQ(h.progress.size(), count);
    for (unsigned i = 0; i < count; i++)
        EXPECT_EQ(h.progress[i], std::make_pair(i + 1, count));
}

// Files larger than the engine's buffers: copies that straddle window and
// output-buffer edges, inserts longer than a buffer, copies going backwards.
TEST(RunPatch, LargeRebuildMatchesByteForByte) {
    std::mt19937 rng(77);
    Bytes old(700 * 1024 + 13);
    for (auto& b : old) b = (uint8_t)rng();
    Bytes neu;
    ContainerBuilder c(2);
    ContainerBuilder body(0);
    Bytes stream;
    for (int i = 0; i < 400; i++) {
        if (rng() % 3) {
            uint32_t len = rng() % 9000 + (i % 50 == 0 ? 70000 : 0);
            uint32_t off = rng() % (uint32_t)(old.size() - len);
            neu.insert(neu.end(), old.begin() + off, old.begin() + off + len);
            body.Copy(len, off);
        } else {
            Bytes lit(rng() % 300 + (i % 97 == 0 ? 100000 : 0));
            for (auto& b : lit) b = (uint8_t)rng();
            neu.insert(neu.end(), lit.begin(), lit.end());
            body.Insert(lit);
        }
    }
    body.End();
    Bytes bodyBytes(body.bytes().begin() + 4, body.bytes().end());
    c.Delta(Sum(old), Sum(neu), "BIG.BIN").Raw(bodyBytes);
    c.Whole("WHOLE.BIN", neu);

    ScratchFolder f("large");
    WriteBytes(f / "BIG.BIN", old);
    Host h;
    EXPECT_EQ(RunContainer(f, c.bytes(), h), PATCH_FINISHED);
    EXPECT_EQ(g_tally.ok, 2u) << "seed 77";
    EXPECT_TRUE(ReadBytes(f / "BIG.BIN") == neu);
    EXPECT_TRUE(ReadBytes(f / "WHOLE.BIN") == neu);
    EXPECT_EQ(CountTempFiles(f.dir()), 0);
}
