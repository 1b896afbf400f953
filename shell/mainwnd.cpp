// The main window: folder choice, Browse, Start, Help and the outcome.
#include "shell/shell.h"

#include <commdlg.h>

char g_targetDir[MAX_PATH];
char g_lastPath[MAX_PATH];
int g_wantRestore;

static OPENFILENAMEA s_ofn;
static ShellMessage s_message;
// Set at Start and never cleared: the window ends after its one run.
static int s_started;

static void ApplyStartRule(HWND wnd) {
    HWND start = GetDlgItem(wnd, IDOK);
    if (start)
        EnableWindow(start, StartRuleHolds(g_targetDir));
}

// Reads the folder text; one too long to be read whole reads as empty, so
// that what is used is always what is on screen.
static void ReadFolderText(HWND edit) {
    if (SendMessageA(edit, WM_GETTEXTLENGTH, 0, 0) < MAX_PATH)
        SendMessageA(edit, WM_GETTEXT, MAX_PATH, (LPARAM)g_targetDir);
    else
        g_targetDir[0] = 0;
}

// The user picks any file in the folder to patch; its folder part, with
// the trailing backslash, becomes the folder text.
static void OnBrowse(HWND wnd) {
    // the small form of the request, which every Windows version accepts
    s_ofn.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
    s_ofn.hwndOwner = wnd;
    s_ofn.lpstrFilter = "所有文件 (*.*)\0*.*\0";
    s_ofn.nMaxFile = MAX_PATH;
    s_ofn.lpstrFile = g_targetDir;
    // the current folder stays as it was, so nothing resolves against the
    // folder the dialog was last in
    s_ofn.Flags = OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
    // the dialog opens on the file chosen last time
    lstrcpyA(g_targetDir, g_lastPath);
    if (!GetOpenFileNameA(&s_ofn)) {
        // Cancelled: the folder text stays exactly as it was, and so does
        // Start, which messages during the dialog judged by the copy above.
        ReadFolderText(g_folderEdit);
        ApplyStartRule(wnd);
        return;
    }
    lstrcpyA(g_lastPath, g_targetDir);
    // the file's name starts where the folder part, with its backslash, ends
    g_targetDir[s_ofn.nFileOffset] = 0;
    SendMessageA(g_folderEdit, WM_SETTEXT, 0, (LPARAM)g_targetDir);
}

static void ShowOutcome(HWND wnd) {
    ComposeRunOutcome(&s_message);
    MessageBoxA(wnd, s_message.text, s_message.caption, s_message.type);
}

static void OnStart(HWND wnd) {
    // Enter can reach Start while the button is disabled; a folder without
    // its backslash would have the names joined to its last part.
    if (!StartRuleHolds(g_targetDir))
        return;
    s_started = 1;
    g_wantRestore = SendMessageA(GetDlgItem(wnd, IDC_RESTORE), BM_GETCHECK, 0, 0) == BST_CHECKED;
    RunProgressDialog(wnd);
    ShowOutcome(wnd);
    DestroyWindow(wnd);
}

static void OnHelp(HWND wnd) {
    MessageBoxA(wnd, HelpText(), g_texts[T_HELP_CAPTION], MB_ICONINFORMATION);
}

// Exit, a close from the title bar, End task or a log-off: before Start the
// window ends; from Start on they act as Cancel at the next record, and the
// window stays until the run and its outcome message are over, so the
// container stays mapped while the worker reads it.
static void OnClose(HWND wnd) {
    if (s_started)
        PatchSetKeepRunning(0);
    else
        DestroyWindow(wnd);
}

// Returns 1 when the command was handled and 0 when it goes on to the
// enabling rule and the default procedure.
static int OnCommand(HWND wnd, WPARAM wParam, LPARAM lParam) {
    // Once started, a queued or sent command (a second Start, Browse, a
    // new folder text) must not reach the run's buffers.
    // Exit acts as a close, before Start and after.
    if (LOWORD(wParam) == IDCANCEL)
        OnClose(wnd);
    if (s_started || LOWORD(wParam) == IDCANCEL)
        return 1;
    switch (LOWORD(wParam)) {
    case IDOK:
        OnStart(wnd);
        return 1;
    case IDC_BROWSE:
        OnBrowse(wnd);
        return 1;
    case IDC_HELPBTN:
        OnHelp(wnd);
        return 1;
    case IDC_TARGETDIR:
        ReadFolderText((HWND)lParam);
        return 0;
    default:
        return 0;
    }
}

LRESULT CALLBACK MainWndProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_CLOSE:
        OnClose(wnd);
        return 0;
    case WM_SYSCOMMAND:
        // the default procedure drops SC_CLOSE while the window is disabled
        if ((wParam & 0xFFF0) == SC_CLOSE) {
            OnClose(wnd);
            return 0;
        }
        break;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_COMMAND:
        if (OnCommand(wnd, wParam, lParam))
            return 0;
        break;
    default:
        break;
    }
    ApplyStartRule(wnd);
    return DefWindowProcA(wnd, msg, wParam, lParam);
}
