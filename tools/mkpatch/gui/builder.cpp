// mkpatch's window, for authors who do not use a command line: the folders
// and the patch file, Build with progress and Cancel, then the summary, the
// warnings as a list and the result of verify. It calls mkpatch's library,
// as the command line does, on a thread of its own so that the window
// stays responsive. Wide API throughout; Chinese texts where the user's
// interface language is Chinese, English elsewhere.
#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>
#include <shellapi.h>
#include <shlobj.h>

#include <atomic>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tools/mkpatch/lib/commands.h"
#include "tools/mkpatch/lib/files.h"
#include "tools/mkpatch/lib/project.h"

namespace {

namespace fs = std::filesystem;
using mkpatch::BuildOptions;
using mkpatch::BuildResult;

enum {
    IDC_OLD = 100,
    IDC_NEW,
    IDC_OUT,
    IDC_OLD_BROWSE,
    IDC_NEW_BROWSE,
    IDC_OUT_BROWSE,
    IDC_BUILD,
    IDC_CANCEL,
    IDC_PROGRESS,
    IDC_SUMMARY,
    IDC_WARNINGS,
    IDF_TITLE,      // the branding fields, in the order of kFieldLabels
    IDF_ABOUT,
    IDF_ICON,
    IDF_HELPFILE,
    IDF_FINDREG,
    IDF_FINDFILE,
    IDF_VERSION,
    IDF_ICON_BROWSE,
    IDF_HELP_BROWSE,
    IDF_OPEN_PROJECT,
    IDF_SAVE_PROJECT,
    WM_BUILD_PROGRESS = WM_APP + 1,  // wParam: per mille done
    WM_BUILD_DONE = WM_APP + 2       // the build thread has ended
};

// One text in both languages.
struct Text {
    const wchar_t* zh;
    const wchar_t* en;
};

bool g_chinese;

const wchar_t* T(const Text& t) {
    return g_chinese ? t.zh : t.en;
}

const Text kTitle{L"mkpatch 补丁制作", L"mkpatch patch builder"};
const Text kOldLabel{L"旧版本文件夹：", L"Old version folder:"};
const Text kNewLabel{L"新版本文件夹：", L"New version folder:"};
const Text kOutLabel{L"补丁文件：", L"Patch file:"};
const Text kBrowse{L"浏览...", L"Browse..."};
const Text kBuild{L"生成补丁", L"Build"};
const Text kCancel{L"取消", L"Cancel"};
const Text kWarningsLabel{L"警告：", L"Warnings:"};
const Text kTitleLabel{L"窗口标题：", L"Window title:"};
const Text kAboutLabel{L"说明：", L"About:"};
const Text kIconLabel{L"图标 (.ico)：", L"Icon (.ico):"};
const Text kHelpLabel{L"帮助文本文件：", L"Help text file:"};
const Text kFindRegLabel{L"注册表位置：", L"Registry values:"};
const Text kFindFileLabel{L"必需的文件：", L"Required file:"};
const Text kVersionLabel{L"版本信息：", L"Version info:"};
const Text kOpenProject{L"打开项目...", L"Open project..."};
const Text kSaveProject{L"保存项目...", L"Save project..."};
const Text kProjectSaved{L"项目已保存：", L"Project saved: "};
const Text kPickFolder{L"选择文件夹", L"Choose a folder"};
const Text kBuilding{L"正在生成……", L"Building..."};
const Text kCancelled{L"已取消，没有写入任何文件。", L"Cancelled; nothing was written."};
const Text kFailed{L"生成失败：", L"The build failed:"};
const Text kMissing{L"请填写旧版本文件夹、新版本文件夹和补丁文件。",
                    L"Give the old folder, the new folder and the patch file."};
const Text kWrote{L"已生成 %ls：%u 个记录（%u 个新文件，%u 个更新），%u 个文件未变；补丁 %llu 字节。",
                  L"Wrote %ls: %u records (%u new files, %u rebuilt), %u unchanged; patch %llu bytes."};
const Text kVerifyOk{L"校验通过：补丁把旧版本完全变成新版本。",
                     L"Verified: the patch turns the old version into the new one exactly."};
const Text kVerifyBad{L"校验发现差异：", L"Verify found differences:"};

// The state of the one build that may run.
struct Builder {
    HWND wnd = nullptr;
    std::thread worker;
    std::atomic<bool> cancel{false};
    bool running = false;
    // filled by the worker, read by the window after WM_BUILD_DONE
    std::wstring summary;
    std::vector<std::wstring> warnings;
} g_builder;

std::wstring Wide(const std::string& utf8) {
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), w.data(), n);
    return w;
}

