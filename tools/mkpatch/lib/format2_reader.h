// Reading format 2 back for list and verify, through the core's reader and
// decoder (the code the applier runs): every block's CRC-32, every stream
// decoded, every record's commands carried out.
#ifndef KORVEX_MKPATCH_FORMAT2_READER_H
#define KORVEX_MKPATCH_FORMAT2_READER_H

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include <optional>

#include "branding.h"
#include "commands.h"
#include "core/format2.h"
#include "patch_reader.h"

namespace mkpatch {

// One record as its table entry gives it, and what its commands do.
struct F2RecordInfo {
    F2Record head{};     // its name pointer is for the reader alone: use name
    std::string name;    // code-page bytes
    uint32_t block = 0;  // the block it is in, from 0
    uint64_t commands = 0;
    uint64_t copied = 0;  // bytes copied from the old file, differences or not
    uint64_t diffed = 0;  // of those, bytes with differences
    uint64_t literal = 0;
};

struct F2Summary {
    F2Header header{};
    std::vector<F2BlockHead> blocks;
    std::vector<F2RecordInfo> records;  // those that could be read
    std::string problem;                // empty when the container is sound
};

// For a record, where its bytes go (a delta's old bytes come from there
// too), or null to read past it.
using F2SinkFor = std::function<const F2Sink*(const F2RecordInfo&)>;
// Told, record by record, the core's result for it.
using F2Done = std::function<void(const F2RecordInfo&, int result)>;

// Whether the container starts with a format-2 header (IsFormat2).
bool IsFormat2(const ContainerView& container);

// Reads a format-2 container (IsFormat2 holds) a piece at a time: header,
// blocks, streams and records; each block's CRC-32 is taken as its bytes
// are read, and its streams are decoded as its records are carried out,
// never held whole. With sinkFor and done, each record is carried out
// through the sink sinkFor gives; without, its streams are walked and
// whole files checked against their CRC-32s.
// Reading stops at the first damaged block. Throws Error when the patch
// (or a sink's file, whose Error the sink keeps) cannot be read.
F2Summary ReadFormat2(const ContainerView& container, bool signedPatch, const F2SinkFor& sinkFor = {},
                      const F2Done& done = {});
F2Summary ReadFormat2(std::span<const uint8_t> container, bool signedPatch, const F2SinkFor& sinkFor = {},
                      const F2Done& done = {});

// mkpatch list and verify for a format-2 patch (see ListPatch and
// VerifyPatch).
int ListFormat2(const PatchImage& img, const std::filesystem::path& patch, unsigned codePage, bool json,
                const std::optional<BrandInfo>& brand, std::ostream& out, std::ostream& err);
int VerifyFormat2(const PatchImage& img, const std::filesystem::path& patch, const std::filesystem::path& oldDir,
                  const std::filesystem::path& newDir, const VerifyOptions& opts, std::ostream& out,
                  std::ostream& err);

}  // namespace mkpatch

#endif
