// Writing format 2 (docs/format.md): records collected into blocks, each
// block's control, difference, literal and table streams coded on their
// own.
#ifndef KORVEX_MKPATCH_FORMAT2_WRITER_H
#define KORVEX_MKPATCH_FORMAT2_WRITER_H

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/format2.h"
#include "diff_plan.h"
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
// with the usual context of three high bits of the byte before; the
// table's names and numbers without.
inline constexpr StreamCoding kStreamCoding[F2_STREAMS] = {{0, 0, 0}, {0, 0, 0}, {3, 0, 0}, {0, 0, 0}};

struct Format2Options {
    DiffPlanOptions plan;
    bool compress = true;  // off: every stream stored (a benchmark switch)
    uint64_t blockBytes = kBlockStreamBytes;
    StreamCoding coding[F2_STREAMS] = {kStreamCoding[0], kStreamCoding[1], kStreamCoding[2], kStreamCoding[3]};
};

// One stream as it goes into a block: its head and packed bytes.
struct CodedStream {
    F2StreamHead head{};
    std::vector<uint8_t> packed;
};

// Codes one stream with these contexts and a dictionary of dictSize bytes:
// the one place that chooses a stream's method. A stream is stored when
// LZMA does not make it smaller, or when compress is off.
CodedStream CodeStream(std::span<const uint8_t> bytes, const StreamCoding& coding, uint32_t dictSize,
                       bool compress);

// The dictionary sizes of a block's streams of these unpacked sizes:
// each at least 4096 and no larger than its stream needs, their buffers
// (min(dictionary, stream)) summing to at most 64 MiB. Depends on the
// sizes alone.
void ChooseDictionaries(const uint64_t unpacked[F2_STREAMS], uint32_t dict[F2_STREAMS]);

// Collects records in order and makes the container.
class Format2Writer {
public:
    explicit Format2Writer(const Format2Options& opts) : opts_(opts) {}

    // A whole file under name (code-page bytes, '\' separators).
    void AddWhole(const std::string& name, std::span<const uint8_t> content);
    // A delta record that rebuilds neu from old.
    void AddDelta(const std::string& name, std::span<const uint8_t> old, std::span<const uint8_t> neu,
                  const EncodeProgress& onProgress = {});
    // A delta record of files too large to hold in memory: the exact copies
    // the large planner found, and every byte between them read from the
    // new file as a literal; both files' sums are taken as they are read.
    void AddLargeDelta(const std::string& name, const std::filesystem::path& oldPath,
                       const std::filesystem::path& newPath, const std::vector<LargeCopy>& copies);
    // The container: header and every block. The writer is spent.
    std::vector<uint8_t> Finish();

private:
    struct Pending {
        std::vector<uint8_t> streams[F2_STREAMS];  // the table's left empty: Add writes the entry
    };
    void Add(const F2Record& r, Pending& p);
    void CloseBlock();

    Format2Options opts_;
    std::vector<uint8_t> streams_[F2_STREAMS];
    uint32_t blockCount_ = 0;
    uint32_t count_ = 0;
    uint32_t memory_ = 0;
    std::vector<uint8_t> blocks_;
};

}  // namespace mkpatch

#endif
