#include "format2_reader.h"

#include <algorithm>
#include <exception>
#include <memory>
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

constexpr size_t kScratch = size_t{1} << 20;
constexpr size_t kInput = size_t{1} << 16;  // packed bytes read at a time, per stream

// A block stream's packed bytes, read from the container as the decoder
// asks for them, and its dictionary. An Error met while reading is kept
// (the core's code cannot carry it) and thrown when the core returns.
class StreamReader {
public:
    StreamReader(const ContainerView& c, std::exception_ptr& failure) : c_(c), failure_(failure) {}

    // Starts src on stream i of the block at blockAt. PR_OK or PR_BADDATA.
    int Begin(uint64_t blockAt, const F2BlockHead& b, unsigned i, F2Source* src) {
        const F2StreamHead& head = b.streams[i];
        next_ = blockAt + b.streamOffset[i];
        end_ = next_ + head.packed;
        buf_.resize(static_cast<size_t>(std::min<uint64_t>(kInput, std::max<uint64_t>(head.packed, 1))));
        dict_.clear();
        if (head.method == F2_LZMA) {
            dict_.resize(static_cast<size_t>(std::min<uint64_t>(head.dictSize, head.unpacked)));
            lzma_ = std::make_unique<LzmaDecoder>();
        }
        LzmaInput in{nullptr, nullptr, Refill, this};
        return F2SourceBegin(src, &head, lzma_.get(), dict_.data(), static_cast<uint32_t>(dict_.size()), &in);
    }

private:
    static int Refill(LzmaInput* in) {
        auto* r = static_cast<StreamReader*>(in->ctx);
        if (r->next_ == r->end_ || r->failure_)
            return 0;
        size_t n = static_cast<size_t>(std::min<uint64_t>(r->buf_.size(), r->end_ - r->next_));
        try {
            r->c_.Read(r->next_, r->buf_.data(), n);
        } catch (...) {
            r->failure_ = std::current_exception();
            return 0;
        }
        r->next_ += n;
        in->pos = r->buf_.data();
        in->end = r->buf_.data() + n;
        return 1;
    }

    const ContainerView& c_;
    std::exception_ptr& failure_;
    uint64_t next_ = 0, end_ = 0;
    std::vector<uint8_t> buf_;
    std::vector<uint8_t> dict_;
    std::unique_ptr<LzmaDecoder> lzma_;
};

void ThrowIf(const std::exception_ptr& failure) {
    if (failure)
        std::rethrow_exception(failure);
}

// Counts what a delta record's commands do, reading them from the control
// stream as F2RunRecord will (which then judges whether they are sound).
void CountCommands(F2Source* control, F2RecordInfo& info) {
    uint64_t made = 0;
    const uint64_t length = info.head.newLength;
    F2Command c;
    while (made < length && F2ReadCommand(control, &c) == PR_OK) {
        if (c.copy > length - made || c.extra > length - made - c.copy)
            break;
        info.commands++;
        info.copied += c.copy;
        info.diffed += c.diff ? c.copy : 0;
        info.literal += c.extra;
        made += c.copy + c.extra;
    }
}

int MadeWrite(void* ctx, const unsigned char* bytes, size_t n) {
    static_cast<MadeBytes*>(ctx)->Add(bytes, n);
    return 1;
}

std::string BlockName(size_t k) {
    return "block " + std::to_string(k + 1);
}

