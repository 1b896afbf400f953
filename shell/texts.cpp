// The shell's texts and the small decisions behind them. Nothing here
// creates a window, so the host-side tests call these directly. The texts
// themselves are in texts.def.
#include "shell/shell.h"

#include "core/lzma.h"
#include "engine/locate.h"
#include "shell/texts_packed.h"

static_assert((int)PACKED_TEXTS_COUNT == (int)T_COUNT, "shell/texts_packed.h is older than texts.def");

const char* g_texts[T_COUNT];
static char s_texts[PACKED_TEXTS_SIZE];
static unsigned char s_textsDict[PACKED_TEXTS_SIZE];
static LzmaDecoder s_textsDecoder;

// The texts are kept packed in the program (about half their size) and
// unpacked once, before the first window or log line.
void LoadTexts(void) {
    LzmaInput in;
    ZeroMemory(&in, sizeof in);
    in.pos = kPackedTexts;
    in.end = kPackedTexts + sizeof kPackedTexts;
    if (LzmaBegin(&s_textsDecoder, PACKED_TEXTS_PROPS, s_textsDict, PACKED_TEXTS_SIZE, PACKED_TEXTS_SIZE, &in))
        LzmaRead(&s_textsDecoder, (unsigned char*)s_texts, PACKED_TEXTS_SIZE);
    const char* t = s_texts;
    for (int i = 0; i < T_COUNT; i++) {
        g_texts[i] = t;
        t += lstrlenA(t) + 1;
    }
}

