// Kill anywhere: the engine runs in a process of its own (rel_helper) on a
// container of many delta records and whole files, and is terminated at a
// random moment. After every kill each target is byte for byte its old
// version (absent for a new file) or its new version, never missing or
// partial; a second, undisturbed run then finishes the job.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "engine/patch.h"
#include "patchset.h"
#include "kill_checks.h"
#include "process.h"

namespace reliability {
namespace {

TEST(KillAnywhere, EveryTargetOldOrNewAndASecondRunFinishes) {
    const unsigned runs = FromEnv("KORVEX_KILLS", 200);
    const unsigned seed = FromEnv("KORVEX_SEED", 4242);
    const PatchSet set = LargeSet(seed, 32, 16, 192 * 1024);
    Sandbox box("kill");
    const std::string patch = box.root + "\\outside\\patch.bin";
    ASSERT_TRUE(WriteFileBytes(patch, set.container));
    // the folder ends in a backslash, doubled so that it does not escape
    // the closing quote
    std::string runArgs = "run \"";
    runArgs.append(patch).append("\" \"").append(box.target).append("\\\"");
    const Tree outside = box.Outside();

    // How long an undisturbed run takes, start to exit: the quickest of
    // three, so that the kills fall inside a run rather than after it.
    unsigned full = ~0u;
    for (int i = 0; i < 3; i++) {
        box.Reset(set.before);
        ULONGLONG t0 = GetTickCount64();
        HANDLE p = StartHelper(runArgs);
        ASSERT_NE(p, nullptr);
        ASSERT_EQ(WaitExit(p), DWORD(PATCH_FINISHED));
        CloseHandle(p);
        full = std::min(full, unsigned(GetTickCount64() - t0));
        size_t temps = 0;
        CheckAllNew(set, box, &temps);
        if (HasFatalFailure())
            return;
    }
    std::printf("container %zu bytes, %zu records; an undisturbed run takes %u ms; %u kills, seed %u "
                "(KORVEX_KILLS, KORVEX_SEED)\n",
                set.container.size(), set.recordNames.size(), full, runs, seed);

    Rng rng(seed);
    unsigned killedMidway = 0, finishedFirst = 0, leftTemps = 0, tempsAfterRerun = 0;
    unsigned partlyApplied = 0;
    for (unsigned round = 0; round < runs; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        box.Reset(set.before);
        DWORD error = 0;
        HANDLE run = StartHelper(runArgs, &error);
        ASSERT_NE(run, nullptr) << "CreateProcess failed, error " << error;
        Sleep(rng.Below(full + 1));
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
                "no target missing or partial\n",
                runs, killedMidway, partlyApplied, finishedFirst, leftTemps, tempsAfterRerun);
}

}  // namespace
}  // namespace reliability
