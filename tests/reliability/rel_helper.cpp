// A console stand-in for the applier, for tests that need the engine in a
// process of its own:
//   rel_helper run CONTAINER FOLDER\ [restore]   applies the container
//       file to the folder, answering Yes to every overwrite question, and
//       prints the outcome and the tally; the exit code is the outcome.
//       With "restore" the run makes FOLDER\restore.exe (kRestoreStub,
//       then the container).
//   rel_helper hold FILE MILLISECONDS  opens FILE without sharing, says
//       "held", and keeps it open that long.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "engine/patch.h"
#include "process.h"

namespace {

int AnswerYes(void*, const char*) {
    return 1;
}

void NoteEnd(void*, int finished) {
    std::printf("end %s\n", finished ? "finished" : "stopped");
}

int Run(const char* containerPath, const char* folder, bool restore) {
    HANDLE file = CreateFileA(containerPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::printf("cannot open %s\n", containerPath);
        return 100;
    }
    LARGE_INTEGER size;
    GetFileSizeEx(file, &size);
    HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    const unsigned char* view =
        mapping ? static_cast<const unsigned char*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0)) : nullptr;
    int code = 101;
    if (view) {
        PatchHost host{AnswerYes, nullptr, NoteEnd, nullptr, nullptr, nullptr};
        PatchSetKeepRunning(1);
        const auto* stub = reinterpret_cast<const unsigned char*>(reliability::kRestoreStub);
        PatchRestore r{folder, reliability::kRestoreName, stub, sizeof reliability::kRestoreStub};
        RunPatch(view, size_t(size.QuadPart), folder, &host, restore ? &r : nullptr);
        const PatchTally& t = g_tally;
        std::printf("records %u ok %u overwritten %u skipped %u notarget %u badsource %u (uptodate %u) "
                    "badresult %u notwritten %u baddata %u\n",
                    t.records, t.ok, t.overwritten, t.skipped, t.notTarget, t.badSource, t.upToDate,
                    t.badResult, t.notWritten, t.badData);
        std::printf("restore %d records %u created %u %s\n", g_restore.state, g_restore.records, g_restore.created,
                    g_restore.path);
        code = PatchOutcome();
        UnmapViewOfFile(view);
    } else {
        std::printf("cannot map %s\n", containerPath);
    }
    if (mapping)
        CloseHandle(mapping);
    CloseHandle(file);
    return code;
}

int Hold(const char* path, DWORD ms) {
    HANDLE file = CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::printf("cannot open %s\n", path);
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    Sleep(ms);
    CloseHandle(file);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if ((argc == 4 || (argc == 5 && std::strcmp(argv[4], "restore") == 0)) && std::strcmp(argv[1], "run") == 0)
        return Run(argv[2], argv[3], argc == 5);
    if (argc == 4 && std::strcmp(argv[1], "hold") == 0)
        return Hold(argv[2], DWORD(std::strtoul(argv[3], nullptr, 10)));
    std::printf("usage: rel_helper run CONTAINER FOLDER\\ [restore] | hold FILE MILLISECONDS\n");
    return 2;
}
