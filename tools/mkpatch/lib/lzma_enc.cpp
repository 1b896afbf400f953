// The LZMA encoder. Three parts: a range coder with the format's adaptive
// bit models and the symbols built from them (literals, matches, the four
// repeated distances), a binary-tree match finder over a sliding window,
// and two parsers that choose the symbols: a fast one that looks one byte
// ahead, and one that prices every choice from the current probabilities
// and takes the cheapest path through a stretch of the input.
#include "tools/mkpatch/lib/lzma_enc.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <stdexcept>

namespace mkpatch {
namespace {

constexpr unsigned kNumStates = 12;
constexpr unsigned kPosStatesMax = 16;
constexpr unsigned kMatchMinLen = 2;
constexpr unsigned kMatchMaxLen = 273;
constexpr unsigned kLenSymbols = kMatchMaxLen - kMatchMinLen + 1;
constexpr unsigned kLenToPosStates = 4;
constexpr unsigned kEndPosModelIndex = 14;
constexpr unsigned kFullDistances = 1u << (kEndPosModelIndex >> 1);
constexpr unsigned kAlignBits = 4;
constexpr unsigned kProbBits = 11;
constexpr unsigned kMoveBits = 5;
constexpr uint32_t kTopValue = 1u << 24;
constexpr uint16_t kProbInit = 1u << (kProbBits - 1);
constexpr uint32_t kMinDict = 1u << 12;
constexpr uint32_t kMaxDict = 1u << 26;
constexpr unsigned kMaxStretch = 4096;  // positions the optimal parse prices before it codes
constexpr size_t kDrainBytes = size_t{1} << 20;  // packed bytes held before they go to a sink

using Prob = uint16_t;

unsigned StateAfterLiteral(unsigned s) { return s < 4 ? 0 : s < 10 ? s - 3 : s - 6; }
unsigned StateAfterMatch(unsigned s) { return s < 7 ? 7 : 10; }
unsigned StateAfterRep(unsigned s) { return s < 7 ? 8 : 11; }
unsigned StateAfterShortRep(unsigned s) { return s < 7 ? 9 : 11; }

// The slot of a zero-based distance: its top two bits and their position.
unsigned DistSlot(uint32_t dist0) {
    if (dist0 < 4)
        return dist0;
    unsigned top = static_cast<unsigned>(std::bit_width(dist0)) - 1;
    return 2 * top + ((dist0 >> (top - 1)) & 1);
}

unsigned LenToPosState(unsigned len) {
    return std::min(len - kMatchMinLen, kLenToPosStates - 1);
}

// How many bytes from a and b agree, from `from` up to limit.
unsigned CommonLength(const uint8_t* a, const uint8_t* b, unsigned from, unsigned limit) {
    unsigned n = from;
    if constexpr (std::endian::native == std::endian::little) {
        while (n + 8 <= limit) {
            uint64_t x, y;
            std::memcpy(&x, a + n, 8);
            std::memcpy(&y, b + n, 8);
            if (x != y)
                return n + static_cast<unsigned>(std::countr_zero(x ^ y)) / 8;
            n += 8;
        }
    }
    while (n < limit && a[n] == b[n])
        n++;
    return n;
}

// ---------------------------------------------------------------------------
// Prices: the cost of coding a bit, in sixteenths of a bit, from its model.

constexpr unsigned kPriceBits = 4;
constexpr unsigned kPriceTableSize = (1u << kProbBits) >> kPriceBits;
constexpr uint32_t kInfinitePrice = 1u << 30;

struct PriceTable {
    uint32_t p[kPriceTableSize];
    PriceTable() {
        for (unsigned i = 0; i < kPriceTableSize; i++) {
            double prob = (i * (1u << kPriceBits) + (1u << (kPriceBits - 1))) / double(1u << kProbBits);
            p[i] = static_cast<uint32_t>(std::lround(-std::log2(prob) * (1u << kPriceBits)));
        }
    }
};

const PriceTable& Prices() {
    static const PriceTable table;
    return table;
}

inline uint32_t BitPrice(const PriceTable& t, Prob prob, unsigned bit) {
    return t.p[(bit ? (1u << kProbBits) - prob : prob) >> kPriceBits];
}

uint32_t TreePrice(const PriceTable& t, const Prob* probs, unsigned numBits, unsigned symbol) {
    uint32_t price = 0;
    unsigned m = 1;
    for (unsigned i = numBits; i-- > 0;) {
        unsigned bit = (symbol >> i) & 1;
        price += BitPrice(t, probs[m], bit);
        m = (m << 1) | bit;
    }
    return price;
}

uint32_t ReverseTreePrice(const PriceTable& t, const Prob* probs, unsigned numBits, unsigned symbol) {
    uint32_t price = 0;
    unsigned m = 1;
    for (unsigned i = 0; i < numBits; i++) {
        unsigned bit = symbol & 1;
        symbol >>= 1;
        price += BitPrice(t, probs[m], bit);
        m = (m << 1) | bit;
    }
    return price;
}

// ---------------------------------------------------------------------------
// The range coder.

class RangeEncoder {
public:
    explicit RangeEncoder(std::vector<uint8_t>& out) : out_(out) {}

    void Bit(Prob& prob, unsigned bit) {
        uint32_t bound = (range_ >> kProbBits) * prob;
        if (bit == 0) {
            range_ = bound;
            prob = static_cast<Prob>(prob + (((1u << kProbBits) - prob) >> kMoveBits));
        } else {
            low_ += bound;
            range_ -= bound;
            prob = static_cast<Prob>(prob - (prob >> kMoveBits));
        }
        while (range_ < kTopValue) {
            range_ <<= 8;
            ShiftLow();
        }
    }

    // numBits bits of value, high first, each at probability one half.
    void Direct(uint32_t value, unsigned numBits) {
        while (numBits-- > 0) {
            range_ >>= 1;
            if ((value >> numBits) & 1)
                low_ += range_;
            while (range_ < kTopValue) {
                range_ <<= 8;
                ShiftLow();
            }
        }
    }

