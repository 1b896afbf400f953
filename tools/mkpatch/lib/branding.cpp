#include "branding.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <set>

#include "core/format.h"
#include "error.h"
#include "files.h"
#include "names.h"
#include "pe_resources.h"
#include "text.h"

namespace mkpatch {
namespace {

// ---- texts ----------------------------------------------------------------

// The code point starting at s[i], advancing i; nothing for bytes that
// are not UTF-8 (overlong forms and surrogates included).
std::optional<char32_t> NextCodePoint(std::string_view s, size_t& i) {
    unsigned char c = static_cast<unsigned char>(s[i++]);
    if (c < 0x80)
        return c;
    int more = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : -1;
    if (more < 0 || c > 0xF4 || s.size() - i < static_cast<size_t>(more))
        return std::nullopt;
    char32_t cp = c & (0x3F >> more);
    for (int k = 0; k < more; k++) {
        unsigned char d = static_cast<unsigned char>(s[i++]);
        if ((d & 0xC0) != 0x80)
            return std::nullopt;
        cp = cp << 6 | (d & 0x3F);
    }
    static const char32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kLeast[more] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return std::nullopt;
    return cp;
}

std::string CodePointName(char32_t cp, std::string_view utf8) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "U+%04X", static_cast<unsigned>(cp));
    return std::string(buf) + (cp >= 0x20 ? " (" + std::string(utf8) + ")" : "");
}

// A text in the settings code page: refused, with the first character it
// cannot hold named, as are control characters (tab only where allowed).
std::string TextBytes(std::string_view utf8, const std::string& what, bool tabs = false) {
    static const CodePage cp(kTextCodePage);
    for (size_t i = 0; i < utf8.size();) {
        size_t start = i;
        auto c = NextCodePoint(utf8, i);
        if (!c)
            throw Error(what + ": not valid UTF-8 at byte " + std::to_string(start));
        std::string_view one = utf8.substr(start, i - start);
        if (*c < 0x20 && !(tabs && *c == '\t'))
            throw Error(what + ": the control character " + CodePointName(*c, one) +
                        " has no place in it");
        if (!cp.FromUtf8(one))
            throw Error(what + ": the character " + CodePointName(*c, one) +
                        " cannot be written in code page " + std::to_string(kTextCodePage));
    }
    return *cp.FromUtf8(utf8);
}

std::u16string Utf16(std::string_view utf8) {
    std::u16string out;
    for (size_t i = 0; i < utf8.size();) {
        char32_t c = NextCodePoint(utf8, i).value_or(0xFFFD);
        if (c >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
    }
    return out;
}

std::string Utf8Of(std::u16string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        char32_t c = s[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | c >> 12);
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | c >> 18);
            out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// A file's text as lines: a UTF-8 byte-order mark dropped, CR LF and LF
// both ending a line, trailing empty lines dropped.
std::vector<std::string> FileLines(const fs::path& p) {
    std::vector<uint8_t> bytes = ReadFileBytes(p);
    std::string text(bytes.begin(), bytes.end());
    if (text.starts_with("\xEF\xBB\xBF"))
        text.erase(0, 3);
    std::vector<std::string> lines;
    size_t at = 0;
    while (at <= text.size()) {
        size_t nl = text.find('\n', at);
        std::string line = text.substr(at, nl == std::string::npos ? std::string::npos : nl - at);
        if (line.ends_with('\r'))
            line.pop_back();
        lines.push_back(line);
        if (nl == std::string::npos)
            break;
        at = nl + 1;
    }
    while (!lines.empty() && lines.back().empty())
        lines.pop_back();
    return lines;
}

std::vector<std::string> AboutLines(const Branding& b) {
    if (b.aboutFile)
        return FileLines(*b.aboutFile);
    std::vector<std::string> lines;
    std::string line;
    const std::string& s = *b.about;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] == '\n' || (s[i] == '\\' && i + 1 < s.size() && s[i + 1] == 'n')) {
            i += s[i] == '\\';
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            lines.push_back(line);
            line.clear();
        } else {
            line += s[i];
        }
    }
    lines.push_back(line);
    return lines;
}

