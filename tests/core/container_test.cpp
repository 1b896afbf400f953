// The container reader, command streams and the checksum, on bytes in
// memory. Every container is held in a vector of exactly its size, so a
// read past the end is an AddressSanitizer failure in the host build.
#include <gtest/gtest.h>

#include <random>

#include "support/container_builder.h"

using namespace testing_support;

namespace {

// Applies a delta stream in memory through RunCommands.
struct MemOut {
    Bytes old;
    Bytes out;
    int failAfter = -1;  // fail the n-th output call, -1 never
    int calls = 0;
};

int MemWrite(void* ctx, const unsigned char* p, size_t n) {
    auto* m = static_cast<MemOut*>(ctx);
    if (m->calls++ == m->failAfter)
        return 0;
    m->out.insert(m->out.end(), p, p + n);
    return 1;
}

int MemCopy(void* ctx, uint32_t offset, uint32_t length) {
    auto* m = static_cast<MemOut*>(ctx);
    if (m->calls++ == m->failAfter)
        return 0;
    // RunCommands promised the range lies inside the old bytes
    EXPECT_LE((uint64_t)offset + length, m->old.size());
    m->out.insert(m->out.end(), m->old.begin() + offset, m->old.begin() + offset + length);
    return 1;
}

int RunStream(const Bytes& stream, MemOut& m, size_t* consumed = nullptr) {
    PatchCursor cur;
    CursorInit(&cur, stream.data(), stream.size());
    PatchOutput o{MemWrite, MemCopy, &m, m.old.size()};
    int r = RunCommands(&cur, &o);
    if (consumed)
        *consumed = (size_t)(cur.pos - stream.data());
    return r;
}

// The T.DAT record: rebuilds "abcdefghij" as "efghXYab".
const Bytes kTdatRecord = {
    0x04, 0x04, 0x04, 0x0C,                          // old checksum 0x0C040404
    0x3D, 0x3F, 0x06, 0x0A,                          // new checksum 0x0A063F3D
    0x54, 0x2E, 0x44, 0x41, 0x54, 0x00,              // "T.DAT"
    0x01, 0x04, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,  // copy 4 from 4
    0x02, 0x02, 0x00, 0x00, 0x00, 0x58, 0x59,        // insert "XY"
    0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // copy 2 from 0
    0x00};                                           // end

}  // namespace

TEST(XorSum, KnownValues) {
    struct { const char* text; uint32_t sum; } cases[] = {
        {"", 0}, {"a", 0}, {"ab", 0}, {"abc", 0},
        {"abcd", 0x64636261}, {"abcde", 0x64636261},
        {"abcdefgh", 0x0C040404}, {"abcdefghij", 0x0C040404},
        {"efghXYab", 0x0A063F3D},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Sum(B(c.text)), c.sum) << c.text;
}

TEST(XorSum, WordOrderAndTailDoNotCount) {
    EXPECT_EQ(Sum(B("abcdefgh")), Sum(B("efghabcd")));
    EXPECT_EQ(Sum(B("abcdefgh1")), Sum(B("abcdefgh2")));
    EXPECT_NE(Sum(B("abcdefgh")), Sum(B("abcdefgi")));
}

TEST(XorSum, PiecewiseEqualsWhole) {
    std::mt19937 rng(1234);
    for (int round = 0; round < 200; round++) {
        Bytes data(rng() % 300);
        for (auto& b : data) b = (uint8_t)rng();
        XorSumState st;
        XorSumBegin(&st);
        size_t at = 0;
        while (at < data.size()) {
            size_t n = std::min<size_t>(rng() % 9, data.size() - at);
            XorSumAdd(&st, data.data() + at, n);
            at += n;
        }
        ASSERT_EQ(XorSumEnd(&st), Sum(data)) << "round " << round << " seed 1234";
    }
}

