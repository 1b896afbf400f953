// The tool as users drive it: build, list and verify on real folders, and
// every refusal giving a clear message and leaving no output file behind.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <span>

#include "core/format2.h"
#include "tools/mkpatch/lib/branding.h"
#include "tools/mkpatch/lib/commands.h"
#include "tools/mkpatch/lib/encoder.h"
#include "tools/mkpatch/lib/names.h"
#include "tools/mkpatch/lib/patch_reader.h"
#include "tools/mkpatch/lib/project.h"
#include "tools/mkpatch/lib/text.h"
#include "tree.h"

namespace {

using tree::Bytes;
using tree::Mkpatch;
using tree::S;
namespace fs = std::filesystem;

// No output file and no temporary file beside it (keep.exe and dir are
// there before the run, where a case puts them).
void ExpectNoOutput(const fs::path& dir) {
    for (auto& e : fs::recursive_directory_iterator(dir)) {
        std::string name = tree::S(e.path().filename());
        EXPECT_EQ(name.find("mkpatch-tmp"), std::string::npos) << "left behind: " << name;
        if (e.path().parent_path() == dir) {
            EXPECT_TRUE(name == "old" || name == "new" || name == "applier.exe" || name == "keep.exe" ||
                        name == "dir" || name == "link.exe")
                << "left behind: " << name;
        }
    }
}

TEST(Build, RoundTripThroughVerify) {
    for (unsigned seed : {1u, 2u, 3u, 4u}) {
        tree::TempDir t;
        tree::MakeFolderPair(t / "old", t / "new", seed);
        const char* format = seed % 2 ? "2" : "1";
        SCOPED_TRACE("seed " + std::to_string(seed) + ", format " + format);
        auto b = Mkpatch({"build", S(t / "old"), S(t / "new"), "-o", S(t / "p.bin"), "--container-only",
                          "--format", format});
        ASSERT_EQ(b.rc, 0) << b.err;
        EXPECT_NE(b.err.find("removed.txt: only in OLD"), std::string::npos) << b.err;
        EXPECT_NE(b.out.find("2 unchanged"), std::string::npos) << b.out;
        auto v = Mkpatch({"verify", S(t / "p.bin"), S(t / "old"), S(t / "new")});
        EXPECT_EQ(v.rc, 0) << v.err;
        EXPECT_NE(v.out.find(seed % 2 ? "format 2: lengths" : "trailer holds"), std::string::npos) << v.out;
    }
}

// A cancel that comes once every file has been read, while the last block
// is coded, still stops the build, and nothing is written; without it, the
// same build writes its patch.
TEST(Build, CancelDuringTheLastCodingWritesNothing) {
    for (bool cancel : {false, true}) {
        SCOPED_TRACE(cancel ? "cancelled" : "not cancelled");
        tree::TempDir t;
        tree::MakeFolderPair(t / "old", t / "new", 1);
        std::atomic<bool> stop{false};
        mkpatch::BuildOptions o;
        o.oldDir = t / "old";
        o.newDir = t / "new";
        o.output = t / "p.bin";
        o.containerOnly = true;
        o.cancel = &stop;
        o.onProgress = [&](uint64_t done, uint64_t total) {
            if (done == total)
                stop = cancel;
        };
        std::ostringstream log;
        if (cancel)
            EXPECT_THROW(mkpatch::BuildPatch(o, log), mkpatch::Cancelled);
        else
            EXPECT_NO_THROW(mkpatch::BuildPatch(o, log));
        EXPECT_EQ(std::filesystem::exists(o.output), !cancel);
    }
}

// A pair the --memory cap does not let the whole-file encoder hold goes
// through the block index, and the patch still turns OLD into NEW.
TEST(Build, LargePairThroughTheBlockIndex) {
    tree::TempDir t;
    std::mt19937 rng(11);
    Bytes old = gen::RandomBytes(rng, 2 << 20);
    Bytes neu = gen::Edit(rng, old, 30);
    tree::Write(t / "old" / "data.pak", old);
    tree::Write(t / "new" / "data.pak", neu);
    auto b = Mkpatch({"build", S(t / "old"), S(t / "new"), "-o", S(t / "p.bin"), "--container-only", "-v",
                      "--memory", "64M"});
    ASSERT_EQ(b.rc, 0) << b.err;
    EXPECT_NE(b.err.find("through the block index"), std::string::npos) << b.err;
    auto v = Mkpatch({"verify", S(t / "p.bin"), S(t / "old"), S(t / "new")});
    EXPECT_EQ(v.rc, 0) << v.err;
    EXPECT_LT(fs::file_size(t / "p.bin"), neu.size() / 4);
}

// Records larger than the windows list and verify read through (64 KiB of
// a bare container, 64 KiB of each packed stream, 256 KiB read ahead from
// a file): an insert and a whole file that run past them, hundreds of
// commands across their edges; in each form built, listed and verified,
// then checked against a NEW file changed in its last byte and a patch
// cut short.
TEST(Verify, RecordsLargerThanTheReadWindows) {
    std::mt19937 rng(5);
    Bytes old = gen::RandomBytes(rng, 400 << 10);
    Bytes neu = old;
    for (int i = 0; i < 300; i++)
        neu[rng() % neu.size()] ^= 0x5A;
    Bytes insert = gen::RandomBytes(rng, 100 << 10);
    neu.insert(neu.begin() + (200 << 10), insert.begin(), insert.end());
    Bytes whole = gen::RandomBytes(rng, 150 << 10);
    struct Case {
        const char* format;
        const char* cut;  // what list says of the patch cut short
    } cases[] = {{"1", "record 2: the file runs past the end"}, {"2", "the header gives a container of"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("format ") + c.format);
        tree::TempDir t;
        tree::Write(t / "old/big.bin", old);
        tree::Write(t / "new/big.bin", neu);
        tree::Write(t / "new/whole.bin", whole);
        auto b = Mkpatch({"build", S(t / "old"), S(t / "new"), "-o", S(t / "p.bin"), "--container-only",
                          "--format", c.format});
        ASSERT_EQ(b.rc, 0) << b.err;
        auto l = Mkpatch({"list", S(t / "p.bin")});
        EXPECT_EQ(l.rc, 0) << l.err;
        EXPECT_NE(l.out.find("size=" + std::to_string(whole.size()) + "  whole.bin"), std::string::npos) << l.out;
        EXPECT_NE(l.out.find("size=" + std::to_string(neu.size()) + "  big.bin"), std::string::npos) << l.out;
        auto v = Mkpatch({"verify", S(t / "p.bin"), S(t / "old"), S(t / "new")});
        EXPECT_EQ(v.rc, 0) << v.err;

        Bytes changed = neu;
        changed.back() ^= 1;
        tree::Write(t / "new/big.bin", changed);
        v = Mkpatch({"verify", S(t / "p.bin"), S(t / "old"), S(t / "new")});
        EXPECT_EQ(v.rc, 1);
        EXPECT_NE(v.err.find("big.bin: the result differs from NEW"), std::string::npos) << v.err;
        tree::Write(t / "new/big.bin", neu);

        Bytes cut = tree::Read(t / "p.bin");
        cut.resize(cut.size() - (80 << 10));
        tree::Write(t / "cut.bin", cut);
        l = Mkpatch({"list", S(t / "cut.bin")});
        EXPECT_EQ(l.rc, 1);
        EXPECT_NE(l.err.find(c.cut), std::string::npos) << l.err;
        EXPECT_EQ(Mkpatch({"verify", S(t / "cut.bin"), S(t / "old"), S(t / "new")}).rc, 1);
    }
}

// mkpatch run as a child, and its peak resident memory as wait4 reports
// it. A forked child starts with its parent's resident pages and the peak
// keeps them across exec, so the test process must be small when it forks.
struct Measured {
    int rc = -1;
    uint64_t peak = 0;  // bytes
};

#ifdef __linux__
uint64_t ResidentBytes() {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return static_cast<uint64_t>(resident) * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

Measured RunMeasured(const std::vector<std::string>& args) {
    Measured m;
    std::vector<char*> argv{const_cast<char*>("mkpatch")};
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        // the sanitizer build would keep freed blocks in quarantine
        setenv("ASAN_OPTIONS", "quarantine_size_mb=0", 1);
        execv(MKPATCH_EXE, argv.data());
        _exit(127);
    }
    int status = 0;
    struct rusage ru {};
    if (pid > 0 && wait4(pid, &status, 0, &ru) == pid && WIFEXITED(status)) {
        m.rc = WEXITSTATUS(status);
        m.peak = static_cast<uint64_t>(ru.ru_maxrss) << 10;  // KiB on Linux
    }
    return m;
}
#endif

// build and verify of a pair larger than --memory stay under the cap plus
// an allowance (the runtime, the old file's window, the streams, and in
// the sanitizer build its shadow memory): holding the files whole, as the
// encoder or an in-memory rebuild would, takes twice to three times the
// cap and more. With a new file unrelated to the old one the literal
// stream is the whole new file, which has to be coded and written through
// bounded buffers; it repeats one random MiB, which LZMA codes quickly
// even under the sanitizers.
TEST(Build, PeakMemoryStaysUnderTheCap) {
#ifndef __linux__
    GTEST_SKIP() << "the peak is measured with wait4's ru_maxrss, which only Linux gives in KiB";
#else
    constexpr uint64_t kMiB = 1 << 20, kAllowance = 32 * kMiB;
    struct Case {
        const char* what;
        uint64_t file, cap;
        bool related;  // the new file is the old one with a few changes
    } cases[] = {
        {"similar", 40 * kMiB, 64 * kMiB, true},
        {"unrelated", 10 * kMiB, 64 * kMiB, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        tree::TempDir t;
        fs::create_directories(t / "old");
        fs::create_directories(t / "new");
        {
            // written a MiB at a time from one buffer, so that the test
            // process itself stays small
            std::mt19937 rng(64);
            std::ofstream old(t / "old/data.pak", std::ios::binary), neu(t / "new/data.pak", std::ios::binary);
            Bytes piece(kMiB + 4096), block(kMiB);
            auto fill = [&](Bytes& b) {
                for (size_t i = 0; i < kMiB; i += 4) {
                    uint32_t r = rng();
                    std::memcpy(&b[i], &r, 4);
                }
            };
            fill(block);
            for (uint64_t at = 0; at < c.file; at += kMiB) {
                fill(piece);
                old.write(reinterpret_cast<const char*>(piece.data()), kMiB);
                if (!c.related) {
                    neu.write(reinterpret_cast<const char*>(block.data()), kMiB);
                    continue;
                }
                for (int i = 0; i < 3; i++)
                    piece[rng() % kMiB] ^= 0x5A;
                size_t n = kMiB;
                if (at == 8 * kMiB) {  // an insertion
                    std::memmove(&piece[5096], &piece[1000], kMiB - 1000);
                    std::memset(&piece[1000], 0x33, 4096);
                    n += 4096;
                }
                neu.write(reinterpret_cast<const char*>(piece.data()), static_cast<std::streamsize>(n));
            }
        }
        uint64_t parent = ResidentBytes();
        if (parent > c.cap)
            GTEST_SKIP() << "the test process holds " << (parent >> 20)
                         << " MiB, which its child may count as its own: run this test on its own (as ctest does)";
        std::string cap = std::to_string(c.cap / kMiB) + "M";
        Measured b = RunMeasured({"build", S(t / "old"), S(t / "new"), "-o", S(t / "p.bin"), "--container-only",
                                  "--memory", cap, "-q"});
        Measured v = RunMeasured({"verify", S(t / "p.bin"), S(t / "old"), S(t / "new"), "-q"});
        std::printf("%s files of %llu MiB, --memory %s: build peak %.1f MiB, verify peak %.1f MiB "
                    "(the test process held %.1f MiB when it forked); limit %.0f MiB\n",
                    c.what, static_cast<unsigned long long>(c.file / kMiB), cap.c_str(), b.peak / double(kMiB),
                    v.peak / double(kMiB), parent / double(kMiB), (c.cap + kAllowance) / double(kMiB));
        ASSERT_EQ(b.rc, 0);
        // the copies were found, or the new file's random MiB went through
        if (c.related)
            EXPECT_LT(fs::file_size(t / "p.bin"), kMiB);
        else
            EXPECT_GT(fs::file_size(t / "p.bin"), kMiB);
        EXPECT_EQ(v.rc, 0);
        EXPECT_LT(b.peak, c.cap + kAllowance);
        EXPECT_LT(v.peak, c.cap + kAllowance);
    }
#endif
}

// The container holds exactly: one record per new or changed file, sorted
// by name bytes, whole files for new ones, delta records at the encoder's
// size, and never more than a single insert per file would take.
TEST(Build, ContainerLayout) {
    tree::TempDir t;
    tree::MakeFolderPair(t / "old", t / "new", 7);
    auto b = Mkpatch({"build", S(t / "old"), S(t / "new"), "-o", S(t / "p.bin"), "--container-only", "--format", "1"});
    ASSERT_EQ(b.rc, 0) << b.err;
    Bytes container = tree::Read(t / "p.bin");
    auto s = mkpatch::SummarizeContainer(container);
    ASSERT_TRUE(s.problem.empty()) << s.problem;
    auto oldFiles = tree::Snapshot(t / "old");
    auto newFiles = tree::Snapshot(t / "new");
    size_t changed = 0;
    for (auto& [rel, bytes] : newFiles)
        changed += !oldFiles.count(rel) || oldFiles[rel] != bytes;
    ASSERT_EQ(s.records.size(), changed);
    for (size_t i = 1; i < s.records.size(); i++)
        EXPECT_LT(s.records[i - 1].name, s.records[i].name);
    for (const auto& r : s.records) {
        auto rel = mkpatch::HostRelativePath(r.name, mkpatch::CodePage(936));
        ASSERT_TRUE(rel);
        const Bytes& neu = newFiles.at(*rel);
        EXPECT_EQ(r.whole, !oldFiles.count(*rel)) << *rel;
        EXPECT_EQ(r.newSum, XorSum(neu.data(), neu.size())) << *rel;
        if (r.whole) {
            EXPECT_EQ(r.oldSum, 0u);
            continue;
        }
        const Bytes& old = oldFiles.at(*rel);
        EXPECT_EQ(r.oldSum, XorSum(old.data(), old.size())) << *rel;
        Bytes body(container.begin() + r.bodyStart, container.begin() + r.bodyStart + r.bodySize);
        EXPECT_EQ(body, mkpatch::EncodeDelta(old, neu)) << *rel;
        EXPECT_LE(r.bodySize, CMD_INSERT_HEAD_SIZE + neu.size() + CMD_END_SIZE) << *rel;
    }
}

TEST(Build, AppendsToApplierAndReplaces) {
    tree::TempDir t;
    tree::MakeFolderPair(t / "old", t / "new", 11);
    Bytes applier = tree::FakeApplier(1536);
    tree::Write(t / "applier.exe", applier);
    auto b = Mkpatch({"build", S(t / "old"), S(t / "new"), "-o", S(t / "p.exe"), "--applier",
                  S(t / "applier.exe")});
    ASSERT_EQ(b.rc, 0) << b.err;
    Bytes patch = tree::Read(t / "p.exe");
    ASSERT_GT(patch.size(), applier.size());
    EXPECT_TRUE(std::equal(applier.begin(), applier.end(), patch.begin()));
    EXPECT_EQ(mkpatch::FindContainerOffset(patch, "p.exe"), 1536);
    EXPECT_EQ(Mkpatch({"verify", S(t / "p.exe"), S(t / "old"), S(t / "new")}).rc, 0);

    // the finished patch is an applier with a container: refused, then swapped
    tree::Write(t / "new/extra.txt", std::string("one more"));
    auto again = Mkpatch({"build", S(t / "old"), S(t / "new"), "-o", S(t / "q.exe"), "--applier",
                      S(t / "p.exe")});
    EXPECT_EQ(again.rc, 2);
    EXPECT_NE(again.err.find("already carries a container"), std::string::npos) << again.err;
    EXPECT_FALSE(fs::exists(t / "q.exe"));
    auto swapped = Mkpatch({"build", S(t / "old"), S(t / "new"), "-o", S(t / "p2.exe"), "--applier",
                        S(t / "p.exe"), "--replace"});
    ASSERT_EQ(swapped.rc, 0) << swapped.err;
    Bytes second = tree::Read(t / "p2.exe");
    EXPECT_TRUE(std::equal(applier.begin(), applier.end(), second.begin()));
    EXPECT_EQ(Mkpatch({"verify", S(t / "p2.exe"), S(t / "old"), S(t / "new")}).rc, 0);
    auto list = Mkpatch({"list", S(t / "p2.exe")});
    EXPECT_NE(list.out.find("extra.txt"), std::string::npos) << list.out;
}

// Branding goes into the applier's resources and reads back as given; the
// container is found at the grown applier's end; without branding options
// the applier part is the applier byte for byte; --replace rebrands.
TEST(Build, BrandingReadsBackAndLeavesAPatchThatVerifies) {
    tree::TempDir t;
    tree::MakeFolderPair(t / "old", t / "new", 17);
    Bytes applier = tree::ResourceApplier(Bytes(16, 0));
    tree::Write(t / "applier.exe", applier);
    tree::Write(t / "p.ico", tree::Ico({16, 32, 0}));
    tree::Write(t / "about.txt", std::string("\xEF\xBB\xBF汉化组\r\n第二行\r\n\r\n"));
    tree::Write(t / "help.txt", std::string("帮助\n\tline 2\n"));
    std::vector<std::string> base = {"build", S(t / "old"), S(t / "new"), "--applier", S(t / "applier.exe")};
    auto build = [&](const char* out, std::vector<std::string> extra) {
        std::vector<std::string> a = base;
        a.insert(a.end(), {"-o", S(t / out)});
        a.insert(a.end(), extra.begin(), extra.end());
        return Mkpatch(a);
    };
    auto r = build("p.exe", {"--title", "标题", "--about-file", S(t / "about.txt"), "--help-file",
                             S(t / "help.txt"), "--icon", S(t / "p.ico"), "--version-info",
                             "ProductName=游戏", "--version-info=FileVersion=1.2.3.4", "--find-registry",
                             "hkey_local_machine\\SOFTWARE\\G\\Path", "--find-registry",
                             "HKCU\\Software\\G\\Dir", "--find-file", "bin/game.exe"});
    ASSERT_EQ(r.rc, 0) << r.err;
    Bytes patch = tree::Read(t / "p.exe");
    int64_t offset = mkpatch::FindContainerOffset(patch, "p.exe");
    ASSERT_GT(offset, static_cast<int64_t>(applier.size()));
    auto info = mkpatch::ReadBranding(std::span<const uint8_t>(patch).first(offset), "p.exe");
    EXPECT_EQ(info.title, "标题");
    EXPECT_EQ(info.about, (std::vector<std::string>{"汉化组", "第二行"}));
    EXPECT_EQ(info.help, "帮助\r\n\tline 2");
    EXPECT_EQ(info.findRegistry, (std::vector<std::string>{"HKLM\\SOFTWARE\\G\\Path", "HKCU\\Software\\G\\Dir"}));
    EXPECT_EQ(info.findFile, "bin\\game.exe");
    ASSERT_EQ(info.icons.size(), 3u);
    EXPECT_EQ(info.icons[2].width, 256u);
    EXPECT_EQ(info.version, (std::vector<std::pair<std::string, std::string>>{
                                {"ProductName", "游戏"}, {"FileVersion", "1.2.3.4"}}));
    EXPECT_EQ(info.fixedFileVersion, "1.2.3.4");
    EXPECT_EQ(Mkpatch({"verify", S(t / "p.exe"), S(t / "old"), S(t / "new")}).rc, 0);
    auto l = Mkpatch({"list", S(t / "p.exe")});
    EXPECT_NE(l.out.find("title: 标题\nabout: 汉化组\nabout: 第二行\nhelp: 帮助 (2 lines)\n"
                         "find-registry: HKLM\\SOFTWARE\\G\\Path\n"), std::string::npos) << l.out;
    EXPECT_NE(l.out.find("icon: 16x16 32-bit, 32x32 32-bit, 256x256 32-bit\n"), std::string::npos) << l.out;

    // no branding options: the applier as it was
    ASSERT_EQ(build("plain.exe", {}).rc, 0);
    Bytes plain = tree::Read(t / "plain.exe");
    EXPECT_TRUE(std::equal(applier.begin(), applier.end(), plain.begin()));
    EXPECT_EQ(mkpatch::FindContainerOffset(plain, "plain.exe"), static_cast<int64_t>(applier.size()));

    // a finished patch rebranded: the new title, the same icons
    base[4] = S(t / "p.exe");
    ASSERT_EQ(build("q.exe", {"--replace", "--title", "new"}).rc, 0);
    Bytes q = tree::Read(t / "q.exe");
    auto again = mkpatch::ReadBranding(std::span<const uint8_t>(q).first(
                                           mkpatch::FindContainerOffset(q, "q.exe")), "q.exe");
    EXPECT_EQ(again.title, "new");
    EXPECT_TRUE(again.about.empty());
    EXPECT_EQ(again.icons.size(), 3u);
    EXPECT_EQ(Mkpatch({"verify", S(t / "q.exe"), S(t / "old"), S(t / "new")}).rc, 0);
}

// Inputs the tool must refuse, each with a message naming the culprit, an
// exit code of 2 and no output file.
TEST(Build, RefusesBadInput) {
    struct Case {
        const char* what;
        std::function<void(const tree::TempDir&)> setup;
        std::vector<std::string> extra;  // arguments after OLD NEW -o OUT
        const char* message;
        const char* output = "out.exe";
        const char* also = "";  // a second entry named in the same run
    };
    auto file = [](const char* rel, const char* text) {
        return [=](const tree::TempDir& t) { tree::Write(t / rel, std::string(text)); };
    };
    std::string longName(250, 'x');
    auto branded = [](const tree::TempDir& t) {
        tree::Write(t / "applier.exe", tree::ResourceApplier(Bytes(16, 0)));
    };
    auto brandedWith = [=](const char* rel, Bytes content) {
        return [=](const tree::TempDir& t) {
            branded(t);
            tree::Write(t / rel, content);
        };
    };
    Bytes ico = tree::Ico({16, 32});
    Case cases[] = {
        {"missing NEW", [](const tree::TempDir& t) { fs::remove_all(t / "new"); }, {},
         "new: not a folder (does not exist)"},
        {"OLD is a file", [](const tree::TempDir& t) {
             fs::remove_all(t / "old");
             tree::Write(t / "old", std::string("x"));
         }, {}, "old: not a folder"},
        {"emoji", file("new/smile\xF0\x9F\x98\x80.txt", "x"), {}, "cannot be written in code page 936"},
        {"Thai", file("new/\xE0\xB8\x81.txt", "x"), {}, "cannot be written in code page 936"},
        {"Chinese in code page 1252", file("new/中文.txt", "x"), {"--codepage", "1252"},
         "cannot be written in code page 1252"},
        {"backslash in a name", file("new/a\\b.txt", "x"), {}, "cannot hold"},
        {"colon", file("new/a:b.txt", "x"), {}, "cannot hold"},
        {"trailing dot", file("new/sub./a.txt", "x"), {}, "dot or a space"},
        {"device name", file("new/con.txt", "x"), {}, "new/con.txt: the name is a reserved device name"},
        {"device name in capitals", file("new/sub/NUL.txt", "x"), {}, "is a reserved device name"},
        {"port name", file("new/COM1.log", "x"), {}, "is a reserved device name"},
        {"too long", [=](const tree::TempDir& t) {
             tree::Write(t / ("new/" + longName.substr(0, 200)) / longName.substr(0, 60), std::string("x"));
         }, {}, "fit a 259-byte path"},
        {"case twins", [](const tree::TempDir& t) {
             tree::Write(t / "new/Readme.txt", std::string("a"));
             tree::Write(t / "new/README.TXT", std::string("b"));
         }, {}, "only in letter case"},
        {"Greek case twins", [](const tree::TempDir& t) {
             tree::Write(t / "new/\u0391.txt", std::string("a"));
             tree::Write(t / "new/\u03B1.txt", std::string("b"));
         }, {}, "only in letter case"},
        {"fullwidth case twins", [](const tree::TempDir& t) {
             tree::Write(t / "new/\uFF21.txt", std::string("a"));
             tree::Write(t / "new/\uFF41.txt", std::string("b"));
         }, {}, "only in letter case"},
        {"file in OLD, folder in NEW", [](const tree::TempDir& t) {
             tree::Write(t / "old/x", std::string("a"));
             tree::Write(t / "new/X/y.txt", std::string("b"));
         }, {}, "old/x is a file where"},
        {"folder in OLD, file in NEW", [](const tree::TempDir& t) {
             tree::Write(t / "old/x/y.txt", std::string("a"));
             tree::Write(t / "new/x", std::string("b"));
         }, {}, "new/x is a file where"},
        {"a pipe in NEW", [](const tree::TempDir& t) {
             mkfifo(tree::S(t / "new/pipe").c_str(), 0600);
         }, {}, "neither a file nor a folder"},
        {"not UTF-8 (GBK)", file("new/\xD6\xD0\xCE\xC4.txt", "x"), {},
         "new/\\xD6\\xD0\\xCE\\xC4.txt: the name is not UTF-8"},
        {"a file and a folder differing in case", [](const tree::TempDir& t) {
             tree::Write(t / "new/data", std::string("a"));
             tree::Write(t / "new/Data/x.txt", std::string("b"));
         }, {}, "differ only in letter case; Windows cannot hold a file and a folder"},
        {"two folders differing in case", [](const tree::TempDir& t) {
             tree::Write(t / "new/Data/x.txt", std::string("a"));
             tree::Write(t / "new/data/y.txt", std::string("b"));
         }, {}, "differ only in letter case; they would be one folder"},
        {"a broken link", [](const tree::TempDir& t) {
             fs::create_symlink(t / "nowhere", t / "new/dead.txt");
         }, {}, "new/dead.txt: a broken link to "},
        {"a link loop", [](const tree::TempDir& t) { fs::create_symlink("loop", t / "new/loop"); }, {},
         "new/loop: a link to loop that loops back on itself"},
        {"every special entry in one run", [](const tree::TempDir& t) {
             mkfifo(tree::S(t / "new/pipe").c_str(), 0600);
             fs::create_directories(t / "old/sub");
             fs::create_symlink(t / "nowhere", t / "old/sub/dead.txt");
         }, {}, "new/pipe: a named pipe (fifo), neither a file nor a folder", "out.exe",
         "old/sub/dead.txt: a broken link"},
        {"no mark", file("applier.exe", "MZ not an applier"), {"--applier", "@applier.exe"},
         "not an applier"},
        {"offset never written", [](const tree::TempDir& t) {
             tree::Write(t / "applier.exe", tree::FakeApplier(1024, 0, false));
         }, {"--applier", "@applier.exe"}, "never written"},
        {"offset beyond the file", [](const tree::TempDir& t) {
             tree::Write(t / "applier.exe", tree::FakeApplier(1024, 4096));
         }, {"--applier", "@applier.exe"}, "does not fit"},
        {"already has a container", [](const tree::TempDir& t) {
             tree::Write(t / "applier.exe", tree::FakeApplier(1024, 1000));
         }, {"--applier", "@applier.exe"}, "already carries a container"},
        {"applier missing", [](const tree::TempDir&) {}, {"--applier", "@applier.exe"},
         "cannot open"},
        {"applier is a folder", [](const tree::TempDir& t) { fs::create_directories(t / "applier.exe"); },
         {"--applier", "@applier.exe"}, "applier.exe: is a folder, not an applier"},
        // outputs that would destroy input, refused even with --force
        {"output inside NEW", [](const tree::TempDir&) {}, {"--force"}, "is inside", "new/a.txt"},
        {"output inside OLD", [](const tree::TempDir&) {}, {"--force"}, "is inside", "old/p.exe"},
        {"output is a link into NEW", [](const tree::TempDir& t) {
             fs::create_symlink(t / "new/a.txt", t / "link.exe");
         }, {"--force"}, "is inside", "link.exe"},
        {"output is the applier", [](const tree::TempDir& t) {
             tree::Write(t / "applier.exe", tree::FakeApplier());
         }, {"--applier", "@applier.exe", "--force"}, "is the applier itself", "applier.exe"},
        {"output exists", file("keep.exe", "keep me"), {}, "keep.exe: already exists; give --force",
         "keep.exe"},
        {"output is a folder", [](const tree::TempDir& t) { fs::create_directories(t / "dir"); }, {},
         "dir: is a folder", "dir"},
        {"output's folder missing", [](const tree::TempDir&) {}, {}, "does not exist", "nowhere/p.exe"},
        // branding: files, texts, paths (with an applier that can carry it)
        {"icon missing", branded, {"--applier", "@applier.exe", "--icon", "@dir/none.ico"},
         "none.ico: cannot open"},
        {"icon is no .ico", brandedWith("dir/x.ico", Bytes{'M', 'Z', 0, 0, 0, 0}),
         {"--applier", "@applier.exe", "--icon", "@dir/x.ico"}, "x.ico: not an .ico file"},
        {"icon image cut off", brandedWith("dir/x.ico", Bytes(ico.begin(), ico.end() - 1)),
         {"--applier", "@applier.exe", "--icon", "@dir/x.ico"}, "image 2 lies outside the file"},
        {"title with an emoji", branded, {"--applier", "@applier.exe", "--title", "ok \xF0\x9F\x98\x80"},
         "--title: the character U+1F600 (\xF0\x9F\x98\x80) cannot be written in code page 936"},
        {"title with a tab", branded, {"--applier", "@applier.exe", "--title", "a\tb"},
         "the control character U+0009"},
        {"five about lines", branded, {"--applier", "@applier.exe", "--about", "1\\n2\n3\\n4\\n5"},
         "--about: 5 lines; the panel shows at most 4"},
        {"about twice", brandedWith("dir/a.txt", Bytes{'a'}),
         {"--applier", "@applier.exe", "--about", "x", "--about-file", "@dir/a.txt"}, "give one"},
        {"help in Thai", brandedWith("dir/h.txt", Bytes{'o', 'k', '\n', 0xE0, 0xB8, 0x81}),
         {"--applier", "@applier.exe", "--help-file", "@dir/h.txt"},
         "h.txt: the character U+0E01 (\xE0\xB8\x81) cannot be written in code page 936"},
        {"registry root", branded, {"--applier", "@applier.exe", "--find-registry", "HKXX\\A\\V"},
         "must start with HKLM, HKCU, HKCR or HKU"},
        {"registry value name missing", branded,
         {"--applier", "@applier.exe", "--find-registry", "HKLM\\Software"}, "needs ROOT\\subkey\\ValueName"},
        {"registry empty key", branded,
         {"--applier", "@applier.exe", "--find-registry", "HKLM\\Software\\\\V"}, "an empty key"},
        {"find-file outside", branded, {"--applier", "@applier.exe", "--find-file", "..\\game.exe"},
         "--find-file ..\\game.exe: the name"},
        {"version key", branded, {"--applier", "@applier.exe", "--version-info", "Bogus=1"},
         "not a key it sets"},
        {"version key twice", branded,
         {"--applier", "@applier.exe", "--version-info", "FileVersion=1", "--version-info", "FileVersion=2"},
         "FileVersion: given twice"},
        {"branding without an applier", [](const tree::TempDir&) {}, {"--title", "x"}, "need an applier"},
        {"applier not a PE", [](const tree::TempDir& t) { tree::Write(t / "applier.exe", tree::FakeApplier()); },
         {"--applier", "@applier.exe", "--title", "x"}, "no PE signature"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        tree::TempDir t;
        tree::Write(t / "old/a.txt", std::string("old a"));
        tree::Write(t / "new/a.txt", std::string("new a"));
        c.setup(t);
        std::vector<std::string> args = {"build", S(t / "old"), S(t / "new"), "-o", S(t / c.output)};
        bool hasApplier = false;
        for (std::string a : c.extra) {
            if (a[0] == '@')
                a = S(t / a.substr(1));
            hasApplier |= a == "--applier";
            args.push_back(a);
        }
        if (!hasApplier)
            args.push_back("--container-only");
        auto applierNow = [&] { return fs::is_regular_file(t / "applier.exe") ? tree::Read(t / "applier.exe") : Bytes(); };
        Bytes applierBefore = applierNow();
        auto r = Mkpatch(args);
        EXPECT_EQ(r.rc, 2) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.also), std::string::npos) << r.err;
        ExpectNoOutput(t.path());
        // the inputs are as they were
        if (fs::is_regular_file(t / "new/a.txt")) {
            EXPECT_EQ(tree::Read(t / "new/a.txt"), Bytes({'n', 'e', 'w', ' ', 'a'}));
        }
        EXPECT_FALSE(fs::exists(t / "old/p.exe"));
        EXPECT_EQ(applierNow(), applierBefore);
        EXPECT_FALSE(fs::exists(t / "out.exe"));
        if (fs::exists(t / "keep.exe")) {
            EXPECT_EQ(tree::Read(t / "keep.exe"), Bytes({'k', 'e', 'e', 'p', ' ', 'm', 'e'}));
        }
    }
}

// Every bad name is reported in one run, and only names of files that get
// a record must fit the code page: an unchanged file or one only in OLD
// is never written to the target.
TEST(Build, ReportsEveryBadNameOfARecordAtOnce) {
    tree::TempDir t;
    tree::Write(t / "old/same\xF0\x9F\x98\x80.txt", std::string("unchanged"));
    tree::Write(t / "new/same\xF0\x9F\x98\x80.txt", std::string("unchanged"));
    tree::Write(t / "old/gone\xF0\x9F\x98\x80.txt", std::string("only in OLD"));
    tree::Write(t / "new/a:b.txt", std::string("new"));
    tree::Write(t / "new/c|d.txt", std::string("new"));
    tree::Write(t / "new/ok.txt", std::string("new"));
    std::vector<std::string> args = {"build", S(t / "old"), S(t / "new"), "-o", S(t / "p.bin"),
                                     "--container-only"};
    auto r = Mkpatch(args);
    EXPECT_EQ(r.rc, 2);
    EXPECT_NE(r.err.find("a:b.txt: the name"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("c|d.txt: the name"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("same"), std::string::npos) << r.err;
    fs::remove(t / "new/a:b.txt");
    fs::remove(t / "new/c|d.txt");
    r = Mkpatch(args);
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_NE(r.out.find("1 record ("), std::string::npos) << r.out;
    EXPECT_EQ(Mkpatch({"verify", S(t / "p.bin"), S(t / "old"), S(t / "new")}).rc, 0);
}

// verify pairs files as build does: README.TXT in OLD is readme.txt's old
// file on Windows.
TEST(Verify, PairsFilesAsBuildDoes) {
    tree::TempDir t;
    tree::Write(t / "old/README.TXT", std::string("old text of the readme"));
    tree::Write(t / "new/readme.txt", std::string("new text of the readme"));
    ASSERT_EQ(Mkpatch({"build", S(t / "old"), S(t / "new"), "-o", S(t / "p.bin"), "--container-only"}).rc, 0);
    auto v = Mkpatch({"verify", S(t / "p.bin"), S(t / "old"), S(t / "new")});
    EXPECT_EQ(v.rc, 0) << v.err;
    EXPECT_NE(v.out.find("exactly"), std::string::npos) << v.out;
}

// Every entry build leaves out or carries otherwise is said, by build and
// by verify, and verify then does not say "exactly".
TEST(Build, ReportsWhatItLeavesOut) {
    struct Case {
        const char* what;
        std::function<void(const tree::TempDir&)> setup;
        const char* warning;  // null: nothing left out
    } cases[] = {
        {"nothing", [](const tree::TempDir&) {}, nullptr},
        {"a link to a folder", [](const tree::TempDir& t) {
             tree::Write(t / "elsewhere/inside.txt", std::string("x"));
             fs::create_directory_symlink(t / "elsewhere", t / "new/linked");
         }, "new/linked: a link to a folder; the files in it are left out"},
        {"a link outside", [](const tree::TempDir& t) {
             tree::Write(t / "elsewhere/real.txt", std::string("x"));
             fs::create_symlink(t / "elsewhere/real.txt", t / "new/link.txt");
         }, "new/link.txt: a link to a file outside the folder"},
        {"an empty folder", [](const tree::TempDir& t) { fs::create_directories(t / "new/empty"); },
         "new/empty: an empty folder"},
        // the patched folder has it as NEW has it
        {"an empty folder in OLD that NEW fills", [](const tree::TempDir& t) {
             fs::create_directories(t / "old/plugins");
             tree::Write(t / "new/plugins/p.dll", std::string("x"));
         }, nullptr},
        {"an empty folder in OLD and NEW", [](const tree::TempDir& t) {
             fs::create_directories(t / "old/Logs");
             fs::create_directories(t / "new/logs");
         }, nullptr},
        {"a file only in OLD", [](const tree::TempDir& t) { tree::Write(t / "old/gone.txt", std::string("x")); },
         "gone.txt: only in OLD"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        tree::TempDir t;
        tree::Write(t / "old/a.txt", std::string("old a"));
        tree::Write(t / "new/a.txt", std::string("new a"));
        c.setup(t);
        auto b = Mkpatch({"build", S(t / "old"), S(t / "new"), "-o", S(t / "p.bin"), "--container-only"});
        ASSERT_EQ(b.rc, 0) << b.err;
        auto v = Mkpatch({"verify", S(t / "p.bin"), S(t / "old"), S(t / "new")});
        EXPECT_EQ(v.rc, 0) << v.err;
        if (!c.warning) {
            EXPECT_EQ(b.err, "");
            EXPECT_NE(v.out.find("OLD into NEW exactly"), std::string::npos) << v.out;
            continue;
        }
        EXPECT_NE(b.err.find(c.warning), std::string::npos) << b.err;
        EXPECT_NE(v.err.find(c.warning), std::string::npos) << v.err;
        EXPECT_NE(v.out.find("not OLD into NEW exactly"), std::string::npos) << v.out;
    }
}

// Runs mkpatch as the user nobody when the test runs as root, whom no
// permission bit stops; the child's exit code and standard error come back.
tree::RunResult MkpatchUnprivileged(const std::vector<std::string>& args) {
    if (geteuid() != 0)
        return Mkpatch(args);
    int fds[2];
    if (pipe(fds) != 0)
        return {-1, "", "no pipe"};
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(99);
        tree::RunResult r = Mkpatch(args);
        (void)!write(fds[1], r.err.data(), r.err.size());
        _exit(r.rc);
    }
    close(fds[1]);
    std::string err;
    char buf[4096];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;)
        err.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, "", err};
}

// What cannot be read is named, with exit 2 and nothing written, by build
// and verify alike; never passed over as if it were empty.
TEST(Build, RefusesWhatItCannotRead) {
    struct Case {
        const char* what;
        const char* locked;   // made unreadable
        const char* message;  // before the path of locked
    } cases[] = {
        {"a folder of NEW", "new/sub", "cannot read folder "},
        {"a folder of OLD", "old/sub", "cannot read folder "},
        {"NEW itself", "new", "cannot read folder "},
        {"a file of NEW", "new/sub/b.txt", "cannot read "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        tree::TempDir t;
        fs::permissions(t.path(), fs::perms::all);
        tree::Write(t / "old/a.txt", std::string("old a"));
        tree::Write(t / "new/a.txt", std::string("new a"));
        tree::Write(t / "old/sub/b.txt", std::string("old b"));
        tree::Write(t / "new/sub/b.txt", std::string("new b"));
        fs::create_directories(t / "dir");
        ASSERT_EQ(Mkpatch({"build", S(t / "old"), S(t / "new"), "-o", S(t / "dir/p.bin"),
                           "--container-only"}).rc, 0);
        fs::permissions(t / c.locked, fs::perms::none);
        std::string expected = c.message + S(t / c.locked) + ": Permission denied";
        auto b = MkpatchUnprivileged({"build", S(t / "old"), S(t / "new"), "-o", S(t / "p.bin"),
                                      "--container-only"});
        EXPECT_EQ(b.rc, 2) << b.err;
        EXPECT_NE(b.err.find(expected), std::string::npos) << b.err;
        ExpectNoOutput(t.path());
        auto v = MkpatchUnprivileged({"verify", S(t / "dir/p.bin"), S(t / "old"), S(t / "new")});
        EXPECT_EQ(v.rc, 2) << v.err;
        EXPECT_NE(v.err.find(expected), std::string::npos) << v.err;
        fs::permissions(t / c.locked, fs::perms::owner_all);
    }
}

// A patch that changes nothing is worth a warning (an error under
// --strict); OLD and NEW that hold one another are refused.
TEST(Build, PatchThatChangesNothing) {
    tree::TempDir t;
    tree::Write(t / "old/a.txt", std::string("same"));
    tree::Write(t / "new/a.txt", std::string("same"));
    tree::Write(t / "old/sub/b.txt", std::string("b"));
    auto same = Mkpatch({"build", S(t / "old"), S(t / "new"), "-o", S(t / "p.bin"), "--container-only"});
    EXPECT_EQ(same.rc, 0) << same.err;
    EXPECT_NE(same.err.find("warning: no file differs between OLD and NEW"), std::string::npos) << same.err;
    auto strict = Mkpatch({"build", S(t / "old"), S(t / "new"), "-o", S(t / "q.bin"), "--container-only",
                           "--strict"});
    EXPECT_EQ(strict.rc, 1) << strict.err;
    EXPECT_FALSE(fs::exists(t / "q.bin"));
    for (auto [o, n] : {std::pair{"old", "old"}, {"old", "old/sub"}, {"old/sub", "old"}}) {
        SCOPED_TRACE(std::string(o) + " " + n);
        auto r = Mkpatch({"build", S(t / o), S(t / n), "-o", S(t / "q.bin"), "--container-only"});
        EXPECT_EQ(r.rc, 2);
        EXPECT_NE(r.err.find("one folder holds the other"), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(t / "q.bin"));
    }
}

// Whether python's strict JSON reader takes text (true when there is no
// python3 to ask).
bool JsonParses(const std::string& text, const fs::path& scratch) {
    if (std::system("command -v python3 >/dev/null 2>&1") != 0)
        return true;
    tree::Write(scratch, text);
    std::string cmd = "python3 -c 'import json,sys; json.load(open(sys.argv[1], encoding=\"utf-8\"))' '" +
                      S(scratch) + "'";
    return std::system(cmd.c_str()) == 0;
}

// A name that is not UTF-8 (a folder copied from a GBK system) is shown
// escaped in messages and in JSON, which stays valid.
TEST(Build, NamesThatAreNotUtf8) {
    tree::TempDir t;
    const std::string gbk = "\xD6\xD0\xCE\xC4.txt";  // 中文.txt in GBK
    const std::string shown = "\\xD6\\xD0\\xCE\\xC4.txt";
    tree::Write(t / "old/a.txt", std::string("old a"));
    tree::Write(t / "new/a.txt", std::string("new a"));
    tree::Write(t / "old" / tree::U8(gbk), std::string("only in OLD"));
    auto plain = Mkpatch({"build", S(t / "old"), S(t / "new"), "-o", S(t / "p.bin"), "--container-only"});
    ASSERT_EQ(plain.rc, 0) << plain.err;
    EXPECT_NE(plain.err.find(shown + ": only in OLD"), std::string::npos) << plain.err;
    EXPECT_TRUE(mkpatch::IsUtf8(plain.err)) << plain.err;
    auto json = Mkpatch({"build", S(t / "old"), S(t / "new"), "-o", S(t / "p.bin"), "--container-only",
                         "--json", "-f"});
    ASSERT_EQ(json.rc, 0) << json.err;
    EXPECT_TRUE(JsonParses(json.out, t / "build.json")) << json.out;
    auto verify = Mkpatch({"verify", "--json", S(t / "p.bin"), S(t / "old"), S(t / "new")});
    EXPECT_EQ(verify.rc, 0) << verify.err;
    EXPECT_TRUE(JsonParses(verify.out, t / "verify.json")) << verify.out;
}

// --force replaces an existing patch; the patch keeps the applier's
// execute bits, so a patch made on Linux for wine runs like the applier.
TEST(Build, ForceReplacesAndKeepsExecuteBits) {
    tree::TempDir t;
    tree::MakeFolderPair(t / "old", t / "new", 13);
    tree::Write(t / "applier.exe", tree::FakeApplier());
    fs::permissions(t / "applier.exe", fs::perms(0750));
    tree::Write(t / "p.exe", std::string("an older patch"));
    std::vector<std::string> args = {"build", S(t / "old"), S(t / "new"), "-o", S(t / "p.exe"),
                                     "--applier", S(t / "applier.exe")};
    EXPECT_EQ(Mkpatch(args).rc, 2);
    args.push_back("--force");
    auto r = Mkpatch(args);
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(mkpatch::FindContainerOffset(tree::Read(t / "p.exe"), "p.exe"), 1024);
    fs::perms p = fs::status(t / "p.exe").permissions();
    EXPECT_NE(p & fs::perms::owner_exec, fs::perms::none);
    EXPECT_NE(p & fs::perms::group_exec, fs::perms::none);
    EXPECT_EQ(p & fs::perms::others_exec, fs::perms::none);
}

// Without --applier, the program finds applier.exe one folder up too, as
// the release zip has it for linux/mkpatch.
TEST(Build, FindsTheApplierAsTheZipLaysItOut) {
    tree::TempDir t;
    tree::Write(t / "old/a.txt", std::string("old a"));
    tree::Write(t / "new/a.txt", std::string("new a"));
    tree::Write(t / "applier.exe", tree::FakeApplier());
    fs::create_directories(t / "linux");
    fs::copy_file(MKPATCH_EXE, t / "linux/mkpatch");
    std::string cmd = "'" + S(t / "linux/mkpatch") + "' build '" + S(t / "old") + "' '" + S(t / "new") +
                      "' -o '" + S(t / "p.exe") + "' 2>/dev/null >/dev/null";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    EXPECT_EQ(mkpatch::FindContainerOffset(tree::Read(t / "p.exe"), "p.exe"), 1024);
}

// A build killed by SIGINT, SIGTERM or SIGHUP (a closed terminal) leaves
// neither the patch nor a temporary file. The real program runs on a NEW
// file large enough that encoding it takes a while; it is killed once the
// output's temporary file shows, or under a small cap, once a stream has
// gone to a temporary file of the writer's (a file only in NEW, read a
// piece at a time).
TEST(Build, InterruptLeavesNoTemporaryFile) {
    tree::TempDir t;
    std::mt19937 rng(31);
    Bytes old = gen::RandomBytes(rng, 12 << 20);
    tree::Write(t / "old/big.bin", old);
    tree::Write(t / "new/big.bin", gen::Edit(rng, old, 20));
    tree::Write(t / "new/only.bin", gen::RandomBytes(rng, 6 << 20));
    struct Case {
        const char* memory;
        const char* waitFor;  // the start of the temporary file's name
    } cases[] = {{"1G", "p.bin."}, {"64M", "mkpatch."}};
    for (const Case& c : cases) {
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
            SCOPED_TRACE(std::string(strsignal(sig)) + ", --memory " + c.memory);
            pid_t pid = fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                int null = open("/dev/null", O_WRONLY);
                dup2(null, 2);
                execl(MKPATCH_EXE, "mkpatch", "build", S(t / "old").c_str(), S(t / "new").c_str(), "-o",
                      S(t / "p.bin").c_str(), "--container-only", "--memory", c.memory, (char*)nullptr);
                _exit(127);
            }
            bool seen = false;
            for (int i = 0; i < 3000 && !seen; i++) {
                for (auto& e : fs::directory_iterator(t.path())) {
                    std::string name = S(e.path().filename());
                    seen |= name.starts_with(c.waitFor) && name.ends_with(".mkpatch-tmp");
                }
                if (!seen)
                    usleep(2000);
            }
            EXPECT_TRUE(seen) << "no temporary file showed within 6 s";
            kill(pid, sig);
            int status = 0;
            waitpid(pid, &status, 0);
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << "status " << status;
            ExpectNoOutput(t.path());
            EXPECT_FALSE(fs::exists(t / "p.bin"));
        }
    }
}

