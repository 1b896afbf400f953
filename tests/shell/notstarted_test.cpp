// The progress dialog when its worker cannot be started: the run must not
// be reported as finished. The dialog and its template are the applier's
// own; only the thread start is replaced, by one that fails as CreateThread
// does when the system is out of resources. Needs a display.
#include <gtest/gtest.h>

#include "shell/shell.h"

#include <commctrl.h>

// What the applier's start-up would have set.
HINSTANCE g_instance;
PatchContainer g_patch;
HWND g_mainWnd;
HWND g_folderEdit;

static int s_startCalls;

extern "C" HANDLE StartPatchThread(HWND) {
    s_startCalls++;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return NULL;
}

TEST(WorkerNotStarted, DialogEndsAndTheRunIsNotReportedAsFinished) {
    g_instance = GetModuleHandleA(NULL);
    LoadTexts();
    g_workerFailed = 0;
    PatchSetKeepRunning(0);
    ZeroMemory(&g_tally, sizeof g_tally);
    InitCommonControls();

    RunProgressDialog(NULL);

    EXPECT_EQ(s_startCalls, 1);
    EXPECT_FALSE(PatchKeepRunning()) << "the flag is cleared when nothing runs";
    EXPECT_NE(g_workerFailed, 0);
    int outcome = ShellOutcome(PatchOutcome(), g_workerFailed != 0, &g_tally);
    EXPECT_EQ(outcome, SHELL_NOTSTARTED);
    ShellMessage msg;
    ComposeOutcome(outcome, &g_tally, &g_restore, &msg);
    EXPECT_STREQ(msg.caption, "错误");
    EXPECT_STREQ(msg.text, "无法启动安装过程，没有修改任何文件。");
    EXPECT_EQ(msg.type, (UINT)MB_ICONHAND);
}

TEST(WorkerNotStarted, MissingTemplateCountsAsNotStarted) {
    // a module without the template: DialogBoxParamA fails at once
    g_instance = GetModuleHandleA("kernel32.dll");
    g_workerFailed = 0;
    PatchSetKeepRunning(1);
    RunProgressDialog(NULL);
    EXPECT_NE(g_workerFailed, 0);
    EXPECT_FALSE(PatchKeepRunning());
    g_instance = GetModuleHandleA(NULL);
}
