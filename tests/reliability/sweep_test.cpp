// Bad containers against the engine on real files: a container cut at every
// byte, and thousands of containers with one byte or one length field bent.
// Whatever the bytes say, the run ends with one notification, nothing
// outside the target folder changes, no temporary file stays, and every
// file in the folder is complete: as it was, as the patch makes it, or
// exactly what a (bent) record describes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include "patchset.h"
#include "run_host.h"
#include "tests/support/memory_output.h"

namespace reliability {
namespace {

Tree Expected(const std::map<std::string, Bytes>& files) {
    Tree t;
    for (const auto& [name, bytes] : files) {
        t[name] = bytes;
        for (size_t at = name.find('\\'); at != std::string::npos; at = name.find('\\', at + 1))
            t[name.substr(0, at + 1)] = Text("<dir>");
    }
    return t;
}

// The folder as it should be when the first k records have been applied.
std::map<std::string, Bytes> AfterRecords(const PatchSet& set, size_t k) {
    std::map<std::string, Bytes> files = set.before;
    for (size_t i = 0; i < k; i++)
        files[set.recordNames[i]] = set.after.at(set.recordNames[i]);
    return files;
}

// A cut anywhere is found before the first write: nothing changes.
TEST(Truncated, EveryCutWritesNothing) {
    const PatchSet set = SmallSet();
    Sandbox box("cut");
    const Tree outside = box.Outside();
    std::printf("cutting a %zu-byte container of %zu records at every byte\n", set.container.size(),
                set.recordEnds.size());
    for (size_t cut = 0; cut <= set.container.size(); cut++) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        box.Reset(set.before);
        Bytes part(set.container.bytes().begin(), set.container.bytes().begin() + cut);
        RunRecord run = RunContainer(part, box.target);

        const bool whole = cut == set.container.size();
        ASSERT_EQ(run.notifications, 1);
        ASSERT_EQ(run.outcome, whole ? PATCH_FINISHED : PATCH_DATAERROR);
        ASSERT_EQ(run.tally.ok, whole ? set.recordEnds.size() : 0u);
        ASSERT_EQ(box.Target(), Expected(AfterRecords(set, whole ? set.recordEnds.size() : 0)));
        ASSERT_EQ(box.Outside(), outside);
    }
}

// --- bent containers ---

std::string NameKey(const std::string& name) {
    std::string key;
    std::string part;
    auto flush = [&] {
        while (!part.empty() && (part.back() == '.' || part.back() == ' '))
            part.pop_back();
        key += part;
        part.clear();
    };
    for (char c : name) {
        if (c == '/' || c == '\\') {
            flush();
            key += '\\';
        } else {
            part += (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c;
        }
    }
    flush();
    return key;
}

// Contents kept as strings in the sets below: GCC 12 warns falsely about
// ordering vectors of bytes.
std::string Key(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

// Every content each name could hold after a run of container over the
// folder before: a model of the engine that follows each record with every
// content its target might have by then.
std::map<std::string, std::set<std::string>> PossibleContents(const PatchSet& set, const Bytes& container) {
    std::map<std::string, std::set<std::string>> can;
    for (const auto& [name, bytes] : set.before)
        can[NameKey(name)].insert(Key(bytes));
    PatchCursor cur;
    CursorInit(&cur, container.data(), container.size());
    unsigned count;
    if (ReadContainerHeader(&cur, &count) != PR_OK)
        return can;
    for (unsigned r = 0; r < count; r++) {
        PatchRecordHead head;
        if (ReadRecordHead(&cur, &head) != PR_OK)
            break;
        std::string key = NameKey(std::string(head.name, head.nameLen));
        if (BodyIsWholeFile(&cur)) {
            const unsigned char* content;
            uint32_t length;
            if (ReadWholeFile(&cur, &content, &length) != PR_OK)
                break;
            can[key].insert(std::string(content, content + length));
            continue;
        }
        const PatchCursor stream = cur;
        if (SkipCommands(&cur) != PR_OK)
            break;
        std::set<std::string> made;
        for (const std::string& text : can[key]) {
            const Bytes old(text.begin(), text.end());
            if (XorSum(old.data(), old.size()) != head.oldSum)
                continue;
            Bytes out;
            PatchCursor c = stream;
            if (testing_support::RunInMemory(old, &c, &out) == PR_OK &&
                XorSum(out.data(), out.size()) == head.newSum)
                made.insert(Key(out));
        }
        can[key].insert(made.begin(), made.end());
    }
    return can;
}

uint64_t SeedFromEnv(const char* name, uint64_t fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::strtoull(v, nullptr, 0) : fallback;
}

// What a bent container may leave: nothing outside changed, no temporary
// file, every file of the folder before still there, every file complete.
void CheckBentRun(const PatchSet& set, const Bytes& bent, const Sandbox& box, const Tree& outside,
                  const RunRecord& run) {
    ASSERT_EQ(run.notifications, 1);
    ASSERT_NE(run.outcome, PATCH_CANCELLED);
    ASSERT_EQ(box.Outside(), outside);
    Tree now = box.Target();
    ASSERT_EQ(TempFiles(now), std::vector<std::string>{});
    for (const auto& [name, bytes] : set.before)
        ASSERT_TRUE(now.count(name)) << name << " is missing";
    auto can = PossibleContents(set, bent);
    for (const auto& [path, bytes] : now) {
        if (bytes == Text("<dir>"))
            continue;
        auto it = can.find(NameKey(path));
        bool known = it != can.end() && it->second.count(Key(bytes));
        if (!known) {
            // a name the file system spells otherwise: any described content
            for (const auto& [key, contents] : can)
                known = known || contents.count(Key(bytes));
        }
        ASSERT_TRUE(known) << path << " holds " << bytes.size() << " bytes that no record describes";
    }
}

TEST(Bent, RandomBytesAndLengthFields) {
    const PatchSet set = SmallSet();
    const uint64_t seed = SeedFromEnv("KORVEX_SEED", 5150);
    const unsigned rounds = unsigned(SeedFromEnv("KORVEX_MUTATIONS", 3000));
    std::printf("bending the container %u times, seed %llu (KORVEX_SEED, KORVEX_MUTATIONS)\n", rounds,
                (unsigned long long)seed);
    Rng rng(seed);
    Sandbox box("bent");
    const Tree outside = box.Outside();
    static const uint32_t kEdges[] = {0, 1, 2, 3, 4, 7, 8, 9, 0x7F, 0x80, 0xFF, 0x100, 0xFFFF, 0x10000,
                                      0x7FFFFFFF, 0x80000000u, 0xFFFFFFF7u, 0xFFFFFFFEu, 0xFFFFFFFFu};
    unsigned finished = 0, dataErrors = 0;
    for (unsigned round = 0; round < rounds; round++) {
        Bytes bent = set.container.bytes();
        std::string what;
        switch (rng.Below(4)) {
        case 0: {  // one byte anywhere
            size_t at = rng.Below(uint32_t(bent.size()));
            bent[at] = uint8_t(bent[at] ^ (1 + rng.Below(255)));
            what = "byte " + std::to_string(at);
            break;
        }
        case 1: {  // a command byte or tag
            size_t at = set.commandBytes[rng.Below(uint32_t(set.commandBytes.size()))];
            bent[at] = uint8_t(rng.Below(6));
            what = "command byte " + std::to_string(at);
            break;
        }
        case 2: {  // a length or offset, to an edge value
            size_t at = set.lengthFields[rng.Below(uint32_t(set.lengthFields.size()))];
            PutU32(&bent[at], kEdges[rng.Below(sizeof kEdges / sizeof kEdges[0])]);
            what = "field " + std::to_string(at);
            break;
        }
        default: {  // a length or offset, a little off, or the count
            size_t at = set.lengthFields[rng.Below(uint32_t(set.lengthFields.size()))];
            if (rng.Below(8) == 0) {
                PutU16(&bent[0], uint16_t(GetU16(&bent[0]) + rng.Below(5) - 2));
                what = "count";
            } else {
                PutU32(&bent[at], GetU32(&bent[at]) + rng.Below(9) - 4);
                what = "field+-4 " + std::to_string(at);
            }
        }
        }
        SCOPED_TRACE("round " + std::to_string(round) + ": " + what);
        box.Reset(set.before);
        RunRecord run = RunContainer(bent, box.target);
        CheckBentRun(set, bent, box, outside, run);
        if (HasFatalFailure())
            return;
        finished += run.outcome == PATCH_FINISHED;
        dataErrors += run.outcome == PATCH_DATAERROR;
    }
    std::printf("%u runs: %u finished, %u data errors; no file lost, partial or outside\n", rounds,
                finished, dataErrors);
}

}  // namespace
}  // namespace reliability
