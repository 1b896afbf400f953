// The command line of an unattended run, read without the C runtime's
// argument split. Nothing here makes a window, so the host tests parse
// lines directly.
#include "shell/shell.h"
#include "engine/locate.h"

// Quotes and blanks are below every trail byte, so the line is walked byte
// by byte.
static int IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// What follows option's name (upper case) at s, matched without regard to
// case; 0 when s does not start with it.
static const char* AfterOption(const char* s, const char* name) {
    for (; *name; s++, name++) {
        char c = *s >= 'a' && *s <= 'z' ? (char)(*s - 32) : *s;
        if (c != *name)
            return 0;
    }
    return s;
}

static int IsOption(const char* arg, const char* name) {
    const char* rest = AfterOption(arg, name);
    return rest && !*rest;
}

// Copies the argument at p into out (MAX_PATH bytes) with its quotes taken
// out and returns what follows it; one that does not fit is a bad argument.
static const char* ReadArgument(const char* p, char* out, ShellArgs* args) {
    int quoted = 0;
    size_t n = 0;
    for (; *p && (quoted || !IsBlank(*p)); p++) {
        if (*p == '"')
            quoted = !quoted;
        else if (n < MAX_PATH - 1)
            out[n++] = *p;
        else
            args->bad = 1;
    }
    out[n] = 0;
    return p;
}

// The folder of /D=: trailing blanks cut, the separator added when it has
// none. Only an absolute folder is taken: a relative one would resolve
// against whatever folder the starting program was in.
static void SetFolder(ShellArgs* args, const char* text) {
    size_t n = (size_t)lstrlenA(text);
    while (n && IsBlank(text[n - 1]))
        n--;
    if (n > MAX_PATH - 2) {
        args->bad = 1;
        return;
    }
    CopyMemory(args->folder, text, n);
    if (n && FolderPartLength(text, n, LeadByteAcp) != n)
        args->folder[n++] = '\\';
    args->folder[n] = 0;
    if (!StartRuleHolds(args->folder))
        args->bad = 1;
}

// The options without a value, one after another, and the flag each sets.
static const char kSwitches[] = "/S\0/CONTINUE\0/RESTORE\0";
static const unsigned char kSwitchAt[] = {offsetof(ShellArgs, silent), offsetof(ShellArgs, proceed),
                                          offsetof(ShellArgs, restore)};

void ParseArgs(const char* line, ShellArgs* args) {
    ZeroMemory(args, sizeof *args);
    // the program's own name: quoted up to the closing quote, else up to a blank
    const char* p = line;
    if (*p == '"') {
        p++;
        while (*p && *p != '"')
            p++;
        if (*p)
            p++;
    } else {
        while (*p && !IsBlank(*p))
            p++;
    }
    char arg[MAX_PATH];
    for (;;) {
        while (IsBlank(*p))
            p++;
        if (!*p)
            return;
        // the installers' convention: /D= is last and unquoted, spaces and all
        const char* value = AfterOption(p, "/D=");
        if (value) {
            SetFolder(args, value);
            return;
        }
        p = ReadArgument(p, arg, args);
        const char* name = kSwitches;
        int i = 0;
        for (; *name && !IsOption(arg, name); i++)
            name += lstrlenA(name) + 1;
        if (*name)
            *(int*)((char*)args + kSwitchAt[i]) = 1;
        else if ((value = AfterOption(arg, "/LOG=")) != 0 && *value)
            lstrcpyA(args->log, value);
        else
            args->bad = 1;
    }
}
