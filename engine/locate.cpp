// Finding the patch's folder: what a folder must hold, and folders that an
// installer wrote to the registry.
#include "engine/locate.h"

#include "core/format.h"
#include "core/format2.h"
#include "core/names.h"
#include "engine/container.h"
#include "engine/fileio.h"

int LeadByteAcp(unsigned char byte) {
    return IsDBCSLeadByte(byte);
}

int FolderHolds(const char* folder, const char* name, size_t len) {
    char path[PATCH_PATH_MAX];
    return JoinPath(path, folder, name, len) && GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

// The bare form: 0 at the first delta target missing from folder, read
// through the bare reader (engine/container.h).
static int HoldsBareTargets(const PatchContainer* c, const char* folder) {
    BareBegin(c);
    unsigned count;
    if (BareCount(&count) != PR_OK)
        return 1;
    uint64_t at = CONTAINER_HEADER_SIZE;
    for (unsigned i = 0; i < count; i++) {
        BareRecord r;
        // a name that leaves the folder must not make a folder fit
        if (BareReadHead(&at, &r) != PR_OK)
            return 1;
        if (!r.whole && !FolderHolds(folder, r.head.name, r.head.nameLen))
            return 0;
        if (BareSkipBody(&at, &r) != PR_OK)
            return 1;
    }
    return 1;
}

// Format 2: PR_NOTARGET at the first delta target missing from the
// folder in w->ctx.
static int HoldsF2(F2Walk* w, const F2Record* r) {
    if (!CheckRecordName(r->name, r->nameLen, LeadByteAcp))
        return PR_BADDATA;
    return r->kind == F2_KIND_DELTA && !FolderHolds((const char*)w->ctx, r->name, r->nameLen) ? PR_NOTARGET : PR_OK;
}

// The blocks' record tables name the targets, so only the table streams
// are decoded here, read where the container lies (engine/container.h).
static int HoldsF2Targets(const PatchContainer* c, const char* folder) {
    F2Header header;
    if (!ContainerHeader2(c, &header))
        return 1;
    F2Walk w;
    w.c = c;
    // an open container runs to the data's end; a closed one says where it ends
    w.end = header.length && header.length < c->size ? header.length : c->size;
    w.flags = F2W_TORN;
    w.limit = ~0u;
    w.visit = HoldsF2;
    w.ctx = (void*)folder;
    return WalkF2(&w) != PR_NOTARGET;
}

int FolderFits(const PatchContainer* c, const char* folder, const char* findFile) {
    DWORD attributes = GetFileAttributesA(folder);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return 0;
    if (findFile)
        return FolderHolds(folder, findFile, (size_t)lstrlenA(findFile));
    if (ContainerIsFormat2(c))
        return HoldsF2Targets(c, folder);
    return HoldsBareTargets(c, folder);
}

// The short and long names of the predefined keys, one after another, in
// the order of their handle values from HKEY_CLASSES_ROOT on.
static const char kRoots[] =
    "HKCR\0HKEY_CLASSES_ROOT\0HKCU\0HKEY_CURRENT_USER\0HKLM\0HKEY_LOCAL_MACHINE\0HKU\0HKEY_USERS";

// The predefined key name names, or 0.
static HKEY RootKey(const char* name) {
    const char* root = kRoots;
    for (unsigned i = 0; i < 8; i++, root += lstrlenA(root) + 1)
        if (lstrcmpiA(name, root) == 0)
            return (HKEY)((ULONG_PTR)HKEY_CLASSES_ROOT + i / 2);
    return 0;
}

// Reads the string value valuePath names into out (MAX_PATH bytes), expanded.
static int ReadFolderValue(const char* valuePath, REGSAM view, char* out) {
    char key[512];
    size_t len = (size_t)lstrlenA(valuePath);
    if (len >= sizeof key)
        return 0;
    CopyMemory(key, valuePath, len + 1);
    // the root ends at the first separator (its names are ASCII), the
    // value's name starts after the last one (walked as characters)
    size_t root = 0;
    while (key[root] && key[root] != '\\')
        root++;
    size_t name = FolderPartLength(key, len, LeadByteAcp);
    if (!key[root] || name <= root + 1)
        return 0;  // no subkey
    key[root] = 0;
    key[name - 1] = 0;
    HKEY rootKey = RootKey(key), opened;
    if (!rootKey || RegOpenKeyExA(rootKey, key + root + 1, 0, KEY_QUERY_VALUE | view, &opened) != ERROR_SUCCESS)
        return 0;
    char raw[MAX_PATH];
    DWORD type = 0, bytes = sizeof raw - 1;
    LONG read = RegQueryValueExA(opened, key + name, NULL, &type, (BYTE*)raw, &bytes);
    RegCloseKey(opened);
    if (read != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
        return 0;
    raw[bytes] = 0;  // a value may be stored without its 0 byte
    if (type == REG_SZ) {
        lstrcpyA(out, raw);
        return 1;
    }
    DWORD need = ExpandEnvironmentStringsA(raw, out, MAX_PATH);
    return need && need <= MAX_PATH;
}

int RegistryFolder(const char* valuePath, REGSAM view, char* out) {
    if (!ReadFolderValue(valuePath, view, out))
        return 0;
    size_t len = (size_t)lstrlenA(out);
    if (!len)
        return 0;
    if (FolderPartLength(out, len, LeadByteAcp) != len) {
        if (len + 1 >= MAX_PATH)
            return 0;
        out[len] = '\\';
        out[len + 1] = 0;
    }
    return 1;
}
