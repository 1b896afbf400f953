// A small JSON reader for the tool's own files (the project file): values
// with the line they start on, so that every complaint names its line.
#ifndef KORVEX_MKPATCH_JSON_H
#define KORVEX_MKPATCH_JSON_H

#include <string>
#include <string_view>
#include <vector>

namespace mkpatch {

struct JsonMember;

struct JsonValue {
    enum Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = kNull;
    int line = 0;
    bool boolean = false;
    std::string text;  // a string's UTF-8, or a number as written
    std::vector<JsonValue> items;
    // in the file's order; a struct of its own, not a std::pair, since a
    // pair of a type still being defined cannot be completed (clang with
    // libstdc++ refuses it)
    std::vector<JsonMember> members;
};

struct JsonMember {
    std::string key;
    JsonValue value;
};

// The one value that text holds (RFC 8259: no comments, no trailing
// commas; a key given twice in one object is refused). Throws Error as
// "what:LINE: problem".
JsonValue ParseJson(std::string_view text, const std::string& what);

}  // namespace mkpatch

#endif
