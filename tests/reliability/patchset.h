// Patch sets for the fault tests: the files of a folder before and after a
// patch, and the container that turns one into the other, with the offsets
// of its records and of every length field so that tests can cut and bend
// it where it hurts most. Contents come from a seeded generator, so a set is
// the same in every run.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "core/format.h"
#include "../support/container_builder.h"
#include "../support/format2_builder.h"
#include "sandbox.h"

namespace reliability {

// xorshift64*: small, fixed, and the same on every platform.
struct Rng {
    uint64_t state;
    explicit Rng(uint64_t seed) : state(seed ? seed : 0x9E3779B97F4A7C15ull) {}
    uint64_t Next() {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return state * 0x2545F4914F6CDD1Dull;
    }
    uint32_t Below(uint32_t n) { return n ? uint32_t(Next() % n) : 0; }
    Bytes Fill(size_t n) {
        Bytes b(n);
        for (auto& x : b)
            x = uint8_t(Next() >> 56);
        return b;
    }
};

// One step of a rebuild: copy old[from, from + length) or insert literal.
// A bumped copy has its middle byte raised by one: in format 2 a copy with
// differences, all of them 0 but that one; in the bare form a copy, an
// insert of that byte and a copy.
struct Edit {
    bool copy;
    uint32_t from;
    uint32_t length;
    Bytes literal;
    bool bumped = false;
};

struct PatchSet {
    std::map<std::string, Bytes> before;  // the folder before the patch
    std::map<std::string, Bytes> after;   // and after a complete run
    testing_support::ContainerBuilder container{0};
    testing_support::Format2Builder form2;  // the same records in format 2, one block
    std::vector<size_t> recordEnds;       // offset just past each record
    std::vector<std::string> recordNames;
    std::vector<size_t> lengthFields;     // offsets of 32-bit lengths and offsets
    std::vector<size_t> commandBytes;     // offsets of command bytes and tags

    void EndRecord(const std::string& name) {
        recordEnds.push_back(container.size());
        recordNames.push_back(name);
        container.Count(uint16_t(recordEnds.size()));
    }

    // A record that creates name with content.
    void Whole(const std::string& name, const Bytes& content) {
        container.Whole(name, content);
        form2.Whole(name, content);
        const size_t tag = container.size() - content.size() - WHOLEFILE_HEAD_SIZE;
        commandBytes.push_back(tag);
        lengthFields.push_back(tag + 1);
        after[name] = content;
        EndRecord(name);
    }

    // A record that rebuilds name from old by edits.
    void Delta(const std::string& name, const Bytes& old, const std::vector<Edit>& edits) {
        Bytes out;
        for (const Edit& e : edits) {
            if (e.copy)
                out.insert(out.end(), old.begin() + e.from, old.begin() + e.from + e.length);
            else
                out.insert(out.end(), e.literal.begin(), e.literal.end());
            if (e.bumped)
                out[out.size() - e.length + e.length / 2]++;
        }
        container.Delta(testing_support::Sum(old), testing_support::Sum(out), name);
        form2.Delta(name, old, out);
        int64_t pos = 0;
        for (const Edit& e : edits) {
            Bytes diffs;
            if (e.bumped) {
                diffs.assign(e.length, 0);
                diffs[e.length / 2] = 1;
            }
            form2.Cmd(e.copy ? int64_t(e.from) - pos : 0, e.length, diffs, e.literal);
            pos = e.copy ? int64_t(e.from) + e.length : pos;
        }
        auto copy = [&](uint32_t length, uint32_t from) {
            // the command byte, then its length and offset
            const size_t at = container.size();
            commandBytes.push_back(at);
            lengthFields.push_back(at + 1);
            lengthFields.push_back(at + 5);
            container.Copy(length, from);
        };
        for (const Edit& e : edits) {
            const uint32_t half = e.length / 2;
            if (e.bumped) {
                copy(half, e.from);
                commandBytes.push_back(container.size());
                lengthFields.push_back(container.size() + 1);
                container.Insert({uint8_t(old[e.from + half] + 1)});
                copy(e.length - half - 1, e.from + half + 1);
            } else if (e.copy) {
                copy(e.length, e.from);
            } else {
                commandBytes.push_back(container.size());
                lengthFields.push_back(container.size() + 1);
                container.Insert(e.literal);
            }
        }
        commandBytes.push_back(container.size());
        container.End();
        before[name] = old;
        after[name] = out;
        EndRecord(name);
    }

