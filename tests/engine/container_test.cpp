// A container read through the engine's fixed buffers instead of a
// mapping: from memory and from a file at an offset, each read bringing in
// fewer bytes than a stream, a table or a block holds, with stored and
// LZMA-coded streams; a container that ends early; the bare form read the
// same way.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>

#include "engine/container.h"
#include "engine/locate.h"
#include "support/container_builder.h"
#include "support/format2_builder.h"
#include "support/win_folder.h"
#include "tools/mkpatch/lib/lzma_enc.h"

using namespace testing_support;

namespace {

Bytes Noise(unsigned seed, size_t n) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& x : b) x = (uint8_t)rng();
    return b;
}

// The same container with every stream LZMA-coded: a 4 KiB dictionary, so
// that matches reach back across many reads.
Bytes Compress(const Bytes& stored) {
    mkpatch::LzmaOptions o;
    o.dictSize = 4096;
    Bytes out(stored.begin(), stored.begin() + F2_HEADER_SIZE);
    uint32_t memory = 0;
    for (size_t at = F2_HEADER_SIZE; at < stored.size();) {
        F2BlockHead b;
        EXPECT_EQ(F2ReadBlockHead(&stored[at], stored.size() - at, &b), PR_OK);
        Bytes block(F2_BLOCK_HEAD_SIZE), streams;
        uint32_t need = 0;
        for (unsigned i = 0; i < F2_STREAMS; i++) {
            uint64_t u = b.streams[i].unpacked;
            Bytes p = mkpatch::LzmaEncode({&stored[at + b.streamOffset[i]], size_t(u)}, o);
            b.streams[i] = {F2_LZMA, mkpatch::LzmaPropsByte(o), o.dictSize, p.size(), u};
            need += uint32_t(std::min<uint64_t>(o.dictSize, u));
            streams.insert(streams.end(), p.begin(), p.end());
        }
        PutF2BlockHead(block.data(), &b);
        block.insert(block.end(), streams.begin(), streams.end());
        block.resize(block.size() + 4);
        PutU32(&block[block.size() - 4], Crc32Update(0, block.data(), block.size() - 4));
        out.insert(out.end(), block.begin(), block.end());
        memory = std::max(memory, need);
        at += b.size;
    }
    F2Header h{F2_REVISION, 0, GetU32(&stored[8]), memory, out.size()};
    PutF2Header(out.data(), &h);
    return out;
}

struct Host {
    int ends = 0;
    std::function<void()> checked;  // at the check's last report
    PatchHost host{[](void*, const char*) { return 1; }, nullptr, End, Progress, this, nullptr};
    static void End(void* ctx, int) { static_cast<Host*>(ctx)->ends++; }
    static void Progress(void* ctx, int phase, unsigned done, unsigned count) {
        auto* h = static_cast<Host*>(ctx);
        if (phase == PATCH_PHASE_CHECK && done == count && h->checked)
            h->checked();
    }
};

const Bytes kStub = Noise(99, 777);

// Runs c from memory, or from P.EXE beside the target folder where it
// follows a stub, each read bringing in piece bytes (0: as the applier).
int RunWindowed(const ScratchFolder& sf, const Bytes& c, bool file, uint32_t piece, Host& h,
                const PatchRestore* restore = nullptr) {
    PatchContainer pc{c.data(), INVALID_HANDLE_VALUE, 0, c.size()};
    if (file) {
        Bytes exe = kStub;
        exe.insert(exe.end(), c.begin(), c.end());
        WriteBytes(sf.root() + "P.EXE", exe);
        pc = {nullptr, CreateFileA((sf.root() + "P.EXE").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, 0, nullptr),
              kStub.size(), c.size()};
        EXPECT_NE(pc.file, INVALID_HANDLE_VALUE);
    }
    g_containerPiece = piece;
    PatchSetKeepRunning(1);
    RunPatchContainer(&pc, sf.dir().c_str(), &h.host, restore);
    g_containerPiece = 0;
    if (file)
        CloseHandle(pc.file);
    EXPECT_EQ(h.ends, 1);
    return PatchOutcome();
}

