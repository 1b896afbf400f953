#include "patch_reader.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "core/checksum.h"
#include "core/format.h"
#include "core/pe.h"
#include "core/stubmark.h"
#include "files.h"
#include "text.h"

namespace mkpatch {

namespace {

// The container offset the mark at pos gives, info being the mark and the
// offset after it (STUB_INFO_SIZE bytes, or fewer when the file ends).
int64_t OffsetAfterMark(std::span<const uint8_t> info, uint64_t pos, uint64_t fileSize,
                        const std::string& what) {
    if (info.size() < STUB_INFO_SIZE)
        throw Error(what + ": the applier mark is cut off");
    uint32_t offset = GetU32(info.data() + STUB_MARK_SIZE);
    if (offset == STUB_OFFSET_PLACEHOLDER)
        throw Error(what + ": the applier's container offset was never written by its build");
    if (offset < pos + STUB_INFO_SIZE || offset > fileSize)
        throw Error(what + ": the applier's container offset " + std::to_string(offset) +
                    " does not fit a file of " + std::to_string(fileSize) + " bytes");
    return offset;
}

const uint8_t kMark[STUB_MARK_SIZE] = {STUB_MARK};  // with its 0 byte

// The same as FindContainerOffset for a source read a piece at a time.
int64_t FindContainerOffset(ByteSource& src) {
    std::vector<uint8_t> buf(size_t{1} << 20);
    for (uint64_t at = 0; at < src.Size();) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), src.Size() - at));
        src.ReadAt(at, buf.data(), n);
        auto found = std::search(buf.begin(), buf.begin() + static_cast<ptrdiff_t>(n), std::begin(kMark),
                                 std::end(kMark));
        if (found != buf.begin() + static_cast<ptrdiff_t>(n)) {
            uint64_t pos = at + static_cast<uint64_t>(found - buf.begin());
            uint8_t info[STUB_INFO_SIZE];
            size_t have = static_cast<size_t>(std::min<uint64_t>(STUB_INFO_SIZE, src.Size() - pos));
            src.ReadAt(pos, info, have);
            return OffsetAfterMark(std::span<const uint8_t>(info, have), pos, src.Size(), src.What());
        }
        if (at + n == src.Size())
            break;
        at += n - (STUB_MARK_SIZE - 1);  // a mark across the pieces' edge
    }
    return -1;
}

}  // namespace

int64_t FindContainerOffset(std::span<const uint8_t> bytes, const std::string& what) {
    // The applier's own mark comes first; a container may well carry
    // another applier as a file further on.
    auto at = std::search(bytes.begin(), bytes.end(), std::begin(kMark), std::end(kMark));
    if (at == bytes.end())
        return -1;
    size_t pos = static_cast<size_t>(at - bytes.begin());
    return OffsetAfterMark(bytes.subspan(pos, std::min<size_t>(STUB_INFO_SIZE, bytes.size() - pos)), pos,
                           bytes.size(), what);
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

void ContainerView::Read(uint64_t offset, uint8_t* to, size_t n) const {
    if (offset > size || n > size - offset)
        throw Error(source->What() + ": " + std::to_string(n) + " bytes at " + std::to_string(offset) +
                    " of the container lie past its end");
    source->ReadAt(start + offset, to, n);
}

std::vector<uint8_t> PatchImage::Applier() const {
    std::vector<uint8_t> bytes(static_cast<size_t>(containerStart));
    source->ReadAt(0, bytes.data(), bytes.size());
    return bytes;
}

namespace {

// Finds the container in a patch whose source is set.
void FindContainer(PatchImage& img) {
    ByteSource& src = *img.source;
    img.size = img.containerEnd = src.Size();
    int64_t offset = FindContainerOffset(src);
    if (offset < 0)
        return;
    // signing appends a certificate table after the container; the PE
    // headers that name it lie at the applier's start
    std::vector<uint8_t> head(static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(offset), 1 << 16)));
    src.ReadAt(0, head.data(), head.size());
    img.containerEnd = PeCertificateStart(head.data(), head.size(), img.size);
    if (static_cast<uint64_t>(offset) >= img.containerEnd)
        throw Error(src.What() + ": an applier without a container");
    img.containerStart = static_cast<uint64_t>(offset);
    img.hasApplier = true;
}

}  // namespace

PatchImage LoadPatch(const std::filesystem::path& path) {
    PatchImage img;
    img.source = std::make_unique<ByteSource>(path);
    FindContainer(img);
    return img;
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
    img.held = std::move(bytes);
    img.source = std::make_unique<ByteSource>(img.held, what);
    FindContainer(img);
    return img;
}

MadeBytes::MadeBytes(const std::filesystem::path* against) {
    if (against)
        against_ = std::make_unique<ByteSource>(*against);
    XorSumBegin(&sum_);
}

