// Writing format 2 (docs/format.md): records collected into blocks, each
// block's control, difference, literal and table streams coded on their
// own.
#ifndef KORVEX_MKPATCH_FORMAT2_WRITER_H
#define KORVEX_MKPATCH_FORMAT2_WRITER_H

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/format2.h"
#include "diff_plan.h"
#include "files.h"
#include "large_plan.h"

namespace mkpatch {

// A block closes before a record that would bring its streams' unpacked
// bytes above this, so that every stream's dictionary can hold all of it
// within the decoder's 64 MiB; a larger record gets a block of its own.
inline constexpr uint64_t kBlockStreamBytes = F2_MEMORY_MAX;

// The LZMA literal and position contexts of one stream.
struct StreamCoding {
    unsigned lc, lp, pb;
};

// Measured on the benchmark corpus (docs/benchmark.md): the control
// stream's varints and the difference stream's mostly-zero bytes do best
// without literal context; literal bytes, mostly whole files' content,
// with the usual context of three high bits of the byte before, and so
// does the record table (its names).
inline constexpr StreamCoding kStreamCoding[F2_STREAMS] = {{0, 0, 0}, {0, 0, 0}, {3, 0, 0}, {3, 0, 0}};

// A stream of `from` bytes or more is first coded on `pieces` pieces of
// `piece` bytes (the first at its start, the last at its end, the others
// evenly between) and stored, without coding the rest, when LZMA does not
// make them smaller: a stream of compressed or encrypted bytes, as games'
// archives are, would take minutes to code for nothing (the encoder makes
// about 2 MB a second of such bytes).
struct StreamProbe {
    uint64_t from = uint64_t{16} << 20;
    size_t pieces = 4;  // at least 2
    size_t piece = size_t{1} << 20;
};

struct Format2Options {
    DiffPlanOptions plan;
    bool compress = true;  // off: every stream stored (a benchmark switch)
    uint64_t blockBytes = kBlockStreamBytes;
    StreamCoding coding[F2_STREAMS] = {kStreamCoding[0], kStreamCoding[1], kStreamCoding[2], kStreamCoding[3]};
    // The most the writer's buffers and the LZMA encoder may take: a
    // stream's dictionary is made smaller when its encoder would not fit.
    uint64_t memory = uint64_t{1} << 30;
    // A stream held in memory beyond this many bytes goes to a temporary
    // file; 0: a sixteenth of memory.
    uint64_t spillBytes = 0;
    fs::path tempFolder{};  // for those files; empty: the system's
    // Called between pieces of a stream's coding, which for a large block
    // takes minutes; it may throw to stop the writer.
    std::function<void()> poll{};
    StreamProbe probe{};
};

// A stream's bytes as the writer gathers them: in memory up to a limit,
// then in a temporary file of its own, removed with the buffer.
class SpillBuffer {
public:
    SpillBuffer(uint64_t limit, const fs::path& folder) : limit_(limit), folder_(folder) {}

    void Append(std::span<const uint8_t> bytes);
    // Appends every byte of from (left as it is).
    void Append(SpillBuffer& from);
    uint64_t Size() const { return file_ ? file_->Size() : mem_.size(); }
    bool Spilled() const { return file_ != nullptr; }
    // The bytes, when they are in memory.
    std::span<const uint8_t> Bytes() const { return mem_; }
    void ReadAt(uint64_t offset, uint8_t* to, size_t n);
    // Every byte in order, a piece of at most a MiB at a time.
    void ForEach(const std::function<void(std::span<const uint8_t>)>& take);
    void Clear();

private:
    uint64_t limit_;
    fs::path folder_;
    std::vector<uint8_t> mem_;
    std::unique_ptr<TempFile> file_;
};

// Where a container's bytes go as they are made.
using ByteSink = std::function<void(std::span<const uint8_t>)>;

// One stream as it goes into a block: its head and packed bytes.
struct CodedStream {
    F2StreamHead head{};
    std::vector<uint8_t> packed;
};

// Codes one stream with these contexts and a dictionary of dictSize bytes:
// the one place that chooses a stream's method. A stream is stored when
// LZMA does not make it smaller (or its probe, above), or when compress is off.
CodedStream CodeStream(std::span<const uint8_t> bytes, const StreamCoding& coding, uint32_t dictSize,
                       bool compress, const StreamProbe& probe = {});

// The dictionary sizes of a block's streams of these unpacked sizes:
// each at least 4096 and no larger than its stream needs, their buffers
// (min(dictionary, stream)) summing to at most 64 MiB. Depends on the
// sizes alone.
void ChooseDictionaries(const uint64_t unpacked[F2_STREAMS], uint32_t dict[F2_STREAMS]);

// dict, or the largest power of two below it (at least 4096) whose
// encoder fits budget for a stream of unpacked bytes, read from a file
// (spilled) or at hand: the dictionary a stream gets under a memory cap.
uint32_t FitDictionary(uint32_t dict, uint64_t unpacked, bool spilled, uint64_t budget);

// Collects records in order and makes the container, a block at a time:
// a block's streams are coded and the block written out when it closes.
class Format2Writer {
public:
    // The blocks are kept and Finish returns the whole container.
    explicit Format2Writer(const Format2Options& opts) : Format2Writer(opts, {}) {}
    // Each block goes to blocks as it closes; Finish returns the header,
    // which belongs before them.
    Format2Writer(const Format2Options& opts, ByteSink blocks);

    // A whole file under name (code-page bytes, '\' separators).
    void AddWhole(const std::string& name, std::span<const uint8_t> content);
    // A whole file read from path a piece at a time, for one too large to
    // hold in memory. Throws Error naming the file when it cannot be read.
    void AddWholeFile(const std::string& name, const std::filesystem::path& path);
    // A delta record that rebuilds neu from old.
    void AddDelta(const std::string& name, std::span<const uint8_t> old, std::span<const uint8_t> neu,
                  const EncodeProgress& onProgress = {});
    // A delta record of files too large to hold in memory: the exact copies
    // the large planner found, and every byte between them read from the
    // new file as a literal; both files' sums are taken as they are read.
    void AddLargeDelta(const std::string& name, const std::filesystem::path& oldPath,
                       const std::filesystem::path& newPath, const std::vector<LargeCopy>& copies);
    // Closes the last block and returns the header and the kept blocks, or
    // with a sink the header alone. The writer is spent.
    std::vector<uint8_t> Finish();

private:
    struct Pending;
    void Add(const F2Record& r, Pending& p);
    void CloseBlock();
    void Emit(std::span<const uint8_t> bytes);
    SpillBuffer NewBuffer() const { return SpillBuffer(spillBytes_, opts_.tempFolder); }
    std::vector<SpillBuffer> NewStreams() const;  // one per stream

    Format2Options opts_;
    ByteSink sink_;
    uint64_t spillBytes_;
    std::vector<SpillBuffer> streams_;  // F2_STREAMS of them
    uint32_t blockCount_ = 0;
    uint32_t count_ = 0;
    uint32_t memory_ = 0;
    uint64_t length_ = 0;  // of the blocks written
    uint32_t crc_ = 0;     // of the block being written
    std::vector<uint8_t> blocks_;
};

}  // namespace mkpatch

#endif
