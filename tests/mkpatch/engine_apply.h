// Applying a container with the real engine, for the tests that check
// mkpatch's patches against the applier's own code (under wine64).
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <string>

#include "engine/patch.h"
#include "tree.h"

namespace {

namespace fs = std::filesystem;
using tree::Bytes;

struct HostLog {
    int questions = 0;
    int answer = 0;  // 1 answers Yes to the overwrite question
    int ends = 0;
    int finished = -1;
};

int AskOverwrite(void* ctx, const char*) {
    auto* log = static_cast<HostLog*>(ctx);
    log->questions++;
    return log->answer;
}

void NotifyEnd(void* ctx, int finished) {
    auto* log = static_cast<HostLog*>(ctx);
    log->ends++;
    log->finished = finished;
}

// The folder as the engine takes it: ANSI text ending with a separator.
std::string AnsiFolder(const fs::path& p) {
    std::wstring w = p.wstring() + L"\\";
    int n = WideCharToMultiByte(CP_ACP, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string s(n - 1, '\0');
    WideCharToMultiByte(CP_ACP, 0, w.c_str(), -1, s.data(), n, nullptr, nullptr);
    return s;
}

HostLog ApplyWithEngine(const Bytes& container, const fs::path& target) {
    HostLog log;
    PatchHost host{AskOverwrite, nullptr, NotifyEnd, nullptr, &log, nullptr};
    PatchSetKeepRunning(1);
    RunPatch(container.data(), container.size(), AnsiFolder(target).c_str(), &host, nullptr);
    return log;
}

// Copies old to target, applies the container that starts at offset in
// patch, and checks that the run finished without a failure and that
// target then holds every file of neu.
void ExpectApplyGivesNew(const Bytes& patch, int64_t offset, const fs::path& old, const fs::path& neu,
                         const fs::path& target) {
    Bytes container(patch.begin() + offset, patch.end());
    fs::copy(old, target, fs::copy_options::recursive);
    HostLog log = ApplyWithEngine(container, target);
    EXPECT_EQ(log.finished, 1);
    EXPECT_EQ(g_tally.failed, 0u);
    auto got = tree::Snapshot(target);
    for (auto& [rel, bytes] : tree::Snapshot(neu))
        EXPECT_TRUE(got.count(rel) && got[rel] == bytes) << rel;
}

}  // namespace
