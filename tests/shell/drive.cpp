// Helpers for driving the applier; see drive.h.
#include "drive.h"

#include <algorithm>
#include <cstdio>

#include "../support/win_files.h"
#include "core/format.h"
#include "core/stubmark.h"

namespace drive {

Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

bool WriteBytes(const std::string& path, const Bytes& data) {
    return winfiles::WriteFileBytes(path, data);
}

Bytes ReadBytes(const std::string& path, bool* missing) {
    Bytes out;
    bool read = winfiles::ReadFileBytes(path, &out);
    if (missing)
        *missing = !read;
    return out;
}

bool Exists(const std::string& path) {
    return winfiles::Exists(path);
}

void RemoveTree(const std::string& dir) {
    winfiles::RemoveTree(dir);
}

std::string WindowsPath(const std::string& path) {
    std::string out = !path.empty() && path[0] == '/' ? "Z:" + path : path;
    std::replace(out.begin(), out.end(), '/', '\\');
    return out;
}

Delta SimpleDelta(const Bytes& oldBytes, const Bytes& newBytes) {
    size_t head = 0;
    while (head < oldBytes.size() && head < newBytes.size() && oldBytes[head] == newBytes[head])
        head++;
    size_t tail = 0;
    while (tail < oldBytes.size() - head && tail < newBytes.size() - head &&
           oldBytes[oldBytes.size() - 1 - tail] == newBytes[newBytes.size() - 1 - tail])
        tail++;
    Delta d;
    if (head)
        d.Copy((uint32_t)head, 0);
    if (newBytes.size() > head + tail)
        d.Insert(Bytes(newBytes.begin() + head, newBytes.end() - tail));
    if (tail)
        d.Copy((uint32_t)tail, (uint32_t)(oldBytes.size() - tail));
    return d;
}

bool BrandApplier(const std::string& applier, const std::string& rcdata, const std::string& out) {
    if (!CopyFileA(applier.c_str(), out.c_str(), FALSE))
        return false;
    HANDLE update = BeginUpdateResourceA(out.c_str(), FALSE);
    if (!update)
        return false;
    bool ok = UpdateResourceA(update, (LPCSTR)RT_RCDATA, MAKEINTRESOURCEA(200),
                              MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED), (void*)rcdata.data(),
                              (DWORD)rcdata.size()) != 0;
    if (!EndUpdateResourceA(update, !ok) || !ok)
        return false;
    Bytes exe = ReadBytes(out);
    const std::string mark(STUB_MARK, STUB_MARK_SIZE);
    auto at = std::search(exe.begin(), exe.end(), mark.begin(), mark.end());
    if (at == exe.end() || exe.end() - at < STUB_INFO_SIZE)
        return false;
    PutU32(&*at + STUB_MARK_SIZE, (uint32_t)exe.size());
    return WriteBytes(out, exe);
}

bool MakePatch(const std::string& applier, const Bytes& container, const std::string& out) {
    bool missing = false;
    Bytes exe = ReadBytes(applier, &missing);
    if (missing || exe.empty())
        return false;
    exe.insert(exe.end(), container.begin(), container.end());
    return WriteBytes(out, exe);
}

Bytes ContainerFromFolders(const std::string& oldDir, const std::string& newDir) {
    std::vector<std::string> names;
    winfiles::ListFiles(newDir, &names);
    std::sort(names.begin(), names.end());
    Container c;
    for (const std::string& name : names) {
        Bytes now = ReadBytes(newDir + "\\" + name);
        bool missing = false;
        Bytes before = ReadBytes(oldDir + "\\" + name, &missing);
        if (missing)
            c.Whole(name, now);
        else if (before != now)
            c.DeltaRecord(name, Sum(before), Sum(now), SimpleDelta(before, now));
    }
    return c.Build();
}

Process::~Process() {
    if (!ok)
        return;
    if (WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT)
        TerminateProcess(pi.hProcess, 99);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
}

long Process::Wait(DWORD ms) {
    if (WaitForSingleObject(pi.hProcess, ms) != WAIT_OBJECT_0) {
        TerminateProcess(pi.hProcess, 99);
        WaitForSingleObject(pi.hProcess, 5000);
        return -1;
    }
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    return (long)code;
}

bool Launch(Process& p, const std::string& exe, const std::string* commandLine) {
    std::string cmd = commandLine ? *commandLine : "\"" + exe + "\"";
    std::vector<char> buf(cmd.begin(), cmd.end());
    buf.push_back(0);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    // Under wine64 on a loaded machine a process start has failed where no
    // program of ours was at fault; a failed start is tried a few more
    // times, each retry said on stderr, before the test gives up on it.
    p.ok = false;
    for (int attempt = 0; attempt < 5 && !p.ok; attempt++) {
        if (attempt) {
            std::fprintf(stderr, "note: starting %s failed (error %lu); trying again\n", exe.c_str(),
                         (unsigned long)GetLastError());
            Sleep(250);
        }
        p.ok = CreateProcessA(exe.c_str(), buf.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &p.pi) != 0;
    }
    return p.ok;
}

