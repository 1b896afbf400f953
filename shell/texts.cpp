// The shell's texts and the small decisions behind them. Nothing here
// creates a window, so the host-side tests call these directly. The source
// is UTF-8; the compiler stores the literals in code page 936.
#include "shell/shell.h"

const char kHelpCaption[] = "帮助";
const char kHelpText[] =
    "使用方法：\r\n\r\n"
    "1. 在“目标文件夹”中输入要汉化的程序所在的文件夹，以 \\ 结尾；"
    "或者按“浏览”，在该文件夹中选择任意一个文件。\r\n"
    "2. 按“开始安装”。补丁会在该文件夹中新建文件，并更新原有文件；"
    "原有文件只有是补丁所要求的版本时才会被更新。"
    "新建的文件已经存在时会询问是否覆盖。\r\n"
    "3. 安装过程中可以按“取消”，正在处理的文件处理完后停止。\r\n\r\n"
    "结束时的消息：\r\n"
    "“Patch Done !”：所有文件都已处理。\r\n"
    "“Done”中列出文件：这些文件没有更新，并注明原因。\r\n"
    "“数据出错”：补丁程序本身已损坏，其后的文件没有处理。\r\n"
    "“操作取消”：安装被取消，已处理的文件保持更新后的内容。\r\n\r\n"
    "“是否生成恢复文件”一项不起作用：本程序不生成恢复文件。";

const char kOverwriteText[] = "新增文件已经存在，是否覆盖？";
const char kOverwriteCaption[] = "新增文件...";

const char kNoContainerText[] =
    "本程序文件中没有可用的补丁数据（文件不完整或已损坏），无法安装。\r\n"
    "请重新获取完整的补丁程序。";
const char kErrorCaption[] = "错误";

static const char kDoneText[] = "Patch Done !";
static const char kDoneCaption[] = "Done";
static const char kDataErrorText[] = "Patch文件数据出错，操作取消 !";
static const char kDataErrorCaption[] = "数据出错";
static const char kCancelledText[] = "操作被用户取消 !";
static const char kCancelledCaption[] = "操作取消";
static const char kNotStartedText[] = "无法启动安装过程，没有修改任何文件。";
static const char kFailuresHead[] = "安装结束，但有 %u 个文件没有更新：\r\n";
static const char kMoreNames[] = "…";

int ExtractQuotedToken(const char* text, char* out, size_t cap) {
    if (!text || text[0] != '"')
        return 0;
    size_t n = 0;
    while (text[1 + n] && text[1 + n] != '"')
        n++;
    if (text[1 + n] != '"' || n + 1 > cap)
        return 0;
    CopyMemory(out, text + 1, n);
    out[n] = 0;
    return 1;
}

int StartRuleHolds(const char* folder) {
    int len = lstrlenA(folder);
    return len > 0 && folder[len - 1] == '\\';
}

int ShellOutcome(int patchOutcome, int workerFailed, const PatchTally* tally) {
    if (workerFailed)
        return SHELL_NOTSTARTED;
    switch (patchOutcome) {
    case PATCH_FINISHED:
        return tally->failed ? SHELL_FAILURES : SHELL_FINISHED;
    case PATCH_DATAERROR:
        return SHELL_DATAERROR;
    default:
        return SHELL_CANCELLED;
    }
}

const char* FailureReason(int result) {
    switch (result) {
    case PR_NOTARGET: return "文件不存在或正被使用";
    case PR_BADSOURCE: return "不是补丁所要求的版本";
    case PR_BADRESULT: return "更新后的文件校验不符";
    case PR_NOTWRITTEN: return "无法写入";
    default: return "未知原因";
    }
}

// Appends s to the text, cutting it short rather than overrunning; returns
// 0 once the text is full.
static int Append(ShellMessage* msg, size_t* used, const char* s) {
    size_t n = (size_t)lstrlenA(s);
    size_t room = SHELL_TEXT_MAX - 1 - *used;
    if (n > room)
        n = room;
    CopyMemory(msg->text + *used, s, n);
    *used += n;
    msg->text[*used] = 0;
    return n == (size_t)lstrlenA(s);
}

static void ComposeFailures(const PatchTally* tally, ShellMessage* msg) {
    char head[128];
    wsprintfA(head, kFailuresHead, tally->failed);
    size_t used = 0;
    msg->text[0] = 0;
    Append(msg, &used, head);
    for (unsigned i = 0; i < tally->named && i < PATCH_TALLY_NAMES; i++) {
        const PatchFailure* f = &tally->failures[i];
        Append(msg, &used, "\r\n");
        Append(msg, &used, f->name);
        Append(msg, &used, "：");
        Append(msg, &used, FailureReason(f->result));
    }
    if (tally->failed > tally->named) {
        Append(msg, &used, "\r\n");
        Append(msg, &used, kMoreNames);
    }
}

static void SetMessage(ShellMessage* msg, const char* text, const char* caption, UINT type) {
    lstrcpyA(msg->text, text);  // the fixed texts are all short
    msg->caption = caption;
    msg->type = type;
}

void ComposeOutcome(int outcome, const PatchTally* tally, ShellMessage* msg) {
    switch (outcome) {
    case SHELL_FINISHED:
        SetMessage(msg, kDoneText, kDoneCaption, MB_ICONEXCLAMATION);
        break;
    case SHELL_FAILURES:
        ComposeFailures(tally, msg);
        msg->caption = kDoneCaption;
        msg->type = MB_ICONWARNING;
        break;
    case SHELL_DATAERROR:
        SetMessage(msg, kDataErrorText, kDataErrorCaption, MB_ICONHAND);
        break;
    case SHELL_NOTSTARTED:
        SetMessage(msg, kNotStartedText, kErrorCaption, MB_ICONHAND);
        break;
    default:
        SetMessage(msg, kCancelledText, kCancelledCaption, MB_ICONHAND);
        break;
    }
}
