#include "format2_writer.h"

#include <algorithm>
#include <bit>
#include <cstdio>

#include "core/checksum.h"
#include "error.h"
#include "files.h"
#include "lzma_enc.h"

namespace mkpatch {
namespace {

void Append(std::vector<uint8_t>& to, std::span<const uint8_t> bytes) {
    to.insert(to.end(), bytes.begin(), bytes.end());
}

F2Record Head(unsigned kind, const std::string& name, std::span<const uint8_t> neu) {
    F2Record r{};
    r.kind = kind;
    r.name = name.data();
    r.nameLen = static_cast<uint32_t>(name.size());
    r.newLength = neu.size();
    r.newCrc = Crc32Update(0, neu.data(), neu.size());
    return r;
}

constexpr size_t kPiece = size_t{1} << 20;  // bytes copied at a time between files

// Whether LZMA makes the probe pieces of a large stream any smaller (see
// StreamProbe): they are coded one after another as one stream.
bool ProbeGains(SpillBuffer& in, const StreamProbe& p, LzmaOptions o) {
    uint64_t size = in.Size();
    std::vector<uint8_t> bytes(p.pieces * p.piece);
    for (size_t k = 0; k < p.pieces; k++)
        in.ReadAt((size - p.piece) / (p.pieces - 1) * k, bytes.data() + k * p.piece, p.piece);
    o.dictSize = std::min<uint32_t>(o.dictSize, static_cast<uint32_t>(bytes.size()));
    return LzmaEncode(bytes, o).size() < bytes.size();
}

// Codes in into packed when LZMA makes it smaller and returns its head,
// else returns a stored head and leaves packed empty (the bytes are in's).
// poll, when set, is called as each piece of about a MiB of packed bytes
// is made, and as each piece of a spilled stream is read.
F2StreamHead CodeInto(SpillBuffer& in, const StreamCoding& coding, uint32_t dictSize, bool compress,
                      const StreamProbe& probe, SpillBuffer& packed, const std::function<void()>& poll = {}) {
    uint64_t size = in.Size();
    // the encoder takes less than 4 GiB at a time; a larger stream, of a
    // record that has a block of its own, is stored
    if (compress && size > 0 && size < (uint64_t{1} << 32)) {
        LzmaOptions o;
        o.lc = coding.lc;
        o.lp = coding.lp;
        o.pb = coding.pb;
        o.dictSize = dictSize;
        F2StreamHead lzma{F2_LZMA, LzmaPropsByte(o), dictSize, 0, size};
        if (size >= probe.from && size >= probe.pieces * probe.piece && !ProbeGains(in, probe, o))
            return {F2_STORED, 0, 0, size, size};
        LzmaSink sink = [&](std::span<const uint8_t> b) {
            if (poll)
                poll();
            packed.Append(b);
        };
        if (!in.Spilled()) {
            lzma.packed = LzmaEncode(in.Bytes(), o, sink);
        } else {
            uint64_t at = 0;
            LzmaSource source{size, [&](uint8_t* to, size_t n) {
                                  if (poll)
                                      poll();
                                  in.ReadAt(at, to, n);
                                  at += n;
                              }};
            lzma.packed = LzmaEncode(source, o, sink);
        }
        if (lzma.packed < size)
            return lzma;
        packed.Clear();
    }
    return {F2_STORED, 0, 0, size, size};
}

}  // namespace

void SpillBuffer::Append(std::span<const uint8_t> bytes) {
    if (!file_ && mem_.size() + bytes.size() > limit_) {
        file_ = std::make_unique<TempFile>(folder_);
        file_->Write(mem_.data(), mem_.size());
        mem_ = {};
    }
    if (file_)
        file_->Write(bytes.data(), bytes.size());
    else
        mem_.insert(mem_.end(), bytes.begin(), bytes.end());
}

void SpillBuffer::Append(SpillBuffer& from) {
    from.ForEach([&](std::span<const uint8_t> piece) { Append(piece); });
}

void SpillBuffer::ReadAt(uint64_t offset, uint8_t* to, size_t n) {
    if (file_)
        file_->ReadAt(offset, to, n);
    else
        std::copy_n(mem_.begin() + static_cast<std::ptrdiff_t>(offset), n, to);
}

void SpillBuffer::ForEach(const std::function<void(std::span<const uint8_t>)>& take) {
    if (!file_) {
        take(mem_);
        return;
    }
    std::vector<uint8_t> piece(static_cast<size_t>(std::min<uint64_t>(kPiece, file_->Size())));
    for (uint64_t at = 0; at < file_->Size();) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(piece.size(), file_->Size() - at));
        file_->ReadAt(at, piece.data(), n);
        take({piece.data(), n});
        at += n;
    }
}

