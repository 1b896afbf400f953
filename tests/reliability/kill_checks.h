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
        if (bytes == Text("<dir>") || !TempFiles(Tree{{path, bytes}}).empty())
            continue;
        ASSERT_TRUE(set.after.count(path)) << "unexpected file " << path;
    }
}

}  // namespace reliability