TEST(Container, WholeFileWorkedExample) {
    const Bytes c = {0x01, 0x00, 0x00, 0x00,  // count 1, reserved
                     0, 0, 0, 0,              // old checksum
                     0, 0, 0, 0,              // new checksum: 3 bytes sum to 0
                     0x41, 0x2E, 0x54, 0x58, 0x54, 0x00,  // "A.TXT"
                     0x03, 0x03, 0x00, 0x00, 0x00,        // tag, length 3
                     0x61, 0x62, 0x63};
    EXPECT_EQ(ContainerBuilder(1).Whole("A.TXT", B("abc")).bytes(), c);

    PatchCursor cur;
    CursorInit(&cur, c.data(), c.size());
    unsigned count = 99;
    ASSERT_EQ(ReadContainerHeader(&cur, &count), PR_OK);
    EXPECT_EQ(count, 1u);
    PatchRecordHead head;
    ASSERT_EQ(ReadRecordHead(&cur, &head), PR_OK);
    EXPECT_EQ(std::string(head.name, head.nameLen), "A.TXT");
    EXPECT_TRUE(BodyIsWholeFile(&cur));
    const unsigned char* content;
    uint32_t length;
    ASSERT_EQ(ReadWholeFile(&cur, &content, &length), PR_OK);
    EXPECT_EQ(Bytes(content, content + length), B("abc"));
    EXPECT_EQ(CursorLeft(&cur), 0u);
}

TEST(Container, ReservedBytesAreIgnored) {
    for (uint16_t reserved : {0x0000, 0xFFFF, 0x1234}) {
        Bytes c = ContainerBuilder(7, reserved).bytes();
        PatchCursor cur;
        CursorInit(&cur, c.data(), c.size());
        unsigned count;
        ASSERT_EQ(ReadContainerHeader(&cur, &count), PR_OK);
        EXPECT_EQ(count, 7u);
    }
}

TEST(Commands, CopyReadsLengthBeforeOffset) {
    const Bytes body = {0x01, 0x0A, 0, 0, 0, 0, 0, 0, 0, 0x02, 0x02, 0, 0, 0, 0x58, 0x59, 0x00};
    MemOut m;
    m.old = B("0123456789abcdef");
    size_t used;
    ASSERT_EQ(RunStream(body, m, &used), PR_OK);
    EXPECT_EQ(m.out, B("0123456789XY"));
    EXPECT_EQ(used, body.size());
}

TEST(Commands, TdatWorkedExample) {
    PatchCursor cur;
    CursorInit(&cur, kTdatRecord.data(), kTdatRecord.size());
    PatchRecordHead head;
    ASSERT_EQ(ReadRecordHead(&cur, &head), PR_OK);
    EXPECT_EQ(head.oldSum, 0x0C040404u);
    EXPECT_EQ(head.newSum, 0x0A063F3Du);
    EXPECT_FALSE(BodyIsWholeFile(&cur));
    MemOut m;
    m.old = B("abcdefghij");
    PatchOutput o{MemWrite, MemCopy, &m, m.old.size()};
    ASSERT_EQ(RunCommands(&cur, &o), PR_OK);
    EXPECT_EQ(m.out, B("efghXYab"));
    EXPECT_EQ(Sum(m.out), head.newSum);
    EXPECT_EQ(CursorLeft(&cur), 0u);
}

TEST(Commands, EmptyStreamGivesEmptyOutput) {
    MemOut m;
    size_t used;
    EXPECT_EQ(RunStream({0x00}, m, &used), PR_OK);
    EXPECT_TRUE(m.out.empty());
    EXPECT_EQ(used, 1u);
}

TEST(Commands, EveryUndefinedByteIsBadData) {
    for (int op = 3; op < 256; op++) {
        Bytes s = {0x02, 0x01, 0, 0, 0, 'x', (uint8_t)op, 0x00};
        MemOut m;
        EXPECT_EQ(RunStream(s, m), PR_BADDATA) << op;
        PatchCursor cur;
        CursorInit(&cur, s.data(), s.size());
        EXPECT_EQ(SkipCommands(&cur), PR_BADDATA) << op;
    }
}