std::string JoinLines(const std::vector<std::string>& lines) {
    std::string out;
    for (size_t i = 0; i < lines.size(); i++)
        out += (i ? "\r\n" : "") + lines[i];
    return out;
}

// ---- the settings block --------------------------------------------------------

struct RegistryRoot {
    const char* shortName;
    const char* longName;
};
const RegistryRoot kRoots[] = {{"HKLM", "HKEY_LOCAL_MACHINE"},
                               {"HKCU", "HKEY_CURRENT_USER"},
                               {"HKCR", "HKEY_CLASSES_ROOT"},
                               {"HKU", "HKEY_USERS"}};

bool SameLetters(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) ==
                      std::toupper(static_cast<unsigned char>(y));
           });
}

// A registry value's path, with its root in the short form the applier
// reads: ROOT\subkey\...\ValueName. Key names are at most 255 characters
// and may not be empty; the value name is the last part.
std::string RegistryPath(const std::string& path) {
    std::string what = "--find-registry " + path;
    std::vector<std::string> parts;
    for (size_t at = 0;;) {
        size_t sep = path.find('\\', at);
        parts.push_back(path.substr(at, sep == std::string::npos ? std::string::npos : sep - at));
        if (sep == std::string::npos)
            break;
        at = sep + 1;
    }
    const RegistryRoot* root = nullptr;
    for (const RegistryRoot& r : kRoots)
        if (SameLetters(parts[0], r.shortName) || SameLetters(parts[0], r.longName))
            root = &r;
    if (!root)
        throw Error(what + ": the path must start with HKLM, HKCU, HKCR or HKU (or "
                           "HKEY_LOCAL_MACHINE, ...), not '" + parts[0] + "'");
    if (parts.size() < 3)
        throw Error(what + ": needs ROOT\\subkey\\ValueName: a key below the root and a value name");
    for (size_t i = 1; i < parts.size(); i++) {
        if (parts[i].empty())
            throw Error(what + ": an empty key or value name (two '\\' in a row, or one at the end)");
        if (i + 1 < parts.size() && parts[i].size() > 255)
            throw Error(what + ": a key name longer than 255 characters");
    }
    std::string rest = path.substr(parts[0].size());
    return root->shortName + TextBytes(rest, what);
}

// The settings block: KEY=VALUE strings in the settings code page, each
// ending with a 0 byte, and an empty string after the last.
std::vector<uint8_t> SettingsBlock(const Branding& b) {
    std::vector<std::pair<std::string, std::string>> items;
    if (b.title)
        items.emplace_back("TITLE", TextBytes(*b.title, "--title"));
    if (b.about || b.aboutFile) {
        std::string what = b.aboutFile ? Utf8(*b.aboutFile) : "--about";
        std::vector<std::string> lines = AboutLines(b);
        if (lines.size() > kMaxAboutLines)
            throw Error(what + ": " + std::to_string(lines.size()) + " lines; the panel shows at most " +
                        std::to_string(kMaxAboutLines));
        std::vector<std::string> stored;
        for (const std::string& l : lines)
            stored.push_back(TextBytes(l, what));
        items.emplace_back("ABOUT", JoinLines(stored));
    }
    if (b.helpFile) {
        std::vector<std::string> stored;
        for (const std::string& l : FileLines(*b.helpFile))
            stored.push_back(TextBytes(l, Utf8(*b.helpFile), true));
        items.emplace_back("HELP", JoinLines(stored));
    }
    for (const std::string& r : b.findRegistry)
        items.emplace_back("FINDREG", RegistryPath(r));
    if (b.findFile) {
        std::string rel = *b.findFile;
        std::replace(rel.begin(), rel.end(), '\\', '/');
        std::string why;
        auto name = MakeRecordName(rel, CodePage(kTextCodePage), &why);
        if (!name)
            throw Error("--find-file " + *b.findFile + ": the name " + why);
        items.emplace_back("FINDFILE", *name);
    }
    std::vector<uint8_t> out;
    for (auto& [key, value] : items) {
        std::string s = key + "=" + value;
        out.insert(out.end(), s.begin(), s.end());
        out.push_back(0);
    }
    out.push_back(0);
    return out;
}

