// Patch files: telling an applier executable from other files through its
// mark, finding where its container starts, and summarising a container's
// records with the core's reader.
#ifndef KORVEX_MKPATCH_PATCH_READER_H
#define KORVEX_MKPATCH_PATCH_READER_H

#include <cstdint>
#include <filesystem>
#include <functional>
#include <istream>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/checksum.h"
#include "core/trailer.h"
#include "files.h"

namespace mkpatch {

// Where the applier's mark says its container starts, or -1 when the bytes
// hold no mark. Throws Error (naming what) when the mark is there but the
// offset was never written by the build or lies beyond the file.
int64_t FindContainerOffset(std::span<const uint8_t> bytes, const std::string& what);

// The applier part of an applier file, ready to have a container appended:
// the whole file when it carries none, or with replace the part before its
// container. Throws Error for a file that is no applier, or that already
// carries a container when replace is false.
std::vector<uint8_t> LoadApplier(const std::filesystem::path& path, bool replace);

// A container inside a source: offsets below are from its first byte.
struct ContainerView {
    ByteSource* source = nullptr;
    uint64_t start = 0;
    uint64_t size = 0;
    // Throws Error when [offset, offset + n) is not inside the container.
    void Read(uint64_t offset, uint8_t* to, size_t n) const;
};

// A patch as the tools read it, a piece at a time: where its container
// starts (0 for a bare container) and ends: the file's end, or for a
// signed patch the start of the certificate table that signing appended.
struct PatchImage {
    std::vector<uint8_t> held;  // the bytes, when they were read whole (standard input)
    std::unique_ptr<ByteSource> source;
    uint64_t size = 0;
    uint64_t containerStart = 0;
    uint64_t containerEnd = 0;
    bool hasApplier = false;
    bool Signed() const { return containerEnd < size; }
    uint64_t ContainerSize() const { return containerEnd - containerStart; }
    ContainerView Container() const { return {source.get(), containerStart, ContainerSize()}; }
    // The bytes before the container: the applier.
    std::vector<uint8_t> Applier() const;
};

// Opens an applier with its container, or a bare container, and finds the
// container; its bytes are read later, as they are needed. Throws Error
// for an applier that carries no container. The second form takes the
// bytes read already; what names them in messages.
PatchImage LoadPatch(const std::filesystem::path& path);
PatchImage LoadPatch(std::vector<uint8_t> bytes, const std::string& what);

// Every byte of a stream (standard input). Throws Error naming what.
std::vector<uint8_t> ReadAll(std::istream& in, const std::string& what);

// What one record holds, as the core's reader decodes it.
struct RecordSummary {
    std::string name;  // as stored, code-page bytes
    bool whole = false;
    uint32_t oldSum = 0;
    uint32_t newSum = 0;
    uint32_t copies = 0;
    uint32_t inserts = 0;
    uint64_t copied = 0;
    uint64_t inserted = 0;
    uint64_t outputSize = 0;
    uint64_t bodyStart = 0;  // offset of the body in the container
    uint64_t bodySize = 0;
};

// The integrity trailer after the last record, as far as it was read.
struct TrailerSummary {
    int state = 0;             // TRAILER_NONE, TRAILER_FOUND or TRAILER_BAD
    bool crcHolds = false;     // FOUND: the container CRC matches its bytes
    uint32_t storedCrc = 0;    // FOUND: the CRC the trailer holds
    uint32_t actualCrc = 0;    // FOUND: the CRC of the bytes before it
    uint64_t size = 0;         // FOUND: the trailer's bytes, padding excluded
    std::vector<TrailerEntry> entries;  // FOUND: one per record
};

struct ContainerSummary {
    unsigned count = 0;                  // the record count the header claims
    std::vector<RecordSummary> records;  // those that could be read
    uint64_t trailing = 0;               // bytes after the last record
    TrailerSummary trailer;              // read only when every record was
    std::string problem;                 // empty when the container is sound
};

// Walks every record without applying anything, then reads the trailer if
// there is one and checks its container CRC. A damaged trailer, or one
// whose CRC does not hold, is a problem; bytes after the last record are a
// problem only when they are no trailer. Zero bytes after the trailer are
// a problem unless the patch is signed (signing pads with them).
// The container is read through a window, a piece at a time.
ContainerSummary SummarizeContainer(const ContainerView& container, bool signedPatch = false);
ContainerSummary SummarizeContainer(std::span<const uint8_t> container, bool signedPatch = false);

// Walks the command stream of a bare-form delta record whose body starts
// at offset at, through a window, telling copy(offset, length) each copy
// and insert(at, length) each insert with the container offset of its
// bytes. PR_OK with *end after the CMD_END, or PR_BADDATA at an undefined
// or cut-off command.
int WalkCommands(const ContainerView& container, uint64_t at, uint64_t* end,
                 const std::function<void(uint32_t offset, uint32_t length)>& copy,
                 const std::function<void(uint64_t at, uint32_t length)>& insert);

// The bytes a record makes, as they come: their length, word XOR sum and
// CRC-32, and with a file to compare with, whether they are its bytes.
class MadeBytes {
public:
    explicit MadeBytes(const std::filesystem::path* against = nullptr);
    void Add(const uint8_t* bytes, size_t n);
    uint64_t Length() const { return length_; }
    uint32_t Sum() const { return XorSumEnd(&sum_); }
    uint32_t Crc() const { return crc_; }
    // Whether they are the file's bytes, its length included.
    bool Same() const { return same_ && against_ && length_ == against_->Size(); }

private:
    std::unique_ptr<ByteSource> against_;
    std::vector<uint8_t> buf_;
    uint64_t length_ = 0;
    XorSumState sum_;
    uint32_t crc_ = 0;
    bool same_ = true;
};

}  // namespace mkpatch

#endif
