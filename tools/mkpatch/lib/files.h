// Host file work for the tool: listing a folder tree, reading and writing
// whole files, and the few facts about the running process it needs.
#ifndef KORVEX_MKPATCH_FILES_H
#define KORVEX_MKPATCH_FILES_H

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.h"

namespace mkpatch {

namespace fs = std::filesystem;

// A path as UTF-8 text for messages and names, with '/' separators.
std::string Utf8(const fs::path& p);
// A path from UTF-8 text (command-line arguments are carried as UTF-8).
fs::path PathFromUtf8(const std::string& s);

// Whether p lies inside folder (or is folder), both as they are on disk:
// links resolved, and a path that does not exist yet taken by its
// existing part.
bool IsInside(const fs::path& p, const fs::path& folder);

struct TreeFile {
    std::string rel;   // relative path, '/' separators, UTF-8
    fs::path path;     // where it is on this host
    uint64_t size;
};

// A folder tree as build sees it: its regular files (links to files
// followed), its folders, and what it leaves out or carries otherwise than
// one might think, each said in a sentence naming the entry.
struct Tree {
    std::vector<TreeFile> files;      // sorted by rel
    std::vector<std::string> folders; // rel of every folder below root
    std::vector<std::string> emptyFolders;  // rel of the folders with nothing in them
    std::vector<std::string> notes;   // "REL: why", for warnings
    std::vector<bool> excludeMatched; // per exclude glob: whether it left anything out
};

// Whether a relative path ('/' separators) matches a glob, letter case
// folded as the pairing folds it: '*' is any run of characters within one
// name, '?' one character, '**' any run across names, and '**/' also no
// folder at all. '\' separates names as '/' does; a trailing separator is
// dropped and a leading one anchors the glob at the folder's top. A glob
// without an inner separator is matched against each name on the path, so
// "*.log" leaves out every log file and "cache" every entry so named.
bool MatchesGlob(std::string_view glob, std::string_view rel);

// Lists every entry under root but those matching an exclude glob (a
// folder that matches is left out whole). Throws Error when root is not a
// folder, and one Error naming every entry that cannot be read or is
// neither a file nor a folder (a fifo, a broken or looping link), each
// with its reason.
Tree ListTree(const fs::path& root, const std::vector<std::string>& excludes = {});

// OLD's and NEW's trees, as ListTree lists them; one Error names what
// cannot be listed in either, so a run reports both folders' problems.
std::pair<Tree, Tree> ListTrees(const fs::path& oldDir, const fs::path& newDir,
                                const std::vector<std::string>& excludes);

// The whole content of a file. Throws Error naming the file.
std::vector<uint8_t> ReadFileBytes(const fs::path& p);

// Bytes read at any offset, one reader per user: a file, or bytes at hand
// (standard input read whole, a test's buffer) that it does not own.
class ByteSource {
public:
    explicit ByteSource(const fs::path& p);  // throws Error naming the file
    ByteSource(std::span<const uint8_t> bytes, std::string what);
    ~ByteSource();
    ByteSource(const ByteSource&) = delete;
    ByteSource& operator=(const ByteSource&) = delete;

    uint64_t Size() const { return size_; }
    const std::string& What() const { return what_; }
    // Fills to with the n bytes at offset. Throws Error naming the source
    // when they cannot be read or lie past its end. Small reads of a file
    // come from a read-ahead buffer.
    void ReadAt(uint64_t offset, uint8_t* to, size_t n);

private:
    void ReadFile(uint64_t offset, uint8_t* to, size_t n);

    std::string what_;
    std::FILE* file_ = nullptr;
    std::span<const uint8_t> bytes_;
    uint64_t size_ = 0;
    std::vector<uint8_t> ahead_;  // the file's bytes from aheadAt_
    uint64_t aheadAt_ = 0;
    size_t aheadHave_ = 0;
};

// A file's length, word XOR sum and CRC-32, read front to back in pieces;
// each piece also goes to take(offset, bytes) when that is given.
struct FileSums {
    uint64_t length = 0;
    uint32_t sum = 0;
    uint32_t crc = 0;
};
FileSums SumFile(const fs::path& p,
                 const std::function<void(uint64_t, std::span<const uint8_t>)>& take = {});

// Whether two files hold the same bytes, read side by side in pieces, so
// that files of any size compare in little memory.
bool SameContent(const TreeFile& a, const TreeFile& b);

// Writes a file under a temporary name of its own next to its final name
// (NAME.PID-N.mkpatch-tmp) and renames it into place only when Commit() is
// called; otherwise the destructor removes it, and so does a signal that
// ends the process (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGABRT)
// while the object lives, so a failed or interrupted run leaves no output
// behind. With a stream, the bytes go there instead and nothing is made
// on disk. The signal handler keeps 16 such files (outputs and TempFiles)
// at once; one beyond is still removed by its destructor.
class OutputFile {
public:
    explicit OutputFile(const fs::path& final, std::ostream* stream = nullptr);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void Write(const void* bytes, size_t n);
    // Writes n bytes again at offset, over bytes already written (a
    // header known only at the end); not with a stream.
    void Rewrite(uint64_t offset, const void* bytes, size_t n);
    uint64_t Size() const { return size_; }
    bool Seekable() const { return stream_ == nullptr; }
    void Commit();

private:
    fs::path final_;
    std::ostream* stream_;
    fs::path temp_;
    std::FILE* file_ = nullptr;
    int slot_ = -1;  // of the signal handler's list
    uint64_t size_ = 0;
};

// A scratch file of the run's own in folder (the system's temporary folder
// when empty), named mkpatch.PID-N.mkpatch-tmp: written at its end, read
// anywhere. The destructor removes it, and so does a signal that ends the
// process. Throws Error naming the file when it cannot be made, written
// or read.
class TempFile {
public:
    explicit TempFile(const fs::path& folder);
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    void Write(const void* bytes, size_t n);
    void ReadAt(uint64_t offset, void* to, size_t n);
    uint64_t Size() const { return size_; }

private:
    fs::path path_;
    std::FILE* file_ = nullptr;
    int slot_ = -1;
    uint64_t size_ = 0;
    bool reading_ = false;  // the last operation was a read, ending at readAt_
    uint64_t readAt_ = 0;
};

// The folder of the running program, or an empty path when unknown.
fs::path ProgramFolder();

// Whether standard error is a terminal (a progress bar only goes there).
bool StderrIsTerminal();

}  // namespace mkpatch

#endif
