#include "files.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace mkpatch {

std::string Utf8(const fs::path& p) {
    std::u8string u = p.u8string();
    return std::string(u.begin(), u.end());
}

fs::path PathFromUtf8(const std::string& s) {
    return fs::path(std::u8string(s.begin(), s.end()));
}

std::vector<TreeFile> ListTree(const fs::path& root) {
    std::error_code ec;
    if (!fs::is_directory(root, ec))
        throw Error(Utf8(root) + ": not a folder" + (fs::exists(root) ? "" : " (does not exist)"));
    std::vector<TreeFile> files;
    fs::recursive_directory_iterator it(root, ec), end;
    if (ec)
        throw Error(Utf8(root) + ": cannot list the folder: " + ec.message());
    for (; it != end; it.increment(ec)) {
        if (ec)
            throw Error(Utf8(root) + ": cannot list the folder: " + ec.message());
        const fs::directory_entry& e = *it;
        fs::file_status st = e.status(ec);  // follows links, as opening would
        if (ec)
            throw Error(Utf8(e.path()) + ": " + ec.message());
        if (fs::is_directory(st))
            continue;
        if (!fs::is_regular_file(st))
            throw Error(Utf8(e.path()) + ": neither a file nor a folder");
        uint64_t size = fs::file_size(e.path(), ec);
        if (ec)
            throw Error(Utf8(e.path()) + ": " + ec.message());
        // lexically: a linked file keeps the name it has here, not its target's
        files.push_back({Utf8(e.path().lexically_relative(root)), e.path(), size});
    }
#ifdef _WIN32
    for (TreeFile& f : files)
        std::replace(f.rel.begin(), f.rel.end(), '\\', '/');
#endif
    std::sort(files.begin(), files.end(),
              [](const TreeFile& a, const TreeFile& b) { return a.rel < b.rel; });
    return files;
}

static std::FILE* OpenFile(const fs::path& p, const char* mode) {
#ifdef _WIN32
    std::wstring wmode(mode, mode + std::strlen(mode));
    return _wfopen(p.c_str(), wmode.c_str());
#else
    return std::fopen(p.c_str(), mode);
#endif
}

std::vector<uint8_t> ReadFileBytes(const fs::path& p) {
    std::FILE* f = OpenFile(p, "rb");
    if (!f)
        throw Error(Utf8(p) + ": cannot open: " + std::strerror(errno));
    std::vector<uint8_t> bytes;
    std::error_code ec;
    uint64_t size = fs::file_size(p, ec);
    if (!ec)
        bytes.reserve(size);
    uint8_t buf[1 << 16];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        bytes.insert(bytes.end(), buf, buf + n);
    bool failed = std::ferror(f);
    std::fclose(f);
    if (failed)
        throw Error(Utf8(p) + ": cannot read");
    return bytes;
}

OutputFile::OutputFile(const fs::path& final) : final_(final) {
    temp_ = final_;
    temp_ += ".mkpatch-tmp";
    file_ = OpenFile(temp_, "w+b");
    if (!file_)
        throw Error(Utf8(final_) + ": cannot write: " + std::strerror(errno));
}

OutputFile::~OutputFile() {
    if (file_) {
        std::fclose(file_);
        std::error_code ec;
        fs::remove(temp_, ec);
    }
}

void OutputFile::Write(const void* bytes, size_t n) {
    if (n && std::fwrite(bytes, 1, n, file_) != n)
        throw Error(Utf8(final_) + ": write failed: " + std::strerror(errno));
    size_ += n;
}

void OutputFile::Commit() {
    bool ok = std::fclose(file_) == 0;
    file_ = nullptr;
    std::error_code ec;
    if (ok)
        fs::rename(temp_, final_, ec);
    if (!ok || ec) {
        fs::remove(temp_, ec);
        throw Error(Utf8(final_) + ": cannot write the file");
    }
}

fs::path ProgramFolder() {
#ifdef _WIN32
    wchar_t buf[32768];
    DWORD n = GetModuleFileNameW(nullptr, buf, sizeof buf / sizeof buf[0]);
    if (n == 0 || n >= sizeof buf / sizeof buf[0])
        return {};
    return fs::path(std::wstring(buf, n)).parent_path();
#else
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : self.parent_path();
#endif
}

bool StderrIsTerminal() {
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(2) != 0;
#endif
}

}  // namespace mkpatch
