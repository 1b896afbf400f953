// A scratch tree for the fault tests and what they check in it: every file
// below a folder with its bytes, so that a test can say exactly what a run
// changed, where, and whether any temporary "PCH" file was left behind.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace reliability {

using Bytes = std::vector<uint8_t>;

// Path -> bytes of every file below a folder; folders appear with the
// value "<dir>" so that a folder made or removed shows too.
using Tree = std::map<std::string, Bytes>;

inline Bytes Text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

inline bool WriteFileBytes(const std::string& path, const Bytes& data) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    size_t at = 0;
    bool ok = true;
    while (ok && at < data.size()) {
        DWORD piece = static_cast<DWORD>(std::min<size_t>(data.size() - at, 1 << 20));
        DWORD done = 0;
        ok = WriteFile(h, data.data() + at, piece, &done, nullptr) && done == piece;
        at += piece;
    }
    return CloseHandle(h) && ok;
}

// The file's bytes; false when it cannot be opened or read.
inline bool ReadFileBytes(const std::string& path, Bytes* out) {
    out->clear();
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    static unsigned char buf[1 << 16];
    DWORD got = 0;
    bool ok;
    while ((ok = ReadFile(h, buf, sizeof buf, &got, nullptr)) && got)
        out->insert(out->end(), buf, buf + got);
    CloseHandle(h);
    return ok;
}

// Removes a folder and everything in it, read-only files included.
inline void RemoveTree(const std::string& folder) {
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((folder + "\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            std::string n = fd.cFileName;
            if (n == "." || n == "..")
                continue;
            std::string p = folder + "\\" + n;
            SetFileAttributesA(p.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(p);
            else
                DeleteFileA(p.c_str());
        } while (FindNextFileA(h, &fd));
        FindClose(h);
    }
    SetFileAttributesA(folder.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryA(folder.c_str());
}

// Creates every folder on the way to path. Walks characters of the ANSI
// code page, so a trail byte 0x5C of a double-byte character is no
// separator.
inline void MakeFolders(const std::string& path) {
    for (size_t i = 0; i < path.size(); i++) {
        if (IsDBCSLeadByte(static_cast<BYTE>(path[i])) && i + 1 < path.size())
            i++;
        else if (path[i] == '\\' && i > 2)
            CreateDirectoryA(path.substr(0, i).c_str(), nullptr);
    }
}

// Every file and folder below folder, keyed by the path relative to it.
inline void Snapshot(const std::string& folder, const std::string& prefix, Tree* tree) {
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((folder + "\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return;
    do {
        std::string n = fd.cFileName;
        if (n == "." || n == "..")
            continue;
        std::string rel = prefix + n;
        std::string p = folder + "\\" + n;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            (*tree)[rel + "\\"] = Text("<dir>");
            Snapshot(p, rel + "\\", tree);
        } else {
            Bytes b;
            if (!ReadFileBytes(p, &b))
                b = Text("<unreadable>");
            (*tree)[rel] = b;
        }
    } while (FindNextFileA(h, &fd));
    FindClose(h);
}

inline Tree Snapshot(const std::string& folder) {
    Tree t;
    Snapshot(folder, "", &t);
    return t;
}

// Names in a tree that start with the temporary prefix, in any case.
inline std::vector<std::string> TempFiles(const Tree& tree) {
    std::vector<std::string> found;
    for (const auto& [path, bytes] : tree) {
        size_t slash = path.find_last_of('\\', path.size() - 2);
        std::string leaf = slash == std::string::npos ? path : path.substr(slash + 1);
        if (leaf.size() >= 3 && CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, leaf.c_str(), 3,
                                               "PCH", 3) == CSTR_EQUAL)
            found.push_back(path);
    }
    return found;
}

// A fresh folder below the current one: root\ holds outside\ (files that
// no run may touch) and target\ (the folder a run patches).
struct Sandbox {
    std::string root;
    std::string target;  // with its trailing backslash, as the engine wants it

    explicit Sandbox(const std::string& tag) {
        char cwd[MAX_PATH];
        GetCurrentDirectoryA(MAX_PATH, cwd);
        root = std::string(cwd) + "\\rel-" + tag + "-" + std::to_string(GetCurrentProcessId());
        RemoveTree(root);
        CreateDirectoryA(root.c_str(), nullptr);
        CreateDirectoryA((root + "\\outside").c_str(), nullptr);
        WriteFileBytes(root + "\\outside\\keep.txt", Text("not to be touched\r\n"));
        target = root + "\\target\\";
        CreateDirectoryA(target.c_str(), nullptr);
    }
    ~Sandbox() { RemoveTree(root); }
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    // Empties the target folder and fills it with files (name -> bytes).
    void Reset(const std::map<std::string, Bytes>& files) const {
        RemoveTree(target.substr(0, target.size() - 1));
        CreateDirectoryA(target.c_str(), nullptr);
        for (const auto& [name, bytes] : files) {
            MakeFolders(target + name);
            WriteFileBytes(target + name, bytes);
        }
    }

    // What lies in root but outside the target folder.
    Tree Outside() const {
        Tree all = Snapshot(root);
        Tree out;
        for (auto& [path, bytes] : all)
            if (path.rfind("target\\", 0) != 0)
                out[path] = bytes;
        return out;
    }
    Tree Target() const { return Snapshot(target.substr(0, target.size() - 1)); }
};

}  // namespace reliability
