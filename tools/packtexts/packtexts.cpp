// Packs the applier's texts (shell/texts.def, in code page 936) into one raw
// LZMA stream, each text ended by its 0 byte, and writes the C header the
// applier unpacks at start. With --check it compares instead, so a texts.def
// changed without scripts/pack-texts.sh fails the tests.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/mkpatch/lib/lzma_enc.h"

namespace {

const char* const kTexts[] = {
#define SHELL_TEXT(id, text) text,
#include "shell/texts.def"
#undef SHELL_TEXT
};

// The smallest stream over the literal and position contexts worth trying.
std::vector<uint8_t> Pack(const std::vector<uint8_t>& texts, unsigned* props) {
    std::vector<uint8_t> best;
    mkpatch::LzmaOptions o;
    o.dictSize = texts.size() < 4096 ? 4096 : (uint32_t)texts.size();
    for (o.lc = 0; o.lc <= 4; o.lc++)
        for (o.pb = 0; o.pb <= 2; o.pb++) {
            std::vector<uint8_t> packed = mkpatch::LzmaEncode(texts, o);
            if (best.empty() || packed.size() < best.size()) {
                best = packed;
                *props = mkpatch::LzmaPropsByte(o);
            }
        }
    return best;
}

std::string Header(const std::vector<uint8_t>& texts) {
    unsigned props = 0;
    std::vector<uint8_t> packed = Pack(texts, &props);
    std::string out =
        "/* Made by tools/packtexts from shell/texts.def: do not edit; run\n"
        "   scripts/pack-texts.sh after changing the texts. */\n";
    out += "enum { PACKED_TEXTS_SIZE = " + std::to_string(texts.size()) +
           ", PACKED_TEXTS_PROPS = " + std::to_string(props) + ", PACKED_TEXTS_COUNT = " +
           std::to_string(std::size(kTexts)) + " };\n";
    out += "static const unsigned char kPackedTexts[" + std::to_string(packed.size()) + "] = {";
    for (size_t i = 0; i < packed.size(); i++) {
        char byte[16];
        std::snprintf(byte, sizeof byte, "%s%u,", i % 20 ? "" : "\n   ", packed[i]);
        out += byte;
    }
    out += "\n};\n";
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    bool check = argc == 3 && std::string(argv[1]) == "--check";
    if (argc != 2 && !check) {
        std::fprintf(stderr, "usage: packtexts [--check] shell/texts_packed.h\n");
        return 2;
    }
    std::vector<uint8_t> texts;
    for (const char* t : kTexts)
        texts.insert(texts.end(), t, t + std::char_traits<char>::length(t) + 1);
    std::string header = Header(texts);
    const char* path = argv[argc - 1];
    if (check) {
        std::ifstream in(path, std::ios::binary);
        std::string now{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        if (now == header)
            return 0;
        std::fprintf(stderr, "%s does not hold the texts of shell/texts.def: run scripts/pack-texts.sh\n", path);
        return 1;
    }
    std::ofstream out(path, std::ios::binary);
    out << header;
    return out.flush() ? 0 : 1;
}
