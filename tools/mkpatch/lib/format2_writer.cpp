#include "format2_writer.h"

#include <algorithm>
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

void AppendU32(std::vector<uint8_t>& to, uint32_t v) {
    unsigned char b[4];
    PutU32(b, v);
    to.insert(to.end(), b, b + 4);
}

F2Record Head(unsigned kind, const std::string& name, std::span<const uint8_t> neu) {
    F2Record r{};
    r.kind = kind;
    r.name = name.data();
    r.nameLen = static_cast<uint32_t>(name.size());
    r.newLength = neu.size();
    r.newSum = XorSum(neu.data(), neu.size());
    r.newCrc = Crc32Update(0, neu.data(), neu.size());
    return r;
}

}  // namespace

CodedStream CodeStream(std::span<const uint8_t> bytes, const StreamCoding& coding, uint32_t dictSize,
                       bool compress) {
    CodedStream s;
    // the encoder takes less than 4 GiB at a time; a larger stream, of a
    // record that has a block of its own, is stored
    if (compress && !bytes.empty() && bytes.size() < (uint64_t{1} << 32)) {
        LzmaOptions o;
        o.lc = coding.lc;
        o.lp = coding.lp;
        o.pb = coding.pb;
        o.dictSize = dictSize;
        s.packed = LzmaEncode(bytes, o);
        if (s.packed.size() < bytes.size()) {
            s.head = {F2_LZMA, LzmaPropsByte(o), dictSize, s.packed.size(), bytes.size()};
            return s;
        }
    }
    s.head = {F2_STORED, 0, 0, bytes.size(), bytes.size()};
    s.packed.assign(bytes.begin(), bytes.end());
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

void Format2Writer::AddWhole(const std::string& name, std::span<const uint8_t> content) {
    Pending p;
    F2Record r = Head(F2_KIND_WHOLE, name, content);
    Append(p.streams[F2_LITERAL], content);
    Add(r, p);
}

void Format2Writer::AddDelta(const std::string& name, std::span<const uint8_t> old, std::span<const uint8_t> neu,
                             const EncodeProgress& onProgress) {
    Pending p;
    F2Record r = Head(F2_KIND_DELTA, name, neu);
    r.oldLength = old.size();
    r.oldSum = XorSum(old.data(), old.size());
    r.oldCrc = Crc32Update(0, old.data(), old.size());
    uint64_t oldAt = 0, newAt = 0;
    for (const DiffCommand& c : PlanDiff(old, neu, opts_.plan, onProgress)) {
        F2Command cmd{static_cast<int64_t>(c.oldPos - oldAt), c.copy, c.diff, c.extra};
        unsigned char bytes[3 * F2_VARINT_MAX];
        p.streams[F2_CONTROL].insert(p.streams[F2_CONTROL].end(), bytes, bytes + PutF2Command(bytes, &cmd));
        if (c.diff) {
            for (uint64_t i = 0; i < c.copy; i++)
                p.streams[F2_DIFF].push_back(static_cast<uint8_t>(neu[newAt + i] - old[c.oldPos + i]));
        }
        Append(p.streams[F2_LITERAL], neu.subspan(newAt + c.copy, c.extra));
        oldAt = c.oldPos + c.copy;
        newAt += c.copy + c.extra;
    }
    Add(r, p);
}

void Format2Writer::AddLargeDelta(const std::string& name, const fs::path& oldPath, const fs::path& newPath,
                                  const std::vector<LargeCopy>& copies) {
    Pending p;
    F2Record r{};
    r.kind = F2_KIND_DELTA;
    r.name = name.data();
    r.nameLen = static_cast<uint32_t>(name.size());
    FileSums old = SumFile(oldPath);
    r.oldLength = old.length;
    r.oldSum = old.sum;
    r.oldCrc = old.crc;
    // The literals are the new bytes outside every copy: [gap start, next
    // copy) for each copy in order, and after the last.
    size_t next = 0;
    FileSums neu = SumFile(newPath, [&](uint64_t at, std::span<const uint8_t> piece) {
        uint64_t end = at + piece.size();
        while (at < end) {
            uint64_t stop = next < copies.size() ? copies[next].at : UINT64_MAX;
            if (at < stop) {
                uint64_t n = std::min(stop, end) - at;
                Append(p.streams[F2_LITERAL], piece.subspan(static_cast<size_t>(at - (end - piece.size())), static_cast<size_t>(n)));
                at += n;
            } else {
                at = std::min(end, copies[next].at + copies[next].length);
                if (at == copies[next].at + copies[next].length)
                    next++;
            }
        }
    });
    r.newLength = neu.length;
    r.newSum = neu.sum;
    r.newCrc = neu.crc;
    // one command per copy, the literals before it in a first command
    uint64_t oldAt = 0, newAt = 0;
    auto emit = [&](uint64_t oldPos, uint64_t copy, uint64_t extra) {
        F2Command cmd{static_cast<int64_t>(oldPos - oldAt), copy, 0, extra};
        unsigned char bytes[3 * F2_VARINT_MAX];
        p.streams[F2_CONTROL].insert(p.streams[F2_CONTROL].end(), bytes, bytes + PutF2Command(bytes, &cmd));
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
    p.streams[F2_TABLE].assign(entry, entry + PutF2Record(entry, &r));
    uint64_t have = 0, adds = 0;
    for (unsigned i = 0; i < F2_STREAMS; i++) {
        have += streams_[i].size();
        adds += p.streams[i].size();
    }
    if (blockCount_ > 0 && adds > opts_.blockBytes - std::min(have, opts_.blockBytes))
        CloseBlock();
    for (unsigned i = 0; i < F2_STREAMS; i++)
        Append(streams_[i], p.streams[i]);
    blockCount_++;
    count_++;
}

void Format2Writer::CloseBlock() {
    if (blockCount_ == 0)
        return;
    uint64_t unpacked[F2_STREAMS];
    uint32_t dict[F2_STREAMS];
    for (unsigned i = 0; i < F2_STREAMS; i++)
        unpacked[i] = streams_[i].size();
    ChooseDictionaries(unpacked, dict);
    CodedStream coded[F2_STREAMS];
    F2BlockHead b{};
    b.count = blockCount_;
    for (unsigned i = 0; i < F2_STREAMS; i++) {
        coded[i] = CodeStream(streams_[i], opts_.coding[i], dict[i], opts_.compress);
        b.streams[i] = coded[i].head;
    }
    memory_ = std::max(memory_, static_cast<uint32_t>(F2BlockMemory(&b)));
    size_t start = blocks_.size();
    blocks_.resize(start + F2_BLOCK_HEAD_SIZE);
    PutF2BlockHead(blocks_.data() + start, &b);
    for (const CodedStream& c : coded)
        Append(blocks_, c.packed);
    AppendU32(blocks_, Crc32Update(0, blocks_.data() + start, blocks_.size() - start));
    for (auto& s : streams_)
        s.clear();
    blockCount_ = 0;
}

std::vector<uint8_t> Format2Writer::Finish() {
    CloseBlock();
    std::vector<uint8_t> out(F2_HEADER_SIZE);
    F2Header h{F2_REVISION, 0, count_, memory_, F2_HEADER_SIZE + blocks_.size()};
    PutF2Header(out.data(), &h);
    Append(out, blocks_);
    blocks_ = {};
    return out;
}

}  // namespace mkpatch
