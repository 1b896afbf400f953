// Hostile record names, and faults of the disk and of other programs: a
// read-only target, a target held open by another process, a folder where
// the target should be, a read-only target folder, a full disk. In each
// case the run says what happened, the target is byte for byte what it was
// (or completely the new file), nothing outside the folder is written and
// no temporary file remains.
#include <gtest/gtest.h>

#include <cstdlib>

#include "patchset.h"
#include "process.h"
#include "run_host.h"
#include "support/hostile_names.h"

namespace reliability {
namespace {

bool PathExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ParentOf(std::string folder) {
    folder.pop_back();  // the trailing backslash
    return folder.substr(0, folder.find_last_of('\\') + 1);
}

// --- hostile names ---

using testing_support::HostileName;

class Hostile : public ::testing::TestWithParam<HostileName> {};

// A record of the hostile name (whole file or delta, both tried) after a
// good one: the container is refused as bad data before the first write,
// so nothing appears outside the folder, nor inside.
TEST_P(Hostile, NothingIsWrittenOutsideTheFolder) {
    const std::string name = GetParam().name;
    Sandbox box("hostile");
    const std::string cwd = ParentOf(box.root + "\\");
    const std::string escapes[] = {"C:\\X", "\\X", cwd + "X", box.root + "\\X", box.root + "\\X:B"};
    bool present[5];
    for (int i = 0; i < 5; i++)
        present[i] = PathExists(escapes[i]);

    for (bool whole : {true, false}) {
        SCOPED_TRACE(whole ? "whole-file record" : "delta record");
        PatchSet set;
        set.Bystander("X", Text("inside\r\n"));
        set.Whole("before.txt", Text("before"));
        if (whole)
            set.Whole(name, Text("hostile"));
        else
            set.Delta(name, Text("old bytes"), {InsertOf(Text("hostile"))});
        set.Whole("after.txt", Text("after"));
        std::map<std::string, Bytes> files{{"X", Text("inside\r\n")}};
        box.Reset(files);
        const Tree outside = box.Outside();

        RunRecord run = RunContainer(set.container.bytes(), box.target);
        EXPECT_EQ(run.outcome, PATCH_DATAERROR);
        EXPECT_EQ(run.tally.records, 0u);
        EXPECT_EQ(box.Outside(), outside);
        EXPECT_EQ(box.Target(), (Tree{{"X", Text("inside\r\n")}}));
        for (int i = 0; i < 5; i++)
            EXPECT_EQ(PathExists(escapes[i]), present[i]) << escapes[i];
    }
}

INSTANTIATE_TEST_SUITE_P(Names, Hostile, ::testing::ValuesIn(testing_support::HostileNames()),
                         [](const ::testing::TestParamInfo<HostileName>& info) {
                             return std::string(info.param.label);
                         });

// Names whose whole path is just at, or just over, the 259 characters a
// path may have. At the limit the file is made, flat (one long file name
// in a short folder) or deep (a sub-folder with no room left for a
// temporary name beside the file). Over the limit the record always fails,
// is reported, and nothing is cut short to fit.
TEST(PathLimit, AtTheLimitWorksOverItIsReported) {
    Sandbox box("limit");
    const size_t room = PATCH_PATH_MAX - 1 - box.target.size();  // name bytes that fit
    ASSERT_GT(room, 20u);
    ASSERT_LT(room, 250u);  // a flat name stays below the 255 a file name may have
    for (bool deep : {false, true}) {
        for (bool whole : {true, false}) {
            for (size_t len : {room - 1, room, room + 1, room + 40}) {
                SCOPED_TRACE(std::string(deep ? "deep, " : "flat, ") + (whole ? "whole, " : "delta, ") +
                             std::to_string(len) + " bytes");
                // 8.3 parts keep each component short enough for any file system
                std::string name = "s\\";
                while (deep && name.size() + 9 < len)
                    name += "abcdefgh\\";
                name += std::string(len - name.size(), 'n');
                PatchSet set;
                if (whole)
                    set.Whole(name, Text("content"));
                else
                    set.Delta(name, Text("old"), {InsertOf(Text("new"))});
                std::map<std::string, Bytes> files;
                if (!whole && len <= room)
                    files[name] = Text("old");
                box.Reset(files);
                const Tree before = box.Target();
                const Tree outside = box.Outside();
                RunRecord run = RunContainer(set.container.bytes(), box.target);
                EXPECT_EQ(run.outcome, PATCH_FINISHED);
                EXPECT_EQ(box.Outside(), outside);
                Tree now = box.Target();
                EXPECT_EQ(TempFiles(now), std::vector<std::string>{});
                if (len > room) {
                    EXPECT_EQ(run.tally.failed, 1u);
                    ASSERT_EQ(run.tally.named, 1u);
                    EXPECT_EQ(std::string(run.tally.failures[0].name), name.substr(0, PATCH_PATH_MAX - 1));
                    for (const auto& [path, bytes] : now)
                        EXPECT_TRUE(bytes == Text("<dir>") || before.count(path)) << path << " was written";
                    for (const auto& [path, bytes] : before)
                        EXPECT_EQ(now[path], bytes);
                } else {
                    EXPECT_EQ(run.tally.ok, 1u);
                    EXPECT_EQ(now[name], Text(whole ? "content" : "new"));
                }
            }
        }
    }
}

// A double-byte character whose trail byte is 0x5C is one character of the
// name, not a separator: the file is made under exactly that name.
TEST(DoubleByteName, TrailByte5CIsNoSeparator) {
    if (GetACP() != 936)
        GTEST_SKIP() << "the ANSI code page is " << GetACP() << ", not 936 (LC_ALL=zh_CN.UTF-8 sets it)";
    Sandbox box("dbcs");
    const std::string name = "\x95\x5C.txt";        // one character, then .txt
    const std::string deep = "\xD7\xD6\\\x95\x5C\\b.dat";  // a folder, a 0x5C-trail folder, a file
    PatchSet set;
    set.Whole(name, Text("whole"));
    set.Delta(deep, Text("old old old"), {CopyOf(4, 3), InsertOf(Text("!"))});
    box.Reset({{"\xD7\xD6\\\x95\x5C\\b.dat", Text("old old old")}});
    RunRecord run = RunContainer(set.container.bytes(), box.target);
    EXPECT_EQ(run.outcome, PATCH_FINISHED);
    EXPECT_EQ(run.tally.ok, 2u);
    Tree now = box.Target();
    EXPECT_EQ(now, (Tree{{name, Text("whole")},
                         {"\xD7\xD6\\", Text("<dir>")},
                         {"\xD7\xD6\\\x95\x5C\\", Text("<dir>")},
                         {deep, Text("old!")}}));  // and no folder named by the lead byte alone
}

// --- faults of the disk and of other programs ---

struct Case {
    PatchSet set;
    std::string name;  // the record's target
};

Case DeltaCase() {
    Case c;
    c.name = "t.dat";
    Rng rng(77);
    Bytes old = rng.Fill(5000);
    c.set.Delta(c.name, old, RandomEdits(rng, old, 6000));
    return c;
}

Case WholeCase() {
    Case c;
    c.name = "t.dat";
    c.set.before[c.name] = Text("the old file, longer than the new one");
    c.set.Whole(c.name, Text("new"));
    return c;
}

// Runs the case with the fault made by spoil, and checks that the record
// failed with want, the target is as it was and no temporary file is left.
void ExpectRefused(const char* tag, const Case& c, int want, void (*spoil)(const std::string& target),
                   void (*mend)(const std::string& target) = nullptr) {
    Sandbox box(tag);
    box.Reset(c.set.before);
    // a held file cannot be read until it is let go: compare after mend
    const Tree unspoilt = box.Target();
    spoil(box.target + c.name);
    const Tree before = mend ? unspoilt : box.Target();
    const Tree outside = box.Outside();
    RunRecord run = RunContainer(c.set.container.bytes(), box.target);
    if (mend)
        mend(box.target + c.name);
    EXPECT_EQ(run.outcome, PATCH_FINISHED);
    EXPECT_EQ(run.tally.records, 1u);
    EXPECT_EQ(run.tally.failed, 1u) << "the failure must be reported";
    ASSERT_EQ(run.tally.named, 1u);
    EXPECT_EQ(run.tally.failures[0].result, want);
    EXPECT_EQ(box.Target(), before);
    EXPECT_EQ(box.Outside(), outside);
}

void MakeReadOnly(const std::string& path) {
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
}

TEST(ReadOnlyTarget, DeltaIsNotWritten) {
    ExpectRefused("ro-delta", DeltaCase(), PR_NOTWRITTEN, MakeReadOnly);
}

TEST(ReadOnlyTarget, WholeFileIsNotOverwritten) {
    ExpectRefused("ro-whole", WholeCase(), PR_NOTWRITTEN, MakeReadOnly);
}

void MakeFolder(const std::string& path) {
    ASSERT_TRUE(DeleteFileA(path.c_str()));
    ASSERT_TRUE(CreateDirectoryA(path.c_str(), nullptr));
    reliability::WriteFileBytes(path + "\\inner.txt", Text("inside the folder"));
}

TEST(FolderInPlace, DeltaFindsNoTarget) {
    ExpectRefused("dir-delta", DeltaCase(), PR_NOTARGET, MakeFolder);
}

TEST(FolderInPlace, WholeFileIsNotWritten) {
    ExpectRefused("dir-whole", WholeCase(), PR_NOTWRITTEN, MakeFolder);
}

// Another process holds the target open without sharing for the whole run.
HANDLE g_holder = nullptr;

void HoldElsewhere(const std::string& path) {
    g_holder = StartHelper("hold \"" + path + "\" 180000");
    ASSERT_NE(g_holder, nullptr);
    // Held once this process can no longer open it. A process start under
    // wine on a busy machine has taken more than ten seconds, so the wait
    // ends when the helper has gone, or after two minutes.
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < 120000) {
        HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION)
            return;
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        DWORD code = 0;
        if (WaitForSingleObject(g_holder, 20) == WAIT_OBJECT_0 && GetExitCodeProcess(g_holder, &code))
            FAIL() << "the helper ended (exit code " << code << ") without taking hold of " << path;
    }
    FAIL() << "the helper did not take hold of " << path << " in two minutes";
}