TEST(Build, WarnsWhenChecksumsCannotTellOldFromNew) {
    struct Case {
        const char* what;
        Bytes old, neu;
        bool warn;
    } cases[] = {
        {"change in the last 3 bytes", {1, 2, 3, 4, 5, 6, 7}, {1, 2, 3, 4, 9, 9, 9}, true},
        {"file shorter than 4 bytes", {1, 2}, {3}, true},
        {"words swapped", {1, 2, 3, 4, 5, 6, 7, 8}, {5, 6, 7, 8, 1, 2, 3, 4}, true},
        {"change in a whole word", {1, 2, 3, 4, 5}, {1, 2, 3, 5, 5}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        tree::TempDir t;
        tree::Write(t / "old/f.bin", c.old);
        tree::Write(t / "new/f.bin", c.neu);
        auto r = Mkpatch({"build", S(t / "old"), S(t / "new"), "-o", S(t / "p.bin"), "--container-only", "--format", "1",
                          "--no-trailer"});
        ASSERT_EQ(r.rc, 0) << r.err;
        EXPECT_EQ(r.err.find("same checksum") != std::string::npos, c.warn) << r.err;
        // the trailer's CRC-32s tell them apart
        r = Mkpatch({"build", S(t / "old"), S(t / "new"), "-o", S(t / "q.bin"), "--container-only", "--format", "1"});
        ASSERT_EQ(r.rc, 0) << r.err;
        EXPECT_EQ(r.err.find("same checksum"), std::string::npos) << r.err;
    }
}

// A linked file is patched under the name it has in the folder, not under
// its target's (the corpus folders of the benchmark are made of links).
TEST(Build, LinkedFilesKeepTheirNames) {
    tree::TempDir t;
    tree::Write(t / "elsewhere/real.txt", std::string("content of a linked file"));
    fs::create_directories(t / "old");
    fs::create_directories(t / "new/sub");
    fs::create_symlink(t / "elsewhere/real.txt", t / "new/sub/link.txt");
    ASSERT_EQ(Mkpatch({"build", S(t / "old"), S(t / "new"), "-o", S(t / "p.bin"), "--container-only", "--format", "1"}).rc, 0);
    auto s = mkpatch::SummarizeContainer(tree::Read(t / "p.bin"));
    ASSERT_EQ(s.records.size(), 1u);
    EXPECT_EQ(s.records[0].name, "sub\\link.txt");
}

TEST(Cli, UsageErrors) {
    struct Case {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{}, "usage:"},
        {{"frobnicate"}, "unknown command"},
        {{"build", "a"}, "takes 2"},
        {{"build", "a", "b"}, "needs -o"},
        {{"build", "a", "b", "-o"}, "-o needs a value"},
        {{"build", "a", "b", "-o", "p", "--bogus"}, "unknown option --bogus"},
        {{"build", "a", "b", "-o", "p", "--codepage", "abc"}, "code page number"},
        {{"build", "a", "b", "-o", "p", "--memory", "10M"}, "at least 64M"},
        {{"build", "a", "b", "-o", "p", "--container-only", "--replace"}, "drop --applier"},
        {{"list"}, "takes 1"},
        {{"verify", "p", "a"}, "takes 3"},
        // an option where a value belongs, a repeated one, one of another command
        {{"build", "a", "b", "-o", "--applier", "A"}, "-o needs a value, not the option --applier"},
        {{"build", "a", "b", "-qx", "-o", "p"}, "unknown option -x in -qx"},
        {{"list", "p", "--applier", "x"}, "--applier does not belong to list"},
        {{"verify", "p", "a", "b", "--dry-run"}, "--dry-run does not belong to verify"},
        {{"list", "p", "--force"}, "--force does not belong to list"},
        {{"build", "a", "b", "--json=yes", "-o", "p"}, "--json takes no value"},
        {{"build", "a", "b", "-o", "p", "-q", "-v"}, "contradict"},
        {{"build", "a", "b", "-o", "-"}, "-o - needs --container-only"},
        {{"build", "a", "b", "-o-", "--container-only", "--json"}, "both write to standard output"},
        {{"help", "frob"}, "help takes one command name"},
        {{"build", "a", "b", "-o", "p", "--no-trailer"}, "--no-trailer belongs to --format 1"},
        {{"build", "a", "b", "-o", "p", "--format", "3"}, "--format needs 1 or 2, not '3'"},
    };
    for (const Case& c : cases) {
        auto r = Mkpatch(c.args);
        EXPECT_EQ(r.rc, 2) << (c.args.empty() ? "" : c.args[0]) << ": " << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("usage:"), std::string::npos);
    }
    auto v = Mkpatch({"--version"});
    EXPECT_EQ(v.rc, 0);
    EXPECT_EQ(v.out.rfind("mkpatch ", 0), 0u);
}

