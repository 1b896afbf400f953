// CRC-32, the integrity trailer found from the end, and the place of a
// signature's certificate table in a PE header.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "core/pe.h"
#include "support/container_builder.h"

using namespace testing_support;

namespace {

uint32_t Crc(const Bytes& b) {
    return Crc32Update(0, b.data(), b.size());
}

TEST(Crc32, KnownValuesAndPieces) {
    EXPECT_EQ(Crc(B("")), 0u);
    EXPECT_EQ(Crc(B("a")), 0xE8B7BE43u);
    EXPECT_EQ(Crc(B("123456789")), 0xCBF43926u);
    EXPECT_EQ(Crc(B("The quick brown fox jumps over the lazy dog")), 0x414FA339u);
    // any split into pieces, small (bytes at a time) or large (blocks
    // folded), at any alignment, gives the whole CRC
    std::mt19937 rng(77);
    Bytes data(5000);
    for (auto& b : data)
        b = (uint8_t)rng();
    uint32_t whole = Crc(data);
    for (int round = 0; round < 200; round++) {
        uint32_t crc = 0;
        for (size_t at = 0; at < data.size();) {
            size_t n = std::min<size_t>(data.size() - at, rng() % (round % 2 ? 23 : 700));
            crc = Crc32Update(crc, data.data() + at, n);
            at += n;
        }
        ASSERT_EQ(crc, whole) << "round " << round << " seed 77";
    }
    // every length around the block sizes, at every alignment, against the
    // CRC taken bit by bit
    auto bitwise = [](const uint8_t* p, size_t n) {
        uint32_t c = 0xFFFFFFFF;
        while (n--) {
            c ^= *p++;
            for (int k = 0; k < 8; k++)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        }
        return ~c;
    };
    for (size_t len = 0; len <= 300; len++)
        for (size_t at = 0; at < 16; at++)
            ASSERT_EQ(Crc32Update(0, data.data() + at, len), bitwise(data.data() + at, len)) << len << " at " << at;
    for (size_t len : {1024u, 4095u, 4096u, 4097u, 4984u})
        ASSERT_EQ(Crc32Update(0, data.data() + 3, len), bitwise(data.data() + 3, len)) << len;
    // what the XOR sum cannot see, the CRC does
    EXPECT_NE(Crc(B("abcdefgh")), Crc(B("efghabcd")));
    EXPECT_NE(Crc(B("abcde")), Crc(B("abcdf")));
}

// One delta and one whole-file record, as the reader walks them.
struct Sample {
    Bytes bytes;
    size_t recordsEnd;
};

Sample TwoRecords() {
    ContainerBuilder c(2);
    c.Delta(1, 2, "a.dat").Copy(4, 0).End();
    c.Whole("b.txt", B("hello"));
    return {c.bytes(), c.size()};
}

TEST(Trailer, FoundWithEntriesInOrder) {
    Sample s = TwoRecords();
    Bytes bytes = s.bytes;
    TrailerEntry e1 = {4, 0x11111111, 10, 0x22222222}, e2 = {5, 0x33333333, 0, 0};
    ContainerBuilder t = ContainerBuilder(2);
    // rebuild the same bytes through the builder so that the CRC is its own
    t.Delta(1, 2, "a.dat").Copy(4, 0).End().Whole("b.txt", B("hello")).Trailer({e1, e2});
    PatchTrailer tr;
    ASSERT_EQ(FindTrailer(t.bytes().data(), t.size(), s.recordsEnd, 2, &tr), TRAILER_FOUND);
    EXPECT_EQ(tr.start, s.recordsEnd);
    EXPECT_EQ(tr.containerCrc, Crc(bytes));
    TrailerEntry got;
    GetTrailerEntry(&tr, 1, &got);
    EXPECT_EQ(got.newLength, 5u);
    EXPECT_EQ(got.newCrc, 0x33333333u);
    GetTrailerEntry(&tr, 0, &got);
    EXPECT_EQ(got.oldLength, 10u);
    EXPECT_EQ(got.oldCrc, 0x22222222u);
    // a signature's zero padding after the tag is passed over
    for (int pad = 1; pad <= TRAILER_MAX_PAD; pad++) {
        Bytes padded = t.bytes();
        padded.resize(padded.size() + pad, 0);
        EXPECT_EQ(FindTrailer(padded.data(), padded.size(), s.recordsEnd, 2, &tr), TRAILER_FOUND) << pad;
    }
}

// Each row changes the trailer of TwoRecords and says what the reader must
// make of it.
TEST(Trailer, NoneOrBad) {
    Sample s = TwoRecords();
    Bytes good = ContainerBuilder(2)
                     .Delta(1, 2, "a.dat").Copy(4, 0).End()
                     .Whole("b.txt", B("hello"))
                     .Trailer({{4, 1, 10, 2}, {5, 3, 0, 0}})
                     .bytes();
    size_t tail = good.size() - TRAILER_TAIL_SIZE;
    struct Row {
        const char* what;
        std::function<void(Bytes&, unsigned&)> change;
        int expect;
    } rows[] = {
        {"bare: records fill the bytes", [&](Bytes& b, unsigned&) { b = s.bytes; }, TRAILER_NONE},
        {"bare with free bytes after the records", [&](Bytes& b, unsigned&) { b = s.bytes; b.push_back('x'); },
         TRAILER_NONE},
        {"tag flipped", [&](Bytes& b, unsigned&) { b.back() ^= 1; }, TRAILER_NONE},
        {"eight zero bytes of padding", [&](Bytes& b, unsigned&) { b.resize(b.size() + 8, 0); }, TRAILER_NONE},
        {"length one short", [&](Bytes& b, unsigned&) { b[tail + 8]--; }, TRAILER_BAD},
        {"length past the records' start", [&](Bytes& b, unsigned&) { b[tail + 8] += 16; }, TRAILER_BAD},
        {"huge length", [&](Bytes& b, unsigned&) { b[tail + 11] = 0xFF; }, TRAILER_BAD},
        {"unknown version", [&](Bytes& b, unsigned&) { b[tail + 4] = 2; }, TRAILER_BAD},
        {"reserved not 0", [&](Bytes& b, unsigned&) { b[tail + 6] = 1; }, TRAILER_BAD},
        {"one record more than entries", [&](Bytes&, unsigned& n) { n = 3; }, TRAILER_BAD},
        {"tail only, cut", [&](Bytes& b, unsigned&) { b.erase(b.begin() + s.recordsEnd, b.end() - 12); },
         TRAILER_BAD},
    };
    for (const Row& r : rows) {
        Bytes b = good;
        unsigned count = 2;
        r.change(b, count);
        PatchTrailer tr;
        EXPECT_EQ(FindTrailer(b.data(), b.size(), s.recordsEnd, count, &tr), r.expect) << r.what;
    }
}

// A minimal PE header: "MZ", e_lfanew, "PE\0\0", a file header and an
// optional header whose data directory 4 is the certificate table.
Bytes PeWithSecurity(bool plus, uint32_t at, uint32_t length, size_t fileSize, uint32_t dirs = 16) {
    Bytes f(fileSize, 0);
    f[0] = 'M';
    f[1] = 'Z';
    const size_t pe = 0x80;
    PutU32(&f[0x3C], pe);
    memcpy(&f[pe], "PE\0\0", 4);
    size_t opt = pe + 24;
    PutU16(&f[opt], plus ? 0x20B : 0x10B);
    size_t count = opt + (plus ? 108 : 92);
    PutU32(&f[count], dirs);
    PutU32(&f[count + 4 + 4 * 8], at);
    PutU32(&f[count + 4 + 4 * 8 + 4], length);
    return f;
}

// Where the table starts, and where its directory entry is (what a copy of
// the program's leading bytes zeroes): 280 on PE32, 296 on PE32+.
TEST(PeSignature, StartOfTheCertificateTable) {
    struct Row {
        const char* what;
        Bytes file;
        size_t expect;
        size_t entry;
    } rows[] = {
        {"PE32, table at the end", PeWithSecurity(false, 1000, 24, 1024), 1000, 280},
        {"PE32+, table at the end", PeWithSecurity(true, 1000, 24, 1024), 1000, 296},
        {"no table", PeWithSecurity(false, 0, 0, 1024), 1024, 280},
        {"table past the end", PeWithSecurity(false, 1000, 100, 1024), 1024, 280},
        {"table start past the end", PeWithSecurity(false, 5000, 1, 1024), 1024, 280},
        {"too few directories", PeWithSecurity(false, 1000, 24, 1024, 4), 1024, 0},
        {"not MZ", [] { Bytes f = PeWithSecurity(false, 1000, 24, 1024); f[0] = 'X'; return f; }(), 1024, 0},
        {"e_lfanew past the end", [] { Bytes f = PeWithSecurity(false, 1000, 24, 1024); PutU32(&f[0x3C], 0xFFFFFFF0u); return f; }(), 1024, 0},
        {"cut inside the entry", [] { Bytes f = PeWithSecurity(false, 1000, 24, 1024); f.resize(287); return f; }(), 287, 0},
        {"too short for a header", Bytes{'M', 'Z'}, 2, 0},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(PeSignatureStart(r.file.data(), r.file.size()), r.expect) << r.what;
        EXPECT_EQ(PeSecurityEntry(r.file.data(), r.file.size()), r.entry) << r.what;
        // the same from the headers alone, as a format-2 patch maps them
        EXPECT_EQ(PeCertificateStart(r.file.data(), std::min<size_t>(r.file.size(), 512), r.file.size()), r.expect)
            << r.what;
    }
    // a table past the bytes at hand, inside a file larger than 4 GiB
    EXPECT_EQ(PeCertificateStart(PeWithSecurity(false, 5000, 1, 1024).data(), 1024, uint64_t(1) << 33), 5000u);
}

}  // namespace
