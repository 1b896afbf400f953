#include "patchfile.h"

#include <algorithm>
#include <cstring>

#include "core/format.h"
#include "core/stubmark.h"
#include "files.h"

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
    std::vector<uint8_t> bytes = ReadFileBytes(path);
    std::string what = Utf8(path);
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
    PatchImage img;
    img.bytes = ReadFileBytes(path);
    std::string what = Utf8(path);
    int64_t offset = FindContainerOffset(img.bytes, what);
    if (offset >= 0) {
        if (static_cast<uint64_t>(offset) == img.bytes.size())
            throw Error(what + ": an applier without a container");
        img.containerStart = static_cast<size_t>(offset);
        img.hasApplier = true;
    }
    return img;
}

ContainerSummary SummarizeContainer(std::span<const uint8_t> container) {
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
    if (s.trailing)
        s.problem = std::to_string(s.trailing) + " bytes follow the last record";
    return s;
}

}  // namespace mkpatch
