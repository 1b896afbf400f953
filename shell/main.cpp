// Program entry: finds the container in the program's own file, makes the
// main window and runs the message loop.
#include "shell/shell.h"
#include "core/stubmark.h"

#include <commctrl.h>

HINSTANCE g_instance;
const unsigned char* g_container;
size_t g_containerSize;
HWND g_mainWnd;
HWND g_folderEdit;

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

static DWORD ContainerOffset(void) {
    return (DWORD)g_stubInfo.offset[0] | (DWORD)g_stubInfo.offset[1] << 8 |
           (DWORD)g_stubInfo.offset[2] << 16 | (DWORD)g_stubInfo.offset[3] << 24;
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
    self->view = NULL;
    self->mapping = NULL;
    self->file = INVALID_HANDLE_VALUE;
}

// The program's own path: the command line's quoted first token, as the
// shell writes it; the module's name when the command line was made some
// other way.
static int FindOwnPath(char path[MAX_PATH]) {
    if (ExtractQuotedToken(GetCommandLineA(), path, MAX_PATH))
        return 1;
    DWORD n = GetModuleFileNameA(NULL, path, MAX_PATH);
    return n > 0 && n < MAX_PATH;
}

// Maps the program's own file and sets g_container and g_containerSize.
// Returns 0, with everything released, when there is no container: the
// file cannot be opened or mapped, or it ends before a container header.
static int MapContainer(SelfMapping* self) {
    char path[MAX_PATH];
    self->file = INVALID_HANDLE_VALUE;
    self->mapping = NULL;
    self->view = NULL;
    if (!FindOwnPath(path))
        return 0;
    self->file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, NULL);
    if (self->file == INVALID_HANDLE_VALUE)
        return 0;
    DWORD high = 0;
    DWORD size = GetFileSize(self->file, &high);
    DWORD offset = ContainerOffset();
    // Subtracting keeps the test from wrapping: the header must fit after
    // the offset.
    int fits = size != INVALID_FILE_SIZE && high == 0 && size >= offset &&
               size - offset >= CONTAINER_HEADER_SIZE;
    if (fits)
        self->mapping = CreateFileMappingA(self->file, NULL, PAGE_READONLY, 0, 0, NULL);
    if (self->mapping)
        self->view = (const unsigned char*)MapViewOfFile(self->mapping, FILE_MAP_READ, 0, 0, 0);
    if (!self->view) {
        ReleaseSelf(self);
        return 0;
    }
    g_container = self->view + offset;
    g_containerSize = size - offset;
    return 1;
}

static int RegisterMainClass(HINSTANCE instance) {
    WNDCLASSEXA wc;
    ZeroMemory(&wc, sizeof wc);
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = MainWndProc;
    wc.cbWndExtra = DLGWINDOWEXTRA;
    wc.hInstance = instance;
    wc.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_MAIN));
    wc.hCursor = LoadCursorA(NULL, (LPCSTR)IDC_ARROW);
    wc.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    wc.lpszClassName = "korvex";
    return RegisterClassExA(&wc) != 0;
}

static WPARAM MessageLoop(void) {
    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0) > 0) {
        if (g_mainWnd && IsDialogMessageA(g_mainWnd, &msg))
            continue;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return msg.message == WM_QUIT ? msg.wParam : 0;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
    g_instance = instance;
    SelfMapping self;
    // Without a container nothing may run: say so instead of showing the
    // main window.
    if (!MapContainer(&self)) {
        MessageBoxA(NULL, kNoContainerText, kErrorCaption, MB_ICONHAND);
        return 0;
    }
    RegisterMainClass(instance);
    InitCommonControls();
    g_mainWnd = CreateDialogParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), NULL, NULL, 0);
    if (g_mainWnd) {
        g_folderEdit = GetDlgItem(g_mainWnd, IDC_TARGETDIR);
        ShowWindow(g_mainWnd, show);
        MessageLoop();
    }
    ReleaseSelf(&self);
    return 0;
}

// Own entry point: the program needs nothing of the C runtime's start-up
// (no arguments, no environment, no constructors). SW_SHOWDEFAULT makes
// the first ShowWindow follow what the starting program asked for.
extern "C" IMAGE_DOS_HEADER __ImageBase;

extern "C" __attribute__((force_align_arg_pointer)) void WinMainCRTStartup(void) {
    ExitProcess((UINT)WinMain((HINSTANCE)&__ImageBase, NULL, NULL, SW_SHOWDEFAULT));
}
