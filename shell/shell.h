/* The applier shell: program entry, main window, progress dialog and the
   worker thread that runs the engine. Identifiers here are shared with the
   resource script, so this header holds only preprocessor-safe definitions
   when RC_INVOKED is set. */
#ifndef KORVEX_SHELL_SHELL_H
#define KORVEX_SHELL_SHELL_H

/* templates, icons and controls */
#define IDI_FILE 101      /* the first icon group: what the file shows */
#define IDI_MAIN 102      /* class icon and the icon in the main window */
#define IDD_PROGRESS 113
#define IDD_MAIN 130
#define IDC_TARGETDIR 1000
#define IDC_BROWSE 1002
#define IDC_PROGRESS 1003
#define IDC_APPICON 1009
#define IDC_RESTORE 1013
#define IDC_HELPBTN 1014
#define IDC_PERCENT 4000
#define IDC_ABOUT1 1020   /* the panel's four lines, IDC_ABOUT1 + 0 to 3 */
#define IDC_ABOUT2 1021
#define IDC_ABOUT3 1022
#define IDC_ABOUT4 1023
/* The maker's texts and folder finding, when the patch carries them:
   RCDATA of 0-terminated "KEY=VALUE" strings in code page 936, ended by an
   empty one. */
#define IDR_BRANDING 200

#ifndef RC_INVOKED

#include <windows.h>
#include <stddef.h>

#include "engine/patch.h"

/* The worker's messages to the progress dialog. */
enum {
    WM_PATCHEND = WM_USER + 10,      /* the run has ended, however it went */
    WM_PATCHPROGRESS = WM_USER + 12, /* wParam records done of lParam */
    WM_PATCHCHECK = WM_USER + 13     /* the same during the check before the first write */
};

/* What the user is told after the main window's Start. */
enum {
    SHELL_FINISHED = 0,   /* every record done, none failed */
    SHELL_FAILURES = 1,   /* finished, but some files were not patched */
    SHELL_DATAERROR = 2,
    SHELL_CANCELLED = 3,
    SHELL_NOTSTARTED = 4,     /* the worker or the dialog could not be started */
    SHELL_RESTOREFAILED = 5   /* the restore file could not be written: the run stopped */
};

enum { SHELL_TEXT_MAX = 6144 };  /* 16 names with their reasons fit */

/* Where the text of an outcome message goes. */
typedef struct ShellMessage {
    char text[SHELL_TEXT_MAX];
    const char* caption;
    UINT type;
} ShellMessage;