// ---- icons --------------------------------------------------------------------

struct IconImage {
    uint8_t width, height, colors;
    uint16_t planes, bitCount;
    std::vector<uint8_t> data;
};

// The images of an .ico file: its directory (reserved 0, type 1, count),
// one 16-byte entry per image, each naming bytes inside the file that
// start as a PNG or as a bitmap header.
std::vector<IconImage> ReadIco(const fs::path& p) {
    std::vector<uint8_t> f = ReadFileBytes(p);
    std::string what = Utf8(p);
    if (f.size() < 6 || GetU16(&f[0]) != 0 || GetU16(&f[2]) != 1)
        throw Error(what + ": not an .ico file (no icon directory at its start)");
    size_t count = GetU16(&f[4]);
    if (count == 0)
        throw Error(what + ": an .ico file without images");
    if ((f.size() - 6) / 16 < count)
        throw Error(what + ": the icon directory runs past the end of the file");
    std::vector<IconImage> images;
    for (size_t i = 0; i < count; i++) {
        const uint8_t* e = &f[6 + 16 * i];
        uint32_t size = GetU32(e + 8), at = GetU32(e + 12);
        if (at > f.size() || size > f.size() - at || size < 40)
            throw Error(what + ": image " + std::to_string(i + 1) + " lies outside the file");
        const uint8_t* d = &f[at];
        static const uint8_t kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
        bool png = std::equal(kPng, kPng + 8, d);
        if (!png && GetU32(d) != 40 && GetU32(d) != 108 && GetU32(d) != 124)
            throw Error(what + ": image " + std::to_string(i + 1) + " is neither a PNG nor a bitmap");
        IconImage img{e[0], e[1], e[2], GetU16(e + 4), GetU16(e + 6), {d, d + size}};
        // Some icon editors leave planes and depth 0 in the directory; the
        // group entry is what Windows picks an image by, so take them from
        // the bitmap header.
        if (!png && img.bitCount == 0) {
            img.planes = GetU16(d + 12);
            img.bitCount = GetU16(d + 14);
        }
        images.push_back(std::move(img));
    }
    return images;
}

std::vector<uint8_t> GroupData(const std::vector<IconImage>& images, uint16_t firstId) {
    std::vector<uint8_t> g(6 + 14 * images.size());
    PutU16(&g[2], 1);
    PutU16(&g[4], static_cast<uint16_t>(images.size()));
    for (size_t i = 0; i < images.size(); i++) {
        uint8_t* e = &g[6 + 14 * i];
        e[0] = images[i].width;
        e[1] = images[i].height;
        e[2] = images[i].colors;
        PutU16(e + 4, images[i].planes);
        PutU16(e + 6, images[i].bitCount);
        PutU32(e + 8, static_cast<uint32_t>(images[i].data.size()));
        PutU16(e + 12, static_cast<uint16_t>(firstId + i));
    }
    return g;
}

// The icon ids a group resource lists.
std::vector<uint16_t> GroupIds(const std::vector<uint8_t>& g) {
    std::vector<uint16_t> ids;
    size_t count = g.size() >= 6 ? GetU16(&g[4]) : 0;
    for (size_t i = 0; i < count && 6 + 14 * (i + 1) <= g.size(); i++)
        ids.push_back(GetU16(&g[6 + 14 * i + 12]));
    return ids;
}

bool IsGroup(const Resource& r, uint16_t id) {
    return r.type == ResourceKey::Id(kRtGroupIcon) && r.name == ResourceKey::Id(id);
}

