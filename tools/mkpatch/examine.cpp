// mkpatch list and mkpatch verify: reading a finished patch back with the
// core's decoder, the same code the applier runs.
#include <cstdio>
#include <map>
#include <set>

#include "commands.h"
#include "encoder.h"
#include "core/format.h"
#include "core/checksum.h"
#include "core/names.h"
#include "files.h"
#include "names.h"
#include "patchfile.h"

namespace mkpatch {
namespace {

std::string Hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (char ch : s) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04X", c);
            out += buf;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

// Reads a file if it is there; nothing when it does not exist.
std::optional<std::vector<uint8_t>> ReadIfPresent(const fs::path& p) {
    std::error_code ec;
    if (!fs::exists(p, ec))
        return std::nullopt;
    return ReadFileBytes(p);
}

}  // namespace

int ListPatch(const fs::path& patch, unsigned codePage, bool json, std::ostream& out,
              std::ostream& err) {
    CodePage cp(codePage);
    PatchImage img = LoadPatch(patch);
    ContainerSummary s = SummarizeContainer(img.Container());
    if (json) {
        out << "{\"container_offset\": " << img.containerStart
            << ", \"container_size\": " << img.Container().size() << ", \"count\": " << s.count
            << ", \"records\": [";
        for (size_t i = 0; i < s.records.size(); i++) {
            const RecordSummary& r = s.records[i];
            out << (i ? ",\n  " : "\n  ") << "{\"name\": " << JsonString(DisplayName(r.name, cp))
                << ", \"type\": \"" << (r.whole ? "whole" : "delta") << "\", \"old_sum\": \""
                << Hex(r.oldSum) << "\", \"new_sum\": \"" << Hex(r.newSum)
                << "\", \"copies\": " << r.copies << ", \"inserts\": " << r.inserts
                << ", \"copied\": " << r.copied << ", \"inserted\": " << r.inserted
                << ", \"output_size\": " << r.outputSize << ", \"body_size\": " << r.bodySize
                << "}";
        }
        out << "],\n \"problem\": " << (s.problem.empty() ? "null" : JsonString(s.problem))
            << "}\n";
    } else {
        for (const RecordSummary& r : s.records) {
            out << (r.whole ? "whole" : "delta") << " old=" << Hex(r.oldSum)
                << " new=" << Hex(r.newSum) << " copies=" << r.copies << " inserts=" << r.inserts
                << " copied=" << r.copied << " inserted=" << r.inserted
                << " size=" << r.outputSize << "  " << DisplayName(r.name, cp) << "\n";
        }
        out << s.records.size() << " records, container " << img.Container().size()
            << " bytes at offset " << img.containerStart << "\n";
    }
    if (!s.problem.empty()) {
        err << "mkpatch: " << Utf8(patch) << ": " << s.problem << "\n";
        return kExitFailed;
    }
    return kExitOk;
}

int VerifyPatch(const fs::path& patch, const fs::path& oldDir, const fs::path& newDir,
                unsigned codePage, std::ostream& out, std::ostream& err) {
    CodePage cp(codePage);
    PatchImage img = LoadPatch(patch);
    std::vector<TreeFile> oldFiles = ListTree(oldDir);
    std::vector<TreeFile> newFiles = ListTree(newDir);
    std::span<const uint8_t> container = img.Container();
    ContainerSummary s = SummarizeContainer(container);

    unsigned problems = 0;
    auto fail = [&](const std::string& what, const std::string& why) {
        err << "mkpatch: verify: " << what << ": " << why << "\n";
        problems++;
    };
    if (!s.problem.empty())
        fail(Utf8(patch), s.problem);

    std::set<std::string> covered;  // host paths the records produce
    for (const RecordSummary& r : s.records) {
        std::string shown = DisplayName(r.name, cp);
        if (!CheckRecordName(r.name.data(), r.name.size(), cp.LeadBytes())) {
            fail(shown, "the applier refuses this name");
            continue;
        }
        auto rel = HostRelativePath(r.name, cp);
        if (!rel) {
            fail(shown, "the name is not valid in code page " + std::to_string(codePage));
            continue;
        }
        if (!covered.insert(*rel).second)
            fail(shown, "a second record for the same file");
        fs::path relPath = PathFromUtf8(*rel);
        auto expected = ReadIfPresent(newDir / relPath);
        if (!expected) {
            fail(shown, "not in NEW");
            continue;
        }
        std::span<const uint8_t> body = container.subspan(r.bodyStart, r.bodySize);
        PatchCursor cur;
        CursorInit(&cur, body.data(), body.size());
        std::vector<uint8_t> rebuilt;
        if (r.whole) {
            const unsigned char* content;
            uint32_t length;
            ReadWholeFile(&cur, &content, &length);  // already walked once
            rebuilt.assign(content, content + length);
            if (ReadIfPresent(oldDir / relPath))
                fail(shown, "a whole file for a name that OLD already has; the applier "
                            "would ask before overwriting it");
        } else {
            auto old = ReadIfPresent(oldDir / relPath);
            if (!old) {
                fail(shown, "not in OLD, so the applier would find no file to rebuild");
                continue;
            }
            uint32_t oldSum = XorSum(old->data(), old->size());
            if (oldSum != r.oldSum)
                fail(shown, "OLD's checksum is " + Hex(oldSum) + ", the record expects " +
                                Hex(r.oldSum));
            int res = PR_OK;
            rebuilt = ApplyDelta(*old, body, &res);
            if (res != PR_OK) {
                fail(shown, res == PR_BADRESULT ? "a copy reaches past the end of OLD's file"
                                                : "the command stream cannot be decoded");
                continue;
            }
        }
        uint32_t newSum = XorSum(rebuilt.data(), rebuilt.size());
        if (!r.whole && newSum != r.newSum)
            fail(shown, "the rebuilt file's checksum is " + Hex(newSum) +
                            ", the record expects " + Hex(r.newSum));
        if (r.whole && newSum != r.newSum)
            fail(shown, "the new checksum field is " + Hex(r.newSum) + ", the content's is " +
                            Hex(newSum));
        if (rebuilt != *expected)
            fail(shown, "the result differs from NEW (" + std::to_string(rebuilt.size()) +
                            " bytes against " + std::to_string(expected->size()) + ")");
    }

    // A NEW file without a record must already be in OLD as it is.
    for (const TreeFile& f : newFiles) {
        if (covered.count(f.rel))
            continue;
        auto old = ReadIfPresent(oldDir / PathFromUtf8(f.rel));
        if (!old)
            fail(f.rel, "in NEW but neither in OLD nor in the patch");
        else if (*old != ReadFileBytes(f.path))
            fail(f.rel, "differs between OLD and NEW but the patch has no record for it");
    }
    (void)oldFiles;

    if (problems) {
        err << "mkpatch: verify: " << problems << " problem" << (problems == 1 ? "" : "s")
            << " in " << Utf8(patch) << "\n";
        return kExitFailed;
    }
    out << "verify: " << s.records.size() << " records turn OLD into NEW exactly\n";
    return kExitOk;
}

}  // namespace mkpatch