void MadeBytes::Add(const uint8_t* bytes, size_t n) {
    XorSumAdd(&sum_, bytes, n);
    crc_ = Crc32Update(crc_, bytes, n);
    if (against_ && same_) {
        if (length_ > against_->Size() || n > against_->Size() - length_) {
            same_ = false;
        } else {
            if (buf_.size() < n)
                buf_.resize(n);
            against_->ReadAt(length_, buf_.data(), n);
            same_ = std::memcmp(buf_.data(), bytes, n) == 0;
        }
    }
    length_ += n;
}

namespace {

constexpr size_t kWindow = size_t{1} << 16;

// A container read through a window that follows the reads.
class Window {
public:
    explicit Window(const ContainerView& c) : c_(c), bytes_(kWindow) {}

    // A cursor from offset at to the window's end, holding at least
    // min(want, the bytes left) of them (want at most the window's size).
    PatchCursor At(uint64_t at, size_t want) {
        uint64_t need = std::min<uint64_t>(want, c_.size - std::min(at, c_.size));
        if (at < start_ || at - start_ > have_ || need > start_ + have_ - at) {
            start_ = std::min(at, c_.size);
            have_ = static_cast<size_t>(std::min<uint64_t>(bytes_.size(), c_.size - start_));
            c_.Read(start_, bytes_.data(), have_);
        }
        PatchCursor cur;
        CursorInit(&cur, bytes_.data() + (at - start_), have_ - static_cast<size_t>(at - start_));
        return cur;
    }
    // Where a cursor's position lies in the container.
    uint64_t Offset(const unsigned char* p) const { return start_ + static_cast<uint64_t>(p - bytes_.data()); }
    // Whether a cursor from At reaches the container's end.
    bool ToTheEnd(const PatchCursor& cur) const { return Offset(cur.end) == c_.size; }

private:
    ContainerView c_;
    std::vector<uint8_t> bytes_;
    uint64_t start_ = 0;
    size_t have_ = 0;
};

// The most bytes a trailer takes for the largest record count, its
// padding included.
constexpr uint64_t kTrailerMax = TRAILER_TAIL_SIZE + uint64_t{CONTAINER_MAX_RECORDS} * TRAILER_ENTRY_SIZE +
                                 TRAILER_MAX_PAD;

// Fills s.trailer from the bytes after the records (which end at
// recordsEnd), and s.problem when they are neither nothing nor a sound
// trailer. Only the container's last bytes, where a trailer can be, are
// read whole; its CRC-32 is taken a piece at a time.
// Signing pads the file with zero bytes before the certificate table; the
// same bytes after an unsigned patch's trailer were not written by build.
void ReadTrailer(const ContainerView& container, uint64_t recordsEnd, bool signedPatch, ContainerSummary& s) {
    TrailerSummary& t = s.trailer;
    uint64_t tailStart = container.size - std::min(container.size, kTrailerMax + 1);
    std::vector<uint8_t> tail(static_cast<size_t>(container.size - tailStart));
    container.Read(tailStart, tail.data(), tail.size());
    PatchTrailer found;
    // records that end before the tail leave more bytes than any trailer
    // takes: a tag there frames no trailer for them
    bool before = recordsEnd < tailStart;
    t.state = FindTrailer(tail.data(), tail.size(), static_cast<size_t>(before ? 0 : recordsEnd - tailStart),
                          s.count, &found);
    if (before && t.state == TRAILER_FOUND)
        t.state = TRAILER_BAD;
    if (t.state == TRAILER_BAD) {
        s.problem = "the integrity trailer after the last record is damaged";
        return;
    }
    if (t.state == TRAILER_NONE) {
        bool padding = signedPatch && s.trailing <= TRAILER_MAX_PAD &&
                       std::all_of(tail.end() - static_cast<ptrdiff_t>(s.trailing), tail.end(),
                                   [](uint8_t b) { return b == 0; });
        if (s.trailing && !padding)
            s.problem = std::to_string(s.trailing) + " bytes follow the last record";
        return;
    }
    uint64_t start = tailStart + found.start;
    t.size = TRAILER_TAIL_SIZE + uint64_t{found.count} * TRAILER_ENTRY_SIZE;
    t.storedCrc = found.containerCrc;
    std::vector<uint8_t> piece(size_t{1} << 20);
    t.actualCrc = 0;
    for (uint64_t at = 0; at < start;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(piece.size(), start - at));
        container.Read(at, piece.data(), n);
        t.actualCrc = Crc32Update(t.actualCrc, piece.data(), n);
        at += n;
    }
    t.crcHolds = t.storedCrc == t.actualCrc;
    for (unsigned i = 0; i < found.count; i++) {
        TrailerEntry e;
        GetTrailerEntry(&found, i, &e);
        t.entries.push_back(e);
    }
    if (!signedPatch && start + t.size != container.size)
        s.problem = std::to_string(container.size - start - t.size) + " zero bytes follow the trailer";
    if (!t.crcHolds)
        s.problem = "the container's CRC-32 is " + Hex(t.actualCrc) + ", its trailer holds " +
                    Hex(t.storedCrc) + ": the container is damaged";
}

