// Apply throughput against a plain copy of the same output bytes.
//
// Builds a container that rebuilds FILES delta files of about 1 MB (a few
// hundred copy and insert commands each) plus some whole files, applies it
// with the engine (the bare container, the same with its integrity trailer,
// and that with a restore file), and in the same run times CopyFileA of
// files holding the same output bytes over existing 3-byte files, the same
// with each copy flushed to the disk (as the engine flushes what it
// rebuilt), "the same job" (flushed copies over the full-size old files,
// and the whole files where none was), and a straightforward rebuild (old
// file and read-back mapped, one write per command) for comparison. Every
// input is on the disk before a timing starts. Prints the median of
// several rounds.
//
//   apply_bench [FILES] [ROUNDS]     (default 64 files, 5 rounds)
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "engine/patch.h"
#include "support/container_builder.h"
#include "support/format2_builder.h"
#include "tools/mkpatch/lib/lzma_enc.h"
#include "support/win_folder.h"

using namespace testing_support;

namespace {

// File names built with snprintf: GCC 12 warns falsely (-Wrestrict) on
// chains of std::string operator+ in optimised builds.
std::string Name(const char* prefix, size_t i, const char* suffix = "") {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s%zu%s", prefix, i, suffix);
    return buf;
}

double Now() {
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return (double)c.QuadPart / (double)f.QuadPart;
}

struct Work {
    std::vector<Bytes> olds, news;
    std::vector<Bytes> streams;  // command stream per delta file
    Bytes container;
    Bytes containerTrailer;  // the same records with the integrity trailer
    Bytes container2;        // the same records in format 2, LZMA-coded
    size_t outBytes = 0;
};

// Codes a format-2 stream with LZMA, and keeps it stored when that is not
// smaller, as mkpatch does. The fast parse: the bench times the applier's
// decoding, and the encoder's choice of parse barely moves it.
Bytes LzmaFast(const Bytes& data, F2StreamHead* head) {
    mkpatch::LzmaOptions o;
    o.effort = mkpatch::LzmaEffort::Fast;
    o.dictSize = (uint32_t)std::max<size_t>(LZMA_DICT_MIN, std::min<size_t>(data.size(), 8u << 20));
    Bytes packed = mkpatch::LzmaEncode(data, o);
    if (packed.size() >= data.size())
        return data;  // the head says stored already
    head->method = F2_LZMA;
    head->props = mkpatch::LzmaPropsByte(o);
    head->dictSize = o.dictSize;
    return packed;
}

Work Make(int files, unsigned seed) {
    std::mt19937 rng(seed);
    Work w;
    ContainerBuilder c((uint16_t)(files + files / 8));
    testing_support::Format2Builder f2;
    f2.Code(LzmaFast);
    for (int i = 0; i < files; i++) {
        Bytes old(1000000 + rng() % 100000);
        for (auto& b : old) b = (uint8_t)(rng() % 7 ? rng() % 16 : rng());
        Bytes neu;
        ContainerBuilder body = ContainerBuilder::Bare();
        struct Step {
            uint32_t off, len;  // a copy, or a literal when len is 0
            Bytes lit;
        };
        std::vector<Step> steps;
        while (neu.size() < 1000000) {
            if (rng() % 4) {
                uint32_t len = 2000 + rng() % 6000;
                uint32_t off = rng() % (uint32_t)(old.size() - len);
                neu.insert(neu.end(), old.begin() + off, old.begin() + off + len);
                body.Copy(len, off);
                steps.push_back({off, len, {}});
            } else {
                Bytes lit(10 + rng() % 400);
                for (auto& b : lit) b = (uint8_t)rng();
                neu.insert(neu.end(), lit.begin(), lit.end());
                body.Insert(lit);
                steps.push_back({0, 0, lit});
            }
        }
        body.End();
        Bytes stream = body.bytes();
        c.Delta(Sum(old), Sum(neu), Name("D", i, ".BIN")).Raw(stream);
        // the same commands in format 2: each copy an exact copy from where
        // the last one ended, each insert a literal run
        f2.Delta(Name("D", i, ".BIN"), old, neu);
        int64_t pos = 0;
        for (const Step& st : steps) {
            if (st.len) {
                f2.Cmd((int64_t)st.off - pos, st.len, {}, {});
                pos = (int64_t)st.off + st.len;
            } else {
                f2.Cmd(0, 0, {}, st.lit);
            }
        }
        w.outBytes += neu.size();
        w.olds.push_back(std::move(old));
        w.news.push_back(std::move(neu));
        w.streams.push_back(std::move(stream));
    }
    for (int i = 0; i < files / 8; i++) {
        Bytes whole(1000000);
        for (auto& b : whole) b = (uint8_t)rng();
        c.Whole(Name("W", i, ".BIN"), whole);
        f2.Whole(Name("W", i, ".BIN"), whole);
        w.outBytes += whole.size();
        w.news.push_back(std::move(whole));
    }
    w.container = c.bytes();
    w.container2 = f2.Block().Build();
    std::vector<TrailerEntry> entries;
    auto crc = [](const Bytes& b) { return Crc32Update(0, b.data(), b.size()); };
    for (size_t i = 0; i < w.news.size(); i++) {
        TrailerEntry e{(uint32_t)w.news[i].size(), crc(w.news[i]), 0, 0};
        if (i < w.olds.size()) {
            e.oldLength = (uint32_t)w.olds[i].size();
            e.oldCrc = crc(w.olds[i]);
        }
        entries.push_back(e);
    }
    w.containerTrailer = c.Trailer(entries).bytes();
    return w;
}

void FlushFile(const std::string& path) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE || !FlushFileBuffers(h))
        std::exit(1);
    CloseHandle(h);
}

