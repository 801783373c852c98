// What every fuzz target shares: exact-size UTF-16 blocks that ASan guards, fuzz bytes as text, the report of a broken property.
#ifndef FUZZ_MODEL_CHECK_H
#define FUZZ_MODEL_CHECK_H

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

// A heap block of exactly n units, or of a NUL-terminated text: ASan reports any unit read or
// written past the capacity given.
const char16_t kFill = 0xAAAA;
struct ExactBuffer {
    std::unique_ptr<char16_t[]> units;
    explicit ExactBuffer(size_t n, char16_t fill = kFill) : units(new char16_t[n]) { std::fill_n(data(), n, fill); }
    explicit ExactBuffer(const std::u16string& text) : ExactBuffer(text.size() + 1)
    {
        std::copy(text.c_str(), text.c_str() + text.size() + 1, data());
    }
    char16_t* data() { return units.get(); }
};

// Fuzz bytes as UTF-16 up to the first NUL: a byte below 0xF0 is a unit of its own value, so
// ASCII and Latin-1 seeds read as they are; one from 0xF0 on makes the next two one unit.
inline std::u16string WideUnits(const std::string& bytes)
{
    std::u16string units;
    for (size_t i = 0; i < bytes.size(); ++i) {
        auto byte = [&](size_t at) { return static_cast<char16_t>(static_cast<uint8_t>(bytes[at])); };
        bool pair = byte(i) >= 0xF0 && i + 2 < bytes.size();
        units += pair ? static_cast<char16_t>(byte(i + 1) << 8 | byte(i + 2)) : byte(i);
        i += pair ? 2 : 0;
    }
    return units.c_str();
}

// Upper case of the ASCII letters only, as the "C" locale has it.
inline std::u16string AsciiUpper(std::u16string text)
{
    for (char16_t& c : text)
        c = c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
    return text;
}

// Printable ASCII as it is, every other unit as \uXXXX.
inline std::string Shown(const std::u16string& text)
{
    std::string shown;
    char unit[8];
    for (char16_t c : text)
        shown.append(unit, std::snprintf(unit, sizeof unit, c >= 0x20 && c < 0x7F ? "%c" : "\\u%04X", c));
    return shown;
}

// A broken property is a fault like a crash: libFuzzer keeps the input as an artefact.
[[noreturn]] inline void Fail(const std::string& what, const std::string& expected, const std::string& got)
{
    std::fprintf(stderr, "PROPERTY BROKEN: %s\n  expected: %s\n  got:      %s\n", what.c_str(), expected.c_str(),
                 got.c_str());
    std::abort();
}

inline void ExpectSame(const char* what, const std::u16string& expected, const std::u16string& got)
{
    if (expected != got)
        Fail(what, Shown(expected), Shown(got));
}

// `of`, the input the property is about, is shown when it breaks.
inline void Expect(const char* what, bool holds, const std::u16string& of = u"")
{
    if (!holds)
        Fail(what, "so", "not so, of " + Shown(of));
}

// A refusal the user reads as one line of the tool's output.
inline void ExpectOneLine(const char* what, const std::string& reason, const char* breaks = "\r\n")
{
    if (reason.empty() || reason.find_first_of(breaks) != std::string::npos)
        Fail(what, "a one-line reason", reason);
}

#endif
