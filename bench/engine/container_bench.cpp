// Memory of a format-2 run against the container's size.
//
// Writes, for each size, a file holding a 4 KB stand-in for the applier and
// a format-2 container of one whole file of that many MB (a stored stream
// of pseudo-random bytes), written and checksummed a piece at a time, so
// that the benchmark itself never holds it. Runs it from the open file as
// the applier does (RunPatchContainer) and prints the time and the
// process's peak working set and private bytes after each run: figures
// that stay level while the container grows show that nothing of it is
// held. The peaks only rise, so the sizes run from small to large.
//
//   container_bench [MB...]     (default 16 64 256)
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "engine/patch.h"
#include "core/format2.h"
#include "support/win_folder.h"

using namespace testing_support;

namespace {

const size_t kPiece = 1 << 20;

// Writes stub + container for one whole file of mb MB to path; its
// content is the same for a seed, so the new file's CRC-32 is known.
bool WriteContainer(const std::string& path, uint64_t mb) {
    const uint64_t n = mb << 20;
    std::string name = "BIG.DAT";
    F2Record r{F2_KIND_WHOLE, name.c_str(), uint32_t(name.size()), n, 0, 0, 0};
    std::vector<unsigned char> piece(kPiece);
    std::mt19937 rng(1);
    for (uint64_t at = 0; at < n; at += kPiece) {  // the CRC first: the table holds it
        for (auto& b : piece) b = (unsigned char)rng();
        r.newCrc = Crc32Update(r.newCrc, piece.data(), kPiece);
    }
    unsigned char entry[F2_ENTRY_MAX], head[F2_BLOCK_HEAD_SIZE], header[F2_HEADER_SIZE], crc[4];
    F2BlockHead b{};
    b.count = 1;
    uint32_t tableLength = uint32_t(PutF2Record(entry, &r));
    b.streams[F2_LITERAL] = {F2_STORED, 0, 0, n, n};
    b.streams[F2_TABLE] = {F2_STORED, 0, 0, tableLength, tableLength};
    PutF2BlockHead(head, &b);
    F2Header h{F2_REVISION, 0, 1, 0, F2_HEADER_SIZE + F2_BLOCK_HEAD_SIZE + tableLength + n + 4};
    PutF2Header(header, &h);
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    std::vector<unsigned char> stub(4096, 'M');
    uint32_t blockCrc = Crc32Update(0, head, sizeof head);
    bool ok = std::fwrite(stub.data(), 1, stub.size(), f) == stub.size() &&
              std::fwrite(header, 1, sizeof header, f) == sizeof header &&
              std::fwrite(head, 1, sizeof head, f) == sizeof head;
    rng.seed(1);
    for (uint64_t at = 0; ok && at < n; at += kPiece) {
        for (auto& x : piece) x = (unsigned char)rng();
        blockCrc = Crc32Update(blockCrc, piece.data(), kPiece);
        ok = std::fwrite(piece.data(), 1, kPiece, f) == kPiece;
    }
    blockCrc = Crc32Update(blockCrc, entry, tableLength);
    ok = ok && std::fwrite(entry, 1, tableLength, f) == tableLength;
    PutU32(crc, blockCrc);
    ok = ok && std::fwrite(crc, 1, 4, f) == 4;
    return std::fclose(f) == 0 && ok;
}

void NoEnd(void*, int) {}

}  // namespace

int main(int argc, char** argv) {
    std::vector<uint64_t> sizes;
    for (int i = 1; i < argc; i++)
        sizes.push_back(std::strtoull(argv[i], nullptr, 10));
    if (sizes.empty())
        sizes = {16, 64, 256};
    std::printf("%10s %8s %8s %14s %14s\n", "container", "seconds", "MB/s", "peak working", "peak private");
    for (uint64_t mb : sizes) {
        ScratchFolder f("containerbench");
        const std::string exe = f.root() + "P.EXE";
        if (!WriteContainer(exe, mb)) {
            std::printf("cannot write %s\n", exe.c_str());
            return 1;
        }
        HANDLE file = CreateFileA(exe.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        LARGE_INTEGER size;
        GetFileSizeEx(file, &size);
        PatchContainer c{nullptr, file, 4096, uint64_t(size.QuadPart) - 4096};
        PatchHost host{nullptr, nullptr, NoEnd, nullptr, nullptr, nullptr};
        LARGE_INTEGER t0, t1, freq;
        QueryPerformanceFrequency(&freq);
        QueryPerformanceCounter(&t0);
        PatchSetKeepRunning(1);
        RunPatchContainer(&c, f.dir().c_str(), &host, nullptr);
        QueryPerformanceCounter(&t1);
        CloseHandle(file);
        PROCESS_MEMORY_COUNTERS m{};
        GetProcessMemoryInfo(GetCurrentProcess(), &m, sizeof m);
        double s = double(t1.QuadPart - t0.QuadPart) / double(freq.QuadPart);
        std::printf("%7llu MB %8.2f %8.0f %11.1f MB %11.1f MB  %s\n", (unsigned long long)mb, s, double(mb) / s,
                    m.PeakWorkingSetSize / 1048576.0, m.PeakPagefileUsage / 1048576.0,
                    PatchOutcome() == PATCH_FINISHED && g_tally.ok == 1 ? "applied" : "NOT APPLIED");
    }
    return 0;
}