// Reads one block whose head and CRC-32 were checked: reads its record
// table, then carries out its records, decoding its streams as they go.
// Returns a problem, or "" when it is sound.
std::string ReadBlock(const ContainerView& c, uint64_t blockAt, const F2BlockHead& b, size_t index,
                      const F2SinkFor& sinkFor, const F2Done& done, F2Summary& s) {
    static const char* const kStream[F2_STREAMS] = {"control", "difference", "literal", "table"};
    // no sound table takes more than the largest entry per record
    if (b.streams[F2_TABLE].unpacked > uint64_t{b.count} * F2_ENTRY_MAX)
        return BlockName(index) + ": bytes left over after its record table";
    std::exception_ptr failure;
    std::vector<F2RecordInfo> infos;
    // every literal and difference byte makes one byte of a new file, and
    // no sound control stream takes more than a full command per byte
    uint64_t output = 0;
    {
        StreamReader reader(c, failure);
        F2Source table;
        if (reader.Begin(blockAt, b, F2_TABLE, &table) != PR_OK) {
            ThrowIf(failure);
            return BlockName(index) + ": its table stream does not decode";
        }
        for (uint32_t k = 0; k < b.count; k++) {
            F2RecordInfo info;
            unsigned char entry[F2_ENTRY_MAX];
            int read = F2ReadEntry(&table, entry, &info.head);
            ThrowIf(failure);
            if (read != PR_OK)
                return BlockName(index) + ": its record table is damaged";
            info.name.assign(info.head.name, info.head.nameLen);
            info.head.name = nullptr;
            info.block = static_cast<uint32_t>(index);
            output += std::min<uint64_t>(info.head.newLength, UINT64_MAX / 4 - output);
            infos.push_back(std::move(info));
        }
        if (table.left)
            return BlockName(index) + ": bytes left over after its record table";
    }
    const uint64_t caps[F2_TABLE] = {3 * F2_VARINT_MAX * (output + b.count), output, output};
    for (unsigned i = 0; i < F2_TABLE; i++)
        if (b.streams[i].unpacked > caps[i])
            return BlockName(index) + ": its " + kStream[i] + " stream does not decode";
    {
        // the commands counted on a reading of the control stream of its own
        StreamReader reader(c, failure);
        F2Source control;
        if (reader.Begin(blockAt, b, F2_CONTROL, &control) != PR_OK)
            return BlockName(index) + ": its control stream does not decode";
        for (F2RecordInfo& info : infos)
            if (info.head.kind == F2_KIND_DELTA)
                CountCommands(&control, info);
        ThrowIf(failure);
    }
    std::unique_ptr<StreamReader> readers[F2_TABLE];
    F2Source src[F2_STREAMS]{};
    for (unsigned i = 0; i < F2_TABLE; i++) {
        readers[i] = std::make_unique<StreamReader>(c, failure);
        if (readers[i]->Begin(blockAt, b, i, &src[i]) != PR_OK) {
            ThrowIf(failure);
            return BlockName(index) + ": its " + kStream[i] + " stream does not decode";
        }
    }
    std::vector<unsigned char> scratch(kScratch);
    for (F2RecordInfo& info : infos) {
        info.head.name = info.name.data();
        bool whole = info.head.kind == F2_KIND_WHOLE;
        MadeBytes made;
        F2Sink own{MadeWrite, nullptr, &made};
        const F2Sink* sink = sinkFor ? sinkFor(info) : whole ? &own : nullptr;
        int result = F2RunRecord(src, &info.head, sink, scratch.data(), scratch.size());
        ThrowIf(failure);
        s.records.push_back(info);
        s.records.back().head.name = nullptr;
        if (done)
            done(info, result);
        if (result != PR_OK)
            return "record " + std::to_string(s.records.size()) +
                   ": its commands do not decode, or reach outside the old or the new file";
        if (whole && !sinkFor && made.Crc() != info.head.newCrc)
            return "record " + std::to_string(s.records.size()) +
                   ": the whole file's content does not have the CRC-32 of its table entry";
    }
    for (unsigned i = 0; i < F2_TABLE; i++)
        if (src[i].left)
            return BlockName(index) + ": " + std::to_string(src[i].left) + " bytes of its " + kStream[i] +
                   " stream are left over";
    return "";
}

// The CRC-32 of n container bytes from at, read a piece at a time.
uint32_t CrcOf(const ContainerView& c, uint64_t at, uint64_t n) {
    std::vector<uint8_t> piece(static_cast<size_t>(std::min<uint64_t>(n, kScratch)));
    uint32_t crc = 0;
    while (n) {
        size_t k = static_cast<size_t>(std::min<uint64_t>(n, piece.size()));
        c.Read(at, piece.data(), k);
        crc = Crc32Update(crc, piece.data(), k);
        at += k;
        n -= k;
    }
    return crc;
}

}  // namespace

bool IsFormat2(const ContainerView& container) {
    uint8_t head[F2_HEADER_SIZE];
    size_t n = static_cast<size_t>(std::min<uint64_t>(container.size, F2_HEADER_SIZE));
    container.Read(0, head, n);
    return ::IsFormat2(head, n);
}

