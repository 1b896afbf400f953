// Whole runs: the check before the first write and its one question, the
// integrity trailer, the end notification, outcomes, cancel at record
// boundaries, the tally of failures, progress, rebuilds larger than the
// buffers, and the restore file; the same for format-2 containers.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "engine/patch.h"
#include "support/format2_builder.h"
#include "support/format2_lzma.h"
#include "support/win_folder.h"

using namespace testing_support;

namespace {

struct Host {
    int answer = 0;
    int cancelInAsk = 0;
    unsigned cancelAfter = 0;  // clear the flag at this progress step (0 never)
    int proceed = 1;           // the answer to the question before the first write
    int asked = 0;             // how often it was put
    unsigned checkSteps = 0;   // progress reports of the check
    int ends = 0;
    int finished = -1;
    std::vector<std::pair<unsigned, unsigned>> progress;
    PatchHost host{Ask, Proceed, End, Progress, this, nullptr};

    static int Proceed(void* ctx, const PatchCheck*) {
        auto* h = static_cast<Host*>(ctx);
        h->asked++;
        return h->proceed;
    }
    static int Ask(void* ctx, const char*) {
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
    static void Progress(void* ctx, int phase, unsigned done, unsigned count) {
        auto* h = static_cast<Host*>(ctx);
        if (phase != PATCH_PHASE_APPLY) {
            h->checkSteps++;
            return;
        }
        h->progress.emplace_back(done, count);
        if (done == h->cancelAfter)
            PatchSetKeepRunning(0);
    }
};

int RunContainer(const ScratchFolder& f, const Bytes& c, Host& h, const PatchRestore* restore = nullptr) {
    PatchSetKeepRunning(1);
    RunPatch(c.data(), c.size(), f.dir().c_str(), &h.host, restore);
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

// Damage anywhere in the container is found before the first write: no
// file and no folder is made, whichever record it is in.
TEST(RunPatch, DamagedContainerWritesNothing) {
    auto threeThen = [](const std::function<void(ContainerBuilder&)>& last) {
        ContainerBuilder c(3);
        c.Whole("SUB\\A", B("a")).Whole("B", B("b"));
        last(c);
        return c.bytes();
    };
    struct Case { const char* what; Bytes bytes; } cases[] = {
        {"no header", Bytes{0x01}},
        {"undefined command in the last record",
         threeThen([](ContainerBuilder& c) { c.Delta(0, 0, "C").Insert(B("c")).U8(0x05).End(); })},
        {"count says three, two records there", threeThen([](ContainerBuilder&) {})},
        {"whole-file length past the end",
         threeThen([](ContainerBuilder& c) { c.Head(0, 0, "C").U8(REC_WHOLEFILE).U32(1000).Raw(B("short")); })},
        {"name without its 0 byte", threeThen([](ContainerBuilder& c) { c.U32(0).U32(0).Raw(B("NAME")); })},
        {"hostile name in the last record", threeThen([](ContainerBuilder& c) { c.Whole("..\\C", B("c")); })},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchFolder f("damaged");
        Host h;
        EXPECT_EQ(RunContainer(f, c.bytes, h), PATCH_DATAERROR);
        EXPECT_EQ(h.finished, 0);
        EXPECT_EQ(g_lastResult, PR_BADDATA);
        EXPECT_TRUE(List(f.dir()).empty());
        EXPECT_EQ(g_tally.records, 0u);
        EXPECT_EQ(h.asked, 0);
    }
}

// Delta targets missing or of another version: one question before the
// first write, naming them; No writes nothing, Yes applies the others.
TEST(RunPatch, OneQuestionBeforeTheFirstWrite) {
    const Bytes old = B("abcdefghij"), neu = B("efghXYab");
    auto container = [&] {
        ContainerBuilder c(4);
        c.Whole("NEW", B("n"));
        for (const char* name : {"GOOD", "OTHER", "MISSING"})
            c.Delta(Sum(old), Sum(neu), name).Copy(4, 4).Insert(B("XY")).Copy(2, 0).End();
        return c.bytes();
    }();
    for (int answer : {0, 1}) {
        SCOPED_TRACE(answer);
        ScratchFolder f("question");
        WriteBytes(f / "GOOD", old);
        WriteBytes(f / "OTHER", B("other version"));
        Host h;
        h.proceed = answer;
        EXPECT_EQ(RunContainer(f, container, h), answer ? PATCH_FINISHED : PATCH_CANCELLED);
        EXPECT_EQ(h.asked, 1);
        EXPECT_EQ(g_check.mismatched, 2u);
        ASSERT_EQ(g_check.listed, 2u);
        EXPECT_STREQ(g_check.list[0].name, "OTHER");
        EXPECT_EQ(g_check.list[0].result, PR_BADSOURCE);
        EXPECT_STREQ(g_check.list[1].name, "MISSING");
        EXPECT_EQ(g_check.list[1].result, PR_NOTARGET);
        EXPECT_EQ(h.checkSteps, 5u);  // before each record and at the end
        EXPECT_EQ(ReadBytes(f / "GOOD"), answer ? neu : old);
        EXPECT_EQ(Exists(f / "NEW"), answer == 1);
        EXPECT_EQ(ReadBytes(f / "OTHER"), B("other version"));
    }
    // every target old or already new: no question
    ScratchFolder f("noquestion");
    WriteBytes(f / "GOOD", old);
    WriteBytes(f / "OTHER", neu);
    WriteBytes(f / "MISSING", old);
    Host h;
    EXPECT_EQ(RunContainer(f, container, h), PATCH_FINISHED);
    EXPECT_EQ(h.asked, 0);
    EXPECT_EQ(g_check.upToDate, 1u);
}

// The trailer's facts: each row is a target's bytes before the run, with
// and without a trailer, and what the record must then give. The swapped
// and tail-changed files have the old XOR sum but not the old bytes.
TEST(RunPatch, TrailerRefusesWhatTheXorCannotSee) {
    const Bytes old = B("abcdefghij"), neu = B("efghXYab");
    const Bytes swapped = B("efghabcdij"), tail = B("abcdefghiX");
    ASSERT_EQ(Sum(swapped), Sum(old));
    ASSERT_EQ(Sum(tail), Sum(old));
    auto container = [&](bool trailer, uint32_t newCrcFix = 0) {
        ContainerBuilder c(1);
        c.Delta(Sum(old), Sum(neu), "T.DAT").Copy(4, 4).Insert(B("XY")).Copy(2, 0).End();
        if (trailer)
            c.Trailer({{(uint32_t)neu.size(), Crc32Update(0, neu.data(), neu.size()) ^ newCrcFix,
                        (uint32_t)old.size(), Crc32Update(0, old.data(), old.size())}});
        return c.bytes();
    };
    struct Case { const char* what; Bytes before; bool trailer; uint32_t newCrcFix; int result; Bytes after; } cases[] = {
        {"old file, trailer", old, true, 0, PR_OK, neu},
        {"old file, no trailer", old, false, 0, PR_OK, neu},
        {"words swapped, trailer", swapped, true, 0, PR_BADSOURCE, swapped},
        {"words swapped, no trailer: only the rebuilt sum catches it", swapped, false, 0, PR_BADRESULT,
         swapped},
        {"last bytes changed, trailer", tail, true, 0, PR_BADSOURCE, tail},
        {"last bytes changed, no trailer: accepted, as the bare format says", tail, false, 0, PR_OK, neu},
        {"rebuilt file's CRC not the trailer's", old, true, 1, PR_BADRESULT, old},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchFolder f("trailer");
        WriteBytes(f / "T.DAT", c.before);
        Host h;
        RunContainer(f, container(c.trailer, c.newCrcFix), h);
        EXPECT_EQ(g_lastResult, c.result);
        EXPECT_EQ(ReadBytes(f / "T.DAT"), c.after);
        EXPECT_EQ(CountTempFiles(f.dir()), 0);
    }
    // a byte flipped anywhere before the trailer: data error, nothing written
    Bytes damaged = container(true);
    for (size_t at = 0; at + TRAILER_TAIL_SIZE + TRAILER_ENTRY_SIZE < damaged.size(); at++) {
        Bytes d = damaged;
        d[at] ^= 0x20;
        ScratchFolder f("flip");
        WriteBytes(f / "T.DAT", old);
        Host h;
        EXPECT_EQ(RunContainer(f, d, h), PATCH_DATAERROR) << "byte " << at;
        EXPECT_EQ(ReadBytes(f / "T.DAT"), old) << "byte " << at;
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
    c.Count((uint16_t)count);

    Host h;
    EXPECT_EQ(RunContainer(f, c.bytes(), h), PATCH_FINISHED);
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
    ContainerBuilder body = ContainerBuilder::Bare();
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
    c.Delta(Sum(old), Sum(neu), "BIG.BIN").Raw(body.bytes());
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

// --- the restore file ---

namespace {

// A stand-in for the applier's leading bytes: a PE32+ header whose
// security directory names a certificate table past them, as a signed
// patch's does.
Bytes SignedStub() {
    Bytes stub(400, 0x90);
    stub[0] = 'M', stub[1] = 'Z', PutU32(&stub[0x3C], 0x80), PutU32(&stub[0x80], 0x00004550);
    PutU16(&stub[0x98], 0x20B), PutU32(&stub[0x104], 16), PutU32(&stub[0x128], 5000), PutU32(&stub[0x12C], 700);
    return stub;
}

// Old and new contents larger than the buffers both ways: moved and
// overlapping copies, inserts, and old bytes that no copy takes.
struct Pair {
    Bytes old, neu;
    ContainerBuilder body = ContainerBuilder::Bare();
    Pair(unsigned seed, uint32_t k) : old(Noise(seed, 10 * k)) {
        Bytes lit = Noise(seed + 1, 3 * k);
        body.Copy(3 * k, 6 * k).Insert(lit).Copy(4 * k, k).Copy(k, 2 * k).End();
        for (auto [from, len] : {std::pair<uint32_t, uint32_t>{6 * k, 3 * k}, {k, 4 * k}, {2 * k, k}})
            neu.insert(neu.end(), old.begin() + from, old.begin() + from + len);
        neu.insert(neu.begin() + 3 * k, lit.begin(), lit.end());
    }
    static Bytes Noise(unsigned seed, size_t n) {
        std::mt19937 rng(seed);
        Bytes b(n);
        for (auto& x : b) x = (uint8_t)rng();
        return b;
    }
    const Bytes& stream() const { return body.bytes(); }
};

// The container of a restore file: what follows the stub.
Bytes RestoreContainer(const PatchRestore& r, const std::string& path) {
    Bytes file = ReadBytes(path);
    return Bytes(file.begin() + (std::min)(r.stubSize, file.size()), file.end());
}

}  // namespace

// The restore file undoes a run (delta records and an overwritten whole
// file; a created file only counts), and a restore of the restore, made
// while undoing, redoes it.
TEST(RestoreFile, UndoesTheRunAndItsOwnRestoreRedoesIt) {
    // A.BIN's old file (12 MB) is larger than the engine's read window, and
    // so is one of its copies
    Pair a(11, 1200 * 1024), small(12, 500);
    const Bytes keep = B("already new"), overOld = Bytes(200 * 1024 + 3, 0x5A), overNew = B("over");
    ContainerBuilder c(5);
    c.Delta(Sum(a.old), Sum(a.neu), "SUB\\A.BIN").Raw(a.stream());
    c.Delta(Sum(small.old), Sum(keep), "KEEP").Copy(4, 0).End();
    c.Whole("OVER", overNew).Whole("NEWDIR\\CREATED", B("c"));
    c.Delta(Sum(small.old), Sum(small.neu), "S").Raw(small.stream());
    ScratchFolder f("restore");
    CreateDirectoryA((f / "SUB").c_str(), nullptr);
    WriteBytes(f / "SUB\\A.BIN", a.old);
    WriteBytes(f / "KEEP", keep);
    WriteBytes(f / "OVER", overOld);
    WriteBytes(f / "S", small.old);
    WriteBytes(f / "r.exe", B("taken"));
    const Bytes stub = SignedStub();
    PatchRestore r{f.dir().c_str(), "r", stub.data(), stub.size()};
    Host h;
    h.answer = 1;
    ASSERT_EQ(RunContainer(f, c.bytes(), h, &r), PATCH_FINISHED);
    EXPECT_EQ(g_restore.state, RESTORE_MADE);
    EXPECT_EQ(g_restore.records, 3u);
    EXPECT_EQ(g_restore.created, 1u);
    const std::string first = g_restore.path;
    EXPECT_EQ(first, f / "r(2).exe") << "r.exe was taken";
    EXPECT_EQ(ReadBytes(f / "r.exe"), B("taken"));
    Bytes made = ReadBytes(first), wantStub = stub;
    std::fill_n(wantStub.begin() + 0x128, 8, 0);  // the security directory entry
    ASSERT_GT(made.size(), stub.size());
    EXPECT_TRUE(std::equal(wantStub.begin(), wantStub.end(), made.begin())) << "the stub, its table unnamed";
    std::printf("restore file: %zu bytes of container for %zu bytes of replaced old files\n",
                made.size() - stub.size(), a.old.size() + overOld.size() + small.old.size());

    auto holds = [&](const Bytes& aNow, const Bytes& overNow, const Bytes& sNow) {
        return ReadBytes(f / "SUB\\A.BIN") == aNow && ReadBytes(f / "OVER") == overNow && ReadBytes(f / "S") == sNow &&
               ReadBytes(f / "KEEP") == keep && ReadBytes(f / "NEWDIR\\CREATED") == B("c");  // a created file stays
    };
    // undo, making a restore of the restore
    Host back;
    ASSERT_EQ(RunContainer(f, RestoreContainer(r, first), back, &r), PATCH_FINISHED);
    EXPECT_EQ(g_tally.ok, 3u);
    EXPECT_TRUE(holds(a.old, overOld, small.old));
    EXPECT_EQ(g_restore.records, 3u);
    const std::string second = g_restore.path;
    EXPECT_EQ(second, f / "r(3).exe");

    // the first restore file, run again, finds every target up to date
    Host twice;
    ASSERT_EQ(RunContainer(f, RestoreContainer(r, first), twice, &r), PATCH_FINISHED);
    EXPECT_EQ(g_tally.upToDate, 3u);
    EXPECT_EQ(g_restore.state, RESTORE_NONE) << "nothing replaced: no file left";
    EXPECT_FALSE(Exists(f / "r(4).exe"));

    // redo through the second restore file
    Host again;
    ASSERT_EQ(RunContainer(f, RestoreContainer(r, second), again), PATCH_FINISHED);
    EXPECT_TRUE(holds(a.neu, overNew, small.neu));
    EXPECT_EQ(CountTempFiles(f.dir()), 0);
}

// No restore file, no write: a folder that is missing or is a file stops
// the run before its first write; a run that replaces nothing leaves none.
TEST(RestoreFile, CannotBeMadeOrNotNeeded) {
    const Bytes old = B("abcdefghij"), neu = B("efghXYab");
    ContainerBuilder c(2);
    c.Delta(Sum(old), Sum(neu), "T.DAT").Copy(4, 4).Insert(B("XY")).Copy(2, 0).End().Whole("N", B("n"));
    struct Case { const char* what; std::string folder; bool present; int state; int outcome; } cases[] = {
        {"missing folder", "nowhere\\", true, RESTORE_FAILED, PATCH_RESTOREFAILED},
        {"a file where the folder should be", "file\\", true, RESTORE_FAILED, PATCH_RESTOREFAILED},
        {"nothing to replace", "", false, RESTORE_NONE, PATCH_FINISHED},
    };
    const Bytes stub = B("MZ stub");
    for (const auto& k : cases) {
        SCOPED_TRACE(k.what);
        ScratchFolder f("norestore");
        WriteBytes(f.root() + "file", B("x"));
        if (k.present)
            WriteBytes(f / "T.DAT", old);
        std::string folder = f.root() + k.folder;
        PatchRestore r{k.folder.empty() ? f.dir().c_str() : folder.c_str(), "r", stub.data(), stub.size()};
        Host h;
        EXPECT_EQ(RunContainer(f, c.bytes(), h, &r), k.outcome);
        EXPECT_EQ(g_restore.state, k.state);
        EXPECT_EQ(g_restore.records, 0u);
        EXPECT_STREQ(g_restore.path, "");
        EXPECT_EQ(g_tally.records, k.present ? 0u : 2u);
        EXPECT_EQ(ReadBytes(f / "T.DAT"), k.present ? old : B("<missing>"));
        EXPECT_EQ(List(f.dir()).size(), 1u) << "T.DAT or N, and no restore file";
    }
}

// A target named more than once in one patch (the format allows it): the
// restore file gives back its first version, whatever the later records
// are and whichever of them the run reached, and names it once.
TEST(RestoreFile, TargetNamedTwiceGetsItsFirstVersionBack) {
    // v1 -> v2 -> v3 through deltas, or v2 -> v3 as a whole file
    const Bytes v1 = B("abcdefghij"), v2 = B("efghXYab"), v3 = B("XY123efgh"), other = B("other");
    auto first = [&](ContainerBuilder& c, const std::string& name) {
        c.Delta(Sum(v1), Sum(v2), name).Copy(4, 4).Insert(B("XY")).Copy(2, 0).End();
    };
    auto second = [&](ContainerBuilder& c, const std::string& name) {
        c.Delta(Sum(v2), Sum(v3), name).Copy(2, 4).Insert(B("123")).Copy(4, 0).End();
    };
    struct Case { const char* what; std::function<void(ContainerBuilder&)> build; unsigned stopAfter; } cases[] = {
        {"delta, then delta", [&](ContainerBuilder& c) { first(c, "SUB\\T"); c.Whole("O", other); second(c, "SUB\\T"); }, 0},
        {"delta, then the whole file over it, named in other case and separator",
         [&](ContainerBuilder& c) { first(c, "SUB\\T"); c.Whole("O", other); c.Whole("sub/t", v3); }, 0},
        {"whole file over it, then delta", [&](ContainerBuilder& c) { c.Whole("Sub\\T", v2); c.Whole("O", other); second(c, "SUB/t"); }, 0},
        {"stopped between the two", [&](ContainerBuilder& c) { first(c, "SUB\\T"); c.Whole("O", other); second(c, "SUB\\T"); }, 1},
    };
    const Bytes stub = SignedStub();
    for (const auto& k : cases) {
        SCOPED_TRACE(k.what);
        ScratchFolder f("twice");
        CreateDirectoryA((f / "SUB").c_str(), nullptr);
        WriteBytes(f / "SUB\\T", v1);
        WriteBytes(f / "O", B("o"));
        ContainerBuilder c(3);
        k.build(c);
        PatchRestore r{f.dir().c_str(), "r", stub.data(), stub.size()};
        Host h;
        h.answer = 1;
        h.cancelAfter = k.stopAfter;
        RunContainer(f, c.bytes(), h, &r);
        EXPECT_EQ(g_tally.records, k.stopAfter ? k.stopAfter : 3u);
        EXPECT_EQ(g_tally.failed, 0u);
        EXPECT_EQ(ReadBytes(f / "SUB\\T"), k.stopAfter ? v2 : v3);
        EXPECT_EQ(g_restore.records, k.stopAfter ? 1u : 2u) << "T once, and O when reached";
        const std::string made = g_restore.path;

        Host back;
        back.answer = 1;
        EXPECT_EQ(RunContainer(f, RestoreContainer(r, made), back, nullptr), PATCH_FINISHED);
        EXPECT_EQ(g_tally.failed, 0u);
        EXPECT_EQ(back.asked, 0) << "no target of another version";
        EXPECT_EQ(ReadBytes(f / "SUB\\T"), v1);
        EXPECT_EQ(ReadBytes(f / "O"), B("o"));
        EXPECT_EQ(CountTempFiles(f.dir()), 0);
    }
}

// --- format 2 ---

namespace {

// The container's header rewritten: count and length as given, open or not.
Bytes Reheader(Bytes c, bool open, uint32_t count, uint64_t length) {
    F2Header h{F2_REVISION, open ? unsigned(F2_FLAG_OPEN) : 0u, count, GetU32(&c[12]), length};
    PutF2Header(c.data(), &h);
    return c;
}

// Two blocks: a whole file, the worked example (exact copies), a missing
// target and a file of another version whose bytes must be passed over,
// and a diff copy read after them from the same streams.
Format2Builder TwoBlocks(const Bytes& dOld, const Bytes& dNew, Format2Builder::Coder coder = nullptr) {
    const Bytes old = B("abcdefghij"), neu = B("efghXYab");
    Format2Builder f;
    f.Code(coder);
    f.Whole("SUB\\NEW.TXT", B("new file"));
    f.Delta("T.DAT", old, neu).Cmd(4, 4, {}, B("XY")).Cmd(-8, 2, {}, {});
    f.Delta("MISSING", old, B("zz-abcd")).Cmd(0, 0, {}, B("zz-")).Cmd(0, 4, {1, 1, 1, 1}, {});
    f.Delta("D.BIN", dOld, dNew).Cmd(1, 3, {1, 0xFF, 0}, B("!")).Block();
    f.Delta("OTHER", old, neu).Cmd(4, 4, {}, B("XY")).Cmd(-8, 2, {}, {});
    f.Whole("LAST", B("last")).Block();
    return f;
}

}  // namespace

TEST(Format2Run, RecordsApplyAndUnmatchedTargetsArePassedOver) {
    for (Format2Builder::Coder coder : {Format2Builder::Coder(nullptr), testing_support::LzmaCoded}) {
        SCOPED_TRACE(coder ? "LZMA streams" : "stored streams");
        const Bytes dOld = {9, 0x10, 0x20, 0x30}, dNew = {0x11, 0x1F, 0x30, '!'};
        const Bytes c = TwoBlocks(dOld, dNew, coder).Build();
        ScratchFolder f("f2run");
        WriteBytes(f / "T.DAT", B("abcdefghij"));
        WriteBytes(f / "D.BIN", dOld);
        WriteBytes(f / "OTHER", B("other"));
        Host h;
        EXPECT_EQ(RunContainer(f, c, h), PATCH_FINISHED);
        EXPECT_EQ(h.asked, 1);
        EXPECT_EQ(g_check.mismatched, 2u);
        EXPECT_STREQ(g_check.list[0].name, "MISSING");
        EXPECT_EQ(g_tally.ok, 4u);
        EXPECT_EQ(g_tally.notTarget, 1u);
        EXPECT_EQ(g_tally.badSource, 1u);
        EXPECT_EQ(ReadBytes(f / "SUB\\NEW.TXT"), B("new file"));
        EXPECT_EQ(ReadBytes(f / "T.DAT"), B("efghXYab"));
        EXPECT_EQ(ReadBytes(f / "D.BIN"), dNew);
        EXPECT_EQ(ReadBytes(f / "OTHER"), B("other"));
        EXPECT_EQ(ReadBytes(f / "LAST"), B("last"));
        EXPECT_FALSE(Exists(f / "MISSING"));
        EXPECT_EQ(h.progress.size(), 6u);
        // again: the deltas are up to date, the whole files exist (and stay)
        Host again;
        EXPECT_EQ(RunContainer(f, c, again), PATCH_FINISHED);
        EXPECT_EQ(g_check.upToDate, 2u);
        EXPECT_EQ(g_check.existing, 2u);
        EXPECT_EQ(g_tally.upToDate, 2u);
        EXPECT_EQ(g_tally.skipped, 2u);
        EXPECT_EQ(CountTempFiles(f.dir()), 0);
    }
}

// A damaged container is found before the first write, wherever the damage
// is; an open one ends at its first damaged block instead.
TEST(Format2Run, DamagedContainerWritesNothing) {
    const Bytes dOld = {9, 0x10, 0x20, 0x30}, dNew = {0x11, 0x1F, 0x30, '!'};
    const Bytes good = TwoBlocks(dOld, dNew).Build();
    const uint64_t n = good.size();
    auto with = [&](Bytes tail) { Bytes c = good; c.insert(c.end(), tail.begin(), tail.end()); return c; };
    Bytes hostile = Format2Builder().Whole("..\\X", B("x")).Block().Build();
    Bytes zeroInName = Format2Builder().Whole(std::string("A\0B", 3), B("x")).Block().Build();
    Bytes tooMuchMemory = Reheader(good, false, 6, n);
    PutU32(&tooMuchMemory[12], F2_MEMORY_MAX + 1);
    tooMuchMemory = Reheader(tooMuchMemory, false, 6, n);
    struct Case { const char* what; Bytes bytes; } cases[] = {
        {"last byte cut off", Bytes(good.begin(), good.end() - 1)},
        {"count one more", Reheader(good, false, 7, n)},
        {"length one less", Reheader(good, false, 6, n - 1)},
        {"eight zero bytes after", with(Bytes(8, 0))},
        {"a nonzero byte after", with({0, 1})},
        {"decoder memory over 64 MiB", tooMuchMemory},
        {"name outside the folder", hostile},
        {"0 byte in a name", zeroInName},
    };
    auto writesNothing = [&](const Bytes& c) {
        ScratchFolder f("f2damaged");
        WriteBytes(f / "T.DAT", B("abcdefghij"));
        Host h;
        EXPECT_EQ(RunContainer(f, c, h), PATCH_DATAERROR);
        EXPECT_EQ(g_tally.records, 0u);
        EXPECT_EQ(List(f.dir()), std::vector<std::string>{"T.DAT"});
        EXPECT_EQ(ReadBytes(f / "T.DAT"), B("abcdefghij"));
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        writesNothing(c.bytes);
    }
    for (size_t at = 0; at < good.size(); at++) {
        SCOPED_TRACE("byte " + std::to_string(at) + " flipped");
        Bytes d = good;
        d[at] ^= 0x01;
        writesNothing(d);
    }
    // signature padding is no damage
    ScratchFolder f("f2padded");
    Host h;
    EXPECT_EQ(RunContainer(f, with(Bytes(7, 0)), h), PATCH_FINISHED);
}

// Streams whose CRC holds but that do not decode, or hold bytes no record
// takes: the run stops there with a data error, that target unchanged.
TEST(Format2Run, StreamsThatDoNotDecodeStopTheRun) {
    const Bytes old = B("abcdefghij"), neu = B("efghXYab");
    // LZMA by its head, but no range coder starts with FF
    Format2Builder::Coder notLzma = [](const Bytes& d, F2StreamHead* h) {
        *h = {F2_LZMA, 3, 4096, 0, d.size()};
        return Bytes(9, 0xFF);
    };
    // a stream of bytes stops the run at its record; a table that does not
    // decode is found by the check, before the first write
    enum { LeftOver, BadStreams, BadTable };
    for (int what : {LeftOver, BadStreams, BadTable}) {
        SCOPED_TRACE(what == LeftOver ? "a byte left over" : what == BadStreams ? "LZMA streams" : "LZMA table");
        Format2Builder f;
        f.Whole("FIRST", B("1")).Block().Code(what == LeftOver ? nullptr : notLzma, what == BadTable);
        f.Delta("T.DAT", old, neu).Cmd(4, 4, {}, B("XY")).Cmd(-8, 2, {}, {}).ControlBytes(what == LeftOver ? Bytes{0} : Bytes{});
        ScratchFolder sf("f2decode");
        WriteBytes(sf / "T.DAT", old);
        Host h;
        EXPECT_EQ(RunContainer(sf, f.Block().Build(), h), PATCH_DATAERROR);
        EXPECT_EQ(ReadBytes(sf / "FIRST"), what == BadTable ? B("<missing>") : B("1"));
        EXPECT_EQ(ReadBytes(sf / "T.DAT"), what == LeftOver ? neu : old);
        EXPECT_EQ(g_tally.badData, what == BadStreams ? 1u : 0u);
        EXPECT_EQ(CountTempFiles(sf.dir()), 0);
    }
}

// An old file larger than the read window, copied from around the window's
// end, exactly and with differences, backwards and forwards.
TEST(Format2Run, CopiesAcrossTheReadWindow) {
    const uint64_t window = 4u * 1024 * 1024;
    Bytes old = Pair::Noise(5, window + 300 * 1024), diffs = Pair::Noise(6, 9000), lit = Pair::Noise(7, 70000);
    Bytes neu;
    auto take = [&](uint64_t from, uint64_t len, const Bytes& plus) {
        for (uint64_t i = 0; i < len; i++)
            neu.push_back((uint8_t)(old[from + i] + (plus.empty() ? 0 : plus[i])));
    };
    take(window - 5000, 12000, {});
    neu.insert(neu.end(), lit.begin(), lit.end());
    take(10, 100, {});
    take(window - 4000, 9000, diffs);
    take(old.size() - 10, 10, {});
    Format2Builder f;
    f.Delta("BIG.BIN", old, neu)
        .Cmd(int64_t(window - 5000), 12000, {}, lit)
        .Cmd(-int64_t(window + 7000 - 10), 100, {}, {})
        .Cmd(int64_t(window - 4110), 9000, diffs, {})
        .Cmd(int64_t(old.size() - 10 - (window + 5000)), 10, {}, {});
    ScratchFolder sf("f2window");
    WriteBytes(sf / "BIG.BIN", old);
    Host h;
    EXPECT_EQ(RunContainer(sf, f.Block().Build(), h), PATCH_FINISHED);
    EXPECT_EQ(g_tally.ok, 1u);
    EXPECT_TRUE(ReadBytes(sf / "BIG.BIN") == neu);
}

// A format-2 run's restore file is a format-2 container that undoes it; one
// left open by a stopped run still restores every complete block.
TEST(Format2Restore, UndoesTheRunAndAnOpenOneItsCompleteBlocks) {
    Pair a(21, 3000);
    const Bytes overOld = B("overwritten old"), overNew = B("over");
    Format2Builder f;
    f.Delta("A.BIN", a.old, a.neu).Cmd(6 * 3000, 3 * 3000, {}, Bytes(a.neu.begin() + 9000, a.neu.begin() + 18000))
        .Cmd(-8 * 3000, 4 * 3000, {}, {}).Cmd(-3 * 3000, 3000, {}, {});
    f.Whole("OVER", overNew).Whole("NEWDIR\\CREATED", B("c")).Block();
    const Bytes stub = B("MZ stub");
    auto run = [&](const char* tag, const std::function<void(ScratchFolder&, const Bytes&)>& check) {
        ScratchFolder sf(tag);
        WriteBytes(sf / "A.BIN", a.old);
        WriteBytes(sf / "OVER", overOld);
        PatchRestore r{sf.dir().c_str(), "r", stub.data(), stub.size()};
        Host h;
        h.answer = 1;
        ASSERT_EQ(RunContainer(sf, f.Build(), h, &r), PATCH_FINISHED);
        ASSERT_EQ(g_restore.state, RESTORE_MADE);
        EXPECT_EQ(g_restore.records, 2u);
        EXPECT_EQ(ReadBytes(sf / "A.BIN"), a.neu);
        check(sf, RestoreContainer(r, g_restore.path));
    };
    run("f2restore", [&](ScratchFolder& sf, const Bytes& c) {
        F2Header h;
        ASSERT_EQ(F2ReadHeader(c.data(), c.size(), &h), PR_OK);
        EXPECT_EQ(h.flags, 0u) << "closed at the run's end";
        EXPECT_EQ(h.count, 2u);
        EXPECT_EQ(h.length, c.size());
        Host back;
        EXPECT_EQ(RunContainer(sf, c, back), PATCH_FINISHED);
        EXPECT_EQ(g_tally.ok, 2u);
        EXPECT_EQ(ReadBytes(sf / "A.BIN"), a.old);
        EXPECT_EQ(ReadBytes(sf / "OVER"), overOld);
        EXPECT_EQ(ReadBytes(sf / "NEWDIR\\CREATED"), B("c"));
    });
    // left open by a kill: the second block torn or damaged, or whole
    struct Torn { const char* what; size_t cut; size_t flip; bool secondBack; } torn[] = {
        {"whole", 0, 0, true}, {"last byte missing", 1, 0, false}, {"cut inside its head", 40 + 29, 0, false},
        {"a byte of it flipped", 0, 30, false}};
    for (const auto& t : torn) {
        SCOPED_TRACE(t.what);
        run("f2torn", [&](ScratchFolder& sf, const Bytes& closed) {
            Bytes c = Reheader(closed, true, 0, 0);
            c.resize(c.size() - t.cut);
            if (t.flip)
                c[c.size() - t.flip] ^= 0x10;
            Host back;
            EXPECT_EQ(RunContainer(sf, c, back), PATCH_FINISHED);
            EXPECT_EQ(g_check.count, t.secondBack ? 2u : 1u);
            EXPECT_EQ(ReadBytes(sf / "A.BIN"), a.old);
            EXPECT_EQ(ReadBytes(sf / "OVER"), t.secondBack ? overOld : overNew);
        });
    }
}

// A target replaced twice (a delta record, then a whole file) comes back as
// it was before the run: its one restore record, a whole file, is made at
// the first replacement.
TEST(Format2Restore, TargetReplacedTwiceComesBackAsBefore) {
    const Bytes v1 = B("abcdefghij"), v2 = B("efghXYab"), v3 = B("third");
    Format2Builder f;
    f.Delta("T.DAT", v1, v2).Cmd(4, 4, {}, B("XY")).Cmd(-8, 2, {}, {});
    f.Whole("t.dat", v3).Block();
    ScratchFolder sf("f2twice");
    WriteBytes(sf / "T.DAT", v1);
    const Bytes stub = B("MZ stub");
    PatchRestore r{sf.dir().c_str(), "r", stub.data(), stub.size()};
    Host h;
    h.answer = 1;
    ASSERT_EQ(RunContainer(sf, f.Build(), h, &r), PATCH_FINISHED);
    EXPECT_EQ(ReadBytes(sf / "T.DAT"), v3);
    EXPECT_EQ(g_restore.records, 1u);
    Host back;
    back.answer = 1;
    EXPECT_EQ(RunContainer(sf, RestoreContainer(r, g_restore.path), back), PATCH_FINISHED);
    EXPECT_EQ(ReadBytes(sf / "T.DAT"), v1);
}

// A delta record's way back copies from the rebuilt file every stretch of
// the old one that the run copied exactly (a copy, or a run of 16 or more
// zero differences), whatever the order and overlap of the copies, and
// writes only the rest: its literal stream holds exactly those bytes. A
// record with more copies than the table holds keeps the longest.
TEST(Format2Restore, WayBackCopiesWhatTheNewFileHolds) {
    const uint64_t window = 4u * 1024 * 1024;
    struct Case {
        const char* what;
        Bytes old;
        std::function<void(Format2Builder&, Bytes&, const Bytes&)> build;  // commands, and the new bytes
        uint64_t literal;  // of the way back
    };
    auto copy = [](Bytes& neu, const Bytes& old, uint64_t from, uint64_t len, const Bytes& diffs = {}) {
        for (uint64_t i = 0; i < len; i++)
            neu.push_back(uint8_t(old[from + i] + (diffs.empty() ? 0 : diffs[i])));
    };
    Bytes lit = Pair::Noise(9, 1000), everyHundred(10000, 0);
    for (size_t i = 50; i < everyHundred.size(); i += 100)
        everyHundred[i] = 7;
    const uint64_t big = window + 300 * 1024;
    Case cases[] = {
        // copies around the read window's end, and the file's tail
        {"old file larger than the window", Pair::Noise(11, big),
         [&](Format2Builder& f, Bytes& neu, const Bytes& old) {
             copy(neu, old, window - 100000, 300000);
             neu.insert(neu.end(), lit.begin(), lit.end());
             copy(neu, old, 10, 100);
             copy(neu, old, big - 50000, 50000);
             f.Cmd(int64_t(window - 100000), 300000, {}, lit).Cmd(10 - int64_t(window + 200000), 100, {}, {})
                 .Cmd(int64_t(big - 50000 - 110), 50000, {}, {});
         },
         big - 300000 - 100 - 50000},
        // [500, 1500) exactly, then [1000, 11000) with a difference at every
        // 100th byte from 1050: those from 1550 on (95) stay literal
        {"differences, overlapping an exact copy", Pair::Noise(12, 20000),
         [&](Format2Builder& f, Bytes& neu, const Bytes& old) {
             copy(neu, old, 1000, 10000, everyHundred);
             copy(neu, old, 500, 1000);
             neu.insert(neu.end(), lit.begin(), lit.begin() + 10);
             f.Cmd(1000, 10000, everyHundred, {}).Cmd(-10500, 1000, {}, Bytes(lit.begin(), lit.begin() + 10));
         },
         20000 - (11000 - 500 - 95)},
        // 20,000 copies of 20 bytes, backwards, then one of 100,000: the
        // short ones do not fit the table and give way
        {"more copies than the table holds", Pair::Noise(13, 400000),
         [&](Format2Builder& f, Bytes& neu, const Bytes& old) {
             int64_t pos = 0;
             for (int64_t i = 19999; i >= 0; i--) {
                 copy(neu, old, uint64_t(i) * 20, 20);
                 f.Cmd(i * 20 - pos, 20, {}, {});
                 pos = i * 20 + 20;
             }
             copy(neu, old, 0, 100000);
             f.Cmd(-pos, 100000, {}, {});
         },
         300000},
    };
    const Bytes stub = B("MZ stub");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // the new bytes first: the table entry needs them
        Bytes neu, again;
        Format2Builder first, f;
        c.build(first, neu, c.old);
        f.Delta("T.BIN", c.old, neu);
        c.build(f, again, c.old);
        ScratchFolder sf("f2back");
        WriteBytes(sf / "T.BIN", c.old);
        PatchRestore r{sf.dir().c_str(), "r", stub.data(), stub.size()};
        Host h;
        ASSERT_EQ(RunContainer(sf, f.Block().Build(), h, &r), PATCH_FINISHED);
        ASSERT_EQ(g_restore.records, 1u);
        const Bytes back = RestoreContainer(r, g_restore.path);
        F2BlockHead b;
        ASSERT_EQ(F2ReadBlockHead(back.data() + F2_HEADER_SIZE, back.size() - F2_HEADER_SIZE, &b), PR_OK);
        EXPECT_EQ(b.streams[F2_LITERAL].unpacked, c.literal);
        Host undo;
        EXPECT_EQ(RunContainer(sf, back, undo), PATCH_FINISHED);
        EXPECT_EQ(g_tally.ok, 1u);
        EXPECT_TRUE(ReadBytes(sf / "T.BIN") == c.old);
    }
}
