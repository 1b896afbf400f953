// Builds containers byte by byte for tests. Kept deliberately plain: each
// call appends exactly the bytes its name says, so a test reads like the
// format's own byte tables.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/format.h"
#include "core/checksum.h"
#include "core/trailer.h"

namespace testing_support {

using Bytes = std::vector<uint8_t>;

inline Bytes B(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

inline uint32_t Sum(const Bytes& b) {
    return XorSum(b.data(), b.size());
}

class ContainerBuilder {
public:
    explicit ContainerBuilder(uint16_t count, uint16_t reserved = 0) : header_(true) {
        U16(count);
        U16(reserved);
    }

    // No container header: a bare command stream, or records to be put
    // into a container with Raw.
    static ContainerBuilder Bare() { return ContainerBuilder(); }

    // Writes the record count into the header, for builders that count
    // their records as they add them.
    ContainerBuilder& Count(uint16_t count) {
        if (!header_)
            throw std::logic_error("ContainerBuilder::Count on a builder without a header");
        PutU16(bytes_.data(), count);
        return *this;
    }

    ContainerBuilder& U8(uint8_t v) { bytes_.push_back(v); return *this; }
    ContainerBuilder& U16(uint16_t v) { U8(v & 0xFF); return U8(v >> 8); }
    ContainerBuilder& U32(uint32_t v) { U16(v & 0xFFFF); return U16(v >> 16); }
    ContainerBuilder& Raw(const Bytes& b) { bytes_.insert(bytes_.end(), b.begin(), b.end()); return *this; }

    // Record head: both checksums, the name and its 0 byte.
    ContainerBuilder& Head(uint32_t oldSum, uint32_t newSum, const std::string& name) {
        U32(oldSum).U32(newSum);
        Raw(B(name));
        return U8(0);
    }

    // A complete whole-file record.
    ContainerBuilder& Whole(const std::string& name, const Bytes& content) {
        Head(0, Sum(content), name);
        U8(REC_WHOLEFILE).U32((uint32_t)content.size());
        return Raw(content);
    }

    // A delta record's head; follow with Copy/Insert and End.
    ContainerBuilder& Delta(uint32_t oldSum, uint32_t newSum, const std::string& name) {
        return Head(oldSum, newSum, name);
    }
    ContainerBuilder& Copy(uint32_t length, uint32_t offset) {
        return U8(CMD_COPY).U32(length).U32(offset);
    }
    ContainerBuilder& Insert(const Bytes& literal) {
        U8(CMD_INSERT).U32((uint32_t)literal.size());
        return Raw(literal);
    }
    ContainerBuilder& End() { return U8(CMD_END); }

    // The integrity trailer after the last record: one entry per record,
    // then the tail with the CRC-32 of every byte so far.
    ContainerBuilder& Trailer(const std::vector<TrailerEntry>& entries) {
        uint32_t crc = Crc32Update(0, bytes_.data(), bytes_.size());
        unsigned char buf[TRAILER_ENTRY_SIZE > TRAILER_TAIL_SIZE ? TRAILER_ENTRY_SIZE : TRAILER_TAIL_SIZE];
        for (const TrailerEntry& e : entries)
            bytes_.insert(bytes_.end(), buf, buf + PutTrailerEntry(buf, &e));
        bytes_.insert(bytes_.end(), buf, buf + PutTrailerTail(buf, crc, (unsigned)entries.size()));
        return *this;
    }

    const Bytes& bytes() const { return bytes_; }
    size_t size() const { return bytes_.size(); }

private:
    ContainerBuilder() = default;

    Bytes bytes_;
    bool header_ = false;
};

}  // namespace testing_support
