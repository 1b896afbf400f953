// One record at a time against real files: every result, the target's
// bytes afterwards, no temporary file left, and the cursor on the next
// record (each container ends with a whole-file record NEXT.TXT that must
// apply after the record under test).
#include <gtest/gtest.h>

#include <functional>

#include "engine/container.h"
#include "engine/patch.h"
#include "support/hostile_names.h"
#include "support/win_folder.h"

using namespace testing_support;

namespace {

struct Answers {
    int answer = 0;  // what the overwrite question returns
    int asked = 0;
    std::string name;  // what the question named
};

int Ask(void* ctx, const char* name) {
    auto* a = static_cast<Answers*>(ctx);
    a->asked++;
    a->name = name;
    return a->answer;
}

const Bytes kOld = B("abcdefghij");      // T.DAT before
const Bytes kNew = B("efghXYab");        // T.DAT after
const Bytes kNext = B("next record\n");

// The T.DAT record of the format's worked example, with another name.
ContainerBuilder& TdatRecord(ContainerBuilder& c, const std::string& name = "T.DAT") {
    return c.Delta(Sum(kOld), Sum(kNew), name).Copy(4, 4).Insert(B("XY")).Copy(2, 0).End();
}

struct Case {
    const char* what;
    std::function<void(const ScratchFolder&)> setup;
    std::function<void(ContainerBuilder&)> record;
    int answer;
    int result;
    Bytes after;  // T.DAT afterwards
    int asked;
};

struct Applied {
    int result;
    int nextResult;
    int upToDate;
};

Applied ApplyTwo(const ScratchFolder& f, const Bytes& container, Answers& answers, std::string dir = "") {
    if (dir.empty())
        dir = f.dir();
    PatchHost host{Ask, nullptr, nullptr, nullptr, &answers, nullptr};
    PatchCursor cur;
    CursorInit(&cur, container.data(), container.size());
    unsigned count;
    EXPECT_EQ(ReadContainerHeader(&cur, &count), PR_OK);
    PatchRecordNote note;
    Applied a;
    a.result = ApplyRecord(&cur, dir.c_str(), &host, nullptr, &note);
    EXPECT_EQ(g_lastResult, a.result);
    a.upToDate = note.upToDate;
    a.nextResult = a.result == PR_BADDATA ? -1 : ApplyRecord(&cur, dir.c_str(), &host, nullptr, nullptr);
    return a;
}

void HoldOpen(const ScratchFolder& f, const char* name, const std::function<void()>& body) {
    HANDLE h = CreateFileA((f / name).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    body();
    CloseHandle(h);
}

}  // namespace

TEST(ApplyRecord, EveryResult) {
    auto withOld = [](const ScratchFolder& f) { WriteBytes(f / "T.DAT", kOld); };
    auto readOnlyOld = [](const ScratchFolder& f) {
        WriteBytes(f / "T.DAT", kOld);
        SetFileAttributesA((f / "T.DAT").c_str(), FILE_ATTRIBUTE_READONLY);
    };
    auto tdat = [](ContainerBuilder& c) { TdatRecord(c); };
    auto wholeT = [](ContainerBuilder& c) { c.Whole("T.DAT", kNew); };
    const Bytes missing = B("<missing>");
    const Bytes folder = B("<folder>");  // T.DAT is a folder afterwards

    const Case cases[] = {
        {"delta rebuilt", withOld, tdat, 0, PR_OK, kNew, 0},
        {"delta, target missing", [](const ScratchFolder&) {}, tdat, 0, PR_NOTARGET, missing, 0},
        {"delta, other version", [](const ScratchFolder& f) { WriteBytes(f / "T.DAT", B("zzzzzzzzzz")); },
         tdat, 0, PR_BADSOURCE, B("zzzzzzzzzz"), 0},
        {"delta, wrong new checksum",
         withOld, [](ContainerBuilder& c) { c.Delta(Sum(kOld), Sum(kNew) ^ 1, "T.DAT").Copy(4, 4).End(); },
         0, PR_BADRESULT, kOld, 0},
        {"delta, copy past the old file",
         withOld, [](ContainerBuilder& c) { c.Delta(Sum(kOld), Sum(kNew), "T.DAT").Copy(4, 7).End(); },
         0, PR_BADRESULT, kOld, 0},
        {"delta, copy from an empty old file",
         [](const ScratchFolder& f) { WriteBytes(f / "T.DAT", {}); },
         [](ContainerBuilder& c) { c.Delta(0, 0, "T.DAT").Copy(1, 0).End(); }, 0, PR_BADRESULT, Bytes{}, 0},
        {"delta, read-only target", readOnlyOld, tdat, 0, PR_NOTWRITTEN, kOld, 0},
        {"delta, undefined byte after valid commands",
         withOld, [](ContainerBuilder& c) { c.Delta(Sum(kOld), Sum(kNew), "T.DAT").Copy(4, 4).U8(9).End(); },
         0, PR_BADDATA, kOld, 0},
        {"delta, empty stream on an empty file",
         [](const ScratchFolder& f) { WriteBytes(f / "T.DAT", {}); },
         [](ContainerBuilder& c) { c.Delta(0, 0, "T.DAT").End(); }, 0, PR_OK, Bytes{}, 0},
        {"whole file, new", [](const ScratchFolder&) {}, wholeT, 0, PR_OK, kNew, 0},
        {"whole file, exists, Yes (old longer)",
         [](const ScratchFolder& f) { WriteBytes(f / "T.DAT", B("a much longer old file")); },
         wholeT, 1, PR_OVERWRITTEN, kNew, 1},
        {"whole file, exists, No", withOld, wholeT, 0, PR_SKIPPED, kOld, 1},
        {"whole file, exists read-only, Yes", readOnlyOld, wholeT, 1, PR_NOTWRITTEN, kOld, 1},
        {"whole file, target is a folder",
         [](const ScratchFolder& f) { CreateDirectoryA((f / "T.DAT").c_str(), nullptr); }, wholeT, 1,
         PR_NOTWRITTEN, folder, 0},
        {"whole file, empty content", [](const ScratchFolder&) {},
         [](ContainerBuilder& c) { c.Whole("T.DAT", {}); }, 0, PR_OK, Bytes{}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchFolder f("every");
        c.setup(f);
        ContainerBuilder b(2);
        c.record(b);
        b.Whole("NEXT.TXT", kNext);
        Answers answers;
        answers.answer = c.answer;
        Applied a = ApplyTwo(f, b.bytes(), answers);
        EXPECT_EQ(a.result, c.result);
        EXPECT_EQ(answers.asked, c.asked);
        DWORD attr = GetFileAttributesA((f / "T.DAT").c_str());
        if (c.after == folder)
            EXPECT_TRUE(attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY));
        else
            EXPECT_EQ(ReadBytes(f / "T.DAT"), c.after);
        EXPECT_EQ(CountTempFiles(f.dir()), 0);
        if (c.result != PR_BADDATA) {
            EXPECT_EQ(a.nextResult, PR_OK) << "cursor did not stand on the next record";
            EXPECT_EQ(ReadBytes(f / "NEXT.TXT"), kNext);
        } else {
            EXPECT_FALSE(Exists(f / "NEXT.TXT"));
        }
    }
}

TEST(ApplyRecord, TdatTwiceIsOkThenUpToDate) {
    ScratchFolder f("tdat");
    WriteBytes(f / "T.DAT", kOld);
    // the exact 40 bytes of the worked example
    const Bytes record = {0x04, 0x04, 0x04, 0x0C, 0x3D, 0x3F, 0x06, 0x0A, 0x54, 0x2E, 0x44, 0x41, 0x54, 0x00,
                          0x01, 0x04, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x02, 0x02, 0x00, 0x00, 0x00,
                          0x58, 0x59, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    for (int round = 0; round < 2; round++) {
        PatchCursor cur;
        CursorInit(&cur, record.data(), record.size());
        PatchRecordNote note;
        int r = ApplyRecord(&cur, f.dir().c_str(), nullptr, nullptr, &note);
        EXPECT_EQ(r, round == 0 ? PR_OK : PR_BADSOURCE);
        EXPECT_EQ(note.upToDate, round == 1);
        EXPECT_EQ(cur.pos, record.data() + record.size());
        EXPECT_EQ(ReadBytes(f / "T.DAT"), kNew);
    }
    EXPECT_EQ(List(f.dir()), std::vector<std::string>{"T.DAT"});
}

TEST(ApplyRecord, TargetHeldWithoutSharing) {
    ScratchFolder f("held");
    WriteBytes(f / "T.DAT", kOld);
    ContainerBuilder b(2);
    TdatRecord(b).Whole("NEXT.TXT", kNext);
    HoldOpen(f, "T.DAT", [&] {
        Answers answers;
        Applied a = ApplyTwo(f, b.bytes(), answers);
        EXPECT_EQ(a.result, PR_NOTARGET);
        EXPECT_EQ(a.nextResult, PR_OK);
    });
    EXPECT_EQ(ReadBytes(f / "T.DAT"), kOld);
    EXPECT_EQ(CountTempFiles(f.dir()), 0);
}

TEST(ApplyRecord, RebuiltFileIsPlainAndAlone) {
    ScratchFolder f("plain");
    WriteBytes(f / "T.DAT", kOld);
    SetFileAttributesA((f / "T.DAT").c_str(), FILE_ATTRIBUTE_HIDDEN);
    ContainerBuilder b(1);
    TdatRecord(b);
    Answers answers;
    EXPECT_EQ(ApplyTwo(f, b.bytes(), answers).result, PR_OK);
    EXPECT_EQ(ReadBytes(f / "T.DAT"), kNew);
    EXPECT_FALSE(GetFileAttributesA((f / "T.DAT").c_str()) & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(List(f.dir()), std::vector<std::string>{"T.DAT"});
}

TEST(ApplyRecord, OverwriteQuestionNamesTheFile) {
    ScratchFolder f("question");
    CreateDirectoryA((f / "SUB").c_str(), nullptr);
    WriteBytes(f / "SUB\\A.TXT", B("old"));
    ContainerBuilder b(1);
    b.Whole("SUB\\A.TXT", B("new"));
    Answers answers;
    ApplyTwo(f, b.bytes(), answers);
    EXPECT_EQ(answers.asked, 1);
    EXPECT_EQ(answers.name, "SUB\\A.TXT");
}

TEST(HostileName, DataErrorAndNothingOutside) {
    for (const auto& [label, name] : HostileNames()) {
        for (bool whole : {true, false}) {
            SCOPED_TRACE(std::string(label) + (whole ? " (whole)" : " (delta)"));
            ScratchFolder f("hostile");
            ContainerBuilder b(1);
            if (whole)
                b.Whole(name, B("evil"));
            else
                b.Delta(0, 0, name).Insert(B("evil")).End();
            Answers answers;
            answers.answer = 1;
            EXPECT_EQ(ApplyTwo(f, b.bytes(), answers).result, PR_BADDATA);
            EXPECT_EQ(List(f.root()), std::vector<std::string>{"target"});
            EXPECT_TRUE(List(f.dir()).empty());
        }
    }
}

// Names one byte too long for a path, longer than the head the bare reader
// asks for first, and longer than its buffer: the first two fail alone, the
// last is a data error.
TEST(LongPath, RecordFailsCleanlyAndNextApplies) {
    ScratchFolder f("long");
    for (size_t len : {259 - f.dir().size() + 1, size_t(300), size_t(BARE_HOLD)})
        for (bool whole : {true, false}) {
            SCOPED_TRACE(len);
            std::string name(len, 'n');
            ContainerBuilder b(2);
            if (whole)
                b.Whole(name, B("x"));
            else
                b.Delta(0, 0, name).Insert(B("x")).End();
            b.Whole("NEXT.TXT", kNext);
            Answers answers;
            Applied a = ApplyTwo(f, b.bytes(), answers);
            EXPECT_EQ(a.result, len == BARE_HOLD ? PR_BADDATA : whole ? PR_NOTWRITTEN : PR_NOTARGET);
            EXPECT_EQ(a.nextResult, len == BARE_HOLD ? -1 : PR_OK);
            DeleteFileA((f / "NEXT.TXT").c_str());
        }
    EXPECT_TRUE(List(f.dir()).empty());
}

TEST(SubFolders, WholeFileMakesThemDeltaUsesThem) {
    ScratchFolder f("sub");
    ContainerBuilder b(2);
    b.Whole("DATA\\SUB\\X.TXT", kOld);
    b.Delta(Sum(kOld), Sum(kNew), "DATA\\SUB\\X.TXT").Copy(4, 4).Insert(B("XY")).Copy(2, 0).End();
    Answers answers;
    Applied a = ApplyTwo(f, b.bytes(), answers);
    EXPECT_EQ(a.result, PR_OK);
    EXPECT_EQ(a.nextResult, PR_OK);
    EXPECT_EQ(ReadBytes(f / "DATA\\SUB\\X.TXT"), kNew);
    EXPECT_EQ(List(f / "DATA\\SUB\\"), std::vector<std::string>{"X.TXT"});
}

TEST(CodePage936, NamesReachTheDiskAsUnicode) {
    ASSERT_EQ(GetACP(), 936u) << "tests must run with the ANSI code page 936";
    ScratchFolder f("cp936");
    const std::string name = "中文\\乗.txt";  // GBK; the trail byte of 乗 is 0x5C
    ContainerBuilder b(2);
    b.Whole(name, kOld);
    b.Delta(Sum(kOld), Sum(kNew), name).Copy(4, 4).Insert(B("XY")).Copy(2, 0).End();
    Answers answers;
    Applied a = ApplyTwo(f, b.bytes(), answers);
    EXPECT_EQ(a.result, PR_OK);
    EXPECT_EQ(a.nextResult, PR_OK);
    EXPECT_EQ(ReadBytes(f / name), kNew);

    std::wstring wdir;
    for (char ch : f.dir()) wdir.push_back((wchar_t)(unsigned char)ch);  // ASCII temp path
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((wdir + L"\u4e2d\u6587\\*.txt").c_str(), &fd);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(std::wstring(fd.cFileName), L"\u4e57.txt");
    FindClose(h);
    EXPECT_EQ(CountTempFiles(f.dir()), 0);
}

TEST(XorSumFile, ValuesAndFailures) {
    ScratchFolder f("sum");
    WriteBytes(f / "a", B("abcdefgh"));
    WriteBytes(f / "e", {});
    EXPECT_EQ(XorSumFile((f / "a").c_str()), 0x0C040404u);
    EXPECT_EQ(XorSumFile((f / "e").c_str()), 0u);
    EXPECT_EQ(XorSumFile((f / "none").c_str()), 0u);
    HoldOpen(f, "a", [&] { EXPECT_EQ(XorSumFile((f / "a").c_str()), 0u); });

    Bytes big(3 * 65536 + 7);
    for (size_t i = 0; i < big.size(); i++) big[i] = (uint8_t)(i * 131 + (i >> 9));
    WriteBytes(f / "big", big);
    EXPECT_EQ(XorSumFile((f / "big").c_str()), Sum(big));
}

// The target fits a path, but its folder leaves no room for a temporary
// name: the rebuild cannot be written, so the target must stay, even when
// the record's new checksum is 0 (which an unreadable file would also give).
// A sub-folder too deep for a temporary name beside the file: the name is
// made in the target folder instead, and the record works. Only a target
// folder that itself leaves no room fails the record, target untouched.
TEST(ApplyRecord, NoRoomForTheTemporaryFile) {
    ScratchFolder f("notemp");
    std::string deep = f.dir();
    while (deep.size() < 248) {
        deep += std::string(std::min<size_t>(100, 248 - deep.size() - 1), 'd') + "\\";
        ASSERT_TRUE(CreateDirectoryA(deep.c_str(), nullptr)) << deep;
    }
    ASSERT_EQ(deep.size(), 248u);
    const std::string rel = deep.substr(f.dir().size());
    for (bool fromTop : {true, false}) {
        for (bool zeroNewSum : {false, true}) {
            SCOPED_TRACE(std::string(fromTop ? "deep name, " : "deep target folder, ") +
                         (zeroNewSum ? "new checksum 0" : "new checksum set"));
            const Bytes neu = zeroNewSum ? B("abc") : kNew;  // 3 bytes sum to 0
            WriteBytes(deep + "T.DAT", kOld);
            ContainerBuilder b(2);
            b.Delta(Sum(kOld), Sum(neu), (fromTop ? rel : "") + "T.DAT").Insert(neu).End();
            b.Whole("NEXT.TXT", kNext);
            Answers answers;
            Applied a = ApplyTwo(f, b.bytes(), answers, fromTop ? f.dir() : deep);
            EXPECT_EQ(a.result, fromTop ? PR_OK : PR_NOTWRITTEN);
            // the cursor reached the next record, which in a folder that
            // deep has no room for its temporary name either
            EXPECT_EQ(a.nextResult, fromTop ? PR_OK : PR_NOTWRITTEN);
            EXPECT_EQ(ReadBytes(deep + "T.DAT"), fromTop ? neu : kOld);
            EXPECT_EQ(CountTempFiles(f.dir()), 0);
            DeleteFileA((fromTop ? f / "NEXT.TXT" : deep + "NEXT.TXT").c_str());
        }
    }
}