// Two blocks: a whole file (text and noise) under a long name, a delta
// record of 120 commands with seeks both ways, diff copies and literal
// bytes; then a small whole file and a delta of another version.
struct Patch {
    Bytes old = Noise(1, 5000), neu, whole, c;
    std::string longName = "LONG\\" + std::string(140, 'n');
    Patch() {
        for (int i = 0; i < 60; i++)
            whole.insert(whole.end(), {'t', 'e', 'x', 't', ' ', uint8_t('0' + i % 10)});
        Bytes tail = Noise(2, 1500);
        whole.insert(whole.end(), tail.begin(), tail.end());
        struct Cmd { int64_t seek; uint64_t copy; Bytes diffs, extra; };
        std::vector<Cmd> cmds;
        std::mt19937 rng(3);
        uint64_t pos = 0;
        for (unsigned k = 0; k < 120; k++) {
            uint64_t to = rng() % 4900, len = 1 + rng() % 90;
            Cmd cmd{int64_t(to) - int64_t(pos), len, k % 2 ? Noise(10 + k, len) : Bytes{}, Noise(500 + k, k % 3 * 7)};
            for (uint64_t i = 0; i < len; i++)
                neu.push_back(uint8_t(old[to + i] + (cmd.diffs.empty() ? 0 : cmd.diffs[i])));
            neu.insert(neu.end(), cmd.extra.begin(), cmd.extra.end());
            pos = to + len;
            cmds.push_back(cmd);
        }
        Format2Builder f;
        f.Whole(longName, whole).Delta("A.BIN", old, neu);
        for (const Cmd& cmd : cmds)
            f.Cmd(cmd.seek, cmd.copy, cmd.diffs, cmd.extra);
        f.Block().Whole("B2", Noise(4, 2000));
        f.Delta("OTHER", old, Bytes(old.begin(), old.begin() + 10)).Cmd(0, 10, {}, {});
        c = f.Block().Build();
    }
};

}  // namespace

// With reads of 16 or 100 bytes, every stream, every varint and LZMA's
// range coder cross a buffer's end many times, and each block's CRC is
// taken over many pieces (one wrongly chained fails the check).
TEST(ContainerWindow, RunsWhateverThePieceAndWhereverTheContainerLies) {
    const Patch p;
    const Bytes lzma = Compress(p.c);
    for (uint32_t piece : {16u, 100u, 0u})
        for (bool file : {false, true})
            for (bool coded : {false, true}) {
                SCOPED_TRACE(std::to_string(piece) + (file ? " file" : " memory") + (coded ? " LZMA" : " stored"));
                ScratchFolder sf("window");
                WriteBytes(sf / "A.BIN", p.old);
                WriteBytes(sf / "OTHER", B("another version"));
                Host h;
                EXPECT_EQ(RunWindowed(sf, coded ? lzma : p.c, file, piece, h), PATCH_FINISHED);
                EXPECT_EQ(g_tally.ok, 3u);
                EXPECT_EQ(g_tally.badSource, 1u);
                EXPECT_TRUE(ReadBytes(sf / p.longName) == p.whole);
                EXPECT_TRUE(ReadBytes(sf / "A.BIN") == p.neu);
                EXPECT_TRUE(ReadBytes(sf / "B2") == Noise(4, 2000));
                EXPECT_EQ(CountTempFiles(sf.dir()), 0);
            }
}

