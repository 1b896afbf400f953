// The progress dialog: starts the worker, turns Cancel into a stop request,
// follows the run record by record and closes on the worker's end message.
#include "shell/shell.h"

#include <commctrl.h>

volatile LONG g_workerFailed;

static void ShowProgress(HWND dlg, unsigned done, unsigned count) {
    // done is at most 65535, so done * 100 fits in 32 bits
    unsigned percent = count ? done * 100 / count : 100;
    HWND bar = GetDlgItem(dlg, IDC_PROGRESS);
    SendMessageA(bar, PBM_SETRANGE32, 0, count ? count : 1);
    SendMessageA(bar, PBM_SETPOS, count ? done : 1, 0);
    char text[16];
    wsprintfA(text, "%u%%", percent);
    SetWindowTextA(GetDlgItem(dlg, IDC_PERCENT), text);
}

static void OnInitDialog(HWND dlg) {
    PatchSetKeepRunning(1);
    HANDLE thread = StartPatchThread(dlg);
    if (!thread) {
        // Nothing runs, so nothing may be reported as finished.
        PatchSetKeepRunning(0);
        InterlockedExchange(&g_workerFailed, 1);
        EndDialog(dlg, 0);
        return;
    }
    // Nothing waits on the worker: its end message is the only join.
    CloseHandle(thread);
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
        ShowProgress(dlg, (unsigned)wParam, (unsigned)lParam);
        return TRUE;
    case WM_PATCHDONE:
    case WM_PATCHABORT:
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
        // no dialog, so no worker: the flag may still be clear from start-up
        PatchSetKeepRunning(0);
        InterlockedExchange(&g_workerFailed, 1);
    }
}
