// CRC-32C by the SSE4.2 crc32 instruction where the processor has it, else by a table; no library calls, no heap.
#include "package/crc32c.h"

#include <cpuid.h>

namespace {

const unsigned kPolynomial = 0x82F63B78;  // Castagnoli's, bits reversed: the instruction's

// Static storage, zero until StartCrc32c fills it: the setup has no static constructors.
unsigned g_table[256];
bool g_instruction;

// A word read where bytes were written: may_alias keeps the compiler from assuming it cannot be.
typedef unsigned __attribute__((may_alias)) AliasedWord;

// Both ways take and give the register's value, inverted at the start and the end by UpdateCrc32c.
unsigned ByTable(unsigned crc, const unsigned char* bytes, size_t size)
{
    for (; size > 0; --size)
        crc = g_table[(crc ^ *bytes++) & 0xFF] ^ crc >> 8;
    return crc;
}

// Bytes up to a word boundary, whole words, then the tail: every load aligned.
__attribute__((target("sse4.2"))) unsigned ByInstruction(unsigned crc, const unsigned char* bytes, size_t size)
{
    for (; size > 0 && (reinterpret_cast<size_t>(bytes) & 3) != 0; --size)
        crc = __builtin_ia32_crc32qi(crc, *bytes++);
    for (; size >= 4; size -= 4, bytes += 4)
        crc = __builtin_ia32_crc32si(crc, *reinterpret_cast<const AliasedWord*>(bytes));
    for (; size > 0; --size)
        crc = __builtin_ia32_crc32qi(crc, *bytes++);
    return crc;
}

}  // namespace

void StartCrc32c()
{
    for (unsigned n = 0; n < 256; ++n) {
        unsigned crc = n;
        for (int bit = 0; bit < 8; ++bit)
            crc = crc >> 1 ^ (crc & 1 ? kPolynomial : 0);
        g_table[n] = crc;
    }
    unsigned eax, ebx, ecx, edx;
    g_instruction = __get_cpuid(1, &eax, &ebx, &ecx, &edx) && (ecx & bit_SSE4_2) != 0;
}

unsigned UpdateCrc32c(unsigned crc, const unsigned char* bytes, size_t size)
{
    return ~(g_instruction ? ByInstruction(~crc, bytes, size) : ByTable(~crc, bytes, size));
}

unsigned UpdateCrc32cByTable(unsigned crc, const unsigned char* bytes, size_t size)
{
    return ~ByTable(~crc, bytes, size);
}
