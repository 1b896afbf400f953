// File helpers shared by the Windows test suites: whole-file reads and
// writes, folder trees made and removed, and the files below a folder.
// One set, so that every suite reads and writes the way the others do.
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace winfiles {

using Bytes = std::vector<uint8_t>;

// A folder path without its trailing backslash, as FindFirstFileA and
// RemoveDirectoryA want it; "C:\" keeps its backslash. The last character
// is found from the front, since a trail byte 0x5C of a double-byte
// character is no separator.
inline std::string Unslashed(std::string folder) {
    size_t last = std::string::npos;
    for (size_t i = 0; i < folder.size(); i++) {
        last = i;
        if (IsDBCSLeadByte(static_cast<BYTE>(folder[i])) && i + 1 < folder.size())
            i++;
    }
    if (folder.size() > 3 && last == folder.size() - 1 && folder[last] == '\\')
        folder.pop_back();
    return folder;
}

// Writes data to path (created or truncated) in pieces of 1 MB; true only
// when every byte was written and the file closed.
inline bool WriteFileBytes(const std::string& path, const Bytes& data) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
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

// The file's bytes; false when it cannot be opened or read. Others may
// hold the file open for writing, as a killed run's temporary file is.
inline bool ReadFileBytes(const std::string& path, Bytes* out) {
    out->clear();
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    std::vector<unsigned char> buf(1 << 16);
    DWORD got = 0;
    bool ok;
    while ((ok = ReadFile(h, buf.data(), static_cast<DWORD>(buf.size()), &got, nullptr)) && got)
        out->insert(out->end(), buf.begin(), buf.begin() + got);
    CloseHandle(h);
    return ok;
}

inline bool Exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Calls visit(name, isFolder) for every entry of a folder but "." and "..".
template <class Visit>
void ForEachEntry(const std::string& folder, Visit visit) {
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((Unslashed(folder) + "\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return;
    do {
        std::string n = fd.cFileName;
        if (n != "." && n != "..")
            visit(n, (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
    } while (FindNextFileA(h, &fd));
    FindClose(h);
}

// Removes a folder (with or without its trailing backslash) and everything
// in it, read-only files and folders included.
inline void RemoveTree(const std::string& folder) {
    const std::string dir = Unslashed(folder);
    ForEachEntry(dir, [&](const std::string& n, bool isFolder) {
        std::string p = dir + "\\" + n;
        SetFileAttributesA(p.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (isFolder)
            RemoveTree(p);
        else
            DeleteFileA(p.c_str());
    });
    SetFileAttributesA(dir.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryA(dir.c_str());
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

// Paths, relative to root and joined with backslashes, of every file below
// root (folders themselves are not listed).
inline void ListFiles(const std::string& root, std::vector<std::string>* out, const std::string& rel = "") {
    const std::string dir = rel.empty() ? Unslashed(root) : Unslashed(root) + "\\" + rel;
    ForEachEntry(dir, [&](const std::string& n, bool isFolder) {
        std::string r = rel.empty() ? n : rel + "\\" + n;
        if (isFolder)
            ListFiles(root, out, r);
        else
            out->push_back(r);
    });
}

// Whether a file name starts with the engine's temporary prefix, in any case.
inline bool IsTempName(const std::string& leaf) {
    return leaf.size() >= 3 &&
           CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, leaf.c_str(), 3, "PCH", 3) == CSTR_EQUAL;
}

}  // namespace winfiles
