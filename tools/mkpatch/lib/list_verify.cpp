// mkpatch list and mkpatch verify: reading a finished patch back with the
// core's decoder, the same code the applier runs.
#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

#include "branding.h"
#include "commands.h"
#include "encoder.h"
#include "core/format.h"
#include "core/checksum.h"
#include "core/names.h"
#include "files.h"
#include "format2_reader.h"
#include "names.h"
#include "pairing.h"
#include "patch_reader.h"
#include "text.h"

namespace mkpatch {
namespace {

// How the trailer stands, in one word or two: the one answer that list,
// verify and their JSON documents all give.
const char* TrailerWord(const TrailerSummary& t) {
    if (t.state == TRAILER_NONE)
        return "none";
    if (t.state == TRAILER_BAD)
        return "damaged";
    return t.crcHolds ? "holds" : "does not hold";
}

// How the trailer stands, in a few words for people.
std::string TrailerState(const TrailerSummary& t) {
    if (t.state == TRAILER_NONE)
        return "none (the bare format)";
    if (t.state == TRAILER_BAD)
        return TrailerWord(t);
    return std::string(TrailerWord(t)) + " (container CRC-32 " + Hex(t.storedCrc) + ", " +
           Count(t.entries.size(), "entry", "entries") + ")";
}

// What the patch's applier carries, or nothing for a bare container or an
// applier whose resources cannot be read (list reports the container).
std::optional<BrandInfo> BrandingOf(const PatchImage& img, const fs::path& patch) {
    if (!img.hasApplier)
        return std::nullopt;
    try {
        return ReadBranding(img.Applier(), Utf8(patch));
    } catch (const Error&) {
        return std::nullopt;
    }
}

void ListJson(const PatchImage& img, const ContainerSummary& s, const CodePage& cp,
              const std::optional<BrandInfo>& brand, std::ostream& out) {
    const TrailerSummary& t = s.trailer;
    out << "{\"format\": " << kJsonFormat << ", \"container_offset\": " << img.containerStart
        << ", \"container_size\": " << img.ContainerSize()
        << ", \"signed\": " << (img.Signed() ? "true" : "false") << ", \"count\": " << s.count
        << ", \"records\": [";
    for (size_t i = 0; i < s.records.size(); i++) {
        const RecordSummary& r = s.records[i];
        out << (i ? ",\n  " : "\n  ") << "{\"name\": " << JsonString(DisplayName(r.name, cp))
            << ", \"type\": \"" << (r.whole ? "whole" : "delta") << "\", \"old_sum\": \""
            << Hex(r.oldSum) << "\", \"new_sum\": \"" << Hex(r.newSum)
            << "\", \"copies\": " << r.copies << ", \"inserts\": " << r.inserts
            << ", \"copied\": " << r.copied << ", \"inserted\": " << r.inserted
            << ", \"output_size\": " << r.outputSize << ", \"body_size\": " << r.bodySize;
        if (i < t.entries.size()) {
            const TrailerEntry& e = t.entries[i];
            out << ", \"new_length\": " << e.newLength << ", \"new_crc\": \"" << Hex(e.newCrc)
                << "\", \"old_length\": " << e.oldLength << ", \"old_crc\": \"" << Hex(e.oldCrc)
                << "\"";
        }
        out << "}";
    }
    out << "],\n \"trailer\": ";
    if (t.state == TRAILER_NONE)
        out << "null";
    else if (t.state == TRAILER_BAD)
        out << "{\"state\": \"damaged\"}";
    else
        out << "{\"state\": \"" << TrailerWord(t)
            << "\", \"container_crc\": \"" << Hex(t.storedCrc) << "\", \"entries\": "
            << t.entries.size() << ", \"size\": " << t.size << "}";
    out << ",\n \"branding\": " << (brand ? BrandingJson(*brand) : "null");
    out << ",\n \"problem\": " << (s.problem.empty() ? "null" : JsonString(s.problem)) << "}\n";
}

}  // namespace

int ListPatch(const fs::path& patch, unsigned codePage, bool json, std::ostream& out,
              std::ostream& err, std::istream* input) {
    CodePage cp(codePage);
    PatchImage img = input ? LoadPatch(ReadAll(*input, "standard input"), "standard input")
                           : LoadPatch(patch);
    std::optional<BrandInfo> brand = BrandingOf(img, patch);
    if (IsFormat2(img.Container()))
        return ListFormat2(img, patch, codePage, json, brand, out, err);
    ContainerSummary s = SummarizeContainer(img.Container(), img.Signed());
    if (json) {
        ListJson(img, s, cp, brand, out);
    } else {
        for (const RecordSummary& r : s.records) {
            out << (r.whole ? "whole" : "delta") << " old=" << Hex(r.oldSum)
                << " new=" << Hex(r.newSum) << " copies=" << r.copies << " inserts=" << r.inserts
                << " copied=" << r.copied << " inserted=" << r.inserted
                << " size=" << r.outputSize << "  " << DisplayName(r.name, cp) << "\n";
        }
        out << Count(s.records.size(), "record", "records") << ", container " << img.ContainerSize()
            << " bytes at offset " << img.containerStart;
        if (img.Signed())
            out << ", signed (certificate table at offset " << img.containerEnd << ")";
        out << "\ntrailer: " << TrailerState(s.trailer) << "\n";
        if (brand)
            out << BrandingLines(*brand);
    }
    if (!s.problem.empty()) {
        err << "mkpatch: " << (input ? "standard input" : Printable(Utf8(patch))) << ": " << s.problem
            << "\n";
        return kExitFailed;
    }
    return kExitOk;
}

namespace {

// One verify run: where OLD and NEW are, and every problem found so far.
struct Verifier {
    const fs::path& oldDir;
    const fs::path& newDir;
    const CodePage& cp;
    std::vector<std::string> problems;
    std::vector<std::string> notes;  // what build leaves out