void Release(const std::string&) {
    TerminateProcess(g_holder, 0);
    WaitExit(g_holder);
    CloseHandle(g_holder);
    g_holder = nullptr;
}

TEST(HeldByAnotherProcess, DeltaFindsNoTarget) {
    ExpectRefused("held-delta", DeltaCase(), PR_NOTARGET, HoldElsewhere, Release);
}

TEST(HeldByAnotherProcess, WholeFileIsNotWritten) {
    ExpectRefused("held-whole", WholeCase(), PR_NOTWRITTEN, HoldElsewhere, Release);
}

// --- a full disk: the target folder on a small tmpfs that ctest mounts ---

// The small file system that ctest mounts (suffix "" or "-ro"), as a
// folder with its backslash; empty, with the reason, when there is none.
std::string SmallDisk(std::string* why, const char* suffix = "") {
    const char* unixPath = std::getenv("KORVEX_SMALLFS");
    if (!unixPath || !*unixPath) {
        *why = "KORVEX_SMALLFS is not set (ctest sets it)";
        return "";
    }
    std::string dos = "Z:";
    dos.append(unixPath).append(suffix);
    for (char& ch : dos)
        if (ch == '/')
            ch = '\\';
    Bytes reason;
    if (!ReadFileBytes(dos + "\\.mounted", &reason)) {
        if (ReadFileBytes(dos + ".why", &reason))
            *why = "no small file system: " + std::string(reason.begin(), reason.end());
        else
            *why = "no small file system at " + dos;
        return "";
    }
    return dos + "\\";
}

