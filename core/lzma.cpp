// The LZMA decoder: a range decoder, the bit models it drives, and the
// LZ layer that puts literals and matches into the circular dictionary.
#include "core/lzma.h"

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

// The range decoder, copied into locals for the length of a decoding loop
// so that the compiler can keep it in registers.
typedef struct Rc {
    uint32_t range;
    uint32_t code;
    const unsigned char* pos;
    const unsigned char* end;
    LzmaInput* in;
    int dry;  // the packed bytes ran out: from then on zeros are read
} Rc;

// Asks the input for more bytes; 1 when [pos, end) holds some again.
static int Refill(LzmaInput* in) {
    do {
        if (!in->refill || !in->refill(in))
            return 0;
    } while (in->pos == in->end);
    return 1;
}

// The next packed byte, or 0 with rc->dry set once there are none: the
// decoding loop checks dry once a symbol rather than once a byte.
static inline unsigned NextByte(Rc* rc) {
    if (rc->pos == rc->end) {
        rc->in->pos = rc->pos;
        if (rc->dry || !Refill(rc->in)) {
            rc->dry = 1;
            return 0;
        }
        rc->pos = rc->in->pos;
        rc->end = rc->in->end;
    }
    return *rc->pos++;
}

// One bit under the adaptive model *p (the chance of a 0, in 2048ths),
// which moves a 32nd of the way towards the bit decoded. The range is
// topped up before the bit rather than after, so the decoder never reads a
// byte that the last bit of the stream does not need.
static inline unsigned Bit(Rc* rc, uint16_t* p) {
    if (rc->range < (1u << 24)) {
        rc->range <<= 8;
        rc->code = (rc->code << 8) | NextByte(rc);
    }
    uint32_t bound = (rc->range >> 11) * *p;
    if (rc->code < bound) {
        rc->range = bound;
        *p = (uint16_t)(*p + ((2048 - *p) >> 5));
        return 0;
    }
    rc->range -= bound;
    rc->code -= bound;
    *p = (uint16_t)(*p - (*p >> 5));
    return 1;
}

// A value of `bits` bits, high bit first, from a tree of models whose
// node m has children 2m and 2m + 1 (node 0 unused).
static unsigned Tree(Rc* rc, uint16_t* p, unsigned bits) {
    unsigned m = 1;
    do
        m = (m << 1) | Bit(rc, p + m);
    while (m < (1u << bits));
    return m - (1u << bits);
}

// The same tree walked with the value's low bit first.
static unsigned ReverseTree(Rc* rc, uint16_t* p, unsigned bits) {
    unsigned m = 1, value = 0;
    for (unsigned i = 0; i < bits; i++) {
        unsigned bit = Bit(rc, p + m);
        m = (m << 1) | bit;
        value |= bit << i;
    }
    return value;
}

// A match length less 2 (0 to 271) from the length coder at p.
static unsigned Length(Rc* rc, uint16_t* p, unsigned posState) {
    if (!Bit(rc, p))
        return Tree(rc, p + 2 + posState * 8, 3);
    if (!Bit(rc, p + 1))
        return 8 + Tree(rc, p + 2 + POS_STATES * 8 + posState * 8, 3);
    return 16 + Tree(rc, p + 2 + 2 * POS_STATES * 8, 8);
}

// A match distance less 1 for a match of length len + 2. All ones is the
// end marker, which no dictionary can hold, so the distance check turns it
// away like any other distance that reaches too far.
static uint32_t Distance(Rc* rc, uint16_t* probs, unsigned len) {
    unsigned slot = Tree(rc, probs + P_SLOT + (len < 3 ? len : 3) * 64, 6);
    if (slot < 4)
        return slot;
    // the slot gives the top two bits (10 or 11) and how many follow
    unsigned lowBits = (slot >> 1) - 1;
    uint32_t dist = (uint32_t)(2 | (slot & 1)) << lowBits;
    if (slot < END_SLOT_TREES)  // one small reverse tree per slot, packed end to end
        return dist + ReverseTree(rc, probs + P_MID_DIST - 1 + dist - slot, lowBits);
    uint32_t direct = 0;  // the middle bits at even odds, then 4 modelled ones
    for (unsigned i = lowBits - 4; i; i--) {
        if (rc->range < (1u << 24)) {
            rc->range <<= 8;
            rc->code = (rc->code << 8) | NextByte(rc);
        }
        rc->range >>= 1;
        direct <<= 1;
        if (rc->code >= rc->range) {
            rc->code -= rc->range;
            direct |= 1;
        }
    }
    return dist + (direct << 4) + ReverseTree(rc, probs + P_ALIGN, 4);
}

