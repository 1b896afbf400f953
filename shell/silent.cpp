// The unattended run (/S): no window at all. The overwrite question is
// answered Yes, targets that do not match stop the run unless /CONTINUE,
// and what the outcome message would say goes to the exit code and, with
// /LOG=, to a UTF-8 file, a line for each record.
#include "shell/shell.h"

static_assert(SHELL_FINISHED == 0 && SHELL_FAILURES == 1 && SHELL_DATAERROR == 2 && SHELL_CANCELLED == 3,
              "the outcomes of a run are its exit codes");

static HANDLE s_log;  // 0 without /LOG=
static ShellMessage s_message;
static WCHAR s_wide[SHELL_TEXT_MAX];
static char s_utf8[SHELL_TEXT_MAX * 3];

// Writes n bytes of text (code page 936, whatever the system's) to the log
// as UTF-8; nothing without a log.
static void LogBytes(const char* text, int n) {
    if (!s_log || n <= 0)
        return;
    int wide = MultiByteToWideChar(936, 0, text, n, s_wide, SHELL_TEXT_MAX);
    int bytes = WideCharToMultiByte(CP_UTF8, 0, s_wide, wide, s_utf8, sizeof s_utf8, NULL, NULL);
    DWORD written;
    if (bytes > 0)
        WriteFile(s_log, s_utf8, (DWORD)bytes, &written, NULL);
}

static void LogLine(const char* text) {
    LogBytes(text, lstrlenA(text));
    LogBytes("\r\n", 2);
}

// A record's line: its name (len bytes, as the container holds it) and
// what became of it.
static void LogRecord(const char* name, size_t len, const char* words) {
    LogBytes(name, (int)(len < (size_t)PATCH_PATH_MAX ? len : (size_t)PATCH_PATH_MAX));
    LogBytes("：", 2);
    LogLine(words);
}

static int AnswerYes(void*, const char*) {
    return 1;
}

// The targets that do not match are logged as the question would have
// named them; then /CONTINUE decides.
static int Proceed(void* ctx, const PatchCheck* check) {
    for (unsigned i = 0; i < check->listed; i++) {
        const PatchFailure* f = &check->list[i];
        LogRecord(f->name, (size_t)lstrlenA(f->name), FailureReason(f->result));
    }
    return *(const int*)ctx;
}

static void RecordDone(void*, const PatchRecordNote* note, int result) {
    LogRecord(note->head.name, note->head.nameLen, RecordResultText(result, note->upToDate));
}

// What /CONTINUE says, where Proceed reads it.
static int s_proceed;
static const PatchHost kHost = {AnswerYes, Proceed, 0, 0, &s_proceed, RecordDone};

// The run itself, once the log is open: the folder of /D= or the one
// found, then the engine's run and its outcome.
static int Run(const ShellArgs* args, int mapped) {
    if (!mapped) {
        LogLine(g_texts[T_NO_CONTAINER_TEXT]);
        return SHELL_EXIT_BADARG;
    }
    // the same folder and restore choice the window's Start would take
    if (args->folder[0])
        lstrcpyA(g_targetDir, args->folder);
    else if (!FindFolder(g_targetDir, 1)) {
        LogLine(g_texts[T_NO_FOLDER_TEXT]);
        return SHELL_EXIT_BADARG;
    }
    g_wantRestore = args->restore;
    s_proceed = args->proceed;
    PatchSetKeepRunning(1);
    RunShellPatch(&kHost);
    int outcome = ComposeRunOutcome(&s_message);
    LogLine(s_message.text);
    // a restore file that could not be written stopped the run
    return outcome == SHELL_RESTOREFAILED ? SHELL_CANCELLED : outcome;
}

int RunUnattended(const ShellArgs* args, int mapped) {
    if (args->bad)
        return SHELL_EXIT_BADARG;
    if (args->log[0]) {
        HANDLE log = CreateFileA(args->log, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, NULL);
        if (log == INVALID_HANDLE_VALUE)
            return SHELL_EXIT_BADARG;
        s_log = log;
    }
    int code = Run(args, mapped);
    // the run is the process's one: nothing logs after it
    if (s_log)
        CloseHandle(s_log);
    return code;
}