// A container file that ends before the container does: found by the check
// when it is short from the start; when it is cut after the check, the
// block that runs into the cut (its table comes last) stops the run with a
// data error before its first record, and its target is not made; the
// blocks before it are applied.
TEST(ContainerWindow, ContainerThatEndsEarly) {
    const Patch p;
    for (bool coded : {false, true})
        for (bool afterCheck : {false, true}) {
            SCOPED_TRACE(std::string(coded ? "LZMA" : "stored") + (afterCheck ? ", cut after the check" : ""));
            const Bytes c = coded ? Compress(p.c) : p.c;
            ScratchFolder sf("windowcut");
            WriteBytes(sf / "A.BIN", p.old);
            const uint64_t cut = kStub.size() + c.size() - 1000;  // inside B2's bytes
            auto truncate = [&] {
                HANDLE w = CreateFileA((sf.root() + "P.EXE").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, OPEN_EXISTING, 0, nullptr);
                LARGE_INTEGER at;
                at.QuadPart = LONGLONG(cut);
                EXPECT_TRUE(SetFilePointerEx(w, at, nullptr, FILE_BEGIN) && SetEndOfFile(w));
                CloseHandle(w);
            };
            Host h;
            Bytes written = c;
            if (afterCheck)
                h.checked = truncate;
            else
                written.resize(cut - kStub.size());
            EXPECT_EQ(RunWindowed(sf, written, true, 16, h), PATCH_DATAERROR);
            EXPECT_EQ(g_tally.ok, afterCheck ? 2u : 0u);
            EXPECT_EQ(g_tally.badData, 0u);
            EXPECT_TRUE(ReadBytes(sf / "A.BIN") == (afterCheck ? p.neu : p.old));
            std::vector<std::string> names = List(sf.dir()), made = {"A.BIN", "LONG"};
            std::sort(names.begin(), names.end());
            EXPECT_EQ(names, afterCheck ? made : std::vector<std::string>{"A.BIN"});
            EXPECT_EQ(CountTempFiles(sf.dir()), 0);
        }
}

// The bare reader's bookkeeping: whatever the piece, what it hands out is
// the container's bytes, at least as many as asked for (or all that are
// left) and no more than its buffer, for a request inside what it holds,
// across its end, past it or back before its start.
TEST(ContainerWindow, BareReaderHoldsWhatIsAsked) {
    const Bytes c = Noise(8, BARE_HOLD * 2 + 100);
    const struct { uint64_t at; uint32_t want; } asks[] = {
        {0, 1}, {5, 9}, {BARE_HOLD - 4, 9}, {BARE_HOLD - 1, BARE_HOLD}, {BARE_HOLD * 2 - 3, 269},
        {3, 269}, {c.size() - 5, 9}, {c.size(), 9}, {BARE_HOLD + 7, 1}};
    for (uint32_t piece : {1u, 7u, 0u}) {
        g_containerPiece = piece;
        PatchContainer pc{c.data(), INVALID_HANDLE_VALUE, 0, c.size()};
        BareBegin(&pc);
        for (const auto& ask : asks) {
            SCOPED_TRACE(std::to_string(piece) + " at " + std::to_string(ask.at));
            uint32_t held = 0;
            const unsigned char* p = BareHold(ask.at, ask.want, &held);
            ASSERT_NE(p, nullptr);
            const uint64_t left = c.size() - ask.at;
            EXPECT_GE(held, std::min<uint64_t>(ask.want, left));
            EXPECT_LE(held, std::min<uint64_t>(BARE_HOLD, left));
            EXPECT_TRUE(std::equal(p, p + held, c.begin() + ptrdiff_t(ask.at)));
        }
        g_containerPiece = 0;
    }
}

