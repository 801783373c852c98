// What every fuzz target shares: exact-size UTF-16 blocks that ASan guards, fuzz bytes as text, the report of a broken property.
#ifndef FUZZ_MODEL_CHECK_H
#define FUZZ_MODEL_CHECK_H

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <type_traits>

// A heap block of exactly n units: ASan reports any unit read or written past the capacity given.
const char16_t kFill = 0xAAAA;
struct ExactBuffer {
    std::unique_ptr<char16_t[]> units;
    explicit ExactBuffer(size_t n, char16_t fill = kFill) : units(new char16_t[n]) { std::fill_n(units.get(), n, fill); }
    char16_t* data() { return units.get(); }
};

inline ExactBuffer ExactText(const std::u16string& text)
{
    ExactBuffer buffer(text.size() + 1);
    std::copy(text.c_str(), text.c_str() + text.size() + 1, buffer.data());
    return buffer;
}

// Fuzz bytes as UTF-16 up to the first NUL: a byte below 0xF0 is a unit of its own value, so
// ASCII and Latin-1 seeds read as they are; one from 0xF0 on makes the next two one unit.
inline std::u16string WideUnits(const std::string& bytes)
{
    std::u16string units;
    for (size_t i = 0; i < bytes.size(); ++i) {
        bool pair = static_cast<unsigned char>(bytes[i]) >= 0xF0 && i + 2 < bytes.size();
        units += static_cast<char16_t>(pair ? static_cast<unsigned char>(bytes[i + 1]) << 8 | static_cast<unsigned char>(bytes[i + 2])
                                            : static_cast<unsigned char>(bytes[i]));
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
template <typename Text>
std::string Visible(const Text& text)
{
    std::string out = "\"";
    for (auto c : text) {
        unsigned unit = static_cast<std::make_unsigned_t<decltype(c)>>(c);
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\u%04X", unit);
        out += unit >= 0x20 && unit < 0x7F && unit != '"' && unit != '\\' ? std::string(1, static_cast<char>(unit)) : hex;
    }
    return out + "\"";
}

// A broken property is a fault like a crash: libFuzzer keeps the input as an artefact.
[[noreturn]] inline void Fail(const std::string& what, const std::string& expected, const std::string& got)
{
    std::fprintf(stderr, "PROPERTY BROKEN: %s\n  expected: %s\n  got:      %s\n", what.c_str(), expected.c_str(), got.c_str());
    std::abort();
}

// `of`, the input the property is about, is shown when it breaks.
inline void Expect(const char* what, bool holds, const std::u16string& of = u"")
{
    if (!holds)
        Fail(std::string(what) + (of.empty() ? "" : " of " + Visible(of)), "so", "not so");
}

inline void ExpectSame(const char* what, const std::u16string& expected, const std::u16string& got, const std::u16string& of = u"")
{
    if (expected != got)
        Fail(std::string(what) + (of.empty() ? "" : " of " + Visible(of)), Visible(expected), Visible(got));
}

// A refusal the user reads as one line of the tool's output.
inline void ExpectOneLine(const char* what, const std::string& reason, const char* breaks = "\r\n")
{
    if (reason.empty() || reason.find_first_of(breaks) != std::string::npos)
        Fail(what, "a one-line reason", Visible(reason));
}

#endif
