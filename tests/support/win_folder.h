// A scratch folder for Windows tests, and small file helpers around it.
#pragma once

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/container_builder.h"
#include "support/win_files.h"

namespace testing_support {

inline void WriteBytes(const std::string& path, const Bytes& data) {
    winfiles::WriteFileBytes(path, data);
}

// The file's bytes, or {"<missing>"} when it cannot be read.
inline Bytes ReadBytes(const std::string& path) {
    Bytes out;
    return winfiles::ReadFileBytes(path, &out) ? out : B("<missing>");
}

using winfiles::Exists;
using winfiles::RemoveTree;

// Names (not paths) of the entries of a folder, "." and ".." left out.
inline std::vector<std::string> List(const std::string& folder) {
    std::vector<std::string> names;
    winfiles::ForEachEntry(folder, [&](const std::string& n, bool) { names.push_back(n); });
    return names;
}

// Temporary files of the engine, anywhere below folder.
inline int CountTempFiles(const std::string& folder) {
    std::vector<std::string> files;
    winfiles::ListFiles(folder, &files);
    return (int)std::count_if(files.begin(), files.end(), [](const std::string& rel) {
        return winfiles::IsTempName(rel.substr(rel.find_last_of('\\') + 1));
    });
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