// Both icon groups list the new images, which replace the images only
// those groups used.
void SetIcon(std::vector<Resource>& all, const std::vector<IconImage>& images) {
    std::set<uint16_t> stale, kept;
    uint16_t language = kLangChinesePrc;
    for (const Resource& r : all) {
        if (r.type != ResourceKey::Id(kRtGroupIcon))
            continue;
        bool ours = IsGroup(r, kIconGroupFile) || IsGroup(r, kIconGroupWindow);
        if (ours)
            language = r.language;
        for (uint16_t id : GroupIds(r.data))
            (ours ? stale : kept).insert(id);
    }
    std::erase_if(all, [&](const Resource& r) {
        return IsGroup(r, kIconGroupFile) || IsGroup(r, kIconGroupWindow) ||
               (r.type == ResourceKey::Id(kRtIcon) && !r.name.named && stale.count(r.name.id) &&
                !kept.count(r.name.id));
    });
    uint16_t next = 1;
    for (const Resource& r : all)
        if (r.type == ResourceKey::Id(kRtIcon) && !r.name.named)
            next = std::max<uint16_t>(next, r.name.id + 1);
    if (size_t{next} + images.size() > 0xFFFF)
        throw Error("--icon: no icon ids left in the applier");
    for (size_t i = 0; i < images.size(); i++)
        all.push_back({ResourceKey::Id(kRtIcon), ResourceKey::Id(static_cast<uint16_t>(next + i)),
                       language, 0, images[i].data});
    std::vector<uint8_t> group = GroupData(images, next);
    for (uint16_t id : {kIconGroupFile, kIconGroupWindow})
        all.push_back({ResourceKey::Id(kRtGroupIcon), ResourceKey::Id(id), language, 0, group});
}

// ---- the version resource ----------------------------------------------------------

// One node of a version resource: its length, value length and type
// words, a key, a value and children, each aligned to 4 bytes from the
// resource's start.
struct VersionNode {
    std::u16string key;
    uint16_t type = 0;  // 1: the value is text
    std::vector<uint8_t> value;
    std::vector<VersionNode> children;
};

// A version resource nests three levels below its root; anything deeper
// is damage, and would only cost stack.
constexpr int kMaxVersionDepth = 6;

VersionNode ParseNode(std::span<const uint8_t> b, size_t at, const std::string& what, int depth = 0) {
    auto bad = [&] { return Error(what + ": the version resource is damaged"); };
    if (at > b.size() || b.size() - at < 6 || depth > kMaxVersionDepth)
        throw bad();
    size_t length = GetU16(&b[at]), valueLength = GetU16(&b[at + 2]);
    VersionNode n;
    n.type = GetU16(&b[at + 4]);
    if (length < 6 || length > b.size() - at)
        throw bad();
    size_t end = at + length, p = at + 6;
    for (;; p += 2) {
        if (p + 2 > end)
            throw bad();
        char16_t c = GetU16(&b[p]);
        if (!c)
            break;
        n.key.push_back(c);
    }
    p = (p + 2 + 3) & ~size_t{3};
    size_t valueBytes = valueLength * (n.type == 1 ? 2 : 1);
    if (p > end || valueBytes > end - p) {
        // some writers count a text value in bytes; take what fits
        valueBytes = p > end ? 0 : std::min(valueBytes, end - p);
    }
    n.value.assign(b.begin() + p, b.begin() + p + valueBytes);
    for (p = (p + valueBytes + 3) & ~size_t{3}; p + 6 <= end;) {
        n.children.push_back(ParseNode(b.first(end), p, what, depth + 1));
        p = (p + GetU16(&b[p]) + 3) & ~size_t{3};
    }
    return n;
}

