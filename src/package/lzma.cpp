// LZMA1 decoding: the range decoder, the adaptive models it reads through and the window they fill.
#include "package/lzma.h"

namespace {

// Where each model starts among the probabilities. A bit-tree's node m (1 on) is at its start + m.
enum : unsigned {
    kStates = 12,
    kIsMatch = 0,                          // [state][position bits]
    kIsRep = kIsMatch + (kStates << 4),    // [0: rep or match, 1-3: which rep][state]
    kIsRep0Long = kIsRep + 4 * kStates,    // [state][position bits]
    kSlot = kIsRep0Long + (kStates << 4),  // [length 2, 3, 4, more][64]
    kSpecial = kSlot + 4 * 64,             // the reverse trees of slots 4-13, one after another
    kAlign = kSpecial + 114,
    kMatchLength = kAlign + 16,            // choice, choice 2, [position bits][8] twice, 256
    kRepLength = kMatchLength + 514,
    kLiteral = kRepLength + 514,           // [coder][0x300]: 0x100 plain, then 0x200 matched
};
static_assert(kLiteral == 1846, "the layout the decoder record was sized for");

const unsigned kTop = 1u << 24;  // the range is kept this wide: below it, a byte more is shifted in
const unsigned kModelBits = 11, kMoveBits = 5;
const unsigned kReverse = 0x10;  // a bit-tree read low bit first (the distances' low bits)
const unsigned kMatched = 0x100;  // a literal read against the byte at the last distance

// Past the block's end: zeros, and the stream is damaged, which the decode loop sees after the symbol.
unsigned NextByte(LzmaDecoder* d)
{
    if (d->in == d->end) {
        d->exhausted = true;
        return 0;
    }
    return *d->in++;
}

void Normalize(LzmaDecoder* d)
{
    if (d->range < kTop) {
        d->range <<= 8;
        d->code = d->code << 8 | NextByte(d);
    }
}

// Without a branch: the bits of literals and lengths are as good as random, and a mispredicted branch costs
// more than the arithmetic. The probability moves a 32nd of the way to 0, or to 2048; the arithmetic shift of
// its difference from 2017 rounds as the shift of its distance to 2048 does.
unsigned DecodeBit(LzmaDecoder* d, unsigned short* probability)
{
    unsigned bound = (d->range >> kModelBits) * *probability, bit = d->code >= bound, mask = 0u - bit;
    d->code -= bound & mask;
    d->range = bound + ((d->range - 2 * bound) & mask);
    int toward = static_cast<int>(~mask & ((1u << kModelBits) - (1u << kMoveBits) + 1));
    *probability = static_cast<unsigned short>(*probability - ((*probability - toward) >> kMoveBits));
    Normalize(d);
    return bit;
}

// Bits of even odds, high bit first.
unsigned DecodeDirect(LzmaDecoder* d, unsigned count)
{
    unsigned value = 0;
    while (count--) {
        d->range >>= 1;
        unsigned bit = d->code >= d->range;
        if (bit)
            d->code -= d->range;
        value = value << 1 | bit;
        Normalize(d);
    }
    return value;
}

// Every modelled symbol of more than one bit is read here. shape: the tree's levels, kReverse for the low bit first, and for
// a literal after a match, (the byte at the last distance | kMatched) << 8: while the literal's bits
// agree with that byte's, each is read through the models kept for that byte's bit.
unsigned DecodeTree(LzmaDecoder* d, unsigned short* tree, unsigned shape)
{
    unsigned levels = shape & 15, match = shape >> 8, matching = match & kMatched, node = 1, reversed = 0;
    for (unsigned i = 0; i < levels; ++i) {
        match <<= 1;
        unsigned matchBit = match & matching;
        unsigned bit = DecodeBit(d, tree + matching + matchBit + node);
        node = node << 1 | bit;
        reversed |= bit << i;
        matching &= ~(matchBit ^ bit << 8);
    }
    return shape & kReverse ? reversed : node - (1u << levels);
}

// 2-273: 8 short lengths for each position, 8 longer ones, then 256 long ones shared.
unsigned DecodeLength(LzmaDecoder* d, unsigned short* model, unsigned posState)
{
    unsigned short* tree = model + 2 + (posState << 3);
    unsigned length = 2, levels = 3;
    if (DecodeBit(d, model)) {
        tree += 16 << 3;
        length = 10;
        if (DecodeBit(d, model + 1)) {
            tree = model + 2 + (32 << 3);
            length = 18;
            levels = 8;
        }
    }
    return length + DecodeTree(d, tree, levels);
}

// A slot (its model chosen by the length) gives the top two bits and the count of the rest; the low
// ones of short distances are modelled, of long ones only the last four.
unsigned DecodeDistance(LzmaDecoder* d, unsigned length)
{
    unsigned short* p = d->probabilities;
    unsigned slot = DecodeTree(d, p + kSlot + ((length < 5 ? length - 2 : 3) << 6), 6);
    if (slot < 4)
        return slot;
    unsigned count = (slot >> 1) - 1, distance = (2 | (slot & 1)) << count;
    if (slot < 14)
        return distance + DecodeTree(d, p + (kSpecial - 1 + distance - slot), count | kReverse);
    distance += DecodeDirect(d, count - 4) << 4;
    return distance + DecodeTree(d, p + kAlign, 4 | kReverse);
}

// The byte distance + 1 back; the caller has checked that it was decoded.
unsigned Back(LzmaDecoder* d, unsigned distance)
{
    unsigned at = d->pos - distance - 1;
    if (d->pos <= distance)
        at += d->windowSize;
    return d->window[at];
}

void Put(LzmaDecoder* d, unsigned byte)
{
    d->window[d->pos++] = static_cast<unsigned char>(byte);
    ++d->total;
}

} // namespace