// The longest line of a path in a message, in bytes (a double-byte
// character is about as wide as two single-byte ones): narrower than the
// message's own lines, so the box is made wide enough for it. A message box
// breaks lines only at spaces and clips an unbroken path.
enum { PATH_LINE_MAX = 32 };

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
    for (; i < len; i += CharLength(folder + i, len - i, LeadByteAcp)) {
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
    size_t name = FolderPartLength(path, len, LeadByteAcp);
    size_t n = len - name;
    // '.' is below every trail byte, so it always starts a character
    if (n >= 4 && lstrcmpiA(path + len - 4, ".exe") == 0)
        n -= 4;
    CopyMemory(out, path + name, n);
    lstrcpyA(out + n, g_texts[T_RESTORE_SUFFIX]);
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

// The words for each result, by its bit, lowest first: one record has one
// result, so anything else is unknown.
static const unsigned char kResultWords[8] = {T_RESULT_OVERWRITTEN, T_RESULT_SKIPPED, T_NOT_FOUND, T_WRONG_VERSION,
                                              T_BAD_RESULT, T_NOT_WRITTEN, T_UNKNOWN, T_RESULT_BAD_DATA};

static const char* ResultWords(int result) {
    if (result <= 0 || result > PR_BADDATA || (result & (result - 1)))
        return g_texts[result ? T_UNKNOWN : T_RESULT_OK];
    return g_texts[kResultWords[__builtin_ctz((unsigned)result)]];
}

const char* FailureReason(int result) {
    enum { REASONS = PR_NOTARGET | PR_BADSOURCE | PR_BADRESULT | PR_NOTWRITTEN };
    return (result & REASONS) && !(result & ~REASONS) ? ResultWords(result) : g_texts[T_UNKNOWN];
}

// Appends n bytes of s to the text of m, cutting them short rather than
// overrunning. The text so far is measured each time: it holds no 0 byte,
// and a few kilobytes are soon walked.
static void AppendBytes(ShellMessage* m, const char* s, size_t n) {
    size_t used = (size_t)lstrlenA(m->text), room = SHELL_TEXT_MAX - 1 - used;
    if (n > room)
        n = room;
    CopyMemory(m->text + used, s, n);
    m->text[used + n] = 0;
}

// Appends s to the text, cutting it short rather than overrunning.
static void Append(ShellMessage* c, const char* s) {
    AppendBytes(c, s, (size_t)lstrlenA(s));
}

// Appends a path on lines of at most PATH_LINE_MAX bytes, each folder
// (with its separator) and the file name on the line before when it fits
// there, else on the next. A part longer than a line is broken between two
// characters, never inside a double-byte one.
static void AppendPath(ShellMessage* c, const char* path) {
    size_t len = (size_t)lstrlenA(path), line = 0;
    for (size_t i = 0, step; i < len; i += step, line += step) {
        step = CharLength(path + i, len - i, LeadByteAcp);
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
static void AppendNumber(ShellMessage* c, const char* format, unsigned n) {
    char text[160];
    wsprintfA(text, format, n);
    Append(c, text);
}

// Appends one line per listed failure: its name and its reason.
static void AppendNames(ShellMessage* c, const PatchFailure* list, unsigned listed) {
    for (unsigned i = 0; i < listed && i < PATCH_TALLY_NAMES; i++) {
        Append(c, "\r\n");
        Append(c, list[i].name);
        Append(c, "：");
        Append(c, FailureReason(list[i].result));
    }
}

// The failures of the run under head (a format with one number, n), with
// an ellipsis for those not named.
static void AppendFailures(ShellMessage* c, const PatchTally* tally, const char* head, unsigned n) {
    AppendNumber(c, head, n);
    AppendNames(c, tally->failures, tally->named);
    if (tally->failed > tally->named)
        Append(c, g_texts[T_MORE_NAMES]);
}

static void Begin(ShellMessage* msg, const char* caption, UINT type) {
    msg->text[0] = 0;
    msg->caption = caption;
    msg->type = type;
}

// Each outcome's message: its caption, icon and first text (given the
// number of files updated, which only the restore failure's shows), then,
// when some failed, the head of their list and the number that head shows
// (a head without a number ignores it).
enum { COUNT_FAILED, COUNT_UPDATED };
typedef struct OutcomeForm {
    unsigned char caption, icon, text, head, count;
} OutcomeForm;

static const OutcomeForm kOutcomeForms[] = {
    {T_DONE_CAPTION, MB_ICONEXCLAMATION, T_DONE_TEXT, T_FAILURES_HEAD, COUNT_FAILED},          // SHELL_FINISHED
    {T_DONE_CAPTION, MB_ICONWARNING, T_COUNT, T_FAILURES_HEAD, COUNT_FAILED},                  // SHELL_FAILURES
    {T_DATA_ERROR_CAPTION, MB_ICONHAND, T_DATA_ERROR_TEXT, T_UPDATED_HEAD, COUNT_UPDATED},     // SHELL_DATAERROR
    {T_CANCELLED_CAPTION, MB_ICONHAND, T_CANCELLED_TEXT, T_UPDATED_HEAD, COUNT_UPDATED},       // SHELL_CANCELLED
    {T_ERROR_CAPTION, MB_ICONHAND, T_NOT_STARTED_TEXT, T_COUNT, COUNT_FAILED},                 // SHELL_NOTSTARTED
    {T_ERROR_CAPTION, MB_ICONHAND, T_RESTORE_FAILED_TEXT, T_NOT_UPDATED_HEAD, COUNT_FAILED},   // SHELL_RESTOREFAILED
};

static_assert(SHELL_FINISHED == 0 && SHELL_FAILURES == 1 && SHELL_DATAERROR == 2 && SHELL_CANCELLED == 3 &&
                  SHELL_NOTSTARTED == 4 && SHELL_RESTOREFAILED == 5,
              "kOutcomeForms is in the order of the outcomes");

void ComposeOutcome(int outcome, const PatchTally* tally, const PatchRestoreState* restore, ShellMessage* msg) {
    const OutcomeForm* form = &kOutcomeForms[outcome];
    unsigned counts[2] = {tally->failed, tally->ok + tally->overwritten};
    Begin(msg, g_texts[form->caption], form->icon);
    if (form->text != T_COUNT)
        AppendNumber(msg, g_texts[form->text], counts[COUNT_UPDATED]);
    // a run that could not start has nothing more to say; one that stopped
    // early still says what it did and what failed
    if (form->head == T_COUNT)
        return;
    if (tally->failed)
        AppendFailures(msg, tally, g_texts[form->head], counts[form->count]);
    // the restore file is named whenever it holds a record, a failed one too
    if (restore->state != RESTORE_NONE && restore->records) {
        Append(msg, g_texts[T_RESTORE_MADE]);
        AppendPath(msg, restore->path);
        if (restore->created)
            AppendNumber(msg, g_texts[T_RESTORE_CREATED], restore->created);
    }
}

void ComposeProceed(const PatchCheck* check, ShellMessage* msg) {
    Begin(msg, g_texts[T_PROCEED_CAPTION], MB_YESNO | MB_ICONQUESTION);
    AppendNumber(msg, g_texts[T_PROCEED_HEAD], check->mismatched);
    AppendNames(msg, check->list, check->listed);
    if (check->mismatched > check->listed)
        AppendNumber(msg, g_texts[T_PROCEED_REST], check->mismatched - check->listed);
    Append(msg, g_texts[T_PROCEED_TAIL]);
}

const char* RecordResultText(int result, int upToDate) {
    return result == PR_BADSOURCE && upToDate ? g_texts[T_RESULT_UP_TO_DATE] : ResultWords(result);
}
