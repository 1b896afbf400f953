// Format 2's fixed parts and records, on containers with stored streams
// held in vectors of exactly their size (a read past the end is an ASan
// failure in the host build).
#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "support/container_builder.h"
#include "support/format2_builder.h"

using namespace testing_support;

namespace {

struct MemSink {
    Bytes old;
    Bytes out;
};

int SinkWrite(void* ctx, const unsigned char* p, size_t n) {
    auto* m = static_cast<MemSink*>(ctx);
    m->out.insert(m->out.end(), p, p + n);
    return 1;
}

int SinkCopy(void* ctx, uint64_t offset, uint64_t n, unsigned char* diffs) {
    auto* m = static_cast<MemSink*>(ctx);
    // F2RunRecord promised the range lies inside the old file
    EXPECT_LE(offset + n, m->old.size());
    for (uint64_t i = 0; i < n; i++)
        m->out.push_back(uint8_t(m->old[offset + i] + (diffs ? diffs[i] : 0)));
    return 1;
}

// Reads a whole container the way the applier does: header, then each
// block's head, CRC and records. olds gives each delta target's old bytes;
// the new files land in outs. Returns the first failure, or PR_OK.
int ReadAll(const Bytes& c, const std::map<std::string, Bytes>& olds, std::map<std::string, Bytes>* outs,
            size_t scratchSize = 3) {
    F2Header h;
    if (F2ReadHeader(c.data(), c.size(), &h) != PR_OK || h.length > c.size())
        return PR_BADDATA;
    uint64_t at = F2_HEADER_SIZE, records = 0;
    while (at < h.length) {
        F2BlockHead b;
        if (F2ReadBlockHead(c.data() + at, h.length - at, &b) != PR_OK)
            return PR_BADDATA;
        if (Crc32Update(0, c.data() + at, b.size - 4) != GetU32(c.data() + at + b.size - 4))
            return PR_BADDATA;
        F2Source src[F2_STREAMS];
        for (unsigned i = 0; i < F2_STREAMS; i++) {
            const unsigned char* p = c.data() + at + b.streamOffset[i];
            LzmaInput in{p, p + b.streams[i].packed, nullptr, nullptr};
            if (F2SourceBegin(&src[i], &b.streams[i], nullptr, nullptr, 0, &in) != PR_OK)
                return PR_BADDATA;
        }
        for (uint32_t k = 0; k < b.count; k++) {
            F2Record r;
            unsigned char entry[F2_ENTRY_MAX];
            if (F2ReadEntry(&src[F2_TABLE], entry, &r) != PR_OK)
                return PR_BADDATA;
            std::string name(r.name, r.nameLen);
            MemSink m;
            if (auto it = olds.find(name); it != olds.end())
                m.old = it->second;
            F2Sink sink{SinkWrite, SinkCopy, &m};
            std::vector<unsigned char> scratch(scratchSize);
            int result = F2RunRecord(src, &r, &sink, scratch.data(), scratch.size());
            if (result != PR_OK)
                return result;
            (*outs)[name] = m.out;
        }
        if (src[0].left || src[1].left || src[2].left || src[3].left)
            return PR_BADDATA;
        records += b.count;
        at += b.size;
    }
    return records == h.count ? PR_OK : PR_BADDATA;
}

const Bytes kOld = B("abcdefghij");

// The worked example of docs/format.md: "abcdefghij" into "efghXYab".
Format2Builder WorkedExample() {
    Format2Builder f;
    f.Delta("T.DAT", kOld, B("efghXYab")).Cmd(4, 4, {}, B("XY")).Cmd(-8, 2, {}, {});
    return f;
}

TEST(Format2, WorkedExampleBytesAndResult) {
    Bytes c = WorkedExample().Block().Build();
    // the control stream as the format's table spells it
    const Bytes control = {0x08, 0x08, 0x02, 0x0F, 0x04, 0x00};
    auto found = std::search(c.begin(), c.end(), control.begin(), control.end());
    EXPECT_NE(found, c.end());
    // and its table entry: kind, flags, name, new length and CRC-32, old length and CRC-32
    const Bytes entry = {0x02, 0x00, 0x05, 0x00, 'T', '.', 'D', 'A', 'T',  //
                         8, 0, 0, 0, 0, 0, 0, 0, 0xE7, 0x63, 0x72, 0x1B,     //
                         10, 0, 0, 0, 0, 0, 0, 0, 0x3A, 0x70, 0x81, 0x39};
    ASSERT_GE(c.size(), entry.size() + 4);
    EXPECT_TRUE(std::equal(entry.begin(), entry.end(), c.end() - 4 - entry.size()));
    EXPECT_TRUE(IsFormat2(c.data(), c.size()));
    std::map<std::string, Bytes> outs;
    for (size_t scratch : {1, 3, 64})
        ASSERT_EQ(ReadAll(c, {{"T.DAT", kOld}}, &outs, scratch), PR_OK) << scratch;
    EXPECT_EQ(outs["T.DAT"], B("efghXYab"));
}

TEST(Format2, DiffCopiesWholeFilesAndBlocks) {
    Format2Builder f;
    f.Whole("new.txt", B("hello")).Block();
    // each new byte is old + difference, wrapping at 256
    f.Delta("d.bin", {0x10, 0xFF, 0x20}, {0x11, 0x00, 0x20}).Cmd(0, 3, {0x01, 0x01, 0x00}, {});
    f.Whole("empty", {}).Block();
    std::map<std::string, Bytes> outs;
    ASSERT_EQ(ReadAll(f.Build(), {{"d.bin", {0x10, 0xFF, 0x20}}}, &outs), PR_OK);
    EXPECT_EQ(outs["new.txt"], B("hello"));
    EXPECT_EQ(outs["d.bin"], (Bytes{0x11, 0x00, 0x20}));
    EXPECT_TRUE(outs["empty"].empty());
}

TEST(Format2, VarintsAndZigZagRoundTrip) {
    for (int64_t v : {int64_t{0}, int64_t{-1}, int64_t{63}, int64_t{-64}, int64_t{1} << 40, INT64_MAX, INT64_MIN}) {
        EXPECT_EQ(UnZigZag(ZigZag(v)), v);
        unsigned char b[F2_VARINT_MAX];
        size_t n = PutVarint(b, ZigZag(v));
        Bytes control(b, b + n);
        control.push_back(0);
        control.push_back(0);
        F2StreamHead head{F2_STORED, 0, 0, control.size(), control.size()};
        LzmaInput in{control.data(), control.data() + control.size(), nullptr, nullptr};
        F2Source s;
        ASSERT_EQ(F2SourceBegin(&s, &head, nullptr, nullptr, 0, &in), PR_OK);
        F2Command c;
        ASSERT_EQ(F2ReadCommand(&s, &c), PR_OK);
        EXPECT_EQ(c.seek, v);
    }
}

// Each case damages the worked example in one way; every one is a data
// error, and none reads outside its vector.
struct Damage {
    const char* what;
    std::function<Bytes()> make;
};

Bytes WithControl(const Bytes& control) {
    Format2Builder f;
    f.Delta("T.DAT", kOld, B("efghXYab")).ControlBytes(control);
    return f.Block().Build();
}

Bytes Flip(size_t at) {
    Bytes c = WorkedExample().Block().Build();
    c[at] ^= 0x40;
    return c;
}

TEST(Format2, DamageIsDataError) {
    const Damage cases[] = {
        {"header CRC", [] { return Flip(9); }},
        {"block tag", [] { return Flip(F2_HEADER_SIZE); }},
        {"block CRC", [] { return Flip(F2_HEADER_SIZE + F2_BLOCK_HEAD_SIZE + 2); }},
        {"cut short", [] { Bytes c = WorkedExample().Block().Build(); c.resize(c.size() - 1); return c; }},
        {"seek before the start", [] { return WithControl({0x01, 0x08, 0x02}); }},
        {"seek past the end", [] { return WithControl({0x16, 0x00, 0x00}); }},
        {"seek back one past the start", [] { return WithControl({0x08, 0x08, 0x00, 0x11, 0x08, 0x00}); }},
        {"copy past the old file", [] { return WithControl({0x0C, 0x10, 0x00}); }},
        {"extra past the new length", [] { return WithControl({0x00, 0x00, 0x09}); }},
        {"varint of eleven bytes", [] { return WithControl(Bytes(10, 0x80)); }},
        {"commands run out", [] { return WithControl({0x08, 0x08}); }},
        {"records fewer than the count", [] {
             Bytes c = WorkedExample().Block().Build();
             c[8] = 2;  // the count, then a header CRC that holds again
             PutU32(c.data() + 28, Crc32Update(0, c.data(), 28));
             return c;
         }},
        {"revision 2", [] {
             Bytes c = WorkedExample().Block().Build();
             c[4] = 2;  // the revision, then a header CRC that holds again
             PutU32(c.data() + 28, Crc32Update(0, c.data(), 28));
             return c;
         }},
        {"stream bytes left over", [] {
             Format2Builder f;
             f.Whole("a", B("x")).ControlBytes({0x00});
             return f.Block().Build();
         }},
    };
    for (const Damage& d : cases) {
        std::map<std::string, Bytes> outs;
        EXPECT_EQ(ReadAll(d.make(), {{"T.DAT", kOld}}, &outs), PR_BADDATA) << d.what;
    }
}

TEST(Format2, HeaderAndBlockHeadChecks) {
    F2Header h{F2_REVISION, 0, 1, F2_MEMORY_MAX + 1, 100};
    unsigned char bytes[F2_HEADER_SIZE];
    PutF2Header(bytes, &h);
    F2Header back;
    EXPECT_EQ(F2ReadHeader(bytes, sizeof bytes, &back), PR_BADDATA) << "memory above 64 MiB";
    h.memory = 0;
    h.flags = F2_FLAG_OPEN;
    PutF2Header(bytes, &h);
    EXPECT_EQ(F2ReadHeader(bytes, sizeof bytes, &back), PR_BADDATA) << "open with a count";
    EXPECT_FALSE(IsFormat2(bytes, sizeof bytes - 1));

    F2BlockHead b{};
    b.count = 1;
    b.streams[1] = {F2_LZMA, 2 * 9 + 3, 1 << 20, 10, 100};  // lc 3, lp 2
    unsigned char head[F2_BLOCK_HEAD_SIZE + 200] = {};
    PutF2BlockHead(head, &b);
    F2BlockHead read;
    EXPECT_EQ(F2ReadBlockHead(head, sizeof head, &read), PR_BADDATA) << "lc + lp above 4";
    b.streams[1].props = 2 * 45 + 0 * 9 + 3;
    PutF2BlockHead(head, &b);
    ASSERT_EQ(F2ReadBlockHead(head, sizeof head, &read), PR_OK);
    EXPECT_EQ(F2BlockMemory(&read), 100u) << "a dictionary larger than the stream needs only the stream";
    EXPECT_EQ(F2ReadBlockHead(head, F2_BLOCK_HEAD_SIZE + 13, &read), PR_BADDATA) << "block past the end";
}

}  // namespace