    void Tree(Prob* probs, unsigned numBits, unsigned symbol) {
        unsigned m = 1;
        for (unsigned i = numBits; i-- > 0;) {
            unsigned bit = (symbol >> i) & 1;
            Bit(probs[m], bit);
            m = (m << 1) | bit;
        }
    }

    void ReverseTree(Prob* probs, unsigned numBits, unsigned symbol) {
        unsigned m = 1;
        for (unsigned i = 0; i < numBits; i++) {
            unsigned bit = symbol & 1;
            symbol >>= 1;
            Bit(probs[m], bit);
            m = (m << 1) | bit;
        }
    }

    // Writes out what low still holds, so that the decoder's code ends at 0.
    void Flush() {
        for (int i = 0; i < 5; i++)
            ShiftLow();
    }

private:
    // Moves the top byte of low out. A byte is held back while a carry
    // could still reach it: the cached byte and a run of 0xFF after it.
    void ShiftLow() {
        if (low_ < 0xFF000000u || low_ > 0xFFFFFFFFu) {
            uint8_t carry = static_cast<uint8_t>(low_ >> 32);
            uint8_t byte = cache_;
            do {
                out_.push_back(static_cast<uint8_t>(byte + carry));
                byte = 0xFF;
            } while (--pending_ != 0);
            cache_ = static_cast<uint8_t>(low_ >> 24);
        }
        pending_++;
        low_ = (low_ & 0x00FFFFFFu) << 8;
    }

    std::vector<uint8_t>& out_;
    uint64_t low_ = 0;
    uint32_t range_ = 0xFFFFFFFFu;
    uint8_t cache_ = 0;     // the first byte out is this 0
    uint64_t pending_ = 1;  // bytes held back: cache_ and the 0xFF bytes after it
};

// ---------------------------------------------------------------------------
// The input as the encoder reads it, by position from the stream's start:
// the data at hand whole, or a buffer that slides along a source and holds
// the window behind the position being coded and the lookahead before it.

// How far past the position being coded a parse step reads: the optimal
// parse's longest stretch, and past its end a match, a literal and a rep0,
// each compared over as many bytes as the longest match.
constexpr uint32_t kLookahead = kMaxStretch + 4 * kMatchMaxLen + 16;

// Bytes read from a source at a time: a quarter of the window, so that
// sliding the window down moves each byte about four times, and at least a
// MiB, so that small windows do not refill every few thousand bytes.
uint32_t RefillBytes(uint32_t window) {
    return std::max<uint32_t>(window / 4, 1u << 20);
}

class Input {
public:
    explicit Input(std::span<const uint8_t> data)
        : buf_(data.data()), size_(static_cast<uint32_t>(data.size())), end_(size_) {}
    Input(const LzmaSource& source, uint32_t window)
        : size_(static_cast<uint32_t>(source.size)),
          read_(&source.read),
          keep_(window + 1),
          own_(size_t{keep_} + kLookahead + RefillBytes(window)) {
        buf_ = own_.data();
    }

    uint32_t Size() const { return size_; }
    const uint8_t* At(uint32_t pos) const { return buf_ + (pos - base_); }
    uint8_t operator[](uint32_t pos) const { return buf_[pos - base_]; }

    // Makes every byte from pos - window - 1 to pos + kLookahead (within
    // the stream) readable: moves the ones still wanted to the buffer's
    // start and reads as many more as fit.
    void Need(uint32_t pos) {
        if (end_ == size_ || uint64_t{pos} + kLookahead <= end_)
            return;
        uint32_t from = std::max(base_, pos > keep_ ? pos - keep_ : 0);
        std::memmove(own_.data(), own_.data() + (from - base_), end_ - from);
        base_ = from;
        uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(own_.size() - (end_ - base_), size_ - end_));
        (*read_)(own_.data() + (end_ - base_), n);
        end_ += n;
    }

private:
    const uint8_t* buf_;  // the byte at position base_
    uint32_t size_;
    uint32_t base_ = 0;
    uint32_t end_ = 0;  // positions before this are in the buffer
    const std::function<void(uint8_t*, size_t)>* read_ = nullptr;
    uint32_t keep_ = 0;
    std::vector<uint8_t> own_;
};

// ---------------------------------------------------------------------------
// The probability models.

template <size_t N>
void InitProbs(Prob (&probs)[N]) {
    std::fill(probs, probs + N, kProbInit);
}

template <size_t N, size_t M>
void InitProbs(Prob (&probs)[N][M]) {
    for (auto& row : probs)
        InitProbs(row);
}

struct LenModel {
    Prob choice = kProbInit;
    Prob choice2 = kProbInit;
    Prob low[kPosStatesMax][1 << 3];
    Prob mid[kPosStatesMax][1 << 3];
    Prob high[1 << 8];
    LenModel() {
        InitProbs(low);
        InitProbs(mid);
        InitProbs(high);
    }
};

struct Model {
    std::vector<Prob> literal;
    Prob isMatch[kNumStates][kPosStatesMax];
    Prob isRep[kNumStates];
    Prob isRepG0[kNumStates];
    Prob isRepG1[kNumStates];
    Prob isRepG2[kNumStates];
    Prob isRep0Long[kNumStates][kPosStatesMax];
    Prob posSlot[kLenToPosStates][1 << 6];
    Prob posSpecial[1 + kFullDistances - kEndPosModelIndex];
    Prob align[1 << kAlignBits];
    LenModel len;
    LenModel repLen;

    explicit Model(unsigned lcPlusLp) : literal(size_t{0x300} << lcPlusLp, kProbInit) {
        InitProbs(isMatch);
        InitProbs(isRep);
        InitProbs(isRepG0);
        InitProbs(isRepG1);
        InitProbs(isRepG2);
        InitProbs(isRep0Long);
        InitProbs(posSlot);
        InitProbs(posSpecial);
        InitProbs(align);
    }
};

// Length prices for every posState, refreshed now and then from the model.
struct LenPrices {
    uint32_t price[kPosStatesMax][kLenSymbols];

