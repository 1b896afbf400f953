// A small command-line driver for the demo and the screenshots:
//   shelldrive make OLD_DIR NEW_DIR APPLIER.exe OUT.exe
//       writes a patch: the applier with a container from the two folders
//   shelldrive run PATCH.exe TARGET_DIR [SHOT_DIR]
//       starts the patch, types the folder, presses Start, answers Yes to
//       every overwrite question, prints the outcome message and the exit
//       code. With SHOT_DIR it checks the restore box, stops at the main
//       window, at the question before the first write, at the first
//       overwrite question and at the outcome message, writes NAME.req
//       there and waits for NAME.done, so that a script outside can take a
//       picture.
// Texts are printed as the applier has them, in code page 936.
#include <windows.h>

#include <cstdio>
#include <string>

#include "drive.h"

using namespace drive;

static std::string s_shotDir;
static HWND s_main;

// Lets the screenshot script take a picture of the screen as it is now. The
// request holds "x y width height" of the windows a and b together (screen
// coordinates), with a small margin, for the script to cut the picture to.
static void Shot(const char* name, HWND a, HWND b = nullptr) {
    if (s_shotDir.empty())
        return;
    std::string req = s_shotDir + "\\" + name + ".req";
    std::string done = s_shotDir + "\\" + name + ".done";
    DeleteFileA(done.c_str());
    Sleep(300);  // let the windows finish drawing
    RECT r{}, rb;
    GetWindowRect(a, &r);
    if (b && GetWindowRect(b, &rb))
        UnionRect(&r, &r, &rb);
    const int margin = 12;
    int x = r.left > margin ? r.left - margin : 0, y = r.top > margin ? r.top - margin : 0;
    std::string area = std::to_string(x) + " " + std::to_string(y) + " " +
                       std::to_string(r.right + margin - x) + " " + std::to_string(r.bottom + margin - y) + "\n";
    WriteBytes(req, ToBytes(area));
    if (!WaitFor([&] { return Exists(done); }, 60000))
        fprintf(stderr, "shelldrive: no picture taken of %s\n", name);
    DeleteFileA(req.c_str());
    DeleteFileA(done.c_str());
}

// Moves a question below its progress dialog so that both can be seen,
// then lets the picture be taken: the question before the first write
// ("check") and the first overwrite question ("progress"); the outcome
// message is taken as it is.
static void OnBox(HWND box, HWND progress, void*) {
    if (!progress) {
        Shot("outcome", box, s_main);
        return;
    }
    RECT pr;
    if (GetWindowRect(progress, &pr))
        SetWindowPos(box, nullptr, pr.left, pr.bottom + 8, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    static bool taken;
    if (Text(box) == "文件不符")
        Shot("check", progress, box);
    else if (!taken) {
        Shot("progress", progress, box);
        taken = true;
    }
}

static int Make(const std::string& oldDir, const std::string& newDir, const std::string& applier,
                const std::string& out) {
    Bytes container = ContainerFromFolders(WindowsPath(oldDir), WindowsPath(newDir));
    if (!MakePatch(WindowsPath(applier), container, WindowsPath(out))) {
        fprintf(stderr, "shelldrive: cannot write %s\n", out.c_str());
        return 1;
    }
    printf("patch %s: %u records, container %u bytes\n", out.c_str(),
           (unsigned)(container[0] | container[1] << 8), (unsigned)container.size());
    return 0;
}

static int Run(const std::string& patch, const std::string& target) {
    Process p;
    if (!Launch(p, WindowsPath(patch))) {
        fprintf(stderr, "shelldrive: cannot start %s\n", patch.c_str());
        return 1;
    }
    HWND main = WaitMainWindow(p, 60000);
    if (!main) {
        HWND box = WaitBox(p, 1000);
        fprintf(stderr, "shelldrive: no main window%s%s\n", box ? "; message: " : "",
                box ? BoxText(box).c_str() : "");
        return 1;
    }
    std::string folder = WindowsPath(target);
    if (folder.empty() || folder.back() != '\\')
        folder += '\\';
    SetEditText(main, folder);
    s_main = main;
    if (!s_shotDir.empty())
        SendMessageA(GetDlgItem(main, 1013), BM_SETCHECK, BST_CHECKED, 0);  // the restore box
    Shot("main", main);
    Outcome o = RunThrough(p, main, folder, std::vector<int>(64, IDYES), OnBox);
    for (const std::string& q : o.questions)
        printf("question: %s -> yes\n", q.c_str());
    printf("outcome: [%s] %s\n", o.caption.c_str(), o.text.c_str());
    printf("exit code: %ld\n", o.exitCode);
    return o.outcomeBoxes == 1 && o.exitCode == 0 ? 0 : 1;
}

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "make" && argc == 6)
        return Make(argv[2], argv[3], argv[4], argv[5]);
    if (mode == "run" && (argc == 4 || argc == 5)) {
        if (argc == 5)
            s_shotDir = WindowsPath(argv[4]);
        return Run(argv[2], argv[3]);
    }
    fprintf(stderr,
            "usage: shelldrive make OLD_DIR NEW_DIR APPLIER.exe OUT.exe\n"
            "       shelldrive run PATCH.exe TARGET_DIR [SHOT_DIR]\n");
    return 2;
}
