// The maker's texts and how to find the patch's folder, as the patch's
// branding resource carries them. A patch without it looks and acts as the
// applier always has.
#include "shell/shell.h"
#include "engine/locate.h"

#include <string.h>

static const char* s_brand;  // the resource's bytes, or 0
static DWORD s_brandSize;

// The entry of id in the resource directory at dir (any entry when id is
// 0): where its next level or its data entry starts, or 0 when there is
// none. Offsets count from the root directory.
static const unsigned char* ResourceEntry(const unsigned char* root, const unsigned char* dir, DWORD id) {
    if (!dir)
        return 0;
    const IMAGE_RESOURCE_DIRECTORY* head = (const IMAGE_RESOURCE_DIRECTORY*)dir;
    const IMAGE_RESOURCE_DIRECTORY_ENTRY* e = (const IMAGE_RESOURCE_DIRECTORY_ENTRY*)(head + 1);
    // named entries have the top bit set, so they never match an id
    for (unsigned n = (unsigned)head->NumberOfNamedEntries + head->NumberOfIdEntries; n; n--, e++)
        if (!id || e->Name == id)
            return root + (e->OffsetToData & 0x7FFFFFFF);
    return 0;
}

// The branding is read from the program's own loaded resources (type,
// name, then its one language), as the resource functions would find it.
void LoadBranding(void) {
    const unsigned char* base = (const unsigned char*)g_instance;
    const IMAGE_NT_HEADERS* nt = (const IMAGE_NT_HEADERS*)(base + ((const IMAGE_DOS_HEADER*)base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY* dir = &nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_RESOURCE];
    if (!dir->VirtualAddress || !dir->Size)
        return;
    const unsigned char* root = base + dir->VirtualAddress;
    const IMAGE_RESOURCE_DATA_ENTRY* data = (const IMAGE_RESOURCE_DATA_ENTRY*)ResourceEntry(
        root, ResourceEntry(root, ResourceEntry(root, root, (DWORD)(ULONG_PTR)RT_RCDATA), IDR_BRANDING), 0);
    if (data) {
        s_brand = (const char*)base + data->OffsetToData;
        s_brandSize = data->Size;
    }
}

const char* BrandValue(const char* key, const char** at) {
    if (!s_brand)
        return 0;
    const char* p = *at ? *at : s_brand;
    const char* end = s_brand + s_brandSize;
    size_t keyLen = (size_t)lstrlenA(key);
    while (p < end) {
        const char* s = p;
        // the resource's size bounds every string: an unterminated last one
        // is not read
        while (p < end && *p)
            p++;
        if (p == end || p == s)
            return 0;
        p++;
        if ((size_t)(p - s) > keyLen + 1 && s[keyLen] == '=' && memcmp(s, key, keyLen) == 0) {
            *at = p;
            return s + keyLen + 1;
        }
    }
    return 0;
}

const char* HelpText(void) {
    const char* at = 0;
    const char* help = BrandValue("HELP", &at);
    return help ? help : g_texts[T_HELP_TEXT];
}

// Sets one panel line from text up to its line break or its end and
// returns where the next line starts. A line too long for the panel is cut
// where the panel would not show it anyway.
static const char* ShowLine(HWND wnd, int id, const char* text) {
    char line[256];
    size_t n = 0;
    for (; *text && *text != '\r'; text++)
        if (n < sizeof line - 1)
            line[n++] = *text;
    line[n] = 0;
    SendMessageA(GetDlgItem(wnd, id), WM_SETTEXT, 0, (LPARAM)line);
    if (*text)
        text++;
    if (*text == '\n')
        text++;
    return text;
}

void ShowBranding(HWND wnd) {
    const char* at = 0;
    const char* title = BrandValue("TITLE", &at);
    if (title)
        SendMessageA(wnd, WM_SETTEXT, 0, (LPARAM)title);
    at = 0;
    const char* about = BrandValue("ABOUT", &at);
    // the maker's lines replace all four, so none of the default panel stays
    // among them
    for (int i = 0; about && i < 4; i++)
        about = ShowLine(wnd, IDC_ABOUT1 + i, about);
}

// 1 when out, a folder, is absolute and holds what tells the patch's folder.
static int Fits(const char* out, const char* findFile) {
    return StartRuleHolds(out) && FolderFits(&g_patch, out, findFile);
}

int FindFolder(char* out, int always) {
    const char* at = 0;
    const char* findFile = BrandValue("FINDFILE", &at);
    const char* reg = 0;
    out[0] = 0;
    if (!always && !findFile && !BrandValue("FINDREG", &reg))
        return 0;
    // the patch's own folder: found only once the container was, so the
    // module's name is at hand
    lstrcpyA(out, g_selfPath);
    out[FolderPartLength(out, (size_t)lstrlenA(out), LeadByteAcp)] = 0;
    if (Fits(out, findFile))
        return 1;
    // each value in the 32-bit view first: a 32-bit game's installer wrote
    // it there
    at = 0;
    for (const char* valuePath; (valuePath = BrandValue("FINDREG", &at)) != 0;)
        for (REGSAM view = KEY_WOW64_32KEY; view; view = view == KEY_WOW64_32KEY ? KEY_WOW64_64KEY : 0)
            if (RegistryFolder(valuePath, view, out) && Fits(out, findFile))
                return 1;
    out[0] = 0;
    return 0;
}