void WriteNode(std::vector<uint8_t>& out, const VersionNode& n) {
    auto pad = [&] { out.resize((out.size() + 3) & ~size_t{3}); };
    pad();
    size_t start = out.size();
    out.resize(start + 6);
    size_t valueLength = n.type == 1 ? n.value.size() / 2 : n.value.size();
    PutU16(&out[start + 2], static_cast<uint16_t>(valueLength));
    PutU16(&out[start + 4], n.type);
    for (char16_t c : n.key) {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    out.insert(out.end(), {0, 0});
    if (!n.value.empty()) {
        pad();
        out.insert(out.end(), n.value.begin(), n.value.end());
    }
    for (const VersionNode& c : n.children)
        WriteNode(out, c);
    PutU16(&out[start], static_cast<uint16_t>(out.size() - start));
}

std::vector<uint8_t> TextValue(const std::u16string& s) {
    std::vector<uint8_t> v;
    for (char16_t c : s) {
        v.push_back(static_cast<uint8_t>(c));
        v.push_back(static_cast<uint8_t>(c >> 8));
    }
    v.insert(v.end(), {0, 0});
    return v;
}

std::u16string TextOf(const std::vector<uint8_t>& v) {
    std::u16string s;
    for (size_t i = 0; i + 1 < v.size(); i += 2) {
        char16_t c = static_cast<char16_t>(v[i] | v[i + 1] << 8);
        if (!c)
            break;
        s.push_back(c);
    }
    return s;
}

VersionNode* Child(VersionNode& n, std::u16string_view key) {
    for (VersionNode& c : n.children)
        if (c.key == key)
            return &c;
    return nullptr;
}

// A version resource of the applier's kind for a program that has none:
// the fixed part, one Chinese (PRC) string table, and the translation.
VersionNode NewVersion() {
    VersionNode root{u"VS_VERSION_INFO", 0, std::vector<uint8_t>(52), {}};
    PutU32(&root.value[0], 0xFEEF04BD);   // signature
    PutU32(&root.value[4], 0x00010000);   // structure version 1.0
    PutU32(&root.value[24], 0x3F);        // flags mask
    PutU32(&root.value[32], 0x00040004);  // Windows NT, 32-bit
    PutU32(&root.value[36], 1);           // an application
    VersionNode translation{u"Translation", 0, std::vector<uint8_t>(4), {}};
    PutU16(&translation.value[0], kLangChinesePrc);
    PutU16(&translation.value[2], 936);
    root.children.push_back({u"StringFileInfo", 1, {}, {{u"080403a8", 1, {}, {}}}});
    root.children.push_back({u"VarFileInfo", 1, {}, {translation}});
    return root;
}

// "a.b.c.d" (one to four numbers below 65536) as the fixed part's two
// words, or nothing.
std::optional<std::pair<uint32_t, uint32_t>> VersionNumbers(const std::string& s) {
    uint32_t parts[4] = {0, 0, 0, 0};
    size_t n = 0, at = 0;
    while (n < 4) {
        size_t used = at;
        uint32_t v = 0;
        while (used < s.size() && s[used] >= '0' && s[used] <= '9' && v < 65536)
            v = v * 10 + static_cast<uint32_t>(s[used++] - '0');
        if (used == at || v > 65535)
            return std::nullopt;
        parts[n++] = v;
        if (used == s.size())
            return std::pair{parts[0] << 16 | parts[1], parts[2] << 16 | parts[3]};
        if (s[used] != '.')
            return std::nullopt;
        at = used + 1;
    }
    return std::nullopt;
}

std::vector<uint8_t> SetVersion(const Resource* have, const Branding& b, const std::string& what) {
    VersionNode root = have ? ParseNode(have->data, 0, what) : NewVersion();
    if (root.value.size() < 52 || GetU32(&root.value[0]) != 0xFEEF04BD)
        throw Error(what + ": the version resource has no fixed part");
    VersionNode* strings = Child(root, u"StringFileInfo");
    if (!strings) {
        root.children.insert(root.children.begin(), NewVersion().children[0]);
        strings = &root.children[0];
    }
    if (strings->children.empty())
        strings->children.push_back({u"080403a8", 1, {}, {}});
    for (auto& [key, value] : b.versionInfo) {
        TextBytes(value, "--version-info " + key);  // texts must read back in code page 936
        for (VersionNode& table : strings->children) {
            VersionNode* s = Child(table, Utf16(key));
            if (!s) {
                table.children.push_back({Utf16(key), 1, {}, {}});
                s = &table.children.back();
            }
            s->type = 1;
            s->value = TextValue(Utf16(value));
        }
        auto numbers = VersionNumbers(value);
        size_t at = key == "FileVersion" ? 8 : key == "ProductVersion" ? 16 : 0;
        if (numbers && at) {
            PutU32(&root.value[at], numbers->first);
            PutU32(&root.value[at + 4], numbers->second);
        }
    }
    std::vector<uint8_t> out;
    WriteNode(out, root);
    return out;
}

}  // namespace

