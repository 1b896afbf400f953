// Kill anywhere, through the real applier: a patched applier with a
// container of many delta records and whole files is started, the target
// folder typed and Start pressed as a user would, and the process is
// terminated at a random moment of the run. After every kill each target is
// byte for byte its old version (absent for a new file) or its new version,
// never missing or partial, and nothing outside the folder changed; a second
// run through the window (overwrite questions answered Yes) then ends with
// "Patch Done !" and every target new.
//
//   shell_kill_applier_test APPLIER.exe SCRATCH_DIR [gtest options]
// KORVEX_KILLS (default 20) and KORVEX_SEED (default 4243) choose the
// number of kills and the seed; both are printed. Every second kill is aimed
// at the whole-file records at the end of the run: kills spread over the
// whole run seldom caught one of them half written.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "drive.h"
#include "patchset.h"
#include "kill_checks.h"
#include "../support/win_files.h"

namespace {

using reliability::PatchSet;
using reliability::Rng;
using reliability::Sandbox;
using reliability::Tree;
using reliability::FromEnv;

std::string g_applier;  // the applier without a container

// The outcome box of a run is up: a message box not owned by the progress
// dialog.
bool OutcomeShown(DWORD pid) {
    HWND progress = drive::FindProgress(pid);
    for (HWND w : drive::TopWindows(pid, "#32770"))
        if (GetDlgItem(w, 0xFFFF) && GetWindow(w, GW_OWNER) != progress)
            return true;
    return false;
}

struct Timing {
    ULONGLONG start = 0;
    ULONGLONG outcome = 0;
    std::atomic<ULONGLONG> firstWhole{0};  // when the first whole file took its name
};

void NoteOutcome(HWND, HWND progress, void* ctx) {
    Timing* t = static_cast<Timing*>(ctx);
    if (!progress && !t->outcome)
        t->outcome = GetTickCount64();
}

// One run through the window to its outcome, every question answered Yes;
// returns the milliseconds from Start to the outcome box, and in *wholeAt
// those from Start until the file firstWhole exists.
unsigned RunToTheEnd(const std::string& patch, const std::string& folder, size_t questionsAtMost,
                     const std::string& firstWhole, unsigned* wholeAt) {
    drive::Process p;
    EXPECT_TRUE(drive::Launch(p, patch));
    HWND main = drive::WaitMainWindow(p, 30000);
    EXPECT_NE(main, nullptr) << "no main window";
    if (!main)
        return 0;
    Timing t;
    t.start = GetTickCount64();
    std::atomic<bool> stop{false};
    std::thread watch([&] {
        while (!stop && !winfiles::Exists(folder + firstWhole))
            Sleep(1);
        if (!stop)
            t.firstWhole = GetTickCount64();
    });
    drive::Outcome out =
        drive::RunThrough(p, main, folder, std::vector<int>(questionsAtMost, IDYES), NoteOutcome, &t);
    stop = true;
    watch.join();
    *wholeAt = t.firstWhole ? unsigned(t.firstWhole - t.start) : 0;
    EXPECT_EQ(out.caption, "Done");
    EXPECT_EQ(out.text, "Patch Done !");
    EXPECT_EQ(out.outcomeBoxes, 1);
    EXPECT_LE(out.questions.size(), questionsAtMost);
    EXPECT_EQ(out.exitCode, 0);
    return t.outcome ? unsigned(t.outcome - t.start) : 0;
}

TEST(KillApplier, EveryTargetOldOrNewAndASecondRunFinishes) {
    const unsigned runs = FromEnv("KORVEX_KILLS", 20);
    const unsigned seed = FromEnv("KORVEX_SEED", 4243);
    const int deltas = 64, wholes = 32;
    const PatchSet set = reliability::LargeSet(seed, deltas, wholes, 768 * 1024);
    Sandbox box("killapp");
    const std::string patch = box.root + "\\outside\\patch.exe";
    ASSERT_TRUE(drive::MakePatch(g_applier, set.container.bytes(), patch));
    const Tree outside = box.Outside();

    // How long an undisturbed run takes from Start to its outcome box: the
    // quickest of three, so that the kills fall inside a run rather than
    // after it. Also when the first whole file appears: the whole files
    // follow the deltas, so that is a little after their phase begins.
    const std::string& firstWhole = set.recordNames[deltas];
    unsigned full = ~0u, wholeAt = ~0u;
    for (int i = 0; i < 3; i++) {
        box.Reset(set.before);
        unsigned at = 0;
        unsigned ms = RunToTheEnd(patch, box.target, 0, firstWhole, &at);
        if (HasFailure())
            return;
        full = std::min(full, ms);
        wholeAt = std::min(wholeAt, at);
        size_t temps = 0;
        reliability::CheckAllNew(set, box, &temps);
        if (HasFatalFailure())
            return;
    }
    std::printf("container %zu bytes, %zu records (%d deltas, %d whole files); an undisturbed run takes "
                "%u ms from Start to its outcome, the first whole file appears after %u ms; %u kills, seed %u "
                "(KORVEX_KILLS, KORVEX_SEED)\n",
                set.container.size(), set.recordNames.size(), deltas, wholes, full, wholeAt, runs, seed);
    std::fflush(stdout);
    ASSERT_GE(full, 100u) << "the run is too short for kills to land inside it";
    ASSERT_LT(wholeAt, full) << "the whole files must appear before the outcome";
    const unsigned aimFrom = wholeAt - wholeAt / 10;

    Rng rng(seed);
    unsigned midRun = 0, afterOutcome = 0, noneApplied = 0, partlyApplied = 0, allAppliedMidRun = 0;
    unsigned leftTemps = 0, questionsAsked = 0, inWholePhase = 0;
    for (unsigned round = 0; round < runs; round++) {
        SCOPED_TRACE("round " + std::to_string(round) + ", seed " + std::to_string(seed));
        box.Reset(set.before);
        unsigned wait = round % 2 ? aimFrom + rng.Below(full - aimFrom + 1) : rng.Below(full + 1);
        bool done = false;
        {
            drive::Process p;
            ASSERT_TRUE(drive::Launch(p, patch));
            HWND main = drive::WaitMainWindow(p, 30000);
            ASSERT_NE(main, nullptr) << "no main window";
            drive::SetEditText(main, box.target);
            ASSERT_TRUE(drive::StartEnabled(main));
            drive::Click(main, IDOK);
            Sleep(wait);
            done = OutcomeShown(p.pi.dwProcessId);
            ASSERT_TRUE(TerminateProcess(p.pi.hProcess, 99));
            ASSERT_EQ(WaitForSingleObject(p.pi.hProcess, 30000), WAIT_OBJECT_0);
            if (done)
                afterOutcome++;
            else
                midRun++;
        }

        int newCount = 0;
        size_t temps = 0;
        reliability::CheckAfterKill(set, box, outside, &newCount, &temps);
        if (HasFatalFailure())
            return;
        leftTemps += temps != 0;
        if (!done) {
            if (newCount == 0)
                noneApplied++;
            else if (newCount < int(set.recordNames.size()))
                partlyApplied++;
            else
                allAppliedMidRun++;
            if (newCount >= deltas && newCount < int(set.recordNames.size()))
                inWholePhase++;
        }

        // a second run through the window completes the job; whole files
        // already in place are overwritten
        drive::Process again;
        ASSERT_TRUE(drive::Launch(again, patch));
        HWND main = drive::WaitMainWindow(again, 30000);
        ASSERT_NE(main, nullptr) << "no main window for the second run";
        drive::Outcome out = drive::RunThrough(again, main, box.target, std::vector<int>(wholes, IDYES));
        EXPECT_EQ(out.caption, "Done");
        ASSERT_EQ(out.text, "Patch Done !");
        ASSERT_EQ(out.exitCode, 0);
        ASSERT_LE(out.questions.size(), size_t(wholes));
        questionsAsked += unsigned(out.questions.size());
        size_t tempsAfter = 0;
        reliability::CheckAllNew(set, box, &tempsAfter);
        if (HasFatalFailure())
            return;
        ASSERT_LE(tempsAfter, temps) << "the second run left temporary files of its own";
    }
    std::printf("%u kills: %u mid-run (%u before any record was applied, %u with some applied, %u with all "
                "applied but no outcome shown yet), %u after the outcome box; %u inside the whole-file records; "
                "temporary files left by %u kills; %u overwrite questions answered Yes in the second runs; no "
                "target missing or partial\n",
                runs, midRun, noneApplied, partlyApplied, allAppliedMidRun, afterOutcome, inWholePhase,
                leftTemps, questionsAsked);
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: shell_kill_applier_test APPLIER.exe SCRATCH_DIR [gtest options]\n");
        return 2;
    }
    char full[MAX_PATH];
    GetFullPathNameA(drive::WindowsPath(argv[1]).c_str(), MAX_PATH, full, nullptr);
    g_applier = full;
    GetFullPathNameA(drive::WindowsPath(argv[2]).c_str(), MAX_PATH, full, nullptr);
    CreateDirectoryA(full, nullptr);
    // the sandbox is made below the current folder
    if (!SetCurrentDirectoryA(full)) {
        std::fprintf(stderr, "cannot enter %s\n", full);
        return 2;
    }
    return RUN_ALL_TESTS();
}
