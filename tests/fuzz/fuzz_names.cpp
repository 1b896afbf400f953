// Record names against the rules that keep a file inside the target folder.
// The input's first byte picks the code page (bit 0: 936 or single-byte)
// and the folder length for JoinPath; the rest up to the first 0 byte is the
// name, as a container would hold it.
//
// The properties are checked with a walk written here on its own: in code
// page 936 a lead byte 0x81-0xFE and a trail byte 0x40-0x7E or 0x80-0xFE
// are one character; any other byte is a character by itself. So a ':' or
// a '/' can never hide inside a character, while a 0x5C trail byte can.
#include <cstring>
#include <string>
#include <vector>

#include "core/names.h"
#include "fuzz_check.h"

namespace {

bool IsTrail936(unsigned char b) {
    return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFE);
}

// Splits a name into its components at separators that stand on a
// character boundary.
std::vector<std::string> Components(const std::string& name, bool dbcs) {
    std::vector<std::string> parts(1);
    for (size_t i = 0; i < name.size();) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (dbcs && c >= 0x81 && c <= 0xFE && i + 1 < name.size() &&
            IsTrail936(static_cast<unsigned char>(name[i + 1]))) {
            parts.back() += name.substr(i, 2);
            i += 2;
            continue;
        }
        if (c == '\\' || c == '/')
            parts.emplace_back();
        else
            parts.back() += static_cast<char>(c);
        i++;
    }
    return parts;
}

bool DotsAndSpacesOnly(const std::string& part) {
    return part.find_first_not_of(". ") == std::string::npos;
}

std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return s;
}

bool IsDevice(const std::string& part) {
    std::string base = Upper(part.substr(0, part.find('.')));
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    static const char* const kNames[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* n : kNames)
        if (base == n)
            return true;
    return base.size() == 4 && (base.starts_with("COM") || base.starts_with("LPT")) &&
           base[3] >= '1' && base[3] <= '9';
}

// A name this simple must be accepted: components of letters, digits,
// '_' and '-', each with at least one of them, no device name.
bool PlainlySafe(const std::vector<std::string>& parts) {
    for (const std::string& p : parts) {
        if (p.empty() || IsDevice(p))
            return false;
        for (char c : p)
            if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                  c == '_' || c == '-' || c == '.'))
                return false;
        if (DotsAndSpacesOnly(p))
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const bool dbcs = data[0] & 1;
    const LeadBytePredicate lead = dbcs ? IsLeadByte936 : IsLeadByteNone;
    const size_t folderLen = data[0] >> 1;  // 0 to 127 bytes of folder
    const char* raw = reinterpret_cast<const char*>(data + 1);
    const size_t len = strnlen(raw, size - 1);
    const std::string name(raw, len);

    const bool accepted = CheckRecordName(name.data(), len, lead) != 0;
    const std::vector<std::string> parts = Components(name, dbcs);
    if (accepted) {
        FUZZ_CHECK(len > 0);
        FUZZ_CHECK(name[0] != '\\' && name[0] != '/');
        FUZZ_CHECK(name.find(':') == std::string::npos);
        for (const std::string& p : parts) {
            FUZZ_CHECK(!DotsAndSpacesOnly(p));
            FUZZ_CHECK(!IsDevice(p));
        }
    }
    if (PlainlySafe(parts))
        FUZZ_CHECK(accepted);

    // The folder part ends just after the last separator that stands on a
    // character boundary.
    size_t folderPart = FolderPartLength(name.data(), len, lead);
    size_t expectedPart = parts.size() > 1 ? len - parts.back().size() : 0;
    FUZZ_CHECK(folderPart == expectedPart);

    // JoinPath never writes past its buffer and joins exactly when it fits.
    std::string folder(folderLen, 'F');
    if (!folder.empty())
        folder.back() = '\\';
    char out[PATCH_PATH_MAX + 16];
    std::memset(out, 0x7F, sizeof out);
    int joined = JoinPath(out, folder.c_str(), name.data(), len);
    FUZZ_CHECK(joined == (folderLen + len + 1 <= PATCH_PATH_MAX));
    if (joined)
        FUZZ_CHECK(std::string(out) == folder + name);
    else
        FUZZ_CHECK(out[0] == 0);
    for (size_t i = PATCH_PATH_MAX; i < sizeof out; i++)
        FUZZ_CHECK(out[i] == 0x7F);
    return 0;
}