    void Refresh(const PriceTable& t, const LenModel& m, unsigned posStates) {
        uint32_t highPrices[1 << 8];
        uint32_t choice1 = BitPrice(t, m.choice, 1);
        uint32_t highBase = choice1 + BitPrice(t, m.choice2, 1);
        for (unsigned s = 0; s < 256; s++)
            highPrices[s] = highBase + TreePrice(t, m.high, 8, s);
        uint32_t lowBase = BitPrice(t, m.choice, 0);
        uint32_t midBase = choice1 + BitPrice(t, m.choice2, 0);
        for (unsigned ps = 0; ps < posStates; ps++) {
            uint32_t* p = price[ps];
            for (unsigned s = 0; s < 8; s++) {
                p[s] = lowBase + TreePrice(t, m.low[ps], 3, s);
                p[s + 8] = midBase + TreePrice(t, m.mid[ps], 3, s);
            }
            std::copy(highPrices, highPrices + (kLenSymbols - 16), p + 16);
        }
    }
};

// ---------------------------------------------------------------------------
// The symbol coder: codes literals and matches at the current position and
// keeps the decoder's view (state, the four last distances) in step.

class SymbolCoder {
public:
    SymbolCoder(const Input& in, const LzmaOptions& o, std::vector<uint8_t>& out)
        : in_(in),
          lc_(o.lc),
          lpMask_((1u << o.lp) - 1),
          pbMask_((1u << o.pb) - 1),
          model_(o.lc + o.lp),
          rc_(out) {}

    uint32_t pos = 0;
    unsigned state = 0;
    uint32_t reps[4] = {1, 1, 1, 1};  // distances, one-based

    unsigned PosState(uint32_t at) const { return at & pbMask_; }
    const Model& model() const { return model_; }

    // The literal table for the byte at `at`: its position's low bits and
    // the high bits of the byte before.
    size_t LiteralTable(uint32_t at) const {
        unsigned prev = at > 0 ? in_[at - 1] : 0;
        unsigned litState = ((at & lpMask_) << lc_) + (prev >> (8 - lc_));
        return size_t{0x300} * litState;
    }
    const Prob* LiteralProbs(uint32_t at) const { return &model_.literal[LiteralTable(at)]; }

    void Literal() {
        Prob* probs = &model_.literal[LiteralTable(pos)];
        rc_.Bit(model_.isMatch[state][PosState(pos)], 0);
        unsigned byte = in_[pos];
        unsigned symbol = 1;
        unsigned i = 8;
        if (state >= 7) {
            // After a match the byte at rep0 predicts this one, bit by bit
            // until the first bit that differs.
            unsigned matchByte = in_[pos - reps[0]];
            while (i > 0) {
                i--;
                unsigned matchBit = (matchByte >> i) & 1;
                unsigned bit = (byte >> i) & 1;
                rc_.Bit(probs[((1 + matchBit) << 8) + symbol], bit);
                symbol = (symbol << 1) | bit;
                if (matchBit != bit)
                    break;
            }
        }
        while (i > 0) {
            i--;
            unsigned bit = (byte >> i) & 1;
            rc_.Bit(probs[symbol], bit);
            symbol = (symbol << 1) | bit;
        }
        state = StateAfterLiteral(state);
        pos++;
    }

    void Match(uint32_t dist, unsigned len) {
        unsigned ps = PosState(pos);
        rc_.Bit(model_.isMatch[state][ps], 1);
        rc_.Bit(model_.isRep[state], 0);
        Length(model_.len, len, ps);
        Distance(dist - 1, len);
        reps[3] = reps[2];
        reps[2] = reps[1];
        reps[1] = reps[0];
        reps[0] = dist;
        state = StateAfterMatch(state);
        pos += len;
        matchesSinceRefresh++;
        distancesSinceRefresh++;
    }

    void Rep(unsigned index, unsigned len) {
        unsigned ps = PosState(pos);
        rc_.Bit(model_.isMatch[state][ps], 1);
        rc_.Bit(model_.isRep[state], 1);
        if (index == 0) {
            rc_.Bit(model_.isRepG0[state], 0);
            rc_.Bit(model_.isRep0Long[state][ps], 1);
        } else {
            rc_.Bit(model_.isRepG0[state], 1);
            if (index == 1) {
                rc_.Bit(model_.isRepG1[state], 0);
            } else {
                rc_.Bit(model_.isRepG1[state], 1);
                rc_.Bit(model_.isRepG2[state], index - 2);
            }
            uint32_t dist = reps[index];
            for (unsigned k = index; k > 0; k--)
                reps[k] = reps[k - 1];
            reps[0] = dist;
        }
        Length(model_.repLen, len, ps);
        state = StateAfterRep(state);
        pos += len;
        matchesSinceRefresh++;
    }

    void ShortRep() {
        unsigned ps = PosState(pos);
        rc_.Bit(model_.isMatch[state][ps], 1);
        rc_.Bit(model_.isRep[state], 1);
        rc_.Bit(model_.isRepG0[state], 0);
        rc_.Bit(model_.isRep0Long[state][ps], 0);
        state = StateAfterShortRep(state);
        pos++;
    }

    // A match whose zero-based distance is all ones: the decoder stops there.
    void EndMarker() {
        unsigned ps = PosState(pos);
        rc_.Bit(model_.isMatch[state][ps], 1);
        rc_.Bit(model_.isRep[state], 0);
        Length(model_.len, kMatchMinLen, ps);
        Distance(0xFFFFFFFFu, kMatchMinLen);
    }

    void Finish() { rc_.Flush(); }

