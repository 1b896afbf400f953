// mkpatch build: compare two folders and write a container, by default
// appended to a copy of the applier.
#include <algorithm>
#include <cstdio>
#include <map>

#include "commands.h"
#include "encoder.h"
#include "core/format.h"
#include "core/checksum.h"
#include "files.h"
#include "names.h"
#include "patchfile.h"

namespace mkpatch {
namespace {

constexpr uint64_t kMaxFileSize = 0xFFFFFFFFull;  // sizes are 32-bit fields

struct PlannedRecord {
    std::string name;  // code-page bytes, '\' separators
    const TreeFile* newFile;
    const TreeFile* oldFile;  // null for a file only in NEW
};

// A progress bar on standard error, drawn only when it is a terminal.
class Progress {
public:
    Progress(bool enabled, uint64_t total) : enabled_(enabled && total > 0), total_(total) {}
    ~Progress() {
        if (enabled_ && drawn_)
            std::fputc('\n', stderr);
    }
    void Advance(uint64_t bytes, size_t filesDone, size_t files) {
        done_ += bytes;
        if (!enabled_)
            return;
        int width = 40;
        int fill = static_cast<int>(done_ * width / total_);
        std::fprintf(stderr, "\r[%.*s%*s] %3d%% %zu/%zu files", fill,
                     "########################################", width - fill, "",
                     static_cast<int>(done_ * 100 / total_), filesDone, files);
        std::fflush(stderr);
        drawn_ = true;
    }

private:
    bool enabled_;
    uint64_t total_;
    uint64_t done_ = 0;
    bool drawn_ = false;
};

std::string Hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

std::filesystem::path DefaultApplier() {
    std::filesystem::path folder = ProgramFolder();
    std::filesystem::path candidate = folder / "applier.exe";
    std::error_code ec;
    if (folder.empty() || !std::filesystem::is_regular_file(candidate, ec))
        throw Error("no applier.exe beside mkpatch" +
                    (folder.empty() ? std::string() : " (in " + Utf8(folder) + ")") +
                    "; give --applier APPLIER.exe, or --container-only for a bare container");
    return candidate;
}

// Pairs every NEW file with its OLD file and turns its name into a record
// name, refusing everything the applier could not carry out as meant.
std::vector<PlannedRecord> PlanRecords(const std::vector<TreeFile>& oldFiles,
                                       const std::vector<TreeFile>& newFiles,
                                       const BuildOptions& opts, const CodePage& cp,
                                       std::ostream& log, BuildResult& result) {
    // Windows finds "a.txt" under "A.TXT", so OLD is looked up case-folded
    std::map<std::string, const TreeFile*> oldByName;
    std::map<std::string, const TreeFile*> oldByFolded;
    for (const TreeFile& f : oldFiles) {
        std::string why;
        auto name = MakeRecordName(f.rel, cp, &why);
        if (!name)
            continue;  // cannot be a target; only its absence from NEW matters
        oldByName[*name] = &f;
        oldByFolded.emplace(FoldCase(*name, cp), &f);
    }

    std::vector<PlannedRecord> plan;
    std::map<std::string, std::string> folded;  // folded name -> NEW rel
    std::map<const TreeFile*, bool> oldUsed;
    for (const TreeFile& f : newFiles) {
        std::string why;
        auto name = MakeRecordName(f.rel, cp, &why);
        if (!name)
            throw Error(Utf8(opts.newDir / PathFromUtf8(f.rel)) + ": the name " + why);
        if (f.size > kMaxFileSize)
            throw Error(Utf8(f.path) + ": 4 GiB or more; the format's sizes are 32-bit");
        auto [at, fresh] = folded.emplace(FoldCase(*name, cp), f.rel);
        if (!fresh)
            throw Error(Utf8(f.path) + ": differs from " + at->second +
                        " only in letter case; they would be one file on Windows");
        const TreeFile* old = nullptr;
        if (auto it = oldByName.find(*name); it != oldByName.end())
            old = it->second;
        else if (auto it2 = oldByFolded.find(at->first); it2 != oldByFolded.end())
            old = it2->second;
        if (old) {
            if (old->size > kMaxFileSize)
                throw Error(Utf8(old->path) + ": 4 GiB or more; the format's sizes are 32-bit");
            oldUsed[old] = true;
        }
        plan.push_back({*name, &f, old});
    }
    for (const TreeFile& f : oldFiles) {
        if (!oldUsed.count(&f)) {
            log << "mkpatch: warning: " << f.rel
                << ": only in OLD; the patch cannot delete it and leaves it in place\n";
            result.onlyInOld++;
            result.warnings++;
        }
    }
    std::sort(plan.begin(), plan.end(),
              [](const PlannedRecord& a, const PlannedRecord& b) { return a.name < b.name; });
    return plan;
}

void WriteRecordHead(OutputFile& out, uint32_t oldSum, uint32_t newSum, const std::string& name) {
    unsigned char sums[RECORD_SUMS_SIZE];
    PutU32(sums, oldSum);
    PutU32(sums + 4, newSum);
    out.Write(sums, sizeof sums);
    out.Write(name.c_str(), name.size() + 1);  // with its 0 byte
}

}  // namespace

BuildResult BuildPatch(const BuildOptions& opts, std::ostream& log) {
    BuildResult result;
    CodePage cp(opts.codePage);
    std::vector<TreeFile> oldFiles = ListTree(opts.oldDir);
    std::vector<TreeFile> newFiles = ListTree(opts.newDir);

    std::vector<uint8_t> applier;
    if (!opts.containerOnly)
        applier = LoadApplier(opts.applier ? *opts.applier : DefaultApplier(), opts.replace);

    std::vector<PlannedRecord> plan = PlanRecords(oldFiles, newFiles, opts, cp, log, result);

    OutputFile out(opts.output);
    out.Write(applier.data(), applier.size());
    const uint64_t containerStart = out.Size();
    unsigned char header[CONTAINER_HEADER_SIZE] = {0, 0, 0, 0};
    out.Write(header, sizeof header);  // the count is filled in at the end

    uint64_t total = 0;
    for (const PlannedRecord& r : plan)
        total += r.newFile->size;
    Progress progress(opts.progress, total);

    size_t done = 0;
    for (const PlannedRecord& r : plan) {
        std::vector<uint8_t> neu = ReadFileBytes(r.newFile->path);
        if (neu.size() > kMaxFileSize)
            throw Error(Utf8(r.newFile->path) + ": 4 GiB or more; the format's sizes are 32-bit");
        uint32_t newSum = XorSum(neu.data(), neu.size());
        if (!r.oldFile) {
            WriteRecordHead(out, 0, newSum, r.name);
            unsigned char head[WHOLEFILE_HEAD_SIZE];
            head[0] = REC_WHOLEFILE;
            PutU32(head + 1, static_cast<uint32_t>(neu.size()));
            out.Write(head, sizeof head);
            out.Write(neu.data(), neu.size());
            result.wholeFiles++;
        } else {
            std::vector<uint8_t> old = ReadFileBytes(r.oldFile->path);
            if (old == neu) {
                result.unchanged++;
                progress.Advance(neu.size(), ++done, plan.size());
                continue;
            }
            if (old.size() > kMaxFileSize)
                throw Error(Utf8(r.oldFile->path) + ": 4 GiB or more; the format's sizes are 32-bit");
            if (uint64_t{old.size()} + neu.size() + 1 > 0xFFFFFFFEull)
                throw Error(Utf8(r.newFile->path) + ": old and new together are 4 GiB or more, "
                                                    "beyond what the encoder can index");
            uint32_t oldSum = XorSum(old.data(), old.size());
            if (oldSum == newSum) {
                log << "mkpatch: warning: " << r.newFile->rel << ": old and new have the same checksum "
                    << Hex(oldSum) << "; the applier cannot tell the old file from an already "
                    << "patched one, so a second run could damage the patched file\n";
                result.warnings++;
            }
            std::vector<uint8_t> stream = EncodeDelta(old, neu);
            WriteRecordHead(out, oldSum, newSum, r.name);
            out.Write(stream.data(), stream.size());
            result.deltas++;
        }
        result.records++;
        progress.Advance(neu.size(), ++done, plan.size());
    }

    if (result.records > CONTAINER_MAX_RECORDS)
        throw Error(Utf8(opts.output) + ": " + std::to_string(result.records) +
                    " records; a container holds at most 65535");
    PutU16(header, static_cast<uint16_t>(result.records));
    out.WriteAt(containerStart, header, sizeof header);
    result.containerSize = out.Size() - containerStart;
    result.fileSize = out.Size();
    out.Commit();
    return result;
}

}  // namespace mkpatch
