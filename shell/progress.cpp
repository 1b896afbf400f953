// The progress dialog: starts the worker, turns Cancel into a stop request,
// follows the run record by record and closes on the worker's end message.
#include "shell/shell.h"

#include <commctrl.h>

volatile LONG g_workerFailed;

static HANDLE s_worker;
static int s_ended;  // the worker's end message has arrived

// The bar and the percentage; during the check the label says so.
static void ShowProgress(HWND dlg, unsigned done, unsigned count, int checking) {
    // done is at most 65535, so done * 100 fits in 32 bits
    unsigned percent = count ? done * 100 / count : 100;
    HWND bar = GetDlgItem(dlg, IDC_PROGRESS);
    SendMessageA(bar, PBM_SETRANGE32, 0, count ? count : 1);
    SendMessageA(bar, PBM_SETPOS, count ? done : 1, 0);
    char text[32];
    // the plain label is the checking one's tail
    static const char kChecking[] = "正在检查 %u%%";
    wsprintfA(text, checking ? kChecking : kChecking + sizeof kChecking - 5, percent);
    SendMessageA(GetDlgItem(dlg, IDC_PERCENT), WM_SETTEXT, 0, (LPARAM)text);
}

// Starts the worker. RunProgressDialog waits for it: the container must
// stay mapped until the worker has ended. Without one, the dialog ends as
// one that could not be made, so that both are handled in one place.
static void OnInitDialog(HWND dlg) {
    PatchSetKeepRunning(1);
    s_worker = StartPatchThread(dlg);
    if (!s_worker)
        EndDialog(dlg, -1);
}

INT_PTR CALLBACK ProgressDlgProc(HWND dlg, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_INITDIALOG:
        OnInitDialog(dlg);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDCANCEL) {
            // the record in progress is finished first; the worker stops after it
            PatchSetKeepRunning(0);
            return TRUE;
        }
        return FALSE;
    case WM_PATCHPROGRESS:
    case WM_PATCHCHECK:
        ShowProgress(dlg, (unsigned)wParam, (unsigned)lParam, msg == WM_PATCHCHECK);
        return TRUE;
    case WM_PATCHEND:
        s_ended = 1;
        EndDialog(dlg, 0);
        return FALSE;
    default:
        return FALSE;
    }
}

void RunProgressDialog(HWND owner) {
    INT_PTR r = DialogBoxParamA(g_instance, MAKEINTRESOURCEA(IDD_PROGRESS), owner,
                                ProgressDlgProc, 0);
    if (r == -1) {
        // No dialog or no worker, and nothing runs, so nothing may be
        // reported as finished; the flag may still be set from start-up.
        // Only this thread reads the mark.
        PatchSetKeepRunning(0);
        g_workerFailed = 1;
    }
    if (!s_worker)
        return;
    // A dialog that went away before the end message leaves the worker
    // running: it stops at the next record.
    if (!s_ended)
        PatchSetKeepRunning(0);
    WaitForSingleObject(s_worker, INFINITE);
    CloseHandle(s_worker);
    s_worker = NULL;
}
