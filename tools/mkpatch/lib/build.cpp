// mkpatch build: compare two folders and write a container, by default
// appended to a copy of the applier.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>

#include "commands.h"
#include "encoder.h"
#include "core/format.h"
#include "core/checksum.h"
#include "core/trailer.h"
#include "files.h"
#include "format2_writer.h"
#include "names.h"
#include "pairing.h"
#include "patch_reader.h"
#include "text.h"

namespace mkpatch {
namespace {

constexpr uint64_t kMaxFileSize = UINT32_MAX;  // sizes are 32-bit fields

// 32-bit sizes: every file's, and old and new together as the encoder
// indexes them (one separator byte between).
constexpr uint64_t kMaxEncoderText = 0xFFFFFFFEull;

// The one "4 GiB or more" check: the message for a file the format cannot
// size, or nothing.
std::optional<std::string> TooLarge(const fs::path& p, uint64_t size) {
    if (size <= kMaxFileSize)
        return std::nullopt;
    return Utf8(p) + ": 4 GiB or more; the format's sizes are 32-bit";
}

void CheckFileSize(const fs::path& p, uint64_t size) {
    if (auto why = TooLarge(p, size))
        throw Error(*why);
}

struct PlannedRecord {
    std::string name;  // code-page bytes, '\' separators
    const TreeFile* newFile;
    const TreeFile* oldFile;  // null for a file only in NEW
};

// Throws Cancelled once the front end has asked to stop through cancel.
void ThrowIfCancelled(const std::atomic<bool>* cancel) {
    if (cancel && cancel->load())
        throw Cancelled("cancelled; nothing written");
}

// A progress bar on standard error, drawn only when it is a terminal, and
// the front end's own report; both stop the build when it is cancelled.
class Progress {
public:
    Progress(const BuildOptions& opts, uint64_t total)
        : enabled_(opts.progress && total > 0), total_(total), report_(opts.onProgress), cancel_(opts.cancel) {}
    ~Progress() {
        if (enabled_ && drawn_)
            std::fputc('\n', stderr);
    }
    // A whole file of this many bytes is done.
    void Advance(uint64_t bytes, size_t filesDone, size_t files) {
        done_ += bytes;
        within_ = 0;
        Draw(filesDone, files);
    }
    // Inside a file of size bytes: done parts of kProgressWhole of it.
    void Within(uint64_t size, uint32_t done, size_t filesDone, size_t files) {
        within_ = size * done / kProgressWhole;
        Draw(filesDone, files);
    }

    // Throws Cancelled once the front end has asked to stop.
    void CheckCancel() const { ThrowIfCancelled(cancel_); }

private:
    void Draw(size_t filesDone, size_t files) {
        CheckCancel();
        uint64_t now = std::min(done_ + within_, total_);
        if (report_)
            report_(now, total_);
        if (!enabled_)
            return;
        int width = 40;
        int fill = static_cast<int>(now * width / total_);
        std::fprintf(stderr, "\r[%.*s%*s] %3d%% %zu/%zu files", fill,
                     "########################################", width - fill, "",
                     static_cast<int>(now * 100 / total_), filesDone, files);
        std::fflush(stderr);
        drawn_ = true;
    }

