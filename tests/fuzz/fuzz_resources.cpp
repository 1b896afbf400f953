// A patch's applier as list reads it, from bytes of any kind: the resource
// tree and the branding read without reading outside the input, and where
// the tree can be laid out again, the new image reads back the same tree
// and laying it out once more changes nothing.
#include <algorithm>
#include <span>
#include <tuple>
#include <vector>

#include "fuzz_check.h"
#include "tools/mkpatch/lib/branding.h"
#include "tools/mkpatch/lib/error.h"
#include "tools/mkpatch/lib/pe_resources.h"

namespace {

using mkpatch::Resource;

auto Sorted(const std::vector<Resource>& all) {
    std::vector<std::tuple<mkpatch::ResourceKey, mkpatch::ResourceKey, uint16_t, uint32_t,
                           std::vector<uint8_t>>> out;
    for (const Resource& r : all)
        out.emplace_back(r.type, r.name, r.language, r.codePage, r.data);
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::span<const uint8_t> image(data, size);
    try {
        mkpatch::ReadBranding(image, "input");
    } catch (const mkpatch::Error&) {
    }
    std::vector<Resource> tree;
    try {
        tree = mkpatch::ReadResources(image, "input");
    } catch (const mkpatch::Error&) {
        return 0;
    }
    std::vector<uint8_t> out;
    try {
        out = mkpatch::ReplaceResources(image, tree, "input");
    } catch (const mkpatch::Error&) {
        return 0;
    }
    FUZZ_CHECK(Sorted(mkpatch::ReadResources(out, "output")) == Sorted(tree));
    FUZZ_CHECK(mkpatch::ReplaceResources(out, tree, "output") == out);
    return 0;
}
