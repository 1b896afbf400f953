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
// with any extension ("nul.txt" too).
static int IsDeviceName(const char* part, size_t len) {
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    size_t base = 0;
    while (base < len && part[base] != '.')
        base++;
    while (base > 0 && part[base - 1] == ' ')
        base--;
    for (size_t i = 0; i < sizeof kDevices / sizeof kDevices[0]; i++) {
        size_t n = strlen(kDevices[i]);
        if (n != base)
            continue;
        size_t k = 0;
        while (k < n && Upper(part[k]) == kDevices[i][k])
            k++;
        if (k == n)
            return 1;
    }
    if (base == 4 && part[3] >= '1' && part[3] <= '9') {
        char a = Upper(part[0]), b = Upper(part[1]), c = Upper(part[2]);
        if ((a == 'C' && b == 'O' && c == 'M') || (a == 'L' && b == 'P' && c == 'T'))
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
