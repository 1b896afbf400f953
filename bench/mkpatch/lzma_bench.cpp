// The LZMA encoder on files: stream size, encode speed and peak memory.
// bench/mkpatch/lzma-compare.sh sets these figures beside xz's.
//
//   mkpatch_lzma_bench [--fast] [--depth N] [--nice N] [--dict BYTES]
//                      [--lc N --lp N --pb N] [-o DIR] FILE...
// prints one line per file (name, size, stream size, ratio, MB/s by the clock
// and by CPU time, as the machine may be shared) and the
// process's peak resident memory; with -o, writes each stream to
// DIR/NAME.lzma for checking with an outside decoder.
#include <sys/resource.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/mkpatch/lib/lzma_enc.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadAll(const char* path) {
    std::ifstream f(path, std::ios::binary);
    if (!f)
        throw std::runtime_error(std::string(path) + ": cannot open");
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

}  // namespace

int main(int argc, char** argv) {
    mkpatch::LzmaOptions o;
    std::string outDir;
    std::vector<const char*> files;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto next = [&]() -> unsigned long {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s needs a value\n", a.c_str());
                std::exit(2);
            }
            return std::strtoul(argv[++i], nullptr, 0);
        };
        if (a == "--fast")
            o.effort = mkpatch::LzmaEffort::Fast;
        else if (a == "--depth")
            o.searchDepth = static_cast<unsigned>(next());
        else if (a == "--nice")
            o.niceLength = static_cast<unsigned>(next());
        else if (a == "--dict")
            o.dictSize = static_cast<uint32_t>(next());
        else if (a == "--lc")
            o.lc = static_cast<unsigned>(next());
        else if (a == "--lp")
            o.lp = static_cast<unsigned>(next());
        else if (a == "--pb")
            o.pb = static_cast<unsigned>(next());
        else if (a == "-o")
            outDir = argv[++i];
        else
            files.push_back(argv[i]);
    }
    double totalIn = 0, totalOut = 0, totalSeconds = 0, totalCpu = 0;
    for (const char* f : files) {
        Bytes data = ReadAll(f);
        auto t0 = std::chrono::steady_clock::now();
        std::clock_t c0 = std::clock();
        Bytes stream = mkpatch::LzmaEncode(data, o);
        double cpu = double(std::clock() - c0) / CLOCKS_PER_SEC;
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        std::printf("%-40s %11zu %11zu %7.4f %7.2f MB/s %7.2f MB/s cpu\n", std::filesystem::path(f).filename().c_str(),
                    data.size(), stream.size(), data.empty() ? 0.0 : double(stream.size()) / double(data.size()),
                    double(data.size()) / 1e6 / s, double(data.size()) / 1e6 / cpu);
        totalCpu += cpu;
        totalIn += double(data.size());
        totalOut += double(stream.size());
        totalSeconds += s;
        if (!outDir.empty()) {
            std::ofstream out(std::filesystem::path(outDir) / (std::filesystem::path(f).filename().string() + ".lzma"),
                              std::ios::binary);
            out.write(reinterpret_cast<const char*>(stream.data()), static_cast<std::streamsize>(stream.size()));
        }
    }
    struct rusage ru {};
    getrusage(RUSAGE_SELF, &ru);
    std::printf("%-40s %11.0f %11.0f %7.4f %7.2f MB/s %7.2f MB/s cpu  peak %ld MiB\n", "total", totalIn, totalOut,
                totalIn > 0 ? totalOut / totalIn : 0.0, totalIn / 1e6 / totalSeconds, totalIn / 1e6 / totalCpu,
                ru.ru_maxrss / 1024);
    return 0;
}
