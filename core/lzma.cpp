// The LZMA decoder: a range decoder, the bit models it drives, and the
// LZ layer that puts literals and matches into the circular dictionary.
#include "core/lzma.h"

#include <stddef.h>
#include <string.h>

// Where each group of bit models lives in LzmaDecoder::probs.
enum {
    STATES = 12,
    POS_STATES = 16,            // 1 << the largest pb
    LEN_SIZE = 2 + 2 * POS_STATES * 8 + 256,  // two choices, low and mid trees, the high tree
    P_IS_MATCH = 0,             // [state][posState]
    P_IS_REP = P_IS_MATCH + STATES * POS_STATES,  // [state], and the next three too
    P_IS_REP_G0 = P_IS_REP + STATES,
    P_IS_REP_G1 = P_IS_REP_G0 + STATES,
    P_IS_REP_G2 = P_IS_REP_G1 + STATES,
    P_IS_REP0_LONG = P_IS_REP_G2 + STATES,        // [state][posState]
    P_SLOT = P_IS_REP0_LONG + STATES * POS_STATES,  // [lenState][64]: 6-bit trees
    P_MID_DIST = P_SLOT + 4 * 64, // reverse trees of the middle distance slots, packed
    P_ALIGN = P_MID_DIST + 114,   // the low 4 bits of far distances
    P_LEN = P_ALIGN + 16,         // lengths of new matches
    P_REP_LEN = P_LEN + LEN_SIZE, // lengths of repeated matches
    P_LIT = P_REP_LEN + LEN_SIZE, // 0x300 per literal context
    END_SLOT_TREES = 14           // slots from here on take direct bits and the align tree
};
static_assert(P_LIT + (0x300 << LZMA_LCLP_MAX) == LZMA_PROBS, "the bit models fill probs exactly");

// The range decoder lives in LzmaDecoder: range and code, and the packed
// bytes at hand (pos, end), taken from the input for the length of one Fill.

// Asks the input for more bytes; 1 when [pos, end) holds some again.
static int Refill(LzmaInput* in) {
    do {
        if (!in->refill || !in->refill(in))
            return 0;
    } while (in->pos == in->end);
    return 1;
}

// The next packed byte, or 0 with d->dry set once there are none: the
// decoding loop checks dry once a symbol rather than once a byte.
static inline unsigned NextByte(LzmaDecoder* d) {
    if (d->pos == d->end) {
        LzmaInput* in = d->in;
        in->pos = d->pos;
        if (d->dry || !Refill(in)) {
            d->dry = 1;
            return 0;
        }
        d->pos = in->pos;
        d->end = in->end;
    }
    return *d->pos++;
}

// One bit under the adaptive model *p (the chance of a 0, in 2048ths),
// which moves a 32nd of the way towards the bit decoded. The range is
// topped up before the bit rather than after, so the decoder never reads a
// byte that the last bit of the stream does not need.
static inline unsigned Bit(LzmaDecoder* d, uint16_t* p) {
    if (d->range < (1u << 24)) {
        d->range <<= 8;
        d->code = (d->code << 8) | NextByte(d);
    }
    uint32_t bound = (d->range >> 11) * *p;
    if (d->code < bound) {
        d->range = bound;
        *p = (uint16_t)(*p + ((2048 - *p) >> 5));
        return 0;
    }
    d->range -= bound;
    d->code -= bound;
    *p = (uint16_t)(*p - (*p >> 5));
    return 1;
}

// A value of `bits` bits, high bit first, from a tree of models whose
// node m has children 2m and 2m + 1 (node 0 unused).
static unsigned Tree(LzmaDecoder* d, uint16_t* p, unsigned bits) {
    unsigned m = 1;
    do
        m = (m << 1) | Bit(d, p + m);
    while (m < (1u << bits));
    return m - (1u << bits);
}

