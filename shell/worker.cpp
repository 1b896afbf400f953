// The worker thread: runs the engine over the container and talks to the
// progress dialog only through messages and the overwrite question.
#include "shell/shell.h"

// The question is owned by the progress dialog, so the dialog takes no
// input (Cancel included) until it is answered.
static int AskOverwrite(void* ctx, const char*) {
    return MessageBoxA((HWND)ctx, kOverwriteText, kOverwriteCaption, MB_ICONEXCLAMATION | MB_YESNO) == IDYES;
}

// Sent, not posted: the worker's last writes are ordered before the main
// thread reads the run state.
static void NotifyEnd(void* ctx, int finished) {
    SendMessageA((HWND)ctx, finished ? WM_PATCHDONE : WM_PATCHABORT, 0, 0);
}

static void Progress(void* ctx, int phase, unsigned done, unsigned count) {
    if (phase == PATCH_PHASE_APPLY)
        PostMessageA((HWND)ctx, WM_PATCHPROGRESS, done, count);
}

DWORD WINAPI PatchThreadProc(LPVOID param) {
    PatchHost host;
    host.askOverwrite = AskOverwrite;
    host.askProceed = 0;
    host.notifyEnd = NotifyEnd;
    host.progress = Progress;
    host.ctx = param;
    RunPatch(g_container, g_containerSize, g_targetDir, &host, 0);
    return 0;
}

HANDLE StartPatchThread(HWND dlg) {
    return CreateThread(NULL, 0, PatchThreadProc, dlg, 0, NULL);
}
