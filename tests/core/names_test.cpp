// Record names must never reach outside the target folder.
#include <gtest/gtest.h>

#include <string>

#include "core/names.h"
#include "support/hostile_names.h"

namespace {

bool Accepts(const std::string& name) {
    return CheckRecordName(name.data(), name.size(), IsLeadByte936) != 0;
}

}  // namespace

TEST(HostileName, Refused) {
    for (const auto& h : testing_support::HostileNames())
        EXPECT_FALSE(Accepts(h.name)) << "accepted: " << h.label;
}

TEST(HostileName, EveryDeviceRefused) {
    for (const char* n : {"prn", "Con", "nul.txt", "conout$.log", "COM9", "lpt1", "a\\ConOut$"})
        EXPECT_FALSE(Accepts(n)) << "accepted: " << n;
}

TEST(HostileName, PlainNamesAccepted) {
    const char* good[] = {
        "A.TXT", "DATA\\TEXT.DAT", "a/b/c.bin", ".hidden", "a..b", "..a", "a.", "CONFIG.SYS",
        "COM10", "COM", "LPT", "COM0", "LPT0", "COM#", "LPT#", "CONOUT", "PRN1", "consoles.txt", "x\\y\\z\\w.dll",
        "\xd6\xd0\xce\xc4.txt",          // GBK name
        "\x81\x5c",                      // one character whose trail byte is 0x5C
        "\x81\x5c\\b.txt", "dir\\\x81\x5c", "\x81\x5c\x81\x5c",
    };
    for (const auto& n : good)
        EXPECT_TRUE(Accepts(n)) << "refused: " << n;
}

TEST(HostileName, TrailByte5CIsNoSeparatorOnlyInDoubleByteCodePages) {
    // "\x81\\.." is one character then ".." in code page 936 (a name), but
    // a separator and ".." where no byte leads a pair.
    std::string n = "a\x81\\..";
    EXPECT_TRUE(CheckRecordName(n.data(), n.size(), IsLeadByte936));
    EXPECT_FALSE(CheckRecordName(n.data(), n.size(), IsLeadByteNone));
}

TEST(Paths, FolderPartSkipsTrailBytes) {
    struct { std::string path; size_t folder; } cases[] = {
        {"C:\\GAMES\\X\\A.TXT", 11}, {"A.TXT", 0}, {"C:\\D\\", 5},
        {"C:\\\x81\x5c", 3},          // the last 0x5C is a trail byte
        {"C:\\\x81\x5c\\x", 6},
        {"a/b", 2},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FolderPartLength(c.path.data(), c.path.size(), IsLeadByte936), c.folder) << c.path;
}

TEST(Paths, JoinFitsExactlyMaxPathLessOne) {
    char out[PATCH_PATH_MAX];
    std::string folder(250, 'f');
    folder.back() = '\\';
    std::string name9(9, 'n'), name10(10, 'n');
    ASSERT_TRUE(JoinPath(out, folder.c_str(), name9.data(), name9.size()));
    EXPECT_EQ(std::string(out), folder + name9);
    EXPECT_EQ(std::string(out).size(), 259u);
    EXPECT_FALSE(JoinPath(out, folder.c_str(), name10.data(), name10.size()));
    EXPECT_EQ(out[0], 0);
    std::string hugeFolder(300, 'f');
    EXPECT_FALSE(JoinPath(out, hugeFolder.c_str(), "a", 1));
}
