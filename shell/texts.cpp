// The shell's texts and the small decisions behind them. Nothing here
// creates a window, so the host-side tests call these directly. The source
// is UTF-8; the compiler stores the literals in code page 936.
#include "shell/shell.h"

const char kHelpCaption[] = "帮助";
const char kHelpText[] =
    "使用方法：\r\n\r\n"
    "1. 在“目标文件夹”中输入要汉化的程序所在的文件夹（完整路径，以 \\ 结尾）；"
    "或者按“浏览”，在该文件夹中选择任意一个文件。\r\n"
    "2. 按“开始安装”。补丁先检查全部文件，再新建文件并更新原有文件；"
    "原有文件只有是补丁所要求的版本时才会被更新，有不符的文件时会先询问是否继续。"
    "新建的文件已经存在时会询问是否覆盖。\r\n"
    "3. 安装过程中可以按“取消”，正在处理的文件处理完后停止。\r\n\r\n"
    "结束时的消息：\r\n"
    "“Patch Done !”：所有文件都已处理。\r\n"
    "“Done”中列出文件：这些文件没有更新，并注明原因。\r\n"
    "“数据出错”：补丁程序本身已损坏，没有修改任何文件。\r\n"
    "“操作取消”：安装被取消，已处理的文件保持更新后的内容。\r\n\r\n"
    "选中“是否生成恢复文件”时，补丁在目标文件夹中生成恢复文件“补丁文件名_恢复.exe”，"
    "运行它可以把本次更新或覆盖的文件恢复为原来的内容；本次新建的文件不会被它删除。"
    "\r\n\r\n无人值守安装：补丁.exe /S [/CONTINUE] [/RESTORE] [/LOG=日志] [/D=文件夹]\r\n"
    "/S 不显示窗口，已存在的文件直接覆盖；/D= 须放在最后，可含空格，省略时用自动找到的文件夹；"
    "/CONTINUE 有不符的文件时仍更新其他文件；/RESTORE 生成恢复文件；/LOG= 以 UTF-8 记录每个文件的结果。\r\n"
    "退出码：0 全部完成；1 部分文件没有更新；2 补丁数据出错，未作修改；3 已取消，或因文件不符而停止；"
    "4 参数错误或找不到文件夹。";

const char kOverwriteText[] = "新增文件已经存在，是否覆盖？";
const char kOverwriteCaption[] = "新增文件...";

const char kNoContainerText[] =
    "本程序文件中没有可用的补丁数据（文件不完整或已损坏），无法安装。\r\n"
    "请重新获取完整的补丁程序。";
const char kErrorCaption[] = "错误";
const char kNotStartedText[] = "无法启动安装过程，没有修改任何文件。";

static const char kDoneText[] = "Patch Done !";
static const char kDoneCaption[] = "Done";
static const char kDataErrorText[] = "Patch文件数据出错，操作取消 !";
static const char kDataErrorCaption[] = "数据出错";
static const char kCancelledText[] = "操作被用户取消 !";
static const char kCancelledCaption[] = "操作取消";
static const char kFailuresHead[] = "安装结束，但有 %u 个文件没有更新：\r\n";
static const char kUpdatedHead[] = "\r\n\r\n%u 个文件已更新；以下文件没有更新：";
static const char kRestoreFailedText[] = "无法写入恢复文件，安装已停止，其余文件没有更新。\r\n已更新 %u 个文件。";
static const char kNotUpdatedHead[] = "\r\n\r\n以下文件没有更新：";
static const char kRestoreMade[] = "\r\n\r\n恢复文件可以把更新过的文件恢复原样：\r\n";
static const char kRestoreCreated[] = "\r\n本次新建的 %u 个文件不能由它删除。";
static const char kProceedHead[] = "以下 %u 个文件不存在或不是补丁所要求的版本，不能更新：";
static const char kProceedRest[] = "\r\n另有 %u 个文件";
static const char kProceedTail[] = "\r\n\r\n是否继续更新其他文件？";
static const char kProceedCaption[] = "文件不符";
static const char kRestoreSuffix[] = "_恢复";
static const char kMoreNames[] = "\r\n…";

