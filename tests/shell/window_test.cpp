// The applier in a real window: each test starts a patched applier, works
// its main window and message boxes as a user would, and checks the folder
// byte for byte afterwards. Runs under wine64 inside Xvfb (see
// run-in-xvfb.sh); the source is UTF-8 and its literals are code page 936,
// as the applier's are.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <cstdio>

#include <string>

#include "drive.h"
#include "core/format.h"
#include "../support/format2_builder.h"
#include "../support/format2_lzma.h"
#include "../support/win_files.h"
#include "../support/win_folder.h"
#include "../support/format2_builder.h"
#include "../support/format2_lzma.h"

using namespace drive;

namespace {

std::string g_applier;  // the applier without a container
std::string g_scratch;  // a folder for the tests' files

const char kDone[] = "Patch Done !";
const char kDoneCaption[] = "Done";
const char kDataError[] = "Patch文件数据出错，操作取消 !";
const char kDataErrorCaption[] = "数据出错";
const char kCancelled[] = "操作被用户取消 !";
const char kCancelledCaption[] = "操作取消";
const char kOverwriteCaption[] = "新增文件...";
const char kOverwriteText[] = "新增文件已经存在，是否覆盖？";
const char kNoContainer[] = "本程序文件中没有可用的补丁数据";
const char kErrorCaption[] = "错误";

Bytes Pattern(size_t n, unsigned seed) {
    Bytes b(n);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; i++) {
        x = x * 1103515245u + 12345u;
        b[i] = (unsigned char)(x >> 16);
    }
    return b;
}

// A fresh folder for one test below the scratch folder: the target folder
// "dir\" (dir, with its backslash) and the patch beside it.
struct Workspace {
    const testing_support::ScratchFolder folder;
    const std::string root, dir, patch;
    explicit Workspace(const std::string& name)
        : folder(name, g_scratch, "dir"), root(winfiles::Unslashed(folder.root())), dir(folder.dir()),
          patch(root + "\\patch.exe") {}
    std::string operator/(const std::string& name) const { return dir + name; }
    bool Make(const Bytes& container) const { return MakePatch(g_applier, container, patch); }
};

// Starts the patch and waits for its main window.
HWND Start(Process& p, const std::string& exe) {
    if (!Launch(p, exe))
        return nullptr;
    return WaitMainWindow(p, 30000);
}

// Waits until a window of the applier is closed or hidden.
bool Gone(HWND wnd) {
    return WaitFor([&] { return !IsWindow(wnd) || !IsWindowVisible(wnd); }, 20000);
}

}  // namespace

// --- the enabling rule of Start, typed into the edit control ---

TEST(StartRule, OnlyAnAbsoluteFolderEndingInTheSeparatorCharacter) {
    Workspace ws("rule");
    ASSERT_TRUE(ws.Make(Container().Build()));
    Process p;
    HWND main = Start(p, ws.patch);
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(Text(GetDlgItem(main, 1000)), "");
    EXPECT_FALSE(StartEnabled(main)) << "Start must be disabled with an empty folder";
    EXPECT_NE(SendMessageA(GetDlgItem(main, 1009), STM_GETICON, 0, 0), 0) << "icon 102 is shown";
    EXPECT_EQ(SendMessageA(GetDlgItem(main, 1000), EM_GETLIMITTEXT, 0, 0), MAX_PATH - 1);

    struct Case { std::string text; bool enabled; const char* why; };
    const Case cases[] = {
        {"C:\\GAMES\\X\\", true, "trailing backslash"},
        {"C:\\GAMES\\X", false, "backslash deleted again"},
        {"C:\\游戏\\", true, "Chinese folder with backslash"},
        {"C:\\游戏", false, "Chinese folder without backslash"},
        {"C:\\\x95\x5C", false, "double-byte character whose trail byte is 0x5C"},
        {"\\\\server\\share\\", true, "a share"},
        {"\\", false, "a lone backslash"}, {"sub\\", false, "relative"}, {"..\\", false, "relative"},
        {"C:\\" + std::string(MAX_PATH - 4, 'a') + "\\", false, "longer than a path: cut when read"},
        {"", false, "emptied"},
    };
    for (const Case& c : cases) {
        SetEditText(main, c.text);
        EXPECT_EQ(StartEnabled(main), c.enabled) << c.why;
    }
    Click(main, IDCANCEL);
    EXPECT_EQ(p.Wait(20000), 0);
}

TEST(StartRule, EnterOrStartWhileDisabledDoesNothing) {
    Workspace ws("enter");
    ASSERT_TRUE(ws.Make(Container().Whole("A.TXT", ToBytes("abc")).Build()));
    Process p;
    HWND main = Start(p, ws.patch);
    ASSERT_NE(main, nullptr);
    // the folder without its backslash: names would be joined to "dir"
    std::string noSlash = ws.dir.substr(0, ws.dir.size() - 1);
    SetEditText(main, noSlash);
    ASSERT_FALSE(StartEnabled(main));
    HWND edit = GetDlgItem(main, 1000);
    PostMessageA(edit, WM_KEYDOWN, VK_RETURN, 0);
    PostMessageA(edit, WM_KEYUP, VK_RETURN, 0);
    Click(main, IDOK);
    Sleep(500);
    EXPECT_TRUE(IsWindow(main)) << "the main window must stay";
    EXPECT_EQ(FindProgress(p.pi.dwProcessId), nullptr);
    EXPECT_TRUE(TopWindows(p.pi.dwProcessId, "#32770").empty());
    EXPECT_FALSE(Exists(ws.root + "\\dirA.TXT"));
    EXPECT_FALSE(Exists(ws / "A.TXT"));
    Click(main, IDCANCEL);
    EXPECT_EQ(p.Wait(20000), 0);
}

TEST(Help, ShowsUsageAndLeavesTheWindowAsItWas) {
    Workspace ws("help");
    ASSERT_TRUE(ws.Make(Container().Whole("h.txt", ToBytes("h")).Build()));
    Process p;
    HWND main = Start(p, ws.patch);
    ASSERT_NE(main, nullptr);
    SetEditText(main, ws.dir);
    Click(main, 1014);
    HWND box = WaitBox(p, 20000);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(Text(box), "帮助");
    std::string text = BoxText(box);
    EXPECT_EQ(text.rfind("使用方法", 0), 0u) << text;
    EXPECT_NE(text.find("浏览"), std::string::npos);
    EXPECT_NE(text.find("开始安装"), std::string::npos);
    EXPECT_NE(text.find("补丁文件名_恢复.exe"), std::string::npos) << "the restore box is explained";
    EXPECT_EQ(GetWindow(box, GW_OWNER), main);
    Answer(box, IDOK);
    ASSERT_TRUE(Gone(box));
    EXPECT_TRUE(IsWindow(main)) << "Help does not end the program";
    EXPECT_FALSE(Exists(ws / "h.txt")) << "Help runs nothing";
    Click(main, IDCANCEL);
    EXPECT_EQ(p.Wait(20000), 0);
}