std::wstring ItemText(HWND wnd, int id) {
    HWND item = GetDlgItem(wnd, id);
    std::wstring s(static_cast<size_t>(GetWindowTextLengthW(item)) + 1, L'\0');
    s.resize(static_cast<size_t>(GetWindowTextW(item, s.data(), static_cast<int>(s.size()))));
    return s;
}

// Builds, then verifies what it built; runs on the worker thread and ends
// with WM_BUILD_DONE.
void BuildAndVerify(BuildOptions opts) {
    std::wstring summary;
    std::vector<std::wstring> warnings;
    try {
        std::ostringstream log;
        BuildResult r = mkpatch::BuildPatch(opts, log);
        for (const std::string& w : r.warningTexts)
            warnings.push_back(Wide(w));
        wchar_t line[1024];
        std::wstring out = opts.output.wstring();
        _snwprintf(line, 1023, T(kWrote), out.c_str(), r.records, r.wholeFiles, r.deltas, r.unchanged,
                   static_cast<unsigned long long>(r.fileSize));
        line[1023] = 0;
        summary = line;
        mkpatch::VerifyOptions v;
        v.codePage = opts.codePage;
        v.excludes = opts.excludes;
        std::ostringstream vout, verr;
        int rc = mkpatch::VerifyPatch(opts.output, opts.oldDir, opts.newDir, v, vout, verr);
        summary += L"\r\n";
        summary += rc == mkpatch::kExitOk ? T(kVerifyOk) : std::wstring(T(kVerifyBad)) + L"\r\n" + Wide(verr.str());
    } catch (const mkpatch::Cancelled&) {
        summary = T(kCancelled);
    } catch (const std::exception& e) {
        summary = std::wstring(T(kFailed)) + L"\r\n" + Wide(e.what());
    }
    g_builder.summary = summary;
    g_builder.warnings = warnings;
    PostMessageW(g_builder.wnd, WM_BUILD_DONE, 0, 0);
}

std::string Utf8Of(const std::wstring& w) {
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(n), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
    return s;
}

// The lines of a multi-line field, empty ones left out.
std::vector<std::string> Lines(const std::wstring& text) {
    std::vector<std::string> lines;
    std::wstring line;
    for (wchar_t c : text + L"\n") {
        if (c == L'\r')
            continue;
        if (c != L'\n') {
            line += c;
            continue;
        }
        if (!line.empty())
            lines.push_back(Utf8Of(line));
        line.clear();
    }
    return lines;
}

// The branding fields as the build takes them; an empty field sets nothing.
mkpatch::Branding BrandingFromFields(HWND wnd) {
    mkpatch::Branding b;
    std::wstring title = ItemText(wnd, IDF_TITLE), icon = ItemText(wnd, IDF_ICON),
                 help = ItemText(wnd, IDF_HELPFILE), file = ItemText(wnd, IDF_FINDFILE);
    std::vector<std::string> about = Lines(ItemText(wnd, IDF_ABOUT));
    if (!title.empty())
        b.title = Utf8Of(title);
    if (!about.empty()) {
        std::string joined;
        for (const std::string& l : about)
            joined += (joined.empty() ? "" : "\n") + l;
        b.about = joined;
    }
    if (!icon.empty())
        b.icon = icon;
    if (!help.empty())
        b.helpFile = help;
    b.findRegistry = Lines(ItemText(wnd, IDF_FINDREG));
    // KEY=VALUE a line, as --version-info takes them
    for (const std::string& line : Lines(ItemText(wnd, IDF_VERSION))) {
        size_t eq = line.find('=');
        b.versionInfo.emplace_back(line.substr(0, eq), eq == std::string::npos ? "" : line.substr(eq + 1));
    }
    if (!file.empty())
        b.findFile = Utf8Of(file);
    return b;
}

// A save or open dialog for one kind of file; the chosen path, or empty.
std::wstring PickFile(HWND wnd, const wchar_t* filter, const wchar_t* ext, bool save) {
    wchar_t path[MAX_PATH] = L"";
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = wnd;
    ofn.lpstrFilter = filter;
    ofn.lpstrFile = path;
    ofn.nMaxFile = MAX_PATH;
    ofn.lpstrDefExt = ext;
    ofn.Flags = OFN_NOCHANGEDIR | OFN_HIDEREADONLY | (save ? OFN_OVERWRITEPROMPT : OFN_FILEMUSTEXIST);
    return (save ? GetSaveFileNameW(&ofn) : GetOpenFileNameW(&ofn)) ? std::wstring(path) : std::wstring();
}

