#include "format2_reader.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>

#include "core/checksum.h"
#include "core/names.h"
#include "files.h"
#include "names.h"
#include "pairing.h"
#include "text.h"

namespace mkpatch {
namespace {

constexpr size_t kScratch = 1 << 16;
constexpr size_t kDecodePiece = 1 << 20;

uint32_t Crc(std::span<const uint8_t> b) {
    return Crc32Update(0, b.data(), b.size());
}

uint32_t Sum(std::span<const uint8_t> b) {
    return XorSum(b.data(), b.size());
}

// Decodes one stream of a block into memory with the core's decoder, in
// pieces, so that a head claiming more bytes than the stream holds fails
// before it has cost that much memory; cap is the most this block's
// records can use of the stream.
bool DecodeStream(const uint8_t* packed, const F2StreamHead& head, uint64_t cap, std::vector<uint8_t>& out) {
    if (head.unpacked > cap)
        return false;
    LzmaDecoder decoder{};
    std::vector<uint8_t> dict;
    if (head.method == F2_LZMA)
        dict.resize(static_cast<size_t>(std::min<uint64_t>(head.dictSize, head.unpacked)));
    LzmaInput in{packed, packed + head.packed, nullptr, nullptr};
    F2Source src;
    if (F2SourceBegin(&src, &head, &decoder, dict.data(), static_cast<uint32_t>(dict.size()), &in) != PR_OK)
        return false;
    out.clear();
    while (out.size() < head.unpacked) {
        size_t piece = static_cast<size_t>(std::min<uint64_t>(kDecodePiece, head.unpacked - out.size()));
        size_t at = out.size();
        out.resize(at + piece);
        if (!F2SourceRead(&src, out.data() + at, piece))
            return false;
    }
    return true;
}

// Counts what a record's commands do, from a copy of the control stream
// (F2RunRecord then judges whether they are sound).
void CountCommands(F2Source control, F2RecordInfo& info) {
    uint64_t made = 0;
    const uint64_t length = info.head.newLength;
    F2Command c;
    while (made < length && F2ReadCommand(&control, &c) == PR_OK) {
        if (c.copy > length - made || c.extra > length - made - c.copy)
            break;
        info.commands++;
        info.copied += c.copy;
        info.diffed += c.diff ? c.copy : 0;
        info.literal += c.extra;
        made += c.copy + c.extra;
    }
}

struct MemSink {
    const std::vector<uint8_t>* old;
    std::vector<uint8_t> out;
};

int SinkWrite(void* ctx, const unsigned char* bytes, size_t n) {
    auto* m = static_cast<MemSink*>(ctx);
    m->out.insert(m->out.end(), bytes, bytes + n);
    return 1;
}

int SinkCopy(void* ctx, uint64_t offset, uint64_t n, unsigned char* diffs) {
    auto* m = static_cast<MemSink*>(ctx);
    if (!m->old || offset > m->old->size() || n > m->old->size() - offset)
        return 0;
    const uint8_t* from = m->old->data() + offset;
    if (!diffs) {
        m->out.insert(m->out.end(), from, from + n);
        return 1;
    }
    for (uint64_t i = 0; i < n; i++)
        m->out.push_back(static_cast<uint8_t>(from[i] + diffs[i]));
    return 1;
}

std::string BlockName(size_t k) {
    return "block " + std::to_string(k + 1);
}

// Reads one block whose head and CRC-32 were checked: decodes its streams
// and carries out its records. Returns a problem, or "" when it is sound.
std::string ReadBlock(const uint8_t* block, const F2BlockHead& b, size_t index, const F2OldFor& oldFor,
                      const F2Done& done, F2Summary& s) {
    // every literal and difference byte makes one byte of a new file, and
    // no sound control stream takes more than a full command per byte
    PatchCursor table;
    CursorInit(&table, block + F2_BLOCK_HEAD_SIZE, b.tableLength);
    std::vector<F2RecordInfo> infos;
    uint64_t output = 0;
    for (uint32_t k = 0; k < b.count; k++) {
        F2RecordInfo info;
        if (F2ReadRecord(&table, &info.head) != PR_OK)
            return BlockName(index) + ": its record table is damaged";
        info.name.assign(info.head.name, info.head.nameLen);
        info.block = static_cast<uint32_t>(index);
        output += std::min<uint64_t>(info.head.newLength, UINT64_MAX / 4 - output);
        infos.push_back(std::move(info));
    }
    if (CursorLeft(&table))
        return BlockName(index) + ": bytes left over after its record table";
    const uint64_t caps[F2_STREAMS] = {3 * F2_VARINT_MAX * (output + b.count), output, output};
    std::vector<uint8_t> decoded[F2_STREAMS];
    F2Source src[F2_STREAMS];
    static const char* const kStream[F2_STREAMS] = {"control", "difference", "literal"};
    for (unsigned i = 0; i < F2_STREAMS; i++) {
        if (!DecodeStream(block + b.streamOffset[i], b.streams[i], caps[i], decoded[i]))
            return BlockName(index) + ": its " + kStream[i] + " stream does not decode";
        F2StreamHead stored{F2_STORED, 0, 0, decoded[i].size(), decoded[i].size()};
        LzmaInput in{decoded[i].data(), decoded[i].data() + decoded[i].size(), nullptr, nullptr};
        F2SourceBegin(&src[i], &stored, nullptr, nullptr, 0, &in);
    }
    std::vector<unsigned char> scratch(kScratch);
    for (F2RecordInfo& info : infos) {
        info.head.name = info.name.data();
        CountCommands(src[F2_CONTROL], info);
        const std::vector<uint8_t>* old = oldFor ? oldFor(info) : nullptr;
        bool whole = info.head.kind == F2_KIND_WHOLE;
        // a delta record is rebuilt only from an old file of its length;
        // otherwise its bytes are read past
        bool rebuild = whole || (old && old->size() == info.head.oldLength);
        MemSink m{whole ? nullptr : old, {}};
        F2Sink sink{SinkWrite, SinkCopy, &m};
        int result = F2RunRecord(src, &info.head, rebuild ? &sink : nullptr, scratch.data(), scratch.size());
        s.records.push_back(info);
        s.records.back().head.name = nullptr;
        if (done)
            done(info, rebuild && result == PR_OK ? &m.out : nullptr, result);
        if (result != PR_OK)
            return "record " + std::to_string(s.records.size()) +
                   ": its commands do not decode, or reach outside the old or the new file";
        if (whole && !done && (Sum(m.out) != info.head.newSum || Crc(m.out) != info.head.newCrc))
            return "record " + std::to_string(s.records.size()) +
                   ": the whole file's content does not have the XOR sum and CRC-32 of its table entry";
    }
    for (unsigned i = 0; i < F2_STREAMS; i++)
        if (src[i].left)
            return BlockName(index) + ": " + std::to_string(src[i].left) + " bytes of its " + kStream[i] +
                   " stream are left over";
    return "";
}

}  // namespace

F2Summary ReadFormat2(std::span<const uint8_t> container, bool signedPatch, const F2OldFor& oldFor,
                      const F2Done& done) {
    F2Summary s;
    const uint8_t* c = container.data();
    if (F2ReadHeader(c, container.size(), &s.header) != PR_OK) {
        s.problem = "the format-2 header has a revision, flags, reserved field or decoder memory that this "
                    "reader does not take";
        return s;
    }
    const bool open = s.header.flags & F2_FLAG_OPEN;
    if (!open && s.header.length > container.size()) {
        s.problem = "the header gives a container of " + std::to_string(s.header.length) + " bytes; " +
                    std::to_string(container.size()) + " are there";
        return s;
    }
    const uint64_t end = open ? container.size() : s.header.length;
    for (uint64_t at = F2_HEADER_SIZE; at < end;) {
        size_t k = s.blocks.size();
        F2BlockHead b;
        bool sound = F2ReadBlockHead(c + at, end - at, &b) == PR_OK &&
                     Crc32Update(0, c + at, static_cast<size_t>(b.size - F2_BLOCK_CRC_SIZE)) ==
                         GetU32(c + at + b.size - F2_BLOCK_CRC_SIZE);
        // an open container's last block may be the torn tail of a run
        // that stopped: it and what follows are passed over
        if (!sound && open)
            break;
        if (!sound) {
            s.problem = BlockName(k) + " (at offset " + std::to_string(at) +
                        "): damaged (its head or CRC-32 does not hold)";
            return s;
        }
        if (F2BlockMemory(&b) > s.header.memory) {
            s.problem = BlockName(k) + ": its dictionaries take " + std::to_string(F2BlockMemory(&b)) +
                        " bytes, more than the header's decoder memory " + std::to_string(s.header.memory);
            return s;
        }
        s.blocks.push_back(b);
        s.problem = ReadBlock(c + at, b, k, oldFor, done, s);
        if (!s.problem.empty())
            return s;
        at += b.size;
    }
    if (open)
        return s;
    if (s.records.size() != s.header.count) {
        s.problem = "the header counts " + std::to_string(s.header.count) + " records; the blocks hold " +
                    std::to_string(s.records.size());
        return s;
    }
    // signing pads with up to seven zero bytes before its table
    std::span<const uint8_t> after = container.subspan(static_cast<size_t>(s.header.length));
    bool padding = signedPatch && after.size() <= 7 && std::all_of(after.begin(), after.end(), [](uint8_t x) {
                       return x == 0;
                   });
    if (!after.empty() && !padding)
        s.problem = std::to_string(after.size()) + " bytes follow the last block";
    return s;
}

namespace {

std::string StreamText(const F2StreamHead& h) {
    if (h.method == F2_STORED)
        return "stored " + std::to_string(h.unpacked);
    return "lzma lc" + std::to_string(h.props % 9) + " lp" + std::to_string(h.props / 9 % 5) + " pb" +
           std::to_string(h.props / 45) + " dict " + std::to_string(h.dictSize) + " " +
           std::to_string(h.unpacked) + " -> " + std::to_string(h.packed);
}

void ListJson2(const PatchImage& img, const F2Summary& s, const CodePage& cp, const std::optional<BrandInfo>& brand,
               std::ostream& out) {
    out << "{\"format\": " << kJsonFormat << ", \"container_format\": 2, \"container_offset\": "
        << img.containerStart << ", \"container_size\": " << img.Container().size()
        << ", \"signed\": " << (img.Signed() ? "true" : "false") << ", \"open\": "
        << ((s.header.flags & F2_FLAG_OPEN) ? "true" : "false") << ", \"count\": " << s.header.count
        << ", \"decoder_memory\": " << s.header.memory << ", \"records\": [";
    for (size_t i = 0; i < s.records.size(); i++) {
        const F2RecordInfo& r = s.records[i];
        out << (i ? ",\n  " : "\n  ") << "{\"name\": " << JsonString(DisplayName(r.name, cp))
            << ", \"type\": \"" << (r.head.kind == F2_KIND_WHOLE ? "whole" : "delta")
            << "\", \"block\": " << r.block << ", \"new_length\": " << r.head.newLength << ", \"new_sum\": \""
            << Hex(r.head.newSum) << "\", \"new_crc\": \"" << Hex(r.head.newCrc)
            << "\", \"old_length\": " << r.head.oldLength << ", \"old_sum\": \"" << Hex(r.head.oldSum)
            << "\", \"old_crc\": \"" << Hex(r.head.oldCrc) << "\", \"commands\": " << r.commands
            << ", \"copied\": " << r.copied << ", \"diffed\": " << r.diffed << ", \"literal\": "
            << (r.head.kind == F2_KIND_WHOLE ? r.head.newLength : r.literal) << "}";
    }
    out << "],\n \"blocks\": [";
    for (size_t k = 0; k < s.blocks.size(); k++) {
        const F2BlockHead& b = s.blocks[k];
        out << (k ? ",\n  " : "\n  ") << "{\"records\": " << b.count << ", \"table_length\": " << b.tableLength
            << ", \"streams\": [";
        for (unsigned i = 0; i < F2_STREAMS; i++) {
            const F2StreamHead& h = b.streams[i];
            out << (i ? ", " : "") << "{\"method\": \"" << (h.method == F2_LZMA ? "lzma" : "stored")
                << "\", \"props\": " << h.props << ", \"dict\": " << h.dictSize << ", \"packed\": " << h.packed
                << ", \"unpacked\": " << h.unpacked << "}";
        }
        out << "]}";
    }
    out << "],\n \"branding\": " << (brand ? BrandingJson(*brand) : "null");
    out << ",\n \"problem\": " << (s.problem.empty() ? "null" : JsonString(s.problem)) << "}\n";
}

}  // namespace

int ListFormat2(const PatchImage& img, const fs::path& patch, unsigned codePage, bool json,
                const std::optional<BrandInfo>& brand, std::ostream& out, std::ostream& err) {
    CodePage cp(codePage);
    F2Summary s = ReadFormat2(img.Container(), img.Signed());
    if (json) {
        ListJson2(img, s, cp, brand, out);
    } else {
        for (const F2RecordInfo& r : s.records) {
            bool whole = r.head.kind == F2_KIND_WHOLE;
            out << (whole ? "whole" : "delta") << " old=" << Hex(r.head.oldSum) << " new=" << Hex(r.head.newSum)
                << " commands=" << r.commands << " copied=" << r.copied << " diffed=" << r.diffed
                << " literal=" << (whole ? r.head.newLength : r.literal) << " size=" << r.head.newLength
                << "  " << DisplayName(r.name, cp) << "\n";
        }
        out << Count(s.records.size(), "record", "records") << ", " << Count(s.blocks.size(), "block", "blocks")
            << ", container " << img.Container().size()
            << " bytes at offset " << img.containerStart;
        if (img.Signed())
            out << ", signed (certificate table at offset " << img.containerEnd << ")";
        out << "\nformat: 2" << ((s.header.flags & F2_FLAG_OPEN) ? " (open)" : "") << ", decoder memory "
            << s.header.memory << " bytes\n";
        for (size_t k = 0; k < s.blocks.size(); k++) {
            const F2BlockHead& b = s.blocks[k];
            out << BlockName(k) << ": " << Count(b.count, "record", "records") << ", table " << b.tableLength
                << " bytes; control " << StreamText(b.streams[F2_CONTROL]) << "; difference "
                << StreamText(b.streams[F2_DIFF]) << "; literal " << StreamText(b.streams[F2_LITERAL])
                << "\n";
        }
        if (brand)
            out << BrandingLines(*brand);
    }
    if (!s.problem.empty()) {
        err << "mkpatch: " << Utf8(patch) << ": " << s.problem << "\n";
        return kExitFailed;
    }
    return kExitOk;
}

namespace {

// One verify run of a format-2 patch: the folders, the record now being
// rebuilt, and every problem found so far.
struct Verify2 {
    const CodePage& cp;
    const Pairing& pairing;
    std::vector<std::string> problems;
    std::set<const TreeFile*> covered;
    // the record in hand
    std::string shown;
    bool known = false;
    std::vector<uint8_t> expected;
    std::optional<std::vector<uint8_t>> old;