// --- whole runs and their one outcome message ---

TEST(Run, AllRecordsDoneSaysPatchDone) {
    Workspace ws("alldone");
    Bytes oldGame = Pattern(5000, 1), newGame = oldGame;
    newGame.insert(newGame.begin() + 100, {'N', 'E', 'W'});
    ASSERT_TRUE(WriteBytes(ws / "game.dat", oldGame));
    ASSERT_TRUE(ws.Make(Container()
                            .Whole("readme.txt", ToBytes("hello"))
                            .Whole("中文说明.txt", ToBytes("汉化"))
                            .DeltaRecord("game.dat", Sum(oldGame), Sum(newGame), SimpleDelta(oldGame, newGame))
                            .Build()));
    Process p;
    HWND main = Start(p, ws.patch);
    ASSERT_NE(main, nullptr);
    Outcome o = RunThrough(p, main, ws.dir, {});
    EXPECT_EQ(o.caption, kDoneCaption);
    EXPECT_EQ(o.text, kDone);
    EXPECT_EQ(o.outcomeBoxes, 1);
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_EQ(ReadBytes(ws / "readme.txt"), ToBytes("hello"));
    EXPECT_EQ(ReadBytes(ws / "中文说明.txt"), ToBytes("汉化"));
    EXPECT_EQ(ReadBytes(ws / "game.dat"), newGame);
}

TEST(Run, MixedContainerListsEveryFailureWithItsReason) {
    Workspace ws("mixed");
    Bytes oldA = Pattern(3000, 2), newA = oldA;
    newA.resize(2000);
    newA.insert(newA.end(), {'t', 'a', 'i', 'l'});
    Bytes wrong = Pattern(3000, 3);                   // not the version the patch expects
    Bytes current = newA;                             // already the new version
    Bytes oldB = Pattern(4000, 4), newB = oldB;
    newB[10] ^= 0xFF;
    ASSERT_TRUE(WriteBytes(ws / "a.dat", oldA));
    ASSERT_TRUE(WriteBytes(ws / "wrong.dat", wrong));
    ASSERT_TRUE(WriteBytes(ws / "current.dat", current));
    ASSERT_TRUE(WriteBytes(ws / "badsum.dat", oldB));
    Delta dA = SimpleDelta(oldA, newA);
    ASSERT_TRUE(ws.Make(Container()
                            .Whole("新文件.txt", ToBytes("whole"))
                            .DeltaRecord("a.dat", Sum(oldA), Sum(newA), dA)
                            .DeltaRecord("missing.dat", Sum(oldA), Sum(newA), dA)
                            .DeltaRecord("wrong.dat", Sum(oldA), Sum(newA), dA)
                            .DeltaRecord("current.dat", Sum(oldA), Sum(newA), dA)
                            // the new checksum cannot match: the rebuilt file is refused
                            .DeltaRecord("badsum.dat", Sum(oldB), Sum(newB) ^ 1, SimpleDelta(oldB, newB))
                            .Whole("last.txt", ToBytes("end"))
                            .Build()));
    Process p;
    HWND main = Start(p, ws.patch);
    ASSERT_NE(main, nullptr);
    // missing.dat and wrong.dat are asked about before the first write
    Outcome o = RunThrough(p, main, ws.dir, {IDYES});
    EXPECT_EQ(o.caption, kDoneCaption);
    EXPECT_NE(o.text.rfind(kDone, 0), 0u) << "a run with failures must not start with Patch Done !";
    EXPECT_NE(o.text.find("3 个文件"), std::string::npos) << o.text;
    EXPECT_NE(o.text.find("missing.dat：文件不存在或正被使用"), std::string::npos) << o.text;
    EXPECT_NE(o.text.find("wrong.dat：不是补丁所要求的版本"), std::string::npos) << o.text;
    EXPECT_NE(o.text.find("badsum.dat：更新后的文件校验不符"), std::string::npos) << o.text;
    EXPECT_EQ(o.text.find("current.dat"), std::string::npos) << "up to date is no failure";
    EXPECT_EQ(o.outcomeBoxes, 1);
    EXPECT_EQ(o.exitCode, 0);

    EXPECT_EQ(ReadBytes(ws / "新文件.txt"), ToBytes("whole"));
    EXPECT_EQ(ReadBytes(ws / "a.dat"), newA);
    EXPECT_FALSE(Exists(ws / "missing.dat"));
    EXPECT_EQ(ReadBytes(ws / "wrong.dat"), wrong);
    EXPECT_EQ(ReadBytes(ws / "current.dat"), current);
    EXPECT_EQ(ReadBytes(ws / "badsum.dat"), oldB);
    EXPECT_EQ(ReadBytes(ws / "last.txt"), ToBytes("end"));
}

TEST(Run, MoreThanSixteenFailuresEndWithEllipsis) {
    Workspace ws("many");
    Container c;
    Delta d;
    d.Copy(1, 0);
    for (int i = 0; i < 18; i++)
        c.DeltaRecord("gone" + std::to_string(i) + ".dat", 1, 2, d);
    ASSERT_TRUE(ws.Make(c.Build()));
    Process p;
    HWND main = Start(p, ws.patch);
    ASSERT_NE(main, nullptr);
    Outcome o = RunThrough(p, main, ws.dir, {IDYES});
    EXPECT_EQ(o.caption, kDoneCaption);
    EXPECT_NE(o.text.find("18 个文件"), std::string::npos) << o.text;
    EXPECT_NE(o.text.find("gone15.dat"), std::string::npos);
    EXPECT_EQ(o.text.find("gone16.dat"), std::string::npos) << "only 16 names are listed";
    EXPECT_EQ(o.text.substr(o.text.size() - 2), "…");
    EXPECT_EQ(o.exitCode, 0);
}

