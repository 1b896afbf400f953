// A patch that carries its maker's name and knows where to look for the
// game's folder: the settings as the author gives them, written into the
// applier's own resources, and read back from a finished patch.
#ifndef KORVEX_MKPATCH_BRANDING_H
#define KORVEX_MKPATCH_BRANDING_H

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace mkpatch {

// The applier's resource ids that branding fills: the two icon groups
// (101 what Explorer shows for the file, 102 the window's), the version
// resource, and the RCDATA block of texts and folder hints.
enum : uint16_t { kIconGroupFile = 101, kIconGroupWindow = 102, kVersionId = 1, kSettingsId = 200 };

// The texts stored in the settings block are in this code page, whatever
// code page the record names use: the applier's interface is Chinese.
inline constexpr unsigned kTextCodePage = 936;

inline constexpr size_t kMaxAboutLines = 4;

// What the author asks for; texts in UTF-8, files as paths. Empty fields
// leave the applier's own.
struct Branding {
    std::optional<std::string> title;
    std::optional<std::string> about;  // lines split at line breaks or a literal "\n"
    std::optional<std::filesystem::path> aboutFile;
    std::optional<std::filesystem::path> icon;
    std::optional<std::filesystem::path> helpFile;
    std::vector<std::pair<std::string, std::string>> versionInfo;  // KEY, VALUE
    std::vector<std::string> findRegistry;  // ROOT\subkey\...\ValueName
    std::optional<std::string> findFile;    // relative path

    bool Empty() const {
        return !title && !about && !aboutFile && !icon && !helpFile && versionInfo.empty() &&
               findRegistry.empty() && !findFile;
    }
};

// The version-resource keys branding may set, in their proper spelling.
const std::vector<std::string>& VersionKeys();

// A copy of applier (the applier's bytes, no container) with the branding
// written into its resources. Reads the files it names and checks every
// setting first; throws Error naming the option and the problem (an
// unreadable file, an .ico that is not one, a text code page 936 cannot
// hold, too many about lines, a bad registry path or file name), and for
// an empty applier (a bare container has nowhere to carry them).
std::vector<uint8_t> BrandApplier(std::span<const uint8_t> applier, const Branding& branding,
                                  const std::string& what);

// One image of an icon group.
struct IconSize {
    unsigned width = 0;  // 256 where the group says 0
    unsigned height = 0;
    unsigned bitCount = 0;
};

// What a patch's applier carries, read back from its resources; texts in
// UTF-8.
struct BrandInfo {
    std::optional<std::string> title;
    std::vector<std::string> about;
    std::optional<std::string> help;  // lines joined by "\r\n"
    std::vector<std::string> findRegistry;
    std::optional<std::string> findFile;
    std::vector<IconSize> icons;  // of group 101
    std::vector<std::pair<std::string, std::string>> version;  // the first string table
    std::optional<std::string> fixedFileVersion;  // "a.b.c.d" from the fixed part
};

// Reads the branding from an applier's bytes. Throws Error when they are
// no PE image or its resources cannot be read.
BrandInfo ReadBranding(std::span<const uint8_t> applier, const std::string& what);

// What list shows of it: one line per setting ("title: ..."), the help
// text by its first line, or a JSON object.
std::string BrandingLines(const BrandInfo& info);
std::string BrandingJson(const BrandInfo& info);

}  // namespace mkpatch

#endif