const std::vector<std::string>& VersionKeys() {
    static const std::vector<std::string> keys = {"ProductName", "FileVersion", "CompanyName",
                                                  "LegalCopyright", "FileDescription",
                                                  "ProductVersion"};
    return keys;
}

std::vector<uint8_t> BrandApplier(std::span<const uint8_t> applier, const Branding& b,
                                  const std::string& what) {
    if (applier.empty())
        throw Error("--title, --about, --icon and the other branding options need an applier to "
                    "carry them; drop --container-only");
    if (b.about && b.aboutFile)
        throw Error("--about and --about-file both give the about lines; give one");
    std::set<std::string> seen;
    for (auto& [key, value] : b.versionInfo) {
        const auto& keys = VersionKeys();
        if (std::find(keys.begin(), keys.end(), key) == keys.end())
            throw Error("--version-info " + key + ": not a key it sets (ProductName, FileVersion, "
                        "CompanyName, LegalCopyright, FileDescription, ProductVersion)");
        if (!seen.insert(key).second)
            throw Error("--version-info " + key + ": given twice");
    }
    std::vector<IconImage> icon;
    if (b.icon)
        icon = ReadIco(*b.icon);
    std::vector<Resource> all = ReadResources(applier, what);
    bool settings = b.title || b.about || b.aboutFile || b.helpFile || !b.findRegistry.empty() ||
                    b.findFile;
    if (settings)
        SetResource(all, {ResourceKey::Id(kRtRcdata), ResourceKey::Id(kSettingsId),
                          kLangChinesePrc, 0, SettingsBlock(b)});
    if (b.icon)
        SetIcon(all, icon);
    if (!b.versionInfo.empty()) {
        const Resource* have = nullptr;
        for (const Resource& r : all)
            if (r.type == ResourceKey::Id(kRtVersion) && r.name == ResourceKey::Id(kVersionId))
                have = &r;
        Resource v{ResourceKey::Id(kRtVersion), ResourceKey::Id(kVersionId),
                   have ? have->language : kLangChinesePrc, 0, SetVersion(have, b, what)};
        SetResource(all, std::move(v));
    }
    return ReplaceResources(applier, all, what);
}

BrandInfo ReadBranding(std::span<const uint8_t> applier, const std::string& what) {
    BrandInfo info;
    std::vector<Resource> all = ReadResources(applier, what);
    CodePage cp(kTextCodePage);
    auto text = [&](std::string_view bytes) {
        return cp.ToUtf8(bytes).value_or("(not valid in code page 936)");
    };
    for (const Resource& r : all) {
        if (r.type == ResourceKey::Id(kRtRcdata) && r.name == ResourceKey::Id(kSettingsId)) {
            std::string_view block(reinterpret_cast<const char*>(r.data.data()), r.data.size());
            for (size_t at = 0; at < block.size();) {
                size_t end = std::min(block.find('\0', at), block.size());
                std::string_view item = block.substr(at, end - at);
                at = end + 1;
                if (item.empty())
                    break;
                size_t eq = item.find('=');
                std::string_view key = item.substr(0, eq);
                std::string value = eq == std::string_view::npos ? "" : text(item.substr(eq + 1));
                if (key == "TITLE")
                    info.title = value;
                else if (key == "HELP")
                    info.help = value;
                else if (key == "FINDREG")
                    info.findRegistry.push_back(value);
                else if (key == "FINDFILE")
                    info.findFile = value;
                else if (key == "ABOUT")
                    for (size_t s = 0;;) {
                        size_t nl = value.find("\r\n", s);
                        info.about.push_back(value.substr(s, nl - s));
                        if (nl == std::string::npos)
                            break;
                        s = nl + 2;
                    }
            }
        } else if (IsGroup(r, kIconGroupFile) && r.data.size() >= 6) {
            for (size_t i = 0; i < GetU16(&r.data[4]) && 6 + 14 * (i + 1) <= r.data.size(); i++) {
                const uint8_t* e = &r.data[6 + 14 * i];
                info.icons.push_back({e[0] ? e[0] : 256u, e[1] ? e[1] : 256u, GetU16(e + 6)});
            }
        } else if (r.type == ResourceKey::Id(kRtVersion) && r.name == ResourceKey::Id(kVersionId)) {
            VersionNode root = ParseNode(r.data, 0, what);
            if (root.value.size() >= 52) {
                uint32_t ms = GetU32(&root.value[8]), ls = GetU32(&root.value[12]);
                info.fixedFileVersion = std::to_string(ms >> 16) + "." + std::to_string(ms & 0xFFFF) +
                                        "." + std::to_string(ls >> 16) + "." +
                                        std::to_string(ls & 0xFFFF);
            }
            VersionNode* strings = Child(root, u"StringFileInfo");
            if (strings && !strings->children.empty())
                for (const VersionNode& s : strings->children[0].children)
                    info.version.emplace_back(Utf8Of(s.key), Utf8Of(TextOf(s.value)));
        }
    }
    return info;
}

