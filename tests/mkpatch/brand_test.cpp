// The resource writer and the branding it carries: trees read back as they
// were meant, the program's header kept consistent with its grown resource
// section, and, on Windows, the same resources as the system's own
// resource and version functions read them.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "tools/mkpatch/lib/branding.h"
#include "tools/mkpatch/lib/error.h"
#include "tools/mkpatch/lib/patch_reader.h"
#include "tools/mkpatch/lib/pe_resources.h"
#include "tree.h"

#ifdef _WIN32
#include <windows.h>

#include <imagehlp.h>
#endif

namespace {

using mkpatch::Resource;
using mkpatch::ResourceKey;
using tree::Bytes;
using tree::S;
namespace fs = std::filesystem;

auto Sorted(std::vector<Resource> all) {
    std::vector<std::tuple<ResourceKey, ResourceKey, uint16_t, uint32_t, Bytes>> out;
    for (Resource& r : all)
        out.emplace_back(r.type, r.name, r.language, r.codePage, r.data);
    std::sort(out.begin(), out.end());
    return out;
}

ResourceKey Named(const char16_t* s) {
    return {true, 0, s};
}

// A resource directory as a compiler lays one out, by hand: a named type
// "AB" with resource 7 in English (US), and type 3 with resource 1 in
// Chinese (PRC), for a section at 0x2000.
Bytes HandLaidDirectory() {
    Bytes d(0xB5, 0);
    auto u16 = [&](size_t at, uint16_t v) { PutU16(d.data() + at, v); };
    auto u32 = [&](size_t at, uint32_t v) { PutU32(d.data() + at, v); };
    u16(0x0C, 1), u16(0x0E, 1);                        // root: one named, one numbered type
    u32(0x10, 0x800000A0), u32(0x14, 0x80000020);      //   "AB" -> its name table
    u32(0x18, 3), u32(0x1C, 0x80000038);               //   3 -> its name table
    u16(0x2E, 1), u32(0x30, 7), u32(0x34, 0x80000050); // "AB": name 7 -> language table
    u16(0x46, 1), u32(0x48, 1), u32(0x4C, 0x80000068); // 3: name 1 -> language table
    u16(0x5E, 1), u32(0x60, 0x409), u32(0x64, 0x80);   // language 0x409 -> data entry
    u16(0x76, 1), u32(0x78, 0x804), u32(0x7C, 0x90);   // language 0x804 -> data entry
    u32(0x80, 0x20A8), u32(0x84, 3);                   // "xyz" at 0xA8
    u32(0x90, 0x20B0), u32(0x94, 5), u32(0x98, 936);   // "hello" at 0xB0, code page 936
    u16(0xA0, 2), u16(0xA2, 'A'), u16(0xA4, 'B');      // the type's name
    std::copy_n("xyz", 3, d.begin() + 0xA8);
    std::copy_n("hello", 5, d.begin() + 0xB0);
    return d;
}

TEST(PeResources, ReadsAHandLaidDirectory) {
    auto all = mkpatch::ReadResources(tree::ResourceApplier(HandLaidDirectory()), "t");
    std::vector<Resource> expected = {
        {Named(u"AB"), ResourceKey::Id(7), 0x409, 0, {'x', 'y', 'z'}},
        {ResourceKey::Id(3), ResourceKey::Id(1), 0x804, 936, {'h', 'e', 'l', 'l', 'o'}},
    };
    EXPECT_EQ(Sorted(all), Sorted(expected));
}

// Trees of several shapes written into the applier and read back; the
// header follows the section's new size and the mark its new end.
TEST(PeResources, RewrittenTreeReadsBackAndHeaderFollows) {
    std::vector<Resource> big = {
        {ResourceKey::Id(10), ResourceKey::Id(200), 0x804, 0, Bytes(70000, 0x5A)},
        {ResourceKey::Id(3), ResourceKey::Id(9), 0x804, 0, Bytes(1, 1)},
        {ResourceKey::Id(3), ResourceKey::Id(9), 0x409, 0, Bytes(3, 2)},
        {ResourceKey::Id(3), ResourceKey::Id(2), 0x804, 0, Bytes()},
        {Named(u"ZED"), Named(u"\u4E2D\u6587"), 0, 1252, Bytes(13, 3)},
        {Named(u"AB"), Named(u"Z"), 0, 0, Bytes(7, 4)},
        {Named(u"AB"), ResourceKey::Id(1), 0, 0, Bytes(2, 5)},
    };
    struct Case {
        const char* what;
        std::vector<Resource> tree;
        uint32_t checksum;
    } cases[] = {
        {"empty", {}, 0},
        {"the hand-laid tree again", mkpatch::ReadResources(tree::ResourceApplier(HandLaidDirectory()), "t"), 7},
        {"named and numbered, several languages, 70 KB", big, 0x1234},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes in = tree::ResourceApplier(HandLaidDirectory(), c.checksum);
        Bytes out = mkpatch::ReplaceResources(in, c.tree, "t");
        EXPECT_EQ(Sorted(mkpatch::ReadResources(out, "t")), Sorted(c.tree));
        // the file ends on the file alignment, where the mark says
        EXPECT_EQ(out.size() % 0x200, 0u);
        EXPECT_EQ(mkpatch::FindContainerOffset(out, "t"), static_cast<int64_t>(out.size()));
        const uint8_t* opt = out.data() + 0x58;
        const uint8_t* rsrc = opt + 224 + 40;
        uint32_t virtualSize = GetU32(rsrc + 8), rawSize = GetU32(rsrc + 16);
        EXPECT_EQ(0x400 + rawSize, out.size());
        EXPECT_GE(rawSize, virtualSize);
        EXPECT_LT(rawSize - virtualSize, 0x200u);
        EXPECT_EQ(GetU32(opt + 96 + 20), virtualSize);                        // directory size
        EXPECT_EQ(GetU32(opt + 56), 0x2000 + (virtualSize + 0xFFF) / 0x1000 * 0x1000);  // image
        EXPECT_EQ(GetU32(opt + 8), rawSize);                                  // initialized data
        EXPECT_EQ(GetU32(opt + 64), c.checksum ? mkpatch::PeChecksum(out) : 0u);
        // nothing before the resource section moved but those fields
        Bytes before(out.begin(), out.begin() + 0x400), was(in.begin(), in.begin() + 0x400);
        for (size_t at : {0x58 + 8, 0x58 + 56, 0x58 + 64, 0x58 + 116, 0x58 + 224 + 48,
                          0x58 + 224 + 56, 512 + STUB_MARK_SIZE})
            for (size_t k = 0; k < 4; k++)
                before[at + k] = was[at + k];
        EXPECT_EQ(before, was);
        // a second rewrite of the rewritten file gives the same bytes
        EXPECT_EQ(mkpatch::ReplaceResources(out, c.tree, "t"), out);
    }
}

// Images the writer must refuse rather than damage.
TEST(PeResources, RefusesWhatItCannotRewrite) {
    auto good = [] { return tree::ResourceApplier(HandLaidDirectory()); };
    struct Case {
        const char* what;
        std::function<void(Bytes&)> change;
        const char* message;
    } cases[] = {
        {"no MZ", [](Bytes& b) { b[0] = 'X'; }, "no MZ header"},
        {"bytes after the last section", [](Bytes& b) { b.push_back(0); }, "bytes after it would be lost"},
        {"alignment of 1 GiB", [](Bytes& b) { PutU32(b.data() + 0x58 + 36, 0x40000000); },
         "alignments are not ones the format allows"},
        {"signed", [](Bytes& b) { PutU32(b.data() + 0x58 + 96 + 32, 0x600); }, "is signed"},
        {"resources not last", [](Bytes& b) { PutU32(b.data() + 0x58 + 224 + 12, 0x3000); },
         "not the last section"},
        {"a table pointing past the section", [](Bytes& b) { PutU32(b.data() + 0x400 + 0x14, 0x80001000); },
         "runs past the end"},
        {"data where a table belongs", [](Bytes& b) { PutU32(b.data() + 0x400 + 0x14, 0x80); },
         "does not nest"},
        {"one resource listed twice", [](Bytes& b) {  // the first type made a second type 3
             PutU32(b.data() + 0x400 + 0x10, 3);
             PutU32(b.data() + 0x400 + 0x14, 0x80000038);
         },
         "lists one resource twice"},
        {"data outside the file", [](Bytes& b) { PutU32(b.data() + 0x400 + 0x84, 0x10000); },
         "outside the file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes b = good();
        c.change(b);
        try {
            mkpatch::ReplaceResources(b, mkpatch::ReadResources(b, "t"), "t");
            ADD_FAILURE() << "accepted";
        } catch (const mkpatch::Error& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

#ifdef _WIN32

// The real applier of this build, branded by the tool, as Windows reads
// it: the settings block, both icon groups and their images, the version
// strings and numbers; and the patch still verifies.
TEST(BrandOnWindows, SystemFunctionsReadWhatWasWritten) {
    // windres's tree, laid out again unchanged, reads back the same
    Bytes real = tree::Read(KORVEX_APPLIER);
    auto realTree = mkpatch::ReadResources(real, "applier");
    EXPECT_GE(realTree.size(), 7u);  // two images, two groups, two dialogs, the version
    EXPECT_EQ(Sorted(mkpatch::ReadResources(mkpatch::ReplaceResources(real, realTree, "a"), "a")),
              Sorted(realTree));

    tree::TempDir t;
    tree::Write(t / "old/a.txt", std::string("old a"));
    tree::Write(t / "new/a.txt", std::string("new a"));
    Bytes ico = tree::Ico({16, 32, 0});
    tree::Write(t / "p.ico", ico);
    tree::Write(t / "help.txt", std::string("\xE5\xB8\xAE\xE5\x8A\xA9\nline 2\n"));
    auto b = tree::Mkpatch({"build", S(t / "old"), S(t / "new"), "-o", S(t / "p.exe"), "--applier",
                            KORVEX_APPLIER, "--title", "\xE6\xB5\x8B\xE8\xAF\x95 X", "--about",
                            "one\\ntwo", "--help-file", S(t / "help.txt"), "--icon", S(t / "p.ico"),
                            "--version-info", "ProductName=\xE6\xB8\xB8\xE6\x88\x8F",
                            "--version-info", "FileVersion=2.3.4.5", "--find-registry",
                            "HKEY_CURRENT_USER\\Software\\M\\G\\Path", "--find-file", "bin/g.exe"});
    ASSERT_EQ(b.rc, 0) << b.err;
    EXPECT_EQ(tree::Mkpatch({"verify", S(t / "p.exe"), S(t / "old"), S(t / "new")}).rc, 0);

    std::string path = S(t / "p.exe");
    // the header's checksum as the system computes it, over the applier part
    Bytes patch = tree::Read(t / "p.exe");
    patch.resize(mkpatch::FindContainerOffset(patch, "p.exe"));
    DWORD stored = 0, computed = 0;
    ASSERT_NE(CheckSumMappedFile(patch.data(), static_cast<DWORD>(patch.size()), &stored, &computed),
              nullptr);
    EXPECT_EQ(stored, computed);
    EXPECT_NE(stored, 0u);
    HMODULE h = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(h, nullptr) << GetLastError();
    auto load = [&](const char* type, int id) {
        HRSRC r = FindResourceA(h, MAKEINTRESOURCEA(id), type);
        if (!r)
            return Bytes();
        auto* p = static_cast<const uint8_t*>(LockResource(LoadResource(h, r)));
        return Bytes(p, p + SizeofResource(h, r));
    };
    Bytes settings = load(MAKEINTRESOURCEA(10), 200);
    static const char kExpected[] =
        "TITLE=\xB2\xE2\xCA\xD4 X\0ABOUT=one\r\ntwo\0HELP=\xB0\xEF\xD6\xFA\r\nline 2\0"
        "FINDREG=HKCU\\Software\\M\\G\\Path\0FINDFILE=bin\\g.exe\0";  // and the final 0
    std::string expected(kExpected, sizeof kExpected);
    EXPECT_EQ(std::string(settings.begin(), settings.end()), expected);
    for (int group : {101, 102}) {
        Bytes g = load(MAKEINTRESOURCEA(14), group);
        ASSERT_EQ(g.size(), 6u + 14 * 3) << group;
        for (int i = 0; i < 3; i++) {
            const uint8_t* e = g.data() + 6 + 14 * i;
            const uint8_t* want = ico.data() + 6 + 16 * i;
            Bytes image = load(MAKEINTRESOURCEA(3), GetU16(e + 12));
            EXPECT_TRUE(std::equal(want, want + 12, e)) << "group entry " << i;
            EXPECT_EQ(image, Bytes(ico.begin() + GetU32(want + 12),
                                   ico.begin() + GetU32(want + 12) + GetU32(want + 8)));
        }
    }
    FreeLibrary(h);
    // mapped as an image, the header's sizes must agree with its sections
    h = LoadLibraryExA(path.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    EXPECT_NE(h, nullptr) << GetLastError();
    if (h)
        FreeLibrary(h);

    DWORD unused = 0, size = GetFileVersionInfoSizeA(path.c_str(), &unused);
    ASSERT_GT(size, 0u);
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, info.data()));
    auto query = [&](const char* key) {
        char* value = nullptr;
        UINT len = 0;
        std::string sub = std::string("\\StringFileInfo\\080403a8\\") + key;
        if (!VerQueryValueA(info.data(), sub.c_str(), reinterpret_cast<void**>(&value), &len))
            return std::string("(none)");
        return std::string(value);
    };
    EXPECT_EQ(query("ProductName"), "\xD3\xCE\xCF\xB7");  // 游戏 in code page 936
    EXPECT_EQ(query("FileVersion"), "2.3.4.5");
    EXPECT_NE(query("CompanyName"), "(none)");             // the applier's own stays
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT len = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &len));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00020003u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00040005u);
}

#endif

}  // namespace