TEST(Run, DataErrorIsFoundBeforeTheFirstWrite) {
    struct Case { const char* why; Bytes tail; uint16_t count; };
    Delta undefinedCmd;
    undefinedCmd.Raw({7});
    Bytes badRecord = Container().DeltaRecord("b.dat", 0, 0, undefinedCmd).Build();
    badRecord.erase(badRecord.begin(), badRecord.begin() + CONTAINER_HEADER_SIZE);
    const Case cases[] = {
        {"undefined command byte", badRecord, 3},
        {"count says more records than there are", Bytes(), 3},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        std::string name = "dataerror";  // appended, not added: GCC 12 warns falsely (-Wrestrict) on "..." + string
        name += std::to_string(n++);
        Workspace ws(name);
        ASSERT_TRUE(WriteBytes(ws / "b.dat", ToBytes("old b")));
        Container k;
        k.Whole("a.txt", ToBytes("first"));
        k.Raw(c.tail);
        if (!c.tail.empty())
            k.Whole("c.txt", ToBytes("third"));
        k.Count(c.count);
        ASSERT_TRUE(ws.Make(k.Build()));
        Process p;
        HWND main = Start(p, ws.patch);
        ASSERT_NE(main, nullptr);
        Outcome o = RunThrough(p, main, ws.dir, {});
        EXPECT_EQ(o.caption, kDataErrorCaption);
        EXPECT_EQ(o.text, kDataError);
        EXPECT_EQ(o.outcomeBoxes, 1);
        EXPECT_EQ(o.exitCode, 0);
        EXPECT_FALSE(Exists(ws / "a.txt"));
        EXPECT_EQ(ReadBytes(ws / "b.dat"), ToBytes("old b"));
        EXPECT_FALSE(Exists(ws / "c.txt"));
    }
}

namespace {
// A second Start, as another program could post it, at the question and at
// the outcome message: a second run would ask again and tell again.
void PressStartAgain(HWND, HWND, void* main) {
    Click((HWND)main, IDOK);
    Sleep(300);
}
}  // namespace

TEST(Run, OverwriteQuestionIsOwnedByTheProgressDialog) {
    struct Case { int answer; bool replaced; };
    const Case cases[] = {{IDYES, true}, {IDNO, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer == IDYES ? "Yes" : "No");
        Workspace ws(c.answer == IDYES ? "askyes" : "askno");
        ASSERT_TRUE(WriteBytes(ws / "exists.txt", ToBytes("mine")));
        ASSERT_TRUE(ws.Make(Container()
                                .Whole("exists.txt", ToBytes("theirs"))
                                .Whole("after.txt", ToBytes("after"))
                                .Build()));
        Process p;
        HWND main = Start(p, ws.patch);
        ASSERT_NE(main, nullptr);
        Outcome o = RunThrough(p, main, ws.dir, {c.answer}, PressStartAgain, main);
        ASSERT_EQ(o.questions.size(), 1u);
        EXPECT_EQ(o.questions[0], kOverwriteCaption);
        EXPECT_NE(o.progress, nullptr);
        EXPECT_EQ(o.questionOwner, o.progress) << "the question belongs to the progress dialog";
        // skipping is the user's choice, not a failure
        EXPECT_EQ(o.text, kDone);
        EXPECT_EQ(o.caption, kDoneCaption);
        EXPECT_EQ(o.outcomeBoxes, 1);
        EXPECT_EQ(o.exitCode, 0);
        EXPECT_EQ(ReadBytes(ws / "exists.txt"), ToBytes(c.replaced ? "theirs" : "mine"));
        EXPECT_EQ(ReadBytes(ws / "after.txt"), ToBytes("after"));
    }
}

namespace {
struct QuestionSeen {
    std::string text;
};
void ReadQuestion(HWND box, HWND progress, void* ctx) {
    if (progress)
        ((QuestionSeen*)ctx)->text = BoxText(box);
}
}  // namespace

TEST(Run, OverwriteQuestionText) {
    Workspace ws("asktext");
    ASSERT_TRUE(WriteBytes(ws / "x.txt", ToBytes("1")));
    ASSERT_TRUE(ws.Make(Container().Whole("x.txt", ToBytes("2")).Build()));
    Process p;
    HWND main = Start(p, ws.patch);
    ASSERT_NE(main, nullptr);
    QuestionSeen seen;
    Outcome o = RunThrough(p, main, ws.dir, {IDYES}, ReadQuestion, &seen);
    EXPECT_EQ(seen.text, kOverwriteText);
    EXPECT_EQ(o.exitCode, 0);
}

// Cancel, and a close of the main window as End task or a log-off sends
// it, stop the run after the record in progress: one outcome message, no
// temporary file left, and the process stays until then.
TEST(Run, CancelOrCloseDuringALongRecordFinishesThatRecordFirst) {
    struct Case { const char* why; bool toMain; UINT msg; WPARAM wParam; };
    const Case cases[] = {
        {"Cancel", false, WM_COMMAND, IDCANCEL},
        {"WM_CLOSE", true, WM_CLOSE, 0},
        {"SC_CLOSE", true, WM_SYSCOMMAND, SC_CLOSE},
        {"Exit", true, WM_COMMAND, IDCANCEL},
    };
    // a large rebuild keeps the worker busy long after the first record
    Bytes big = Pattern(48 << 20, 5), bigNew = big;
    bigNew[0] ^= 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        Workspace ws(std::string("cancel-") + c.why);
        ASSERT_TRUE(WriteBytes(ws / "big.dat", big));
        ASSERT_TRUE(ws.Make(Container()
                                .Whole("first.txt", ToBytes("1"))
                                .DeltaRecord("big.dat", Sum(big), Sum(bigNew), SimpleDelta(big, bigNew))
                                .Whole("third.txt", ToBytes("3"))
                                .Build()));
        Process p;
        HWND main = Start(p, ws.patch);
        ASSERT_NE(main, nullptr);
        SetEditText(main, ws.dir);
        Click(main, IDOK);
        // wait for the first record done (not the check's 33%), then stop
        HWND progress = nullptr;
        ASSERT_TRUE(WaitFor([&] {
            progress = FindProgress(p.pi.dwProcessId);
            return progress && Text(GetDlgItem(progress, 4000)) == "33%";
        }, 30000));
        PostMessageA(c.toMain ? main : progress, c.msg, c.wParam, 0);
        HWND box = WaitBox(p, 60000);
        ASSERT_NE(box, nullptr) << "the outcome is told";
        EXPECT_EQ(Text(box), kCancelledCaption);
        EXPECT_EQ(BoxText(box), kCancelled);
        Answer(box, IDOK);
        EXPECT_EQ(WaitBox(p, 20000, {box}), nullptr) << "one outcome message";
        EXPECT_EQ(p.Wait(20000), 0);
        EXPECT_EQ(ReadBytes(ws / "first.txt"), ToBytes("1"));
        EXPECT_EQ(ReadBytes(ws / "big.dat"), bigNew) << "the record in progress is completed";
        EXPECT_FALSE(Exists(ws / "third.txt"));
        std::vector<std::string> left;
        winfiles::ListFiles(ws.dir, &left);
        EXPECT_EQ(left.size(), 2u) << "no temporary file is left";
    }
}