// Each command's own help, however it is asked for, with exit 0.
TEST(Cli, HelpPerCommand) {
    struct Case {
        std::vector<std::string> args;
        const char* starts;
    } cases[] = {
        {{"--help"}, "usage:"},
        {{"help"}, "usage:"},
        {{"build", "--help"}, "mkpatch build OLD_DIR"},
        {{"help", "build"}, "mkpatch build OLD_DIR"},
        {{"build", "-h"}, "mkpatch build OLD_DIR"},
        {{"build", "a", "-o", "p", "--help"}, "mkpatch build OLD_DIR"},
        {{"list", "--help"}, "mkpatch list PATCH"},
        {{"help", "verify"}, "mkpatch verify PATCH"},
    };
    for (const Case& c : cases) {
        auto r = Mkpatch(c.args);
        EXPECT_EQ(r.rc, 0) << c.args[0] << ": " << r.err;
        EXPECT_EQ(r.out.rfind(c.starts, 0), 0u) << r.out;
    }
}

// The conventions of command-line tools: -V, exit codes in every help,
// '-' for standard output and input.
TEST(Cli, Conventions) {
    auto v = Mkpatch({"-V"});
    EXPECT_EQ(v.rc, 0);
    EXPECT_EQ(v.out.rfind("mkpatch ", 0), 0u) << v.out;
    for (const char* command : {"build", "list", "verify"}) {
        auto h = Mkpatch({command, "--help"});
        EXPECT_NE(h.out.find("Exit codes: 0 "), std::string::npos) << h.out;
    }
    tree::TempDir t;
    tree::Write(t / "old/a.txt", std::string("old a"));
    tree::Write(t / "new/a.txt", std::string("new a"));
    ASSERT_EQ(Mkpatch({"build", S(t / "old"), S(t / "new"), "-o", S(t / "p.bin"), "--container-only"}).rc, 0);
    Bytes file = tree::Read(t / "p.bin");
    auto piped = Mkpatch({"build", S(t / "old"), S(t / "new"), "-o", "-", "--container-only"});
    EXPECT_EQ(piped.rc, 0) << piped.err;
    EXPECT_EQ(piped.out, std::string(file.begin(), file.end()));
    EXPECT_NE(piped.err.find("wrote standard output: 1 record (0 new files, 1 rebuilt)"), std::string::npos)
        << piped.err;
    struct Case {
        std::string input;
        int rc;
        const char* out;
        const char* err;
    } lists[] = {
        {std::string(file.begin(), file.end()), 0, "1 record, ", ""},
        {"xyz", 1, "0 records", "standard input: shorter than the 4-byte container header"},
    };
    for (const Case& c : lists) {
        std::istringstream in(c.input);
        std::ostringstream out, err;
        EXPECT_EQ(mkpatch::RunMkpatch({"list", "-"}, in, out, err), c.rc) << err.str();
        EXPECT_NE(out.str().find(c.out), std::string::npos) << out.str();
        EXPECT_NE(err.str().find(c.err), std::string::npos) << err.str();
    }
}

