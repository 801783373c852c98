// What every fuzz target shares: exact-size UTF-16 buffers that ASan guards, and the report of a model mismatch.
#ifndef FUZZ_MODEL_CHECK_H
#define FUZZ_MODEL_CHECK_H

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

// A heap block of exactly `size` UTF-16 units, the product's character: ASan's redzones sit
// right before and after it, so a write or read one unit past the capacity the product was
// given is reported.
struct ExactBuffer {
    std::unique_ptr<char16_t[]> units;
    size_t size;

    explicit ExactBuffer(size_t n, char16_t fill = 0xAAAA) : units(new char16_t[n]), size(n)
    {
        std::fill(units.get(), units.get() + n, fill);
    }
    char16_t* data() { return units.get(); }
};

// A NUL-terminated copy of text in a block of exactly its length plus one.
inline ExactBuffer ExactText(const std::u16string& text)
{
    ExactBuffer buffer(text.size() + 1);
    std::copy(text.c_str(), text.c_str() + text.size() + 1, buffer.data());
    return buffer;
}

// The product only ever sees C strings: whatever follows a NUL in a fuzz input is not theirs.
inline std::u16string UpToNul(const std::u16string& units)
{
    return std::u16string(units.c_str());
}

// Fuzz bytes as UTF-16 units. A byte below 0xF0 is a unit of its own value, so ASCII and
// Latin-1 seeds read as the text they hold; a byte from 0xF0 on makes the next two bytes one
// unit (high byte first), so that every unit, surrogates included, can be reached.
inline std::u16string WideUnits(const std::string& bytes)
{
    std::u16string units;
    for (size_t i = 0; i < bytes.size(); ++i) {
        unsigned char b = static_cast<unsigned char>(bytes[i]);
        if (b < 0xF0 || i + 2 >= bytes.size()) {
            units.push_back(b);
        } else {
            units.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i + 1]) << 8 |
                                                  static_cast<unsigned char>(bytes[i + 2])));
            i += 2;
        }
    }
    return units;
}

inline std::string Visible(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out + "\"";
}

// A difference from the model is a fault like a crash: libFuzzer keeps the input as an artefact.
[[noreturn]] inline void ModelMismatch(const char* what, const std::string& expected,
                                       const std::string& got)
{
    std::fprintf(stderr, "MODEL MISMATCH: %s\n  expected: %s\n  got:      %s\n", what,
                 Visible(expected).c_str(), Visible(got).c_str());
    std::abort();
}

inline void ExpectSame(const char* what, const std::string& expected, const std::string& got)
{
    if (expected != got)
        ModelMismatch(what, expected, got);
}

// UTF-16 shown as ASCII: printable characters as they are, every other unit as \uXXXX.
inline std::string Visible(const std::u16string& text)
{
    std::string out = "u\"";
    for (char16_t c : text) {
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\u%04X", static_cast<unsigned>(c));
            out += hex;
        }
    }
    return out + "\"";
}

inline void ExpectSame(const char* what, const std::u16string& expected, const std::u16string& got)
{
    if (expected != got) {
        std::fprintf(stderr, "MODEL MISMATCH: %s\n  expected: %s\n  got:      %s\n", what, Visible(expected).c_str(),
                     Visible(got).c_str());
        std::abort();
    }
}

inline void ExpectSame(const char* what, bool expected, bool got)
{
    if (expected != got)
        ModelMismatch(what, expected ? "true" : "false", got ? "true" : "false");
}

#endif