    // Counts of symbols since the price tables were last brought up to date.
    unsigned matchesSinceRefresh = 0;
    unsigned distancesSinceRefresh = 0;

private:
    void Length(LenModel& m, unsigned len, unsigned ps) {
        unsigned len0 = len - kMatchMinLen;
        if (len0 < 8) {
            rc_.Bit(m.choice, 0);
            rc_.Tree(m.low[ps], 3, len0);
        } else if (len0 < 16) {
            rc_.Bit(m.choice, 1);
            rc_.Bit(m.choice2, 0);
            rc_.Tree(m.mid[ps], 3, len0 - 8);
        } else {
            rc_.Bit(m.choice, 1);
            rc_.Bit(m.choice2, 1);
            rc_.Tree(m.high, 8, len0 - 16);
        }
    }

    void Distance(uint32_t dist0, unsigned len) {
        unsigned slot = DistSlot(dist0);
        rc_.Tree(model_.posSlot[LenToPosState(len)], 6, slot);
        if (slot < 4)
            return;
        unsigned footerBits = (slot >> 1) - 1;
        uint32_t base = (2u | (slot & 1)) << footerBits;
        uint32_t rest = dist0 - base;
        if (slot < kEndPosModelIndex) {
            rc_.ReverseTree(model_.posSpecial + base - slot, footerBits, rest);
        } else {
            rc_.Direct(rest >> kAlignBits, footerBits - kAlignBits);
            rc_.ReverseTree(model_.align, kAlignBits, rest & ((1u << kAlignBits) - 1));
        }
    }

    const Input& in_;
    unsigned lc_;
    unsigned lpMask_;
    unsigned pbMask_;
    Model model_;
    RangeEncoder rc_;
};

// ---------------------------------------------------------------------------
// The match finder: a binary search tree of the window's positions per
// 4-byte hash, ordered by the bytes that follow each, so that one walk down
// from the newest position finds the longest matches and re-roots the tree
// at the current one. Two small tables give the nearest 2- and 3-byte
// matches, which the tree (keyed by 4 bytes) cannot.

struct MatchPair {
    uint32_t len;
    uint32_t dist;
};

// The 4-byte hash's size in bits: about one bucket for every two positions
// of the window.
unsigned Hash4Bits(uint32_t window) {
    return window <= 1 ? 12u : std::clamp(static_cast<unsigned>(std::bit_width(window - 1)) - 1, 12u, 24u);
}

class MatchFinder {
public:
    MatchFinder(const Input& in, uint32_t window, unsigned nice, unsigned depth)
        : in_(in),
          size_(in.Size()),
          window_(window),
          cyclicSize_(window + 1),
          nice_(nice),
          depth_(depth),
          son_(size_t{2} * cyclicSize_),
          hash2_(1u << 16),
          hash3_(1u << kHash3Bits) {
        unsigned bits = Hash4Bits(window);
        hash4Shift_ = 32 - bits;
        hash4_.assign(size_t{1} << bits, 0);
    }

    uint32_t Pos() const { return pos_; }

    // The matches at the current position, each longer than the one before
    // and no longer than niceLength, each the nearest the search found for
    // its length; then moves on one byte.
    unsigned Find(MatchPair* out) { return Step(out); }

    void Skip(unsigned n) {
        while (n-- > 0)
            Step(nullptr);
    }

private:
    static constexpr unsigned kHash3Bits = 16;
    static constexpr uint32_t kMul = 0x9E3779B1u;

    unsigned Step(MatchPair* out) {
        uint32_t pos = pos_;
        uint32_t cyc = cyclicPos_;
        pos_++;
        cyclicPos_ = cyclicPos_ + 1 == cyclicSize_ ? 0 : cyclicPos_ + 1;
        uint32_t avail = size_ - pos;
        if (avail < 4)
            return 0;  // too short to hash; the last few bytes go as literals or reps
        unsigned limit = std::min<uint32_t>(nice_, avail);
        const uint8_t* cur = in_.At(pos);
        uint32_t v = cur[0] | uint32_t{cur[1]} << 8 | uint32_t{cur[2]} << 16 | uint32_t{cur[3]} << 24;
        uint32_t h2 = v & 0xFFFF;
        uint32_t h3 = ((v & 0xFFFFFF) * kMul) >> (32 - kHash3Bits);
        uint32_t h4 = (v * kMul) >> hash4Shift_;
        uint32_t c2 = hash2_[h2], c3 = hash3_[h3], node = hash4_[h4];
        hash2_[h2] = hash3_[h3] = hash4_[h4] = pos + 1;
        if (avail > 4) {
            // The next position's bucket is a likely cache miss; start it now.
            uint32_t next = (v >> 8 | uint32_t{cur[4]} << 24) * kMul;
            __builtin_prefetch(&hash4_[next >> hash4Shift_]);
        }

        unsigned count = 0;
        unsigned best = 1;
        if (out) {
            for (uint32_t c : {c2, c3}) {
                if (c == 0 || pos - (c - 1) > window_)
                    continue;
                uint32_t d = pos - (c - 1);
                unsigned len = CommonLength(cur, cur - d, 0, limit);
                if (len > best) {
                    best = len;
                    out[count++] = {len, d};
                }
            }
        }

        uint32_t* son = son_.data();
        uint32_t* slotSmaller = &son[2 * size_t{cyc}];
        uint32_t* slotLarger = &son[2 * size_t{cyc} + 1];
        unsigned lenSmaller = 0, lenLarger = 0;
        for (unsigned depth = depth_;; depth--) {
            uint32_t d = pos - (node - 1);
            if (node == 0 || d > window_ || depth == 0) {
                *slotSmaller = 0;
                *slotLarger = 0;
                break;
            }
            uint32_t at = cyc >= d ? cyc - d : cyc + cyclicSize_ - d;
            uint32_t* pair = &son[2 * size_t{at}];
            const uint8_t* cand = cur - d;
            unsigned known = std::min(lenSmaller, lenLarger);
            unsigned len = CommonLength(cur, cand, known, limit);
            if (out && len > best) {
                // The tree's order guarantees the `known` bytes (nodes put
                // out of order by a cut walk share at least `limit` bytes),
                // but a wrong match would corrupt the stream, and this runs
                // only for the few matches reported.
                if (known > 0 && std::memcmp(cur, cand, known) != 0)
                    len = CommonLength(cur, cand, 0, limit);
                if (len > best) {
                    best = len;
                    out[count++] = {len, d};
                }
            }
            if (len >= limit) {
                // Same bytes as far as we look: this node's subtrees become
                // the current position's, and the node leaves the tree.
                *slotSmaller = pair[0];
                *slotLarger = pair[1];
                break;
            }
            if (cand[len] < cur[len]) {
                *slotSmaller = node;
                slotSmaller = &pair[1];
                node = pair[1];
                lenSmaller = len;
            } else {
                *slotLarger = node;
                slotLarger = &pair[0];
                node = pair[0];
                lenLarger = len;
            }
        }
        return count;
    }

