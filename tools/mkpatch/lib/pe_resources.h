// The resources of a Windows program held in memory: read from its PE
// header and resource section, changed, and laid out anew in its last
// section. Platform-free: bytes in, bytes out, no Win32.
#ifndef KORVEX_MKPATCH_PE_RESOURCES_H
#define KORVEX_MKPATCH_PE_RESOURCES_H

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace mkpatch {

// Resource types by number, as the PE format defines them.
enum : uint16_t {
    kRtIcon = 3,
    kRtRcdata = 10,
    kRtGroupIcon = 14,
    kRtVersion = 16,
};

// Chinese (PRC), the language of every resource the applier carries.
inline constexpr uint16_t kLangChinesePrc = 0x0804;

// A type or name of the resource tree: a number, or a name (UTF-16).
struct ResourceKey {
    bool named = false;
    uint16_t id = 0;
    std::u16string name;

    static ResourceKey Id(uint16_t id) { return {false, id, {}}; }
    bool operator==(const ResourceKey&) const = default;
    // Named keys before numbered ones, each in ascending order: the order
    // the format asks of a directory's entries.
    bool operator<(const ResourceKey& o) const;
};

// One leaf of the tree: type, name and language, and the bytes.
struct Resource {
    ResourceKey type;
    ResourceKey name;
    uint16_t language = 0;
    uint32_t codePage = 0;  // as the data entry states it; 0 for almost all
    std::vector<uint8_t> data;
};

// Every resource of a program, read from its resource directory. Throws
// Error (naming what) for bytes that are no PE image, or a resource
// directory that reaches outside the file or nests other than
// type/name/language.
std::vector<Resource> ReadResources(std::span<const uint8_t> image, const std::string& what);

// The resource with this type, name and language, or null.
const Resource* LookUpResource(const std::vector<Resource>& all, const ResourceKey& type,
                             const ResourceKey& name, uint16_t language);

// Puts r in place of the resource with its type, name and language, or
// adds it.
void SetResource(std::vector<Resource>& all, Resource r);

// The resource section's bytes for these resources when the section
// starts at virtual address rva: directory tables, name strings, data
// entries, then the data, each piece aligned as the format asks.
std::vector<uint8_t> LayOutResources(const std::vector<Resource>& all, uint32_t rva);

// A copy of image whose resource section (the last section, in the file
// and in memory) holds resources instead: the section's sizes, the image
// size, the initialized-data size, the resource directory entry, the
// checksum (recomputed when the image had one) and the applier's container
// offset (the new file size) are updated. Throws Error for an image whose
// resource section is not its last, that carries bytes after it, or that
// is signed (its signature could not survive).
std::vector<uint8_t> ReplaceResources(std::span<const uint8_t> image,
                                      const std::vector<Resource>& resources,
                                      const std::string& what);

// The checksum the PE header's CheckSum field holds for these bytes: the
// 16-bit one's-complement sum of the file with that field taken as 0,
// plus the file size.
uint32_t PeChecksum(std::span<const uint8_t> image);

}  // namespace mkpatch

#endif
