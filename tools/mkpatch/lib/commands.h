// The tool's three commands, as the library offers them to its front ends
// (the command line and the window). Everything here returns to the caller
// (no exit), so tests drive the tool the way users do.
#ifndef KORVEX_MKPATCH_COMMANDS_H
#define KORVEX_MKPATCH_COMMANDS_H

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <istream>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "branding.h"

namespace mkpatch {

// Exit codes, as cmp and diff have them: success; a difference found by
// verify, a malformed patch found by list, or a warning under --strict;
// a command line that could not be understood or an input or output
// error.
enum { kExitOk = 0, kExitFailed = 1, kExitUsage = 2 };

// The version of the --json documents' layout ("format" in each).
inline constexpr int kJsonFormat = 1;

struct BuildOptions {
    std::filesystem::path oldDir;
    std::filesystem::path newDir;
    std::filesystem::path output;
    std::ostream* stream = nullptr;  // with containerOnly: the container goes here, not to output
    std::optional<std::filesystem::path> applier;  // default: applier.exe beside the tool
    bool containerOnly = false;
    bool replace = false;
    bool force = false;   // an existing output may be replaced
    bool trailer = true;  // the integrity trailer after the last record (format 1)
    unsigned format = 2;  // 2, or 1 for the bare form
    // Format 2: the most memory the encoder may take for one pair of files;
    // a pair that would need more is planned through the block index
    // (large_plan.h), read through windows.
    uint64_t memory = uint64_t{1} << 30;
    unsigned codePage = 936;
    bool progress = false;
    bool dryRun = false;                // plan only, write nothing
    bool strict = false;                // a warning fails the build (StrictFailure)
    bool verbose = false;               // one log line per record
    std::vector<std::string> excludes;  // globs left out of both folders
    // For a front end that draws its own progress: bytes of the new files
    // done of all, often inside a large file. Called on the building thread.
    std::function<void(uint64_t done, uint64_t total)> onProgress;
    // Set by another thread to stop the build: BuildPatch then throws
    // Cancelled and leaves no output file.
    const std::atomic<bool>* cancel = nullptr;
    Branding branding;                  // written into the applier's resources
};

// One record of the plan, as --dry-run shows it.
struct PlanLine {
    std::string name;  // UTF-8, '\' separators
    bool whole = false;
    uint64_t estimate = 0;  // record bytes; for a delta, the most it can take
};

struct BuildResult {
    unsigned records = 0;
    unsigned wholeFiles = 0;
    unsigned deltas = 0;
    unsigned unchanged = 0;
    unsigned onlyInOld = 0;
    unsigned warnings = 0;
    uint64_t containerSize = 0;
    uint64_t fileSize = 0;
    std::vector<std::string> warningTexts;  // each also written to the log
    std::vector<PlanLine> plan;             // filled by a dry run
};

// Compares the folders and writes the patch (or the bare container).
// Warnings go to log. Throws Error, and leaves no output file, on failure.
BuildResult BuildPatch(const BuildOptions& opts, std::ostream& log);

// Prints one line (or a JSON document) per record of a patch file, or of
// the patch read from input when that is given ('list -').
// Returns kExitOk, or kExitFailed when the container is malformed.
int ListPatch(const std::filesystem::path& patch, unsigned codePage, bool json,
              std::ostream& out, std::ostream& err, std::istream* input = nullptr);

// How verify reports: a JSON document instead of lines, nothing on
// success (quiet), and whether notes (what build leaves out) fail it.
struct VerifyOptions {
    unsigned codePage = 936;
    bool json = false;
    bool quiet = false;
    bool strict = false;
    std::vector<std::string> excludes;
};

// Applies every record to the files of oldDir and compares the result
// with newDir as it is made, every file (the patch too) read a piece at a
// time, so that memory does not grow with their sizes. Returns kExitOk when the patch turns OLD into NEW
// exactly, else kExitFailed with every difference reported on err.
int VerifyPatch(const std::filesystem::path& patch, const std::filesystem::path& oldDir,
                const std::filesystem::path& newDir, const VerifyOptions& opts, std::ostream& out,
                std::ostream& err);

}  // namespace mkpatch

#endif
