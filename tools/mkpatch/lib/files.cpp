#include "files.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>

#include "core/checksum.h"
#include "names.h"

#include <fcntl.h>
#include <sys/stat.h>

#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace mkpatch {

std::string Utf8(const fs::path& p) {
    // '/' between names on every host, as relative names have it, so that
    // no message mixes the two separators
    std::u8string u = p.generic_u8string();
    return std::string(u.begin(), u.end());
}

fs::path PathFromUtf8(const std::string& s) {
    return fs::path(std::u8string(s.begin(), s.end()));
}

namespace {

std::string RelUtf8(const fs::path& p, const fs::path& root) {
    std::string rel = Utf8(p.lexically_relative(root));
#ifdef _WIN32
    std::replace(rel.begin(), rel.end(), '\\', '/');
#endif
    return rel;
}

// Whether the link at p leads to something outside root; a link that
// leads nowhere is not followed, so it leads nowhere outside either.
bool LeadsOutside(const fs::path& p, const fs::path& root) {
    std::error_code ec;
    return fs::exists(p, ec) && !IsInside(p, root);
}

bool MatchHere(std::string_view g, std::string_view s) {
    while (!g.empty()) {
        if (g.starts_with("**/")) {
            // any number of whole folders, none included
            g.remove_prefix(3);
            if (MatchHere(g, s))
                return true;
            for (size_t i = 0; i < s.size(); i++)
                if (s[i] == '/' && MatchHere(g, s.substr(i + 1)))
                    return true;
            return false;
        }
        if (g.starts_with("**")) {
            g.remove_prefix(2);
            for (size_t i = 0; i <= s.size(); i++)
                if (MatchHere(g, s.substr(i)))
                    return true;
            return false;
        }
        if (g[0] == '*') {
            g.remove_prefix(1);
            for (size_t i = 0; i <= s.size(); i++) {
                if (MatchHere(g, s.substr(i)))
                    return true;
                if (i < s.size() && s[i] == '/')
                    break;
            }
            return false;
        }
        if (s.empty() || (g[0] == '?' ? s[0] == '/' : g[0] != s[0]))
            return false;
        g.remove_prefix(1);
        s.remove_prefix(1);
    }
    return s.empty();
}

// An exclude glob in the form MatchHere takes: '/' separators, none at
// either end, letters folded; anchored when it names a path from the top
// rather than a name anywhere.
struct Glob {
    std::string text;
    bool anchored;
};

Glob PrepareGlob(std::string_view glob) {
    std::string g(glob);
    std::replace(g.begin(), g.end(), '\\', '/');  // as Windows users type paths
    while (!g.empty() && g.back() == '/')
        g.pop_back();  // "data/": the folder data
    bool leading = !g.empty() && g[0] == '/';
    g.erase(0, std::min(g.find_first_not_of('/'), g.size()));
    return {FoldName(g), leading || g.find('/') != std::string::npos};
}

// foldedRel: a relative path as FoldName gives it.
bool MatchesPrepared(const Glob& glob, std::string_view foldedRel) {
    if (glob.anchored)
        return MatchHere(glob.text, foldedRel);
    for (size_t start = 0;;) {
        size_t slash = foldedRel.find('/', start);
        if (MatchHere(glob.text,
                      foldedRel.substr(start, slash == std::string_view::npos ? slash : slash - start)))
            return true;
        if (slash == std::string_view::npos)
            return false;
        start = slash + 1;
    }
}

std::FILE* OpenFile(const fs::path& p, const char* mode) {
#ifdef _WIN32
    std::wstring wmode(mode, mode + std::strlen(mode));
    return _wfopen(p.c_str(), wmode.c_str());
#else
    return std::fopen(p.c_str(), mode);
#endif
}

// Why the file cannot be opened for reading, or "" when it can: found
// while listing, so that no record is planned for a file that build
// could not read later.
std::string CannotOpen(const fs::path& p) {
    std::FILE* f = OpenFile(p, "rb");
    if (!f)
        return std::strerror(errno);
    std::fclose(f);
    return "";
}

// What a link that cannot be followed is, for the message naming it.
std::string UnfollowableLink(const fs::path& p, const std::error_code& ec) {
    std::error_code ignored;
    fs::path target = fs::read_symlink(p, ignored);
    std::string to = ignored ? std::string() : " to " + Utf8(target);
    if (ec == std::errc::too_many_symbolic_link_levels)
        return "a link" + to + " that loops back on itself";
    if (ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory)
        return "a broken link" + to;
    return "a link" + to + " that cannot be followed (" + ec.message() + ")";
}

std::string KindOf(fs::file_type type) {
    switch (type) {
    case fs::file_type::fifo:
        return "a named pipe (fifo)";
    case fs::file_type::socket:
        return "a socket";
    case fs::file_type::block:
        return "a block device";
    case fs::file_type::character:
        return "a character device";
    default:
        return "an entry of an unknown kind";
    }
}

// Adds one entry of a folder to tree: a file, a folder to list next (put
// on pending), a note, or a problem.
void ListEntry(const fs::directory_entry& e, const fs::path& root, const std::vector<Glob>& globs,
               Tree& tree, std::vector<fs::path>& pending, std::vector<std::string>& problems) {
    // lexically: a linked file keeps the name it has here, not its target's
    std::string rel = RelUtf8(e.path(), root);
    std::string folded = FoldName(rel);
    bool excluded = false;
    for (size_t i = 0; i < globs.size(); i++) {
        if (MatchesPrepared(globs[i], folded))
            excluded = tree.excludeMatched[i] = true;
    }
    if (excluded)
        return;
    std::error_code ec;
    bool link = e.is_symlink(ec);
    fs::file_status st = e.status(ec);  // follows links, as opening would
    if (ec) {
        problems.push_back(link ? Utf8(e.path()) + ": " + UnfollowableLink(e.path(), ec)
                                : "cannot read " + Utf8(e.path()) + ": " + ec.message());
        return;
    }
    if (fs::is_directory(st)) {
        if (link) {
            tree.notes.push_back(rel + ": a link to a folder; the files in it are left out");
        } else {
            tree.folders.push_back(rel);
            pending.push_back(e.path());
        }
        return;
    }
    if (!fs::is_regular_file(st)) {
        problems.push_back(Utf8(e.path()) + ": " + KindOf(st.type()) + ", neither a file nor a folder");
        return;
    }
    uint64_t size = fs::file_size(e.path(), ec);
    std::string why = ec ? ec.message() : CannotOpen(e.path());
    if (!why.empty()) {
        problems.push_back("cannot read " + Utf8(e.path()) + ": " + why);
        return;
    }
    if (link && LeadsOutside(e.path(), root))
        tree.notes.push_back(rel + ": a link to a file outside the folder; the patch carries "
                                   "that file's content under this name");
    tree.files.push_back({rel, e.path(), size});
}

}  // namespace

