// The LZMA encoder: raw LZMA streams (the public LZMA format, no header)
// for the container's compressed records.
#ifndef KORVEX_MKPATCH_LZMA_ENC_H
#define KORVEX_MKPATCH_LZMA_ENC_H

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace mkpatch {

// How hard the encoder looks for a short stream.
enum class LzmaEffort {
    Fast,  // greedy parse with rep checks and one byte of lookahead; 2-4x faster, 10-18% larger
    Best,  // a parse priced from the current probabilities
};

struct LzmaOptions {
    unsigned lc = 3, lp = 0, pb = 2;   // lc + lp <= 4 (the applier's decoder bounds its tables so)
    uint32_t dictSize = 1u << 23;      // 4096 .. 64 MiB; the encoder uses no more than the data needs
    unsigned niceLength = 273;         // a match this long is taken without looking further (8 .. 273)
    bool endMarker = false;            // an end marker after the data (for oracles that want one)
    LzmaEffort effort = LzmaEffort::Best;
    unsigned searchDepth = 0;          // match finder nodes visited per byte; 0: 16 for Fast, 512 for Best
};

// The properties byte of a raw stream made with these options.
unsigned LzmaPropsByte(const LzmaOptions& o);

// A raw LZMA stream: the range coder's 5 opening bytes (the first is 0), the
// symbols, the range coder's flush; no header. Decoding exactly data.size()
// bytes with these properties and dictionary gives data back. Distances never
// exceed min(dictSize, bytes before). Throws std::invalid_argument for options
// out of range and std::length_error for data of 4 GiB or more.
// Memory besides data and the result: 10 to 12 bytes per byte of the
// window, min(dictSize, data.size()), and half a MiB.
std::vector<uint8_t> LzmaEncode(std::span<const uint8_t> data, const LzmaOptions& o);

// A stream's bytes when they are not at hand whole: size bytes, handed out
// front to back, read(to, n) filling to with the next n.
struct LzmaSource {
    uint64_t size = 0;
    std::function<void(uint8_t* to, size_t n)> read;
};
// Where packed bytes go, in order, a piece at a time.
using LzmaSink = std::function<void(std::span<const uint8_t>)>;

// The stream LzmaEncode makes of the source's bytes, byte for byte, made
// in bounded memory: the input is read through a buffer of the window, the
// lookahead and a refill, and the packed bytes go to sink as they come, in
// pieces of about a MiB. Returns the packed length. Throws as LzmaEncode
// does, and what read or sink throw.
uint64_t LzmaEncode(const LzmaSource& source, const LzmaOptions& o, const LzmaSink& sink);
// The same stream of data at hand, its packed bytes going to sink as they
// come: no more than about a MiB of them is held.
uint64_t LzmaEncode(std::span<const uint8_t> data, const LzmaOptions& o, const LzmaSink& sink);

// The most the encoder takes with a window of this many bytes (the
// dictionary, or the data when smaller): its match finder and tables, and
// reading from a source, its buffers too; not the data at hand nor the
// result of the in-memory form.
uint64_t LzmaEncoderMemory(uint32_t window, bool fromSource);

}  // namespace mkpatch

#endif