F2Summary ReadFormat2(const ContainerView& c, bool signedPatch, const F2SinkFor& sinkFor, const F2Done& done) {
    F2Summary s;
    uint8_t header[F2_HEADER_SIZE];
    c.Read(0, header, F2_HEADER_SIZE);
    if (F2ReadHeader(header, F2_HEADER_SIZE, &s.header) != PR_OK) {
        s.problem = "the format-2 header has a revision, flags, reserved field or decoder memory that this "
                    "reader does not take";
        return s;
    }
    const bool open = s.header.flags & F2_FLAG_OPEN;
    if (!open && s.header.length > c.size) {
        s.problem = "the header gives a container of " + std::to_string(s.header.length) + " bytes; " +
                    std::to_string(c.size) + " are there";
        return s;
    }
    const uint64_t end = open ? c.size : s.header.length;
    for (uint64_t at = F2_HEADER_SIZE; at < end;) {
        size_t k = s.blocks.size();
        F2BlockHead b;
        uint8_t head[F2_BLOCK_HEAD_SIZE];
        c.Read(at, head, static_cast<size_t>(std::min<uint64_t>(F2_BLOCK_HEAD_SIZE, end - at)));
        bool sound = F2ReadBlockHead(head, end - at, &b) == PR_OK;
        if (sound) {
            uint8_t stored[F2_BLOCK_CRC_SIZE];
            c.Read(at + b.size - F2_BLOCK_CRC_SIZE, stored, F2_BLOCK_CRC_SIZE);
            sound = CrcOf(c, at, b.size - F2_BLOCK_CRC_SIZE) == GetU32(stored);
        }
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
        s.problem = ReadBlock(c, at, b, k, sinkFor, done, s);
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
    uint64_t after = c.size - s.header.length;
    bool padding = false;
    if (signedPatch && after <= 7) {
        uint8_t pad[7];
        c.Read(s.header.length, pad, static_cast<size_t>(after));
        padding = std::all_of(pad, pad + after, [](uint8_t x) { return x == 0; });
    }
    if (after && !padding)
        s.problem = std::to_string(after) + " bytes follow the last block";
    return s;
}

F2Summary ReadFormat2(std::span<const uint8_t> container, bool signedPatch, const F2SinkFor& sinkFor,
                      const F2Done& done) {
    ByteSource bytes(container, "the container");
    return ReadFormat2(ContainerView{&bytes, 0, container.size()}, signedPatch, sinkFor, done);
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
        << img.containerStart << ", \"container_size\": " << img.ContainerSize()
        << ", \"signed\": " << (img.Signed() ? "true" : "false") << ", \"open\": "
        << ((s.header.flags & F2_FLAG_OPEN) ? "true" : "false") << ", \"count\": " << s.header.count
        << ", \"decoder_memory\": " << s.header.memory << ", \"records\": [";
    for (size_t i = 0; i < s.records.size(); i++) {
        const F2RecordInfo& r = s.records[i];
        out << (i ? ",\n  " : "\n  ") << "{\"name\": " << JsonString(DisplayName(r.name, cp))
            << ", \"type\": \"" << (r.head.kind == F2_KIND_WHOLE ? "whole" : "delta")
            << "\", \"block\": " << r.block << ", \"new_length\": " << r.head.newLength << ", \"new_crc\": \""
            << Hex(r.head.newCrc) << "\", \"old_length\": " << r.head.oldLength << ", \"old_crc\": \""
            << Hex(r.head.oldCrc) << "\", \"commands\": " << r.commands
            << ", \"copied\": " << r.copied << ", \"diffed\": " << r.diffed << ", \"literal\": "
            << (r.head.kind == F2_KIND_WHOLE ? r.head.newLength : r.literal) << "}";
    }
    out << "],\n \"blocks\": [";
    for (size_t k = 0; k < s.blocks.size(); k++) {
        const F2BlockHead& b = s.blocks[k];
        out << (k ? ",\n  " : "\n  ") << "{\"records\": " << b.count << ", \"table_length\": " << b.streams[F2_TABLE].unpacked
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
            out << (whole ? "whole" : "delta") << " old_crc=" << Hex(r.head.oldCrc) << " new_crc=" << Hex(r.head.newCrc)
                << " commands=" << r.commands << " copied=" << r.copied << " diffed=" << r.diffed
                << " literal=" << (whole ? r.head.newLength : r.literal) << " size=" << r.head.newLength
                << "  " << DisplayName(r.name, cp) << "\n";
        }
        out << Count(s.records.size(), "record", "records") << ", " << Count(s.blocks.size(), "block", "blocks")
            << ", container " << img.ContainerSize()
            << " bytes at offset " << img.containerStart;
        if (img.Signed())
            out << ", signed (certificate table at offset " << img.containerEnd << ")";
        out << "\nformat: 2" << ((s.header.flags & F2_FLAG_OPEN) ? " (open)" : "") << ", decoder memory "
            << s.header.memory << " bytes\n";
        for (size_t k = 0; k < s.blocks.size(); k++) {
            const F2BlockHead& b = s.blocks[k];
            out << BlockName(k) << ": " << Count(b.count, "record", "records") << "; table " << StreamText(b.streams[F2_TABLE])
                << "; control " << StreamText(b.streams[F2_CONTROL]) << "; difference "
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
    std::optional<FileSums> old;       // OLD's file, when it has one
    std::unique_ptr<ByteSource> oldFile;  // read where the copies ask
    std::optional<MadeBytes> made;     // compared with NEW as it comes
    uint64_t newSize = 0;
    std::exception_ptr failure;        // an Error met inside the core's calls
    F2Sink sink{Write, Copy, this};
    std::vector<unsigned char> piece = std::vector<unsigned char>(size_t{1} << 16);

    Verify2(const CodePage& c, const Pairing& p) : cp(c), pairing(p), problems(p.errors) {}
    Verify2(const Verify2&) = delete;
    Verify2& operator=(const Verify2&) = delete;

    void Fail(const std::string& why) { problems.push_back(shown + ": " + why); }

    static int Write(void* ctx, const unsigned char* bytes, size_t n) {
        auto* v = static_cast<Verify2*>(ctx);
        try {
            v->made->Add(bytes, n);
            return 1;
        } catch (...) {
            v->failure = std::current_exception();
            return 0;
        }
    }

    // Appends n bytes of OLD from offset, each plus its difference when
    // diffs is given; an exact copy comes whole, so it is read in pieces.
    static int Copy(void* ctx, uint64_t offset, uint64_t n, unsigned char* diffs) {
        auto* v = static_cast<Verify2*>(ctx);
        try {
            while (n) {
                size_t k = static_cast<size_t>(std::min<uint64_t>(n, v->piece.size()));
                v->oldFile->ReadAt(offset, v->piece.data(), k);
                if (diffs) {
                    for (size_t i = 0; i < k; i++)
                        v->piece[i] = static_cast<unsigned char>(v->piece[i] + diffs[i]);
                    diffs += k;
                }
                v->made->Add(v->piece.data(), k);
                offset += k;
                n -= k;
            }
            return 1;
        } catch (...) {
            v->failure = std::current_exception();
            return 0;
        }
    }

    // Finds the record's NEW and OLD files; the sink that rebuilds it, or
    // null when it cannot be rebuilt.
    const F2Sink* Prepare(const F2RecordInfo& r) {
        shown = DisplayName(r.name, cp);
        known = false;
        old.reset();
        oldFile.reset();
        made.reset();
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
        made.emplace(&fp.newFile->path);
        newSize = fp.newFile->size;
        if (fp.oldFile)
            old = SumFile(fp.oldFile->path);
        if (r.head.kind == F2_KIND_WHOLE)
            return &sink;
        // a delta record is rebuilt only from an old file of its length;
        // otherwise its bytes are read past
        if (!old || old->length != r.head.oldLength)
            return nullptr;
        oldFile = std::make_unique<ByteSource>(fp.oldFile->path);
        return &sink;
    }

    // Checks what the record made against its table entry and NEW.
    void Check(const F2RecordInfo& r, int result) {
        if (failure)
            std::rethrow_exception(failure);
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
            if (old->length != h.oldLength || old->crc != h.oldCrc)
                Fail("OLD's file has " + std::to_string(old->length) + " bytes and CRC-32 " + Hex(old->crc) +
                     "; the record expects " + std::to_string(h.oldLength) + " and " + Hex(h.oldCrc));
        }
        if (result != PR_OK) {
            Fail("its commands do not decode, or reach outside the old or the new file");
            return;
        }
        if (h.kind == F2_KIND_DELTA && !oldFile)
            return;  // read past, not rebuilt
        const MadeBytes& m = *made;
        if (m.Length() != h.newLength || m.Crc() != h.newCrc)
            Fail("the rebuilt file has " + std::to_string(m.Length()) + " bytes and CRC-32 " + Hex(m.Crc()) +
                 "; the record expects " + std::to_string(h.newLength) + " and " + Hex(h.newCrc));
        if (!m.Same())
            Fail("the result differs from NEW (" + std::to_string(m.Length()) + " bytes against " +
                 std::to_string(newSize) + ")");
    }
};

}  // namespace