bool IsInside(const fs::path& p, const fs::path& folder) {
    std::error_code ec;
    fs::path a = fs::weakly_canonical(p, ec);
    fs::path b = fs::weakly_canonical(folder, ec);
    if (ec)
        return false;
    auto [mismatch, ignored] = std::mismatch(b.begin(), b.end(), a.begin(), a.end());
    (void)ignored;
    return mismatch == b.end();
}

bool MatchesGlob(std::string_view glob, std::string_view rel) {
    return MatchesPrepared(PrepareGlob(glob), FoldName(rel));
}

Tree ListTree(const fs::path& root, const std::vector<std::string>& excludes) {
    std::error_code ec;
    if (!fs::is_directory(root, ec))
        throw Error(Utf8(root) + ": not a folder" + (fs::exists(root) ? "" : " (does not exist)"));
    Tree tree;
    tree.excludeMatched.assign(excludes.size(), false);
    std::vector<Glob> globs;
    for (const std::string& g : excludes)
        globs.push_back(PrepareGlob(g));
    // every folder is opened here, so one that cannot be read is named
    // rather than passed over as empty
    std::vector<std::string> problems;
    std::vector<fs::path> pending{root};
    while (!pending.empty()) {
        fs::path dir = std::move(pending.back());
        pending.pop_back();
        bool empty = true;
        fs::directory_iterator it(dir, ec), end;
        for (; !ec && it != end; it.increment(ec)) {
            empty = false;
            ListEntry(*it, root, globs, tree, pending, problems);
        }
        if (ec)
            problems.push_back("cannot read folder " + Utf8(dir) + ": " + ec.message());
        else if (empty && dir != root)
            tree.emptyFolders.push_back(RelUtf8(dir, root));
    }
    if (!problems.empty()) {
        std::sort(problems.begin(), problems.end());
        std::string all = problems[0];
        for (size_t i = 1; i < problems.size(); i++)
            all += "\nmkpatch: " + problems[i];
        throw Error(all);
    }
    std::sort(tree.files.begin(), tree.files.end(),
              [](const TreeFile& a, const TreeFile& b) { return a.rel < b.rel; });
    std::sort(tree.notes.begin(), tree.notes.end());
    return tree;
}