std::string Text(HWND wnd) {
    char buf[8192];
    buf[0] = 0;
    // a window of another process answers WM_GETTEXT through its own thread
    DWORD_PTR len = 0;
    if (!SendMessageTimeoutA(wnd, WM_GETTEXT, sizeof buf, (LPARAM)buf, SMTO_ABORTIFHUNG, 5000, &len))
        return std::string();
    return std::string(buf, std::min<size_t>(len, sizeof buf - 1));
}

std::string ClassOf(HWND wnd) {
    char buf[64];
    int n = GetClassNameA(wnd, buf, sizeof buf);
    return std::string(buf, n > 0 ? n : 0);
}

struct EnumCtx {
    DWORD pid;
    const char* cls;
    std::vector<HWND> found;
};

static BOOL CALLBACK EnumTop(HWND wnd, LPARAM lp) {
    EnumCtx* ctx = (EnumCtx*)lp;
    DWORD pid = 0;
    GetWindowThreadProcessId(wnd, &pid);
    if (pid == ctx->pid && IsWindowVisible(wnd) && (!ctx->cls || lstrcmpiA(ClassOf(wnd).c_str(), ctx->cls) == 0))
        ctx->found.push_back(wnd);
    return TRUE;
}

std::vector<HWND> TopWindows(DWORD pid, const char* cls) {
    EnumCtx ctx{pid, cls, {}};
    EnumWindows(EnumTop, (LPARAM)&ctx);
    return ctx.found;
}

static int ChildCount(HWND wnd) {
    int n = 0;
    for (HWND c = GetWindow(wnd, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
        n++;
    return n;
}

static bool Running(const Process& p) {
    return WaitForSingleObject(p.pi.hProcess, 0) == WAIT_TIMEOUT;
}

HWND WaitMainWindow(const Process& p, DWORD ms) {
    HWND main = nullptr;
    bool ok = WaitFor([&] {
        std::vector<HWND> w = TopWindows(p.pi.dwProcessId, "korvex");
        // the template has 13 controls; the window exists before them
        main = w.empty() ? nullptr : w[0];
        return (main && ChildCount(main) == 13) || !Running(p);
    }, ms);
    if (!ok || !main || ChildCount(main) != 13)
        return nullptr;
    DWORD_PTR r;
    SendMessageTimeoutA(main, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &r);
    return main;
}

HWND FindProgress(DWORD pid) {
    for (HWND w : TopWindows(pid, "#32770"))
        if (Text(w) == "Patching...")
            return w;
    return nullptr;
}

HWND WaitBox(const Process& p, DWORD ms, const std::vector<HWND>& seen) {
    HWND box = nullptr;
    WaitFor([&] {
        for (HWND w : TopWindows(p.pi.dwProcessId, "#32770")) {
            if (std::find(seen.begin(), seen.end(), w) != seen.end())
                continue;
            // a message box has its text in a static with id 0xFFFF
            if (GetDlgItem(w, 0xFFFF)) {
                box = w;
                return true;
            }
        }
        return !Running(p);
    }, ms);
    if (box) {
        DWORD_PTR r;
        SendMessageTimeoutA(box, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &r);
    }
    return box;
}

std::string BoxText(HWND box) { return Text(GetDlgItem(box, 0xFFFF)); }

void SetEditText(HWND main, const std::string& text) {
    DWORD_PTR r;
    SendMessageTimeoutA(GetDlgItem(main, 1000), WM_SETTEXT, 0, (LPARAM)text.c_str(), SMTO_ABORTIFHUNG, 5000, &r);
}

bool StartEnabled(HWND main) { return IsWindowEnabled(GetDlgItem(main, IDOK)) != 0; }

void Click(HWND dlg, int id) {
    PostMessageA(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(dlg, id));
}

void Answer(HWND box, int id) { PostMessageA(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0); }

Outcome RunThrough(Process& p, HWND main, const std::string& folder, const std::vector<int>& answers,
                   BoxHook onBox, void* ctx) {
    Outcome out;
    SetEditText(main, folder);
    Click(main, IDOK);
    std::vector<HWND> seen;
    size_t next = 0;
    for (;;) {
        // A minute with no box ends the run's driving, unless the progress
        // dialog is still up: a large file may take longer than that.
        HWND box = WaitBox(p, 60000, seen);
        while (!box && FindProgress(p.pi.dwProcessId))
            box = WaitBox(p, 60000, seen);
        if (!box)
            break;
        seen.push_back(box);
        HWND owner = GetWindow(box, GW_OWNER);
        HWND progress = FindProgress(p.pi.dwProcessId);
        if (progress && owner == progress) {
            // an overwrite question: the run is still going
            out.questions.push_back(Text(box));
            if (!out.questionOwner) {
                out.questionOwner = owner;
                out.progress = progress;
            }
            if (onBox)
                onBox(box, progress, ctx);
            Answer(box, next < answers.size() ? answers[next] : IDNO);
            next++;
            continue;
        }
        out.outcomeBoxes++;
        if (out.outcomeBoxes == 1) {
            out.caption = Text(box);
            out.text = BoxText(box);
        }
        if (onBox)
            onBox(box, nullptr, ctx);
        Answer(box, IDOK);
    }
    out.exitCode = p.Wait(20000);
    return out;
}

}  // namespace drive
