// mkpatch's window, driven as an author would drive it: the folders and the
// patch file typed in, Build pressed; the summary must say that verify
// passed, the warnings list must hold build's warnings, and the patch must
// then apply with the real engine, its title in the patch's resources. Runs
// under wine64 on a private X display: gui_test MKPATCH-GUI.exe APPLIER.exe.
#include <gtest/gtest.h>

#include "engine_apply.h"
#include "tools/mkpatch/lib/branding.h"
#include "tools/mkpatch/lib/patch_reader.h"

namespace {

using tree::Bytes;
std::wstring g_gui, g_applier;

// Another process's controls are read and set through messages: the
// GetWindowText family does not reach them.
std::wstring WText(HWND w) {
    wchar_t buf[4096] = L"";
    SendMessageW(w, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(buf));
    return buf;
}

void SetText(HWND w, const std::wstring& text) {
    SendMessageW(w, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

void SetText(HWND w, const fs::path& p) {
    SetText(w, p.wstring());
}

template <class F>
bool WaitFor(F cond, DWORD ms) {
    for (DWORD start = GetTickCount(); !cond(); Sleep(20))
        if (GetTickCount() - start > ms)
            return false;
    return true;
}

struct Gui {
    PROCESS_INFORMATION pi{};
    HWND wnd = nullptr;
    explicit Gui(const fs::path& exe) {
        STARTUPINFOW si{};
        si.cb = sizeof si;
        std::wstring cmd = L"\"" + exe.wstring() + L"\"";
        if (!CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
            return;
        WaitFor([&] { return (wnd = FindWindowW(L"MkpatchBuilder", nullptr)) && GetDlgItem(wnd, 110); }, 30000);
    }
    ~Gui() {
        if (pi.hProcess) {
            if (WaitForSingleObject(pi.hProcess, 10000) != WAIT_OBJECT_0)
                TerminateProcess(pi.hProcess, 1);
            CloseHandle(pi.hProcess);
            CloseHandle(pi.hThread);
        }
    }
    HWND Item(int id) const { return GetDlgItem(wnd, id); }
};

// The controls' ids, as the window numbers them.
enum { kOld = 100, kNew = 101, kOut = 102, kBuild = 106, kSummary = 109, kWarnings = 110, kTitle = 111,
       kVersion = 117 };

TEST(BuilderWindow, BuildsAPatchThatApplies) {
    tree::TempDir t;
    tree::MakeFolderPair(t / "old", t / "new", 505);
    tree::Write(t / "old" / "only-old.txt", std::string("stays"));  // one warning
    fs::create_directories(t / "tool");
    fs::copy_file(g_gui, t / "tool" / "mkpatch-gui.exe");
    fs::copy_file(g_applier, t / "tool" / "applier.exe");

    Gui gui(t / "tool" / "mkpatch-gui.exe");
    ASSERT_TRUE(gui.wnd) << "no builder window";
    SetText(gui.Item(kOld), t / "old");
    SetText(gui.Item(kNew), t / "new");
    SetText(gui.Item(kOut), t / "patch.exe");
    SetText(gui.Item(kTitle), std::wstring(L"幻想之旅 汉化补丁"));
    SetText(gui.Item(kVersion), std::wstring(L"CompanyName=星光汉化组\r\nFileVersion=1.2.0.0"));
    PostMessageW(gui.wnd, WM_COMMAND, kBuild, reinterpret_cast<LPARAM>(gui.Item(kBuild)));
    std::wstring summary;
    ASSERT_TRUE(WaitFor([&] {
        summary = WText(gui.Item(kSummary));
        return IsWindowEnabled(gui.Item(kBuild)) && summary.find(L'\n') != std::wstring::npos;
    }, 120000)) << "the build did not end";
    // the summary's second line is verify's verdict, in either language
    EXPECT_TRUE(summary.find(L"校验通过") != std::wstring::npos || summary.find(L"Verified") != std::wstring::npos);
    // the file only OLD has is among the warnings listed
    bool listed = false;
    for (LRESULT i = 0, n = SendMessageW(gui.Item(kWarnings), LB_GETCOUNT, 0, 0); i < n; i++) {
        wchar_t item[2048] = L"";
        SendMessageW(gui.Item(kWarnings), LB_GETTEXT, i, reinterpret_cast<LPARAM>(item));
        listed |= std::wstring(item).find(L"only-old.txt") != std::wstring::npos;
    }
    EXPECT_TRUE(listed);
    PostMessageW(gui.wnd, WM_CLOSE, 0, 0);

    Bytes patch = tree::Read(t / "patch.exe");
    mkpatch::BrandInfo brand = mkpatch::ReadBranding(patch, "patch.exe");
    EXPECT_EQ(brand.title, std::optional<std::string>("幻想之旅 汉化补丁"));
    bool company = false;
    for (const auto& [key, value] : brand.version)
        company |= key == "CompanyName" && value == "星光汉化组";
    EXPECT_TRUE(company);
    int64_t offset = mkpatch::FindContainerOffset(patch, "patch.exe");
    ASSERT_GT(offset, 0);
    ExpectApplyGivesNew(patch, offset, t / "old", t / "new", t / "target");
}

TEST(BuilderWindow, MissingFieldsAreSaidAndNothingRuns) {
    Gui gui(g_gui);
    ASSERT_TRUE(gui.wnd);
    PostMessageW(gui.wnd, WM_COMMAND, kBuild, reinterpret_cast<LPARAM>(gui.Item(kBuild)));
    EXPECT_TRUE(WaitFor([&] { return !WText(gui.Item(kSummary)).empty(); }, 10000));
    EXPECT_TRUE(IsWindowEnabled(gui.Item(kBuild)));
    PostMessageW(gui.wnd, WM_CLOSE, 0, 0);
}

}  // namespace

// A host path as the Windows side sees it.
std::wstring WindowsPath(const char* arg) {
    int n = MultiByteToWideChar(CP_UTF8, 0, arg, -1, nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, arg, -1, w.data(), n);
    w.resize(wcslen(w.c_str()));
    if (!w.empty() && w[0] == L'/') {
        for (wchar_t& c : w)
            c = c == L'/' ? L'\\' : c;
        w = L"Z:" + w;
    }
    return w;
}

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (argc < 3) {
        fprintf(stderr, "usage: gui_test MKPATCH-GUI.exe APPLIER.exe\n");
        return 2;
    }
    g_gui = WindowsPath(argv[1]);
    g_applier = WindowsPath(argv[2]);
    return RUN_ALL_TESTS();
}