void SpillBuffer::Clear() {
    mem_ = {};
    file_.reset();
}

CodedStream CodeStream(std::span<const uint8_t> bytes, const StreamCoding& coding, uint32_t dictSize,
                       bool compress, const StreamProbe& probe) {
    SpillBuffer in(UINT64_MAX, {}), packed(UINT64_MAX, {});
    in.Append(bytes);
    CodedStream s;
    s.head = CodeInto(in, coding, dictSize, compress, probe, packed);
    s.packed = std::vector<uint8_t>(s.head.method == F2_STORED ? bytes.begin() : packed.Bytes().begin(),
                                    s.head.method == F2_STORED ? bytes.end() : packed.Bytes().end());
    return s;
}

void ChooseDictionaries(const uint64_t unpacked[F2_STREAMS], uint32_t dict[F2_STREAMS]) {
    // smallest stream first: each takes what it needs up to an even share
    // of what the smaller ones left over
    unsigned order[F2_STREAMS] = {0, 1, 2, 3};
    std::stable_sort(order, order + F2_STREAMS, [&](unsigned a, unsigned b) { return unpacked[a] < unpacked[b]; });
    uint64_t left = F2_MEMORY_MAX;
    for (unsigned k = 0; k < F2_STREAMS; k++) {
        unsigned i = order[k];
        uint64_t share = left / (F2_STREAMS - k);
        uint64_t d = std::max<uint64_t>(std::min(unpacked[i], share), LZMA_DICT_MIN);
        dict[i] = static_cast<uint32_t>(d);
        left -= std::min(d, unpacked[i]);
    }
}

uint32_t FitDictionary(uint32_t dict, uint64_t unpacked, bool spilled, uint64_t budget) {
    auto fits = [&](uint64_t d) {
        return LzmaEncoderMemory(static_cast<uint32_t>(std::max<uint64_t>(1, std::min(d, unpacked))), spilled) <= budget;
    };
    if (fits(dict))
        return dict;
    uint32_t d = std::bit_floor(dict);
    while (d > LZMA_DICT_MIN && !fits(d))
        d >>= 1;
    return std::max<uint32_t>(d, LZMA_DICT_MIN);
}

// The streams of one record before it joins a block.
struct Format2Writer::Pending {
    std::vector<SpillBuffer> streams;
};

Format2Writer::Format2Writer(const Format2Options& opts, ByteSink blocks)
    : opts_(opts), sink_(std::move(blocks)), spillBytes_(opts.spillBytes ? opts.spillBytes : opts.memory / 16) {
    streams_ = NewStreams();
}

std::vector<SpillBuffer> Format2Writer::NewStreams() const {
    std::vector<SpillBuffer> s;
    for (unsigned i = 0; i < F2_STREAMS; i++)
        s.push_back(NewBuffer());
    return s;
}

void Format2Writer::AddWhole(const std::string& name, std::span<const uint8_t> content) {
    Pending p{NewStreams()};
    F2Record r = Head(F2_KIND_WHOLE, name, content);
    p.streams[F2_LITERAL].Append(content);
    Add(r, p);
}

