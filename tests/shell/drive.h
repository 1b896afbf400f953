// Driving the applier from a second Win32 program: writing containers and
// patched appliers, starting them, finding their windows and message boxes,
// pressing buttons and reading texts. Used by the window tests, the demo and
// the screenshot run. Everything is polled with a deadline, never waited
// on blindly, so a hung applier fails a test instead of hanging it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/container_builder.h"

namespace drive {

using Bytes = std::vector<unsigned char>;

Bytes ToBytes(const std::string& s);

// --- files ---
bool WriteBytes(const std::string& path, const Bytes& data);
// The file's bytes; missing is set (and the result empty) when it cannot be
// read.
Bytes ReadBytes(const std::string& path, bool* missing = nullptr);
bool Exists(const std::string& path);
// Removes a folder's contents (files and subfolders) and the folder itself.
void RemoveTree(const std::string& dir);
// A Unix path as the Windows side sees it: "/a/b" -> "Z:\a\b", and
// "a/b" -> "a\b".
std::string WindowsPath(const std::string& path);

// --- containers, written through the tests' one container builder ---
using testing_support::Sum;

// The commands of a delta record, without its head and its CMD_END.
class Delta {
public:
    Delta& Copy(uint32_t length, uint32_t offset) { commands_.Copy(length, offset); return *this; }
    Delta& Insert(const Bytes& literal) { commands_.Insert(literal); return *this; }
    Delta& Raw(const Bytes& bytes) { commands_.Raw(bytes); return *this; }  // e.g. an undefined command byte
    const Bytes& Body() const { return commands_.bytes(); }

private:
    testing_support::ContainerBuilder commands_ = testing_support::ContainerBuilder::Bare();
};

// A delta that turns old into new: the common head and tail are copied,
// the middle inserted.
Delta SimpleDelta(const Bytes& oldBytes, const Bytes& newBytes);

// A container that counts its records as they are added.
class Container {
public:
    Container& Whole(const std::string& name, const Bytes& content) {
        builder_.Whole(name, content);
        return Counted();
    }
    // A delta record; the stream is ended with CMD_END here.
    Container& DeltaRecord(const std::string& name, uint32_t oldSum, uint32_t newSum, const Delta& d) {
        builder_.Delta(oldSum, newSum, name).Raw(d.Body()).End();
        return Counted();
    }
    // Bytes appended as they stand (for cut-off containers).
    Container& Raw(const Bytes& bytes) {
        builder_.Raw(bytes);
        return *this;
    }
    // Overrides the record count written in the header.
    Container& Count(uint16_t count) {
        forced_ = true;
        builder_.Count(count);
        return *this;
    }
    Bytes Build() const { return builder_.bytes(); }

private:
    Container& Counted() {
        if (!forced_)
            builder_.Count(uint16_t(++count_));
        return *this;
    }

    testing_support::ContainerBuilder builder_{0};
    unsigned count_ = 0;
    bool forced_ = false;
};

// Copies the applier to out with rcdata as its branding resource (RCDATA
// 200, Chinese (PRC)) and its container offset moved to the new file size,
// as mkpatch does; returns false on failure.
bool BrandApplier(const std::string& applier, const std::string& rcdata, const std::string& out);

// Copies the applier and appends the container; returns false on failure.
bool MakePatch(const std::string& applier, const Bytes& container, const std::string& out);

// Builds a container from two folders: files only in new become whole-file
// records, changed files become deltas, equal files are left out. Names are
// relative, with backslashes.
Bytes ContainerFromFolders(const std::string& oldDir, const std::string& newDir);

// --- the applier's process and windows ---
struct Process {
    PROCESS_INFORMATION pi{};
    bool ok = false;
    Process() = default;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    ~Process();
    // Waits for the process to end; returns its exit code, or -1 on
    // timeout (the process is then ended).
    long Wait(DWORD ms);
};

// Starts exe with the command line "exe" quoted, or commandLine if given.
bool Launch(Process& p, const std::string& exe, const std::string* commandLine = nullptr);

std::string Text(HWND wnd);
std::string ClassOf(HWND wnd);
// Visible top-level windows of the process, of a class (any when null).
std::vector<HWND> TopWindows(DWORD pid, const char* cls);
// The main window once it and all its controls exist, or null on timeout.
HWND WaitMainWindow(const Process& p, DWORD ms);
// The next message box (#32770) of the process that is not in seen and not
// the progress dialog; null on timeout or when the process ended.
HWND WaitBox(const Process& p, DWORD ms, const std::vector<HWND>& seen = {});
// The progress dialog ("Patching..."), or null.
HWND FindProgress(DWORD pid);
// A message box's text (its static with id 0xFFFF).
std::string BoxText(HWND box);
void SetEditText(HWND main, const std::string& text);
bool StartEnabled(HWND main);
// Posts a button's click as the button itself would send it.
void Click(HWND dlg, int id);
// Answers a message box with IDOK, IDYES, IDNO...
void Answer(HWND box, int id);
// Waits until cond() holds; false on timeout.
template <class F>
bool WaitFor(F cond, DWORD ms) {
    DWORD start = GetTickCount();
    while (!cond()) {
        if (GetTickCount() - start > ms)
            return false;
        Sleep(5);
    }
    return true;
}

// What one run through the window gave.
struct Outcome {
    std::string caption;
    std::string text;
    std::vector<std::string> questions;  // captions of overwrite questions answered
    HWND questionOwner = nullptr;        // owner of the first question
    HWND progress = nullptr;             // the progress dialog seen at that time
    int outcomeBoxes = 0;                // message boxes other than questions
    long exitCode = -1;
};

// Called with each message box before it is answered; progress is the
// progress dialog for an overwrite question and null for the outcome.
using BoxHook = void (*)(HWND box, HWND progress, void* ctx);

// Types folder, presses Start, answers each overwrite question from answers
// (IDYES/IDNO, in order; IDNO when they run out), answers the outcome with
// OK and waits for the exit.
Outcome RunThrough(Process& p, HWND main, const std::string& folder,
                   const std::vector<int>& answers, BoxHook onBox = nullptr,
                   void* ctx = nullptr);

}  // namespace drive