    void Fail(const std::string& why) { problems.push_back(shown + ": " + why); }

    // Finds the record's NEW and OLD files; OLD's bytes for the reader.
    const std::vector<uint8_t>* Prepare(const F2RecordInfo& r) {
        shown = DisplayName(r.name, cp);
        known = false;
        old.reset();
        if (!CheckRecordName(r.name.data(), r.name.size(), cp.LeadBytes())) {
            Fail("the applier refuses this name");
            return nullptr;
        }
        auto rel = HostRelativePath(r.name, cp);
        if (!rel) {
            Fail("the name is not valid in code page " + std::to_string(cp.Number()));
            return nullptr;
        }
        auto at = pairing.byFoldedName.find(FoldName(*rel));
        if (at == pairing.byFoldedName.end()) {
            Fail("not in NEW");
            return nullptr;
        }
        const FilePair& fp = pairing.pairs[at->second];
        if (!covered.insert(fp.newFile).second)
            Fail("a second record for the same file");
        known = true;
        expected = ReadFileBytes(fp.newFile->path);
        if (fp.oldFile)
            old = ReadFileBytes(fp.oldFile->path);
        return old ? &*old : nullptr;
    }

    // Checks what the record made against its table entry and NEW.
    void Check(const F2RecordInfo& r, const std::vector<uint8_t>* rebuilt, int result) {
        if (!known)
            return;
        const F2Record& h = r.head;
        if (h.kind == F2_KIND_WHOLE && old)
            Fail("a whole file for a name that OLD already has; the applier would ask before overwriting it");
        if (h.kind == F2_KIND_DELTA) {
            if (!old) {
                Fail("not in OLD, so the applier would find no file to rebuild");
                return;
            }
            if (old->size() != h.oldLength || Sum(*old) != h.oldSum || Crc(*old) != h.oldCrc)
                Fail("OLD's file has " + std::to_string(old->size()) + " bytes, XOR sum " + Hex(Sum(*old)) +
                     " and CRC-32 " + Hex(Crc(*old)) + "; the record expects " + std::to_string(h.oldLength) +
                     ", " + Hex(h.oldSum) + " and " + Hex(h.oldCrc));
        }
        if (result != PR_OK) {
            Fail("its commands do not decode, or reach outside the old or the new file");
            return;
        }
        if (!rebuilt)
            return;
        if (rebuilt->size() != h.newLength || Sum(*rebuilt) != h.newSum || Crc(*rebuilt) != h.newCrc)
            Fail("the rebuilt file has " + std::to_string(rebuilt->size()) + " bytes, XOR sum " +
                 Hex(Sum(*rebuilt)) + " and CRC-32 " + Hex(Crc(*rebuilt)) + "; the record expects " +
                 std::to_string(h.newLength) + ", " + Hex(h.newSum) + " and " + Hex(h.newCrc));
        if (*rebuilt != expected)
            Fail("the result differs from NEW (" + std::to_string(rebuilt->size()) + " bytes against " +
                 std::to_string(expected.size()) + ")");
    }
};

}  // namespace

int VerifyFormat2(const PatchImage& img, const fs::path& patch, const fs::path& oldDir, const fs::path& newDir,
                  const VerifyOptions& opts, std::ostream& out, std::ostream& err) {
    CodePage cp(opts.codePage);
    auto [oldTree, newTree] = ListTrees(oldDir, newDir, opts.excludes);
    Pairing pairing = PairTrees(oldTree, newTree, oldDir, newDir);
    Verify2 v{cp, pairing, pairing.errors, {}, {}, false, {}, {}};
    F2Summary s = ReadFormat2(
        img.Container(), img.Signed(), [&](const F2RecordInfo& r) { return v.Prepare(r); },
        [&](const F2RecordInfo& r, const std::vector<uint8_t>* rebuilt, int result) { v.Check(r, rebuilt, result); });
    if (!s.problem.empty())
        v.problems.push_back(Utf8(patch) + ": " + s.problem);
    if (s.header.flags & F2_FLAG_OPEN)
        v.problems.push_back(Utf8(patch) + ": an open container (a restore file still being written), not a patch");

    // a NEW file without a record must already be in OLD as it is
    for (const FilePair& fp : pairing.pairs) {
        if (v.covered.count(fp.newFile))
            continue;
        if (!fp.oldFile)
            v.problems.push_back(fp.newFile->rel + ": in NEW but neither in OLD nor in the patch");
        else if (ReadFileBytes(fp.oldFile->path) != ReadFileBytes(fp.newFile->path))
            v.problems.push_back(fp.newFile->rel + ": differs between OLD and NEW but the patch has no record for it");
    }
    std::vector<std::string> notes = LeftOutNotes(oldTree, newTree, pairing, oldDir, newDir);

    bool exact = v.problems.empty() && notes.empty();
    bool ok = v.problems.empty() && (exact || !opts.strict);
    if (opts.json) {
        auto list = [&](const std::vector<std::string>& items) {
            out << "[";
            for (size_t i = 0; i < items.size(); i++)
                out << (i ? ", " : "") << JsonString(items[i]);
            out << "]";
        };
        out << "{\"format\": " << kJsonFormat << ", \"container_format\": 2, \"records\": " << s.records.size()
            << ", \"ok\": " << (ok ? "true" : "false") << ", \"exact\": " << (exact ? "true" : "false")
            << ",\n \"problems\": ";
        list(v.problems);
        out << ",\n \"notes\": ";
        list(notes);
        out << "}\n";
        return ok ? kExitOk : kExitFailed;
    }
    for (const std::string& p : v.problems)
        err << "mkpatch: verify: " << p << "\n";
    if (!v.problems.empty()) {
        err << "mkpatch: verify: " << v.problems.size() << " problem" << (v.problems.size() == 1 ? "" : "s")
            << " in " << Utf8(patch) << "\n";
        return kExitFailed;
    }
    if (!opts.quiet || !ok)
        for (const std::string& note : notes)
            err << "mkpatch: verify: " << (opts.strict ? "" : "note: ") << note << "\n";
    if (!ok) {
        err << "mkpatch: verify: " << notes.size() << " note" << (notes.size() == 1 ? "" : "s") << " and --strict\n";
        return kExitFailed;
    }
    if (opts.quiet)
        return kExitOk;
    const char* checks = "format 2: lengths, XOR sums and CRC-32s hold for every record";
    if (!exact)
        out << "verify: " << Count(s.records.size(), "record turns", "records turn") << " every NEW file into place, but not OLD into NEW "
            << "exactly: " << notes.size() << " note" << (notes.size() == 1 ? "" : "s") << " above; " << checks
            << "\n";
    else
        out << "verify: " << Count(s.records.size(), "record turns", "records turn") << " OLD into NEW exactly; " << checks << "\n";
    return kExitOk;
}

}  // namespace mkpatch