// The longest line of a path in a message, in bytes (a double-byte
// character is about as wide as two single-byte ones): narrower than the
// message's own lines, so the box is made wide enough for it. A message box
// breaks lines only at spaces and clips an unbroken path.
enum { PATH_LINE_MAX = 32 };

static int IsLeadByteAcp(unsigned char byte) {
    return IsDBCSLeadByte(byte);
}

int StartRuleHolds(const char* folder) {
    size_t len = (size_t)lstrlenA(folder), i;
    unsigned need;  // separators still owed by a "\\server\share\" root
    char drive = (char)(folder[0] | 0x20);
    if (len >= 3 && drive >= 'a' && drive <= 'z' && folder[1] == ':' && folder[2] == '\\') {
        i = 3;
        need = 0;
    } else if (len >= 2 && folder[0] == '\\' && folder[1] == '\\') {
        // "\\.\" and "\\?\" are the device and raw namespaces, not servers
        if ((folder[2] == '.' || folder[2] == '?') && folder[3] == '\\')
            return 0;
        i = 2;
        need = 2;
    } else {
        return 0;  // relative: it would resolve against the current folder
    }
    char last = '\\';
    int empty = 1;  // the component so far is empty
    for (; i < len; i += CharLength(folder + i, len - i, IsLeadByteAcp)) {
        last = folder[i];  // the first byte of a double-byte character is never '\'
        if (last == '\\') {
            if (need && empty)
                return 0;  // no server or no share
            need -= need ? 1 : 0;
        }
        empty = last == '\\';
    }
    return need == 0 && last == '\\';
}

void MakeRestoreBase(const char* path, char* out) {
    size_t len = (size_t)lstrlenA(path);
    size_t name = FolderPartLength(path, len, IsLeadByteAcp);
    size_t n = len - name;
    // '.' is below every trail byte, so it always starts a character
    if (n >= 4 && lstrcmpiA(path + len - 4, ".exe") == 0)
        n -= 4;
    CopyMemory(out, path + name, n);
    lstrcpyA(out + n, kRestoreSuffix);
}