    bool enabled_;
    uint64_t total_;
    uint64_t done_ = 0;
    uint64_t within_ = 0;  // of the file being encoded
    bool drawn_ = false;
    std::function<void(uint64_t, uint64_t)> report_;
    const std::atomic<bool>* cancel_;
};

// applier.exe beside mkpatch, or one folder up, where the release zip
// keeps it for linux/mkpatch.
std::filesystem::path DefaultApplier() {
    std::filesystem::path folder = ProgramFolder();
    std::error_code ec;
    for (const std::filesystem::path& at : {folder, folder.parent_path()}) {
        std::filesystem::path candidate = at / "applier.exe";
        if (!folder.empty() && std::filesystem::is_regular_file(candidate, ec))
            return candidate;
    }
    throw Error("no applier.exe beside mkpatch" +
                (folder.empty() ? std::string()
                                : " (in " + Utf8(folder) + " or " + Utf8(folder.parent_path()) + ")") +
                "; give --applier APPLIER.exe, or --container-only for a bare container");
}

// Refuses, before anything is read or encoded, an output that would
// destroy input or could not be written.
void CheckOutput(const BuildOptions& opts, const std::optional<fs::path>& applier) {
    const fs::path& out = opts.output;
    std::string name = Utf8(out);
    std::error_code ec;
    if (fs::is_directory(out, ec))
        throw Error(name + ": is a folder; -o needs the name of the patch file to write");
    fs::path folder = out.parent_path().empty() ? fs::path(".") : out.parent_path();
    if (!fs::is_directory(folder, ec))
        throw Error(name + ": cannot be written: the folder " + Utf8(folder) +
                    (fs::exists(folder, ec) ? " is a file" : " does not exist"));
    for (const fs::path* input : {&opts.oldDir, &opts.newDir}) {
        if (IsInside(out, *input))
            throw Error(name + ": is inside " + Utf8(*input) +
                        "; the patch would overwrite or join the files it is made from");
    }
    if (applier && fs::exists(out, ec) && fs::equivalent(out, *applier, ec))
        throw Error(name + ": is the applier itself; write the patch to another file");
    if (fs::exists(fs::symlink_status(out, ec)) && !opts.force)
        throw Error(name + ": already exists; give --force to replace it");
}

// The patch is run like the applier: it gets the applier's execute bits.
void CopyExecuteBits(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    fs::perms p = fs::status(from, ec).permissions();
    fs::perms exec = p & (fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec);
    if (!ec && exec != fs::perms::none)
        fs::permissions(to, exec, fs::perm_options::add, ec);
}

// The encoder's memory per byte of old and new together at its peak (the
// suffix array over both, the match tables, the inputs, the streams).
constexpr uint64_t kEncoderBytesPerByte = 20;

// Whether a pair is planned through the block index rather than whole.
bool LargePair(const BuildOptions& opts, uint64_t oldSize, uint64_t newSize) {
    return opts.format == 2 && (oldSize + newSize) * kEncoderBytesPerByte > opts.memory;
}

void Warn(std::ostream& log, BuildResult& result, const std::string& what) {
    log << "mkpatch: warning: " << Printable(what) << "\n";
    result.warnings++;
    result.warningTexts.push_back(what);
}

// Under --strict, warnings stop the build before anything is written or
// put in place.
void CheckStrict(const BuildOptions& opts, const BuildResult& result) {
    if (opts.strict && result.warnings)
        throw StrictFailure(std::to_string(result.warnings) + " warning" +
                            (result.warnings == 1 ? "" : "s") + " and --strict; nothing written");
}

// What a dry run shows of one record: its size for a whole file, the most
// it can take (one insert of the whole file) for a delta.
PlanLine PlanLineOf(const PlannedRecord& r, const CodePage& cp) {
    uint64_t head = RECORD_SUMS_SIZE + r.name.size() + 1;
    uint64_t size = r.newFile->size;
    if (!r.oldFile)
        return {DisplayName(r.name, cp), true, head + WHOLEFILE_HEAD_SIZE + size};
    return {DisplayName(r.name, cp), false, head + CMD_INSERT_HEAD_SIZE + size + CMD_END_SIZE};
}

// Pairs every NEW file with its OLD file, leaves out identical ones, and
// turns the others' names into record names, refusing everything the
// applier could not carry out as meant: every refusal at once, in one
// Error. Files that get no record need no name the code page can hold.
std::vector<PlannedRecord> PlanRecords(const Tree& oldTree, const Tree& newTree,
                                       const BuildOptions& opts, const CodePage& cp,
                                       std::ostream& log, BuildResult& result) {
    for (const std::string& note : oldTree.notes)
        Warn(log, result, Utf8(opts.oldDir) + "/" + note);
    for (const std::string& note : newTree.notes)
        Warn(log, result, Utf8(opts.newDir) + "/" + note);
    Pairing pairing = PairTrees(oldTree, newTree, opts.oldDir, opts.newDir);
    for (const std::string& d : pairing.emptyInNewOnly)
        Warn(log, result, Utf8(opts.newDir) + "/" + d +
                              ": an empty folder; a patch cannot make empty folders, so it is left out");
    std::vector<std::string> errors = pairing.errors;
    std::vector<PlannedRecord> plan;
    for (const FilePair& fp : pairing.pairs) {
        const TreeFile& f = *fp.newFile;
        // format 2's lengths are 64-bit
        auto tooLarge = opts.format == 1 ? TooLarge(f.path, f.size) : std::nullopt;
        if (!tooLarge && fp.oldFile && opts.format == 1)
            tooLarge = TooLarge(fp.oldFile->path, fp.oldFile->size);
        if (tooLarge) {
            errors.push_back(*tooLarge);
            continue;
        }
        if (fp.oldFile && SameContent(*fp.oldFile, f)) {
            result.unchanged++;
            continue;
        }
        std::string why;
        auto name = MakeRecordName(f.rel, cp, &why);
        if (!name) {
            errors.push_back(Utf8(opts.newDir / PathFromUtf8(f.rel)) + ": the name " + why);
            continue;
        }
        plan.push_back({*name, &f, fp.oldFile});
    }
    if (!errors.empty()) {
        std::string all = errors[0];
        for (size_t i = 1; i < errors.size(); i++)
            all += "\nmkpatch: " + errors[i];
        throw Error(all);
    }
    for (const TreeFile* f : pairing.onlyInOld) {
        Warn(log, result, f->rel + ": only in OLD; the patch cannot delete it and leaves it in place");
        result.onlyInOld++;
    }
    if (plan.empty())
        Warn(log, result, "no file differs between OLD and NEW; the patch has no records and "
                          "changes nothing");
    std::sort(plan.begin(), plan.end(),
              [](const PlannedRecord& a, const PlannedRecord& b) { return a.name < b.name; });
    return plan;
}

// The container as it is written: every byte after the applier goes
// through here, so its CRC-32 is known when the trailer is due.
struct ContainerOut {
    OutputFile& file;
    uint32_t crc = 0;
    void Write(const void* bytes, size_t n) {
        file.Write(bytes, n);
        crc = Crc32Update(crc, static_cast<const unsigned char*>(bytes), n);
    }
};

void WriteRecordHead(ContainerOut& out, uint32_t oldSum, uint32_t newSum, const std::string& name) {
    unsigned char sums[RECORD_SUMS_SIZE];
    PutU32(sums, oldSum);
    PutU32(sums + 4, newSum);
    out.Write(sums, sizeof sums);
    out.Write(name.c_str(), name.size() + 1);  // with its 0 byte
}

uint32_t Crc(const std::vector<uint8_t>& bytes) {
    return Crc32Update(0, bytes.data(), bytes.size());
}

// Writes the whole-file record of r and returns its trailer entry.
TrailerEntry WriteWholeRecord(ContainerOut& out, const PlannedRecord& r,
                              const std::vector<uint8_t>& neu) {
    WriteRecordHead(out, 0, XorSum(neu.data(), neu.size()), r.name);
    unsigned char head[WHOLEFILE_HEAD_SIZE];
    head[0] = REC_WHOLEFILE;
    PutU32(head + 1, static_cast<uint32_t>(neu.size()));
    out.Write(head, sizeof head);
    out.Write(neu.data(), neu.size());
    return {static_cast<uint32_t>(neu.size()), Crc(neu), 0, 0};
}

// Encodes and writes the delta record of r and returns its trailer entry.
// Without a trailer (bare), warns when the XOR sums alone cannot tell old
// from new; the trailer's lengths and CRC-32s can.
TrailerEntry WriteDeltaRecord(ContainerOut& out, const PlannedRecord& r,
                              const std::vector<uint8_t>& old, const std::vector<uint8_t>& neu,
                              bool bare, const EncodeProgress& onProgress, std::ostream& log,
                              BuildResult& result) {
    if (uint64_t{old.size()} + neu.size() + 1 > kMaxEncoderText)
        throw Error(Utf8(r.newFile->path) + ": old and new together are 4 GiB or more, "
                                            "beyond what the encoder's 32-bit indices reach");
    uint32_t oldSum = XorSum(old.data(), old.size());
    uint32_t newSum = XorSum(neu.data(), neu.size());
    if (bare && oldSum == newSum)
        Warn(log, result,
             r.newFile->rel + ": old and new have the same checksum " + Hex(oldSum) +
                 "; without the trailer the applier cannot tell the old file from an already "
                 "patched one, so a second run could damage the patched file");
    std::vector<uint8_t> stream = EncodeDelta(old, neu, onProgress);
    WriteRecordHead(out, oldSum, newSum, r.name);
    out.Write(stream.data(), stream.size());
    return {static_cast<uint32_t>(neu.size()), Crc(neu), static_cast<uint32_t>(old.size()),
            Crc(old)};
}

// Writes the trailer after the last record: one entry per record, then
// the tail with the CRC-32 of every container byte before the trailer.
void WriteTrailer(ContainerOut& out, const std::vector<TrailerEntry>& entries) {
    const uint32_t recordsCrc = out.crc;
    for (const TrailerEntry& e : entries) {
        unsigned char bytes[TRAILER_ENTRY_SIZE];
        out.Write(bytes, PutTrailerEntry(bytes, &e));
    }
    unsigned char tail[TRAILER_TAIL_SIZE];
    out.Write(tail, PutTrailerTail(tail, recordsCrc, static_cast<unsigned>(entries.size())));
}

// The folder the output goes to, where its temporary files go too.
fs::path OutputFolder(const fs::path& output) {
    return output.parent_path().empty() ? fs::path(".") : output.parent_path();
}

// Every byte of from, a piece at a time.
void CopyOut(TempFile& from, ContainerOut& out) {
    std::vector<uint8_t> piece(size_t{1} << 20);
    for (uint64_t at = 0; at < from.Size();) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(piece.size(), from.Size() - at));
        from.ReadAt(at, piece.data(), n);
        out.Write(piece.data(), n);
        at += n;
    }
}

}  // namespace