    const Input& in_;
    uint32_t size_;
    uint32_t window_;      // the longest distance allowed
    uint32_t cyclicSize_;  // the window's positions and the current one
    unsigned nice_;
    unsigned depth_;
    std::vector<uint32_t> son_;  // per position in the window: smaller, larger child (position + 1)
    std::vector<uint32_t> hash2_, hash3_, hash4_;  // newest position + 1 per hash
    unsigned hash4Shift_ = 0;
    uint32_t pos_ = 0;
    uint32_t cyclicPos_ = 0;
};

// ---------------------------------------------------------------------------
// The parsers.

// The Best parse's match finder depth. Deeper than 48 found shorter
// difference streams (1-2% on the benchmark's packages, a third on
// tzdata's small one) for little time: on such data most walks end
// early on a match of niceLength (whole packages took up to about a sixth
// more user time). Past 512 nothing changed.
constexpr unsigned kBestDepth = 512;

class Encoder {
public:
    Encoder(Input& in, const LzmaOptions& o, uint32_t window, std::vector<uint8_t>& out, const LzmaSink* sink)
        : in_(in),
          size_(in.Size()),
          nice_(o.niceLength),
          posStates_(1u << o.pb),
          out_(out),
          sink_(sink),
          coder_(in, o, out),
          finder_(in, window, o.niceLength,
                  o.searchDepth ? o.searchDepth : o.effort == LzmaEffort::Fast ? 16 : kBestDepth),
          prices_(Prices()) {}

    void Fast();
    void Optimal();
    void Finish(bool endMarker) {
        if (endMarker)
            coder_.EndMarker();
        coder_.Finish();
        if (sink_ && !out_.empty())
            (*sink_)(out_);
    }

private:
    // The longest match among the finder's, carried past niceLength.
    unsigned Longest(const MatchPair* m, unsigned count, uint32_t pos) const {
        if (count == 0)
            return 0;
        unsigned len = m[count - 1].len;
        unsigned limit = std::min<uint32_t>(kMatchMaxLen, size_ - pos);
        if (len >= std::min(nice_, limit))
            len = CommonLength(in_.At(pos), in_.At(pos) - m[count - 1].dist, len, limit);
        return len;
    }

    unsigned RepLength(uint32_t pos, uint32_t dist) const {
        if (dist > pos)
            return 0;
        unsigned limit = std::min<uint32_t>(kMatchMaxLen, size_ - pos);
        return CommonLength(in_.At(pos), in_.At(pos) - dist, 0, limit);
    }

    struct Choice {
        unsigned len;
        uint32_t dist;  // match: its distance; rep: which of the four
        bool rep;
    };
    Choice Choose(uint32_t pos, const MatchPair* m, unsigned count) const;

    void RefreshPrices(bool force);
    uint32_t LiteralPrice(uint32_t pos, unsigned state, uint32_t rep0) const;
    uint32_t RepPrice(unsigned index, unsigned state, unsigned ps) const;
    uint32_t DistancePrice(uint32_t dist0, unsigned len) const {
        unsigned lps = LenToPosState(len);
        if (dist0 < kFullDistances)
            return distPrices_[lps][dist0];
        return slotPrices_[lps][DistSlot(dist0)] + alignPrices_[dist0 & ((1u << kAlignBits) - 1)];
    }

    struct Node {
        uint32_t price;
        uint32_t prev;   // the node this one is reached from
        uint32_t dist;   // match: its distance; rep: which of the four
        uint16_t len;    // 1 for a literal or a short rep
        uint16_t len2;   // the rep0 after the literal of a three-symbol step
        uint8_t kind;
        uint8_t state;
        uint32_t reps[4];
    };
    // One symbol a step, or three: a literal and then rep0 (the distance
    // the literal broke off from), after a match, a rep, or nothing.
    enum : uint8_t { kLiteral, kShortRep, kRep, kMatch, kLitRep0, kRepLitRep0, kMatchLitRep0 };

    void Emit(const Node& n) {
        switch (n.kind) {
        case kLiteral: coder_.Literal(); return;
        case kShortRep: coder_.ShortRep(); return;
        case kRep:
        case kRepLitRep0: coder_.Rep(n.dist, n.len); break;
        case kMatch:
        case kMatchLitRep0: coder_.Match(n.dist, n.len); break;
        default: break;
        }
        if (n.kind >= kLitRep0) {
            coder_.Literal();
            coder_.Rep(0, n.len2);
        }
    }
    void EmitPath(uint32_t end);
    void EnterNode(uint32_t i);

    // Before each parse step: the input around the position at hand, and
    // the packed bytes so far out to the sink once there are enough.
    void Step() {
        in_.Need(coder_.pos);
        if (sink_ && out_.size() >= kDrainBytes) {
            (*sink_)(out_);
            out_.clear();
        }
    }

