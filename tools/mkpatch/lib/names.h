// Record names: the host's file names (UTF-8 here, UTF-16 on Windows,
// carried as UTF-8 inside the tool) turned into the byte strings that the
// applier hands to the ANSI file functions of the target machine.
#ifndef KORVEX_MKPATCH_NAMES_H
#define KORVEX_MKPATCH_NAMES_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/names.h"

namespace mkpatch {

// The target's ANSI code page, 936 (Simplified Chinese) by default.
class CodePage {
public:
    // Throws std::invalid_argument when this host cannot convert to it.
    explicit CodePage(unsigned number);
    ~CodePage();
    CodePage(const CodePage&) = delete;
    CodePage& operator=(const CodePage&) = delete;

    unsigned Number() const { return number_; }

    // The name's bytes in the code page, or nothing when some character
    // has no exact form there (no best-fit substitutes: "é" is not "e").
    std::optional<std::string> FromUtf8(std::string_view utf8) const;

    // The UTF-8 text of code-page bytes, or nothing when they are invalid.
    std::optional<std::string> ToUtf8(std::string_view bytes) const;

    // The lead-byte test of this code page, in the form the core's name
    // checks take; it reads a table that belongs to this code page alone
    // and stays valid for the whole run.
    LeadBytePredicate LeadBytes() const;

private:
    unsigned number_;
    LeadBytePredicate isLead_ = nullptr;
};

// Longest record name: the shortest target folder, a drive root such as
// "C:\", leaves this much of a 259-byte path.
inline constexpr size_t kMaxNameBytes = PATCH_PATH_MAX - 1 - 3;

// Turns a relative path with '/' separators (UTF-8) into a record name
// with '\' separators in the code page. Returns the name, or sets *why to
// the reason it cannot be one: a character the code page cannot hold, a
// name too long for the path buffer, a component Windows would read
// differently (reserved characters, trailing dots or spaces, device
// names) or one that is not plainly inside the target folder.
std::optional<std::string> MakeRecordName(std::string_view relUtf8, const CodePage& cp,
                                          std::string* why);

// A record name shown to people: UTF-8 with '\' kept, or the bytes as
// \xNN escapes where they are not valid in the code page.
std::string DisplayName(std::string_view recordName, const CodePage& cp);

// The relative host path ('/' separators, UTF-8) that a record name
// stands for, or nothing when it cannot be converted.
std::optional<std::string> HostRelativePath(std::string_view recordName, const CodePage& cp);

// A UTF-8 name with every letter upper-cased one to one, as NTFS compares
// names (beyond ASCII: "α" and "Α", "ａ" and "Ａ" are one name); two
// names with the same fold are one file on the target.
std::string FoldName(std::string_view utf8);

}  // namespace mkpatch

#endif
