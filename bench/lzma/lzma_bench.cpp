// Decode speed of the LZMA decoder. For each pair on the command line: a
// .lzma file (`xz --format=lzma`: props, dictionary size, then the raw
// stream) and the file it was made from, whose size is the unpacked size.
// Each stream is decoded in 64 KB reads, as the applier reads, the first
// time checked against the original; the best of the runs is printed in
// MB/s of unpacked bytes, by the process's processor time (our machines
// are shared: the wall clock counts other people's work too) and by the
// wall clock.
//
//   lzma_bench [-r RUNS] PACKED ORIGINAL [PACKED ORIGINAL ...]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/lzma.h"
#ifdef _WIN32
#include <windows.h>
#else
#include <time.h>
#endif

namespace {

using Bytes = std::vector<unsigned char>;

bool ReadAll(const char* path, Bytes* out) {
    FILE* f = std::fopen(path, "rb");
    if (!f)
        return false;
    unsigned char buf[1 << 16];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
        out->insert(out->end(), buf, buf + n);
    std::fclose(f);
    return true;
}

// Processor time of this process so far, user and system, in seconds.
double CpuSeconds() {
#ifdef _WIN32
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto ticks = [](FILETIME t) { return (double)((uint64_t)t.dwHighDateTime << 32 | t.dwLowDateTime); };
    return (ticks(kernel) + ticks(user)) / 1e7;
#else
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
#endif
}

// Decodes the whole stream once; false on a data error or, with check,
// on bytes that differ from the original.
bool DecodeOnce(const Bytes& packed, const Bytes& original, bool check) {
    static LzmaDecoder d;  // 28 KB of models: kept off the stack
    uint32_t dictSize = packed[1] | packed[2] << 8 | packed[3] << 16 | (uint32_t)packed[4] << 24;
    if (dictSize > original.size())
        dictSize = original.size() ? (uint32_t)original.size() : 1;
    std::unique_ptr<unsigned char[]> dict(new unsigned char[dictSize]);
    LzmaInput in = {packed.data() + 13, packed.data() + packed.size(), nullptr, nullptr};
    if (!LzmaBegin(&d, packed[0], dict.get(), dictSize, original.size(), &in))
        return false;
    static unsigned char out[1 << 16];
    for (size_t at = 0; at < original.size();) {
        size_t n = original.size() - at < sizeof out ? original.size() - at : sizeof out;
        if (!LzmaRead(&d, out, n) || (check && std::memcmp(out, original.data() + at, n) != 0))
            return false;
        at += n;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 5, first = 1;
    if (argc > 2 && std::strcmp(argv[1], "-r") == 0) {
        runs = std::atoi(argv[2]);
        first = 3;
    }
    if (argc - first < 2 || (argc - first) % 2) {
        std::fprintf(stderr, "usage: lzma_bench [-r RUNS] PACKED ORIGINAL [PACKED ORIGINAL ...]\n");
        return 2;
    }
    int status = 0;
    for (int i = first; i + 1 < argc; i += 2) {
        Bytes packed, original;
        if (!ReadAll(argv[i], &packed) || !ReadAll(argv[i + 1], &original) || packed.size() < 13) {
            std::fprintf(stderr, "%s, %s: cannot read\n", argv[i], argv[i + 1]);
            status = 1;
            continue;
        }
        if (!DecodeOnce(packed, original, true)) {
            std::fprintf(stderr, "%s: does not decode to %s\n", argv[i], argv[i + 1]);
            status = 1;
            continue;
        }
        double bestCpu = 1e30, bestWall = 1e30;
        for (int r = 0; r < runs; r++) {
            double c0 = CpuSeconds();
            auto t0 = std::chrono::steady_clock::now();
            DecodeOnce(packed, original, false);
            double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            double cpu = CpuSeconds() - c0;
            bestCpu = cpu < bestCpu ? cpu : bestCpu;
            bestWall = wall < bestWall ? wall : bestWall;
        }
        double mb = original.size() / 1e6;
        std::printf("%-24s %10zu -> %10zu bytes  %7.1f MB/s (processor)  %7.1f MB/s (wall)\n", argv[i],
                    packed.size() - 13, original.size(), mb / bestCpu, mb / bestWall);
    }
    return status;
}