std::wstring Joined(const std::vector<std::string>& lines) {
    std::wstring w;
    for (const std::string& l : lines)
        w += (w.empty() ? L"" : L"\r\n") + Wide(l);
    return w;
}

// Fills the fields from a project file; a bad one is said in the summary.
void OpenProject(HWND wnd, const std::wstring& file) {
    try {
        mkpatch::Project p = mkpatch::ReadProject(file);
        auto set = [&](int id, const std::wstring& v) { SetDlgItemTextW(wnd, id, v.c_str()); };
        set(IDC_OLD, p.oldDir ? p.oldDir->wstring() : L"");
        set(IDC_NEW, p.newDir ? p.newDir->wstring() : L"");
        set(IDC_OUT, p.output ? p.output->wstring() : L"");
        const mkpatch::Branding& b = p.branding;
        set(IDF_TITLE, b.title ? Wide(*b.title) : L"");
        std::vector<std::string> about;
        for (size_t at = 0; b.about && at <= b.about->size();) {
            size_t nl = b.about->find('\n', at);
            about.push_back(b.about->substr(at, nl == std::string::npos ? std::string::npos : nl - at));
            at = nl == std::string::npos ? b.about->size() + 1 : nl + 1;
        }
        set(IDF_ABOUT, Joined(about));
        set(IDF_ICON, b.icon ? b.icon->wstring() : L"");
        set(IDF_HELPFILE, b.helpFile ? b.helpFile->wstring() : L"");
        set(IDF_FINDREG, Joined(b.findRegistry));
        set(IDF_FINDFILE, b.findFile ? Wide(*b.findFile) : L"");
        std::vector<std::string> version;
        for (const auto& [key, value] : b.versionInfo)
            version.push_back(key + "=" + value);
        set(IDF_VERSION, Joined(version));
        SetDlgItemTextW(wnd, IDC_SUMMARY, L"");
    } catch (const std::exception& e) {
        SetDlgItemTextW(wnd, IDC_SUMMARY, Wide(e.what()).c_str());
    }
}

// Writes the fields as a project file that mkpatch build --project reads.
void SaveProject(HWND wnd, const std::wstring& file) {
    mkpatch::Project p;
    auto path = [&](int id) -> std::optional<fs::path> {
        std::wstring v = ItemText(wnd, id);
        return v.empty() ? std::nullopt : std::optional<fs::path>(v);
    };
    p.oldDir = path(IDC_OLD);
    p.newDir = path(IDC_NEW);
    p.output = path(IDC_OUT);
    p.branding = BrandingFromFields(wnd);
    std::string text = mkpatch::ProjectJson(p);
    HANDLE f = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD done = 0;
    bool ok = f != INVALID_HANDLE_VALUE && WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &done, nullptr) &&
              done == text.size();
    if (f != INVALID_HANDLE_VALUE)
        CloseHandle(f);
    std::wstring said = ok ? std::wstring(T(kProjectSaved)) + file : std::wstring(T(kFailed)) + L" " + file;
    SetDlgItemTextW(wnd, IDC_SUMMARY, said.c_str());
}

void SetRunning(HWND wnd, bool running) {
    g_builder.running = running;
    EnableWindow(GetDlgItem(wnd, IDC_BUILD), !running);
    EnableWindow(GetDlgItem(wnd, IDC_CANCEL), running);
}

void OnBuild(HWND wnd) {
    if (g_builder.running)
        return;
    std::wstring oldDir = ItemText(wnd, IDC_OLD), newDir = ItemText(wnd, IDC_NEW), out = ItemText(wnd, IDC_OUT);
    if (oldDir.empty() || newDir.empty() || out.empty()) {
        SetDlgItemTextW(wnd, IDC_SUMMARY, T(kMissing));
        return;
    }
    BuildOptions opts;
    opts.oldDir = oldDir;
    opts.newDir = newDir;
    opts.output = out;
    opts.branding = BrandingFromFields(wnd);
    opts.force = true;  // the user chose the file in a save dialog, which asks before replacing
    opts.onProgress = [wnd](uint64_t done, uint64_t total) {
        PostMessageW(wnd, WM_BUILD_PROGRESS, total ? static_cast<WPARAM>(done * 1000 / total) : 1000, 0);
    };
    opts.cancel = &g_builder.cancel;
    g_builder.cancel = false;
    SendDlgItemMessageW(wnd, IDC_WARNINGS, LB_RESETCONTENT, 0, 0);
    SendDlgItemMessageW(wnd, IDC_PROGRESS, PBM_SETPOS, 0, 0);
    SetDlgItemTextW(wnd, IDC_SUMMARY, T(kBuilding));
    SetRunning(wnd, true);
    g_builder.worker = std::thread(BuildAndVerify, opts);
}

