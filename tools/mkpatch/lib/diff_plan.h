// The delta planner of format 2: commands of a seek, a copy (exact, or with
// byte-wise differences that the difference stream carries) and extra
// literal bytes, chosen for a small container after the streams are coded.
#ifndef KORVEX_MKPATCH_DIFF_PLAN_H
#define KORVEX_MKPATCH_DIFF_PLAN_H

#include <cstdint>
#include <span>
#include <vector>

#include "encoder.h"

namespace mkpatch {

// One command before it is written: copy bytes of old from oldPos (each
// added to a difference byte when diff is set), then extra bytes of new.
// The new position is implicit: the sum of the commands before.
struct DiffCommand {
    uint64_t oldPos;
    uint64_t copy;
    bool diff;
    uint64_t extra;
};

struct DiffPlanOptions {
    // A match becomes a new alignment only when it beats the current one
    // over the same bytes by more than this many agreeing bytes.
    unsigned switchGain = 8;
    // Copies extend past their exact match while at least half the bytes
    // agree; off, only exact copies are made (a feature switch for the
    // benchmark).
    bool approximate = true;
    // A run of at least this many equal bytes inside a copy with
    // differences becomes an exact copy of its own. Never, by default: on
    // the benchmark corpus every split made the coded container larger
    // (runs from 8 bytes: +15%, from 128: +5%), the zero differences
    // coding to less than the commands that cut them out. A copy without
    // any difference is always exact.
    unsigned exactRun = UINT32_MAX;
    // A match of at least this many bytes also starts an alignment, even
    // on the current diagonal, when the copy along that diagonal has lost
    // so much since its best point that the match cannot bring it back:
    // that copy ends there, and without a new start the match would go as
    // literal bytes. This finds the short exact runs between changed bytes
    // of recompressed data (gzip output after an early change: -3.3% on
    // the benchmark's openssl package, -2% on systemd). 0 turns it off.
    unsigned rejoinLength = 8;
};

// The commands, in output order, that build newBytes from oldBytes. Throws
// std::length_error when the two are too large for the matcher's 32-bit
// indices.
std::vector<DiffCommand> PlanDiff(std::span<const uint8_t> oldBytes,
                                  std::span<const uint8_t> newBytes,
                                  const DiffPlanOptions& opts = {},
                                  const EncodeProgress& onProgress = {});

}  // namespace mkpatch

#endif
