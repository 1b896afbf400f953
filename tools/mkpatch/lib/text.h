// Small text forms shared by the commands' reports.
#ifndef KORVEX_MKPATCH_TEXT_H
#define KORVEX_MKPATCH_TEXT_H

#include <cstdint>
#include <string>

namespace mkpatch {

// A checksum as people compare them: 0x followed by eight hex digits.
std::string Hex(uint32_t v);

// s as a JSON string literal, quotes included (s is UTF-8).
std::string JsonString(const std::string& s);

}  // namespace mkpatch

#endif