// A folder on a read-only mount, holding t.dat: a delta record for t.dat
// and a new whole file both fail, are reported, and write nothing. Asked
// for a restore file, which cannot be made there, the run stops before its
// first write.
TEST(ReadOnlyFolder, NothingIsWritten) {
    std::string why;
    std::string disk = SmallDisk(&why, "-ro");
    if (disk.empty())
        GTEST_SKIP() << why;
    std::string folder = disk.substr(0, disk.size() - 1);
    Bytes old;
    ASSERT_TRUE(ReadFileBytes(disk + "t.dat", &old));
    PatchSet set;
    set.Delta("t.dat", old, {CopyOf(4, 3), InsertOf(Text("new"))});
    set.Whole("new.txt", Text("new file"));
    const Tree before = Snapshot(folder);
    RunRecord run = RunContainer(set.container.bytes(), disk);
    EXPECT_EQ(run.outcome, PATCH_FINISHED);
    EXPECT_EQ(run.tally.failed, 2u);
    EXPECT_EQ(run.tally.notWritten, 2u);
    EXPECT_EQ(Snapshot(folder), before);

    const unsigned char stub[] = "MZ";
    PatchRestore restore{disk.c_str(), "restore", stub, sizeof stub};
    run = RunContainer(set.container.bytes(), disk, true, &restore);
    EXPECT_EQ(run.outcome, PATCH_RESTOREFAILED);
    EXPECT_EQ(g_restore.state, RESTORE_FAILED);
    EXPECT_EQ(run.tally.records, 0u);
    EXPECT_EQ(Snapshot(folder), before);
}