// Inputs are on the disk before a timing starts, so that no timed run pays
// for writing back another's inputs.
void WriteSettled(const std::string& path, const Bytes& bytes) {
    WriteBytes(path, bytes);
    FlushFile(path);
}

void Prepare(const ScratchFolder& f, const Work& w) {
    for (size_t i = 0; i < w.olds.size(); i++)
        WriteSettled(f / (Name("D", i, ".BIN")), w.olds[i]);
    for (size_t i = w.olds.size(); i < w.news.size(); i++)
        DeleteFileA((f / (Name("W", i - w.olds.size(), ".BIN"))).c_str());
}

void NoEnd(void*, int) {}

// With restore, a restore file is made beside the targets (after a stub of
// the shipped applier's size), its size past the stub put in *restoreSize,
// and removed again after the timing.
double TimeEngine(const ScratchFolder& f, const Work& w, const Bytes& container, bool restore = false,
                  uint64_t* restoreSize = nullptr) {
    Prepare(f, w);
    PatchHost host{nullptr, nullptr, NoEnd, nullptr, nullptr, nullptr};
    static const Bytes stub(24 * 1024, 0);
    PatchRestore r{f.dir().c_str(), "bench_restore", stub.data(), stub.size()};
    double t = Now();
    PatchSetKeepRunning(1);
    RunPatch(container.data(), container.size(), f.dir().c_str(), &host, restore ? &r : nullptr);
    t = Now() - t;
    WIN32_FILE_ATTRIBUTE_DATA made;
    if (restore && GetFileAttributesExA(g_restore.path, GetFileExInfoStandard, &made))
        *restoreSize = ((uint64_t)made.nFileSizeHigh << 32 | made.nFileSizeLow) - stub.size();
    if (restore && (g_restore.state != RESTORE_MADE || !DeleteFileA(g_restore.path))) {
        std::fprintf(stderr, "no restore file was made\n");
        std::exit(1);
    }
    if (g_tally.ok != w.news.size()) {
        std::fprintf(stderr, "engine run failed: %u of %zu records ok\n", g_tally.ok, w.news.size());
        std::exit(1);
    }
    return t;
}

