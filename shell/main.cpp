// Program entry: finds the container in the program's own file, makes the
// main window and runs the message loop.
#include "shell/shell.h"
#include "core/stubmark.h"
#include "core/pe.h"

#include <commctrl.h>

HINSTANCE g_instance;
PatchContainer g_patch;
HWND g_mainWnd;
HWND g_folderEdit;
const unsigned char* g_stub;
char g_restoreBase[MAX_PATH + 8];
char g_selfPath[MAX_PATH];

// The container offset, written into the linked file by the build (the
// file's own size) after the mark; tools find the mark to read it. Read
// through volatile so the compiler cannot fold the placeholder.
typedef struct StubInfo {
    char mark[STUB_MARK_SIZE];
    unsigned char offset[4];
} StubInfo;

extern "C" __attribute__((section(".rdata"))) const volatile StubInfo g_stubInfo = {
    STUB_MARK, {STUB_OFFSET_PLACEHOLDER & 0xFF, (STUB_OFFSET_PLACEHOLDER >> 8) & 0xFF,
                (STUB_OFFSET_PLACEHOLDER >> 16) & 0xFF, (STUB_OFFSET_PLACEHOLDER >> 24) & 0xFF}};

static_assert(sizeof(StubInfo) == STUB_INFO_SIZE, "the mark and the offset follow each other");

// Both Windows targets are little-endian and read unaligned words, so the
// four bytes are read as one.
static DWORD ContainerOffset(void) {
    return *(const volatile DWORD*)(const volatile void*)g_stubInfo.offset;
}

// The open file, its mapping and view; they live as long as the process.
typedef struct SelfMapping {
    HANDLE file;
    HANDLE mapping;
    const unsigned char* view;
} SelfMapping;

static void ReleaseSelf(SelfMapping* self) {
    if (self->view)
        UnmapViewOfFile(self->view);
    if (self->mapping)
        CloseHandle(self->mapping);
    if (self->file != INVALID_HANDLE_VALUE)
        CloseHandle(self->file);
}

// Opens the program's own file and sets g_patch, the stub and the restore
// file's name. The container, of either form, is read from the open file
// through the engine's fixed buffers, and only the applier's own bytes
// before it are mapped (the PE headers, and the restore file's copy): a
// 32-bit process has no room to map a patch of a few GB. The
// module's own name is used, never the command line, which the starting
// program may have made up; it is kept in g_selfPath. Returns 0 when
// there is no container: the file cannot be opened or mapped, or it ends
// before a container header. Whatever was opened is left in self either
// way, for ReleaseSelf.
static int MapContainer(SelfMapping* self) {
    char* path = g_selfPath;
    self->file = INVALID_HANDLE_VALUE;
    self->mapping = NULL;
    self->view = NULL;
    DWORD n = GetModuleFileNameA(NULL, path, MAX_PATH);
    if (n > 0 && n < MAX_PATH)
        self->file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, NULL);
    if (self->file == INVALID_HANDLE_VALUE)
        return 0;
    // The file's size is where its end is: every read of the container
    // names its own offset, so the file pointer may stay there.
    LARGE_INTEGER size, zero;
    zero.QuadPart = 0;
    DWORD offset = ContainerOffset();
    if (!SetFilePointerEx(self->file, zero, &size, FILE_END))
        return 0;
    uint64_t fileSize = (uint64_t)size.QuadPart;
    // a read-only mapping cannot grow the file: one shorter than the
    // offset has no mapping, and so no container
    self->mapping = CreateFileMappingA(self->file, NULL, PAGE_READONLY, 0, offset, NULL);
    if (self->mapping)
        self->view = (const unsigned char*)MapViewOfFile(self->mapping, FILE_MAP_READ, 0, 0, offset);
    // A signed patch has its certificate table after the container, so the
    // container ends where that table starts. Subtracting keeps the test
    // from wrapping: the header must fit after the offset.
    uint64_t end = self->view ? PeCertificateStart(self->view, offset, fileSize) : 0;
    if (!self->view || end < offset || end - offset < CONTAINER_HEADER_SIZE)
        return 0;
    // g_patch.bytes stays NULL: the container is read from the file
    g_patch.file = self->file;
    g_patch.offset = offset;
    g_patch.size = end - offset;
    g_stub = self->view;
    MakeRestoreBase(path, g_restoreBase);
    return 1;
}

static int RegisterMainClass(HINSTANCE instance) {
    WNDCLASSA wc;
    ZeroMemory(&wc, sizeof wc);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = MainWndProc;
    wc.cbWndExtra = DLGWINDOWEXTRA;
    wc.hInstance = instance;
    wc.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_MAIN));
    wc.hCursor = LoadCursorA(NULL, (LPCSTR)IDC_ARROW);
    wc.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    wc.lpszClassName = "korvex";
    return RegisterClassA(&wc) != 0;
}

static WPARAM MessageLoop(void) {
    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0) > 0) {
        // the loop runs only once the main window is made
        if (IsDialogMessageA(g_mainWnd, &msg))
            continue;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return msg.message == WM_QUIT ? msg.wParam : 0;
}

// Fills the folder text with the folder found, when the patch says how to
// find it; the edit's change notice then applies the enabling rule.
static void ShowFoundFolder(void) {
    char found[MAX_PATH];
    if (FindFolder(found, 0))
        SendMessageA(g_folderEdit, WM_SETTEXT, 0, (LPARAM)found);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
    g_instance = instance;
    LoadTexts();
    LoadBranding();
    static ShellArgs args;
    ParseArgs(GetCommandLineA(), &args);
    SelfMapping self;
    int mapped = MapContainer(&self), code = 0;
    // Without a container nothing may run: say so instead of showing the
    // main window.
    int problem = T_NO_CONTAINER_TEXT;
    if (args.silent) {
        code = RunUnattended(&args, mapped);
        problem = T_COUNT;
    } else if (mapped) {
        InitCommonControls();
        if (RegisterMainClass(instance))
            g_mainWnd = CreateDialogParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), NULL, NULL, 0);
        problem = T_NOT_STARTED_TEXT;
        if (g_mainWnd) {
            g_folderEdit = GetDlgItem(g_mainWnd, IDC_TARGETDIR);
            // A longer text would be cut when read, and a cut text ending in a
            // backslash names an ancestor of the folder on screen.
            SendMessageA(g_folderEdit, EM_LIMITTEXT, MAX_PATH - 1, 0);
            ShowBranding(g_mainWnd);
            ShowFoundFolder();
            ShowWindow(g_mainWnd, show);
            MessageLoop();
            problem = T_COUNT;
        }
    }
    if (problem != T_COUNT)
        MessageBoxA(NULL, g_texts[problem], g_texts[T_ERROR_CAPTION], MB_ICONHAND);
    ReleaseSelf(&self);
    return code;
}

// Own entry point: the program needs nothing of the C runtime's start-up
// (no environment, no constructors; the few arguments are read from
// GetCommandLineA). SW_SHOWDEFAULT makes the first ShowWindow follow what
// the starting program asked for. Nothing in the program calls it, so the
// whole-program link is told it is seen from outside: otherwise it would be
// dropped with everything it reaches, the mark above included.
extern "C" IMAGE_DOS_HEADER __ImageBase;

extern "C" __attribute__((force_align_arg_pointer, externally_visible)) void WinMainCRTStartup(void) {
    ExitProcess((UINT)WinMain((HINSTANCE)&__ImageBase, NULL, NULL, SW_SHOWDEFAULT));
}
