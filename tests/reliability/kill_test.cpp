// Kill anywhere: the engine runs in a process of its own (rel_helper) on a
// container of many delta records and whole files, and is terminated at a
// random moment. After every kill each target is byte for byte its old
// version (absent for a new file) or its new version, never missing or
// partial; a second, undisturbed run then finishes the job. Every other
// run makes a restore file: run after the kill, it must bring every target
// back to its old version before the second run. Every other pair of runs
// applies the same records as a format-2 container, whose restore file is
// format 2 too.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "engine/patch.h"
#include "patchset.h"
#include "kill_checks.h"
#include "process.h"

namespace reliability {
namespace {

// After a kill of a run that made a restore file: its container (after the
// stub) is run on the folder, and every target must then be old. Without a
// whole container header nothing may have been replaced yet.
void UndoWithRestoreFile(const Sandbox& box, const std::string& restorePatch, const std::string& undoArgs,
                         const PatchSet& set, int newCount, unsigned* restoreRuns) {
    Bytes file;
    const size_t stub = sizeof kRestoreStub;
    if (!ReadFileBytes(box.target + kRestoreName + ".exe", &file) || file.size() < stub + CONTAINER_HEADER_SIZE) {
        ASSERT_EQ(newCount, 0) << "targets replaced before the restore file was made";
        return;
    }
    ASSERT_TRUE(std::equal(kRestoreStub, kRestoreStub + stub, file.begin()));
    ASSERT_TRUE(WriteFileBytes(restorePatch, Bytes(file.begin() + stub, file.end())));
    DWORD error = 0;
    HANDLE undo = StartHelper(undoArgs, &error);
    ASSERT_NE(undo, nullptr) << "CreateProcess failed, error " << error;
    DWORD code = WaitExit(undo);
    CloseHandle(undo);
    DeleteFileA(restorePatch.c_str());
    ASSERT_EQ(code, DWORD(PATCH_FINISHED));
    (*restoreRuns)++;
    CheckAllOld(set, box);
}

TEST(KillAnywhere, EveryTargetOldOrNewAndASecondRunFinishes) {
    const unsigned runs = FromEnv("KORVEX_KILLS", 100);
    const unsigned seed = FromEnv("KORVEX_SEED", 4242);
    PatchSet set = LargeSet(seed, 32, 16, 192 * 1024);
    // half the whole files are written over a file that is there, so the
    // restore file holds both kinds of record
    Rng older(seed + 1);
    for (size_t i = 32; i < set.recordNames.size(); i += 2)
        set.before[set.recordNames[i]] = older.Fill(1000 + older.Below(100000));
    Sandbox box("kill");
    // the folder ends in a backslash, doubled so that it does not escape
    // the closing quote
    std::string formArgs[2];
    for (int form = 0; form < 2; form++) {
        std::string patch = box.root;  // appended: GCC 12 warns falsely (-Wrestrict) on chains of +
        patch.append("\\outside\\patch").append(std::to_string(form + 1)).append(".bin");
        ASSERT_TRUE(WriteFileBytes(patch, form ? set.Form2() : set.container.bytes()));
        formArgs[form] = "run \"";
        formArgs[form].append(patch).append("\" \"").append(box.target).append("\\\"");
    }
    std::string runArgs = formArgs[0];
    const std::string restoreArgs = runArgs + " restore";
    const std::string restorePatch = box.root + "\\restore.bin";
    std::string undoArgs = "run \"";
    undoArgs.append(restorePatch).append("\" \"").append(box.target).append("\\\"");
    const Tree outside = box.Outside();

    // How long an undisturbed run takes, start to exit, without and with a
    // restore file: the quickest of three, so that the kills fall inside a
    // run rather than after it.
    unsigned full[2] = {~0u, ~0u};
    for (int i = 0; i < 6; i++) {
        box.Reset(set.before);
        ULONGLONG t0 = GetTickCount64();
        HANDLE p = StartHelper(i % 2 ? restoreArgs : runArgs);
        ASSERT_NE(p, nullptr);
        ASSERT_EQ(WaitExit(p), DWORD(PATCH_FINISHED));
        CloseHandle(p);
        full[i % 2] = std::min(full[i % 2], unsigned(GetTickCount64() - t0));
        size_t temps = 0;
        CheckAllNew(set, box, &temps);
        if (HasFatalFailure())
            return;
    }
    std::printf("container %zu bytes, %zu records; an undisturbed run takes %u ms, %u ms with a restore file; "
                "%u kills, seed %u (KORVEX_KILLS, KORVEX_SEED)\n",
                set.container.size(), set.recordNames.size(), full[0], full[1], runs, seed);

    Rng rng(seed);
    unsigned killedMidway = 0, finishedFirst = 0, leftTemps = 0, tempsAfterRerun = 0;
    unsigned partlyApplied = 0, restoreRuns = 0, restoredTargets = 0;
    for (unsigned round = 0; round < runs; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        const bool restore = round % 2;
        runArgs = formArgs[round / 2 % 2];
        box.Reset(set.before);
        DWORD error = 0;
        HANDLE run = StartHelper(restore ? runArgs + " restore" : runArgs, &error);
        ASSERT_NE(run, nullptr) << "CreateProcess failed, error " << error;
        Sleep(rng.Below(full[restore] + 1));
        TerminateProcess(run, 99);
        DWORD code = WaitExit(run);
        CloseHandle(run);
        if (code == 99)
            killedMidway++;
        else
            finishedFirst++;

        int newCount = 0;
        size_t temps = 0;
        CheckAfterKill(set, box, outside, &newCount, &temps);
        if (HasFatalFailure())
            return;
        leftTemps += temps != 0;
        partlyApplied += newCount > 0 && newCount < int(set.recordNames.size());
        if (restore) {
            UndoWithRestoreFile(box, restorePatch, undoArgs, set, newCount, &restoreRuns);
            if (HasFatalFailure())
                return;
            restoredTargets += newCount;
        }

        // a second run completes the job
        HANDLE again = StartHelper(runArgs, &error);
        ASSERT_NE(again, nullptr) << "CreateProcess failed, error " << error;
        ASSERT_EQ(WaitExit(again), DWORD(PATCH_FINISHED));
        CloseHandle(again);
        size_t tempsAfter = 0;
        CheckAllNew(set, box, &tempsAfter);
        if (HasFatalFailure())
            return;
        tempsAfterRerun += tempsAfter != 0;
        ASSERT_LE(tempsAfter, temps) << "the second run left temporary files of its own";
    }
    std::printf("%u runs: %u killed before the end (%u with some records applied), %u finished first; "
                "temporary files left by %u kills, still there after the second run in %u; "
                "no target missing or partial; %u restore files run after a kill, undoing %u new targets"
                "\n",
                runs, killedMidway, partlyApplied, finishedFirst, leftTemps, tempsAfterRerun, restoreRuns,
                restoredTargets);
}

}  // namespace
}  // namespace reliability
