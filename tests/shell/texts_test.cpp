// The shell's window-free decisions and texts: the enabling rule of Start,
// the restore file's name, the outcome of a run, the outcome message with
// its list of failures and the question before the first write.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "core/names.h"
#include "shell/shell.h"

namespace {

// The applier unpacks its texts first thing; so do these tests.
[[maybe_unused]] const int kTextsLoaded = (LoadTexts(), 0);

TEST(StartRuleHolds, OnlyAnAbsoluteFolderEndingInTheSeparatorCharacter) {
    struct Case { const char* folder; int holds; };
    const Case cases[] = {
        {"", 0}, {"C:\\", 1}, {"c:\\X\\", 1}, {"C:\\X", 0}, {"C:\\X\\ ", 0}, {"C:\\x/", 0},
        // relative: they would resolve against the current folder
        {"\\", 0}, {"sub\\", 0}, {".\\", 0}, {"..\\", 0}, {"C:", 0}, {"C:x\\", 0}, {"1:\\", 0},
        // a double-byte character whose trail byte is 0x5C ends the text
        {"C:\\\x95\x5C", 0}, {"C:\\x\x81\x5C", 0}, {"C:\\\x95\x5C\\", 1},
        {"\\\\server\\share\\", 1}, {"\\\\server\\share\\sub\\", 1}, {"\\\\server\\share", 0},
        {"\\\\server\\", 0}, {"\\\\\\share\\", 0}, {"\\\\.\\C:\\", 0}, {"\\\\?\\C:\\", 0},
        {"\\\\s\x95\x5C\\share\\", 1}, {"\\\\s\x95\x5Cshare\\", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(StartRuleHolds(c.folder), c.holds) << c.folder;
}

TEST(MakeRestoreBase, FileNameWithoutExeAndTheSuffix) {
    const char* cases[][2] = {
        {"C:\\dl\\game-patch.exe", "game-patch_恢复"},
        {"\\\\srv\\s\\PATCH.EXE", "PATCH_恢复"},
        {"C:\\dl\\patch", "patch_恢复"},
        {"C:\\dl.exe\\a.exe.bak", "a.exe.bak_恢复"},
        {"C:\\\x95\x5C\\\x95\x5C.exe", "\x95\x5C_恢复"},
    };
    for (const auto& c : cases) {
        char out[MAX_PATH + 8];
        MakeRestoreBase(c[0], out);
        EXPECT_STREQ(out, c[1]) << c[0];
    }
}

PatchTally TallyWith(unsigned failed, unsigned named) {
    PatchTally t;
    ZeroMemory(&t, sizeof t);
    t.failed = failed;
    t.named = named;
    return t;
}

TEST(ShellOutcome, Table) {
    PatchTally none = TallyWith(0, 0), some = TallyWith(2, 2);
    struct Case { int patch; int workerFailed; const PatchTally* tally; int expect; };
    const Case cases[] = {
        {PATCH_FINISHED, 0, &none, SHELL_FINISHED},
        {PATCH_FINISHED, 0, &some, SHELL_FAILURES},
        {PATCH_DATAERROR, 0, &some, SHELL_DATAERROR},
        {PATCH_CANCELLED, 0, &some, SHELL_CANCELLED},
        {PATCH_RESTOREFAILED, 0, &some, SHELL_RESTOREFAILED},
        {PATCH_CANCELLED, 1, &none, SHELL_NOTSTARTED},
        {PATCH_FINISHED, 1, &none, SHELL_NOTSTARTED},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ShellOutcome(c.patch, c.workerFailed, c.tally), c.expect)
            << c.patch << " " << c.workerFailed;
}

// The words a record's result has in the log, and a failure's reason in the
// messages: one per result bit, the unknown for anything else.
TEST(RecordResultText, EveryResultAndWhatIsNoResult) {
    struct Case { int result; int upToDate; const char* log; const char* reason; };
    const char* unknown = "未知原因";
    const Case cases[] = {
        {PR_OK, 0, "完成", unknown},
        {PR_OVERWRITTEN, 0, "已覆盖", unknown},
        {PR_SKIPPED, 0, "没有覆盖", unknown},
        {PR_NOTARGET, 0, "文件不存在或正被使用", "文件不存在或正被使用"},
        {PR_BADSOURCE, 0, "不是补丁所要求的版本", "不是补丁所要求的版本"},
        {PR_BADSOURCE, 1, "已是新版本", "不是补丁所要求的版本"},
        {PR_BADRESULT, 0, "更新后的文件校验不符", "更新后的文件校验不符"},
        {PR_NOTWRITTEN, 0, "无法写入", "无法写入"},
        {PR_BADDATA, 0, "补丁数据出错", unknown},
        {PR_OK, 1, "完成", unknown},
        {64, 0, unknown, unknown},
        {PR_NOTARGET | PR_BADSOURCE, 0, unknown, unknown},
        {PR_NOTWRITTEN | PR_BADDATA, 0, unknown, unknown},
        {256, 0, unknown, unknown},
        {-1, 0, unknown, unknown},
    };
    for (const Case& c : cases) {
        EXPECT_STREQ(RecordResultText(c.result, c.upToDate), c.log) << c.result;
        EXPECT_STREQ(FailureReason(c.result), c.reason) << c.result;
    }
}

TEST(OverwriteQuestion, CodePage936BytesAsTheyStand) {
    EXPECT_EQ(std::string(g_texts[T_OVERWRITE_TEXT]),
              "\xd0\xc2\xd4\xf6\xce\xc4\xbc\xfe\xd2\xd1\xbe\xad\xb4\xe6\xd4\xda\xa3\xac\xca\xc7\xb7\xf1"
              "\xb8\xb2\xb8\xc7\xa3\xbf");
    EXPECT_EQ(std::string(g_texts[T_OVERWRITE_CAPTION]), "\xd0\xc2\xd4\xf6\xce\xc4\xbc\xfe...");
}

const PatchRestoreState kNoRestore = {RESTORE_NONE, 0, 0, ""};

TEST(ComposeOutcome, FixedMessages) {
    PatchTally t = TallyWith(0, 0);
    struct Case { int outcome; const char* text; const char* caption; UINT type; };
    const Case cases[] = {
        {SHELL_FINISHED, "Patch Done !", "Done", MB_ICONEXCLAMATION},
        {SHELL_DATAERROR, "Patch文件数据出错，操作取消 !", "数据出错", MB_ICONHAND},
        {SHELL_CANCELLED, "操作被用户取消 !", "操作取消", MB_ICONHAND},
    };
    for (const Case& c : cases) {
        ShellMessage msg;
        ComposeOutcome(c.outcome, &t, &kNoRestore, &msg);
        EXPECT_STREQ(msg.text, c.text);
        EXPECT_STREQ(msg.caption, c.caption);
        EXPECT_EQ(msg.type, c.type);
    }
}

TEST(ComposeOutcome, FailuresAreCountedNamedAndExplained) {
    PatchTally t = TallyWith(4, 4);
    const struct { const char* name; int result; const char* reason; } failures[] = {
        {"a.dat", PR_NOTARGET, "文件不存在或正被使用"},
        {"子目录\\b.dat", PR_BADSOURCE, "不是补丁所要求的版本"},
        {"c.dat", PR_BADRESULT, "更新后的文件校验不符"},
        {"d.dat", PR_NOTWRITTEN, "无法写入"},
    };
    for (int i = 0; i < 4; i++) {
        lstrcpyA(t.failures[i].name, failures[i].name);
        t.failures[i].result = failures[i].result;
    }
    ShellMessage msg;
    ComposeOutcome(SHELL_FAILURES, &t, &kNoRestore, &msg);
    std::string text = msg.text;
    EXPECT_STREQ(msg.caption, "Done");
    EXPECT_EQ(msg.type, (UINT)MB_ICONWARNING);
    EXPECT_NE(text.rfind("Patch Done !", 0), 0u);
    EXPECT_NE(text.find("4 个文件"), std::string::npos) << text;
    size_t at = 0;
    for (const auto& f : failures) {
        std::string line = std::string("\r\n") + f.name + "：" + f.reason;
        size_t pos = text.find(line);
        EXPECT_NE(pos, std::string::npos) << line;
        EXPECT_GE(pos, at) << "names keep the run's order";
        at = pos;
    }
    EXPECT_EQ(text.find("…"), std::string::npos) << "no ellipsis when every name is listed";
}

TEST(ComposeOutcome, LongestListStillFitsAndEndsWithEllipsis) {
    PatchTally t = TallyWith(1000, PATCH_TALLY_NAMES);
    for (int i = 0; i < PATCH_TALLY_NAMES; i++) {
        memset(t.failures[i].name, 'n', PATCH_PATH_MAX - 1);
        t.failures[i].name[PATCH_PATH_MAX - 1] = 0;
        t.failures[i].result = PR_NOTWRITTEN;
    }
    ShellMessage msg;
    ComposeOutcome(SHELL_FAILURES, &t, &kNoRestore, &msg);
    std::string text = msg.text;
    ASSERT_LT(text.size(), (size_t)SHELL_TEXT_MAX);
    EXPECT_NE(text.find("1000 个文件"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 2), "…") << "the ellipsis is not cut off";
    size_t names = 0;
    for (size_t p = text.find("：无法写入"); p != std::string::npos; p = text.find("：无法写入", p + 1))
        names++;
    EXPECT_EQ(names, (size_t)PATCH_TALLY_NAMES);
}

// A run that stopped still says what it did and names what failed, under
// its own text, caption and icon; the restore file is named when it holds
// records, with the files it cannot remove.
TEST(ComposeOutcome, StoppedRunsAndTheRestoreFile) {
    PatchTally t = TallyWith(3, 2), clean = TallyWith(0, 0);
    t.ok = 4;
    t.overwritten = 1;
    t.failures[0] = {"a.dat", PR_NOTWRITTEN};
    t.failures[1] = {"b.dat", PR_BADSOURCE};
    const PatchRestoreState made = {RESTORE_MADE, 2, 0, "C:\\g\\p_恢复.exe"}, created = {RESTORE_MADE, 2, 3, "C:\\g\\p_恢复.exe"},
                            failed = {RESTORE_FAILED, 2, 0, "C:\\g\\p_恢复(2).exe"}, atOnce = {RESTORE_FAILED, 0, 0, "C:\\g\\p.exe"};
    const std::string list = "5 个文件已更新；以下文件没有更新：\r\na.dat：无法写入\r\nb.dat：不是补丁所要求的版本\r\n…",
                      stopped = "无法写入恢复文件，安装已停止，其余文件没有更新。\r\n已更新 ", note = "\r\n\r\n恢复文件可以把更新过的文件恢复原样：\r\n";
    struct Case { int outcome; const PatchTally* tally; const PatchRestoreState* restore; std::string text; const char* caption; };
    const Case cases[] = {
        {SHELL_CANCELLED, &t, &kNoRestore, "操作被用户取消 !\r\n\r\n" + list, "操作取消"},
        {SHELL_DATAERROR, &t, &kNoRestore, "Patch文件数据出错，操作取消 !\r\n\r\n" + list, "数据出错"},
        {SHELL_FINISHED, &clean, &made, "Patch Done !" + note + "C:\\g\\p_恢复.exe", "Done"},
        {SHELL_CANCELLED, &clean, &created, "操作被用户取消 !" + note + "C:\\g\\p_恢复.exe\r\n本次新建的 3 个文件不能由它删除。", "操作取消"},
        {SHELL_RESTOREFAILED, &t, &failed, stopped + "5 个文件。\r\n\r\n以下文件没有更新：" + list.substr(list.find("\r\n")) + note +
         "C:\\g\\p_恢复(2).exe", "错误"},
        {SHELL_RESTOREFAILED, &clean, &atOnce, stopped + "0 个文件。", "错误"},
    };
    for (const Case& c : cases) {
        ShellMessage msg;
        ComposeOutcome(c.outcome, c.tally, c.restore, &msg);
        EXPECT_EQ(msg.text, c.text);
        EXPECT_STREQ(msg.caption, c.caption) << c.text;
        EXPECT_EQ(msg.type, c.outcome == SHELL_FINISHED ? (UINT)MB_ICONEXCLAMATION : (UINT)MB_ICONHAND) << c.text;
    }
}

// A long restore-file path is put on lines the message box cannot clip:
// none longer than 32 bytes, broken after a folder's separator where one
// fits and never inside a double-byte character (trail byte 0x5C
// included), and nothing lost.
TEST(ComposeOutcome, LongRestorePathOnLinesThatFit) {
    const std::string note = "恢复文件可以把更新过的文件恢复原样：\r\n";
    std::string pairs;  // 0x95 0x5C, twenty times: a folder name of 40 bytes
    for (int i = 0; i < 20; i++)
        pairs += "\x95\x5C";
    struct Case { std::string path, lines; } cases[] = {
        {"C:\\Program Files\\幻想之旅\\patch_恢复.exe", "C:\\Program Files\\幻想之旅\\\r\npatch_恢复.exe"},
        {"D:\\" + pairs + "\\p_恢复.exe",
         "D:\\" + pairs.substr(0, 28) + "\r\n" + pairs.substr(28) + "\\p_恢复.exe"},
        {"E:\\a\\" + std::string(40, 'x') + "_恢复(99).exe", ""},
        {"\\\\server\\share\\游戏\\汉化补丁_恢复(2).exe", ""},
    };
    PatchTally t = TallyWith(0, 0);
    for (const Case& k : cases) {
        PatchRestoreState r = {RESTORE_MADE, 1, 0, ""};
        lstrcpyA(r.path, k.path.c_str());
        ShellMessage msg;
        ComposeOutcome(SHELL_FINISHED, &t, &r, &msg);
        std::string text = msg.text;
        size_t at = text.find(note);
        ASSERT_NE(at, std::string::npos) << text;
        std::string lines = text.substr(at + note.size()), joined;
        if (!k.lines.empty()) {
            EXPECT_EQ(lines, k.lines);
        }
        std::set<size_t> starts;  // where the path's characters start
        for (size_t i = 0; i < k.path.size(); i += CharLength(&k.path[i], k.path.size() - i, IsLeadByte936))
            starts.insert(i);
        for (size_t from = 0, end; from <= lines.size(); from = end + 2) {
            end = (std::min)(lines.find("\r\n", from), lines.size());
            EXPECT_LE(end - from, 32u) << lines;
            EXPECT_TRUE(starts.count(joined.size())) << "a line starts inside a character: " << lines;
            joined += lines.substr(from, end - from);
        }
        EXPECT_EQ(joined, k.path);
    }
}

TEST(ComposeProceed, NamesTheFirstSixteenAndCountsTheRest) {
    PatchCheck check;
    ZeroMemory(&check, sizeof check);
    check.mismatched = 20;
    check.listed = PATCH_TALLY_NAMES;
    for (int i = 0; i < PATCH_TALLY_NAMES; i++) {
        wsprintfA(check.list[i].name, "f%d", i);
        check.list[i].result = i == 15 ? PR_BADSOURCE : PR_NOTARGET;
    }
    ShellMessage msg;
    ComposeProceed(&check, &msg);
    std::string text = msg.text;
    EXPECT_EQ(text.rfind("以下 20 个文件不存在或不是补丁所要求的版本，不能更新：\r\nf0：文件不存在或正被使用\r\nf1：", 0), 0u) << text;
    EXPECT_EQ(text.substr(text.find("\r\nf15：")),
              "\r\nf15：不是补丁所要求的版本\r\n另有 4 个文件\r\n\r\n是否继续更新其他文件？") << text;
    EXPECT_EQ(msg.type, (UINT)(MB_YESNO | MB_ICONQUESTION));
}

// What a line asks for, as "SBCR|log|folder" with - for each flag not set.
TEST(ParseArgs, OptionsAndTheFolderOfAnUnattendedRun) {
    const char* cases[][2] = {
        {"patch.exe", "----||"},
        {"\"C:\\a b\\patch.exe\"/s", "S---||"},
        {"p.exe /S /d=C:\\Games\\My Game  ", "S---||C:\\Games\\My Game\\"},
        {"p.exe /D=C:\\X\\ /S", "----||C:\\X\\ /S\\"},  // /D= runs to the end
        {"p.exe\t/continue /Restore \"/LOG=C:\\l g.txt\" /S", "S-CR|C:\\l g.txt|"},
        {"p.exe /S /LOG=\"C:\\l g.txt\" /D=C:\\\x95\x5C", "S---|C:\\l g.txt|C:\\\x95\x5C\\"},
        {"p.exe /S /SS", "SB--||"},
        {"p.exe /S /LOG=", "SB--||"},
        {"p.exe /S /D=", "SB--||"},
    };
    for (const auto& c : cases) {
        ShellArgs a;
        ParseArgs(c[0], &a);
        std::string got = std::string(a.silent ? "S" : "-") + (a.bad ? "B" : "-") + (a.proceed ? "C" : "-") +
                          (a.restore ? "R" : "-") + "|" + a.log + "|" + a.folder;
        EXPECT_EQ(got, c[1]) << c[0];
    }
}

}  // namespace
