// A scratch folder for Windows tests, and small file helpers around it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "support/container_builder.h"

namespace testing_support {

inline void WriteBytes(const std::string& path, const Bytes& data) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return;
    DWORD done = 0;
    if (!data.empty())
        WriteFile(h, data.data(), (DWORD)data.size(), &done, nullptr);
    CloseHandle(h);
}

// The file's bytes, or {"<missing>"} when it cannot be read.
inline Bytes ReadBytes(const std::string& path) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return B("<missing>");
    Bytes out;
    unsigned char buf[65536];
    DWORD got = 0;
    while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got)
        out.insert(out.end(), buf, buf + got);
    CloseHandle(h);
    return out;
}

inline bool Exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Names (not paths) of the entries of a folder, "." and ".." left out.
inline std::vector<std::string> List(const std::string& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((folder + "*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return names;
    do {
        std::string n = fd.cFileName;
        if (n != "." && n != "..")
            names.push_back(n);
    } while (FindNextFileA(h, &fd));
    FindClose(h);
    return names;
}

// Temporary files of the engine, anywhere below folder.
inline int CountTempFiles(const std::string& folder) {
    int count = 0;
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((folder + "*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    do {
        std::string n = fd.cFileName;
        if (n == "." || n == "..")
            continue;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            count += CountTempFiles(folder + n + "\\");
        else if (n.size() >= 3 && _strnicmp(n.c_str(), "PCH", 3) == 0)
            count++;
    } while (FindNextFileA(h, &fd));
    FindClose(h);
    return count;
}

inline void RemoveTree(const std::string& folder) {
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((folder + "*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            std::string n = fd.cFileName;
            if (n == "." || n == "..")
                continue;
            std::string p = folder + n;
            SetFileAttributesA(p.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(p + "\\");
            else
                DeleteFileA(p.c_str());
        } while (FindNextFileA(h, &fd));
        FindClose(h);
    }
    RemoveDirectoryA(folder.c_str());
}

// A fresh, empty folder under the temporary folder; removed again at the end.
class ScratchFolder {
public:
    explicit ScratchFolder(const std::string& tag) {
        char tmp[MAX_PATH];
        GetTempPathA(MAX_PATH, tmp);
        static int serial = 0;
        root_ = std::string(tmp) + "korvex-" + tag + "-" + std::to_string(GetCurrentProcessId()) + "-" +
                std::to_string(++serial) + "\\";
        RemoveTree(root_);
        CreateDirectoryA(root_.c_str(), nullptr);
        dir_ = root_ + "target\\";
        CreateDirectoryA(dir_.c_str(), nullptr);
    }
    ~ScratchFolder() { RemoveTree(root_); }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    // The target folder, ending with a backslash; root() holds it, so
    // anything a record writes outside the target shows up in root().
    const std::string& dir() const { return dir_; }
    const std::string& root() const { return root_; }
    std::string operator/(const std::string& name) const { return dir_ + name; }

private:
    std::string root_;
    std::string dir_;
};

}  // namespace testing_support