// The same tree walked with the value's low bit first.
static unsigned ReverseTree(LzmaDecoder* d, uint16_t* p, unsigned bits) {
    unsigned m = 1, value = 0;
    for (unsigned i = 0; i < bits; i++) {
        unsigned bit = Bit(d, p + m);
        m = (m << 1) | bit;
        value |= bit << i;
    }
    return value;
}

// A match length less 2 (0 to 271) from the length coder at p.
static unsigned Length(LzmaDecoder* d, uint16_t* p, unsigned posState) {
    if (!Bit(d, p))
        return Tree(d, p + 2 + posState * 8, 3);
    if (!Bit(d, p + 1))
        return 8 + Tree(d, p + 2 + POS_STATES * 8 + posState * 8, 3);
    return 16 + Tree(d, p + 2 + 2 * POS_STATES * 8, 8);
}

// A match distance less 1 for a match of length len + 2. All ones is the
// end marker, which no dictionary can hold, so the distance check turns it
// away like any other distance that reaches too far.
static uint32_t Distance(LzmaDecoder* d, unsigned len) {
    uint16_t* probs = d->probs;
    unsigned slot = Tree(d, probs + P_SLOT + (len < 3 ? len : 3) * 64, 6);
    if (slot < 4)
        return slot;
    // the slot gives the top two bits (10 or 11) and how many follow
    unsigned lowBits = (slot >> 1) - 1;
    uint32_t dist = (uint32_t)(2 | (slot & 1)) << lowBits;
    if (slot < END_SLOT_TREES)  // one small reverse tree per slot, packed end to end
        return dist + ReverseTree(d, probs + P_MID_DIST - 1 + dist - slot, lowBits);
    uint32_t direct = 0;  // the middle bits at even odds, then 4 modelled ones
    for (unsigned i = lowBits - 4; i; i--) {
        if (d->range < (1u << 24)) {
            d->range <<= 8;
            d->code = (d->code << 8) | NextByte(d);
        }
        d->range >>= 1;
        direct <<= 1;
        if (d->code >= d->range) {
            d->code -= d->range;
            direct |= 1;
        }
    }
    return dist + (direct << 4) + ReverseTree(d, probs + P_ALIGN, 4);
}

