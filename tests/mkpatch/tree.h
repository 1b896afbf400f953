// Folders for the tool's tests: a private temporary folder per test, small
// file helpers, a fake applier, and generated OLD/NEW folder pairs with
// every kind of change a patch must carry.
#ifndef KORVEX_TESTS_MKPATCH_TREE_H
#define KORVEX_TESTS_MKPATCH_TREE_H

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/format.h"
#include "core/checksum.h"
#include "core/stubmark.h"
#include "generate.h"
#include "support/scratch_dir.h"
#include "tools/mkpatch/cli/cli.h"

namespace tree {

namespace fs = std::filesystem;
using gen::Bytes;

inline fs::path U8(const std::string& s) {
    return fs::path(std::u8string(s.begin(), s.end()));
}

inline void Write(const fs::path& p, const Bytes& b) {
    fs::create_directories(p.parent_path());
    std::ofstream f(p, std::ios::binary);
    f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

inline void Write(const fs::path& p, const std::string& s) {
    Write(p, Bytes(s.begin(), s.end()));
}

inline Bytes Read(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// A scratch folder under the system's temporary folder, named after the
// running test and removed with it.
class TempDir : public testing_support::ScratchDir {
public:
    TempDir() : ScratchDir(TestName()) {}

private:
    static std::string TestName() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string("mkpatch-") + info->test_suite_name() + "-" + info->name();
        for (char& c : name)
            if (c == '/')
                c = '_';
        return name;
    }
};

// Every file under root as relative UTF-8 path -> content.
inline std::map<std::string, Bytes> Snapshot(const fs::path& root) {
    std::map<std::string, Bytes> files;
    for (auto& e : fs::recursive_directory_iterator(root)) {
        if (!e.is_regular_file())
            continue;
        std::u8string rel = fs::relative(e.path(), root).generic_u8string();
        files[std::string(rel.begin(), rel.end())] = Read(e.path());
    }
    return files;
}

// An applier as the tools see one: some bytes, the mark and the offset
// (the file's size unless told otherwise).
inline Bytes FakeApplier(size_t size = 1024, uint32_t offset = 0, bool stamp = true) {
    Bytes b(size, 0xCC);
    b[0] = 'M';
    b[1] = 'Z';
    const char mark[] = STUB_MARK;
    std::copy(mark, mark + STUB_MARK_SIZE, b.begin() + 300);
    PutU32(b.data() + 300 + STUB_MARK_SIZE,
           stamp ? (offset ? offset : static_cast<uint32_t>(size)) : uint32_t{STUB_OFFSET_PLACEHOLDER});
    return b;
}

// A fake applier that is also a well-formed PE32 header with no sections,
// enough for a signing tool to append its certificate table.
inline Bytes PeApplier(size_t size = 1024) {
    Bytes b(size, 0xCC);
    b[0] = 'M';
    b[1] = 'Z';
    const uint32_t pe = 0x40, opt = pe + 24;
    PutU32(b.data() + 0x3C, pe);
    std::fill(b.begin() + pe, b.begin() + opt + 224, 0);
    PutU32(b.data() + pe, 0x00004550);              // "PE\0\0"
    PutU16(b.data() + pe + 4, 0x14C);               // i386
    PutU16(b.data() + pe + 20, 224);                // optional header size
    PutU16(b.data() + pe + 22, 0x0102);             // executable, 32-bit
    PutU16(b.data() + opt, 0x10B);                  // PE32
    PutU32(b.data() + opt + 28, 0x400000);          // image base
    PutU32(b.data() + opt + 32, 0x1000);            // section alignment
    PutU32(b.data() + opt + 36, 0x200);             // file alignment
    PutU16(b.data() + opt + 40, 4);                 // OS version
    PutU16(b.data() + opt + 48, 4);                 // subsystem version
    PutU32(b.data() + opt + 56, 0x1000);            // image size
    PutU32(b.data() + opt + 60, 0x200);             // header size
    PutU16(b.data() + opt + 68, 2);                 // GUI
    PutU32(b.data() + opt + 92, 16);                // data directories
    const char mark[] = STUB_MARK;
    std::copy(mark, mark + STUB_MARK_SIZE, b.begin() + 512);
    PutU32(b.data() + 512 + STUB_MARK_SIZE, static_cast<uint32_t>(size));
    return b;
}

// A PE32 applier as the linker lays ours out: headers, a code section with
// the applier mark, and the resource section last, holding rsrc (laid out
// for its address, 0x2000), with a checksum. The mark's offset is the
// file's size.
inline Bytes ResourceApplier(const Bytes& rsrc, uint32_t checksum = 0x1234) {
    uint32_t rawRsrc = static_cast<uint32_t>((rsrc.size() + 0x1FF) & ~size_t{0x1FF});
    Bytes b = PeApplier(0x400);
    b.resize(0x400 + rawRsrc, 0);
    const uint32_t opt = 0x58, sections = opt + 224;
    PutU16(b.data() + 0x46, 2);                                       // two sections
    PutU32(b.data() + opt + 8, rawRsrc);                              // initialized data
    PutU32(b.data() + opt + 56, 0x2000 + ((static_cast<uint32_t>(rsrc.size()) + 0xFFF) & ~0xFFFu));
    PutU32(b.data() + opt + 64, checksum);
    PutU32(b.data() + opt + 96 + 16, 0x2000);                         // resource directory
    PutU32(b.data() + opt + 96 + 20, static_cast<uint32_t>(rsrc.size()));
    const char* names[] = {".text", ".rsrc"};
    const uint32_t fields[2][5] = {{0x100, 0x1000, 0x200, 0x200, 0x60000020},
                                   {static_cast<uint32_t>(rsrc.size()), 0x2000, rawRsrc, 0x400,
                                    0x40000040}};
    for (int i = 0; i < 2; i++) {
        unsigned char* h = b.data() + sections + 40 * i;
        std::fill(h, h + 40, 0);
        std::copy(names[i], names[i] + 5, h);
        for (int f = 0; f < 4; f++)
            PutU32(h + 8 + 4 * f, fields[i][f]);
        PutU32(h + 36, fields[i][4]);
    }
    std::copy(rsrc.begin(), rsrc.end(), b.begin() + 0x400);
    PutU32(b.data() + 512 + STUB_MARK_SIZE, static_cast<uint32_t>(b.size()));
    return b;
}

// An .ico file: a 32-bit bitmap image per size given, and a PNG one for 0
// (256 pixels).
inline Bytes Ico(const std::vector<unsigned>& sizes) {
    std::vector<Bytes> images;
    for (unsigned s : sizes) {
        Bytes img;
        if (s == 0) {
            img = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
            img.resize(80, 0x42);
        } else {
            img.assign(40 + s * s * 4 + (s + 31) / 32 * 4 * s, static_cast<uint8_t>(s));
            PutU32(img.data(), 40);                                   // bitmap header size
            PutU32(img.data() + 4, s);
            PutU32(img.data() + 8, 2 * s);                            // colour and mask rows
            PutU16(img.data() + 12, 1);
            PutU16(img.data() + 14, 32);
        }
        images.push_back(img);
    }
    Bytes f(6 + 16 * images.size());
    PutU16(f.data() + 2, 1);                                          // type: icon
    PutU16(f.data() + 4, static_cast<uint16_t>(images.size()));
    for (size_t i = 0; i < images.size(); i++) {
        unsigned char* e = f.data() + 6 + 16 * i;
        e[0] = e[1] = static_cast<uint8_t>(sizes[i]);
        PutU16(e + 4, 1);
        PutU16(e + 6, 32);
        PutU32(e + 8, static_cast<uint32_t>(images[i].size()));
        PutU32(e + 12, static_cast<uint32_t>(f.size()));
        f.insert(f.end(), images[i].begin(), images[i].end());
    }
    return f;
}

struct RunResult {
    int rc;
    std::string out;
    std::string err;
};

inline RunResult Mkpatch(std::vector<std::string> args) {
    std::ostringstream out, err;
    int rc = mkpatch::RunMkpatch(args, out, err);
    return {rc, out.str(), err.str()};
}

inline std::string S(const fs::path& p) {
    std::u8string u = p.u8string();
    return std::string(u.begin(), u.end());
}

// OLD and NEW with sub-folders, names in code page 936, empty files, files
// shorter than 4 bytes, identical files, new files, removed files, and
// files changed by random edits. Seeded, so a failure can be repeated.
inline void MakeFolderPair(const fs::path& oldDir, const fs::path& newDir, unsigned seed) {
    std::mt19937 rng(seed);
    auto both = [&](const std::string& rel, const Bytes& o, const Bytes& n) {
        Write(oldDir / U8(rel), o);
        Write(newDir / U8(rel), n);
    };
    for (int i = 0; i < 6; i++) {  // changed by edits, some large
        size_t size = i == 0 ? 300000 : 200 + rng() % 30000;
        Bytes o = gen::RandomBytes(rng, size, i % 2 ? 256 : 16);
        both("bin/file" + std::to_string(i) + ".dll", o, gen::Edit(rng, o, 1 + i * 4));
    }
    Bytes same = gen::RandomBytes(rng, 5000);
    both("same.dat", same, same);
    both("数据/相同.txt", Bytes{'a', 'b'}, Bytes{'a', 'b'});
    both("empty-to-some.txt", Bytes{}, Bytes{'n', 'e', 'w', '!', '!'});
    both("some-to-empty.txt", gen::RandomBytes(rng, 64), Bytes{});
    both("tiny.txt", Bytes{'a', 'b', 'c'}, Bytes{'a', 'b', 'd'});
    Bytes ini = gen::RandomBytes(rng, 3000, 8);
    both("深/层/目录/变化.ini", ini, gen::Edit(rng, ini, 3));
    Write(newDir / U8("新文件/说明.txt"), std::string("新增的文件\r\n"));
    Write(newDir / U8("新文件/空.txt"), Bytes{});
    Write(newDir / U8("two.bin"), Bytes{1, 2});
    Write(newDir / U8("sub/dir/added.bin"), gen::RandomBytes(rng, 10000));
    Write(oldDir / U8("removed.txt"), std::string("only in old"));
    Write(oldDir / U8("旧/删除.txt"), std::string("old only"));
}

}  // namespace tree

#endif