// A copy outside the old bytes fails the record, reads nothing, and the
// rest of the stream is still walked so the next record can be found.
TEST(Commands, OutOfRangeCopy) {
    struct Case { const char* what; uint32_t len, off; size_t oldSize; } cases[] = {
        {"one past the end", 5, 6, 10},
        {"offset past the end", 1, 10, 10},
        {"32-bit wrap of offset+length", 0x0A, 0xFFFFFFF8u, 10},
        {"huge length", 0xFFFFFFFFu, 0, 10},
        {"empty old file", 1, 0, 0},
    };
    for (const auto& c : cases) {
        Bytes stream = {0x02, 0x01, 0, 0, 0, 'x'};
        stream.push_back(0x01);
        for (uint32_t v : {c.len, c.off})
            for (int k = 0; k < 4; k++) stream.push_back((uint8_t)(v >> (8 * k)));
        stream.insert(stream.end(), {0x02, 0x01, 0, 0, 0, 'y', 0x00, 0xEE});
        MemOut m;
        m.old.assign(c.oldSize, 'o');
        size_t used;
        EXPECT_EQ(RunStream(stream, m, &used), PR_BADRESULT) << c.what;
        EXPECT_EQ(used, stream.size() - 1) << c.what << ": cursor must stand after the end byte";
        EXPECT_EQ(m.out, B("x")) << c.what;

        // an undefined byte after the bad copy still makes it a data error
        stream[stream.size() - 2] = 0x07;
        MemOut m2;
        m2.old.assign(c.oldSize, 'o');
        EXPECT_EQ(RunStream(stream, m2), PR_BADDATA) << c.what;
    }
}

TEST(Commands, CopyToTheLastByteIsInRange) {
    MemOut m;
    m.old = B("0123456789");
    Bytes stream = {0x01, 0x03, 0, 0, 0, 0x07, 0, 0, 0, 0x00};
    EXPECT_EQ(RunStream(stream, m), PR_OK);
    EXPECT_EQ(m.out, B("789"));
}

TEST(Commands, OutputFailureIsNotWrittenAndWalksOn) {
    for (int failAt = 0; failAt < 3; failAt++) {
        MemOut m;
        m.old = B("0123456789");
        m.failAfter = failAt;
        Bytes stream = {0x01, 0x02, 0, 0, 0, 0x00, 0, 0, 0,  // copy
                        0x02, 0x01, 0, 0, 0, 'x',            // insert
                        0x01, 0x02, 0, 0, 0, 0x04, 0, 0, 0,  // copy
                        0x00};
        size_t used;
        EXPECT_EQ(RunStream(stream, m, &used), PR_NOTWRITTEN) << failAt;
        EXPECT_EQ(used, stream.size()) << failAt;
    }
}

// Cutting a record anywhere is a data error and never reads past the cut.
TEST(Truncated, EveryCutOfEveryRecordKind) {
    const Bytes whole = ContainerBuilder::Bare().Whole("DIR\\A.TXT", B("hello world")).bytes();
    const Bytes* records[] = {&kTdatRecord, &whole};
    for (const Bytes* rec : records) {
        for (size_t cut = 0; cut < rec->size(); cut++) {
            Bytes part(rec->begin(), rec->begin() + cut);  // exactly cut bytes
            PatchCursor cur;
            CursorInit(&cur, part.data(), part.size());
            EXPECT_EQ(SkipRecord(&cur), PR_BADDATA) << "cut at " << cut;
        }
        Bytes full = *rec;
        PatchCursor cur;
        CursorInit(&cur, full.data(), full.size());
        EXPECT_EQ(SkipRecord(&cur), PR_OK);
        EXPECT_EQ(CursorLeft(&cur), 0u);
    }
}

TEST(Truncated, HeaderNeedsFourBytes) {
    for (size_t n = 0; n < 4; n++) {
        Bytes c(n, 0);
        PatchCursor cur;
        CursorInit(&cur, c.data(), c.size());
        unsigned count;
        EXPECT_EQ(ReadContainerHeader(&cur, &count), PR_BADDATA) << n;
    }
}

TEST(Truncated, InsertLengthPastTheEnd) {
    // the literal length claims more bytes than the container holds
    Bytes stream = {0x02, 0xFF, 0xFF, 0xFF, 0x7F, 'a', 'b', 0x00};
    MemOut m;
    EXPECT_EQ(RunStream(stream, m), PR_BADDATA);
    EXPECT_TRUE(m.out.empty());
}

TEST(Writer, CommandBytesMatchTheFormat) {
    unsigned char copy[CMD_COPY_SIZE];
    unsigned char ins[CMD_INSERT_HEAD_SIZE];
    EXPECT_EQ(PutCopyCommand(copy, 10, 0x01020304), 9u);
    EXPECT_EQ(Bytes(copy, copy + 9), (Bytes{1, 10, 0, 0, 0, 4, 3, 2, 1}));
    EXPECT_EQ(PutInsertHead(ins, 0x0A0B0C0D), 5u);
    EXPECT_EQ(Bytes(ins, ins + 5), (Bytes{2, 0x0D, 0x0C, 0x0B, 0x0A}));
}