void Format2Writer::AddWholeFile(const std::string& name, const fs::path& path) {
    Pending p{NewStreams()};
    FileSums sums = SumFile(path, [&](uint64_t, std::span<const uint8_t> piece) { p.streams[F2_LITERAL].Append(piece); });
    F2Record r{};
    r.kind = F2_KIND_WHOLE;
    r.name = name.data();
    r.nameLen = static_cast<uint32_t>(name.size());
    r.newLength = sums.length;
    r.newCrc = sums.crc;
    Add(r, p);
}

void Format2Writer::AddDelta(const std::string& name, std::span<const uint8_t> old, std::span<const uint8_t> neu,
                             const EncodeProgress& onProgress) {
    std::vector<uint8_t> streams[F2_STREAMS];
    F2Record r = Head(F2_KIND_DELTA, name, neu);
    r.oldLength = old.size();
    r.oldCrc = Crc32Update(0, old.data(), old.size());
    uint64_t oldAt = 0, newAt = 0;
    for (const DiffCommand& c : PlanDiff(old, neu, opts_.plan, onProgress)) {
        F2Command cmd{static_cast<int64_t>(c.oldPos - oldAt), c.copy, c.diff, c.extra};
        unsigned char bytes[3 * F2_VARINT_MAX];
        streams[F2_CONTROL].insert(streams[F2_CONTROL].end(), bytes, bytes + PutF2Command(bytes, &cmd));
        if (c.diff) {
            for (uint64_t i = 0; i < c.copy; i++)
                streams[F2_DIFF].push_back(static_cast<uint8_t>(neu[newAt + i] - old[c.oldPos + i]));
        }
        Append(streams[F2_LITERAL], neu.subspan(newAt + c.copy, c.extra));
        oldAt = c.oldPos + c.copy;
        newAt += c.copy + c.extra;
    }
    Pending p{NewStreams()};
    for (unsigned i = 0; i < F2_STREAMS; i++)
        p.streams[i].Append(streams[i]);
    Add(r, p);
}

void Format2Writer::AddLargeDelta(const std::string& name, const fs::path& oldPath, const fs::path& newPath,
                                  const std::vector<LargeCopy>& copies) {
    Pending p{NewStreams()};
    F2Record r{};
    r.kind = F2_KIND_DELTA;
    r.name = name.data();
    r.nameLen = static_cast<uint32_t>(name.size());
    FileSums old = SumFile(oldPath);
    r.oldLength = old.length;
    r.oldCrc = old.crc;
    // The literals are the new bytes outside every copy: [gap start, next
    // copy) for each copy in order, and after the last. They go to a
    // buffer that spills to a file, as the new file may be of any size.
    size_t next = 0;
    FileSums neu = SumFile(newPath, [&](uint64_t at, std::span<const uint8_t> piece) {
        uint64_t end = at + piece.size();
        while (at < end) {
            uint64_t stop = next < copies.size() ? copies[next].at : UINT64_MAX;
            if (at < stop) {
                uint64_t n = std::min(stop, end) - at;
                p.streams[F2_LITERAL].Append(
                    piece.subspan(static_cast<size_t>(at - (end - piece.size())), static_cast<size_t>(n)));
                at += n;
            } else {
                at = std::min(end, copies[next].at + copies[next].length);
                if (at == copies[next].at + copies[next].length)
                    next++;
            }
        }
    });
    r.newLength = neu.length;
    r.newCrc = neu.crc;
    // one command per copy, the literals before it in a first command
    uint64_t oldAt = 0, newAt = 0;
    auto emit = [&](uint64_t oldPos, uint64_t copy, uint64_t extra) {
        F2Command cmd{static_cast<int64_t>(oldPos - oldAt), copy, 0, extra};
        unsigned char bytes[3 * F2_VARINT_MAX];
        p.streams[F2_CONTROL].Append({bytes, PutF2Command(bytes, &cmd)});
        oldAt = oldPos + copy;
        newAt += copy + extra;
    };
    if (!copies.empty() && copies[0].at > 0)
        emit(0, 0, copies[0].at);
    for (size_t i = 0; i < copies.size(); i++) {
        uint64_t after = copies[i].at + copies[i].length;
        uint64_t until = i + 1 < copies.size() ? copies[i + 1].at : r.newLength;
        emit(copies[i].from, copies[i].length, until - after);
    }
    if (copies.empty() && r.newLength > 0)
        emit(0, 0, r.newLength);
    if (newAt != r.newLength)
        throw Error(Utf8(newPath) + ": changed while it was read");
    Add(r, p);
}

