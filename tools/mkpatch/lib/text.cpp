#include "text.h"

#include <cstdio>

namespace mkpatch {
namespace {

// The length of the well-formed UTF-8 sequence at s[i], or 0.
size_t SequenceAt(std::string_view s, size_t i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80)
        return 1;
    size_t n = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (n == 0 || n > s.size() - i)
        return 0;
    for (size_t k = 1; k < n; k++) {
        if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
            return 0;
    }
    unsigned char second = static_cast<unsigned char>(s[i + 1]);
    // overlong forms, UTF-16 surrogates, and code points beyond U+10FFFF
    if ((c == 0xE0 && second < 0xA0) || (c == 0xED && second > 0x9F) ||
        (c == 0xF0 && second < 0x90) || (c == 0xF4 && second > 0x8F))
        return 0;
    return n;
}

void AppendEscaped(std::string& out, unsigned char c) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\x%02X", c);
    out += buf;
}

}  // namespace

std::string Hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t n = SequenceAt(s, i);
        if (n == 0) {
            out += '\\';  // the text \xNN, its backslash escaped
            AppendEscaped(out, c);
            i++;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += s[i];
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04X", c);
            out += buf;
        } else {
            out.append(s, i, n);
        }
        i += n;
    }
    return out + "\"";
}

bool IsUtf8(std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        size_t n = SequenceAt(s, i);
        if (n == 0)
            return false;
        i += n;
    }
    return true;
}

std::string Printable(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t n = SequenceAt(s, i);
        if (n == 0 || (c < 0x20 && c != '\n') || c == 0x7F) {
            AppendEscaped(out, c);
            i++;
            continue;
        }
        out.append(s, i, n);
        i += n;
    }
    return out;
}

std::string Count(uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace mkpatch
