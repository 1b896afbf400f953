#include "pe_resources.h"

#include <algorithm>
#include <map>
#include <set>
#include <tuple>

#include "core/format.h"
#include "core/stubmark.h"
#include "error.h"

namespace mkpatch {
namespace {

// Data directory slots the writer looks at.
enum { kDirResource = 2, kDirSecurity = 4 };

constexpr uint32_t kSubdirectoryBit = 0x80000000u;
constexpr uint32_t kScnInitializedData = 0x40;
constexpr size_t kSectionHeaderSize = 40;
constexpr size_t kMaxResources = 65536;

struct Section {
    size_t header;  // file offset of its section header
    uint32_t virtualSize, rva, rawSize, rawPointer, flags;
};

// Where the fields the writer reads and changes sit in one image.
struct PeLayout {
    size_t optional = 0;    // file offset of the optional header
    size_t directories = 0; // file offset of the first data directory
    uint32_t directoryCount = 0;
    uint32_t sectionAlignment = 0;
    uint32_t fileAlignment = 0;
    std::vector<Section> sections;

    // offsets inside the optional header, the same in PE32 and PE32+
    static constexpr size_t kInitializedData = 8, kSectionAlignment = 32, kFileAlignment = 36,
                            kImageSize = 56, kChecksum = 64;
};

// Bounded little-endian reads: every offset comes from the file.
uint32_t U32(std::span<const uint8_t> b, size_t at, const std::string& what) {
    if (at > b.size() || b.size() - at < 4)
        throw Error(what + ": the PE header or resource directory runs past the end");
    return GetU32(b.data() + at);
}

uint16_t U16(std::span<const uint8_t> b, size_t at, const std::string& what) {
    if (at > b.size() || b.size() - at < 2)
        throw Error(what + ": the PE header or resource directory runs past the end");
    return GetU16(b.data() + at);
}

PeLayout ReadLayout(std::span<const uint8_t> image, const std::string& what) {
    if (image.size() < 64 || image[0] != 'M' || image[1] != 'Z')
        throw Error(what + ": not a Windows program (no MZ header)");
    PeLayout l;
    size_t pe = U32(image, 0x3C, what);
    if (pe > image.size() - 4 || U32(image, pe, what) != 0x00004550)
        throw Error(what + ": not a Windows program (no PE signature)");
    uint16_t sectionCount = U16(image, pe + 6, what);
    uint16_t optionalSize = U16(image, pe + 20, what);
    l.optional = pe + 24;
    uint16_t magic = U16(image, l.optional, what);
    if (magic != 0x10B && magic != 0x20B)
        throw Error(what + ": neither a PE32 nor a PE32+ image");
    size_t countAt = l.optional + (magic == 0x10B ? 92 : 108);
    l.directoryCount = U32(image, countAt, what);
    l.directories = countAt + 4;
    if (l.directoryCount <= kDirSecurity || l.directories + 8 * size_t{l.directoryCount} >
                                                 l.optional + optionalSize)
        throw Error(what + ": the PE header has too few data directories");
    l.sectionAlignment = U32(image, l.optional + PeLayout::kSectionAlignment, what);
    l.fileAlignment = U32(image, l.optional + PeLayout::kFileAlignment, what);
    // powers of two, the file's at most 64 KiB, as the format asks; a
    // made-up alignment would pad the section out to gigabytes
    auto powerOfTwo = [](uint32_t v) { return v && !(v & (v - 1)); };
    if (!powerOfTwo(l.fileAlignment) || l.fileAlignment > 0x10000 ||
        !powerOfTwo(l.sectionAlignment) || l.sectionAlignment < l.fileAlignment)
        throw Error(what + ": the PE header's alignments are not ones the format allows");
    size_t table = l.optional + optionalSize;
    for (size_t i = 0; i < sectionCount; i++) {
        size_t h = table + i * kSectionHeaderSize;
        l.sections.push_back({h, U32(image, h + 8, what), U32(image, h + 12, what),
                              U32(image, h + 16, what), U32(image, h + 20, what),
                              U32(image, h + 36, what)});
    }
    return l;
}

std::pair<uint32_t, uint32_t> Directory(std::span<const uint8_t> image, const PeLayout& l,
                                        unsigned index, const std::string& what) {
    return {U32(image, l.directories + 8 * index, what),
            U32(image, l.directories + 8 * index + 4, what)};
}

// The section whose memory holds rva, or null.
const Section* SectionOf(const PeLayout& l, uint32_t rva) {
    for (const Section& s : l.sections)
        if (rva >= s.rva && rva - s.rva < std::max(s.virtualSize, s.rawSize))
            return &s;
    return nullptr;
}

// The size bytes at rva, as the file holds them.
std::span<const uint8_t> BytesAt(std::span<const uint8_t> image, const PeLayout& l, uint32_t rva,
                                 uint32_t size, const std::string& what) {
    // Nothing to read: an empty resource laid out last points just past
    // its section's end, which no section holds.
    if (size == 0)
        return {};
    const Section* s = SectionOf(l, rva);
    uint32_t into = s ? rva - s->rva : 0;
    if (!s || size > s->rawSize || into > s->rawSize - size || s->rawPointer > image.size() ||
        into + size_t{size} > image.size() - s->rawPointer)
        throw Error(what + ": a resource's data lies outside the file");
    return image.subspan(s->rawPointer + into, size);
}

// Reads the resource tree from its section's bytes (dir: from the
// directory's start), three levels deep: type, name, language.
struct TreeReader {
    std::span<const uint8_t> image;
    const PeLayout& layout;
    std::span<const uint8_t> dir;
    const std::string& what;
    std::vector<Resource> out;
    uint64_t copied = 0;