    Input& in_;
    uint32_t size_;
    unsigned nice_;
    unsigned posStates_;
    std::vector<uint8_t>& out_;
    const LzmaSink* sink_;
    SymbolCoder coder_;
    MatchFinder finder_;
    const PriceTable& prices_;
    MatchPair matches_[kMatchMaxLen + 1];
    MatchPair nextMatches_[kMatchMaxLen + 1];

    std::vector<Node> opt_;
    std::vector<uint32_t> path_;
    LenPrices lenPrices_;
    LenPrices repLenPrices_;
    uint32_t slotPrices_[kLenToPosStates][1 << 6];
    uint32_t distPrices_[kLenToPosStates][kFullDistances];
    uint32_t alignPrices_[1 << kAlignBits];
};

// What the fast parse would code at pos: a rep when it is nearly as long
// as the longest match (a repeated distance costs a few bits where a new
// one costs many), else that match when it is long enough for its
// distance, else nothing (len 0).
Encoder::Choice Encoder::Choose(uint32_t pos, const MatchPair* m, unsigned count) const {
    Choice c{};
    for (unsigned r = 0; r < 4; r++) {
        unsigned l = RepLength(pos, coder_.reps[r]);
        if (l > c.len) {
            c.len = l;
            c.dist = r;
        }
    }
    unsigned len = Longest(m, count, pos);
    if (c.len >= kMatchMinLen && c.len + 1 >= len) {
        c.rep = true;
        return c;
    }
    uint32_t dist = count ? m[count - 1].dist : 0;
    if (len >= 4 || (len == 3 && dist <= (1u << 16)) || (len == 2 && dist <= 128))
        return {len, dist, false};
    return {};
}

// A greedy parse that looks one byte ahead: a match is put off by a
// literal when the next position offers a clearly longer one.
void Encoder::Fast() {
    MatchPair* cur = matches_;
    MatchPair* next = nextMatches_;
    unsigned count = 0;
    bool found = false;  // cur holds the matches at coder_.pos already
    while (coder_.pos < size_) {
        Step();
        uint32_t pos = coder_.pos;
        if (!found)
            count = finder_.Find(cur);
        found = false;
        Choice c = Choose(pos, cur, count);
        if (c.len >= kMatchMinLen && c.len < nice_ && pos + 1 < size_) {
            unsigned nextCount = finder_.Find(next);
            Choice n = Choose(pos + 1, next, nextCount);
            std::swap(cur, next);
            count = nextCount;
            found = true;
            unsigned gain = c.rep && !n.rep ? 3 : c.rep || !n.rep ? 2 : 1;
            if (n.len >= c.len + gain) {
                coder_.Literal();
                continue;
            }
        }
        if (c.len >= kMatchMinLen) {
            if (c.rep)
                coder_.Rep(c.dist, c.len);
            else
                coder_.Match(c.dist, c.len);
            finder_.Skip(c.len - 1 - (found ? 1 : 0));
            found = false;
        } else if (pos >= coder_.reps[0] && in_[pos] == in_[pos - coder_.reps[0]] && coder_.state >= 7) {
            coder_.ShortRep();
        } else {
            coder_.Literal();
        }
    }
}

void Encoder::RefreshPrices(bool force) {
    const Model& m = coder_.model();
    if (force || coder_.matchesSinceRefresh >= 32) {
        lenPrices_.Refresh(prices_, m.len, posStates_);
        repLenPrices_.Refresh(prices_, m.repLen, posStates_);
        coder_.matchesSinceRefresh = 0;
    }
    if (force || coder_.distancesSinceRefresh >= 32) {
        for (unsigned lps = 0; lps < kLenToPosStates; lps++) {
            for (unsigned slot = 0; slot < 64; slot++) {
                uint32_t p = TreePrice(prices_, m.posSlot[lps], 6, slot);
                if (slot >= kEndPosModelIndex)
                    p += ((slot >> 1) - 1 - kAlignBits) << kPriceBits;
                slotPrices_[lps][slot] = p;
            }
            for (uint32_t d = 0; d < kFullDistances; d++) {
                unsigned slot = DistSlot(d);
                uint32_t p = slotPrices_[lps][slot];
                if (slot >= 4) {
                    unsigned footerBits = (slot >> 1) - 1;
                    uint32_t base = (2u | (slot & 1)) << footerBits;
                    p += ReverseTreePrice(prices_, m.posSpecial + base - slot, footerBits, d - base);
                }
                distPrices_[lps][d] = p;
            }
        }
        for (unsigned a = 0; a < (1u << kAlignBits); a++)
            alignPrices_[a] = ReverseTreePrice(prices_, m.align, kAlignBits, a);
        coder_.distancesSinceRefresh = 0;
    }
}

uint32_t Encoder::LiteralPrice(uint32_t pos, unsigned state, uint32_t rep0) const {
    const Prob* probs = coder_.LiteralProbs(pos);
    unsigned byte = in_[pos];
    unsigned symbol = 1;
    unsigned i = 8;
    uint32_t price = 0;
    if (state >= 7) {
        unsigned matchByte = in_[pos - rep0];
        while (i > 0) {
            i--;
            unsigned matchBit = (matchByte >> i) & 1;
            unsigned bit = (byte >> i) & 1;
            price += BitPrice(prices_, probs[((1 + matchBit) << 8) + symbol], bit);
            symbol = (symbol << 1) | bit;
            if (matchBit != bit)
                break;
        }
    }
    while (i > 0) {
        i--;
        unsigned bit = (byte >> i) & 1;
        price += BitPrice(prices_, probs[symbol], bit);
        symbol = (symbol << 1) | bit;
    }
    return price;
}

// Choosing rep `index` after the match bit, and for rep0 its long form.
uint32_t Encoder::RepPrice(unsigned index, unsigned state, unsigned ps) const {
    const Model& m = coder_.model();
    if (index == 0)
        return BitPrice(prices_, m.isRepG0[state], 0) + BitPrice(prices_, m.isRep0Long[state][ps], 1);
    uint32_t p = BitPrice(prices_, m.isRepG0[state], 1);
    if (index == 1)
        return p + BitPrice(prices_, m.isRepG1[state], 0);
    return p + BitPrice(prices_, m.isRepG1[state], 1) + BitPrice(prices_, m.isRepG2[state], index - 2);
}

// The node's state and distances, from the one it is reached from.
void Encoder::EnterNode(uint32_t i) {
    Node& n = opt_[i];
    const Node& from = opt_[n.prev];
    std::copy(from.reps, from.reps + 4, n.reps);
    unsigned state = from.state;
    switch (n.kind) {
    case kLiteral:
    case kLitRep0: state = StateAfterLiteral(state); break;
    case kShortRep: state = StateAfterShortRep(state); break;
    case kRep:
    case kRepLitRep0: {
        state = StateAfterRep(state);
        uint32_t dist = n.reps[n.dist];
        for (unsigned k = n.dist; k > 0; k--)
            n.reps[k] = n.reps[k - 1];
        n.reps[0] = dist;
        break;
    }
    default:
        state = StateAfterMatch(state);
        n.reps[3] = n.reps[2];
        n.reps[2] = n.reps[1];
        n.reps[1] = n.reps[0];
        n.reps[0] = n.dist;
        break;
    }
    if (n.kind == kRepLitRep0 || n.kind == kMatchLitRep0)
        state = StateAfterLiteral(state);
    if (n.kind >= kLitRep0)
        state = StateAfterRep(state);
    n.state = static_cast<uint8_t>(state);
}

// Codes the cheapest path from node 0 to node `end`.
void Encoder::EmitPath(uint32_t end) {
    path_.clear();
    for (uint32_t i = end; i != 0; i = opt_[i].prev)
        path_.push_back(i);
    for (size_t k = path_.size(); k-- > 0;)
        Emit(opt_[path_[k]]);
}

// Stretch by stretch: every way to reach each position from the stretch's
// start is priced with the models as they stand, and the cheapest path is
// coded once no choice reaches past the position being looked at (so the
// path there can no longer change), or a match of niceLength turns up.
void Encoder::Optimal() {
    const Model& m = coder_.model();
    opt_.resize(kMaxStretch + 2 * kMatchMaxLen + 2);
    RefreshPrices(true);
    while (coder_.pos < size_) {
        Step();
        RefreshPrices(false);
        uint32_t start = coder_.pos;
        Node& first = opt_[0];
        first.price = 0;
        first.state = static_cast<uint8_t>(coder_.state);
        std::copy(coder_.reps, coder_.reps + 4, first.reps);
        uint32_t last = 0;
        uint32_t i = 0;
        for (;;) {
            if (i > 0)
                EnterNode(i);
            const Node& n = opt_[i];
            uint32_t pos = start + i;
            unsigned count = finder_.Find(matches_);
            unsigned mainLen = Longest(matches_, count, pos);
            unsigned repLens[4];
            unsigned bestRep = 0;
            for (unsigned r = 0; r < 4; r++) {
                repLens[r] = RepLength(pos, n.reps[r]);
                if (repLens[r] > repLens[bestRep])
                    bestRep = r;
            }
            if (std::max(mainLen, repLens[bestRep]) >= nice_) {
                // A long match: nothing shorter around it is worth pricing.
                EmitPath(i);
                if (repLens[bestRep] >= mainLen) {
                    coder_.Rep(bestRep, repLens[bestRep]);
                    finder_.Skip(repLens[bestRep] - 1);
                } else {
                    coder_.Match(matches_[count - 1].dist, mainLen);
                    finder_.Skip(mainLen - 1);
                }
                break;
            }

            auto reach = [&](uint32_t to, uint32_t price, uint8_t kind, unsigned len, uint32_t dist,
                             unsigned len2 = 0) {
                while (last < to)
                    opt_[++last].price = kInfinitePrice;
                Node& t = opt_[to];
                if (price < t.price) {
                    t.price = price;
                    t.prev = i;
                    t.kind = kind;
                    t.len = static_cast<uint16_t>(len);
                    t.len2 = static_cast<uint16_t>(len2);
                    t.dist = dist;
                }
            };
            // A literal at `at` (state `state` before it) that breaks off
            // from distance `dist`, and then rep0 at that distance again:
            // how long the rep0 runs (0: not worth a look) and the price of
            // the two.
            auto literalThenRep0 = [&](uint32_t at, unsigned state, uint32_t dist, uint32_t& price) -> unsigned {
                if (at + 2 >= size_ || dist > at || in_[at] == in_[at - dist])
                    return 0;
                unsigned len2 = CommonLength(in_.At(at + 1), in_.At(at + 1) - dist, 0,
                                             std::min<uint32_t>(kMatchMaxLen, size_ - at - 1));
                if (len2 < kMatchMinLen)
                    return 0;
                unsigned psLit = coder_.PosState(at), psRep = coder_.PosState(at + 1);
                unsigned afterLit = StateAfterLiteral(state);
                price = BitPrice(prices_, m.isMatch[state][psLit], 0) + LiteralPrice(at, state, dist) +
                        BitPrice(prices_, m.isMatch[afterLit][psRep], 1) + BitPrice(prices_, m.isRep[afterLit], 1) +
                        RepPrice(0, afterLit, psRep) + repLenPrices_.price[psRep][len2 - kMatchMinLen];
                return len2;
            };

            unsigned ps = coder_.PosState(pos);
            uint32_t tailPrice = 0;
            uint32_t matchBit1 = n.price + BitPrice(prices_, m.isMatch[n.state][ps], 1);
            reach(i + 1, n.price + BitPrice(prices_, m.isMatch[n.state][ps], 0) + LiteralPrice(pos, n.state, n.reps[0]),
                  kLiteral, 1, 0);
            if (unsigned len2 = literalThenRep0(pos, n.state, n.reps[0], tailPrice))
                reach(i + 1 + len2, n.price + tailPrice, kLitRep0, 1, 0, len2);
            uint32_t repBase = matchBit1 + BitPrice(prices_, m.isRep[n.state], 1);
            if (n.reps[0] <= pos && in_[pos] == in_[pos - n.reps[0]]) {
                reach(i + 1,
                      repBase + BitPrice(prices_, m.isRepG0[n.state], 0) +
                          BitPrice(prices_, m.isRep0Long[n.state][ps], 0),
                      kShortRep, 1, 0);
            }
            for (unsigned r = 0; r < 4; r++) {
                if (repLens[r] < kMatchMinLen)
                    continue;
                uint32_t base = repBase + RepPrice(r, n.state, ps);
                const uint32_t* lp = repLenPrices_.price[ps];
                for (unsigned len = kMatchMinLen; len <= repLens[r]; len++)
                    reach(i + len, base + lp[len - kMatchMinLen], kRep, len, r);
                uint32_t full = base + lp[repLens[r] - kMatchMinLen];
                if (unsigned len2 = literalThenRep0(pos + repLens[r], StateAfterRep(n.state), n.reps[r], tailPrice))
                    reach(i + repLens[r] + 1 + len2, full + tailPrice, kRepLitRep0, repLens[r], r, len2);
            }
            if (count > 0) {
                uint32_t base = matchBit1 + BitPrice(prices_, m.isRep[n.state], 0);
                const uint32_t* lp = lenPrices_.price[ps];
                unsigned len = kMatchMinLen;
                for (unsigned k = 0; k < count; k++) {
                    uint32_t dist = matches_[k].dist;
                    unsigned upTo = k + 1 == count ? mainLen : matches_[k].len;
                    for (; len <= upTo; len++)
                        reach(i + len, base + lp[len - kMatchMinLen] + DistancePrice(dist - 1, len), kMatch, len,
                              dist);
                    uint32_t full = base + lp[upTo - kMatchMinLen] + DistancePrice(dist - 1, upTo);
                    if (unsigned len2 = literalThenRep0(pos + upTo, StateAfterMatch(n.state), dist, tailPrice))
                        reach(i + upTo + 1 + len2, full + tailPrice, kMatchLitRep0, upTo, dist, len2);
                }
            }
            i++;
            if (i == last || i >= kMaxStretch) {
                EmitPath(i);
                break;
            }
        }
    }
}

}  // namespace