namespace {

std::string FirstLine(const std::string& text, size_t* lines) {
    *lines = 1;
    for (size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos; at += 2)
        ++*lines;
    return text.substr(0, text.find("\r\n"));
}

std::string IconText(const IconSize& i) {
    return std::to_string(i.width) + "x" + std::to_string(i.height) + " " +
           std::to_string(i.bitCount) + "-bit";
}

}  // namespace

std::string BrandingLines(const BrandInfo& info) {
    std::string out;
    if (info.title)
        out += "title: " + *info.title + "\n";
    for (const std::string& l : info.about)
        out += "about: " + l + "\n";
    if (info.help) {
        size_t lines = 0;
        std::string first = FirstLine(*info.help, &lines);
        out += "help: " + first + " (" + std::to_string(lines) + " line" + (lines == 1 ? "" : "s") +
               ")\n";
    }
    for (const std::string& r : info.findRegistry)
        out += "find-registry: " + r + "\n";
    if (info.findFile)
        out += "find-file: " + *info.findFile + "\n";
    if (!info.icons.empty()) {
        out += "icon:";
        for (size_t i = 0; i < info.icons.size(); i++)
            out += (i ? ", " : " ") + IconText(info.icons[i]);
        out += "\n";
    }
    for (auto& [key, value] : info.version)
        out += "version: " + key + "=" + value + "\n";
    if (info.fixedFileVersion)
        out += "version: " + *info.fixedFileVersion + " (the fixed part)\n";
    return out;
}

std::string BrandingJson(const BrandInfo& info) {
    auto optional = [](const std::optional<std::string>& s) {
        return s ? JsonString(*s) : std::string("null");
    };
    auto list = [](const std::vector<std::string>& items) {
        std::string out = "[";
        for (size_t i = 0; i < items.size(); i++)
            out += (i ? ", " : "") + JsonString(items[i]);
        return out + "]";
    };
    std::optional<std::string> help;
    if (info.help) {
        size_t lines = 0;
        help = FirstLine(*info.help, &lines);
    }
    std::string out = "{\"title\": " + optional(info.title) + ", \"about\": " + list(info.about) +
                      ", \"help_first_line\": " + optional(help) +
                      ", \"find_registry\": " + list(info.findRegistry) +
                      ", \"find_file\": " + optional(info.findFile) + ", \"icons\": [";
    for (size_t i = 0; i < info.icons.size(); i++)
        out += (i ? ", " : "") + JsonString(IconText(info.icons[i]));
    out += "], \"version\": {";
    for (size_t i = 0; i < info.version.size(); i++)
        out += (i ? ", " : "") + JsonString(info.version[i].first) + ": " +
               JsonString(info.version[i].second);
    return out + "}, \"file_version\": " + optional(info.fixedFileVersion) + "}";
}

}  // namespace mkpatch
