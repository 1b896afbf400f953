// A scratch folder for Windows tests, and small file helpers around it.
#pragma once

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "container_builder.h"
#include "scratch_dir.h"
#include "win_files.h"

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

// A scratch folder (below parent, or the temporary folder) with the target
// folder of a run inside it, named target unless told otherwise. Removed
// again at the end.
class ScratchFolder {
public:
    explicit ScratchFolder(const std::string& tag, const std::string& parent = "",
                           const std::string& target = "target")
        : scratch_(tag, parent), root_(scratch_.str() + "\\"), dir_(root_ + target + "\\") {
        CreateDirectoryA(dir_.c_str(), nullptr);
    }

    // The target folder, ending with a backslash; root() holds it, so
    // anything a record writes outside the target shows up in root().
    const std::string& dir() const { return dir_; }
    const std::string& root() const { return root_; }
    std::string operator/(const std::string& name) const { return dir_ + name; }

private:
    ScratchDir scratch_;
    std::string root_;
    std::string dir_;
};

}  // namespace testing_support
