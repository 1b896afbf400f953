#include "patch_reader.h"

#include <algorithm>
#include <cstring>

#include "core/checksum.h"
#include "core/format.h"
#include "core/pe.h"
#include "core/stubmark.h"
#include "files.h"
#include "text.h"

namespace mkpatch {

int64_t FindContainerOffset(std::span<const uint8_t> bytes, const std::string& what) {
    static const uint8_t kMark[STUB_MARK_SIZE] = {STUB_MARK};  // with its 0 byte
    // The applier's own mark comes first; a container may well carry
    // another applier as a file further on.
    auto at = std::search(bytes.begin(), bytes.end(), std::begin(kMark), std::end(kMark));
    if (at == bytes.end())
        return -1;
    size_t pos = static_cast<size_t>(at - bytes.begin());
    if (bytes.size() - pos < STUB_INFO_SIZE)
        throw Error(what + ": the applier mark is cut off");
    uint32_t offset = GetU32(bytes.data() + pos + STUB_MARK_SIZE);
    if (offset == STUB_OFFSET_PLACEHOLDER)
        throw Error(what + ": the applier's container offset was never written by its build");
    if (offset < pos + STUB_INFO_SIZE || offset > bytes.size())
        throw Error(what + ": the applier's container offset " + std::to_string(offset) +
                    " does not fit a file of " + std::to_string(bytes.size()) + " bytes");
    return offset;
}

std::vector<uint8_t> LoadApplier(const std::filesystem::path& path, bool replace) {
    std::string what = Utf8(path);
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec))
        throw Error(what + ": is a folder, not an applier");
    std::vector<uint8_t> bytes = ReadFileBytes(path);
    int64_t offset = FindContainerOffset(bytes, what);
    if (offset < 0)
        throw Error(what + ": not an applier (no applier mark in the file)");
    if (static_cast<uint64_t>(offset) < bytes.size()) {
        if (!replace)
            throw Error(what + ": already carries a container (" +
                        std::to_string(bytes.size() - offset) +
                        " bytes); give --replace to swap it");
        bytes.resize(static_cast<size_t>(offset));
    }
    return bytes;
}

PatchImage LoadPatch(const std::filesystem::path& path) {
    return LoadPatch(ReadFileBytes(path), Utf8(path));
}

std::vector<uint8_t> ReadAll(std::istream& in, const std::string& what) {
    std::vector<uint8_t> bytes;
    char buf[1 << 16];
    while (in.read(buf, sizeof buf) || in.gcount() > 0)
        bytes.insert(bytes.end(), buf, buf + in.gcount());
    if (in.bad())
        throw Error(what + ": cannot read");
    return bytes;
}

PatchImage LoadPatch(std::vector<uint8_t> bytes, const std::string& what) {
    PatchImage img;
    img.bytes = std::move(bytes);
    int64_t offset = FindContainerOffset(img.bytes, what);
    img.containerEnd = img.bytes.size();
    if (offset >= 0) {
        // signing appends a certificate table after the container
        img.containerEnd = PeSignatureStart(img.bytes.data(), img.bytes.size());
        if (static_cast<uint64_t>(offset) >= img.containerEnd)
            throw Error(what + ": an applier without a container");
        img.containerStart = static_cast<size_t>(offset);
        img.hasApplier = true;
    }
    return img;
}

namespace {

// Fills s.trailer from the bytes after the records (which end at
// recordsEnd), and s.problem when they are neither nothing nor a sound
// trailer.
// Signing pads the file with zero bytes before the certificate table; the
// same bytes after an unsigned patch's trailer were not written by build.
void ReadTrailer(std::span<const uint8_t> container, size_t recordsEnd, bool signedPatch,
                 ContainerSummary& s) {
    TrailerSummary& t = s.trailer;
    PatchTrailer found;
    t.state = FindTrailer(container.data(), container.size(), recordsEnd, s.count, &found);
    if (t.state == TRAILER_BAD) {
        s.problem = "the integrity trailer after the last record is damaged";
        return;
    }
    if (t.state == TRAILER_NONE) {
        bool padding = signedPatch && s.trailing <= TRAILER_MAX_PAD &&
                       std::all_of(container.end() - s.trailing, container.end(),
                                   [](uint8_t b) { return b == 0; });
        if (s.trailing && !padding)
            s.problem = std::to_string(s.trailing) + " bytes follow the last record";
        return;
    }
    t.size = TRAILER_TAIL_SIZE + size_t{found.count} * TRAILER_ENTRY_SIZE;
    t.storedCrc = found.containerCrc;
    t.actualCrc = Crc32Update(0, container.data(), found.start);
    t.crcHolds = t.storedCrc == t.actualCrc;
    for (unsigned i = 0; i < found.count; i++) {
        TrailerEntry e;
        GetTrailerEntry(&found, i, &e);
        t.entries.push_back(e);
    }
    if (!signedPatch && found.start + t.size != container.size())
        s.problem = std::to_string(container.size() - found.start - t.size) +
                    " zero bytes follow the trailer";
    if (!t.crcHolds)
        s.problem = "the container's CRC-32 is " + Hex(t.actualCrc) + ", its trailer holds " +
                    Hex(t.storedCrc) + ": the container is damaged";
}

}  // namespace

ContainerSummary SummarizeContainer(std::span<const uint8_t> container, bool signedPatch) {
    ContainerSummary s;
    PatchCursor cur;
    CursorInit(&cur, container.data(), container.size());
    if (ReadContainerHeader(&cur, &s.count) != PR_OK) {
        s.problem = "shorter than the 4-byte container header";
        return s;
    }
    for (unsigned k = 0; k < s.count; k++) {
        RecordSummary r;
        PatchRecordHead head;
        if (ReadRecordHead(&cur, &head) != PR_OK) {
            s.problem = "record " + std::to_string(k + 1) + ": its head runs past the end";
            return s;
        }
        r.name.assign(head.name, head.nameLen);
        r.oldSum = head.oldSum;
        r.newSum = head.newSum;
        r.bodyStart = static_cast<size_t>(cur.pos - container.data());
        if (BodyIsWholeFile(&cur)) {
            const unsigned char* content;
            uint32_t length;
            if (ReadWholeFile(&cur, &content, &length) != PR_OK) {
                s.problem = "record " + std::to_string(k + 1) + ": the file runs past the end";
                return s;
            }
            r.whole = true;
            r.inserted = r.outputSize = length;
        } else {
            PatchCommand cmd;
            do {
                if (ReadCommand(&cur, &cmd) != PR_OK) {
                    s.problem = "record " + std::to_string(k + 1) +
                                ": an undefined or cut-off command";
                    return s;
                }
                if (cmd.op == CMD_COPY) {
                    r.copies++;
                    r.copied += cmd.length;
                } else if (cmd.op == CMD_INSERT) {
                    r.inserts++;
                    r.inserted += cmd.length;
                }
            } while (cmd.op != CMD_END);
            r.outputSize = r.copied + r.inserted;
        }
        r.bodySize = static_cast<size_t>(cur.pos - container.data()) - r.bodyStart;
        s.records.push_back(std::move(r));
    }
    s.trailing = CursorLeft(&cur);
    ReadTrailer(container, container.size() - s.trailing, signedPatch, s);
    return s;
}

}  // namespace mkpatch