int VerifyFormat2(const PatchImage& img, const fs::path& patch, const fs::path& oldDir, const fs::path& newDir,
                  const VerifyOptions& opts, std::ostream& out, std::ostream& err) {
    CodePage cp(opts.codePage);
    auto [oldTree, newTree] = ListTrees(oldDir, newDir, opts.excludes);
    Pairing pairing = PairTrees(oldTree, newTree, oldDir, newDir);
    Verify2 v(cp, pairing);
    F2Summary s = ReadFormat2(
        img.Container(), img.Signed(), [&](const F2RecordInfo& r) { return v.Prepare(r); },
        [&](const F2RecordInfo& r, int result) { v.Check(r, result); });
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
        else if (!SameContent(*fp.oldFile, *fp.newFile))
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
    const char* checks = "format 2: lengths and CRC-32s hold for every record";
    if (!exact)
        out << "verify: " << Count(s.records.size(), "record turns", "records turn") << " every NEW file into place, but not OLD into NEW "
            << "exactly: " << notes.size() << " note" << (notes.size() == 1 ? "" : "s") << " above; " << checks
            << "\n";
    else
        out << "verify: " << Count(s.records.size(), "record turns", "records turn") << " OLD into NEW exactly; " << checks << "\n";
    return kExitOk;
}

}  // namespace mkpatch
