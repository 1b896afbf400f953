// Record-name checks and path joining, walked character by character.
#include "core/names.h"

#include <string.h>

int IsLeadByte936(unsigned char byte) {
    return byte >= 0x81 && byte <= 0xFE;
}

int IsLeadByteNone(unsigned char byte) {
    (void)byte;
    return 0;
}

static int IsSeparator(char c) {
    return c == '\\' || c == '/';
}

static char Upper(char c) {
    return (c >= 'a' && c <= 'z') ? (char)(c - 'a' + 'A') : c;
}

// Windows opens a device, not a file, for these names in any folder and
// with any extension ("nul.txt" too). Each entry is its length and its
// letters; '#' stands for a digit 1 to 9 (COM1 to COM9, LPT1 to LPT9).
static int IsDeviceName(const char* part, size_t len) {
    static const char kDevices[] = "\3CON\3PRN\3AUX\3NUL\6CONIN$\7CONOUT$\4COM#\4LPT#";
    size_t base = 0;
    while (base < len && part[base] != '.')
        base++;
    while (base > 0 && part[base - 1] == ' ')
        base--;
    for (const char* d = kDevices; *d; d += 1 + *d) {
        if ((size_t)*d != base)
            continue;
        size_t k = 0;
        for (; k < base; k++) {
            char c = Upper(part[k]), want = d[1 + k];
            if (want == '#' ? c < '1' || c > '9' : c != want)
                break;
        }
        if (k == base)
            return 1;
    }
    return 0;
}

// A component is acceptable when it is not empty, not made only of dots
// and spaces (which Windows trims to nothing or to ".."), and no device.
static int CheckComponent(const char* part, size_t len) {
    size_t i = 0;
    while (i < len && (part[i] == '.' || part[i] == ' '))
        i++;
    if (i == len)
        return 0;
    return !IsDeviceName(part, len);
}

size_t CharLength(const char* text, size_t left, LeadBytePredicate isLead) {
    if (left >= 2 && isLead((unsigned char)text[0]) && (unsigned char)text[1] >= 0x40)
        return 2;
    return 1;
}

int CheckRecordName(const char* name, size_t len, LeadBytePredicate isLead) {
    if (len == 0 || IsSeparator(name[0]))
        return 0;
    size_t start = 0;
    for (size_t i = 0; i < len;) {
        size_t step = CharLength(name + i, len - i, isLead);
        if (step == 1) {
            char c = name[i];
            if (c == 0 || c == ':')
                return 0;
            if (IsSeparator(c)) {
                if (!CheckComponent(name + start, i - start))
                    return 0;
                start = i + 1;
            }
        }
        i += step;
    }
    return CheckComponent(name + start, len - start);
}

size_t FolderPartLength(const char* path, size_t len, LeadBytePredicate isLead) {
    size_t folder = 0;
    for (size_t i = 0; i < len;) {
        size_t step = CharLength(path + i, len - i, isLead);
        if (step == 1 && IsSeparator(path[i]))
            folder = i + 1;
        i += step;
    }
    return folder;
}

int JoinPath(char out[PATCH_PATH_MAX], const char* folder, const char* name, size_t nameLen) {
    size_t folderLen = strlen(folder);
    if (folderLen >= PATCH_PATH_MAX || nameLen >= PATCH_PATH_MAX - folderLen) {
        out[0] = 0;
        return 0;
    }
    memcpy(out, folder, folderLen);
    memcpy(out + folderLen, name, nameLen);
    out[folderLen + nameLen] = 0;
    return 1;
}