int WalkCommands(Window& w, const ContainerView& c, uint64_t at, uint64_t* end,
                 const std::function<void(uint32_t, uint32_t)>& copy,
                 const std::function<void(uint64_t, uint32_t)>& insert) {
    for (;;) {
        PatchCursor cur = w.At(at, CMD_COPY_SIZE);
        PatchCommand cmd;
        uint64_t literal = 0;
        if (ReadCommand(&cur, &cmd) == PR_OK) {
            if (cmd.op == CMD_INSERT)
                literal = w.Offset(cmd.literal);
            at = w.Offset(cur.pos);
        } else {
            // an insert whose bytes run on past the window: its length is
            // checked against the container instead
            cur = w.At(at, CMD_COPY_SIZE);
            if (w.ToTheEnd(cur) || *cur.pos != CMD_INSERT)
                return PR_BADDATA;
            cmd.op = CMD_INSERT;
            cmd.length = GetU32(cur.pos + 1);
            literal = at + CMD_INSERT_HEAD_SIZE;
            if (cmd.length > c.size - literal)
                return PR_BADDATA;
            at = literal + cmd.length;
        }
        if (cmd.op == CMD_END) {
            *end = at;
            return PR_OK;
        }
        if (cmd.op == CMD_COPY && copy)
            copy(cmd.offset, cmd.length);
        if (cmd.op == CMD_INSERT && insert)
            insert(literal, cmd.length);
    }
}

}  // namespace

int WalkCommands(const ContainerView& container, uint64_t at, uint64_t* end,
                 const std::function<void(uint32_t, uint32_t)>& copy,
                 const std::function<void(uint64_t, uint32_t)>& insert) {
    Window w(container);
    return WalkCommands(w, container, at, end, copy, insert);
}

ContainerSummary SummarizeContainer(const ContainerView& container, bool signedPatch) {
    ContainerSummary s;
    Window w(container);
    PatchCursor cur = w.At(0, CONTAINER_HEADER_SIZE);
    if (ReadContainerHeader(&cur, &s.count) != PR_OK) {
        s.problem = "shorter than the 4-byte container header";
        return s;
    }
    uint64_t at = w.Offset(cur.pos);
    for (unsigned k = 0; k < s.count; k++) {
        RecordSummary r;
        PatchRecordHead head;
        // a head is its sums, its name and the body's first bytes: a
        // name the applier takes fits the first try
        cur = w.At(at, 1024);
        bool read = ReadRecordHead(&cur, &head) == PR_OK;
        if (!read) {
            cur = w.At(at, kWindow);
            read = ReadRecordHead(&cur, &head) == PR_OK;
        }
        if (!read) {
            s.problem = "record " + std::to_string(k + 1) +
                        (w.ToTheEnd(cur) ? ": its head runs past the end"
                                         : ": its name runs on for more than " + std::to_string(kWindow) + " bytes");
            return s;
        }
        r.name.assign(head.name, head.nameLen);
        r.oldSum = head.oldSum;
        r.newSum = head.newSum;
        r.bodyStart = w.Offset(cur.pos);
        if (BodyIsWholeFile(&cur)) {
            cur = w.At(r.bodyStart, WHOLEFILE_HEAD_SIZE);
            const unsigned char* content;
            uint32_t length = 0;
            uint64_t left = container.size - r.bodyStart;
            bool sound = ReadWholeFile(&cur, &content, &length) == PR_OK;
            // content running on past the window is checked against the
            // container instead
            if (!sound && !w.ToTheEnd(cur)) {
                length = GetU32(cur.pos + 1);
                sound = length <= left - WHOLEFILE_HEAD_SIZE;
            }
            if (!sound) {
                s.problem = "record " + std::to_string(k + 1) + ": the file runs past the end";
                return s;
            }
            r.whole = true;
            r.inserted = r.outputSize = length;
            at = r.bodyStart + WHOLEFILE_HEAD_SIZE + length;
        } else {
            int result = WalkCommands(
                w, container, r.bodyStart, &at,
                [&](uint32_t, uint32_t length) {
                    r.copies++;
                    r.copied += length;
                },
                [&](uint64_t, uint32_t length) {
                    r.inserts++;
                    r.inserted += length;
                });
            if (result != PR_OK) {
                s.problem = "record " + std::to_string(k + 1) + ": an undefined or cut-off command";
                return s;
            }
            r.outputSize = r.copied + r.inserted;
        }
        r.bodySize = at - r.bodyStart;
        s.records.push_back(std::move(r));
    }
    s.trailing = container.size - at;
    ReadTrailer(container, at, signedPatch, s);
    return s;
}

ContainerSummary SummarizeContainer(std::span<const uint8_t> container, bool signedPatch) {
    ByteSource bytes(container, "the container");
    return SummarizeContainer(ContainerView{&bytes, 0, container.size()}, signedPatch);
}

}  // namespace mkpatch
