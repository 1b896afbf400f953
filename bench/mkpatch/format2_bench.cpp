// Format 2's container size for one set of file pairs (one package) with
// each feature and coder parameter changed on its own, so that the gain of
// each can be read off side by side. Each planner variant plans the pairs
// once into stored streams (one block, as mkpatch writes them); each coder
// variant codes those streams again with its own parameters.
//
//   mkpatch_format2_bench OLD NEW [OLD NEW ...]
// prints one line per variant: its name and the container's bytes.
#include <cstdio>
#include <fstream>
#include <map>
#include <tuple>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/format2.h"
#include "tools/mkpatch/lib/format2_writer.h"

namespace {

using Bytes = std::vector<uint8_t>;
using mkpatch::StreamCoding;

Bytes ReadAll(const char* path) {
    std::ifstream f(path, std::ios::binary);
    if (!f)
        throw std::runtime_error(std::string(path) + ": cannot open");
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// The planned streams of one container with stored streams, and the bytes
// besides them (header, table, heads, CRC).
struct Planned {
    Bytes streams[F2_STREAMS];
    uint64_t rest = 0;
    // coded sizes by stream, contexts and method, as variants share most
    mutable std::map<std::tuple<unsigned, unsigned, unsigned, unsigned, bool>, uint64_t> coded;
};

Planned Plan(const std::vector<Bytes>& files, const mkpatch::DiffPlanOptions& plan) {
    mkpatch::Format2Options o;
    o.plan = plan;
    o.compress = false;
    o.blockBytes = UINT64_MAX;  // one block, whatever the size, to compare like with like
    mkpatch::Format2Writer w(o);
    for (size_t i = 0; i + 1 < files.size(); i += 2)
        w.AddDelta(std::to_string(i), files[i], files[i + 1]);
    Bytes c = w.Finish();
    Planned p;
    F2BlockHead b;
    if (c.size() == F2_HEADER_SIZE || F2ReadBlockHead(c.data() + F2_HEADER_SIZE, c.size() - F2_HEADER_SIZE, &b))
        throw std::runtime_error("no block written");
    const uint8_t* block = c.data() + F2_HEADER_SIZE;
    for (unsigned i = 0; i < F2_STREAMS; i++)
        p.streams[i].assign(block + b.streamOffset[i], block + b.streamOffset[i] + b.streams[i].packed);
    p.rest = c.size() - b.streams[0].packed - b.streams[1].packed - b.streams[2].packed;
    return p;
}

// The container's size with every stream coded as the writer codes it.
uint64_t Coded(const Planned& p, const StreamCoding coding[F2_STREAMS], bool compress = true) {
    auto& seen = p.coded;
    uint64_t unpacked[F2_STREAMS];
    uint32_t dict[F2_STREAMS];
    for (unsigned i = 0; i < F2_STREAMS; i++)
        unpacked[i] = p.streams[i].size();
    mkpatch::ChooseDictionaries(unpacked, dict);
    uint64_t size = p.rest;
    for (unsigned i = 0; i < F2_STREAMS; i++) {
        auto key = std::make_tuple(i, coding[i].lc, coding[i].lp, coding[i].pb, compress);
        auto at = seen.find(key);
        if (at == seen.end())
            at = seen.emplace(key, mkpatch::CodeStream(p.streams[i], coding[i], dict[i], compress).packed.size()).first;
        size += at->second;
    }
    return size;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc % 2 == 0) {
        std::fprintf(stderr, "usage: mkpatch_format2_bench OLD NEW [OLD NEW ...]\n");
        return 2;
    }
    std::vector<Bytes> files;
    for (int i = 1; i < argc; i++)
        files.push_back(ReadAll(argv[i]));
    const StreamCoding* base = mkpatch::kStreamCoding;
    auto with = [&](unsigned stream, StreamCoding c) {
        std::vector<StreamCoding> v(base, base + F2_STREAMS);
        v[stream] = c;
        return v;
    };
    mkpatch::DiffPlanOptions plan;
    Planned p = Plan(files, plan);
    std::printf("format 2: %llu\n", (unsigned long long)Coded(p, base));
    std::printf("stored streams: %llu\n", (unsigned long long)Coded(p, base, false));
    struct CoderVariant {
        const char* name;
        std::vector<StreamCoding> coding;
    } coders[] = {
        {"control lc3 lp0 pb2", with(F2_CONTROL, {3, 0, 2})},
        {"control lc0 lp0 pb2", with(F2_CONTROL, {0, 0, 2})},
        {"difference lc3 lp0 pb2", with(F2_DIFF, {3, 0, 2})},
        {"difference lc0 lp2 pb2", with(F2_DIFF, {0, 2, 2})},
        {"literal lc0 lp0 pb0", with(F2_LITERAL, {0, 0, 0})},
        {"literal lc3 lp0 pb2", with(F2_LITERAL, {3, 0, 2})},
        {"literal lc2 lp2 pb2", with(F2_LITERAL, {2, 2, 2})},
    };
    for (const CoderVariant& v : coders)
        std::printf("%s: %llu\n", v.name, (unsigned long long)Coded(p, v.coding.data()));
    struct PlanVariant {
        const char* name;
        mkpatch::DiffPlanOptions plan;
    } plans[] = {
        {"exact copies only", {plan.switchGain, false, plan.exactRun}},
        {"exact runs from 32 bytes", {plan.switchGain, true, 32}},
        {"exact runs from 8 bytes", {plan.switchGain, true, 8}},
        {"exact runs from 1024 bytes", {plan.switchGain, true, 1024}},
        {"switch gain 4", {4, true, plan.exactRun}},
        {"switch gain 16", {16, true, plan.exactRun}},
        {"no rejoin (matches on the current diagonal never start a copy)", {plan.switchGain, true, plan.exactRun, 0}},
        {"rejoin from 12 bytes", {plan.switchGain, true, plan.exactRun, 12}},
    };
    for (const PlanVariant& v : plans) {
        Planned q = Plan(files, v.plan);
        std::printf("%s: %llu\n", v.name, (unsigned long long)Coded(q, base));
    }
    return 0;
}