    void Fail(const std::string& what, const std::string& why) {
        problems.push_back(what + ": " + why);
    }
};

void VerifyJson(const Verifier& v, const ContainerSummary& s, bool exact, bool ok,
                std::ostream& out) {
    auto list = [&](const std::vector<std::string>& items) {
        out << "[";
        for (size_t i = 0; i < items.size(); i++)
            out << (i ? ", " : "") << JsonString(items[i]);
        out << "]";
    };
    out << "{\"format\": " << kJsonFormat << ", \"records\": " << s.records.size()
        << ", \"ok\": " << (ok ? "true" : "false") << ", \"exact\": " << (exact ? "true" : "false")
        << ", \"trailer\": \"" << TrailerWord(s.trailer) << "\",\n \"problems\": ";
    list(v.problems);
    out << ",\n \"notes\": ";
    list(v.notes);
    out << "}\n";
}

constexpr size_t kPiece = size_t{1} << 20;

// Rebuilds a record's file into made from OLD's file and the record's
// body, each read a piece at a time; false when it cannot be rebuilt
// (reported).
bool Rebuild(Verifier& v, const RecordSummary& r, const ContainerView& container, const TreeFile* oldFile,
             const std::optional<FileSums>& old, MadeBytes& made, const std::string& shown) {
    std::vector<uint8_t> piece(kPiece);
    // n bytes from at of src into made
    auto pass = [&](auto&& read, uint64_t at, uint64_t n) {
        while (n) {
            size_t k = static_cast<size_t>(std::min<uint64_t>(n, piece.size()));
            read(at, piece.data(), k);
            made.Add(piece.data(), k);
            at += k;
            n -= k;
        }
    };
    auto fromPatch = [&](uint64_t at, uint8_t* to, size_t n) { container.Read(at, to, n); };
    if (r.whole) {
        if (old)
            v.Fail(shown, "a whole file for a name that OLD already has; the applier "
                          "would ask before overwriting it");
        pass(fromPatch, r.bodyStart + WHOLEFILE_HEAD_SIZE, r.outputSize);
        return true;
    }
    if (!old) {
        v.Fail(shown, "not in OLD, so the applier would find no file to rebuild");
        return false;
    }
    if (old->sum != r.oldSum)
        v.Fail(shown, "OLD's checksum is " + Hex(old->sum) + ", the record expects " + Hex(r.oldSum));
    ByteSource oldBytes(oldFile->path);
    auto fromOld = [&](uint64_t at, uint8_t* to, size_t n) { oldBytes.ReadAt(at, to, n); };
    // as the applier runs them: a copy past the old file's end is read no
    // further, and the stream still walked
    bool past = false;
    uint64_t end;
    int res = WalkCommands(
        container, r.bodyStart, &end,
        [&](uint32_t offset, uint32_t length) {
            past = past || uint64_t{offset} + length > old->length;
            if (!past)
                pass(fromOld, offset, length);
        },
        [&](uint64_t at, uint32_t length) {
            if (!past)
                pass(fromPatch, at, length);
        });
    if (res != PR_OK || past) {
        v.Fail(shown, res == PR_OK ? "a copy reaches past the end of OLD's file"
                                   : "the command stream cannot be decoded");
        return false;
    }
    return true;
}

// The trailer's entry for a record against the OLD and NEW files.
void CheckEntry(Verifier& v, const TrailerEntry& e, const RecordSummary& r, const std::optional<FileSums>& old,
                const FileSums& neu, const std::string& shown) {
    if (e.newLength != neu.length || e.newCrc != neu.crc)
        v.Fail(shown, "the trailer expects a new file of " + std::to_string(e.newLength) +
                          " bytes with CRC-32 " + Hex(e.newCrc) + "; NEW's has " +
                          std::to_string(neu.length) + " bytes and " + Hex(neu.crc));
    if (r.whole) {
        if (e.oldLength != 0 || e.oldCrc != 0)
            v.Fail(shown, "the trailer gives an old file for a whole-file record");
    } else if (old && (e.oldLength != old->length || e.oldCrc != old->crc)) {
        v.Fail(shown, "the trailer expects an old file of " + std::to_string(e.oldLength) +
                          " bytes with CRC-32 " + Hex(e.oldCrc) + "; OLD's has " +
                          std::to_string(old->length) + " bytes and " + Hex(old->crc));
    }
}

// Checks one record against OLD and NEW, paired as build pairs them; adds
// its NEW file to covered. Files are read a piece at a time.
void VerifyRecord(Verifier& v, const ContainerSummary& s, size_t index, const ContainerView& container,
                  const Pairing& pairing, std::set<const TreeFile*>& covered) {
    const RecordSummary& r = s.records[index];
    std::string shown = DisplayName(r.name, v.cp);
    if (!CheckRecordName(r.name.data(), r.name.size(), v.cp.LeadBytes())) {
        v.Fail(shown, "the applier refuses this name");
        return;
    }
    auto rel = HostRelativePath(r.name, v.cp);
    if (!rel) {
        v.Fail(shown, "the name is not valid in code page " + std::to_string(v.cp.Number()));
        return;
    }
    shown = *rel;  // with '/', as every other message names files
    auto at = pairing.byFoldedName.find(FoldName(*rel));
    if (at == pairing.byFoldedName.end()) {
        v.Fail(shown, "not in NEW");
        return;
    }
    const FilePair& fp = pairing.pairs[at->second];
    if (!covered.insert(fp.newFile).second)
        v.Fail(shown, "a second record for the same file");
    std::optional<FileSums> old;
    if (fp.oldFile)
        old = SumFile(fp.oldFile->path);
    // the trailer's problems come before the rebuild's
    size_t before = v.problems.size();
    MadeBytes made(&fp.newFile->path);
    bool rebuilt = Rebuild(v, r, container, fp.oldFile, old, made, shown);
    if (index < s.trailer.entries.size()) {
        size_t rebuildProblems = v.problems.size();
        FileSums neu = rebuilt && made.Same() ? FileSums{made.Length(), made.Sum(), made.Crc()}
                                              : SumFile(fp.newFile->path);
        CheckEntry(v, s.trailer.entries[index], r, old, neu, shown);
        std::rotate(v.problems.begin() + static_cast<ptrdiff_t>(before),
                    v.problems.begin() + static_cast<ptrdiff_t>(rebuildProblems), v.problems.end());
    }
    if (!rebuilt)
        return;
    if (made.Sum() != r.newSum)
        v.Fail(shown, (r.whole ? "the new checksum field is " + Hex(r.newSum) +
                                     ", the content's is " + Hex(made.Sum())
                               : "the rebuilt file's checksum is " + Hex(made.Sum()) +
                                     ", the record expects " + Hex(r.newSum)));
    if (!made.Same())
        v.Fail(shown, "the result differs from NEW (" + std::to_string(made.Length()) + " bytes against " +
                          std::to_string(fp.newFile->size) + ")");
}

}  // namespace

int VerifyPatch(const fs::path& patch, const fs::path& oldDir, const fs::path& newDir,
                const VerifyOptions& opts, std::ostream& out, std::ostream& err) {
    CodePage cp(opts.codePage);
    PatchImage img = LoadPatch(patch);
    if (IsFormat2(img.Container()))
        return VerifyFormat2(img, patch, oldDir, newDir, opts, out, err);
    auto [oldTree, newTree] = ListTrees(oldDir, newDir, opts.excludes);
    ContainerView container = img.Container();
    ContainerSummary s = SummarizeContainer(container, img.Signed());
    Pairing pairing = PairTrees(oldTree, newTree, oldDir, newDir);

    Verifier v{oldDir, newDir, cp, {}, {}};
    if (!s.problem.empty())
        v.Fail(Utf8(patch), s.problem);
    v.problems.insert(v.problems.end(), pairing.errors.begin(), pairing.errors.end());
    std::set<const TreeFile*> covered;  // NEW files the records produce
    for (size_t i = 0; i < s.records.size(); i++)
        VerifyRecord(v, s, i, container, pairing, covered);

    // A NEW file without a record must already be in OLD as it is.
    for (const FilePair& fp : pairing.pairs) {
        if (covered.count(fp.newFile))
            continue;
        if (!fp.oldFile)
            v.Fail(fp.newFile->rel, "in NEW but neither in OLD nor in the patch");
        else if (!SameContent(*fp.oldFile, *fp.newFile))
            v.Fail(fp.newFile->rel, "differs between OLD and NEW but the patch has no record for it");
    }
    // "exactly" only when the patched folder will be NEW and nothing else
    v.notes = LeftOutNotes(oldTree, newTree, pairing, oldDir, newDir);

    bool exact = v.problems.empty() && v.notes.empty();
    bool ok = v.problems.empty() && (exact || !opts.strict);
    if (opts.json) {
        VerifyJson(v, s, exact, ok, out);
        return ok ? kExitOk : kExitFailed;
    }
    for (const std::string& p : v.problems)
        err << "mkpatch: verify: " << Printable(p) << "\n";
    if (!v.problems.empty()) {
        err << "mkpatch: verify: " << Count(v.problems.size(), "problem", "problems") << " in "
            << Printable(Utf8(patch)) << "\n";
        return kExitFailed;
    }
    if (!opts.quiet || !ok) {
        for (const std::string& note : v.notes)
            err << "mkpatch: verify: " << (opts.strict ? "" : "note: ") << Printable(note) << "\n";
    }
    if (!ok) {
        err << "mkpatch: verify: " << v.notes.size() << " note" << (v.notes.size() == 1 ? "" : "s")
            << " and --strict\n";
        return kExitFailed;
    }
    if (opts.quiet)
        return kExitOk;
    std::string trailer = s.trailer.state == TRAILER_FOUND ? "trailer holds for every record"
                                                           : "no trailer";
    if (!exact)
        out << "verify: " << Count(s.records.size(), "record turns", "records turn")
            << " every NEW file into place, but "
            << "not OLD into NEW exactly: " << v.notes.size() << " note"
            << (v.notes.size() == 1 ? "" : "s") << " above; " << trailer << "\n";
    else
        out << "verify: " << Count(s.records.size(), "record turns", "records turn")
            << " OLD into NEW exactly; " << trailer
            << "\n";
    return kExitOk;
}

}  // namespace mkpatch