// With durable, each copy is also flushed to the disk before the next, as
// the engine flushes each rebuilt file before it takes the target's name.
// With likeEngine, the copies also land where the engine's output does:
// over the old files (of their full size, so that the file system frees as
// many blocks as it does for the engine) and, for the whole files, where
// none was. Otherwise each lands over a 3-byte file.
double TimeCopy(const ScratchFolder& src, const ScratchFolder& dst, const Work& w, bool durable = false,
                bool likeEngine = false) {
    for (size_t i = 0; i < w.news.size(); i++) {
        WriteSettled(src / (Name("N", i)), w.news[i]);
        if (!likeEngine)
            WriteSettled(dst / (Name("N", i)), B("old"));
        else if (i < w.olds.size())
            WriteSettled(dst / (Name("N", i)), w.olds[i]);
        else
            DeleteFileA((dst / (Name("N", i))).c_str());
    }
    double t = Now();
    for (size_t i = 0; i < w.news.size(); i++) {
        std::string n = Name("N", i);
        if (!CopyFileA((src / n).c_str(), (dst / n).c_str(), FALSE))
            std::exit(1);
        if (durable)
            FlushFile(dst / n);
    }
    return Now() - t;
}

// The straightforward rebuild: old file mapped, one WriteFile per command,
// the result mapped again for its checksum, delete then rename.
uint32_t SumMapped(HANDLE h) {
    DWORD size = GetFileSize(h, nullptr);
    if (!size) return 0;
    HANDLE m = CreateFileMappingA(h, nullptr, PAGE_READONLY, 0, 0, nullptr);
    auto* v = (const unsigned char*)MapViewOfFile(m, FILE_MAP_READ, 0, 0, size);
    uint32_t s = XorSum(v, size);
    UnmapViewOfFile(v);
    CloseHandle(m);
    return s;
}