void OnDone(HWND wnd) {
    if (g_builder.worker.joinable())
        g_builder.worker.join();
    SetRunning(wnd, false);
    SendDlgItemMessageW(wnd, IDC_PROGRESS, PBM_SETPOS, 1000, 0);
    SetDlgItemTextW(wnd, IDC_SUMMARY, g_builder.summary.c_str());
    for (const std::wstring& w : g_builder.warnings)
        SendDlgItemMessageW(wnd, IDC_WARNINGS, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(w.c_str()));
}

void BrowseFolder(HWND wnd, int edit) {
    BROWSEINFOW bi{};
    bi.hwndOwner = wnd;
    bi.lpszTitle = T(kPickFolder);
    bi.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    PIDLIST_ABSOLUTE id = SHBrowseForFolderW(&bi);
    if (!id)
        return;
    wchar_t path[MAX_PATH];
    if (SHGetPathFromIDListW(id, path))
        SetDlgItemTextW(wnd, edit, path);
    CoTaskMemFree(id);
}

void BrowseOutput(HWND wnd) {
    wchar_t path[MAX_PATH] = L"";
    GetDlgItemTextW(wnd, IDC_OUT, path, MAX_PATH);
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = wnd;
    ofn.lpstrFilter = L"*.exe\0*.exe\0";
    ofn.lpstrFile = path;
    ofn.nMaxFile = MAX_PATH;
    ofn.lpstrDefExt = L"exe";
    ofn.Flags = OFN_OVERWRITEPROMPT | OFN_NOCHANGEDIR | OFN_HIDEREADONLY;
    if (GetSaveFileNameW(&ofn))
        SetDlgItemTextW(wnd, IDC_OUT, path);
}

