// A fresh, empty folder of a test's own, removed again with everything in
// it at the end. The one scratch folder of every suite: the tool's tests on
// the host and under wine, the engine's, the window tests and the fault
// tests build theirs on it. Plain std::filesystem, so it builds for both.
#pragma once

#include <atomic>
#include <filesystem>
#include <string>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace testing_support {

// The folder's name: korvex-TAG-PROCESS-SERIAL. The process id and a serial
// number keep the folders of parallel test programs, and of the tests
// within one, apart.
inline std::string ScratchName(const std::string& tag) {
    static std::atomic<unsigned> serial{0};
#ifdef _WIN32
    const unsigned long pid = GetCurrentProcessId();
#else
    const unsigned long pid = (unsigned long)getpid();
#endif
    return "korvex-" + tag + "-" + std::to_string(pid) + "-" + std::to_string(++serial);
}

// Removes a folder and everything below it, read-only entries included (on
// Windows a read-only file cannot be deleted). Errors are ignored: a file a
// killed program still holds open stays behind rather than failing a test.
inline void RemoveScratch(const std::filesystem::path& folder) {
    namespace fs = std::filesystem;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec), end;
         !ec && it != end; it.increment(ec)) {
        std::error_code ignored;
        if (!it->is_symlink(ignored))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::remove_all(folder, ec);
}

class ScratchDir {
public:
    // A new folder below parent, or below the system's temporary folder
    // when parent is empty.
    explicit ScratchDir(const std::string& tag, std::filesystem::path parent = {}) {
        if (parent.empty())
            parent = std::filesystem::temp_directory_path();
        path_ = parent / ScratchName(tag);
        RemoveScratch(path_);  // left by an earlier process of the same id
        std::filesystem::create_directories(path_);
    }
    ~ScratchDir() { RemoveScratch(path_); }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // The folder as a narrow string, without a trailing separator. The
    // folders tests use are ASCII, so on Windows this is also the path the
    // ANSI functions take.
    std::string str() const { return path_.string(); }
    // A path below the folder; rel is UTF-8, with / or \ on Windows.
    std::filesystem::path operator/(const std::string& rel) const {
        return path_ / std::filesystem::path(std::u8string(rel.begin(), rel.end()));
    }

private:
    std::filesystem::path path_;
};

}  // namespace testing_support
