// What every fuzz target shares: exact-size buffers that ASan guards, and the report of a model mismatch.
#ifndef FUZZ_MODEL_CHECK_H
#define FUZZ_MODEL_CHECK_H

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

// A heap block of exactly `size` bytes: ASan's redzones sit right before and after it,
// so a write or read one byte past the capacity the product was given is reported.
struct ExactBuffer {
    std::unique_ptr<char[]> bytes;
    size_t size;

    explicit ExactBuffer(size_t n, char fill = '\xAA') : bytes(new char[n]), size(n)
    {
        std::memset(bytes.get(), fill, n);
    }
    char* data() { return bytes.get(); }
};

// A NUL-terminated copy of text in a block of exactly its length plus one.
inline ExactBuffer ExactText(const std::string& text)
{
    ExactBuffer buffer(text.size() + 1);
    std::memcpy(buffer.data(), text.c_str(), text.size() + 1);
    return buffer;
}

// The product only ever sees C strings: whatever follows a NUL in a fuzz input is not theirs.
inline std::string UpToNul(const std::string& bytes)
{
    return std::string(bytes.c_str());
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

inline void ExpectSame(const char* what, bool expected, bool got)
{
    if (expected != got)
        ModelMismatch(what, expected ? "true" : "false", got ? "true" : "false");
}

#endif