bool StartLzma(LzmaDecoder* d, const unsigned char* block, size_t size, unsigned char* window, unsigned windowSize)
{
    if (size < 10 || block[0] >= 9 * 5 * 5 || block[5] != 0)
        return false;
    unsigned properties = block[0], lc = properties % 9, lp = properties / 9 % 5, dictionary = 0;
    for (int i = 4; i > 0; --i)
        dictionary = dictionary << 8 | block[i];
    if (lc + lp > 4 || dictionary > windowSize || dictionary > kLzmaMaxDictionary)
        return false;
    d->window = window;
    d->windowSize = windowSize;
    d->pos = d->total = d->state = d->pending = 0;
    d->wrapped = d->exhausted = false;
    for (unsigned& rep : d->rep)
        rep = 0;
    d->literalBits = lc;
    d->literalMask = (1u << lp) - 1;
    d->posMask = (1u << properties / 45) - 1;
    d->in = block + 10;
    d->end = block + size;
    d->range = ~0u;
    d->code = 0;
    for (int i = 6; i < 10; ++i)
        d->code = d->code << 8 | block[i];
    for (unsigned i = 0; i < kLiteral + (0x300u << (lc + lp)); ++i)
        d->probabilities[i] = 1u << (kModelBits - 1);
    return true;
}

LzmaStatus DecodeLzma(LzmaDecoder* d, unsigned limit)
{
    // limit == pos: the recorded total is decoded, and only the end marker may follow; the total may not
    // end inside a match.
    bool marker = d->pos == limit;
    if (limit > d->windowSize || d->pos > limit || (marker && d->pending))
        return kLzmaDamaged;
    unsigned short* p = d->probabilities;
    for (;;) {
        // A match paused at the last limit goes on first.
        unsigned char* window = d->window;
        unsigned size = d->windowSize, pos = d->pos, from = pos - d->rep[0] - 1, count = limit - pos;
        if (pos <= d->rep[0])
            from += size;
        if (count > d->pending)
            count = d->pending;
        d->pending -= count;
        d->total += count;
        for (; count > 0; --count) {
            window[pos++] = window[from++];
            if (from == size)
                from = 0;
        }
        d->pos = pos;
        if (d->exhausted)
            return kLzmaDamaged;
        if (d->pos == limit && !marker)
            return kLzmaRoom;

        unsigned state = d->state, posState = d->total & d->posMask;
        if (!DecodeBit(d, p + kIsMatch + (state << 4) + posState)) {
            if (marker)
                return kLzmaDamaged;
            unsigned previous = d->pos || d->wrapped ? Back(d, 0) : 0;
            unsigned coder = ((d->total & d->literalMask) << d->literalBits) + (previous >> (8 - d->literalBits));
            unsigned shape = state < 7 ? 8 : 8 | (Back(d, d->rep[0]) | kMatched) << 8;
            Put(d, DecodeTree(d, p + kLiteral + 0x300 * coder, shape));
            d->state = state < 4 ? 0 : state < 10 ? state - 3 : state - 6;
            continue;
        }
        // After a match the state is 7, a rep 8, a short rep 9, when a literal came before; 10 or 11 when a match did.
        unsigned rep = 0, next = 8, length, distance;
        if (DecodeBit(d, p + kIsRep + state)) {
            while (rep < 3 && DecodeBit(d, p + kIsRep + (rep + 1) * kStates + state))
                ++rep;
            length = 1;
            if (rep == 0 && !DecodeBit(d, p + kIsRep0Long + (state << 4) + posState))
                next = 9;
            else
                length = DecodeLength(d, p + kRepLength, posState);
            distance = d->rep[rep];
        } else {
            rep = 3;
            next = 7;
            length = DecodeLength(d, p + kMatchLength, posState);
            distance = DecodeDistance(d, length);
            // The end marker: the encoder writes it with the shortest length.
            if (distance == ~0u)
                return length == 2 && !d->exhausted ? kLzmaEnd : kLzmaDamaged;
        }
        d->state = state < 7 ? next : next == 7 ? 10 : 11;
        if (marker || distance >= (d->wrapped ? d->windowSize : d->pos))
            return kLzmaDamaged;
        for (; rep > 0; --rep)
            d->rep[rep] = d->rep[rep - 1];
        d->rep[0] = distance;
        d->pending = length;
    }
}
