// The setup's LZMA1 decoder: a raw stream ended by its marker, decoded into the caller's circular window.
#ifndef PACKAGE_LZMA_H
#define PACKAGE_LZMA_H

#include <stddef.h>

// The largest dictionary a setup accepts, and the size of its window: setup-pack writes no larger one.
const unsigned kLzmaMaxDictionary = 16u << 20;

enum LzmaStatus { kLzmaRoom, kLzmaEnd, kLzmaDamaged };

// Large (about 28 KiB): the caller keeps it in static storage.
struct LzmaDecoder {
    // The caller's: when pos reaches windowSize it takes the bytes, sets pos = 0 and wrapped = true.
    unsigned char* window;
    unsigned windowSize;
    unsigned pos;
    bool wrapped;

    // The decoder's own, set by StartLzma. The range decoder first: the most used, the shortest to reach.
    unsigned range, code;
    const unsigned char* in;
    const unsigned char* end;
    bool exhausted;        // a byte was wanted past the block's end
    unsigned state;        // what the last symbols were: 0-6 after a literal, 7-11 after a match
    unsigned rep[4];       // the last four distances, the latest first
    unsigned pending;      // bytes of the current match not yet copied (it crossed a limit)
    unsigned total;        // bytes decoded, modulo 2^32: its low bits choose the models
    unsigned literalBits;  // lc
    unsigned literalMask;  // (1 << lp) - 1
    unsigned posMask;      // (1 << pb) - 1
    unsigned short probabilities[1846 + (0x300 << 4)];
};

// Reads the properties and the range decoder's first bytes; false for lc + lp > 4 or pb > 4, a dictionary
// larger than the window or kLzmaMaxDictionary, a block too short, or a stream whose first byte is not 0.
// The window's bytes need no setting.
bool StartLzma(LzmaDecoder* d, const unsigned char* block, size_t size, unsigned char* window, unsigned windowSize);

// With pos < limit <= windowSize: fills window[pos..limit) (kLzmaRoom), a match crossing limit going on at
// the next call, or stops at the end marker (kLzmaEnd). With limit == pos: reads the one symbol that must
// follow the recorded total, the end marker. kLzmaDamaged: the block ended early, a distance reached beyond
// what was decoded, a marker's length was not 2, or the call broke those bounds.
LzmaStatus DecodeLzma(LzmaDecoder* d, unsigned limit);

#endif
