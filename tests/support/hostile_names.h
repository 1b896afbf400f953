// Record names that could reach outside the target folder, or name a
// device or a stream instead of a file. One table for every suite that
// checks refusal: the core's name check, one record in the engine, and
// whole runs in the reliability suite. Labels name the cases in listings.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace testing_support {

struct HostileName {
    const char* label;
    std::string name;
};

// Named by its label alone in test listings.
inline void PrintTo(const HostileName& h, std::ostream* os) {
    *os << h.label;
}

inline const std::vector<HostileName>& HostileNames() {
    static const std::vector<HostileName> names = {
        {"DotDotTwice", "..\\..\\X"},         {"DotDotSlash", "../../X"},
        {"DotDotOnce", "..\\X"},              {"DotDotAlone", ".."},
        {"DotDotInside", "sub\\..\\..\\X"},   {"DotDotInsideSlash", "a/../b"},
        {"DotDotAtTheEnd", "a\\.."},          {"Drive", "C:\\X"},
        {"DriveRelative", "C:X"},             {"Rooted", "\\X"},
        {"RootedSlash", "/X"},                {"Stream", "A:B"},
        {"NamedStream", "A.TXT:stream"},      {"DefaultStream", "X::$DATA"},
        {"Unc", "\\\\server\\share\\X"},      {"Dot", ".\\X"},
        {"DotAlone", "."},                    {"DotInside", "a\\.\\b"},
        {"TrailingDots", "sub\\...\\X"},      {"DotsAndSpaces", "sub\\. .\\..\\X"},
        {"DotDotSpace", ".. "},               {"Device", "CON"},
        {"DeviceLowerCase", "con"},           {"DeviceWithExtension", "sub\\nul.txt"},
        {"DeviceSpaceExtension", "NUL .txt"}, {"DevicePort", "com1"},
        {"DevicePrinterPort", "LPT9.dat"},    {"DeviceInFolder", "dir\\aux"},
        {"DeviceAsFolder", "AUX\\x"},         {"DeviceConsole", "CONIN$"},
        {"Empty", ""},                        {"TrailingSeparator", "sub\\"},
        {"TrailingSlash", "a/"},              {"DoubleSeparator", "sub\\\\X"},
        // a stray lead byte hides neither the separator nor the colon after it
        {"StrayLeadByteSeparator", "\x81/..\x81/.."}, {"StrayLeadByteColon", "\x81:x"},
        {"ZeroInside", std::string("a\0b", 3)},
    };
    return names;
}

}  // namespace testing_support
