// Builds format-2 containers for tests, with stored streams: records are
// added with their commands spelled out, and Block() closes a block. Each
// call appends what its name says, so a test can also damage any part.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "core/checksum.h"
#include "core/format2.h"

namespace testing_support {

class Format2Builder {
public:
    using Bytes = std::vector<uint8_t>;

    // A whole file.
    Format2Builder& Whole(const std::string& name, const Bytes& content) {
        F2Record r = Head(F2_KIND_WHOLE, name, content);
        Entry(r);
        literal_.insert(literal_.end(), content.begin(), content.end());
        return *this;
    }

    // A delta record of old into neu; the commands follow with Cmd.
    Format2Builder& Delta(const std::string& name, const Bytes& old, const Bytes& neu) {
        F2Record r = Head(F2_KIND_DELTA, name, neu);
        r.oldLength = old.size();
        r.oldCrc = Crc32Update(0, old.data(), old.size());
        Entry(r);
        return *this;
    }

    // One command: the difference bytes (for a diff copy) and the literal
    // bytes it takes from the streams.
    Format2Builder& Cmd(int64_t seek, uint64_t copy, const Bytes& diffs, const Bytes& extra) {
        F2Command c{seek, copy, !diffs.empty(), extra.size()};
        unsigned char bytes[3 * F2_VARINT_MAX];
        control_.insert(control_.end(), bytes, bytes + PutF2Command(bytes, &c));
        diff_.insert(diff_.end(), diffs.begin(), diffs.end());
        literal_.insert(literal_.end(), extra.begin(), extra.end());
        return *this;
    }

    // Raw bytes into the control stream (for malformed commands).
    Format2Builder& ControlBytes(const Bytes& b) {
        control_.insert(control_.end(), b.begin(), b.end());
        return *this;
    }

    // Codes every nonempty stream of the blocks ended from now on with fn,
    // which returns the packed bytes and sets the head's method, properties
    // and dictionary size (an LZMA encoder, for tests that link one).
    using Coder = Bytes (*)(const Bytes& unpacked, F2StreamHead* head);
    Format2Builder& Code(Coder fn, bool table = true) {
        coder_ = fn;
        codeTable_ = table;
        return *this;
    }

    // Ends the block of the records added since the last one.
    Format2Builder& Block() {
        F2BlockHead b{};
        b.count = blockCount_;
        const Bytes* streams[F2_STREAMS] = {&control_, &diff_, &literal_, &table_};
        Bytes packed[F2_STREAMS];
        for (unsigned i = 0; i < F2_STREAMS; i++) {
            b.streams[i] = {F2_STORED, 0, 0, streams[i]->size(), streams[i]->size()};
            bool code = coder_ && !streams[i]->empty() && (codeTable_ || i != F2_TABLE);
            packed[i] = code ? coder_(*streams[i], &b.streams[i]) : *streams[i];
            b.streams[i].packed = packed[i].size();
        }
        memory_ = std::max<uint64_t>(memory_, F2BlockMemory(&b));
        Bytes block(F2_BLOCK_HEAD_SIZE);
        PutF2BlockHead(block.data(), &b);
        for (const Bytes& s : packed)
            block.insert(block.end(), s.begin(), s.end());
        uint32_t crc = Crc32Update(0, block.data(), block.size());
        for (int i = 0; i < 4; i++)
            block.push_back(static_cast<uint8_t>(crc >> (8 * i)));
        blocks_.insert(blocks_.end(), block.begin(), block.end());
        count_ += blockCount_;
        blockCount_ = 0;
        table_.clear();
        control_.clear();
        diff_.clear();
        literal_.clear();
        return *this;
    }

    // The container: header, then the blocks; open leaves count and length 0.
    Bytes Build(bool open = false) const {
        F2Header h{F2_REVISION, open ? unsigned(F2_FLAG_OPEN) : 0u, open ? 0u : count_, uint32_t(memory_),
                   open ? 0u : F2_HEADER_SIZE + blocks_.size()};
        Bytes out(F2_HEADER_SIZE);
        PutF2Header(out.data(), &h);
        out.insert(out.end(), blocks_.begin(), blocks_.end());
        return out;
    }

private:
    F2Record Head(unsigned kind, const std::string& name, const Bytes& neu) {
        names_.push_back(name);
        F2Record r{};
        r.kind = kind;
        r.name = names_.back().c_str();
        r.nameLen = static_cast<uint32_t>(name.size());
        r.newLength = neu.size();
        r.newCrc = Crc32Update(0, neu.data(), neu.size());
        return r;
    }

    void Entry(const F2Record& r) {
        unsigned char bytes[F2_ENTRY_MAX];
        table_.insert(table_.end(), bytes, bytes + PutF2Record(bytes, &r));
        blockCount_++;
    }

    std::vector<std::string> names_{};
    Bytes table_, control_, diff_, literal_, blocks_;
    uint32_t blockCount_ = 0, count_ = 0;
    uint64_t memory_ = 0;  // the largest block's dictionary buffers
    Coder coder_ = nullptr;
    bool codeTable_ = true;
};

}  // namespace testing_support
