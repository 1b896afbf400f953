// Patches made by the tool, applied by the real engine: generated OLD and
// NEW folders go through `mkpatch build`, a copy of OLD goes through
// RunPatch, and the copy must then hold NEW byte for byte (plus the files
// only OLD had, which a patch cannot delete). Runs under wine64 with the
// ANSI code page 936, so the Chinese names take the applier's own path.
#include <gtest/gtest.h>

#include <windows.h>

#include "engine_apply.h"
#include "tools/mkpatch/lib/patch_reader.h"

namespace {

using tree::Bytes;
using tree::S;
namespace fs = std::filesystem;

TEST(EngineRoundTrip, CodePageIs936) {
    // the Chinese names below are only meaningful in this code page
    ASSERT_EQ(GetACP(), 936u) << "run under wine with LC_ALL=zh_CN.UTF-8";
}

TEST(EngineRoundTrip, GeneratedFoldersBecomeNew) {
    for (unsigned seed : {101u, 202u, 303u}) {
        const char* format = seed == 202 ? "1" : "2";
        SCOPED_TRACE("seed " + std::to_string(seed) + ", format " + format);
        tree::TempDir t;
        tree::MakeFolderPair(t / "old", t / "new", seed);
        auto b = tree::Mkpatch({"build", S(t / "old"), S(t / "new"), "-o", S(t / "p.bin"),
                                "--container-only", "--format", format});
        ASSERT_EQ(b.rc, 0) << b.err;
        Bytes container = tree::Read(t / "p.bin");

        fs::copy(t / "old", t / "target", fs::copy_options::recursive);
        auto expected = tree::Snapshot(t / "new");
        for (auto& [rel, bytes] : tree::Snapshot(t / "old"))
            expected.emplace(rel, bytes);  // only-OLD files stay

        HostLog log = ApplyWithEngine(container, t / "target");
        EXPECT_EQ(log.ends, 1);
        EXPECT_EQ(log.finished, 1);
        EXPECT_EQ(PatchOutcome(), PATCH_FINISHED);
        EXPECT_EQ(log.questions, 0);
        EXPECT_EQ(g_tally.failed, 0u);
        EXPECT_EQ(g_tally.ok, g_tally.records);
        auto got = tree::Snapshot(t / "target");
        EXPECT_EQ(got.size(), expected.size());
        for (auto& [rel, bytes] : expected) {
            auto it = got.find(rel);
            ASSERT_NE(it, got.end()) << rel << " missing";
            EXPECT_TRUE(it->second == bytes) << rel << " differs";
        }

        // A second run changes nothing: rebuilt targets no longer have the
        // old checksum (or, where both sums agree, rebuild to the same
        // bytes), and new files exist, so the question comes and is answered No.
        HostLog again = ApplyWithEngine(container, t / "target");
        EXPECT_EQ(again.finished, 1);
        EXPECT_EQ(again.questions, static_cast<int>(g_tally.skipped));
        EXPECT_EQ(tree::Snapshot(t / "target"), got);
    }
}

// The container is found where the applier's mark says, for a plain
// applier and for this build's real applier with branding written into its
// resources (which moves the container's start).
TEST(EngineRoundTrip, AppliedThroughAnApplierFile) {
    for (bool branded : {false, true}) {
        SCOPED_TRACE(branded ? "branded real applier" : "plain");
        tree::TempDir t;
        tree::MakeFolderPair(t / "old", t / "new", 404);
        tree::Write(t / "applier.exe", branded ? tree::Read(KORVEX_APPLIER) : tree::FakeApplier(2048));
        tree::Write(t / "p.ico", tree::Ico({48, 0}));
        std::vector<std::string> args = {"build", S(t / "old"), S(t / "new"), "-o", S(t / "p.exe"),
                                         "--applier", S(t / "applier.exe")};
        if (branded)
            args.insert(args.end(), {"--title", "T", "--icon", S(t / "p.ico"), "--version-info",
                                     "FileVersion=9.8.7.6"});
        auto b = tree::Mkpatch(args);
        ASSERT_EQ(b.rc, 0) << b.err;
        Bytes patch = tree::Read(t / "p.exe");
        int64_t offset = mkpatch::FindContainerOffset(patch, "p.exe");
        EXPECT_EQ(offset > 2048, branded);
        ExpectApplyGivesNew(patch, offset, t / "old", t / "new", t / "target");
    }
}

// An old file whose first two words trade places keeps its XOR sum. With
// the trailer the engine refuses it (its CRC-32 is not the old one) and
// leaves it as it is; the bare format cannot tell, and rebuilds it into
// bytes that are not NEW's, as that format means.
TEST(EngineRoundTrip, OldFileWithTheRightSumButWrongBytes) {
    Bytes old(6000);
    for (size_t i = 0; i < old.size(); i++)
        old[i] = static_cast<uint8_t>(i * 13 + i / 253);
    Bytes neu = old;
    neu[4000] ^= 0x5A;
    Bytes swapped = old;
    std::swap_ranges(swapped.begin(), swapped.begin() + 4, swapped.begin() + 4);
    for (bool trailer : {true, false}) {
        SCOPED_TRACE(trailer ? "with the trailer" : "bare");
        tree::TempDir t;
        tree::Write(t / "old/f.bin", old);
        tree::Write(t / "new/f.bin", neu);
        std::vector<std::string> args = {"build", S(t / "old"), S(t / "new"), "-o", S(t / "p.bin"),
                                         "--container-only", "--format", "1"};
        if (!trailer)
            args.push_back("--no-trailer");
        ASSERT_EQ(tree::Mkpatch(args).rc, 0);
        tree::Write(t / "target/f.bin", swapped);
        ApplyWithEngine(tree::Read(t / "p.bin"), t / "target");
        Bytes got = tree::Read(t / "target/f.bin");
        if (trailer) {
            EXPECT_EQ(g_tally.badSource, 1u);
            EXPECT_TRUE(got == swapped);
        } else {
            EXPECT_EQ(g_tally.ok, 1u);
            EXPECT_FALSE(got == neu);
            EXPECT_FALSE(got == swapped);
        }
    }
}

// mkpatch.exe reads folders through the wide API, so a name no ANSI code
// page holds reaches the code-page check whole (and is refused there by
// name), while Chinese names go through.
TEST(WideNames, ReachTheCodePageCheck) {
    tree::TempDir t;
    tree::Write(t / "old/a.txt", std::string("a"));
    tree::Write(t / "new/\u4E2D\u6587.txt", std::string("chinese"));
    tree::Write(t / "new/smile\U0001F600.txt", std::string("emoji"));
    std::vector<std::string> args = {"build", S(t / "old"), S(t / "new"), "-o", S(t / "p.bin"),
                                     "--container-only"};
    auto r = tree::Mkpatch(args);
    EXPECT_EQ(r.rc, 2);
    EXPECT_NE(r.err.find("smile\xF0\x9F\x98\x80.txt: the name cannot be written in code page 936"),
              std::string::npos) << r.err;
    fs::remove(t / "new/smile\U0001F600.txt");
    r = tree::Mkpatch(args);
    ASSERT_EQ(r.rc, 0) << r.err;
    auto l = tree::Mkpatch({"list", S(t / "p.bin")});
    EXPECT_NE(l.out.find("  \xE4\xB8\xAD\xE6\x96\x87.txt"), std::string::npos) << l.out;
}

}  // namespace
