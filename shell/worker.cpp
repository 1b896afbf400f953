// The worker thread: runs the engine over the container and talks to the
// progress dialog only through messages and its two questions.
#include "shell/shell.h"

static ShellMessage s_question;
static unsigned s_lastStep;

// The question is owned by the progress dialog, so the dialog takes no
// input (Cancel included) until it is answered.
static int AskOverwrite(void* ctx, const char*) {
    return MessageBoxA((HWND)ctx, g_texts[T_OVERWRITE_TEXT], g_texts[T_OVERWRITE_CAPTION], MB_ICONEXCLAMATION | MB_YESNO) == IDYES;
}

// The one question before the first write, owned like the overwrite
// question. A Cancel or a close while it was up counts as No.
static int AskProceed(void* ctx, const PatchCheck* check) {
    ComposeProceed(check, &s_question);
    return MessageBoxA((HWND)ctx, s_question.text, s_question.caption, s_question.type) == IDYES &&
           PatchKeepRunning();
}

// Sent, not posted: the worker's last writes are ordered before the main
// thread reads the run state. How the run ended is read from that state.
static void NotifyEnd(void* ctx, int) {
    SendMessageA((HWND)ctx, WM_PATCHEND, 0, 0);
}

// One message per percent and phase: the check can pass thousands of
// records faster than the dialog draws them.
static void Progress(void* ctx, int phase, unsigned done, unsigned count) {
    unsigned step = (unsigned)phase * 101 + (count ? done * 100 / count : 100) + 1;
    if (step == s_lastStep)
        return;
    s_lastStep = step;
    PostMessageA((HWND)ctx, phase == PATCH_PHASE_CHECK ? WM_PATCHCHECK : WM_PATCHPROGRESS, done, count);
}

void RunShellPatch(const PatchHost* host) {
    PatchRestore restore = {g_targetDir, g_restoreBase, g_stub, (size_t)g_patch.offset};
    RunPatchContainer(&g_patch, g_targetDir, host, g_wantRestore ? &restore : 0);
}

int ComposeRunOutcome(ShellMessage* msg) {
    int outcome = ShellOutcome(PatchOutcome(), g_workerFailed != 0, &g_tally);
    ComposeOutcome(outcome, &g_tally, &g_restore, msg);
    return outcome;
}

DWORD WINAPI PatchThreadProc(LPVOID param) {
    PatchHost host = {AskOverwrite, AskProceed, NotifyEnd, Progress, param, 0};
    RunShellPatch(&host);
    return 0;
}

HANDLE StartPatchThread(HWND dlg) {
    return CreateThread(NULL, 0, PatchThreadProc, dlg, 0, NULL);
}