// Decodes into the dictionary from dictPos up to stop (at most dictSize),
// finishing first a match the last call left open; a match that reaches
// past stop is left open in turn. 1, or 0 for a data error.
static int Fill(LzmaDecoder* d, uint32_t stop) {
    d->pos = d->in->pos;
    d->end = d->in->end;
    uint16_t* probs = d->probs;
    unsigned char* dict = d->dict;
    uint32_t size = d->dictSize, pos = d->dictPos;
    uint32_t* rep = d->rep;
    unsigned state = d->state;
    uint32_t len = d->matchLeft;
    int ok = 0;
    for (;;) {
        if (len) {  // copy up to stop; the source may wrap, the target does not
            uint32_t n = stop - pos < len ? stop - pos : len;
            len -= n;
            uint32_t src = pos - rep[0] - 1;
            if (pos <= rep[0])
                src += size;
            do {
                dict[pos++] = dict[src++];
                if (src == size)
                    src = 0;
            } while (--n);
        }
        if (pos == stop || d->dry) {
            ok = !d->dry;  // bytes decoded from made-up zeros are no bytes
            break;
        }
        uint32_t at = d->posBase + pos;
        unsigned posState = at & d->pbMask;
        if (!Bit(d, probs + P_IS_MATCH + state * POS_STATES + posState)) {
            // a literal, in the context of the previous byte and the position
            unsigned prev = pos ? dict[pos - 1] : d->dictFull ? dict[size - 1] : 0;
            uint16_t* lit = probs + P_LIT + 0x300 * (((at & d->lpMask) << d->lc) + (prev >> (8 - d->lc)));
            unsigned sym = 1;
            if (state >= 7) {
                // right after a match: the byte the match would have given
                // steers the models until the first bit that differs from it
                uint32_t src = pos - rep[0] - 1;
                if (pos <= rep[0])
                    src += size;
                unsigned match = dict[src];
                do {
                    unsigned matchBit = (match >> 7) & 1;
                    match <<= 1;
                    unsigned bit = Bit(d, lit + 0x100 + (matchBit << 8) + sym);
                    sym = (sym << 1) | bit;
                    if (bit != matchBit)
                        break;
                } while (sym < 0x100);
            }
            while (sym < 0x100)
                sym = (sym << 1) | Bit(d, lit + sym);
            dict[pos++] = (unsigned char)sym;
            static const unsigned char kAfterLiteral[STATES] = {0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 4, 5};
            state = kAfterLiteral[state];
            continue;
        }
        // A match: k is 0 for a new distance, else 1 + which of the last
        // four distances comes again (the is-rep, g0, g1 and g2 models lie
        // one row of STATES apart: each further 1 reaches one further back).
        unsigned k = 0;
        while (k < 4 && Bit(d, probs + P_IS_REP + k * STATES + state))
            k++;
        if (k == 1 && !Bit(d, probs + P_IS_REP0_LONG + state * POS_STATES + posState)) {
            len = 1;  // one byte from the last distance
            state = state < 7 ? 9 : 11;
        } else {
            len = Length(d, probs + (k ? P_REP_LEN : P_LEN), posState);
            unsigned i = k ? k - 1 : 3;
            uint32_t dist = k ? rep[i] : Distance(d, len);
            for (unsigned j = 0; j <= i; j++) {  // to the front, the others one back
                uint32_t was = rep[j];
                rep[j] = dist;
                dist = was;
            }
            len += 2;
            state = (state < 7 ? 7 : 10) + (k != 0);
        }
        // before the dictionary first fills, pos is how many bytes there are
        if (rep[0] >= (d->dictFull ? size : pos))
            break;
    }
    d->in->pos = d->pos;
    d->dictPos = pos;
    d->state = state;
    d->matchLeft = len;
    return ok;
}

int LzmaBegin(LzmaDecoder* d, unsigned props, unsigned char* dict, uint32_t dictSize,
              uint64_t unpacked, LzmaInput* in) {
    if (props > LZMA_PROPS_MAX || !dict || !dictSize)
        return 0;
    unsigned lc = props % 9, lp = props / 9 % 5, pb = props / 45;
    if (lc + lp > LZMA_LCLP_MAX)
        return 0;
    d->in = in;
    d->dict = dict;
    d->dictSize = dictSize;
    d->left = unpacked;
    memset((char*)d + offsetof(LzmaDecoder, code), 0, offsetof(LzmaDecoder, lc) - offsetof(LzmaDecoder, code));
    d->lc = lc;
    d->lpMask = (1u << lp) - 1;
    d->pbMask = (1u << pb) - 1;
    for (unsigned i = 0; i < P_LIT + (0x300u << (lc + lp)); i++)
        d->probs[i] = 1024;  // even odds
    // the encoder's first byte is always 0; the next four start the code
    d->range = 0xFFFFFFFF;
    d->pos = in->pos;
    d->end = in->end;
    if (NextByte(d))
        return 0;
    for (int i = 0; i < 4; i++)
        d->code = (d->code << 8) | NextByte(d);
    in->pos = d->pos;
    return !d->dry;
}

int LzmaRead(LzmaDecoder* d, unsigned char* out, size_t n) {
    if (n > d->left) {
        d->left = 0;
        return 0;
    }
    d->left -= n;
    while (n) {
        uint32_t start = d->dictPos;
        uint32_t step = d->dictSize - start;
        if (n < step)
            step = (uint32_t)n;
        if (!Fill(d, start + step)) {
            d->left = 0;  // every later call fails too
            return 0;
        }
        memcpy(out, d->dict + start, step);
        out += step;
        n -= step;
        if (d->dictPos == d->dictSize) {
            d->dictPos = 0;
            d->posBase += d->dictSize;
            d->dictFull = 1;
        }
    }
    return 1;
}