    // The format-2 container of the same records.
    Bytes Form2() const {
        testing_support::Format2Builder f = form2;
        return f.Block().Build();
    }

    // Files of the folder that no record names stay as they are.
    void Bystander(const std::string& name, const Bytes& bytes) {
        before[name] = bytes;
        after[name] = bytes;
    }
};

inline Edit CopyOf(uint32_t from, uint32_t length) {
    return Edit{true, from, length, {}};
}
inline Edit InsertOf(const Bytes& literal) {
    return Edit{false, 0, 0, literal};
}

// Random edits that turn old into a new file of about newSize bytes:
// copies of old ranges (in any order, some overlapping) and short inserts.
inline std::vector<Edit> RandomEdits(Rng& rng, const Bytes& old, size_t newSize) {
    std::vector<Edit> edits;
    size_t made = 0;
    while (made < newSize) {
        if (!old.empty() && rng.Below(4) != 0) {
            uint32_t len = 1 + rng.Below(uint32_t(std::min<size_t>(old.size(), newSize / 8 + 1)));
            uint32_t from = rng.Below(uint32_t(old.size() - len + 1));
            edits.push_back(CopyOf(from, len));
            made += len;
        } else {
            size_t len = 1 + rng.Below(64);
            edits.push_back(InsertOf(rng.Fill(len)));
            made += len;
        }
    }
    return edits;
}

// Five records of every kind, about 400 bytes: small enough to cut at
// every byte.
inline PatchSet SmallSet() {
    Rng rng(20261207);
    PatchSet s;
    s.Bystander("readme.txt", Text("left alone\r\n"));
    s.Whole("new1.txt", rng.Fill(40));
    Bytes a = rng.Fill(300);
    s.Delta("a.dat", a, {CopyOf(100, 100), InsertOf(rng.Fill(20)), CopyOf(0, 50), InsertOf(rng.Fill(7))});
    s.Whole("sub\\new2.bin", rng.Fill(30));
    Bytes b = rng.Fill(64);
    s.Delta("b.dat", b, {InsertOf(rng.Fill(10)), CopyOf(0, 64), CopyOf(60, 4)});
    s.Delta("c.dat", rng.Fill(17), {});  // rebuilt as an empty file
    return s;
}

// Many delta records and whole files, for runs that are killed part way.
inline PatchSet LargeSet(uint64_t seed, int deltas, int wholes, size_t fileSize) {
    Rng rng(seed);
    PatchSet s;
    for (int i = 0; i < deltas + wholes; i++) {
        // built by appending: GCC 12 warns falsely about chains of string +
        std::string folder = "d";
        folder.append(std::to_string(i % 4)).append("\\");
        std::string name = i % 3 == 2 ? folder : std::string();
        name.append("f").append(std::to_string(i)).append(".bin");
        if (i < deltas) {
            Bytes old = rng.Fill(fileSize);
            if (i % 3 == 2)
                s.Bystander(folder + "keep.txt", Text("stays\r\n"));
            std::vector<Edit> edits = RandomEdits(rng, old, fileSize + rng.Below(uint32_t(fileSize / 4)));
            // every third copy long enough, with differences in format 2
            for (size_t k = 1; k < edits.size(); k += 3)
                edits[k].bumped = edits[k].copy && edits[k].length >= 64;
            s.Delta(name, old, edits);
        } else {
            s.Whole(name, rng.Fill(fileSize / 2 + rng.Below(uint32_t(fileSize))));
        }
    }
    return s;
}

}  // namespace reliability
