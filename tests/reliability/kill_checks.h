// What every kill-anywhere test checks after a kill, whichever program it
// killed: each record's target is its old or its new version, never
// missing or partial, and nothing but temporary files appears that the
// patch does not make.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "patchset.h"

namespace reliability {

// A count from the environment (KORVEX_KILLS, KORVEX_SEED), or fallback.
inline unsigned FromEnv(const char* name, unsigned fallback) {
    const char* v = std::getenv(name);
    return v && *v ? unsigned(std::strtoul(v, nullptr, 0)) : fallback;
}

// A restore file a run made in the target folder: the sets name no
// programs, so any at the top is one.
inline bool IsRestoreFile(const std::string& path) {
    return path.size() > 4 && path.compare(path.size() - 4, 4, ".exe") == 0 && path.find('\\') == path.npos;
}

// Adds to *newCount how many targets hold their new version.
inline void CheckEachTarget(const PatchSet& set, const Tree& now, int* newCount) {
    for (const std::string& name : set.recordNames) {
        auto it = now.find(name);
        auto old = set.before.find(name);
        if (it == now.end()) {
            ASSERT_TRUE(old == set.before.end()) << name << " is missing";
            continue;
        }
        bool isNew = it->second == set.after.at(name);
        bool isOld = old != set.before.end() && it->second == old->second;
        ASSERT_TRUE(isNew || isOld) << name << " is partial: " << it->second.size() << " bytes";
        *newCount += isNew;
    }
    for (const auto& [path, bytes] : now) {
        if (bytes == Text("<dir>") || !TempFiles(Tree{{path, bytes}}).empty() || IsRestoreFile(path))
            continue;
        ASSERT_TRUE(set.after.count(path)) << "unexpected file " << path;
    }
}

// After a kill: each target old or new, and nothing outside the target
// folder changed. *newCount gets how many targets are new, *temps how many
// temporary files the kill left.
inline void CheckAfterKill(const PatchSet& set, const Sandbox& box, const Tree& outside, int* newCount,
                           size_t* temps) {
    Tree now = box.Target();
    *newCount = 0;
    CheckEachTarget(set, now, newCount);
    if (::testing::Test::HasFatalFailure())
        return;
    ASSERT_EQ(box.Outside(), outside) << "a file outside the target folder changed";
    *temps = TempFiles(now).size();
}

// After an undisturbed run: every target holds its new version. *temps
// gets how many temporary files are in the target folder.
inline void CheckAllNew(const PatchSet& set, const Sandbox& box, size_t* temps) {
    Tree now = box.Target();
    int newCount = 0;
    CheckEachTarget(set, now, &newCount);
    if (::testing::Test::HasFatalFailure())
        return;
    ASSERT_EQ(newCount, int(set.recordNames.size()));
    *temps = TempFiles(now).size();
}

// After a restore: every target that was there before holds its old
// version; a file the patch created cannot be taken away, so it may stay.
inline void CheckAllOld(const PatchSet& set, const Sandbox& box) {
    Tree now = box.Target();
    for (const std::string& name : set.recordNames) {
        auto it = now.find(name);
        auto old = set.before.find(name);
        if (old != set.before.end()) {
            ASSERT_TRUE(it != now.end() && it->second == old->second) << name << " is not old after the restore";
        } else if (it != now.end()) {
            ASSERT_EQ(it->second, set.after.at(name)) << name << " (created) is partial";
        }
    }
}

}  // namespace reliability
