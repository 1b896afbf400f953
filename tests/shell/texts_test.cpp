// The shell's window-free decisions and texts: the quoted first token of
// the command line, the enabling rule of Start, the outcome of a run and
// the outcome message with its list of failures.
#include <gtest/gtest.h>

#include <string>

#include "shell/shell.h"

namespace {

struct TokenCase {
    const char* why;
    const char* text;
    size_t cap;
    int ok;
    const char* token;
};

TEST(ExtractQuotedToken, Table) {
    const TokenCase cases[] = {
        {"plain", "\"C:\\a\\p.exe\" arg", 260, 1, "C:\\a\\p.exe"},
        {"nothing after", "\"C:\\p.exe\"", 260, 1, "C:\\p.exe"},
        {"empty token", "\"\" x", 260, 1, ""},
        {"spaces inside", "\"C:\\Program Files\\p.exe\"", 260, 1, "C:\\Program Files\\p.exe"},
        {"no leading quote", "C:\\p.exe", 260, 0, nullptr},
        {"leading space", " \"C:\\p.exe\"", 260, 0, nullptr},
        {"no closing quote", "\"C:\\p.exe", 260, 0, nullptr},
        {"token fills the buffer exactly", "\"abcd\"", 5, 1, "abcd"},
        {"token one byte too long", "\"abcde\"", 5, 0, nullptr},
        {"empty text", "", 260, 0, nullptr},
    };
    for (const TokenCase& c : cases) {
        char out[300];
        memset(out, 'Z', sizeof out);
        EXPECT_EQ(ExtractQuotedToken(c.text, out, c.cap), c.ok) << c.why;
        if (c.ok)
            EXPECT_STREQ(out, c.token) << c.why;
        else
            EXPECT_EQ(out[0], 'Z') << c.why << ": nothing is written on failure";
    }
    EXPECT_EQ(ExtractQuotedToken(nullptr, nullptr, 0), 0);
}

TEST(ExtractQuotedToken, LongPathIsRefused) {
    std::string path(MAX_PATH, 'a');
    std::string text = "\"" + path + "\"";
    char out[MAX_PATH];
    EXPECT_EQ(ExtractQuotedToken(text.c_str(), out, sizeof out), 0);
    path.resize(MAX_PATH - 1);
    text = "\"" + path + "\"";
    EXPECT_EQ(ExtractQuotedToken(text.c_str(), out, sizeof out), 1);
    EXPECT_EQ(strlen(out), (size_t)MAX_PATH - 1);
}

TEST(StartRuleHolds, LooksAtTheLastByte) {
    struct Case { const char* folder; int holds; };
    const Case cases[] = {
        {"", 0}, {"\\", 1}, {"C:\\X\\", 1}, {"C:\\X", 0}, {"C:\\X\\ ", 0},
        {"C:\\x\x81\x5C", 1},  // trail byte 0x5C: the last byte, not the character
        {"C:\\x/", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(StartRuleHolds(c.folder), c.holds) << c.folder;
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
        {PATCH_CANCELLED, 1, &none, SHELL_NOTSTARTED},
        {PATCH_FINISHED, 1, &none, SHELL_NOTSTARTED},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ShellOutcome(c.patch, c.workerFailed, c.tally), c.expect)
            << c.patch << " " << c.workerFailed;
}

TEST(OverwriteQuestion, CodePage936BytesAsTheyStand) {
    EXPECT_EQ(std::string(kOverwriteText),
              "\xd0\xc2\xd4\xf6\xce\xc4\xbc\xfe\xd2\xd1\xbe\xad\xb4\xe6\xd4\xda\xa3\xac\xca\xc7\xb7\xf1"
              "\xb8\xb2\xb8\xc7\xa3\xbf");
    EXPECT_EQ(std::string(kOverwriteCaption), "\xd0\xc2\xd4\xf6\xce\xc4\xbc\xfe...");
}

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
        ComposeOutcome(c.outcome, &t, &msg);
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
    ComposeOutcome(SHELL_FAILURES, &t, &msg);
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
    ComposeOutcome(SHELL_FAILURES, &t, &msg);
    std::string text = msg.text;
    ASSERT_LT(text.size(), (size_t)SHELL_TEXT_MAX);
    EXPECT_NE(text.find("1000 个文件"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 2), "…") << "the ellipsis is not cut off";
    size_t names = 0;
    for (size_t p = text.find("：无法写入"); p != std::string::npos; p = text.find("：无法写入", p + 1))
        names++;
    EXPECT_EQ(names, (size_t)PATCH_TALLY_NAMES);
}

}  // namespace
