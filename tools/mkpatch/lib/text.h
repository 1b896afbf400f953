// Small text forms shared by the commands' reports.
#ifndef KORVEX_MKPATCH_TEXT_H
#define KORVEX_MKPATCH_TEXT_H

#include <cstdint>
#include <string>
#include <string_view>

namespace mkpatch {

// A checksum as people compare them: 0x followed by eight hex digits.
std::string Hex(uint32_t v);

// s as a JSON string literal, quotes included; bytes that are not UTF-8
// (a Linux file name can hold any) become the text \xNN, so the document
// always parses.
std::string JsonString(const std::string& s);

// Whether s is well-formed UTF-8.
bool IsUtf8(std::string_view s);

// s for a terminal: valid UTF-8 as it is, every other byte and every
// control character but the newline as the text \xNN.
std::string Printable(std::string_view s);

// "1 record", "2 records": n and the word in its number.
std::string Count(uint64_t n, const char* one, const char* many);

}  // namespace mkpatch

#endif