// The restore file fills the disk: the target whose restore record did not
// fit stays old, the run stops there, and the restore file (what the failed
// record wrote taken away again) brings back what was replaced before.
// (Part of the disk-full test: the two must not share the disk at once.)
void RestoreFileThatDoesNotFitStopsTheRun(const std::string& disk) {
    const std::string folder = disk + "restore\\";
    CreateDirectoryA(folder.c_str(), nullptr);
    Rng rng(10);
    PatchSet set;
    Bytes a = rng.Fill(20 * 1024), b = rng.Fill(180 * 1024);
    set.Delta("a.dat", a, {CopyOf(100, 10000), InsertOf(rng.Fill(3000))});
    set.Delta("b.dat", b, {InsertOf(rng.Fill(180 * 1024))});  // its way back is all of b
    set.Whole("small.txt", Text("not reached"));
    reliability::WriteFileBytes(folder + "a.dat", a);
    reliability::WriteFileBytes(folder + "b.dat", b);
    const unsigned char stub[] = "MZ";
    PatchRestore restore{folder.c_str(), "restore", stub, sizeof stub};
    RunRecord run = RunContainer(set.container.bytes(), folder, true, &restore);
    const PatchRestoreState made = g_restore;
    Bytes aNow, bNow, file;
    ReadFileBytes(folder + "a.dat", &aNow);
    ReadFileBytes(folder + "b.dat", &bNow);
    ReadFileBytes(folder + "restore.exe", &file);
    RunRecord undo = RunContainer(Bytes(file.begin() + sizeof stub, file.end()), folder);
    Bytes aBack;
    ReadFileBytes(folder + "a.dat", &aBack);
    Tree left = Snapshot(folder.substr(0, folder.size() - 1));
    RemoveTree(folder.substr(0, folder.size() - 1));

    EXPECT_EQ(run.outcome, PATCH_RESTOREFAILED);
    EXPECT_EQ(made.state, RESTORE_FAILED);
    EXPECT_EQ(made.records, 1u);
    EXPECT_LT(file.size(), 20u * 1024) << "a.dat's record only, not what b.dat's wrote";
    EXPECT_EQ(run.tally.records, 2u);
    EXPECT_EQ(run.tally.notWritten, 1u);
    EXPECT_EQ(aNow, set.after["a.dat"]);
    EXPECT_EQ(bNow, b);
    EXPECT_EQ(left.count("small.txt"), 0u);
    EXPECT_EQ(undo.outcome, PATCH_FINISHED);
    EXPECT_EQ(undo.tally.ok, 1u);
    EXPECT_EQ(aBack, a);
    EXPECT_TRUE(TempFiles(left).empty());
}

TEST(DiskFull, RebuildThatDoesNotFitLeavesTheTarget) {
    std::string why;
    const std::string disk = SmallDisk(&why);
    if (disk.empty())
        GTEST_SKIP() << why;
    const std::string folder = disk + "target\\";
    CreateDirectoryA(folder.c_str(), nullptr);

    // the disk holds 512 KB: the old files fit, the rebuilt one does not
    Rng rng(9);
    Bytes old = rng.Fill(200 * 1024);
    PatchSet set;
    set.Delta("big.dat", old, {CopyOf(0, uint32_t(old.size())), CopyOf(0, uint32_t(old.size())),
                               CopyOf(0, uint32_t(old.size())), InsertOf(Text("tail"))});
    // in sub-folders the record makes: they go again when it fails
    set.Whole("new\\deeper\\huge.bin", rng.Fill(400 * 1024));
    set.Whole("small.txt", Text("this one fits"));
    reliability::WriteFileBytes(folder + "big.dat", old);
    const Tree before = Snapshot(folder.substr(0, folder.size() - 1));

    RunRecord run = RunContainer(set.container.bytes(), folder);
    Tree now = Snapshot(folder.substr(0, folder.size() - 1));
    RemoveTree(folder.substr(0, folder.size() - 1));

    EXPECT_EQ(run.outcome, PATCH_FINISHED);
    EXPECT_EQ(run.tally.notWritten, 2u);
    EXPECT_EQ(run.tally.ok, 1u);
    EXPECT_EQ(run.tally.failed, 2u);
    Tree want = before;
    want["small.txt"] = Text("this one fits");
    EXPECT_EQ(now, want);
    RestoreFileThatDoesNotFitStopsTheRun(disk);
}

}  // namespace
}  // namespace reliability