// The options of build and verify at work on one pair of folders: old/a.txt
// changed, old/gone.txt only in OLD (a warning), new/cache/x.log new.
TEST(Cli, OptionsAtWork) {
    struct Case {
        const char* what;
        std::vector<std::string> args;  // @ stands for the test's folder
        int rc;
        const char* out;  // in standard output, "" for nothing printed
        const char* err;  // in standard error, "" for nothing printed
        bool written;     // @p.bin exists afterwards
    } cases[] = {
        {"plain", {"build", "@old", "@new", "-o", "@p.bin", "--container-only"}, 0,
         "2 records (1 new file, 1 rebuilt)", "gone.txt: only in OLD", true},
        {"--output=PATH", {"build", "@old", "@new", "--output=@p.bin", "--container-only"}, 0,
         "2 records", "only in OLD", true},
        {"dry run", {"build", "@old", "@new", "-o", "@p.bin", "--container-only", "--dry-run"}, 0,
         "delta at most 25 bytes  a.txt\nwhole 30 bytes  cache\\x.log\nmkpatch: dry run, nothing written",
         "only in OLD", false},
        {"dry run as JSON", {"build", "@old", "@new", "-o", "@p.bin", "--container-only", "--dry-run",
                             "--json"}, 0,
         "{\"format\": 1, ", "", false},
        {"build as JSON", {"build", "@old", "@new", "-o", "@p.bin", "--container-only", "--json"}, 0,
         "\"warnings\": [\"gone.txt: only in OLD; ", "", true},
        {"quiet", {"build", "@old", "@new", "-o", "@p.bin", "--container-only", "-q"}, 0, "", "", true},
        {"verbose", {"build", "@old", "@new", "-o", "@p.bin", "--container-only", "-v"}, 0,
         "2 records", "mkpatch: cache/x.log: whole, 5 bytes new", true},
        {"strict", {"build", "@old", "@new", "-o", "@p.bin", "--container-only", "--strict"}, 1,
         "", "1 warning and --strict; nothing written", false},
        {"exclude", {"build", "@old", "@new", "-o", "@p.bin", "--container-only", "--exclude", "*.log",
                     "--exclude=gone*", "--strict"}, 0,
         "1 record (0 new files", "", true},
        {"exclude a folder", {"build", "@old", "@new", "-o", "@p.bin", "--container-only", "--exclude",
                              "cache"}, 0,
         "1 record (0 new files", "only in OLD", true},
        // --exclude folds case, takes the forms users type, and '**/' is
        // also no folder at all
        {"exclude folds case", {"build", "@old", "@new", "-o", "@p.bin", "--container-only", "--exclude",
                                "*.LOG", "--exclude", "GONE.txt", "--strict"}, 0,
         "1 record (0 new files", "", true},
        {"exclude data/", {"build", "@old", "@new", "-o", "@p.bin", "--container-only", "--exclude",
                           "cache/"}, 0, "1 record (0 new files", "only in OLD", true},
        {"exclude /data", {"build", "@old", "@new", "-o", "@p.bin", "--container-only", "--exclude",
                           "/cache"}, 0, "1 record (0 new files", "only in OLD", true},
        {"exclude data\\name", {"build", "@old", "@new", "-o", "@p.bin", "--container-only", "--exclude",
                                "Cache\\x.log"}, 0, "1 record (0 new files", "only in OLD", true},
        {"exclude **/ at the top", {"build", "@old", "@new", "-o", "@p.bin", "--container-only",
                                    "--exclude", "**/a.txt"}, 0, "1 record (1 new file, 0 rebuilt)",
         "only in OLD", true},
        {"exclude data/**/name", {"build", "@old", "@new", "-o", "@p.bin", "--container-only",
                                  "--exclude", "cache/**/*.log"}, 0, "1 record (0 new files",
         "only in OLD", true},
        {"exclude that matches nothing", {"build", "@old", "@new", "-o", "@p.bin", "--container-only",
                                          "--exclude", "/x.log"}, 0, "2 records",
         "warning: --exclude /x.log matches nothing in OLD or NEW", true},
        // a dry run writes nothing, so it needs no output and no applier
        {"dry run alone", {"build", "@old", "@new", "--dry-run"}, 0,
         "dry run, nothing written: 2 records (1 new file, 1 rebuilt)", "only in OLD", false},
        // short options bundle and take attached values; the last of a
        // repeated option wins
        {"bundled short options", {"build", "@old", "@new", "-qfo@p.bin", "--container-only"}, 0, "", "",
         true},
        {"repeated options", {"build", "@old", "@new", "-o", "@q.bin", "-o@p.bin", "--container-only",
                              "-q", "--quiet", "--container-only"}, 0, "", "", true},
        {"missing folder", {"build", "@nowhere", "@new", "-o", "@p.bin", "--container-only"}, 2,
         "", "nowhere: not a folder", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        tree::TempDir t;
        tree::Write(t / "old/a.txt", std::string("old a"));
        tree::Write(t / "new/a.txt", std::string("new a"));
        tree::Write(t / "old/gone.txt", std::string("gone"));
        tree::Write(t / "new/cache/x.log", std::string("a log"));
        std::vector<std::string> args;
        for (std::string a : c.args) {
            for (size_t at; (at = a.find('@')) != std::string::npos;)
                a.replace(at, 1, S(t.path()) + "/");
            args.push_back(a);
        }
        auto r = Mkpatch(args);
        EXPECT_EQ(r.rc, c.rc) << r.err;
        if (*c.out) {
            EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
        } else {
            EXPECT_EQ(r.out.find("records"), std::string::npos) << r.out;
        }
        if (*c.err) {
            EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        } else if (c.rc == 0) {
            EXPECT_EQ(r.err, "");
        }
        EXPECT_EQ(fs::exists(t / "p.bin"), c.written);
    }
}

// A project file gives build its settings, paths taken from the file's
// folder; the command line overrides it, option by option.
TEST(Cli, ProjectFile) {
    tree::TempDir t;
    tree::Write(t / "old/a.txt", std::string("old a"));
    tree::Write(t / "new/a.txt", std::string("new a"));
    tree::Write(t / "new/x.log", std::string("left out"));
    tree::Write(t / "applier.exe", tree::ResourceApplier(Bytes(16, 0)));
    tree::Write(t / "proj/p.json", std::string(R"({
  "old": "../old", "new": "../new", "output": "../out.exe", "applier": "../applier.exe",
  "format": "1", "trailer": false, "exclude": ["*.log"], "codepage": 936,
  "title": "\u4E2D\u6587 A", "about": ["x", "y"],
  "version_info": {"ProductName": "P"}, "find_registry": "HKLM\\S\\G\\Dir"
})"));
    auto brand = [&](const char* file) {
        Bytes b = tree::Read(t / file);
        return mkpatch::ReadBranding(std::span<const uint8_t>(b).first(
                                         mkpatch::FindContainerOffset(b, file)), file);
    };
    auto r = Mkpatch({"build", "--project", S(t / "proj/p.json")});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_NE(r.out.find("1 record ("), std::string::npos) << r.out;  // x.log left out
    auto info = brand("out.exe");
    EXPECT_EQ(info.title, "中文 A");
    EXPECT_EQ(info.about, (std::vector<std::string>{"x", "y"}));
    EXPECT_EQ(info.findRegistry, std::vector<std::string>{"HKLM\\S\\G\\Dir"});
    EXPECT_NE(Mkpatch({"list", S(t / "out.exe")}).out.find("trailer: none"), std::string::npos);

    // the command line wins: another output, title and registry list; the
    // file's about lines stay; OLD and NEW given here replace the file's
    tree::Write(t / "new2/a.txt", std::string("newer a"));
    r = Mkpatch({"build", "--project", S(t / "proj/p.json"), S(t / "old"), S(t / "new2"), "-o",
                 S(t / "out2.exe"), "--title", "B", "--find-registry", "HKCU\\K\\V", "--find-registry",
                 "HKU\\K\\V"});
    ASSERT_EQ(r.rc, 0) << r.err;
    info = brand("out2.exe");
    EXPECT_EQ(info.title, "B");
    EXPECT_EQ(info.about, (std::vector<std::string>{"x", "y"}));
    EXPECT_EQ(info.findRegistry, (std::vector<std::string>{"HKCU\\K\\V", "HKU\\K\\V"}));
    EXPECT_EQ(Mkpatch({"verify", S(t / "out2.exe"), S(t / "old"), S(t / "new2")}).rc, 0);

    // what the builder window saves reads back the same
    mkpatch::Project p = mkpatch::ReadProject(t / "proj/p.json");
    tree::Write(t / "proj/saved.json", mkpatch::ProjectJson(p));
    mkpatch::Project back = mkpatch::ReadProject(t / "proj/saved.json");
    auto args = [](const mkpatch::Project& p) {
        auto a = mkpatch::ArgumentsOf(p);
        return std::make_pair(a.positional, a.options);
    };
    EXPECT_EQ(args(back), args(p));

    struct Case {
        const char* what;
        const char* json;
        const char* message;
    } cases[] = {
        {"not JSON", "{\n  \"title\": \"a\",\n  \"about\" \"b\"\n}", "p.json:3: ':' is expected after \"about\""},
        {"trailing comma", "{\"title\": \"a\",\n}", "p.json:2: a key in double quotes is expected"},
        {"unknown key", "{\n\n  \"titel\": \"a\"}", "p.json:3: unknown key \"titel\""},
        {"wrong kind", "{\"force\": \"yes\"}", "p.json:1: \"force\" needs true or false"},
        {"key twice", "{\"title\": \"a\",\n\"title\": \"b\"}", "p.json:2: the key \"title\" is given twice"},
        {"string not closed", "{\"title\": \"a\n\"}", "p.json:1: a string is not closed on its line"},
        {"lone surrogate", "{\"title\": \"\\uD800x\"}", "a \\u surrogate without its pair"},
        {"bad code page", "{\"codepage\": 9.5}", "\"codepage\" needs a code page number"},
        {"only old", "{\"old\": \"../old\", \"output\": \"../o.exe\"}", "gives only one of"},
        {"not an object", "[1]", "holds one JSON object"},
        {"a bad setting inside", "{\"old\": \"../old\", \"new\": \"../new\", \"output\": \"../o.exe\", "
                                 "\"applier\": \"../applier.exe\", \"about\": [\"1\",\"2\",\"3\",\"4\",\"5\"]}",
         "5 lines; the panel shows at most 4"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        tree::Write(t / "proj/p.json", std::string(c.json));
        auto bad = Mkpatch({"build", "--project", S(t / "proj/p.json")});
        EXPECT_EQ(bad.rc, 2);
        EXPECT_NE(bad.err.find(c.message), std::string::npos) << bad.err;
        EXPECT_FALSE(fs::exists(t / "o.exe"));
    }
}

// verify's exit codes and reports: 0 with notes, 1 under --strict or on a
// difference, JSON with its format field.
TEST(Cli, VerifyReports) {
    tree::TempDir t;
    tree::Write(t / "old/a.txt", std::string("old a"));
    tree::Write(t / "new/a.txt", std::string("new a"));
    tree::Write(t / "old/gone.txt", std::string("gone"));
    ASSERT_EQ(Mkpatch({"build", S(t / "old"), S(t / "new"), "-o", S(t / "p.bin"), "--container-only", "--format", "1"}).rc, 0);
    std::vector<std::string> base = {"verify", S(t / "p.bin"), S(t / "old"), S(t / "new")};
    auto with = [&](std::vector<std::string> extra) {
        std::vector<std::string> a = base;
        a.insert(a.end(), extra.begin(), extra.end());
        return Mkpatch(a);
    };
    auto plain = with({});
    EXPECT_EQ(plain.rc, 0);
    EXPECT_NE(plain.err.find("note: gone.txt: only in OLD"), std::string::npos) << plain.err;
    EXPECT_EQ(with({"--strict"}).rc, 1);
    EXPECT_EQ(with({"--strict", "--exclude", "gone.txt"}).rc, 0);
    auto quiet = with({"-q"});
    EXPECT_EQ(quiet.rc, 0);
    EXPECT_EQ(quiet.out + quiet.err, "");
    auto json = with({"--json"});
    EXPECT_EQ(json.rc, 0);
    EXPECT_EQ(json.out.rfind("{\"format\": 1, \"records\": 1, \"ok\": true, \"exact\": false, "
                             "\"trailer\": \"holds\"", 0), 0u) << json.out;
    tree::Write(t / "new/a.txt", std::string("changed"));
    auto diff = with({"--json"});
    EXPECT_EQ(diff.rc, 1);
    EXPECT_NE(diff.out.find("\"ok\": false"), std::string::npos) << diff.out;
    EXPECT_NE(diff.out.find("a.txt: the trailer expects a new file"), std::string::npos) << diff.out;
    auto list = Mkpatch({"list", "--json", S(t / "p.bin")});
    EXPECT_EQ(list.out.rfind("{\"format\": 1, ", 0), 0u) << list.out;

    // one byte flipped in a record's name: list and verify give one answer
    Bytes flipped = tree::Read(t / "p.bin");
    flipped[CONTAINER_HEADER_SIZE + RECORD_SUMS_SIZE] ^= 1;
    tree::Write(t / "flipped.bin", flipped);
    auto listed = Mkpatch({"list", S(t / "flipped.bin")});
    EXPECT_NE(listed.out.find("trailer: does not hold"), std::string::npos) << listed.out;
    auto verified = Mkpatch({"verify", "--json", S(t / "flipped.bin"), S(t / "old"), S(t / "new")});
    EXPECT_EQ(verified.rc, 1);
    EXPECT_NE(verified.out.find("\"trailer\": \"does not hold\""), std::string::npos) << verified.out;
}

// Two code pages in one run keep their own lead-byte tests: 0xA1 is a
// katakana by itself in 932 and starts a character in 949.
TEST(Names, EachCodePageOwnsItsLeadBytes) {
    mkpatch::CodePage japanese(932);
    LeadBytePredicate first = japanese.LeadBytes();
    mkpatch::CodePage korean(949);
    LeadBytePredicate second = korean.LeadBytes();
    EXPECT_EQ(first(0xA1), 0);
    EXPECT_NE(second(0xA1), 0);
    EXPECT_NE(first(0x81), 0);
    EXPECT_EQ(japanese.LeadBytes()(0xA1), 0);
    EXPECT_NE(mkpatch::CodePage(936).LeadBytes()(0x81), 0);
}

TEST(List, ShowsEveryRecord) {
    tree::TempDir t;
    tree::Write(t / "old/a.bin", Bytes(4000, 7));
    Bytes neu(4000, 7);
    neu[2000] = 9;  // 1000 equal words cancel out; the changed one leaves 7 ^ 9
    tree::Write(t / "new/a.bin", neu);
    tree::Write(t / "new/目录/新.txt", std::string("abc"));
    ASSERT_EQ(Mkpatch({"build", S(t / "old"), S(t / "new"), "-o", S(t / "p.bin"), "--container-only", "--format", "1"}).rc, 0);
    auto l = Mkpatch({"list", S(t / "p.bin")});
    ASSERT_EQ(l.rc, 0) << l.err;
    EXPECT_NE(l.out.find("delta old=0x00000000 new=0x0000000E copies=2 inserts=1 copied=3999 "
                         "inserted=1 size=4000  a.bin"),
              std::string::npos)
        << l.out;
    EXPECT_NE(l.out.find("whole old=0x00000000 new=0x00000000 copies=0 inserts=0 copied=0 "
                         "inserted=3 size=3  目录\\新.txt"),
              std::string::npos)
        << l.out;
    EXPECT_NE(l.out.find("\ntrailer: holds (container CRC-32 0x"), std::string::npos) << l.out;
    EXPECT_NE(l.out.find(", 2 entries)"), std::string::npos) << l.out;
    auto j = Mkpatch({"list", "--json", S(t / "p.bin")});
    ASSERT_EQ(j.rc, 0);
    EXPECT_NE(j.out.find("\"name\": \"目录\\\\新.txt\", \"type\": \"whole\""), std::string::npos) << j.out;
    // a whole file's old pair is 0; "abc" has CRC-32 0x352441C2
    EXPECT_NE(j.out.find("\"new_length\": 3, \"new_crc\": \"0x352441C2\", \"old_length\": 0, "
                         "\"old_crc\": \"0x00000000\""), std::string::npos) << j.out;
    EXPECT_NE(j.out.find("\"trailer\": {\"state\": \"holds\""), std::string::npos) << j.out;
    EXPECT_NE(j.out.find("\"problem\": null"), std::string::npos);

    // the records' ends, cut by a byte, and the bare format
    ASSERT_EQ(Mkpatch({"build", S(t / "old"), S(t / "new"), "-o", S(t / "bare.bin"), "--container-only", "--format", "1",
                       "--no-trailer"}).rc, 0);
    Bytes bareBytes = tree::Read(t / "bare.bin");
    EXPECT_EQ(tree::Read(t / "p.bin").size(), bareBytes.size() + TRAILER_TAIL_SIZE + 2 * TRAILER_ENTRY_SIZE);
    auto nl = Mkpatch({"list", S(t / "bare.bin")});
    EXPECT_EQ(nl.rc, 0) << nl.err;
    EXPECT_NE(nl.out.find("trailer: none (the bare format)"), std::string::npos) << nl.out;
    bareBytes.resize(bareBytes.size() - 2);
    tree::Write(t / "cut.bin", bareBytes);
    auto bad = Mkpatch({"list", S(t / "cut.bin")});
    EXPECT_EQ(bad.rc, 1);
    EXPECT_NE(bad.err.find("runs past the end"), std::string::npos) << bad.err;

    tree::Write(t / "bare.exe", tree::FakeApplier());
    auto bare = Mkpatch({"list", S(t / "bare.exe")});
    EXPECT_EQ(bare.rc, 2);
    EXPECT_NE(bare.err.find("an applier without a container"), std::string::npos) << bare.err;
}

// verify must notice every way a patch can fail to turn OLD into NEW.
TEST(Verify, CatchesCorruptionAndWrongFolders) {
    tree::TempDir t;
    tree::MakeFolderPair(t / "old", t / "new", 21);
    ASSERT_EQ(Mkpatch({"build", S(t / "old"), S(t / "new"), "-o", S(t / "p.bin"), "--container-only", "--format", "1"}).rc, 0);
    const Bytes good = tree::Read(t / "p.bin");
    auto s = mkpatch::SummarizeContainer(good);
    const mkpatch::RecordSummary* delta = nullptr;
    const mkpatch::RecordSummary* whole = nullptr;
    for (const auto& r : s.records) {
        if (!r.whole && r.inserted > 0 && !delta)
            delta = &r;
        if (r.whole && r.outputSize > 0 && !whole)
            whole = &r;
    }
    ASSERT_TRUE(delta && whole);
    // the first insert's first literal in the delta record
    size_t lit = delta->bodyStart;
    while (good[lit] != CMD_INSERT || GetU32(&good[lit + 1]) == 0)
        lit += CMD_COPY_SIZE;
    lit += CMD_INSERT_HEAD_SIZE;
    size_t headOf = delta->bodyStart - delta->name.size() - 1 - RECORD_SUMS_SIZE;
    const size_t trailerSize = s.trailer.size;
    ASSERT_EQ(trailerSize, TRAILER_TAIL_SIZE + s.records.size() * TRAILER_ENTRY_SIZE);

    struct Case {
        const char* what;
        std::function<void(Bytes&)> corrupt;
        const char* message;
    } cases[] = {
        {"literal changed", [&](Bytes& b) { b[lit] ^= 0x40; }, "differs from NEW"},
        {"old checksum changed", [&](Bytes& b) { b[headOf] ^= 1; }, "the record expects"},
        {"new checksum changed", [&](Bytes& b) { b[headOf + 4] ^= 1; }, "the record expects"},
        {"whole-file content changed", [&](Bytes& b) { b[whole->bodyStart + 5] ^= 1; }, "differs from NEW"},
        {"undefined command", [&](Bytes& b) { b[delta->bodyStart] = 7; }, ""},
        {"cut into the records", [&](Bytes& b) { b.resize(delta->bodyStart + 2); }, "cut-off command"},
        {"trailer cut short", [&](Bytes& b) { b.resize(b.size() - 1); }, "bytes follow the last record"},
        {"record count one less", [&](Bytes& b) { b[0]--; }, "trailer after the last record is damaged"},
        {"garbage after the end", [&](Bytes& b) { b.push_back(1); }, "bytes follow the last record"},
        {"zero after an unsigned trailer", [&](Bytes& b) { b.push_back(0); }, "zero bytes follow the trailer"},
        // the XOR sum cannot see words that trade places; the CRC can
        {"whole-file words swapped", [&](Bytes& b) {
             std::swap_ranges(b.begin() + whole->bodyStart + 5, b.begin() + whole->bodyStart + 9,
                              b.begin() + whole->bodyStart + 9);
         }, "the container is damaged"},
        {"trailer's new CRC changed", [&](Bytes& b) { b[b.size() - trailerSize + 4] ^= 1; },
         "the trailer expects a new file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes bad = good;
        c.corrupt(bad);
        tree::Write(t / "bad.bin", bad);
        auto r = Mkpatch({"verify", S(t / "bad.bin"), S(t / "old"), S(t / "new")});
        EXPECT_EQ(r.rc, 1) << r.out;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }

    // right patch, wrong folders
    auto swapped = Mkpatch({"verify", S(t / "p.bin"), S(t / "new"), S(t / "old")});
    EXPECT_EQ(swapped.rc, 1);
    tree::Write(t / "new/sneaked-in.txt", std::string("not in the patch"));
    auto extra = Mkpatch({"verify", S(t / "p.bin"), S(t / "old"), S(t / "new")});
    EXPECT_EQ(extra.rc, 1);
    EXPECT_NE(extra.err.find("sneaked-in.txt: in NEW but neither in OLD nor in the patch"),
              std::string::npos)
        << extra.err;
}

// An old file with the right XOR sum but the wrong bytes: the trailer's
// old CRC-32 names it; the words a copy takes are swapped, so the XOR
// sums of the rebuilt file still agree with the record.
TEST(Verify, OldFileWithTheRightSumButWrongBytes) {
    tree::TempDir t;
    Bytes old(4000);
    for (size_t i = 0; i < old.size(); i++)
        old[i] = static_cast<uint8_t>(i * 7 + i / 251);
    Bytes neu = old;
    neu[3000] ^= 0x55;
    tree::Write(t / "old/f.bin", old);
    tree::Write(t / "new/f.bin", neu);
    ASSERT_EQ(Mkpatch({"build", S(t / "old"), S(t / "new"), "-o", S(t / "p.bin"), "--container-only", "--format", "1"}).rc, 0);
    std::swap_ranges(old.begin(), old.begin() + 4, old.begin() + 4);
    tree::Write(t / "swapped/f.bin", old);
    auto r = Mkpatch({"verify", S(t / "p.bin"), S(t / "swapped"), S(t / "new")});
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.err.find("f.bin: the trailer expects an old file of 4000 bytes"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("OLD's checksum is"), std::string::npos) << r.err;
}

bool HaveTool(const char* name) {
    return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

// Signing appends a certificate table after the container: list and verify
// take the container's end where the PE header says that table starts, and
// the trailer is still found there.
TEST(Signed, ListsAndVerifiesAfterSigning) {
    if (!HaveTool("osslsigncode") || !HaveTool("openssl"))
        GTEST_SKIP() << "osslsigncode or openssl is not installed (Debian packages of those names)";
    tree::TempDir t;
    tree::MakeFolderPair(t / "old", t / "new", 5);
    tree::Write(t / "applier.exe", tree::PeApplier());
    std::string dir = S(t.path());
    std::string cmd = "cd '" + dir + "' && openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem "
                      "-out cert.pem -days 2 -subj /CN=korvex-test >/dev/null 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    for (bool trailer : {true, false}) {
        SCOPED_TRACE(trailer ? "with a trailer" : "bare");
        std::vector<std::string> args = {"build", S(t / "old"), S(t / "new"), "-o", S(t / "p.exe"),
                                         "--applier", S(t / "applier.exe"), "--format", "1"};
        if (!trailer)
            args.push_back("--no-trailer");
        fs::remove(t / "p.exe");
        fs::remove(t / "s.exe");
        ASSERT_EQ(Mkpatch(args).rc, 0);
        cmd = "cd '" + dir + "' && osslsigncode sign -certs cert.pem -key key.pem -in p.exe "
              "-out s.exe >/dev/null";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
        Bytes unsigned_ = tree::Read(t / "p.exe"), signed_ = tree::Read(t / "s.exe");
        ASSERT_GT(signed_.size(), unsigned_.size() + 100);

        auto l = Mkpatch({"list", S(t / "s.exe")});
        EXPECT_EQ(l.rc, 0) << l.err;
        EXPECT_NE(l.out.find("signed (certificate table at offset"), std::string::npos) << l.out;
        EXPECT_NE(l.out.find(trailer ? "trailer: holds" : "trailer: none"), std::string::npos) << l.out;
        auto v = Mkpatch({"verify", S(t / "s.exe"), S(t / "old"), S(t / "new")});
        EXPECT_EQ(v.rc, 0) << v.err;
        if (!trailer)
            continue;
        // a byte flipped inside the signed container, in a file the
        // folders do not hold, so only the container CRC can tell
        auto s = mkpatch::SummarizeContainer(
            std::span<const uint8_t>(unsigned_).subspan(tree::PeApplier().size()));
        signed_[tree::PeApplier().size() + s.records.back().bodyStart - 2] ^= 1;  // in its name
        tree::Write(t / "s.exe", signed_);
        auto bad = Mkpatch({"list", S(t / "s.exe")});
        EXPECT_EQ(bad.rc, 1);
        EXPECT_NE(bad.err.find("the container is damaged"), std::string::npos) << bad.err;
    }
}

// A format-2 patch of a changed file (a delta) and a new one (a whole file,
// last in the table, so its content ends the literal stream).
struct Format2Case {
    tree::TempDir t;
    Bytes container;
    Format2Case() {
        std::mt19937 rng(64);
        Bytes old = gen::RandomBytes(rng, 30000);
        tree::Write(t / "old/a.bin", old);
        tree::Write(t / "new/a.bin", gen::Edit(rng, old, 12));
        tree::Write(t / "new/z.txt", std::string("a whole new file"));
        auto b = Mkpatch({"build", S(t / "old"), S(t / "new"), "-o", S(t / "p.bin"), "--container-only"});
        EXPECT_EQ(b.rc, 0) << b.err;
        container = tree::Read(t / "p.bin");
    }
};

TEST(Format2, ListShowsRecordsBlocksAndStreams) {
    Format2Case f;
    ASSERT_TRUE(IsFormat2(f.container.data(), f.container.size()));
    auto l = Mkpatch({"list", S(f.t / "p.bin")});
    ASSERT_EQ(l.rc, 0) << l.err;
    EXPECT_NE(l.out.find("whole old_crc=0x00000000 new_crc=0xFBE0E9C0 commands=0"), std::string::npos) << l.out;
    EXPECT_NE(l.out.find("literal=16 size=16  z.txt"), std::string::npos) << l.out;
    EXPECT_NE(l.out.find("2 records, 1 block, container " + std::to_string(f.container.size())),
              std::string::npos) << l.out;
    EXPECT_NE(l.out.find("\nformat: 2, decoder memory "), std::string::npos) << l.out;
    EXPECT_NE(l.out.find("block 1: 2 records; table lzma lc3 lp0 pb0 dict 4096 54 -> "), std::string::npos) << l.out;
    auto j = Mkpatch({"list", "--json", S(f.t / "p.bin")});
    ASSERT_EQ(j.rc, 0) << j.err;
    EXPECT_EQ(j.out.rfind("{\"format\": 1, \"container_format\": 2, ", 0), 0u) << j.out;
    EXPECT_NE(j.out.find("\"name\": \"a.bin\", \"type\": \"delta\", \"block\": 0, \"new_length\": "),
              std::string::npos) << j.out;
    EXPECT_NE(j.out.find("\"new_length\": 16, \"new_crc\": \"0xFBE0E9C0\", \"old_length\": 0, "
                         "\"old_crc\": \"0x00000000\", \"commands\": 0"),
              std::string::npos) << j.out;
    EXPECT_NE(j.out.find("\"problem\": null"), std::string::npos) << j.out;
}

// Damage anywhere in a format-2 container is found by list (exit 1) and by
// verify; with its block's CRC-32 made to hold again, by the record checks.
TEST(Format2, DamageFoundByListAndVerify) {
    Format2Case f;
    const Bytes& good = f.container;
    const size_t block = F2_HEADER_SIZE;
    F2BlockHead head;
    ASSERT_EQ(F2ReadBlockHead(&good[block], good.size() - block, &head), PR_OK);
    const size_t control = block + head.streamOffset[F2_CONTROL];
    const size_t table = block + head.streamOffset[F2_TABLE];
    const size_t literalEnd = block + head.streamOffset[F2_LITERAL] + head.streams[F2_LITERAL].packed;
    ASSERT_EQ(head.streams[F2_LITERAL].method, unsigned(F2_STORED));
    const size_t crc = good.size() - 4;
    auto rehash = [&](Bytes& b) { PutU32(&b[crc], Crc32Update(0, &b[block], crc - block)); };
    struct Case {
        const char* what;
        std::function<void(Bytes&)> damage;
        const char* list;  // in list's message; verify fails on each
    } cases[] = {
        {"header", [](Bytes& b) { b[9] ^= 1; }, "record "},  // then read as the bare form
        {"block count", [&](Bytes& b) { b[block + 4] ^= 1; }, "block 1 (at offset 32): damaged"},
        {"table", [&](Bytes& b) { b[table + 5] ^= 1; }, "damaged"},
        {"control stream", [&](Bytes& b) { b[control] ^= 1; }, "damaged"},
        {"block CRC", [&](Bytes& b) { b[crc] ^= 1; }, "damaged"},
        {"cut short", [](Bytes& b) { b.pop_back(); }, "the header gives a container of"},
        {"a byte after the end", [](Bytes& b) { b.push_back(0); }, "1 bytes follow the last block"},
        {"whole file's last byte, CRC again", [&](Bytes& b) { b[literalEnd - 1] ^= 1; rehash(b); },
         "record 2: the whole file's content does not have the CRC-32"},
        {"a seek, CRC again", [&](Bytes& b) { b[control] ^= 0x7E; rehash(b); }, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes bad = good;
        c.damage(bad);
        tree::Write(f.t / "bad.bin", bad);
        auto l = Mkpatch({"list", S(f.t / "bad.bin")});
        if (c.list) {
            EXPECT_EQ(l.rc, 1) << l.out;
            EXPECT_NE(l.err.find(c.list), std::string::npos) << l.err;
        }
        auto v = Mkpatch({"verify", S(f.t / "bad.bin"), S(f.t / "old"), S(f.t / "new")});
        EXPECT_EQ(v.rc, 1) << v.out;
        EXPECT_NE(v.err.find("problem"), std::string::npos) << v.err;
    }
    // the right patch on the wrong old file: its length and CRC-32 say so
    tree::Write(f.t / "old/a.bin", std::string("another old file"));
    auto v = Mkpatch({"verify", S(f.t / "p.bin"), S(f.t / "old"), S(f.t / "new")});
    EXPECT_EQ(v.rc, 1);
    EXPECT_NE(v.err.find("a.bin: OLD's file has 16 bytes"), std::string::npos) << v.err;
}

// Branding leaves the security directory empty, so a branded patch signs
// and its signature checks; list and verify read it as before.
TEST(Signed, BrandedPatchSignsAndChecks) {
    if (!HaveTool("osslsigncode") || !HaveTool("openssl"))
        GTEST_SKIP() << "osslsigncode or openssl is not installed (Debian packages of those names)";
    tree::TempDir t;
    tree::MakeFolderPair(t / "old", t / "new", 9);
    tree::Write(t / "applier.exe", tree::ResourceApplier(Bytes(16, 0)));
    tree::Write(t / "p.ico", tree::Ico({32}));
    ASSERT_EQ(Mkpatch({"build", S(t / "old"), S(t / "new"), "-o", S(t / "p.exe"), "--applier",
                       S(t / "applier.exe"), "--title", "signed", "--icon", S(t / "p.ico")}).rc, 0);
    std::string cmd = "cd '" + S(t.path()) + "' && openssl req -x509 -newkey rsa:2048 -nodes "
                      "-keyout key.pem -out cert.pem -days 2 -subj /CN=korvex-test >/dev/null 2>&1 && "
                      "osslsigncode sign -certs cert.pem -key key.pem -in p.exe -out s.exe >/dev/null && "
                      "osslsigncode verify -in s.exe -CAfile cert.pem >/dev/null 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    auto l = Mkpatch({"list", S(t / "s.exe")});
    EXPECT_EQ(l.rc, 0) << l.err;
    EXPECT_NE(l.out.find("signed (certificate table"), std::string::npos) << l.out;
    EXPECT_NE(l.out.find("title: signed\n"), std::string::npos) << l.out;
    EXPECT_EQ(Mkpatch({"verify", S(t / "s.exe"), S(t / "old"), S(t / "new")}).rc, 0);
}

}  // namespace
