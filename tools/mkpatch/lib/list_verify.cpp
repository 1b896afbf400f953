// mkpatch list and mkpatch verify: reading a finished patch back with the
// core's decoder, the same code the applier runs.
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
        return ReadBranding(std::span<const uint8_t>(img.bytes).first(img.containerStart),
                            Utf8(patch));
    } catch (const Error&) {
        return std::nullopt;
    }
}

void ListJson(const PatchImage& img, const ContainerSummary& s, const CodePage& cp,
              const std::optional<BrandInfo>& brand, std::ostream& out) {
    const TrailerSummary& t = s.trailer;
    out << "{\"format\": " << kJsonFormat << ", \"container_offset\": " << img.containerStart
        << ", \"container_size\": " << img.Container().size()
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
    if (IsFormat2(img.Container().data(), img.Container().size()))
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
        out << Count(s.records.size(), "record", "records") << ", container " << img.Container().size()
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

uint32_t Crc(const std::vector<uint8_t>& bytes) {
    return Crc32Update(0, bytes.data(), bytes.size());
}

// The file a record rebuilds, from OLD's file and the record's body, or
// nothing when it cannot be rebuilt (reported).
std::optional<std::vector<uint8_t>> Rebuild(Verifier& v, const RecordSummary& r,
                                            std::span<const uint8_t> container,
                                            const std::optional<std::vector<uint8_t>>& old,
                                            const std::string& shown) {
    std::span<const uint8_t> body = container.subspan(r.bodyStart, r.bodySize);
    if (r.whole) {
        PatchCursor cur;
        CursorInit(&cur, body.data(), body.size());
        const unsigned char* content;
        uint32_t length;
        ReadWholeFile(&cur, &content, &length);  // already walked once
        if (old)
            v.Fail(shown, "a whole file for a name that OLD already has; the applier "
                          "would ask before overwriting it");
        return std::vector<uint8_t>(content, content + length);
    }
    if (!old) {
        v.Fail(shown, "not in OLD, so the applier would find no file to rebuild");
        return std::nullopt;
    }
    uint32_t oldSum = XorSum(old->data(), old->size());
    if (oldSum != r.oldSum)
        v.Fail(shown, "OLD's checksum is " + Hex(oldSum) + ", the record expects " + Hex(r.oldSum));
    int res = PR_OK;
    std::vector<uint8_t> rebuilt = RunDeltaInMemory(*old, body, &res);
    if (res != PR_OK) {
        v.Fail(shown, res == PR_BADRESULT ? "a copy reaches past the end of OLD's file"
                                          : "the command stream cannot be decoded");
        return std::nullopt;
    }
    return rebuilt;
}

// The trailer's entry for a record against the OLD and NEW files.
void CheckEntry(Verifier& v, const TrailerEntry& e, const RecordSummary& r,
                const std::optional<std::vector<uint8_t>>& old, const std::vector<uint8_t>& neu,
                const std::string& shown) {
    if (e.newLength != neu.size() || e.newCrc != Crc(neu))
        v.Fail(shown, "the trailer expects a new file of " + std::to_string(e.newLength) +
                          " bytes with CRC-32 " + Hex(e.newCrc) + "; NEW's has " +
                          std::to_string(neu.size()) + " bytes and " + Hex(Crc(neu)));
    if (r.whole) {
        if (e.oldLength != 0 || e.oldCrc != 0)
            v.Fail(shown, "the trailer gives an old file for a whole-file record");
    } else if (old && (e.oldLength != old->size() || e.oldCrc != Crc(*old))) {
        v.Fail(shown, "the trailer expects an old file of " + std::to_string(e.oldLength) +
                          " bytes with CRC-32 " + Hex(e.oldCrc) + "; OLD's has " +
                          std::to_string(old->size()) + " bytes and " + Hex(Crc(*old)));
    }
}

// Checks one record against OLD and NEW, paired as build pairs them; adds
// its NEW file to covered.
void VerifyRecord(Verifier& v, const ContainerSummary& s, size_t index,
                  std::span<const uint8_t> container, const Pairing& pairing,
                  std::set<const TreeFile*>& covered) {
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
    std::vector<uint8_t> expected = ReadFileBytes(fp.newFile->path);
    std::optional<std::vector<uint8_t>> old;
    if (fp.oldFile)
        old = ReadFileBytes(fp.oldFile->path);
    if (index < s.trailer.entries.size())
        CheckEntry(v, s.trailer.entries[index], r, old, expected, shown);
    auto rebuilt = Rebuild(v, r, container, old, shown);
    if (!rebuilt)
        return;
    uint32_t newSum = XorSum(rebuilt->data(), rebuilt->size());
    if (newSum != r.newSum)
        v.Fail(shown, (r.whole ? "the new checksum field is " + Hex(r.newSum) +
                                     ", the content's is " + Hex(newSum)
                               : "the rebuilt file's checksum is " + Hex(newSum) +
                                     ", the record expects " + Hex(r.newSum)));
    if (*rebuilt != expected)
        v.Fail(shown, "the result differs from NEW (" + std::to_string(rebuilt->size()) +
                          " bytes against " + std::to_string(expected.size()) + ")");
}

}  // namespace

int VerifyPatch(const fs::path& patch, const fs::path& oldDir, const fs::path& newDir,
                const VerifyOptions& opts, std::ostream& out, std::ostream& err) {
    CodePage cp(opts.codePage);
    PatchImage img = LoadPatch(patch);
    if (IsFormat2(img.Container().data(), img.Container().size()))
        return VerifyFormat2(img, patch, oldDir, newDir, opts, out, err);
    auto [oldTree, newTree] = ListTrees(oldDir, newDir, opts.excludes);
    std::span<const uint8_t> container = img.Container();
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
        else if (ReadFileBytes(fp.oldFile->path) != ReadFileBytes(fp.newFile->path))
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