// The controls, laid out in rows of the dialog font's height.
void CreateControls(HWND wnd) {
    HFONT font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    auto add = [&](const wchar_t* cls, const wchar_t* text, DWORD style, int x, int y, int w, int h, int id,
                   DWORD ex = 0) {
        HWND c = CreateWindowExW(ex, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, wnd,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
        SendMessageW(c, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    };
    const Text* labels[] = {&kOldLabel, &kNewLabel, &kOutLabel};
    for (int row = 0; row < 3; row++) {
        int y = 12 + row * 32;
        add(L"STATIC", T(*labels[row]), 0, 12, y + 4, 110, 20, -1);
        add(L"EDIT", L"", WS_TABSTOP | ES_AUTOHSCROLL, 124, y, 380, 24, IDC_OLD + row, WS_EX_CLIENTEDGE);
        add(L"BUTTON", T(kBrowse), WS_TABSTOP, 512, y, 80, 24, IDC_OLD_BROWSE + row);
    }
    // what the patch shows and where it looks: each field a row, the
    // multi-line ones taller
    struct Field {
        const Text* label;
        int id;
        int height;
        int browse;  // a Browse button's id, or 0
    } fields[] = {{&kTitleLabel, IDF_TITLE, 24, 0},      {&kAboutLabel, IDF_ABOUT, 44, 0},
                  {&kIconLabel, IDF_ICON, 24, IDF_ICON_BROWSE}, {&kHelpLabel, IDF_HELPFILE, 24, IDF_HELP_BROWSE},
                  {&kFindRegLabel, IDF_FINDREG, 36, 0},   {&kFindFileLabel, IDF_FINDFILE, 24, 0},
                  {&kVersionLabel, IDF_VERSION, 36, 0}};
    int y = 108;
    for (const Field& f : fields) {
        add(L"STATIC", T(*f.label), 0, 12, y + 4, 110, 20, -1);
        DWORD multi = f.height > 24 ? ES_MULTILINE | ES_WANTRETURN | WS_VSCROLL : ES_AUTOHSCROLL;
        add(L"EDIT", L"", WS_TABSTOP | multi, 124, y, 380, f.height, f.id, WS_EX_CLIENTEDGE);
        if (f.browse)
            add(L"BUTTON", T(kBrowse), WS_TABSTOP, 512, y, 80, 24, f.browse);
        y += f.height + 6;
    }
    add(L"BUTTON", T(kOpenProject), WS_TABSTOP, 12, y, 104, 28, IDF_OPEN_PROJECT);
    add(L"BUTTON", T(kSaveProject), WS_TABSTOP, 12, y + 34, 104, 28, IDF_SAVE_PROJECT);
    add(L"BUTTON", T(kBuild), WS_TABSTOP | BS_DEFPUSHBUTTON, 124, y, 100, 28, IDC_BUILD);
    add(L"BUTTON", T(kCancel), WS_TABSTOP | WS_DISABLED, 232, y, 100, 28, IDC_CANCEL);
    add(PROGRESS_CLASSW, L"", 0, 340, y + 4, 252, 20, IDC_PROGRESS);
    SendDlgItemMessageW(wnd, IDC_PROGRESS, PBM_SETRANGE32, 0, 1000);
    add(L"EDIT", L"", ES_MULTILINE | ES_READONLY | WS_VSCROLL, 124, y + 36, 468, 64, IDC_SUMMARY, WS_EX_CLIENTEDGE);
    add(L"STATIC", T(kWarningsLabel), 0, 12, y + 106, 200, 20, -1);
    add(L"LISTBOX", L"", WS_VSCROLL | WS_HSCROLL | LBS_NOINTEGRALHEIGHT, 12, y + 126, 580, 72, IDC_WARNINGS,
        WS_EX_CLIENTEDGE);
    SendDlgItemMessageW(wnd, IDC_WARNINGS, LB_SETHORIZONTALEXTENT, 2000, 0);
}

LRESULT CALLBACK WndProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_CREATE:
        g_builder.wnd = wnd;
        CreateControls(wnd);
        return 0;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_BUILD: OnBuild(wnd); return 0;
        case IDC_CANCEL: g_builder.cancel = true; return 0;
        case IDC_OLD_BROWSE:
        case IDC_NEW_BROWSE: BrowseFolder(wnd, IDC_OLD + LOWORD(wParam) - IDC_OLD_BROWSE); return 0;
        case IDC_OUT_BROWSE: BrowseOutput(wnd); return 0;
        case IDF_ICON_BROWSE:
        case IDF_HELP_BROWSE: {
            bool icon = LOWORD(wParam) == IDF_ICON_BROWSE;
            std::wstring f = PickFile(wnd, icon ? L"*.ico\0*.ico\0" : L"*.txt\0*.txt\0", icon ? L"ico" : L"txt", false);
            if (!f.empty())
                SetDlgItemTextW(wnd, icon ? IDF_ICON : IDF_HELPFILE, f.c_str());
            return 0;
        }
        case IDF_OPEN_PROJECT:
        case IDF_SAVE_PROJECT: {
            bool save = LOWORD(wParam) == IDF_SAVE_PROJECT;
            std::wstring f = PickFile(wnd, L"*.json\0*.json\0", L"json", save);
            if (!f.empty())
                (save ? SaveProject : OpenProject)(wnd, f);
            return 0;
        }
        }
        break;
    case WM_BUILD_PROGRESS:
        SendDlgItemMessageW(wnd, IDC_PROGRESS, PBM_SETPOS, wParam, 0);
        return 0;
    case WM_BUILD_DONE:
        OnDone(wnd);
        return 0;
    case WM_CLOSE:
        // a build in progress is cancelled first; its output never stays half made
        if (g_builder.running) {
            g_builder.cancel = true;
            if (g_builder.worker.joinable())
                g_builder.worker.join();
        }
        DestroyWindow(wnd);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(wnd, msg, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    g_chinese = PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_CHINESE;
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&icc);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = WndProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = L"MkpatchBuilder";
    RegisterClassExW(&wc);
    RECT r{0, 0, 604, 558};
    DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    AdjustWindowRect(&r, style, FALSE);
    HWND wnd = CreateWindowExW(0, wc.lpszClassName, T(kTitle), style, CW_USEDEFAULT, CW_USEDEFAULT,
                               r.right - r.left, r.bottom - r.top, nullptr, nullptr, instance, nullptr);
    if (!wnd)
        return 1;
    // a project file given on the command line (as Explorer gives a
    // double-clicked one) fills the fields
    int argc = 0;
    if (wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc)) {
        if (argc > 1)
            OpenProject(wnd, argv[1]);
        LocalFree(argv);
    }
    ShowWindow(wnd, show);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (IsDialogMessageW(wnd, &msg))
            continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    CoUninitialize();
    return 0;
}