unsigned LzmaPropsByte(const LzmaOptions& o) {
    return (o.pb * 5 + o.lp) * 9 + o.lc;
}

namespace {

void CheckOptions(const LzmaOptions& o, uint64_t size) {
    if (o.lc > 4 || o.lp > 4 || o.lc + o.lp > 4 || o.pb > 4)
        throw std::invalid_argument("LZMA: lc + lp must be at most 4 and pb at most 4");
    if (o.dictSize < kMinDict || o.dictSize > kMaxDict)
        throw std::invalid_argument("LZMA: the dictionary must be 4 KiB to 64 MiB");
    if (o.niceLength < 8 || o.niceLength > kMatchMaxLen)
        throw std::invalid_argument("LZMA: niceLength must be 8 to 273");
    if (size >= std::numeric_limits<uint32_t>::max())
        throw std::length_error("LZMA: input of 4 GiB or more");
}

// No distance can exceed the bytes before it, so a window larger than the
// data would only cost memory.
uint32_t WindowFor(const LzmaOptions& o, uint64_t size) {
    return std::max<uint32_t>(1, static_cast<uint32_t>(std::min<uint64_t>(o.dictSize, size)));
}

void Run(Input& in, const LzmaOptions& o, std::vector<uint8_t>& out, const LzmaSink* sink) {
    Encoder enc(in, o, WindowFor(o, in.Size()), out, sink);
    if (o.effort == LzmaEffort::Fast)
        enc.Fast();
    else
        enc.Optimal();
    enc.Finish(o.endMarker);
}

}  // namespace

