// Patch files: telling an applier executable from other files through its
// mark, finding where its container starts, and summarising a container's
// records with the core's reader.
#ifndef KORVEX_MKPATCH_PATCHFILE_H
#define KORVEX_MKPATCH_PATCHFILE_H

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

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
// starts (0 for a bare container).
struct PatchImage {
    std::vector<uint8_t> bytes;
    size_t containerStart = 0;
    bool hasApplier = false;
    std::span<const uint8_t> Container() const {
        return std::span<const uint8_t>(bytes).subspan(containerStart);
    }
};

// Reads an applier with its container, or a bare container. Throws Error
// for an applier that carries no container.
PatchImage LoadPatch(const std::filesystem::path& path);

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

struct ContainerSummary {
    unsigned count = 0;                  // the record count the header claims
    std::vector<RecordSummary> records;  // those that could be read
    size_t trailing = 0;                 // bytes after the last record
    std::string problem;                 // empty when the container is sound
};

// Walks every record without applying anything.
ContainerSummary SummarizeContainer(std::span<const uint8_t> container);

}  // namespace mkpatch

#endif
