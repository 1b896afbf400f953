// Patch files: telling an applier executable from other files through its
// mark, finding where its container starts, and summarising a container's
// records with the core's reader.
#ifndef KORVEX_MKPATCH_PATCH_READER_H
#define KORVEX_MKPATCH_PATCH_READER_H

#include <cstdint>
#include <filesystem>
#include <istream>
#include <span>
#include <string>
#include <vector>

#include "core/trailer.h"

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

// A patch as the tools read it: the whole file, and where its container
// starts (0 for a bare container) and ends: the file's end, or for a
// signed patch the start of the certificate table that signing appended.
struct PatchImage {
    std::vector<uint8_t> bytes;
    size_t containerStart = 0;
    size_t containerEnd = 0;
    bool hasApplier = false;
    bool Signed() const { return containerEnd < bytes.size(); }
    std::span<const uint8_t> Container() const {
        return std::span<const uint8_t>(bytes).subspan(containerStart,
                                                       containerEnd - containerStart);
    }
};

// Reads an applier with its container, or a bare container. Throws Error
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
    size_t bodyStart = 0;  // offset of the body in the container
    size_t bodySize = 0;
};

// The integrity trailer after the last record, as far as it was read.
struct TrailerSummary {
    int state = 0;             // TRAILER_NONE, TRAILER_FOUND or TRAILER_BAD
    bool crcHolds = false;     // FOUND: the container CRC matches its bytes
    uint32_t storedCrc = 0;    // FOUND: the CRC the trailer holds
    uint32_t actualCrc = 0;    // FOUND: the CRC of the bytes before it
    size_t size = 0;           // FOUND: the trailer's bytes, padding excluded
    std::vector<TrailerEntry> entries;  // FOUND: one per record
};

struct ContainerSummary {
    unsigned count = 0;                  // the record count the header claims
    std::vector<RecordSummary> records;  // those that could be read
    size_t trailing = 0;                 // bytes after the last record
    TrailerSummary trailer;              // read only when every record was
    std::string problem;                 // empty when the container is sound
};

// Walks every record without applying anything, then reads the trailer if
// there is one and checks its container CRC. A damaged trailer, or one
// whose CRC does not hold, is a problem; bytes after the last record are a
// problem only when they are no trailer. Zero bytes after the trailer are
// a problem unless the patch is signed (signing pads with them).
ContainerSummary SummarizeContainer(std::span<const uint8_t> container, bool signedPatch = false);

}  // namespace mkpatch

#endif