#ifdef __cplusplus
extern "C" {
#endif

extern HINSTANCE g_instance;
extern PatchContainer g_patch;         /* the container, of either form, in the open
                                         file (never mapped), up to the file's end or
                                         the certificate table of a signed patch */
extern const unsigned char* g_stub;   /* mapped: the applier's own bytes, up to
                                         the container (g_patch.offset) */
extern char g_restoreBase[MAX_PATH + 8];  /* the restore file's name without ".exe" */
extern char g_selfPath[MAX_PATH];     /* the program's own file, once the container is found */
extern int g_wantRestore;             /* the restore box was checked at Start, or /RESTORE given */
extern HWND g_mainWnd;
extern HWND g_folderEdit;
extern char g_targetDir[MAX_PATH];    /* the folder the run patches */
extern char g_lastPath[MAX_PATH];
extern volatile LONG g_workerFailed;  /* set when no run could be started */

/* --- texts.cpp: no windows, so the host tests can call them --- */

/* The enabling rule of Start: the folder text is absolute ("X:\" or
   "\\server\share\" and what follows) and its last character, walked in
   the ANSI code page, is a backslash; a trail byte 0x5C is no separator. */
int StartRuleHolds(const char* folder);

/* The restore file's name without ".exe" for the program at path: its file
   name, a final ".exe" taken off, followed by "_恢复". out holds
   MAX_PATH + 8 bytes. */
void MakeRestoreBase(const char* path, char* out);

/* Outcome of the run that has just ended, from the run state and the
   tally. */
int ShellOutcome(int patchOutcome, int workerFailed, const PatchTally* tally);

/* Fills msg with the text, caption and icon of an outcome; restore says
   what became of the restore file. */
void ComposeOutcome(int outcome, const PatchTally* tally, const PatchRestoreState* restore, ShellMessage* msg);

/* Fills msg with the one question put before the first write when some
   delta targets are missing or of another version. */
void ComposeProceed(const PatchCheck* check, ShellMessage* msg);

/* Reason for one failed record, in words. */
const char* FailureReason(int result);

/* The texts, by their ids in shell/texts.def: g_texts[T_HELP_TEXT] and so
   on. LoadTexts unpacks them; it runs before anything else uses one. */
enum {
#define SHELL_TEXT(id, text) id,
#include "shell/texts.def"
#undef SHELL_TEXT
    T_COUNT
};
extern const char* g_texts[T_COUNT];
void LoadTexts(void);

/* --- args.cpp: the command line, window-free --- */

/* What the command line asks for. Without /S the rest is not looked at. */
typedef struct ShellArgs {
    int silent;              /* /S: an unattended run, no windows */
    int bad;                 /* an unknown argument or a value that cannot be used */
    int proceed;             /* /CONTINUE: go on past targets that do not match */
    int restore;             /* /RESTORE: make the restore file */
    char log[MAX_PATH];      /* /LOG=FILE, or empty */
    char folder[MAX_PATH];   /* /D=FOLDER with its separator, or empty */
} ShellArgs;

/* Exit codes of an unattended run: SHELL_FINISHED to SHELL_CANCELLED as
   they are, and this one for a bad argument, no container or no folder. */
enum { SHELL_EXIT_BADARG = 4 };

/* Parses a whole command line (GetCommandLineA's), the program's own name
   first. Options are case-insensitive; /D= takes the rest of the line. */
void ParseArgs(const char* line, ShellArgs* args);

/* Words for what became of one record in an unattended run's log. */
const char* RecordResultText(int result, int upToDate);

/* --- brand.cpp --- */

/* Finds the branding resource, if the patch has one. */
void LoadBranding(void);

/* The next value of key after *at (0 to start; moved past the value), or
   0 when there is none. Values point into the resource. */
const char* BrandValue(const char* key, const char** at);

/* The Help button's text: the maker's, else the built-in help. */
const char* HelpText(void);

/* Puts the maker's caption and panel lines on the main window. */
void ShowBranding(HWND wnd);

/* The first candidate folder that fits into out (MAX_PATH): the patch's
   own, then each FINDREG value. Unless always, only a patch that names
   how to find its folder (FINDREG or FINDFILE) looks at all. Returns 0,
   out empty, when none fits. */
int FindFolder(char* out, int always);

/* --- silent.cpp --- */

/* The unattended run; mapped says whether the container was found.
   Returns the exit code. Makes no window. */
int RunUnattended(const ShellArgs* args, int mapped);

/* --- mainwnd.cpp --- */
LRESULT CALLBACK MainWndProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);

/* --- progress.cpp --- */
INT_PTR CALLBACK ProgressDlgProc(HWND dlg, UINT msg, WPARAM wParam, LPARAM lParam);

/* Runs the progress dialog over owner until the run has ended; notes in
   g_workerFailed when the dialog itself could not be made. */
void RunProgressDialog(HWND owner);

/* --- worker.cpp --- */
DWORD WINAPI PatchThreadProc(LPVOID param);

/* Runs the engine over the container into g_targetDir, with the restore
   file when g_wantRestore is set; host answers its questions. */
void RunShellPatch(const PatchHost* host);

/* Fills msg with the outcome of the run that has just ended (one that
   could not start when g_workerFailed is set) and returns that outcome. */
int ComposeRunOutcome(ShellMessage* msg);

/* Starts the worker for the dialog; returns its handle, NULL on failure. */
HANDLE StartPatchThread(HWND dlg);

#ifdef __cplusplus
}
#endif

#endif /* RC_INVOKED */
#endif