std::pair<Tree, Tree> ListTrees(const fs::path& oldDir, const fs::path& newDir,
                                const std::vector<std::string>& excludes) {
    Tree trees[2];
    std::string errors;
    const fs::path* roots[2] = {&oldDir, &newDir};
    for (int i = 0; i < 2; i++) {
        try {
            trees[i] = ListTree(*roots[i], excludes);
        } catch (const Error& e) {
            errors += (errors.empty() ? "" : "\nmkpatch: ") + std::string(e.what());
        }
    }
    if (!errors.empty())
        throw Error(errors);
    return {std::move(trees[0]), std::move(trees[1])};
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

ByteSource::ByteSource(const fs::path& p) : what_(Utf8(p)) {
    file_ = OpenFile(p, "rb");
    if (!file_)
        throw Error(what_ + ": cannot open: " + std::strerror(errno));
#ifdef _WIN32
    bool ok = _fseeki64(file_, 0, SEEK_END) == 0;
    int64_t end = ok ? _ftelli64(file_) : -1;
#else
    bool ok = fseeko(file_, 0, SEEK_END) == 0;
    int64_t end = ok ? ftello(file_) : -1;
#endif
    if (end < 0) {
        std::fclose(file_);
        throw Error(what_ + ": cannot read");
    }
    size_ = static_cast<uint64_t>(end);
}

ByteSource::ByteSource(std::span<const uint8_t> bytes, std::string what)
    : what_(std::move(what)), bytes_(bytes), size_(bytes.size()) {}

ByteSource::~ByteSource() {
    if (file_)
        std::fclose(file_);
}

void ByteSource::ReadAt(uint64_t offset, uint8_t* to, size_t n) {
    if (offset > size_ || n > size_ - offset)
        throw Error(what_ + ": " + std::to_string(n) + " bytes at " + std::to_string(offset) +
                    " lie past its end");
    if (!file_) {
        std::copy_n(bytes_.begin() + static_cast<ptrdiff_t>(offset), n, to);
        return;
    }
    constexpr size_t kAhead = size_t{1} << 18;
    if (n > kAhead / 4)
        return ReadFile(offset, to, n);
    if (offset < aheadAt_ || offset - aheadAt_ > aheadHave_ || n > aheadAt_ + aheadHave_ - offset) {
        ahead_.resize(kAhead);
        aheadHave_ = static_cast<size_t>(std::min<uint64_t>(kAhead, size_ - offset));
        aheadAt_ = offset;
        ReadFile(offset, ahead_.data(), aheadHave_);
    }
    std::copy_n(ahead_.begin() + static_cast<ptrdiff_t>(offset - aheadAt_), n, to);
}

void ByteSource::ReadFile(uint64_t offset, uint8_t* to, size_t n) {
#ifdef _WIN32
    bool ok = _fseeki64(file_, static_cast<__int64>(offset), SEEK_SET) == 0;
#else
    bool ok = fseeko(file_, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
    if (!ok || std::fread(to, 1, n, file_) != n)
        throw Error(what_ + ": cannot read " + std::to_string(n) + " bytes at " + std::to_string(offset));
}

FileSums SumFile(const fs::path& p, const std::function<void(uint64_t, std::span<const uint8_t>)>& take) {
    std::FILE* f = OpenFile(p, "rb");
    if (!f)
        throw Error(Utf8(p) + ": cannot open: " + std::strerror(errno));
    FileSums sums;
    XorSumState st;
    XorSumBegin(&st);
    std::vector<uint8_t> buf(size_t{1} << 20);
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), f)) > 0) {
        XorSumAdd(&st, buf.data(), n);
        sums.crc = Crc32Update(sums.crc, buf.data(), n);
        if (take)
            take(sums.length, std::span<const uint8_t>(buf.data(), n));
        sums.length += n;
    }
    bool failed = std::ferror(f);
    std::fclose(f);
    if (failed)
        throw Error(Utf8(p) + ": cannot read");
    sums.sum = XorSumEnd(&st);
    return sums;
}