std::vector<uint8_t> LzmaEncode(std::span<const uint8_t> data, const LzmaOptions& o) {
    CheckOptions(o, data.size());
    std::vector<uint8_t> out;
    out.reserve(data.size() / 4 + 64);
    Input in(data);
    Run(in, o, out, nullptr);
    return out;
}

namespace {

// Runs the encoder over in with the packed bytes going to sink, and
// returns how many there were.
uint64_t RunToSink(Input& in, const LzmaOptions& o, const LzmaSink& sink) {
    uint64_t packed = 0;
    LzmaSink counted = [&](std::span<const uint8_t> bytes) {
        packed += bytes.size();
        sink(bytes);
    };
    std::vector<uint8_t> out;
    out.reserve(kDrainBytes + 64 * 1024);
    Run(in, o, out, &counted);
    return packed;
}

}  // namespace

uint64_t LzmaEncode(const LzmaSource& source, const LzmaOptions& o, const LzmaSink& sink) {
    CheckOptions(o, source.size);
    Input in(source, WindowFor(o, source.size));
    return RunToSink(in, o, sink);
}

uint64_t LzmaEncode(std::span<const uint8_t> data, const LzmaOptions& o, const LzmaSink& sink) {
    CheckOptions(o, data.size());
    Input in(data);
    return RunToSink(in, o, sink);
}

uint64_t LzmaEncoderMemory(uint32_t window, bool fromSource) {
    // the tree's two links per position, the hash tables, and the parse's
    // nodes, models and price tables
    uint64_t m = 8 * (uint64_t{window} + 1) + (uint64_t{4} << Hash4Bits(window)) + 2 * 4 * 65536 + (1u << 19);
    if (fromSource)
        m += uint64_t{window} + 1 + kLookahead + RefillBytes(window) + 2 * kDrainBytes;
    return m;
}

}  // namespace mkpatch