namespace {
// The question before the first write, and the label while it is up.
struct ProceedSeen { std::string text, label; };
void ReadProceed(HWND box, HWND progress, void* ctx) {
    if (!progress)
        return;
    ProceedSeen* seen = (ProceedSeen*)ctx;
    seen->text = BoxText(box);
    HWND label = GetDlgItem(progress, 4000);
    WaitFor([&] { return Text(label) == "正在检查 100%"; }, 5000);
    seen->label = Text(label);
}
}  // namespace

// (Yes is answered in the runs above.)
TEST(Run, MismatchedTargetsAskOnceBeforeTheFirstWriteAndNoWritesNothing) {
    Workspace ws("proceed-no");
    Bytes oldA = Pattern(3000, 6), newA = oldA;
    newA[7] ^= 1;
    ASSERT_TRUE(WriteBytes(ws / "a.dat", oldA));
    Delta d = SimpleDelta(oldA, newA);
    ASSERT_TRUE(ws.Make(Container().Whole("new.txt", ToBytes("n")).DeltaRecord("missing.dat", Sum(oldA), Sum(newA), d)
                            .DeltaRecord("a.dat", Sum(oldA), Sum(newA), d).Build()));
    Process p;
    HWND main = Start(p, ws.patch);
    ASSERT_NE(main, nullptr);
    ProceedSeen seen;
    Outcome o = RunThrough(p, main, ws.dir, {IDNO}, ReadProceed, &seen);
    ASSERT_EQ(o.questions.size(), 1u);
    EXPECT_EQ(o.questions[0], "文件不符");
    EXPECT_NE(seen.text.find("\r\nmissing.dat：文件不存在或正被使用\r\n"), std::string::npos) << seen.text;
    EXPECT_EQ(seen.label, "正在检查 100%") << "the bar followed the check";
    EXPECT_EQ(o.caption, kCancelledCaption);
    EXPECT_EQ(o.text, kCancelled);
    EXPECT_FALSE(Exists(ws / "new.txt"));
    EXPECT_EQ(ReadBytes(ws / "a.dat"), oldA);
}

// With the restore box checked, a run whose restore file cannot be made
// writes nothing and says why. A folder so deep that the restore file's
// name does not fit makes that so whatever the disk.
TEST(Run, RestoreFileThatCannotBeMadeStopsBeforeTheFirstWrite) {
    Workspace ws("restore-deep");
    std::string deep = ws.dir + std::string(247 - ws.dir.size(), 'd');
    ASSERT_TRUE(CreateDirectoryA(deep.c_str(), nullptr));
    deep += "\\";
    ASSERT_TRUE(ws.Make(Container().Whole("a", ToBytes("a")).Build()));
    Process p;
    HWND main = Start(p, ws.patch);
    ASSERT_NE(main, nullptr);
    SendMessageA(GetDlgItem(main, 1013), BM_SETCHECK, BST_CHECKED, 0);
    Outcome o = RunThrough(p, main, deep, {});
    EXPECT_EQ(o.caption, kErrorCaption);
    EXPECT_EQ(o.text.rfind("无法写入恢复文件，安装已停止", 0), 0u) << o.text;
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_FALSE(Exists(deep + "a"));
}

namespace {
// Cancel pressed while the overwrite question is up: the record is still
// finished once the question is answered, and the run stops after it.
// Sent, not posted: the question is answered right after this returns, and
// a posted Cancel could still be queued when the worker reaches the next
// record (it was, once, under the slow 32-bit emulation).
void CancelUnderTheQuestion(HWND, HWND progress, void*) {
    DWORD_PTR ignored = 0;
    if (progress)
        SendMessageTimeoutA(progress, WM_COMMAND, IDCANCEL, 0, SMTO_NORMAL, 30000, &ignored);
}
}  // namespace

// The whole way through and back, as a user does it with the restore box
// checked: a delta and whole files with Chinese names, the overwrite
// question answered Yes, a Cancel; then the restore file, run through its
// own window, brings every replaced file back byte for byte. The file the
// patch created stays (a patch cannot delete), as the message said. This
// is also the end-to-end run of the shipped 32-bit applier.
TEST(Restore, PatchCancelThenRestoreBringsEveryReplacedFileBack) {
    Workspace ws("restore-run");
    Bytes oldGame = Pattern(70000, 8), newGame = oldGame;
    newGame.insert(newGame.begin() + 5000, {'N', 'E', 'W'});
    newGame.resize(60000);
    ASSERT_TRUE(WriteBytes(ws / "游戏.dat", oldGame));
    ASSERT_TRUE(WriteBytes(ws / "说明.txt", ToBytes("旧的说明")));
    ASSERT_TRUE(ws.Make(Container()
                            .DeltaRecord("游戏.dat", Sum(oldGame), Sum(newGame), SimpleDelta(oldGame, newGame))
                            .Whole("新文件.txt", ToBytes("新"))
                            .Whole("说明.txt", ToBytes("新的说明"))
                            .Whole("最后.txt", ToBytes("never"))
                            .Build()));
    Process p;
    HWND main = Start(p, ws.patch);
    ASSERT_NE(main, nullptr);
    SendMessageA(GetDlgItem(main, 1013), BM_SETCHECK, BST_CHECKED, 0);
    Outcome o = RunThrough(p, main, ws.dir, {IDYES}, CancelUnderTheQuestion);
    ASSERT_EQ(o.questions.size(), 1u);
    EXPECT_EQ(o.caption, kCancelledCaption);
    const std::string restore = ws / "patch_恢复.exe";
    std::string unwrapped = o.text;  // a long path is put on several lines
    for (size_t at; (at = unwrapped.find("\r\n")) != std::string::npos;)
        unwrapped.erase(at, 2);
    EXPECT_NE(unwrapped.find(restore), std::string::npos) << o.text;
    EXPECT_NE(o.text.find("本次新建的 1 个文件不能由它删除"), std::string::npos) << o.text;
    EXPECT_EQ(ReadBytes(ws / "游戏.dat"), newGame);
    EXPECT_EQ(ReadBytes(ws / "说明.txt"), ToBytes("新的说明"));
    EXPECT_FALSE(Exists(ws / "最后.txt")) << "cancelled before the last record";

    Process back;
    main = Start(back, restore);
    ASSERT_NE(main, nullptr);
    o = RunThrough(back, main, ws.dir, {});
    EXPECT_EQ(o.text, kDone);
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_EQ(ReadBytes(ws / "游戏.dat"), oldGame);
    EXPECT_EQ(ReadBytes(ws / "说明.txt"), ToBytes("旧的说明"));
    EXPECT_EQ(ReadBytes(ws / "新文件.txt"), ToBytes("新"));
}

