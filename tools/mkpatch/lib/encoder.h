// The delta encoder: the command stream of one delta record, at the least
// size the container format allows for the given old and new bytes.
#ifndef KORVEX_MKPATCH_ENCODER_H
#define KORVEX_MKPATCH_ENCODER_H

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace mkpatch {

// One command of a delta record, before it is written out.
struct DeltaCommand {
    bool copy;        // a copy from the old file, else an insert of new bytes
    uint32_t from;    // copy: old offset; insert: position in the new file
    uint32_t length;
};

// The commands, in output order, of a cheapest command stream that builds
// newBytes from oldBytes: every copy costs 9 bytes whatever its length and
// every insert 5 bytes plus its literals. Throws std::length_error when the
// two together are too large to index with 32 bits.
// onProgress, when given, is told how much of the work is done, as
// parts of kProgressWhole, rising, several times inside a large file.
inline constexpr uint32_t kProgressWhole = 1000;
using EncodeProgress = std::function<void(uint32_t done)>;
std::vector<DeltaCommand> PlanDelta(std::span<const uint8_t> oldBytes,
                                    std::span<const uint8_t> newBytes,
                                    const EncodeProgress& onProgress = {});

// Size in bytes of the stream that these commands make, CMD_END included.
uint64_t StreamSize(std::span<const DeltaCommand> commands);

// Writes the commands and the final CMD_END byte.
std::vector<uint8_t> WriteStream(std::span<const DeltaCommand> commands,
                                 std::span<const uint8_t> newBytes);

// The command stream of a delta record (commands and the final CMD_END).
std::vector<uint8_t> EncodeDelta(std::span<const uint8_t> oldBytes,
                                 std::span<const uint8_t> newBytes,
                                 const EncodeProgress& onProgress = {});

// Runs a command stream against oldBytes in memory and returns the output.
// *result is PR_OK, or the failure that the core reports (PR_BADDATA also
// when bytes follow the CMD_END, PR_BADRESULT for a copy beyond oldBytes);
// the output is then empty.
std::vector<uint8_t> RunDeltaInMemory(std::span<const uint8_t> oldBytes,
                                std::span<const uint8_t> stream, int* result);

}  // namespace mkpatch

#endif
