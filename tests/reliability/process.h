// Starting the helper program from a test, and finding it beside the test.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>

namespace reliability {

// What `rel_helper run ... restore` puts before the restore file's
// container, and the name it gives the file in the target folder.
inline const char kRestoreStub[] = "MZ rel_helper's stand-in for the applier";
inline const char kRestoreName[] = "restore";

inline std::string HelperPath() {
    char self[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string path(self, n);
    return path.substr(0, path.find_last_of('\\') + 1) + "rel_helper.exe";
}

// Starts the helper with args (after its own quoted path); its output goes
// to the NUL device. Returns the process handle, or nullptr with the
// system's error code in *error.
inline HANDLE StartHelper(const std::string& args, DWORD* error = nullptr) {
    // built by appending: GCC 12 warns falsely about chains of string +
    std::string line = "\"";
    line.append(HelperPath()).append("\" ").append(args);
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE nul = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0,
                             nullptr);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = nul;
    si.hStdError = nul;
    si.hStdInput = nullptr;
    PROCESS_INFORMATION pi{};
    // Under wine64 on a loaded machine a process start has failed where no
    // program of ours was at fault; a failed start is tried a few more
    // times, each retry said on stderr, before the test gives up on it.
    BOOL ok = FALSE;
    DWORD lastError = 0;
    for (int attempt = 0; attempt < 5 && !ok; attempt++) {
        if (attempt) {
            std::fprintf(stderr, "note: starting the helper failed (error %lu); trying again\n",
                         (unsigned long)lastError);
            Sleep(250);
        }
        ok = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
        if (!ok)
            lastError = GetLastError();
    }
    if (error)
        *error = ok ? 0 : lastError;
    if (nul != INVALID_HANDLE_VALUE)
        CloseHandle(nul);
    if (!ok)
        return nullptr;
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

// Waits for a process and returns its exit code (or ~0u after the timeout).
inline DWORD WaitExit(HANDLE process, DWORD ms = 120000) {
    DWORD code = ~0u;
    if (WaitForSingleObject(process, ms) == WAIT_OBJECT_0)
        GetExitCodeProcess(process, &code);
    return code;
}

}  // namespace reliability
