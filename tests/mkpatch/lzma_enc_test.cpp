// The LZMA encoder's streams, decoded by an outside oracle (liblzma through
// Python's lzma module): every case is written to a folder, one run of the
// oracle decodes them all, and each must give its bytes back exactly.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>

#include "generate.h"
#include "tools/mkpatch/lib/lzma_enc.h"

namespace {

using gen::Bytes;
using mkpatch::LzmaEffort;
using mkpatch::LzmaOptions;
namespace fs = std::filesystem;

constexpr unsigned kSeed = 20261209;

// Words drawn with a skewed choice, as text repeats its common words.
Bytes Text(std::mt19937& rng, size_t n) {
    static const char* words[] = {"the", "patch", "of", "file", "and", "a", "new", "version", "to",
                                  "old", "folder", "copy", "in", "is", "record", "applier", "with"};
    Bytes b;
    while (b.size() < n) {
        unsigned w = std::min<unsigned>(rng() % 17, rng() % 17);
        for (const char* c = words[w]; *c; c++)
            b.push_back(static_cast<uint8_t>(*c));
        b.push_back(rng() % 11 == 0 ? '\n' : ' ');
    }
    b.resize(n);
    return b;
}

// Mostly zeros with small values here and there: the byte-wise difference
// of two versions of a program.
Bytes SparseDiff(std::mt19937& rng, size_t n) {
    Bytes b(n, 0);
    for (size_t i = 0; i < n; i += 1 + rng() % 64)
        b[i] = static_cast<uint8_t>(rng() % 5 ? 1 + rng() % 4 : rng());
    return b;
}

// `block` random bytes, then copies of them with the odd byte changed.
Bytes Repeats(std::mt19937& rng, size_t block, size_t n, bool mutate) {
    Bytes b = gen::RandomBytes(rng, block);
    while (b.size() < n) {
        b.push_back(b[b.size() - block]);
        if (mutate && rng() % 700 == 0)
            b.back() ^= 0x5A;
    }
    return b;
}

// A sample of every kind at once, for the property corners.
Bytes Mixed(std::mt19937& rng) {
    Bytes b = Text(rng, 6000);
    for (const Bytes& part : {SparseDiff(rng, 6000), gen::RandomBytes(rng, 3000), Repeats(rng, 300, 5000, true)})
        b.insert(b.end(), part.begin(), part.end());
    return b;
}

struct Case {
    std::string name;
    Bytes data;
    LzmaOptions options;
    size_t maxSize;  // a stream larger than this wastes what the data offers
};

LzmaOptions With(uint32_t dict, LzmaEffort effort, bool endMarker, unsigned lc = 3, unsigned lp = 0,
                 unsigned pb = 2) {
    LzmaOptions o;
    o.dictSize = dict;
    o.effort = effort;
    o.endMarker = endMarker;
    o.lc = lc;
    o.lp = lp;
    o.pb = pb;
    return o;
}

std::vector<Case> Cases() {
    std::mt19937 rng(kSeed);
    struct Sample {
        const char* name;
        Bytes data;
        uint32_t dict;
        size_t maxSize;
    };
    std::vector<Sample> samples = {
        {"empty", {}, 1u << 16, 16},
        {"one", {0x42}, 1u << 16, 16},
        {"five", {'a', 'b', 'a', 'b', 'a'}, 1u << 16, 16},  // too short for the 4-byte hash
        {"zeros", Bytes(300000, 0), 1u << 20, 300},
        {"random", gen::RandomBytes(rng, 60000), 1u << 20, 61000},
        {"text", Text(rng, 100000), 1u << 20, 35000},
        {"sparse", SparseDiff(rng, 100000), 1u << 20, 35000},
        {"repeats", Repeats(rng, 1000, 80000, true), 1u << 16, 4000},
        // Data repeating at the dictionary's size exactly, and at one more:
        // the first must be found, the second must not be used.
        {"period-dict", Repeats(rng, 4096, 6 * 4096, false), 4096, 4096 + 400},
        {"period-dict+1", Repeats(rng, 4097, 6 * 4097, false), 4096, 6 * 4097 + 800},
    };
    std::vector<Case> cases;
    for (const Sample& s : samples) {
        for (LzmaEffort effort : {LzmaEffort::Fast, LzmaEffort::Best}) {
            for (bool end : {false, true}) {
                std::string name = std::string(s.name) + (effort == LzmaEffort::Fast ? "-fast" : "-best") +
                                   (end ? "-end" : "");
                cases.push_back({name, s.data, With(s.dict, effort, end), s.maxSize});
            }
        }
    }
    // Every literal and position context the format allows with lc + lp <= 4.
    Bytes mixed = Mixed(rng);
    // Searches cut short (a short niceLength, a shallow tree walk) leave the
    // match finder's tree out of order beyond what it compared.
    for (unsigned nice : {8u, 32u}) {
        for (unsigned depth : {1u, 4u}) {
            for (LzmaEffort effort : {LzmaEffort::Fast, LzmaEffort::Best}) {
                LzmaOptions o = With(1u << 15, effort, depth == 1);
                o.niceLength = nice;
                o.searchDepth = depth;
                std::string name = "nice" + std::to_string(nice) + "-depth" + std::to_string(depth) +
                                   (effort == LzmaEffort::Fast ? "-fast" : "-best");
                cases.push_back({name, mixed, o, mixed.size() / 2});
            }
        }
    }
    unsigned k = 0;
    for (unsigned lc = 0; lc <= 4; lc++) {
        for (unsigned lp = 0; lc + lp <= 4; lp++) {
            for (unsigned pb = 0; pb <= 4; pb++, k++) {
                LzmaEffort effort = k % 2 ? LzmaEffort::Fast : LzmaEffort::Best;
                std::string name = "lc" + std::to_string(lc) + "lp" + std::to_string(lp) + "pb" + std::to_string(pb);
                cases.push_back({name, mixed, With(1u << 15, effort, k % 3 == 0, lc, lp, pb), mixed.size() / 2});
            }
        }
    }
    return cases;
}

void WriteFile(const fs::path& p, const Bytes& b) {
    std::ofstream f(p, std::ios::binary);
    f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

// The oracle's verdict per case name, or an empty map when it cannot run.
std::map<std::string, std::string> RunOracle(const fs::path& dir) {
    std::string cmd = "python3 \"" LZMA_ORACLE "\" \"" + dir.string() + "\"";
    std::map<std::string, std::string> verdicts;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p)
        return verdicts;
    char line[512];
    while (fgets(line, sizeof line, p)) {
        std::istringstream in(line);
        std::string word, name;
        in >> word >> name;
        if (!name.empty() && name.back() == ':')
            name.pop_back();
        verdicts[name] = line;
    }
    pclose(p);
    return verdicts;
}

// With KORVEX_LZMA_CASES set, the cases are only written there, for a host
// that runs the oracle itself (wine cannot start the host's python3).
TEST(LzmaEncode, LiblzmaDecodesEveryCase) {
    std::printf("seed %u\n", kSeed);
    const char* keep = std::getenv("KORVEX_LZMA_CASES");
    fs::path dir = keep ? fs::path(keep)
                        : fs::temp_directory_path() / ("korvex-lzma-" + std::to_string(std::random_device{}()));
    fs::create_directories(dir);
    std::ofstream list(dir / "cases.txt");
    std::vector<Case> cases = Cases();
    for (const Case& c : cases) {
        Bytes stream = mkpatch::LzmaEncode(c.data, c.options);
        ASSERT_GE(stream.size(), 5u) << c.name;
        EXPECT_EQ(stream[0], 0) << c.name;
        EXPECT_LE(stream.size(), c.maxSize) << c.name;
        WriteFile(dir / (c.name + ".lzma"), stream);
        WriteFile(dir / (c.name + ".bin"), c.data);
        const LzmaOptions& o = c.options;
        list << c.name << ' ' << o.lc << ' ' << o.lp << ' ' << o.pb << ' ' << o.dictSize << ' ' << o.endMarker
             << '\n';
    }
    list.close();
    if (keep)
        return;
    auto verdicts = RunOracle(dir);
    fs::remove_all(dir);
    if (verdicts.empty())
        GTEST_SKIP() << "python3 with its lzma module, the oracle, did not run here";
    for (const Case& c : cases) {
        auto it = verdicts.find(c.name);
        ASSERT_NE(it, verdicts.end()) << c.name << ": the oracle said nothing";
        EXPECT_EQ(it->second.rfind("ok ", 0), 0u) << it->second;
    }
}

// Read from a source through its sliding buffer and written to a sink (and
// from the data at hand to a sink), the encoder makes the stream it makes
// of the data at hand, byte for byte:
// the short cases above, and inputs long enough for the buffer (the
// window, the lookahead and a MiB) to slide, with matches reaching across
// each move.
TEST(LzmaEncode, FromASourceTheSameStream) {
    std::mt19937 rng(kSeed + 1);
    std::vector<Case> cases;
    for (const Case& c : Cases()) {
        if (c.data.size() < 5 || c.name.rfind("period", 0) == 0)
            cases.push_back(c);
    }
    // (the Best parse's deep searches make slowly changing repeats slow
    // under the sanitizers: unchanged ones end each search at once)
    Bytes repeats = Repeats(rng, 50000, 9u << 18, false);
    Bytes text = Text(rng, 5u << 18);
    cases.push_back({"repeats-1m", repeats, With(1u << 20, LzmaEffort::Best, true), 0});
    cases.push_back({"text-64k", text, With(1u << 16, LzmaEffort::Fast, false), 0});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        size_t at = 0;
        mkpatch::LzmaSource source{c.data.size(), [&](uint8_t* to, size_t n) {
                                       ASSERT_LE(n, c.data.size() - at);
                                       std::copy_n(c.data.begin() + static_cast<std::ptrdiff_t>(at), n, to);
                                       at += n;
                                   }};
        Bytes out;
        uint64_t n = mkpatch::LzmaEncode(source, c.options,
                                         [&](std::span<const uint8_t> b) { out.insert(out.end(), b.begin(), b.end()); });
        EXPECT_EQ(n, out.size());
        EXPECT_EQ(at, c.data.size());
        EXPECT_TRUE(out == mkpatch::LzmaEncode(c.data, c.options));
        Bytes sunk;  // the data at hand, to a sink
        mkpatch::LzmaEncode(c.data, c.options, [&](std::span<const uint8_t> b) { sunk.insert(sunk.end(), b.begin(), b.end()); });
        EXPECT_TRUE(sunk == out);
    }
}

TEST(LzmaEncode, RefusesPropertiesTheApplierCannotDecode) {
    EXPECT_EQ(mkpatch::LzmaPropsByte(LzmaOptions{}), 0x5Du);
    Bytes data(100, 7);
    for (LzmaOptions o : {With(4096, LzmaEffort::Best, false, 4, 1), With(4096, LzmaEffort::Best, false, 0, 0, 5),
                          With(4095, LzmaEffort::Best, false), With((1u << 26) + 1, LzmaEffort::Best, false)})
        EXPECT_THROW(mkpatch::LzmaEncode(data, o), std::invalid_argument);
}

}  // namespace