bool SameContent(const TreeFile& a, const TreeFile& b) {
    if (a.size != b.size)
        return false;
    std::FILE* fa = OpenFile(a.path, "rb");
    std::FILE* fb = OpenFile(b.path, "rb");
    std::string failed = !fa ? Utf8(a.path) : !fb ? Utf8(b.path) : "";
    bool same = failed.empty();
    std::vector<uint8_t> ba(size_t{1} << 20), bb(ba.size());
    for (uint64_t left = a.size; same && left;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(left, ba.size()));
        if (std::fread(ba.data(), 1, n, fa) != n)
            failed = Utf8(a.path);
        else if (std::fread(bb.data(), 1, n, fb) != n)
            failed = Utf8(b.path);
        same = failed.empty() && std::memcmp(ba.data(), bb.data(), n) == 0;
        left -= n;
    }
    if (fa)
        std::fclose(fa);
    if (fb)
        std::fclose(fb);
    if (!failed.empty())
        throw Error(failed + ": cannot read");
    return same;
}

namespace {

// The temporary files of the running build (the output and the writer's
// spilled streams), removed by the signal handler: fixed buffers, since a
// handler may not allocate. A slot is in use while its flag is set.
#ifdef _WIN32
using TempChar = wchar_t;
#else
using TempChar = char;
#endif
constexpr size_t kTempSlots = 16;
TempChar g_tempPath[kTempSlots][4096];
std::atomic<bool> g_tempSet[kTempSlots];
int g_watched = 0;  // slots in use; the handlers are in place while it is not 0

// Every signal whose default ends the process: a closed terminal (SIGHUP)
// and a closed pipe end a build as surely as Ctrl+C.
const int kEndingSignals[] = {
    SIGINT, SIGTERM, SIGABRT,
#ifdef SIGHUP
    SIGHUP,
#endif
#ifdef SIGQUIT
    SIGQUIT,
#endif
#ifdef SIGPIPE
    SIGPIPE,
#endif
#ifdef SIGBREAK
    SIGBREAK,
#endif
};
constexpr size_t kEndingCount = sizeof kEndingSignals / sizeof kEndingSignals[0];
void (*g_oldHandlers[kEndingCount])(int);

extern "C" void RemoveTempAndDie(int sig) {
    for (size_t i = 0; i < kTempSlots; i++) {
        if (!g_tempSet[i].load())
            continue;
#ifdef _WIN32
        _wunlink(g_tempPath[i]);
#else
        unlink(g_tempPath[i]);
#endif
    }
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

// Puts temp in a free slot and returns it, or -1 when every slot is taken
// or the path is too long to hold; the owner's destructor still removes it.
int WatchTemp(const fs::path& temp) {
    const auto& native = temp.native();
    if (native.size() >= sizeof g_tempPath[0] / sizeof g_tempPath[0][0])
        return -1;
    for (size_t i = 0; i < kTempSlots; i++) {
        if (g_tempSet[i].load())
            continue;
        std::copy(native.begin(), native.end(), g_tempPath[i]);
        g_tempPath[i][native.size()] = 0;
        g_tempSet[i] = true;
        if (g_watched++ == 0) {
            for (size_t k = 0; k < kEndingCount; k++)
                g_oldHandlers[k] = std::signal(kEndingSignals[k], RemoveTempAndDie);
        }
        return static_cast<int>(i);
    }
    return -1;
}

void UnwatchTemp(int& slot) {
    if (slot < 0 || !g_tempSet[slot].exchange(false))
        return;
    slot = -1;
    if (--g_watched == 0) {
        for (size_t k = 0; k < kEndingCount; k++)
            std::signal(kEndingSignals[k], g_oldHandlers[k] == SIG_ERR ? SIG_DFL : g_oldHandlers[k]);
    }
}

int ProcessId() {
#ifdef _WIN32
    return _getpid();
#else
    return getpid();
#endif
}

// Creates path, failing when anything is there already, so two builds
// (or a file of that name) never share a temporary file.
std::FILE* CreateNew(const fs::path& p) {
#ifdef _WIN32
    int fd = _wopen(p.c_str(), _O_CREAT | _O_EXCL | _O_RDWR | _O_BINARY, _S_IREAD | _S_IWRITE);
    return fd < 0 ? nullptr : _fdopen(fd, "w+b");
#else
    int fd = open(p.c_str(), O_CREAT | O_EXCL | O_RDWR, 0666);
    return fd < 0 ? nullptr : fdopen(fd, "w+b");
#endif
}

}  // namespace

namespace {

// Creates STEM.PID-N.mkpatch-tmp for the first free N, unique to this run
// and easy to tell for what it is if the process is killed outright, and
// watches it; throws Error naming what (the file it stands for).
std::FILE* CreateTemp(const fs::path& stem, const std::string& what, fs::path& temp, int& slot) {
#ifndef _WIN32
    // an interrupt between creating the file and watching it would leave
    // it behind: it waits until the handler is in place
    sigset_t interrupts, before;
    sigemptyset(&interrupts);
    for (int sig : kEndingSignals)
        sigaddset(&interrupts, sig);
    sigprocmask(SIG_BLOCK, &interrupts, &before);
#endif
    std::FILE* file = nullptr;
    int error = 0;
    for (int n = 0; n < 100 && !file; n++) {
        char suffix[48];
        std::snprintf(suffix, sizeof suffix, ".%d-%d.mkpatch-tmp", ProcessId(), n);
        temp = stem;
        temp += suffix;
        file = CreateNew(temp);
        error = errno;
        if (!file && error != EEXIST)
            break;
    }
    if (file)
        slot = WatchTemp(temp);
#ifndef _WIN32
    sigprocmask(SIG_SETMASK, &before, nullptr);
#endif
    if (!file)
        throw Error(what + ": cannot write: " + std::strerror(error));
    return file;
}

bool SeekTo(std::FILE* f, uint64_t offset) {
#ifdef _WIN32
    return _fseeki64(f, static_cast<__int64>(offset), SEEK_SET) == 0;
#else
    return fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

}  // namespace

OutputFile::OutputFile(const fs::path& final, std::ostream* stream)
    : final_(final), stream_(stream) {
    if (!stream_)
        file_ = CreateTemp(final_, Utf8(final_), temp_, slot_);
}

OutputFile::~OutputFile() {
    if (file_) {
        std::fclose(file_);
        std::error_code ec;
        fs::remove(temp_, ec);
    }
    UnwatchTemp(slot_);
}

void OutputFile::Write(const void* bytes, size_t n) {
    if (stream_) {
        if (n && !stream_->write(static_cast<const char*>(bytes), static_cast<std::streamsize>(n)))
            throw Error("standard output: write failed");
        size_ += n;
        return;
    }
    if (n && std::fwrite(bytes, 1, n, file_) != n)
        throw Error(Utf8(final_) + ": write failed: " + std::strerror(errno));
    size_ += n;
}

void OutputFile::Rewrite(uint64_t offset, const void* bytes, size_t n) {
    if (stream_ || offset > size_ || n > size_ - offset)
        throw Error(Utf8(final_) + ": cannot rewrite bytes not written yet");
    bool ok = SeekTo(file_, offset) && std::fwrite(bytes, 1, n, file_) == n && SeekTo(file_, size_);
    if (!ok)
        throw Error(Utf8(final_) + ": write failed: " + std::strerror(errno));
}

void OutputFile::Commit() {
    if (stream_) {
        if (!stream_->flush())
            throw Error("standard output: write failed");
        return;
    }
    bool ok = std::fclose(file_) == 0;
    file_ = nullptr;
    std::error_code ec;
    if (ok)
        fs::rename(temp_, final_, ec);
    if (!ok || ec) {
        fs::remove(temp_, ec);
        UnwatchTemp(slot_);
        throw Error(Utf8(final_) + ": cannot write the file");
    }
    UnwatchTemp(slot_);
}

TempFile::TempFile(const fs::path& folder) {
    fs::path at = folder;
    if (at.empty()) {
        std::error_code ec;
        at = fs::temp_directory_path(ec);
        if (ec)
            at = ".";
    }
    file_ = CreateTemp(at / "mkpatch", Utf8(at / "mkpatch.*.mkpatch-tmp"), path_, slot_);
}

TempFile::~TempFile() {
    std::fclose(file_);
    std::error_code ec;
    fs::remove(path_, ec);
    UnwatchTemp(slot_);
}

void TempFile::Write(const void* bytes, size_t n) {
    if (reading_ && !SeekTo(file_, size_))
        throw Error(Utf8(path_) + ": write failed: " + std::strerror(errno));
    reading_ = false;
    if (n && std::fwrite(bytes, 1, n, file_) != n)
        throw Error(Utf8(path_) + ": write failed: " + std::strerror(errno));
    size_ += n;
}

void TempFile::ReadAt(uint64_t offset, void* to, size_t n) {
    if (offset > size_ || n > size_ - offset)
        throw Error(Utf8(path_) + ": read past the end");
    // a read right after the last one goes on without a seek
    if (!reading_ || offset != readAt_) {
        if (std::fflush(file_) != 0 || !SeekTo(file_, offset))
            throw Error(Utf8(path_) + ": cannot read: " + std::strerror(errno));
    }
    reading_ = true;
    if (n && std::fread(to, 1, n, file_) != n)
        throw Error(Utf8(path_) + ": cannot read: " + std::strerror(errno));
    readAt_ = offset + n;
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
