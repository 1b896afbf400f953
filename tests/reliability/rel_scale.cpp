// Scale runs of the engine, with figures: the most records a container can
// count, and single files of many megabytes.
//   rel_scale records N [FOLDER]    N whole-file records of small files
//   rel_scale file MB [FOLDER]      one delta record rebuilding an MB-sized file
//   rel_scale bench [MAXMB]         both at growing sizes, as a table
// Each run is checked file by file; the exit code is 0 only when every file
// is exactly what the container describes.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/patch.h"
#include "patchset.h"
#include "tests/support/container_builder.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/stream_hash.h"

namespace reliability {
namespace {

using Hash = testing_support::StreamHash;

double Seconds(LARGE_INTEGER a, LARGE_INTEGER b) {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return double(b.QuadPart - a.QuadPart) / double(f.QuadPart);
}

LARGE_INTEGER Now() {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t;
}

int Quiet(void*, const char*) {
    return 0;
}
void NoEnd(void*, int) {}

// Runs the container on folder (with its backslash); seconds taken.
double Run(const Bytes& container, const std::string& folder, int* outcome) {
    PatchHost host{Quiet, nullptr, NoEnd, nullptr, nullptr, nullptr};
    PatchSetKeepRunning(1);
    LARGE_INTEGER t0 = Now();
    RunPatch(container.data(), container.size(), folder.c_str(), &host, nullptr);
    LARGE_INTEGER t1 = Now();
    *outcome = PatchOutcome();
    return Seconds(t0, t1);
}

// N whole-file records of 16 to 47 bytes, 256 files to a folder.
bool Records(unsigned n, const std::string& base, double* seconds) {
    const testing_support::ScratchDir scratch("scale-records", base);
    const std::string folder = scratch.str() + "\\";
    Rng rng(n);
    testing_support::ContainerBuilder c{uint16_t(n)};
    std::vector<std::string> names;
    std::vector<Bytes> contents;
    for (unsigned i = 0; i < n; i++) {
        char name[32];
        std::snprintf(name, sizeof name, "r%03u\\%05u.dat", i / 256, i);
        Bytes content = rng.Fill(16 + rng.Below(32));
        c.Whole(name, content);
        names.push_back(name);
        contents.push_back(std::move(content));
    }
    int outcome;
    *seconds = Run(c.bytes(), folder, &outcome);
    bool ok = outcome == PATCH_FINISHED && g_tally.ok == n;
    unsigned wrong = 0;
    for (unsigned i = 0; i < n; i++) {
        Bytes b;
        if (!ReadFileBytes(folder + names[i], &b) || b != contents[i])
            wrong++;
    }
    if (wrong || !ok)
        std::printf("records %u: outcome %d, %u ok, %u files wrong\n", n, outcome, g_tally.ok, wrong);
    return ok && wrong == 0;
}

// One delta record that rebuilds an mb-megabyte file: its 1 MB blocks in
// another order, with a short insert before each and a tail of old bytes.
bool File(unsigned mb, const std::string& base, double* seconds) {
    const testing_support::ScratchDir scratch("scale-file", base);
    const std::string folder = scratch.str() + "\\";
    const uint32_t block = 1u << 20;
    const uint64_t size = uint64_t(mb) * block;
    Rng rng(mb);
    Bytes old(size);
    for (size_t i = 0; i + 8 <= old.size(); i += 8) {
        uint64_t v = rng.Next();
        std::memcpy(&old[i], &v, 8);
    }
    if (!WriteFileBytes(folder + "big.dat", old)) {
        std::printf("cannot write the %u MB old file\n", mb);
        return false;
    }
    // the rebuilt file is hashed as the commands are written, never held
    Hash want;
    XorSumState sum;
    XorSumBegin(&sum);
    testing_support::ContainerBuilder commands = testing_support::ContainerBuilder::Bare();
    for (unsigned i = 0; i < mb; i++) {
        uint32_t from = uint32_t(((i * 7919u) % mb) * uint64_t(block));
        Bytes literal = rng.Fill(1 + rng.Below(16));
        commands.Insert(literal);
        want.Add(literal.data(), literal.size());
        XorSumAdd(&sum, literal.data(), literal.size());
        commands.Copy(block - 3, from + 3);
        want.Add(&old[from + 3], block - 3);
        XorSumAdd(&sum, &old[from + 3], block - 3);
    }
    testing_support::ContainerBuilder c(1);
    c.Delta(XorSum(old.data(), old.size()), XorSumEnd(&sum), "big.dat").Raw(commands.bytes()).End();
    Bytes().swap(old);

    int outcome;
    *seconds = Run(c.bytes(), folder, &outcome);
    bool ok = outcome == PATCH_FINISHED && g_tally.ok == 1;

    // read the result back in pieces and compare hashes
    Hash got;
    HANDLE h = CreateFileA((folder + "big.dat").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    static unsigned char buf[1 << 20];
    DWORD n = 0;
    while (h != INVALID_HANDLE_VALUE && ReadFile(h, buf, sizeof buf, &n, nullptr) && n)
        got.Add(buf, n);
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    bool same = got == want;
    if (!ok || !same)
        std::printf("file %u MB: outcome %d, ok %u, %llu of %llu bytes, %s\n", mb, outcome, g_tally.ok,
                    (unsigned long long)got.length, (unsigned long long)want.length,
                    same ? "same bytes" : "different bytes");
    return ok && same;
}

std::string Base(int argc, char** argv, int at) {
    if (argc > at)
        return argv[at];
    char cwd[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, cwd);
    return cwd;
}

}  // namespace
}  // namespace reliability

int main(int argc, char** argv) {
    using namespace reliability;
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc >= 3 && std::strcmp(argv[1], "records") == 0) {
        unsigned n = unsigned(std::strtoul(argv[2], nullptr, 10));
        double s = 0;
        bool ok = n <= CONTAINER_MAX_RECORDS && Records(n, Base(argc, argv, 3), &s);
        std::printf("%u records: %s, %.2f s, %.1f us per record\n", n, ok ? "all correct" : "FAILED", s,
                    1e6 * s / (n ? n : 1));
        return ok ? 0 : 1;
    }
    if (argc >= 3 && std::strcmp(argv[1], "file") == 0) {
        unsigned mb = unsigned(std::strtoul(argv[2], nullptr, 10));
        double s = 0;
        bool ok = mb > 0 && File(mb, Base(argc, argv, 3), &s);
        std::printf("%u MB file: %s, %.2f s, %.1f ms per MB\n", mb, ok ? "rebuilt correctly" : "FAILED", s,
                    1e3 * s / (mb ? mb : 1));
        return ok ? 0 : 1;
    }
    if (argc >= 2 && std::strcmp(argv[1], "bench") == 0) {
        unsigned maxMb = argc >= 3 ? unsigned(std::strtoul(argv[2], nullptr, 10)) : 256;
        std::string base = Base(argc, argv, 99);
        bool ok = true;
        std::printf("%-10s %10s %12s\n", "records", "seconds", "us/record");
        for (unsigned n : {1024u, 4096u, 16384u, 65535u}) {
            double s = 0;
            ok = Records(n, base, &s) && ok;
            std::printf("%-10u %10.2f %12.1f\n", n, s, 1e6 * s / n);
        }
        std::printf("%-10s %10s %12s\n", "MB", "seconds", "ms/MB");
        for (unsigned mb = 4; mb <= maxMb; mb *= 4) {
            double s = 0;
            ok = File(mb, base, &s) && ok;
            std::printf("%-10u %10.2f %12.1f\n", mb, s, 1e3 * s / mb);
        }
        return ok ? 0 : 1;
    }
    std::printf("usage: rel_scale records N [FOLDER] | file MB [FOLDER] | bench [MAXMB]\n");
    return 2;
}
