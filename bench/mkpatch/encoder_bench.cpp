// For each old/new file pair given on the command line: our suffix sort
// against libdivsufsort on the same text, our encoder's stream size
// against an optimum computed here by separate means, the encode time, and
// the size of the restore record's stream that the applier would write
// for the pair (the reverse of the encoded stream, checked by applying it
// to the new file).
//
// The separate optimum: longest matches from libdivsufsort's suffix array
// of old + new with no separator (a common prefix that runs past the end of
// old is cut there, so the scan goes outward until no farther old suffix
// can do better), then a two-state shortest path whose copy edges are kept
// in a heap. It shares nothing with the encoder but the cost model.
//
//   mkpatch_encoder_bench OLD NEW [OLD NEW ...]
// prints one line per pair and a total line.
#include <divsufsort.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <queue>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/reverse.h"
#include "tools/mkpatch/lib/encoder.h"
#include "tools/mkpatch/lib/suffix_array.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

Bytes ReadAll(const char* path) {
    std::ifstream f(path, std::ios::binary);
    if (!f)
        throw std::runtime_error(std::string(path) + ": cannot open");
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

double Seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

std::vector<uint32_t> IndependentLongest(const Bytes& old, const Bytes& neu) {
    const int64_t n = static_cast<int64_t>(old.size());
    const int64_t total = n + static_cast<int64_t>(neu.size());
    Bytes text(old);
    text.insert(text.end(), neu.begin(), neu.end());
    std::vector<saidx_t> sa(total), rank(total), lcp(total);
    if (divsufsort(text.data(), sa.data(), static_cast<saidx_t>(total)) != 0)
        throw std::runtime_error("divsufsort failed");
    for (int64_t k = 0; k < total; k++)
        rank[sa[k]] = static_cast<saidx_t>(k);
    for (int64_t i = 0, h = 0; i < total; i++) {  // Kasai: lcp[k] with k - 1
        if (rank[i] == 0) {
            h = 0;
            continue;
        }
        int64_t j = sa[rank[i] - 1];
        while (i + h < total && j + h < total && text[i + h] == text[j + h])
            h++;
        lcp[rank[i]] = static_cast<saidx_t>(h);
        if (h > 0)
            h--;
    }
    std::vector<uint32_t> longest(neu.size(), 0);
    for (int64_t p = n; p < total; p++) {
        int64_t k = rank[p];
        int64_t best = 0;
        int64_t run = total;
        for (int64_t u = k - 1; u >= 0 && run > best; u--) {  // upward
            run = std::min<int64_t>(run, lcp[u + 1]);
            if (sa[u] < n)
                best = std::max(best, std::min<int64_t>(run, n - sa[u]));
        }
        run = total;
        for (int64_t d = k + 1; d < total && run > best; d++) {  // downward
            run = std::min<int64_t>(run, lcp[d]);
            if (sa[d] < n)
                best = std::max(best, std::min<int64_t>(run, n - sa[d]));
        }
        longest[p - n] = static_cast<uint32_t>(std::min<int64_t>(best, total - p));
    }
    return longest;
}

// Least stream size: states "a command ends at j" and "a literal run is
// open at j"; copy edges from i cover (i, i + longest[i]] at one price,
// held in a heap until they run out.
uint64_t IndependentOptimum(const std::vector<uint32_t>& longest) {
    const size_t m = longest.size();
    const uint64_t inf = ~uint64_t{0} / 4;
    using Edge = std::pair<uint64_t, size_t>;  // cost, last position reached
    std::priority_queue<Edge, std::vector<Edge>, std::greater<Edge>> copies;
    uint64_t ended = 0;   // best cost with a command ending at j
    uint64_t open = inf;  // best cost with a literal run covering up to j
    for (size_t j = 1; j <= m; j++) {
        size_t i = j - 1;
        if (longest[i] > 0)
            copies.push({ended + 9, i + longest[i]});
        uint64_t lit = std::min(open + 1, ended + 5 + 1);
        while (!copies.empty() && copies.top().second < j)
            copies.pop();
        uint64_t copy = copies.empty() ? inf : copies.top().first;
        open = lit;
        ended = std::min(lit, copy);
    }
    return ended + 1;  // CMD_END
}

// The restore stream of a pair, as the applier makes it from the forward
// stream (with the applier's table size); empty when it does not give the
// old file back from the new one.
Bytes RestoreStream(const Bytes& old, const Bytes& neu, const Bytes& forward) {
    struct Out {
        const Bytes* old;
        Bytes bytes;
    } out{&old, {}};
    auto emit = [](void* ctx, unsigned op, uint32_t from, uint32_t length) {
        auto* o = static_cast<Out*>(ctx);
        unsigned char cmd[CMD_COPY_SIZE];
        if (op == CMD_COPY) {
            o->bytes.insert(o->bytes.end(), cmd, cmd + PutCopyCommand(cmd, length, from));
        } else {
            o->bytes.insert(o->bytes.end(), cmd, cmd + PutInsertHead(cmd, length));
            o->bytes.insert(o->bytes.end(), o->old->begin() + from, o->old->begin() + from + length);
        }
        return 1;
    };
    static std::vector<ReverseCopy> table(32768);
    PatchCursor cur;
    CursorInit(&cur, forward.data(), forward.size());
    ReverseSink sink{emit, &out};
    if (ReverseCommands(cur, static_cast<uint32_t>(old.size()), table.data(), table.size(), &sink) != PR_OK)
        return {};
    out.bytes.push_back(CMD_END);
    int r = -1;
    return mkpatch::RunDeltaInMemory(neu, out.bytes, &r) == old ? out.bytes : Bytes{};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || (argc - 1) % 2) {
        std::fprintf(stderr, "usage: %s OLD NEW [OLD NEW ...]\n", argv[0]);
        return 2;
    }
    double oursSa = 0, divSa = 0, encode = 0;
    uint64_t totalOld = 0, totalNew = 0, totalStream = 0, totalOptimum = 0, totalRestore = 0;
    int mismatches = 0;
    std::printf("%-60s %10s %10s %10s %10s %8s %8s %8s %10s\n", "pair (new file)", "old", "new",
                "stream", "optimum", "enc s", "SA s", "dss s", "restore");
    for (int a = 1; a + 1 < argc; a += 2) {
        Bytes old = ReadAll(argv[a]), neu = ReadAll(argv[a + 1]);

        // suffix sort of the new file alone, ours and libdivsufsort's
        auto t0 = Clock::now();
        std::vector<uint32_t> ours = mkpatch::SuffixArray(neu);
        auto t1 = Clock::now();
        std::vector<saidx_t> theirs(neu.size());
        if (!neu.empty())
            divsufsort(neu.data(), theirs.data(), static_cast<saidx_t>(neu.size()));
        auto t2 = Clock::now();
        bool sameSa = std::equal(ours.begin(), ours.end(), theirs.begin(),
                                 [](uint32_t x, saidx_t y) { return x == static_cast<uint32_t>(y); });
        ours = {};
        theirs = {};

        auto t3 = Clock::now();
        Bytes stream = mkpatch::EncodeDelta(old, neu);
        auto t4 = Clock::now();
        uint64_t optimum = IndependentOptimum(IndependentLongest(old, neu));
        int r = -1;
        bool roundTrip = mkpatch::RunDeltaInMemory(old, stream, &r) == neu;

        Bytes restore = RestoreStream(old, neu, stream);
        bool restored = !restore.empty();

        bool ok = sameSa && roundTrip && restored && stream.size() == optimum;
        mismatches += !ok;
        std::string name = argv[a + 1];
        if (name.size() > 60)
            name = "..." + name.substr(name.size() - 57);
        std::printf("%-60s %10zu %10zu %10zu %10llu %8.3f %8.3f %8.3f %10zu%s\n", name.c_str(),
                    old.size(), neu.size(), stream.size(), (unsigned long long)optimum,
                    Seconds(t3, t4), Seconds(t0, t1), Seconds(t1, t2), restore.size(),
                    ok ? "" : (!sameSa ? "  SA DIFFERS" : !roundTrip ? "  ROUND TRIP FAILS"
                                                        : !restored  ? "  RESTORE FAILS"
                                                                     : "  ABOVE OPTIMUM"));
        oursSa += Seconds(t0, t1);
        divSa += Seconds(t1, t2);
        encode += Seconds(t3, t4);
        totalOld += old.size();
        totalNew += neu.size();
        totalStream += stream.size();
        totalOptimum += optimum;
        totalRestore += restore.size();
    }
    std::printf("%-60s %10llu %10llu %10llu %10llu %8.3f %8.3f %8.3f %10llu\n", "TOTAL",
                (unsigned long long)totalOld, (unsigned long long)totalNew,
                (unsigned long long)totalStream, (unsigned long long)totalOptimum, encode, oursSa,
                divSa, (unsigned long long)totalRestore);
    std::printf("restore streams: %.1f%% of the old files' size\n",
                totalOld ? 100.0 * double(totalRestore) / double(totalOld) : 0.0);
    std::printf("pairs at the independent optimum: %d of %d; suffix sort ours/libdivsufsort: %.2fx\n",
                (argc - 1) / 2 - mismatches, (argc - 1) / 2, divSa > 0 ? oursSa / divSa : 0.0);
    return mismatches ? 1 : 0;
}