BuildResult BuildPatch(const BuildOptions& opts, std::ostream& log) {
    BuildResult result;
    CodePage cp(opts.codePage);
    std::optional<fs::path> applierPath;
    // a dry run writes nothing, so it needs no applier and no output
    if (!opts.containerOnly && (opts.applier || !opts.dryRun))
        applierPath = opts.applier ? *opts.applier : DefaultApplier();
    if (!opts.dryRun && !opts.stream)
        CheckOutput(opts, applierPath);
    auto [oldTree, newTree] = ListTrees(opts.oldDir, opts.newDir, opts.excludes);
    // one inside the other would compare a folder with its own files
    if (IsInside(opts.newDir, opts.oldDir) || IsInside(opts.oldDir, opts.newDir))
        throw Error(Utf8(opts.oldDir) + " and " + Utf8(opts.newDir) +
                    ": one folder holds the other (or they are one folder); give two separate "
                    "folders");
    for (size_t i = 0; i < opts.excludes.size(); i++) {
        if (!oldTree.excludeMatched[i] && !newTree.excludeMatched[i])
            Warn(log, result, "--exclude " + opts.excludes[i] + " matches nothing in OLD or NEW");
    }

    std::vector<uint8_t> applier;
    if (applierPath)
        applier = LoadApplier(*applierPath, opts.replace);
    if (!opts.branding.Empty())
        applier = BrandApplier(applier, opts.branding, applierPath ? Utf8(*applierPath) : "");

    // unchanged files leave the plan first, so the record count is known
    // (and checked) before anything is encoded or written
    std::vector<PlannedRecord> plan = PlanRecords(oldTree, newTree, opts, cp, log, result);
    if (plan.size() > CONTAINER_MAX_RECORDS)
        throw Error(Utf8(opts.output) + ": " + std::to_string(plan.size()) +
                    " records; a container holds at most 65535");

    CheckStrict(opts, result);
    if (opts.dryRun) {
        for (const PlannedRecord& r : plan) {
            result.plan.push_back(PlanLineOf(r, cp));
            (r.oldFile ? result.deltas : result.wholeFiles)++;
        }
        result.records = static_cast<unsigned>(plan.size());
        return result;
    }

    OutputFile file(opts.output, opts.stream);
    file.Write(applier.data(), applier.size());
    ContainerOut out{file};
    std::optional<Format2Writer> f2;
    // Format 2's header is known once the last block is written: in a file
    // it is written over a placeholder; on a stream the blocks wait in a
    // temporary file behind it.
    const uint64_t containerAt = file.Size();
    std::optional<TempFile> spool;
    if (opts.format == 2) {
        Format2Options fo;
        fo.memory = opts.memory;
        fo.tempFolder = opts.stream ? fs::path() : OutputFolder(opts.output);
        if (opts.cancel)
            fo.poll = [cancel = opts.cancel] { ThrowIfCancelled(cancel); };
        if (file.Seekable()) {
            unsigned char placeholder[F2_HEADER_SIZE] = {};
            out.Write(placeholder, sizeof placeholder);
            f2.emplace(fo, [&](std::span<const uint8_t> b) { out.Write(b.data(), b.size()); });
        } else {
            spool.emplace(fo.tempFolder);
            f2.emplace(fo, [&](std::span<const uint8_t> b) { spool->Write(b.data(), b.size()); });
        }
    } else {
        unsigned char header[CONTAINER_HEADER_SIZE] = {0, 0, 0, 0};
        PutU16(header, static_cast<uint16_t>(plan.size()));
        out.Write(header, sizeof header);
    }

    uint64_t total = 0;
    for (const PlannedRecord& r : plan)
        total += r.newFile->size;
    Progress progress(opts, total);

    std::vector<TrailerEntry> entries;
    for (const PlannedRecord& r : plan) {
        if (r.oldFile && LargePair(opts, r.oldFile->size, r.newFile->size)) {
            LargePlanOptions lp;
            lp.memoryCap = opts.memory;
            auto copies = PlanLargeDelta(r.oldFile->path, r.newFile->path, lp, [&](uint32_t done) {
                progress.Within(r.newFile->size, done, result.records, plan.size());
            });
            f2->AddLargeDelta(r.name, r.oldFile->path, r.newFile->path, copies);
            result.deltas++;
            result.records++;
            if (opts.verbose)
                log << "mkpatch: " << DisplayName(r.name, cp) << ": delta through the block index, "
                    << r.newFile->size << " bytes new\n";
            progress.Advance(r.newFile->size, result.records, plan.size());
            continue;
        }
        if (!r.oldFile && opts.format == 2 && r.newFile->size > opts.memory / 4) {
            // read a piece at a time rather than whole
            f2->AddWholeFile(r.name, r.newFile->path);
            result.wholeFiles++;
            result.records++;
            if (opts.verbose)
                log << "mkpatch: " << Printable(r.newFile->rel) << ": whole, read a piece at a time, "
                    << r.newFile->size << " bytes new\n";
            progress.Advance(r.newFile->size, result.records, plan.size());
            continue;
        }
        std::vector<uint8_t> neu = ReadFileBytes(r.newFile->path);
        if (opts.format == 1)
            CheckFileSize(r.newFile->path, neu.size());
        EncodeProgress within = [&](uint32_t done) {
            progress.Within(neu.size(), done, result.records, plan.size());
        };
        if (!r.oldFile) {
            if (f2)
                f2->AddWhole(r.name, neu);
            else
                entries.push_back(WriteWholeRecord(out, r, neu));
            result.wholeFiles++;
        } else {
            std::vector<uint8_t> old = ReadFileBytes(r.oldFile->path);
            if (opts.format == 1)
                CheckFileSize(r.oldFile->path, old.size());
            if (f2)
                f2->AddDelta(r.name, old, neu, within);
            else
                entries.push_back(WriteDeltaRecord(out, r, old, neu, !opts.trailer, within, log, result));
            result.deltas++;
        }
        result.records++;
        if (opts.verbose)
            log << "mkpatch: " << Printable(r.newFile->rel) << ": " << (r.oldFile ? "delta" : "whole")
                << ", " << neu.size() << " bytes new\n";
        progress.Advance(neu.size(), result.records, plan.size());
    }
    if (f2) {
        std::vector<uint8_t> header = f2->Finish();
        if (spool) {
            out.Write(header.data(), header.size());
            CopyOut(*spool, out);
        } else {
            file.Rewrite(containerAt, header.data(), header.size());
        }
    } else if (opts.trailer) {
        WriteTrailer(out, entries);
    }
    CheckStrict(opts, result);
    result.containerSize = file.Size() - applier.size();
    result.fileSize = file.Size();
    file.Commit();
    if (applierPath && !opts.stream)
        CopyExecuteBits(*applierPath, opts.output);
    return result;
}

}  // namespace mkpatch
