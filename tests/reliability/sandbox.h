// A scratch tree for the fault tests and what they check in it: every file
// below a folder with its bytes, so that a test can say exactly what a run
// changed, where, and whether any temporary "PCH" file was left behind.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "../support/win_files.h"
#include "../support/win_folder.h"

namespace reliability {

using Bytes = std::vector<uint8_t>;

// Path -> bytes of every file below a folder; folders appear with the
// value "<dir>" so that a folder made or removed shows too.
using Tree = std::map<std::string, Bytes>;

inline Bytes Text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

using winfiles::MakeFolders;
using winfiles::ReadFileBytes;
using winfiles::RemoveTree;
using winfiles::WriteFileBytes;

inline std::string CurrentFolder() {
    char cwd[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, cwd);
    return cwd;
}

// Every file and folder below folder, keyed by the path relative to it.
inline void Snapshot(const std::string& folder, const std::string& prefix, Tree* tree) {
    winfiles::ForEachEntry(folder, [&](const std::string& n, bool isFolder) {
        std::string rel = prefix + n;
        std::string p = folder + "\\" + n;
        if (isFolder) {
            (*tree)[rel + "\\"] = Text("<dir>");
            Snapshot(p, rel + "\\", tree);
        } else {
            Bytes b;
            if (!ReadFileBytes(p, &b))
                b = Text("<unreadable>");
            (*tree)[rel] = b;
        }
    });
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
        if (winfiles::IsTempName(leaf))
            found.push_back(path);
    }
    return found;
}

// A scratch folder below the current one: root\ holds outside\ (files
// that no run may touch) and target\ (the folder a run patches).
struct Sandbox {
    const testing_support::ScratchFolder folder;
    const std::string root;    // without its trailing backslash
    const std::string target;  // with its trailing backslash, as the engine wants it

    explicit Sandbox(const std::string& tag)
        : folder(tag, CurrentFolder()), root(winfiles::Unslashed(folder.root())), target(folder.dir()) {
        CreateDirectoryA((root + "\\outside").c_str(), nullptr);
        WriteFileBytes(root + "\\outside\\keep.txt", Text("not to be touched\r\n"));
    }

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