    ResourceKey Key(uint32_t field) {
        if (!(field & kSubdirectoryBit))
            return ResourceKey::Id(static_cast<uint16_t>(field));
        size_t at = field & ~kSubdirectoryBit;
        uint16_t length = U16(dir, at, what);
        ResourceKey k{true, 0, {}};
        for (size_t i = 0; i < length; i++)
            k.name.push_back(static_cast<char16_t>(U16(dir, at + 2 + 2 * i, what)));
        return k;
    }

    // level 0: types, 1: names, 2: languages, whose entries are data
    void Table(size_t at, int level, Resource& path) {
        size_t count = size_t{U16(dir, at + 12, what)} + U16(dir, at + 14, what);
        for (size_t i = 0; i < count; i++) {
            size_t entry = at + 16 + 8 * i;
            uint32_t key = U32(dir, entry, what);
            uint32_t target = U32(dir, entry + 4, what);
            bool sub = target & kSubdirectoryBit;
            if (sub != (level < 2))
                throw Error(what + ": the resource directory does not nest as type, name, language");
            if (level == 0)
                path.type = Key(key);
            else if (level == 1)
                path.name = Key(key);
            else
                path.language = static_cast<uint16_t>(key);
            if (sub) {
                Table(target & ~kSubdirectoryBit, level + 1, path);
                continue;
            }
            uint32_t rva = U32(dir, target, what);
            uint32_t size = U32(dir, target + 4, what);
            path.codePage = U32(dir, target + 8, what);
            std::span<const uint8_t> data = BytesAt(image, layout, rva, size, what);
            // Entries may share data, but never so much that copies of it
            // outgrow the file many times over.
            copied += size;
            if (copied > 2 * uint64_t{image.size()})
                throw Error(what + ": the resources' data adds up to more than the file holds");
            path.data.assign(data.begin(), data.end());
            // a hostile directory can point many entries at one table
            if (out.size() >= kMaxResources)
                throw Error(what + ": more than " + std::to_string(kMaxResources) + " resources");
            out.push_back(path);
        }
    }
};

uint32_t AlignUp(uint64_t v, uint32_t a) {
    return static_cast<uint32_t>((v + a - 1) / a * a);
}

// The section that holds the resource directory, which must start it.
const Section& ResourceSection(std::span<const uint8_t> image, const PeLayout& l,
                               const std::string& what) {
    auto [rva, size] = Directory(image, l, kDirResource, what);
    const Section* s = SectionOf(l, rva);
    if (!s || rva != s->rva || size == 0)
        throw Error(what + ": no resource section");
    return *s;
}

}  // namespace

bool ResourceKey::operator<(const ResourceKey& o) const {
    if (named != o.named)
        return named;
    return named ? name < o.name : id < o.id;
}

std::vector<Resource> ReadResources(std::span<const uint8_t> image, const std::string& what) {
    PeLayout l = ReadLayout(image, what);
    auto [rva, size] = Directory(image, l, kDirResource, what);
    if (size == 0)
        return {};
    const Section* s = SectionOf(l, rva);
    if (!s)
        throw Error(what + ": the resource directory lies in no section");
    uint32_t into = rva - s->rva;
    if (into >= s->rawSize || s->rawPointer > image.size() ||
        image.size() - s->rawPointer < s->rawSize)
        throw Error(what + ": the resource section runs past the end");
    TreeReader reader{image, l, image.subspan(s->rawPointer + into, s->rawSize - into), what, {}};
    Resource path;
    reader.Table(0, 0, path);
    // the system finds one of two leaves with the same path, and which one
    // is not ours to guess
    std::set<std::tuple<ResourceKey, ResourceKey, uint16_t>> seen;
    for (const Resource& r : reader.out)
        if (!seen.insert({r.type, r.name, r.language}).second)
            throw Error(what + ": the resource directory lists one resource twice");
    return reader.out;
}

const Resource* LookUpResource(const std::vector<Resource>& all, const ResourceKey& type,
                             const ResourceKey& name, uint16_t language) {
    for (const Resource& r : all)
        if (r.type == type && r.name == name && r.language == language)
            return &r;
    return nullptr;
}

void SetResource(std::vector<Resource>& all, Resource r) {
    for (Resource& have : all) {
        if (have.type == r.type && have.name == r.name && have.language == r.language) {
            have = std::move(r);
            return;
        }
    }
    all.push_back(std::move(r));
}

std::vector<uint8_t> LayOutResources(const std::vector<Resource>& all, uint32_t rva) {
    // type -> name -> language -> resource, each level in the format's order
    std::map<ResourceKey, std::map<ResourceKey, std::map<uint16_t, const Resource*>>> tree;
    for (const Resource& r : all)
        tree[r.type][r.name][r.language] = &r;

    // Directory tables first, breadth first, so a table's size is known
    // before its entries point anywhere: root, type tables, name tables.
    size_t tables = 16 + 8 * tree.size();
    std::vector<size_t> typeTable, nameTable;
    for (auto& [type, names] : tree) {
        typeTable.push_back(tables);
        tables += 16 + 8 * names.size();
    }
    for (auto& [type, names] : tree)
        for (auto& [name, langs] : names) {
            nameTable.push_back(tables);
            tables += 16 + 8 * langs.size();
        }
    // then the name strings, the data entries and the data
    size_t strings = tables;
    std::map<std::u16string, size_t> stringAt;
    auto addString = [&](const ResourceKey& k) {
        if (k.named && !stringAt.count(k.name)) {
            stringAt[k.name] = strings;
            strings += 2 + 2 * k.name.size();
        }
    };
    for (auto& [type, names] : tree) {
        addString(type);
        for (auto& [name, langs] : names)
            addString(name);
    }
    size_t leaves = 0;
    for (auto& [type, names] : tree)
        for (auto& [name, langs] : names)
            leaves += langs.size();
    size_t entries = AlignUp(strings, 4);
    size_t data = entries + 16 * leaves;

    std::vector<uint8_t> out(data);
    auto put16 = [&](size_t at, uint16_t v) { PutU16(out.data() + at, v); };
    auto put32 = [&](size_t at, uint32_t v) { PutU32(out.data() + at, v); };
    for (auto& [s, at] : stringAt) {
        put16(at, static_cast<uint16_t>(s.size()));
        for (size_t i = 0; i < s.size(); i++)
            put16(at + 2 + 2 * i, s[i]);
    }
    auto keyField = [&](const ResourceKey& k) {
        return k.named ? kSubdirectoryBit | static_cast<uint32_t>(stringAt[k.name]) : k.id;
    };
    // a table's head: the counts of named and of numbered entries
    auto head = [&](size_t at, auto& level) {
        uint16_t named = 0;
        for (auto& [k, v] : level)
            named += k.named;
        put16(at + 12, named);
        put16(at + 14, static_cast<uint16_t>(level.size() - named));
    };
    auto headLangs = [&](size_t at, size_t count) {
        put16(at + 14, static_cast<uint16_t>(count));
    };
    head(0, tree);
    size_t t = 0, n = 0, e = 0;
    for (auto& [type, names] : tree) {
        put32(16 + 8 * t, keyField(type));
        put32(16 + 8 * t + 4, kSubdirectoryBit | static_cast<uint32_t>(typeTable[t]));
        head(typeTable[t], names);
        size_t j = 0;
        for (auto& [name, langs] : names) {
            put32(typeTable[t] + 16 + 8 * j, keyField(name));
            put32(typeTable[t] + 16 + 8 * j + 4, kSubdirectoryBit | static_cast<uint32_t>(nameTable[n]));
            headLangs(nameTable[n], langs.size());
            size_t k = 0;
            for (auto& [lang, r] : langs) {
                size_t entry = entries + 16 * e++;
                put32(nameTable[n] + 16 + 8 * k, lang);
                put32(nameTable[n] + 16 + 8 * k + 4, static_cast<uint32_t>(entry));
                // each resource's data starts on an 8-byte boundary
                out.resize(AlignUp(out.size(), 8));
                put32(entry, rva + static_cast<uint32_t>(out.size()));
                put32(entry + 4, static_cast<uint32_t>(r->data.size()));
                put32(entry + 8, r->codePage);
                out.insert(out.end(), r->data.begin(), r->data.end());
                k++;
            }
            j++;
            n++;
        }
        t++;
    }
    return out;
}

std::vector<uint8_t> ReplaceResources(std::span<const uint8_t> image,
                                      const std::vector<Resource>& resources,
                                      const std::string& what) {
    PeLayout l = ReadLayout(image, what);
    const Section& rsrc = ResourceSection(image, l, what);
    for (const Section& s : l.sections)
        if (&s != &rsrc && (s.rva > rsrc.rva || (s.rawSize && s.rawPointer > rsrc.rawPointer)))
            throw Error(what + ": the resource section is not the last section");
    if (uint64_t{rsrc.rawPointer} + rsrc.rawSize != image.size())
        throw Error(what + ": " + std::to_string(image.size()) +
                    " bytes, but its last section ends at " +
                    std::to_string(uint64_t{rsrc.rawPointer} + rsrc.rawSize) +
                    "; bytes after it would be lost");
    auto [certAt, certSize] = Directory(image, l, kDirSecurity, what);
    if (certAt || certSize)
        throw Error(what + ": is signed; sign the patch after build instead");
    for (unsigned d = 0; d < l.directoryCount; d++) {
        auto [rva, size] = Directory(image, l, d, what);
        if (d != kDirResource && d != kDirSecurity && size && rva >= rsrc.rva &&
            rva - rsrc.rva < rsrc.virtualSize)
            throw Error(what + ": data directory " + std::to_string(d) +
                        " lies in the resource section, which the rewrite would move");
    }

    std::vector<uint8_t> section = LayOutResources(resources, rsrc.rva);
    uint32_t rawSize = AlignUp(section.size(), l.fileAlignment);
    if (uint64_t{rsrc.rawPointer} + rawSize > UINT32_MAX)
        throw Error(what + ": the resources would make the program 4 GiB or more");
    std::vector<uint8_t> out(image.begin(), image.begin() + rsrc.rawPointer);
    out.insert(out.end(), section.begin(), section.end());
    out.resize(out.size() + (rawSize - section.size()));

    uint8_t* b = out.data();
    uint32_t virtualSize = static_cast<uint32_t>(section.size());
    PutU32(b + rsrc.header + 8, virtualSize);
    PutU32(b + rsrc.header + 16, rawSize);
    PutU32(b + l.optional + PeLayout::kImageSize,
           AlignUp(uint64_t{rsrc.rva} + virtualSize, l.sectionAlignment));
    if (rsrc.flags & kScnInitializedData) {
        uint32_t initialized = GetU32(b + l.optional + PeLayout::kInitializedData);
        PutU32(b + l.optional + PeLayout::kInitializedData, initialized - rsrc.rawSize + rawSize);
    }
    PutU32(b + l.directories + 8 * kDirResource + 4, virtualSize);

    // The applier finds its container at the offset after its mark: the
    // file's new size. The mark sits in the program's data, before the
    // resources, so only that part is searched.
    static const uint8_t kMark[STUB_MARK_SIZE] = {STUB_MARK};
    auto end = out.begin() + rsrc.rawPointer;
    auto mark = std::search(out.begin(), end, std::begin(kMark), std::end(kMark));
    if (mark != end && end - mark >= STUB_INFO_SIZE)
        PutU32(&*mark + STUB_MARK_SIZE, static_cast<uint32_t>(out.size()));

    if (GetU32(b + l.optional + PeLayout::kChecksum) != 0)
        PutU32(b + l.optional + PeLayout::kChecksum, PeChecksum(out));
    return out;
}

uint32_t PeChecksum(std::span<const uint8_t> image) {
    size_t field = SIZE_MAX;
    if (image.size() >= 64) {
        size_t pe = GetU32(image.data() + 0x3C);
        if (pe < image.size() && image.size() - pe >= 24 + 68)
            field = pe + 24 + PeLayout::kChecksum;
    }
    uint64_t sum = 0;
    for (size_t i = 0; i < image.size(); i += 2) {
        if (i == field || i == field + 2)
            continue;
        uint32_t word = image[i];
        if (i + 1 < image.size())
            word |= uint32_t{image[i + 1]} << 8;
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>(sum + image.size());
}

}  // namespace mkpatch
