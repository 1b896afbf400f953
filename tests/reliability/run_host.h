// Runs a container through the engine in this process, as the applier's
// worker does, and records what the engine told its host.
#pragma once

#include <string>

#include "engine/patch.h"
#include "sandbox.h"

namespace reliability {

struct RunRecord {
    int outcome = -1;      // PATCH_FINISHED, PATCH_DATAERROR, PATCH_CANCELLED or PATCH_RESTOREFAILED
    int notifications = 0;
    int finished = -1;     // what the one end notification said
    int questions = 0;
    PatchTally tally{};
};

struct HostState {
    RunRecord* run;
    bool answerYes;
};

inline int AskOverwrite(void* ctx, const char*) {
    HostState* h = static_cast<HostState*>(ctx);
    h->run->questions++;
    return h->answerYes ? 1 : 0;
}

inline void NotifyEnd(void* ctx, int finished) {
    HostState* h = static_cast<HostState*>(ctx);
    h->run->notifications++;
    h->run->finished = finished;
}

inline RunRecord RunContainer(const Bytes& container, const std::string& target, bool answerYes = true,
                              const PatchRestore* restore = nullptr) {
    RunRecord r;
    HostState state{&r, answerYes};
    PatchHost host{AskOverwrite, nullptr, NotifyEnd, nullptr, &state, nullptr};
    // an exact-size copy: the engine must stop at its end, not at a 0 byte
    Bytes exact(container);
    PatchSetKeepRunning(1);
    RunPatch(exact.data(), exact.size(), target.c_str(), &host, restore);
    r.outcome = PatchOutcome();
    r.tally = g_tally;
    return r;
}

}  // namespace reliability
