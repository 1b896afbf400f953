// mkpatch's entry: the arguments as UTF-8, then the command line proper.
#include <iostream>
#include <string>
#include <vector>

#include "tools/mkpatch/cli/cli.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>

// The wide arguments, so that any folder name reaches the tool intact.
int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; i++) {
        int n = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
        std::string s(n > 0 ? n - 1 : 0, '\0');
        if (n > 1)
            WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, s.data(), n, nullptr, nullptr);
        args.push_back(s);
    }
    SetConsoleOutputCP(CP_UTF8);
    // 'list -' reads a patch and '-o -' writes a container: bytes, which
    // text mode would change at every 0x0A and 0x1A
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    return mkpatch::RunMkpatch(args, std::cout, std::cerr);
}
#else
int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return mkpatch::RunMkpatch(args, std::cout, std::cerr);
}
#endif
