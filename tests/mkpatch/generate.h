// Generated old/new byte pairs for the encoder and round-trip tests: a
// random old file and a new one made from it by the kinds of edit real
// versions show (insertions, deletions, moved and repeated blocks, and
// small changes spread densely like moved call addresses).
#ifndef KORVEX_TESTS_MKPATCH_GENERATE_H
#define KORVEX_TESTS_MKPATCH_GENERATE_H

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace gen {

using Bytes = std::vector<uint8_t>;

// Random bytes over an alphabet of the given size (small alphabets make
// many short repeats, which exercise ties and the suffix sorting).
inline Bytes RandomBytes(std::mt19937& rng, size_t n, unsigned alphabet = 256) {
    Bytes b(n);
    std::uniform_int_distribution<unsigned> d(0, alphabet - 1);
    for (auto& x : b)
        x = static_cast<uint8_t>(d(rng));
    return b;
}

// A new version of old after `edits` random edits.
inline Bytes Edit(std::mt19937& rng, const Bytes& old, int edits, unsigned alphabet = 256) {
    Bytes b = old;
    auto pick = [&](size_t hi) { return std::uniform_int_distribution<size_t>(0, hi)(rng); };
    for (int e = 0; e < edits; e++) {
        size_t maxLen = std::max<size_t>(1, b.size() / 8);
        switch (pick(5)) {
        case 0: {  // insertion
            Bytes ins = RandomBytes(rng, 1 + pick(std::min<size_t>(maxLen, 64)), alphabet);
            b.insert(b.begin() + static_cast<long>(pick(b.size())), ins.begin(), ins.end());
            break;
        }
        case 1: {  // deletion
            if (b.empty())
                break;
            size_t at = pick(b.size() - 1);
            size_t len = std::min(b.size() - at, 1 + pick(maxLen));
            b.erase(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + len));
            break;
        }
        case 2: {  // move a block elsewhere
            if (b.size() < 2)
                break;
            size_t at = pick(b.size() - 1);
            size_t len = std::min(b.size() - at, 1 + pick(maxLen));
            Bytes block(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + len));
            b.erase(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + len));
            b.insert(b.begin() + static_cast<long>(pick(b.size())), block.begin(), block.end());
            break;
        }
        case 3: {  // repeat a block
            if (b.empty())
                break;
            size_t at = pick(b.size() - 1);
            size_t len = std::min(b.size() - at, 1 + pick(maxLen));
            Bytes block(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + len));
            size_t times = 1 + pick(3);
            for (size_t t = 0; t < times; t++)
                b.insert(b.begin() + static_cast<long>(pick(b.size())), block.begin(), block.end());
            break;
        }
        default: {  // scattered small changes, like relocated addresses
            if (b.empty())
                break;
            size_t count = 1 + pick(16);
            size_t step = 1 + pick(40);
            size_t at = pick(b.size() - 1);
            for (size_t c = 0; c < count && at < b.size(); c++, at += step)
                b[at] = static_cast<uint8_t>(b[at] + 1 + pick(3));
            break;
        }
        }
    }
    return b;
}

}  // namespace gen

#endif