// A format-2 patch through the real window, with its restore file, which
// is itself a format-2 patch and brings the replaced files back; the same
// patch with one byte flipped writes nothing.
TEST(Format2, PatchAndItsRestoreFileOrDamagedNothing) {
    Bytes oldGame = Pattern(70000, 9), newGame = oldGame;
    newGame[30000] += 5;
    testing_support::Format2Builder f;
    // the streams LZMA-coded: the applier's own decoder reads them
    f.Code(testing_support::LzmaCoded);
    f.Delta("游戏.dat", oldGame, newGame).Cmd(0, 30000, {}, {}).Cmd(0, 10, Bytes{5, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {})
        .Cmd(0, 39990, {}, {});
    f.Whole("说明.txt", ToBytes("新的说明")).Whole("新\\文件.txt", ToBytes("新")).Block();
    const Bytes good = f.Build();
    for (bool damaged : {false, true}) {
        SCOPED_TRACE(damaged ? "damaged" : "whole");
        Workspace ws(damaged ? "f2-damaged" : "f2-run");
        ASSERT_TRUE(WriteBytes(ws / "游戏.dat", oldGame));
        ASSERT_TRUE(WriteBytes(ws / "说明.txt", ToBytes("旧的说明")));
        Bytes c = good;
        if (damaged)
            c[c.size() / 2] ^= 0x40;
        ASSERT_TRUE(ws.Make(c));
        Process p;
        HWND main = Start(p, ws.patch);
        ASSERT_NE(main, nullptr);
        SendMessageA(GetDlgItem(main, 1013), BM_SETCHECK, BST_CHECKED, 0);
        Outcome o = RunThrough(p, main, ws.dir, {IDYES});
        EXPECT_EQ(o.text.rfind(damaged ? kDataError : kDone, 0), 0u) << o.text;
        const std::string restore = ws / "patch_恢复.exe";
        EXPECT_EQ(o.exitCode, 0);
        EXPECT_EQ(ReadBytes(ws / "游戏.dat"), damaged ? oldGame : newGame);
        EXPECT_EQ(ReadBytes(ws / "说明.txt"), ToBytes(damaged ? "旧的说明" : "新的说明"));
        EXPECT_EQ(Exists(ws / "新\\文件.txt"), !damaged);
        EXPECT_EQ(Exists(restore), !damaged);
        if (damaged)
            continue;
        Process back;
        main = Start(back, restore);
        ASSERT_NE(main, nullptr);
        o = RunThrough(back, main, ws.dir, {});
        EXPECT_EQ(o.text, kDone);
        EXPECT_EQ(ReadBytes(ws / "游戏.dat"), oldGame);
        EXPECT_EQ(ReadBytes(ws / "说明.txt"), ToBytes("旧的说明"));
    }
}

// A signed format-2 patch: its container, read from the file rather than
// mapped, ends where the certificate table starts, which the PE headers in
// the applier's own bytes name. Signing is imitated: zero bytes up to a
// multiple of 8, then a table of made-up bytes that the security directory
// names. Its restore file, which has no table, brings the file back.
TEST(Format2, SignedPatchEndsAtItsCertificateTable) {
    const Bytes oldFile = Pattern(5000, 3), newFile = Pattern(6000, 4);
    testing_support::Format2Builder f;
    f.Delta("a.dat", oldFile, newFile).Cmd(0, 0, {}, newFile).Block();
    Workspace ws("f2-signed");
    ASSERT_TRUE(WriteBytes(ws / "a.dat", oldFile));
    ASSERT_TRUE(ws.Make(f.Build()));
    Bytes exe = ReadBytes(ws.patch);
    uint32_t pe = GetU32(&exe[0x3C]);
    size_t dir = pe + 24 + (GetU16(&exe[pe + 24]) == 0x20B ? 108 : 92) + 4 + 4 * 8;
    exe.resize((exe.size() + 7) / 8 * 8, 0);
    PutU32(&exe[dir], uint32_t(exe.size()));
    PutU32(&exe[dir + 4], 64);
    exe.insert(exe.end(), 64, 0xA5);
    ASSERT_TRUE(WriteBytes(ws.patch, exe));
    Process p;
    HWND main = Start(p, ws.patch);
    ASSERT_NE(main, nullptr);
    SendMessageA(GetDlgItem(main, 1013), BM_SETCHECK, BST_CHECKED, 0);
    Outcome o = RunThrough(p, main, ws.dir, {});
    EXPECT_EQ(o.text.rfind(kDone, 0), 0u) << o.text;
    EXPECT_EQ(ReadBytes(ws / "a.dat"), newFile);
    Process back;
    main = Start(back, ws / "patch_恢复.exe");
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(RunThrough(back, main, ws.dir, {}).text, kDone);
    EXPECT_EQ(ReadBytes(ws / "a.dat"), oldFile);
}

// --- no container: one clear message instead of the main window ---

TEST(NoContainer, ClearErrorAndNoMainWindow) {
    Workspace ws("nocontainer");
    struct Case { const char* why; std::string exe; Bytes extra; };
    std::string cut = ws.root + "\\cut.exe";
    ASSERT_TRUE(MakePatch(g_applier, Bytes{1, 0}, cut));  // half a header
    const Case cases[] = {
        {"applier alone", g_applier, {}},
        {"header cut short", cut, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        Process p;
        ASSERT_TRUE(Launch(p, c.exe));
        HWND box = WaitBox(p, 30000);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(Text(box), kErrorCaption);
        EXPECT_EQ(BoxText(box).rfind(kNoContainer, 0), 0u) << BoxText(box);
        EXPECT_TRUE(TopWindows(p.pi.dwProcessId, "korvex").empty());
        Answer(box, IDOK);
        EXPECT_EQ(p.Wait(20000), 0);
    }
}

// The container is read from the module's own file, whatever the command
// line names: here the bare applier, whose bytes at the offset are no
// container.
TEST(NoContainer, TheModuleIsMappedWhateverTheCommandLineSays) {
    Workspace ws("cmdline");
    ASSERT_TRUE(ws.Make(Container().Whole("u.txt", ToBytes("u")).Build()));
    // without /S the arguments are not looked at, bad ones included
    const std::string cases[] = {"patch.exe", "\"patch.exe", "\"" + g_applier + "\" x",
                                 "patch.exe /X /CONTINUE /D=C:\\nowhere"};
    for (const std::string& cmd : cases) {
        SCOPED_TRACE(cmd);
        DeleteFileA((ws / "u.txt").c_str());
        Process p;
        ASSERT_TRUE(Launch(p, ws.patch, &cmd));
        HWND main = WaitMainWindow(p, 30000);
        ASSERT_NE(main, nullptr) << "the container is found through the module's name";
        Outcome o = RunThrough(p, main, ws.dir, {});
        EXPECT_EQ(o.text, kDone);
        EXPECT_EQ(o.exitCode, 0);
        EXPECT_EQ(ReadBytes(ws / "u.txt"), ToBytes("u"));
    }
}

// --- Browse ---

namespace {
// The open-file dialog of the process: a #32770 owned by the main window.
HWND WaitOpenDialog(const Process& p, HWND main) {
    HWND dlg = nullptr;
    WaitFor([&] {
        for (HWND w : TopWindows(p.pi.dwProcessId, "#32770"))
            if (GetWindow(w, GW_OWNER) == main)
                dlg = w;
        return dlg != nullptr;
    }, 30000);
    if (dlg) {
        DWORD_PTR r;
        SendMessageTimeoutA(dlg, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &r);
    }
    return dlg;
}
}  // namespace

TEST(Browse, CancelLeavesTheFolderTextAsItWas) {
    Workspace ws("browsecancel");
    ASSERT_TRUE(ws.Make(Container().Build()));
    Process p;
    HWND main = Start(p, ws.patch);
    ASSERT_NE(main, nullptr);
    SetEditText(main, "C:\\keep\\me\\");
    Click(main, 1002);
    HWND dlg = WaitOpenDialog(p, main);
    ASSERT_NE(dlg, nullptr);
    Answer(dlg, IDCANCEL);
    ASSERT_TRUE(Gone(dlg));
    // no message of ours may reach the window before the checks: any
    // message would apply the enabling rule again
    WaitForInputIdle(p.pi.hProcess, 5000);
    Sleep(100);
    EXPECT_EQ(Text(GetDlgItem(main, 1000)), "C:\\keep\\me\\");
    EXPECT_TRUE(StartEnabled(main));
    Click(main, IDCANCEL);
    EXPECT_EQ(p.Wait(20000), 0);
}

TEST(Browse, ChosenFileGivesItsFolderWithTheBackslash) {
    Workspace ws("browsepick");
    ASSERT_TRUE(WriteBytes(ws / "程序.exe", ToBytes("x")));
    ASSERT_TRUE(ws.Make(Container().Build()));
    Process p;
    HWND main = Start(p, ws.patch);
    ASSERT_NE(main, nullptr);
    Click(main, 1002);
    HWND dlg = WaitOpenDialog(p, main);
    ASSERT_NE(dlg, nullptr);
    // the file name box: an edit (edt1) or a combo box (cmb13) by version
    // the file name box (id 0x47C) is a combo box, or a ComboBoxEx whose
    // combo box holds the edit; the text goes into the edit
    HWND name = GetDlgItem(dlg, 0x47C);
    ASSERT_NE(name, nullptr);
    for (int depth = 0; depth < 2 && ClassOf(name) != "Edit"; depth++) {
        HWND inner = FindWindowExA(name, nullptr, nullptr, nullptr);
        while (inner && ClassOf(inner) != "Edit" && !FindWindowExA(inner, nullptr, "Edit", nullptr))
            inner = FindWindowExA(name, inner, nullptr, nullptr);
        if (!inner)
            break;
        name = inner;
    }
    ASSERT_EQ(ClassOf(name), "Edit");
    std::string file = ws / "程序.exe";
    DWORD_PTR r;
    SendMessageTimeoutA(name, WM_SETTEXT, 0, (LPARAM)file.c_str(), SMTO_ABORTIFHUNG, 5000, &r);
    Answer(dlg, IDOK);
    ASSERT_TRUE(Gone(dlg));
    ASSERT_TRUE(WaitFor([&] { return Text(GetDlgItem(main, 1000)) == ws.dir; }, 20000))
        << Text(GetDlgItem(main, 1000));
    EXPECT_TRUE(StartEnabled(main));
    Click(main, IDCANCEL);
    EXPECT_EQ(p.Wait(20000), 0);
}

// --- the maker's branding, the folder found, unattended runs ---

namespace {

// The branding resource's bytes: "KEY=VALUE" strings, each with its 0 byte,
// and the empty one that ends them; unended, the last string's 0 is left
// off too.
std::string Brand(std::initializer_list<const char*> strings, bool ended = true) {
    std::string out;
    for (const char* s : strings)
        out += std::string(s) + '\0';
    return ended ? out + '\0' : out.substr(0, out.size() - 1);
}

// A patch of the branded applier at path.
bool MakeBranded(const Workspace& ws, const std::string& brand, const Bytes& container, const std::string& path) {
    std::string exe = ws.root + "\\branded.exe";
    return (brand.empty() ? CopyFileA(g_applier.c_str(), exe.c_str(), FALSE) != 0
                          : BrandApplier(g_applier, brand, exe)) &&
           MakePatch(exe, container, path);
}

// The registry values of the folder-finding tests, in HKCU or in one
// view of HKLM.
bool SetValue(HKEY root, REGSAM view, const char* name, DWORD type, const std::string& value) {
    HKEY key;
    if (RegCreateKeyExA(root, "Software\\KorvexTest", 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return false;
    LONG r = RegSetValueExA(key, name, 0, type, (const BYTE*)value.c_str(), (DWORD)value.size() + 1);
    RegCloseKey(key);
    return r == ERROR_SUCCESS;
}

const Bytes kOldGame = Pattern(4000, 11);
Bytes NewGame() {
    Bytes b = kOldGame;
    b.insert(b.begin() + 10, {'N', 'E', 'W'});
    return b;
}
// A container whose one delta target is game.dat.
Bytes GameContainer() {
    return Container().DeltaRecord("game.dat", Sum(kOldGame), Sum(NewGame()), SimpleDelta(kOldGame, NewGame()))
        .Build();
}

}  // namespace

// Read back from the window: caption, the panel's four lines, Help; a
// patch without the resource is today's window, its folder text empty
// even where the patch sits among its targets.
TEST(Branding, CaptionPanelAndHelpOrTodaysWithout) {
    struct Case {
        const char* why;
        std::string brand;
        const char* caption;
        const char* lines[4];
        const char* help;  // exact, or 0 for today's text
    };
    const Case cases[] = {
        {"none", "", "安装汉化文件", {"Korvex 汉化补丁", "版本 1.00", "Korvex 汉化组 制作，保留所有权利", ""}, 0},
        {"all", Brand({"TITLE=星海汉化补丁", "ABOUT=星海 汉化版\r\n版本 2.10\r\n星海汉化组\r\n2026年", "HELP=第一行\r\n第二行"}),
         "星海汉化补丁", {"星海 汉化版", "版本 2.10", "星海汉化组", "2026年"}, "第一行\r\n第二行"},
        // unknown keys passed over; the last string unterminated is not read
        {"partial", Brand({"COLOR=red", "TITLE=只有标题", "ABOUT=一行", "HELP=cut"}, false),
         "只有标题", {"一行", "", "", ""}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        Workspace ws(std::string("brand-") + c.why);
        ASSERT_TRUE(WriteBytes(ws / "game.dat", kOldGame));
        ASSERT_TRUE(MakeBranded(ws, c.brand, GameContainer(), ws / "patch.exe"));
        Process p;
        HWND main = Start(p, ws / "patch.exe");
        ASSERT_NE(main, nullptr);
        EXPECT_EQ(Text(main), c.caption);
        for (int i = 0; i < 4; i++)
            EXPECT_EQ(Text(GetDlgItem(main, 1020 + i)), c.lines[i]) << "line " << i + 1;
        EXPECT_EQ(Text(GetDlgItem(main, 1000)), "") << "no folder finding was asked for";
        EXPECT_NE(SendMessageA(GetDlgItem(main, 1009), STM_GETICON, 0, 0), 0);
        Click(main, 1014);
        HWND box = WaitBox(p, 20000);
        ASSERT_NE(box, nullptr);
        if (c.help)
            EXPECT_EQ(BoxText(box), c.help);
        else
            EXPECT_TRUE(BoxText(box).rfind("使用方法", 0) == 0 && BoxText(box).find("退出码：0 全部完成") != std::string::npos);
        Answer(box, IDOK);
        ASSERT_TRUE(Gone(box));
        Click(main, IDCANCEL);
        EXPECT_EQ(p.Wait(20000), 0);
    }
}

// The folder text filled from the patch's own folder or a registry value
// set here, the 32-bit view before the 64-bit one; Start follows.
TEST(FindFolder, OwnFolderThenRegistryValues) {
    Workspace ws("find");
    const std::string other = ws.root + "\\other\\", empty = ws.root + "\\empty\\";
    ASSERT_TRUE(CreateDirectoryA(other.c_str(), nullptr) && CreateDirectoryA(empty.c_str(), nullptr));
    ASSERT_TRUE(WriteBytes(ws / "game.dat", kOldGame) && WriteBytes(other + "game.dat", kOldGame));
    ASSERT_TRUE(WriteBytes(ws / "game.ini", ToBytes("i")));
    const std::string dir = ws.dir.substr(0, ws.dir.size() - 1);  // as installers write it
    SetEnvironmentVariableA("KORVEX_GAME", ws.root.c_str());
    ASSERT_TRUE(SetValue(HKEY_CURRENT_USER, 0, "Path", REG_SZ, dir));
    ASSERT_TRUE(SetValue(HKEY_CURRENT_USER, 0, "Expand", REG_EXPAND_SZ, "%KORVEX_GAME%\\dir"));
    ASSERT_TRUE(SetValue(HKEY_CURRENT_USER, 0, "Empty", REG_SZ, empty));
    ASSERT_TRUE(SetValue(HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY, "Path", REG_SZ, dir));
    ASSERT_TRUE(SetValue(HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY, "Path", REG_SZ, other));
    ASSERT_TRUE(SetValue(HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY, "Later", REG_SZ, empty));
    ASSERT_TRUE(SetValue(HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY, "Later", REG_SZ, dir));
    // format 2: the second block's delta target is only in "other"
    const Bytes f2 = testing_support::Format2Builder()
                         .Whole("a.txt", ToBytes("a")).Delta("game.dat", kOldGame, NewGame()).Block()
                         .Delta("more.dat", kOldGame, NewGame()).Block().Build();
    ASSERT_TRUE(WriteBytes(other + "more.dat", kOldGame));
    struct Case { const char* why; std::string brand; bool inDir; std::string found; const Bytes* container = nullptr; };
    const Case cases[] = {
        {"format 2, every block's targets", Brand({"FINDREG=HKLM\\Software\\KorvexTest\\Path"}), true, other, &f2},
        {"own folder holds the file", Brand({"FINDFILE=game.ini"}), true, ws.dir},
        {"own folder holds the targets", Brand({"FINDREG=HKCU\\Software\\KorvexTest\\Empty"}), true, ws.dir},
        {"value without its backslash", Brand({"FINDREG=HKCU\\Software\\KorvexTest\\Path"}), false, ws.dir},
        {"expanded, the second value", Brand({"FINDREG=HKCU\\Software\\KorvexTest\\Empty",
                                              "FINDREG=HKEY_CURRENT_USER\\Software\\KorvexTest\\Expand"}), false, ws.dir},
        {"32-bit view first", Brand({"FINDREG=hklm\\Software\\KorvexTest\\Path"}), false, ws.dir},
        {"64-bit view when the 32-bit does not fit", Brand({"FINDREG=HKLM\\Software\\KorvexTest\\Later"}), false, ws.dir},
        {"file missing everywhere", Brand({"FINDREG=HKLM\\Software\\KorvexTest\\Path", "FINDFILE=none.ini"}), true, ""},
        {"no value", Brand({"FINDREG=HKCU\\Software\\KorvexTest\\Missing"}), false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        std::string patch = c.inDir ? ws / "patch.exe" : ws.root + "\\patch.exe";
        ASSERT_TRUE(MakeBranded(ws, c.brand, c.container ? *c.container : GameContainer(), patch));
        Process p;
        HWND main = Start(p, patch);
        ASSERT_NE(main, nullptr);
        EXPECT_EQ(Text(GetDlgItem(main, 1000)), c.found);
        EXPECT_EQ(StartEnabled(main), !c.found.empty());
        EXPECT_EQ(ReadBytes(ws / "game.dat"), kOldGame) << "it never starts by itself";
        Click(main, IDCANCEL);
        EXPECT_EQ(p.Wait(20000), 0);
        DeleteFileA(patch.c_str());
    }
}

namespace {
std::string Utf8(const char8_t* s) { return std::string((const char*)s); }
}  // namespace

// Every exit code of `patch.exe /S`, with the files and the UTF-8 log it
// leaves. A window would hang the run, so each must end by itself.
TEST(Unattended, ExitCodesFilesAndLog) {
    enum Kind { GOOD, MISMATCH, DAMAGED, NONE };
    struct Case {
        const char* why;
        Kind kind;
        std::string args;  // %D: the folder, without its backslash; %L: the log (spaces in both);
                           // %P: a folder so deep that the restore file's name does not fit
        bool inDir;
        long code;
        bool written;       // 新.txt made (and the overwrite answered Yes)
        bool gameUpdated;
        std::string log;    // expected whole, when not empty
    };
    const Case cases[] = {
        {"done", GOOD, "/S /D=%D", false, 0, true, true, ""},
        {"own folder, lower case", GOOD, "/s", true, 0, true, true, ""},
        {"log", GOOD, "\"/LOG=%L\" /S /D=%D", false, 0, true, true,
         Utf8(u8"新.txt：完成\r\ngame.dat：完成\r\nexists.txt：已覆盖\r\nPatch Done !\r\n")},
        {"restore", GOOD, "/S /RESTORE /D=%D", false, 0, true, true, ""},
        {"finished with failures", MISMATCH, "/S /CONTINUE /LOG=\"%L\" /D=%D", false, 1, true, false,
         Utf8(u8"game.dat：不是补丁所要求的版本\r\n新.txt：完成\r\ngame.dat：不是补丁所要求的版本\r\n"
              u8"exists.txt：已覆盖\r\n安装结束，但有 1 个文件没有更新：\r\n\r\ngame.dat：不是补丁所要求的版本\r\n")},
        {"data error", DAMAGED, "/S /LOG=\"%L\" /D=%D", false, 2, false, false,
         Utf8(u8"Patch文件数据出错，操作取消 !\r\n")},
        {"restore file cannot be made", GOOD, "/S /RESTORE /D=%P", false, 3, false, false, ""},
        {"mismatch stops", MISMATCH, "/S /LOG=\"%L\" /D=%D", false, 3, false, false,
         Utf8(u8"game.dat：不是补丁所要求的版本\r\n操作被用户取消 !\r\n")},
        {"bad argument", GOOD, "/S /X /D=%D", false, 4, false, false, ""},
        {"relative folder", GOOD, "/S /D=dir", false, 4, false, false, ""},
        {"no folder found", GOOD, "/S \"/LOG=%L\"", false, 4, false, false,
         Utf8(u8"找不到要安装的文件夹，没有修改任何文件。\r\n")},
        {"no container", NONE, "/S /D=%D", false, 4, false, false, ""},
    };
    Bytes newGame = NewGame();
    Delta d = SimpleDelta(kOldGame, newGame);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        Workspace ws(std::string("silent ") + c.why);
        ASSERT_TRUE(WriteBytes(ws / "game.dat", kOldGame) && WriteBytes(ws / "exists.txt", ToBytes("mine")));
        Container box;
        box.Whole("新.txt", ToBytes("新"));
        if (c.kind == DAMAGED)
            box.DeltaRecord("game.dat", Sum(kOldGame), Sum(newGame), Delta().Raw({7}));
        else
            box.DeltaRecord("game.dat", Sum(kOldGame) ^ (c.kind == MISMATCH), Sum(newGame), d);
        box.Whole("exists.txt", ToBytes("theirs"));
        std::string patch = c.inDir ? ws / "patch.exe" : ws.patch;
        ASSERT_TRUE(MakePatch(g_applier, c.kind == NONE ? Bytes() : box.Build(), patch));
        std::string log = ws.root + "\\日志.txt", args = c.args, deep = ws.dir + std::string(247 - ws.dir.size(), 'd');
        ASSERT_TRUE(CreateDirectoryA(deep.c_str(), nullptr));
        for (auto [from, to] : {std::pair<std::string, std::string>{"%D", ws.dir.substr(0, ws.dir.size() - 1)},
                                {"%L", log}, {"%P", deep}})
            if (size_t at = args.find(from); at != std::string::npos)
                args.replace(at, 2, to);
        std::string cmd = "\"" + patch + "\" " + args;
        Process p;
        ASSERT_TRUE(Launch(p, patch, &cmd));
        EXPECT_EQ(p.Wait(60000), c.code) << cmd;
        EXPECT_EQ(Exists(ws / "新.txt"), c.written);
        EXPECT_EQ(ReadBytes(ws / "exists.txt"), ToBytes(c.written ? "theirs" : "mine"));
        EXPECT_EQ(ReadBytes(ws / "game.dat"), c.gameUpdated ? newGame : kOldGame);
        EXPECT_EQ(Exists(ws / "patch_恢复.exe"), c.code == 0 && c.args.find("/RESTORE") != std::string::npos);
        EXPECT_FALSE(Exists(deep + "\\新.txt"));
        if (!c.log.empty()) {
            Bytes text = ReadBytes(log);
            EXPECT_EQ(std::string(text.begin(), text.end()), c.log);
        }
    }
}

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (argc < 3) {
        fprintf(stderr, "usage: shell_window_test APPLIER.exe SCRATCH_DIR [gtest options]\n");
        return 2;
    }
    // full paths: the open-file dialog resolves names against its own folder
    char full[MAX_PATH];
    GetFullPathNameA(WindowsPath(argv[1]).c_str(), MAX_PATH, full, nullptr);
    g_applier = full;
    GetFullPathNameA(WindowsPath(argv[2]).c_str(), MAX_PATH, full, nullptr);
    g_scratch = full;
    return RUN_ALL_TESTS();
}