double TimeMapped(const ScratchFolder& f, const Work& w) {
    Prepare(f, w);
    double t = Now();
    for (size_t i = 0; i < w.olds.size(); i++) {
        std::string target = f / (Name("D", i, ".BIN"));
        std::string tmp = target;
        tmp += ".tmp";
        HANDLE old = CreateFileA(target.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        SumMapped(old);
        DWORD size = GetFileSize(old, nullptr);
        HANDLE m = CreateFileMappingA(old, nullptr, PAGE_READONLY, 0, 0, nullptr);
        auto* v = (const unsigned char*)MapViewOfFile(m, FILE_MAP_READ, 0, 0, size);
        HANDLE out = CreateFileA(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        PatchCursor cur;
        CursorInit(&cur, w.streams[i].data(), w.streams[i].size());
        PatchCommand cmd;
        DWORD done;
        while (ReadCommand(&cur, &cmd) == PR_OK && cmd.op != CMD_END)
            WriteFile(out, cmd.op == CMD_COPY ? v + cmd.offset : cmd.literal, cmd.length, &done, nullptr);
        UnmapViewOfFile(v);
        CloseHandle(m);
        CloseHandle(old);
        CloseHandle(out);
        HANDLE check = CreateFileA(tmp.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        SumMapped(check);
        CloseHandle(check);
        DeleteFileA(target.c_str());
        MoveFileA(tmp.c_str(), target.c_str());
    }
    for (size_t i = w.olds.size(); i < w.news.size(); i++) {
        const Bytes& b = w.news[i];
        HANDLE out = CreateFileA((f / (Name("W", i - w.olds.size(), ".BIN"))).c_str(), GENERIC_WRITE,
                                 0, nullptr, CREATE_NEW, 0, nullptr);
        DWORD done;
        WriteFile(out, b.data(), (DWORD)b.size(), &done, nullptr);
        CloseHandle(out);
    }
    return Now() - t;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    int files = argc > 1 ? std::atoi(argv[1]) : 64;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    Work w = Make(files, 2024);
    size_t commands = 0;
    for (const auto& s : w.streams) {
        PatchCursor cur;
        CursorInit(&cur, s.data(), s.size());
        PatchCommand cmd;
        while (ReadCommand(&cur, &cmd) == PR_OK && cmd.op != CMD_END) commands++;
    }
    std::printf("workload: %d delta files (%zu commands, %.0f per file) + %d whole files, %.1f MB of output, "
                "container %.1f MB\n",
                files, commands, (double)commands / files, files / 8, w.outBytes / 1e6, w.container.size() / 1e6);
    std::printf("format 2: container %.1f MB\n", w.container2.size() / 1e6);
    ScratchFolder target("bench"), src("bench-src"), dst("bench-dst");
    uint64_t restoreBytes = 0, restoreBytes2 = 0;
    std::vector<double> engine, trailer, restore, engine2, restore2, copy, durable, sameJob, mapped;
    for (int r = 0; r < rounds; r++) {
        engine.push_back(TimeEngine(target, w, w.container));
        trailer.push_back(TimeEngine(target, w, w.containerTrailer));
        restore.push_back(TimeEngine(target, w, w.containerTrailer, true, &restoreBytes));
        engine2.push_back(TimeEngine(target, w, w.container2));
        restore2.push_back(TimeEngine(target, w, w.container2, true, &restoreBytes2));
        copy.push_back(TimeCopy(src, dst, w));
        durable.push_back(TimeCopy(src, dst, w, true));
        sameJob.push_back(TimeCopy(src, dst, w, true, true));
        mapped.push_back(TimeMapped(target, w));
    }
    double e = Median(engine), t = Median(trailer), rs = Median(restore), c = Median(copy), d = Median(durable),
           j = Median(sameJob), m = Median(mapped), e2 = Median(engine2), rs2 = Median(restore2);
    std::printf("median of %d rounds:\n", rounds);
    const char* row = "  %-22s %7.3f s  %7.1f MB/s  %.2fx copy  %.2fx flushed  %.2fx same job\n";
    std::printf(row, "engine apply", e, w.outBytes / 1e6 / e, e / c, e / d, e / j);
    std::printf(row, "engine, with trailer", t, w.outBytes / 1e6 / t, t / c, t / d, t / j);
    std::printf(row, "+ restore file", rs, w.outBytes / 1e6 / rs, rs / c, rs / d, rs / j);
    std::printf(row, "format 2 (LZMA)", e2, w.outBytes / 1e6 / e2, e2 / c, e2 / d, e2 / j);
    std::printf(row, "format 2 + restore file", rs2, w.outBytes / 1e6 / rs2, rs2 / c, rs2 / d, rs2 / j);
    std::printf("  restore files: bare form %.1f MB, format 2 %.1f MB\n", restoreBytes / 1e6, restoreBytes2 / 1e6);
    std::printf("  CopyFileA, same bytes  %7.3f s  %7.1f MB/s  1.00x\n", c, w.outBytes / 1e6 / c);
    std::printf("  the same, each flushed %7.3f s  %7.1f MB/s  %.2fx copy\n", d, w.outBytes / 1e6 / d, d / c);
    std::printf("  same job, see above    %7.3f s  %7.1f MB/s  %.2fx copy\n", j, w.outBytes / 1e6 / j, j / c);
    std::printf("  mapped, write/command  %7.3f s  %7.1f MB/s  %.2fx copy\n", m, w.outBytes / 1e6 / m, m / c);
    // The disk's flush time drifts between rounds; the ratio within each
    // round (the engine and the same job timed moments apart) drifts less.
    auto perRound = [&](const std::vector<double>& v) {
        std::vector<double> q;
        for (size_t i = 0; i < v.size(); i++) q.push_back(v[i] / sameJob[i]);
        return Median(q);
    };
    std::printf("median of the ratios to the same job in each round: bare %.2f, trailer %.2f, + restore file %.2f, "
                "format 2 %.2f, format 2 + restore file %.2f\n",
                perRound(engine), perRound(trailer), perRound(restore), perRound(engine2), perRound(restore2));
    return 0;
}
