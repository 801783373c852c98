// What every fuzz target shares: exact-size UTF-16 buffers that ASan guards, fuzz bytes as text, and the report of a broken property.
#ifndef FUZZ_MODEL_CHECK_H
#define FUZZ_MODEL_CHECK_H

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>
#include "dialogs/terms_lines.h"

// A heap block of exactly `size` UTF-16 units: ASan's redzones sit right before and after it,
// so a unit read or written past the capacity the product was given is reported.
const char16_t kFill = 0xAAAA;
struct ExactBuffer {
    std::unique_ptr<char16_t[]> units;
    explicit ExactBuffer(size_t n, char16_t fill = kFill) : units(new char16_t[n]) { std::fill_n(units.get(), n, fill); }
    char16_t* data() { return units.get(); }
};

// A NUL-terminated copy of text in a block of exactly its length plus one.
inline ExactBuffer ExactText(const std::u16string& text)
{
    ExactBuffer buffer(text.size() + 1);
    std::copy(text.c_str(), text.c_str() + text.size() + 1, buffer.data());
    return buffer;
}

// Fuzz bytes as the C string of UTF-16 the product sees. A byte below 0xF0 is a unit of its own
// value, so ASCII and Latin-1 seeds read as the text they hold; a byte from 0xF0 on makes the
// next two one unit (high byte first), so that every unit, surrogates included, can be reached.
inline std::u16string WideUnits(const std::string& bytes)
{
    std::u16string units;
    for (size_t i = 0; i < bytes.size(); ++i) {
        bool pair = static_cast<unsigned char>(bytes[i]) >= 0xF0 && i + 2 < bytes.size();
        units += static_cast<char16_t>(pair ? static_cast<unsigned char>(bytes[i + 1]) << 8 |
                                                  static_cast<unsigned char>(bytes[i + 2])
                                            : static_cast<unsigned char>(bytes[i]));
        i += pair ? 2 : 0;
    }
    return units.c_str();
}

// The standard library's upper case of the "C" locale: ASCII letters only.
inline std::u16string AsciiUpper(std::u16string text)
{
    for (char16_t& c : text)
        c = c < 0x80 ? static_cast<char16_t>(std::toupper(c)) : c;
    return text;
}

// A number as it is; a text with printable ASCII as it is, every other unit as \uXXXX.
template <typename T>
std::string Visible(const T& value)
{
    if constexpr (std::is_arithmetic_v<T>) {
        return std::to_string(value);
    } else {
        std::string out = "\"";
        for (auto c : value) {
            unsigned unit = static_cast<std::make_unsigned_t<decltype(c)>>(c);
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\u%04X", unit);
            out += unit >= 0x20 && unit < 0x7F && unit != '"' && unit != '\\' ? std::string(1, static_cast<char>(unit)) : hex;
        }
        return out + "\"";
    }
}

// A broken property is a fault like a crash: libFuzzer keeps the input as an artefact.
[[noreturn]] inline void Fail(const std::string& what, const std::string& expected, const std::string& got)
{
    std::fprintf(stderr, "PROPERTY BROKEN: %s\n  expected: %s\n  got:      %s\n", what.c_str(), expected.c_str(),
                 got.c_str());
    std::abort();
}

// `of`, the input the property is about, is shown only when it is broken.
template <typename T>
void Expect(const char* what, const T& expected, const T& got, const std::u16string& of = u"")
{
    if (!(expected == got))
        Fail(std::string(what) + (of.empty() ? "" : " of " + Visible(of)), Visible(expected), Visible(got));
}

// A refusal the user reads as one line of the tool's output.
inline void ExpectOneLine(const char* what, const std::string& reason, const char* breaks = "\r\n")
{
    if (reason.empty() || reason.find_first_of(breaks) != std::string::npos)
        Fail(what, "a one-line reason", Visible(reason));
}

// The lines the setup's terms list shows of text, each checked to be a non-empty piece of the
// buffer it was given (the list box copies whatever the pointer reaches).
inline std::vector<std::u16string> ShownLines(const std::u16string& text)
{
    ExactBuffer buffer = ExactText(text);
    struct Seen {
        const char16_t *first, *end;
        std::vector<std::u16string> lines;
    } seen{buffer.data(), buffer.data() + text.size(), {}};
    SplitTermsLines(buffer.data(), [](void* context, const char16_t* line) {
        Seen* s = static_cast<Seen*>(context);
        if (line < s->first || line >= s->end || *line == '\0')
            Fail("a terms line is a non-empty piece of the text", "so", "outside or empty");
        s->lines.push_back(line);
    }, &seen);
    return seen.lines;
}

#endif