// The bare form through its reader: with reads of 1, 7 or 64 bytes every
// record head, name, command head, literal and the trailer's CRC cross the
// reads' ends, and a whole file of 150,000 bytes fills the reader's buffer
// several times whatever the piece. Each run makes the files, the tally and
// the restore file of a run with whole reads; a container cut inside a
// name, a whole file or a command head writes nothing.
TEST(ContainerWindow, BareFormWhateverThePiece) {
    const Bytes old = Noise(1, 5000), big = Noise(5, 150000), small = Noise(6, 3000), lit = Noise(7, 700);
    const std::string name = "DIR\\" + std::string(120, 'n');
    Bytes neu(old.begin() + 4000, old.end());
    neu.insert(neu.end(), lit.begin(), lit.end());
    neu.insert(neu.end(), old.begin(), old.begin() + 3000);
    neu.push_back(0x5A);
    auto crc = [](const Bytes& b) { return Crc32Update(0, b.data(), b.size()); };
    ContainerBuilder cb(3);
    cb.Whole(name, big).Delta(Sum(old), Sum(neu), "A.BIN");
    const size_t commands = cb.size();
    cb.Copy(1000, 4000).Insert(lit).Copy(0, 0).Copy(3000, 0).Insert({0x5A}).Insert({}).End().Whole("B2", small);
    cb.Trailer({{uint32_t(big.size()), crc(big), 0, 0},
                {uint32_t(neu.size()), crc(neu), uint32_t(old.size()), crc(old)},
                {uint32_t(small.size()), crc(small), 0, 0}});
    const Bytes& c = cb.bytes();
    struct Run { int outcome; unsigned ok, overwritten; Bytes a, b2, whole, restore; };
    auto run = [&](const Bytes& bytes, bool file, uint32_t piece) {
        ScratchFolder sf("barewin");
        WriteBytes(sf / "A.BIN", old);
        WriteBytes(sf / "B2", B("the file before"));
        PatchRestore r{sf.dir().c_str(), "back", kStub.data(), kStub.size()};
        Host h;
        Run got{RunWindowed(sf, bytes, file, piece, h, &r), g_tally.ok, g_tally.overwritten,
                ReadBytes(sf / "A.BIN"), ReadBytes(sf / "B2"), ReadBytes(sf / name), {}};
        if (g_restore.state == RESTORE_MADE)
            got.restore = ReadBytes(g_restore.path);
        EXPECT_EQ(CountTempFiles(sf.dir()), 0);
        return got;
    };
    const Run want = run(c, false, 0);
    ASSERT_EQ(want.outcome, PATCH_FINISHED);
    EXPECT_EQ(want.ok, 2u);
    EXPECT_EQ(want.overwritten, 1u);
    EXPECT_TRUE(want.a == neu && want.b2 == small && want.whole == big);
    EXPECT_GT(want.restore.size(), kStub.size() + 1000) << "the old bytes no copy of A.BIN covers";
    for (uint32_t piece : {1u, 7u, 64u, 0u})
        for (bool file : {false, true}) {
            SCOPED_TRACE(std::to_string(piece) + (file ? " file" : " memory"));
            const Run got = run(c, file, piece);
            EXPECT_EQ(got.outcome, want.outcome);
            EXPECT_EQ(got.ok, want.ok);
            EXPECT_EQ(got.overwritten, want.overwritten);
            EXPECT_TRUE(got.a == want.a && got.b2 == want.b2 && got.whole == want.whole);
            EXPECT_TRUE(got.restore == want.restore);
            for (size_t cut : {size_t(60), size_t(100000), commands + 3}) {
                const Run damaged = run(Bytes(c.begin(), c.begin() + cut), file, piece);
                EXPECT_EQ(damaged.outcome, PATCH_DATAERROR) << cut;
                EXPECT_TRUE(damaged.a == old && damaged.whole == B("<missing>") && damaged.restore.empty()) << cut;
            }
        }
}

// The folder finding walks format 2's blocks as the check does: a folder
// fits when it holds every complete block's delta targets, and an open
// container's torn last block is passed over, whatever piece a read takes.
TEST(ContainerWindow, FolderFitsByTheBlocksItCanRead) {
    const Bytes old = Noise(5, 300), neu(old.begin(), old.begin() + 100);
    Format2Builder f;
    f.Delta("A.BIN", old, neu).Cmd(0, 100, {}, {}).Block();
    f.Delta("B.BIN", old, neu).Cmd(0, 100, {}, {}).Block();
    const Bytes closed = f.Build();
    Bytes torn = f.Build(true);
    torn.resize(torn.size() - 5);
    struct Case { const char* why; const Bytes* c; bool holdsB; int fits; };
    const Case cases[] = {
        {"both blocks' targets there", &closed, true, 1},
        {"the second block's target missing", &closed, false, 0},
        {"open, the torn block's target missing", &torn, false, 1},
    };
    for (uint32_t piece : {0u, 16u})
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.why) + ", piece " + std::to_string(piece));
            ScratchFolder sf("fits");
            WriteBytes(sf / "A.BIN", old);
            if (c.holdsB)
                WriteBytes(sf / "B.BIN", old);
            PatchContainer pc{c.c->data(), INVALID_HANDLE_VALUE, 0, c.c->size()};
            g_containerPiece = piece;
            EXPECT_EQ(FolderFits(&pc, sf.dir().c_str(), nullptr), c.fits);
            DeleteFileA((sf / "A.BIN").c_str());
            EXPECT_EQ(FolderFits(&pc, sf.dir().c_str(), nullptr), 0) << "the first block's target missing";
            g_containerPiece = 0;
        }
}