int ShellOutcome(int patchOutcome, int workerFailed, const PatchTally* tally) {
    if (workerFailed)
        return SHELL_NOTSTARTED;
    switch (patchOutcome) {
    case PATCH_FINISHED:
        return tally->failed ? SHELL_FAILURES : SHELL_FINISHED;
    case PATCH_DATAERROR:
        return SHELL_DATAERROR;
    case PATCH_RESTOREFAILED:
        return SHELL_RESTOREFAILED;
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

// The text being composed and how much of it is used.
typedef struct Composer {
    ShellMessage* msg;
    size_t used;
} Composer;

// Appends n bytes of s to the text, cutting them short rather than
// overrunning.
static void AppendBytes(Composer* c, const char* s, size_t n) {
    size_t room = SHELL_TEXT_MAX - 1 - c->used;
    if (n > room)
        n = room;
    CopyMemory(c->msg->text + c->used, s, n);
    c->used += n;
    c->msg->text[c->used] = 0;
}

// Appends s to the text, cutting it short rather than overrunning.
static void Append(Composer* c, const char* s) {
    AppendBytes(c, s, (size_t)lstrlenA(s));
}

// Appends a path on lines of at most PATH_LINE_MAX bytes, each folder
// (with its separator) and the file name on the line before when it fits
// there, else on the next. A part longer than a line is broken between two
// characters, never inside a double-byte one.
static void AppendPath(Composer* c, const char* path) {
    size_t len = (size_t)lstrlenA(path), line = 0;
    for (size_t i = 0, step; i < len; i += step, line += step) {
        step = CharLength(path + i, len - i, IsLeadByteAcp);
        size_t need = step;
        // A part starts: it is measured up to its separator. A trail byte
        // 0x5C taken for one here only moves a break; the characters are
        // still kept whole, and no line grows past the most.
        if (i && path[i - 1] == '\\')
            for (need = 0; i + need < len && path[i + need++] != '\\';) {
            }
        if (line && line + need > PATH_LINE_MAX) {
            Append(c, "\r\n");
            line = 0;
        }
        AppendBytes(c, path + i, step);
    }
}

// Appends a format with one number.
static void AppendNumber(Composer* c, const char* format, unsigned n) {
    char text[160];
    wsprintfA(text, format, n);
    Append(c, text);
}

// Appends one line per listed failure: its name and its reason.
static void AppendNames(Composer* c, const PatchFailure* list, unsigned listed) {
    for (unsigned i = 0; i < listed && i < PATCH_TALLY_NAMES; i++) {
        Append(c, "\r\n");
        Append(c, list[i].name);
        Append(c, "：");
        Append(c, FailureReason(list[i].result));
    }
}

// The failures of the run under head (a format with one number, n), with
// an ellipsis for those not named.
static void AppendFailures(Composer* c, const PatchTally* tally, const char* head, unsigned n) {
    AppendNumber(c, head, n);
    AppendNames(c, tally->failures, tally->named);
    if (tally->failed > tally->named)
        Append(c, kMoreNames);
}

static void Begin(Composer* c, ShellMessage* msg, const char* caption, UINT type) {
    c->msg = msg;
    c->used = 0;
    msg->text[0] = 0;
    msg->caption = caption;
    msg->type = type;
}

void ComposeOutcome(int outcome, const PatchTally* tally, const PatchRestoreState* restore, ShellMessage* msg) {
    Composer c;
    unsigned updated = tally->ok + tally->overwritten;
    switch (outcome) {
    case SHELL_FINISHED:
        Begin(&c, msg, kDoneCaption, MB_ICONEXCLAMATION);
        Append(&c, kDoneText);
        break;
    case SHELL_FAILURES:
        Begin(&c, msg, kDoneCaption, MB_ICONWARNING);
        AppendFailures(&c, tally, kFailuresHead, tally->failed);
        break;
    case SHELL_NOTSTARTED:
        Begin(&c, msg, kErrorCaption, MB_ICONHAND);
        Append(&c, kNotStartedText);
        return;
    case SHELL_RESTOREFAILED:
        Begin(&c, msg, kErrorCaption, MB_ICONHAND);
        AppendNumber(&c, kRestoreFailedText, updated);
        if (tally->failed)
            AppendFailures(&c, tally, kNotUpdatedHead, 0);
        break;
    default:
        // a run that stopped early still says what it did and what failed
        if (outcome == SHELL_DATAERROR) {
            Begin(&c, msg, kDataErrorCaption, MB_ICONHAND);
            Append(&c, kDataErrorText);
        } else {
            Begin(&c, msg, kCancelledCaption, MB_ICONHAND);
            Append(&c, kCancelledText);
        }
        if (tally->failed)
            AppendFailures(&c, tally, kUpdatedHead, updated);
        break;
    }
    // the restore file is named whenever it holds a record, a failed one too
    if (restore->state != RESTORE_NONE && restore->records) {
        Append(&c, kRestoreMade);
        AppendPath(&c, restore->path);
        if (restore->created)
            AppendNumber(&c, kRestoreCreated, restore->created);
    }
}

void ComposeProceed(const PatchCheck* check, ShellMessage* msg) {
    Composer c;
    Begin(&c, msg, kProceedCaption, MB_YESNO | MB_ICONQUESTION);
    AppendNumber(&c, kProceedHead, check->mismatched);
    AppendNames(&c, check->list, check->listed);
    if (check->mismatched > check->listed)
        AppendNumber(&c, kProceedRest, check->mismatched - check->listed);
    Append(&c, kProceedTail);
}

const char kNoFolderText[] = "找不到要安装的文件夹，没有修改任何文件。";

const char* RecordResultText(int result, int upToDate) {
    switch (result) {
    case PR_OK: return "完成";
    case PR_OVERWRITTEN: return "已覆盖";
    case PR_SKIPPED: return "没有覆盖";
    case PR_BADDATA: return "补丁数据出错";
    case PR_BADSOURCE: return upToDate ? "已是新版本" : FailureReason(result);
    default: return FailureReason(result);
    }
}