// Decodes into the dictionary from dictPos up to stop (at most dictSize),
// finishing first a match the last call left open; a match that reaches
// past stop is left open in turn. 1, or 0 for a data error.
static int Fill(LzmaDecoder* d, uint32_t stop) {
    Rc rc = {d->range, d->code, d->in->pos, d->in->end, d->in, 0};
    uint16_t* probs = d->probs;
    unsigned char* dict = d->dict;
    uint32_t size = d->dictSize, pos = d->dictPos;
    uint32_t rep0 = d->rep[0], rep1 = d->rep[1], rep2 = d->rep[2], rep3 = d->rep[3];
    unsigned state = d->state;
    uint32_t len = d->matchLeft;
    int ok = 0;
    for (;;) {
        if (len) {  // copy up to stop; the source may wrap, the target does not
            uint32_t n = stop - pos < len ? stop - pos : len;
            len -= n;
            uint32_t src = pos - rep0 - 1;
            if (pos <= rep0)
                src += size;
            do {
                dict[pos++] = dict[src++];
                if (src == size)
                    src = 0;
            } while (--n);
        }
        if (pos == stop || rc.dry) {
            ok = !rc.dry;  // bytes decoded from made-up zeros are no bytes
            break;
        }
        uint32_t at = d->posBase + pos;
        unsigned posState = at & d->pbMask;
        if (!Bit(&rc, probs + P_IS_MATCH + state * POS_STATES + posState)) {
            // a literal, in the context of the previous byte and the position
            unsigned prev = pos ? dict[pos - 1] : d->dictFull ? dict[size - 1] : 0;
            uint16_t* lit = probs + P_LIT + 0x300 * (((at & d->lpMask) << d->lc) + (prev >> (8 - d->lc)));
            unsigned sym = 1;
            if (state >= 7) {
                // right after a match: the byte the match would have given
                // steers the models until the first bit that differs from it
                uint32_t src = pos - rep0 - 1;
                if (pos <= rep0)
                    src += size;
                unsigned match = dict[src];
                do {
                    unsigned matchBit = (match >> 7) & 1;
                    match <<= 1;
                    unsigned bit = Bit(&rc, lit + 0x100 + (matchBit << 8) + sym);
                    sym = (sym << 1) | bit;
                    if (bit != matchBit)
                        break;
                } while (sym < 0x100);
            }
            while (sym < 0x100)
                sym = (sym << 1) | Bit(&rc, lit + sym);
            dict[pos++] = (unsigned char)sym;
            state = state < 4 ? 0 : state < 10 ? state - 3 : state - 6;
            continue;
        }
        if (!Bit(&rc, probs + P_IS_REP + state)) {  // a match with a new distance
            len = Length(&rc, probs + P_LEN, posState);
            state = state < 7 ? 7 : 10;
            rep3 = rep2;
            rep2 = rep1;
            rep1 = rep0;
            rep0 = Distance(&rc, probs, len);
            len += 2;
        } else {  // one of the last four distances again
            len = 1;  // unless told otherwise: one byte from the last distance
            if (Bit(&rc, probs + P_IS_REP_G0 + state)) {
                uint32_t dist;
                if (!Bit(&rc, probs + P_IS_REP_G1 + state)) {
                    dist = rep1;
                } else {
                    if (!Bit(&rc, probs + P_IS_REP_G2 + state)) {
                        dist = rep2;
                    } else {
                        dist = rep3;
                        rep3 = rep2;
                    }
                    rep2 = rep1;
                }
                rep1 = rep0;
                rep0 = dist;
                len = 0;
            } else if (Bit(&rc, probs + P_IS_REP0_LONG + state * POS_STATES + posState)) {
                len = 0;
            }
            if (len) {
                state = state < 7 ? 9 : 11;
            } else {
                len = Length(&rc, probs + P_REP_LEN, posState) + 2;
                state = state < 7 ? 8 : 11;
            }
        }
        // before the dictionary first fills, pos is how many bytes there are
        if (rep0 >= (d->dictFull ? size : pos))
            break;
    }
    d->range = rc.range;
    d->code = rc.code;
    d->in->pos = rc.pos;
    d->dictPos = pos;
    d->rep[0] = rep0;
    d->rep[1] = rep1;
    d->rep[2] = rep2;
    d->rep[3] = rep3;
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
    d->dictPos = 0;
    d->posBase = 0;
    d->dictFull = 0;
    d->left = unpacked;
    d->matchLeft = 0;
    d->rep[0] = d->rep[1] = d->rep[2] = d->rep[3] = 0;
    d->state = 0;
    d->lc = lc;
    d->lpMask = (1u << lp) - 1;
    d->pbMask = (1u << pb) - 1;
    for (unsigned i = 0; i < P_LIT + (0x300u << (lc + lp)); i++)
        d->probs[i] = 1024;  // even odds
    // the encoder's first byte is always 0; the next four start the code
    Rc rc = {0xFFFFFFFF, 0, in->pos, in->end, in, 0};
    if (NextByte(&rc))
        return 0;
    for (int i = 0; i < 4; i++)
        rc.code = (rc.code << 8) | NextByte(&rc);
    in->pos = rc.pos;
    d->range = rc.range;
    d->code = rc.code;
    return !rc.dry;
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
