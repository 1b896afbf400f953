// The cheapest command stream is a shortest path over the positions of the
// new file. A copy costs the same whatever its length, and every prefix of
// a match is a match, so from position i a copy can reach any position up
// to i + longest[i] for 9 bytes; a literal run from i to j costs 5 + j - i.
//
// cost[j], the least cost of building the first j bytes, never decreases
// with j (shortening the last command of a stream for j + 1 bytes gives one
// for j bytes that is no dearer). So the cheapest copy ending at j starts
// at the first i whose match reaches j, and the cheapest literal run ending
// at j starts where cost[i] - i is least; both are found in one forward
// pass, which makes the parse linear once the longest matches are known.
#include "encoder.h"

#include <algorithm>
#include <stdexcept>

#include "core/format.h"
#include "matcher.h"

namespace mkpatch {
namespace {

constexpr uint64_t kCopyCost = CMD_COPY_SIZE;
constexpr uint64_t kInsertCost = CMD_INSERT_HEAD_SIZE;

struct Appender {
    std::vector<uint8_t>* out;
    std::span<const uint8_t> old;
};

int AppendBytes(void* ctx, const unsigned char* bytes, size_t n) {
    auto* a = static_cast<Appender*>(ctx);
    a->out->insert(a->out->end(), bytes, bytes + n);
    return 1;
}

int AppendCopy(void* ctx, uint32_t offset, uint32_t length) {
    auto* a = static_cast<Appender*>(ctx);
    auto from = a->old.subspan(offset, length);  // range checked by RunCommands
    a->out->insert(a->out->end(), from.begin(), from.end());
    return 1;
}

// Walks the cost table back from the end and returns the commands of one
// cheapest stream in output order.
std::vector<DeltaCommand> TraceBack(const std::vector<uint64_t>& cost, const LongestMatches& lm) {
    std::vector<DeltaCommand> commands;
    uint32_t j = static_cast<uint32_t>(cost.size() - 1);
    while (j > 0) {
        // first i whose match reaches j; i + length[i] never decreases
        uint32_t lo = 0, hi = j;
        while (lo < hi) {
            uint32_t mid = lo + (hi - lo) / 2;
            if (uint64_t{mid} + lm.length[mid] >= j)
                hi = mid;
            else
                lo = mid + 1;
        }
        if (lo < j && cost[lo] + kCopyCost == cost[j]) {
            commands.push_back({true, lm.offset[lo], j - lo});
            j = lo;
            continue;
        }
        uint32_t i = j;
        do {
            if (i == 0)
                throw std::logic_error("delta parse: no command ends here");
            i--;
        } while (cost[i] + kInsertCost + (j - i) != cost[j]);
        commands.push_back({false, i, j - i});
        j = i;
    }
    std::reverse(commands.begin(), commands.end());
    return commands;
}

}  // namespace

// Where the matches are found, the suffix sort takes most of a file's
// time; the parse after it the rest. The matcher reports each of its
// passes, so the bar moves inside the sort too.
constexpr uint32_t kMatchesShare = kProgressWhole * 4 / 5;
constexpr uint32_t kProgressStep = 1u << 20;  // new bytes between reports in the parse

std::vector<DeltaCommand> PlanDelta(std::span<const uint8_t> oldBytes,
                                    std::span<const uint8_t> newBytes,
                                    const EncodeProgress& onProgress) {
    if (newBytes.empty())
        return {};
    auto report = [&](uint32_t done) {
        if (onProgress)
            onProgress(done);
    };
    report(0);
    uint32_t steps = 0;
    LongestMatches lm = FindLongestMatches(oldBytes, newBytes, [&] {
        steps = std::min(steps + 1, kMatchSteps);
        report(kMatchesShare * steps / kMatchSteps);
    });
    const uint32_t m = static_cast<uint32_t>(newBytes.size());
    report(kMatchesShare);

    std::vector<uint64_t> cost(size_t{m} + 1);
    cost[0] = 0;
    int64_t leastRunStart = 0;  // least cost[i] - i over i < j
    uint32_t reach = 0;         // first i whose match may still reach j
    for (uint32_t j = 1; j <= m; j++) {
        while (reach < j && uint64_t{reach} + lm.length[reach] < j)
            reach++;
        uint64_t best = static_cast<uint64_t>(leastRunStart + int64_t{kInsertCost} + j);
        if (reach < j)
            best = std::min(best, cost[reach] + kCopyCost);
        cost[j] = best;
        leastRunStart = std::min(leastRunStart, static_cast<int64_t>(best) - int64_t{j});
        if (j % kProgressStep == 0)
            report(kMatchesShare +
                   static_cast<uint32_t>(uint64_t{kProgressWhole - kMatchesShare} * j / m));
    }
    std::vector<DeltaCommand> commands = TraceBack(cost, lm);
    report(kProgressWhole);
    return commands;
}

uint64_t StreamSize(std::span<const DeltaCommand> commands) {
    uint64_t size = CMD_END_SIZE;
    for (const DeltaCommand& c : commands)
        size += c.copy ? kCopyCost : kInsertCost + c.length;
    return size;
}

std::vector<uint8_t> WriteStream(std::span<const DeltaCommand> commands,
                                 std::span<const uint8_t> newBytes) {
    std::vector<uint8_t> out;
    out.reserve(StreamSize(commands));
    unsigned char head[CMD_COPY_SIZE];
    for (const DeltaCommand& c : commands) {
        if (c.copy) {
            size_t n = PutCopyCommand(head, c.length, c.from);
            out.insert(out.end(), head, head + n);
        } else {
            size_t n = PutInsertHead(head, c.length);
            out.insert(out.end(), head, head + n);
            auto lit = newBytes.subspan(c.from, c.length);
            out.insert(out.end(), lit.begin(), lit.end());
        }
    }
    out.push_back(CMD_END);
    return out;
}

std::vector<uint8_t> EncodeDelta(std::span<const uint8_t> oldBytes,
                                 std::span<const uint8_t> newBytes,
                                 const EncodeProgress& onProgress) {
    std::vector<DeltaCommand> commands = PlanDelta(oldBytes, newBytes, onProgress);
    return WriteStream(commands, newBytes);
}

std::vector<uint8_t> RunDeltaInMemory(std::span<const uint8_t> oldBytes,
                                std::span<const uint8_t> stream, int* result) {
    std::vector<uint8_t> out;
    Appender appender{&out, oldBytes};
    PatchOutput po{AppendBytes, AppendCopy, &appender, oldBytes.size()};
    PatchCursor cur;
    CursorInit(&cur, stream.data(), stream.size());
    int r = RunCommands(&cur, &po);
    if (r == PR_OK && CursorLeft(&cur) != 0)
        r = PR_BADDATA;  // one stream is exactly one record's body
    if (r != PR_OK)
        out.clear();
    if (result)
        *result = r;
    return out;
}

}  // namespace mkpatch
