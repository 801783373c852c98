// Little-endian loads and stores, alignment and hexadecimal text: the byte helpers setup-pack and its tests share.
#ifndef SETUP_PACK_BYTES_H
#define SETUP_PACK_BYTES_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "package/crc32c.h"

// Unchecked: the caller has made sure the bytes are there.
inline uint16_t Load16(const uint8_t* at)
{
    return static_cast<uint16_t>(at[0] | at[1] << 8);
}

inline uint32_t Load32(const uint8_t* at)
{
    return at[0] | at[1] << 8 | at[2] << 16 | static_cast<uint32_t>(at[3]) << 24;
}

inline void Put16(uint8_t* at, uint16_t value)
{
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}

inline void Put32(uint8_t* at, uint32_t value)
{
    Put16(at, static_cast<uint16_t>(value));
    Put16(at + 2, static_cast<uint16_t>(value >> 16));
}

inline void Append16(std::vector<uint8_t>* out, uint16_t value)
{
    out->resize(out->size() + 2);
    Put16(out->data() + out->size() - 2, value);
}

inline void Append32(std::vector<uint8_t>* out, uint32_t value)
{
    out->resize(out->size() + 4);
    Put32(out->data() + out->size() - 4, value);
}

inline uint64_t AlignUp(uint64_t value, uint64_t alignment)
{
    return (value + alignment - 1) / alignment * alignment;
}

// Upper-case digits, at least `digits` of them, after prefix: Hex(0x1F, 2, "\\x") is \x1F.
inline std::string Hex(uint64_t value, int digits = 1, const char* prefix = "0x")
{
    char text[40];
    std::snprintf(text, sizeof text, "%s%0*llX", prefix, digits, static_cast<unsigned long long>(value));
    return text;
}

// The setup's CRC-32C, its table made at the first use.
inline uint32_t Crc32c(uint32_t crc, const uint8_t* data, size_t size)
{
    static const bool started = (StartCrc32c(), true);
    (void)started;
    return UpdateCrc32c(crc, data, size);
}

#endif