void Format2Writer::Add(const F2Record& r, Pending& p) {
    unsigned char entry[F2_ENTRY_MAX];
    p.streams[F2_TABLE].Append({entry, PutF2Record(entry, &r)});
    uint64_t have = 0, adds = 0;
    for (unsigned i = 0; i < F2_STREAMS; i++) {
        have += streams_[i].Size();
        adds += p.streams[i].Size();
    }
    if (blockCount_ > 0 && adds > opts_.blockBytes - std::min(have, opts_.blockBytes))
        CloseBlock();
    for (unsigned i = 0; i < F2_STREAMS; i++) {
        // a large record's streams, alone in their block, are taken as
        // they are rather than copied
        if (streams_[i].Size() == 0)
            std::swap(streams_[i], p.streams[i]);
        else
            streams_[i].Append(p.streams[i]);
    }
    blockCount_++;
    count_++;
}

void Format2Writer::Emit(std::span<const uint8_t> bytes) {
    crc_ = Crc32Update(crc_, bytes.data(), bytes.size());
    length_ += bytes.size();
    if (sink_)
        sink_(bytes);
    else
        Append(blocks_, bytes);
}

// Codes the block's streams one at a time, each with the dictionary its
// size earns under the decoder's 64 MiB and the writer's memory, then
// writes the block: its head and packed streams (the table's last), and its CRC-32
// taken on the way.
void Format2Writer::CloseBlock() {
    if (blockCount_ == 0)
        return;
    uint64_t unpacked[F2_STREAMS];
    uint32_t dict[F2_STREAMS];
    for (unsigned i = 0; i < F2_STREAMS; i++)
        unpacked[i] = streams_[i].Size();
    ChooseDictionaries(unpacked, dict);
    // what the streams and their packed forms may hold in memory besides
    uint64_t held = std::min(opts_.memory / 2, 2 * F2_STREAMS * spillBytes_);
    F2BlockHead b{};
    b.count = blockCount_;
    std::vector<SpillBuffer> packed;
    for (unsigned i = 0; i < F2_STREAMS; i++) {
        uint32_t d = FitDictionary(dict[i], unpacked[i], streams_[i].Spilled(), opts_.memory - held);
        packed.push_back(NewBuffer());
        b.streams[i] = CodeInto(streams_[i], opts_.coding[i], d, opts_.compress, opts_.probe, packed[i], opts_.poll);
        if (b.streams[i].method != F2_STORED)
            streams_[i].Clear();
    }
    memory_ = std::max(memory_, static_cast<uint32_t>(F2BlockMemory(&b)));
    crc_ = 0;
    unsigned char head[F2_BLOCK_HEAD_SIZE];
    PutF2BlockHead(head, &b);
    Emit({head, sizeof head});
    for (unsigned i = 0; i < F2_STREAMS; i++) {
        SpillBuffer& bytes = b.streams[i].method == F2_STORED ? streams_[i] : packed[i];
        bytes.ForEach([&](std::span<const uint8_t> piece) { Emit(piece); });
    }
    unsigned char crc[4];
    PutU32(crc, crc_);
    Emit({crc, sizeof crc});
    for (auto& s : streams_)
        s.Clear();
    blockCount_ = 0;
}

std::vector<uint8_t> Format2Writer::Finish() {
    CloseBlock();
    std::vector<uint8_t> out(F2_HEADER_SIZE);
    F2Header h{F2_REVISION, 0, count_, memory_, F2_HEADER_SIZE + length_};
    PutF2Header(out.data(), &h);
    Append(out, blocks_);
    blocks_ = {};
    return out;
}

}  // namespace mkpatch
