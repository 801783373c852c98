// Windows-1252 tables and the UTF-8 / UTF-16 conversions around them.
#include "cp1252.h"

#include <cstdio>

namespace {

// 0x80..0x9F: the printable characters Windows-1252 puts where Latin-1 has C1 controls;
// 0 marks the five bytes the code page leaves undefined.
const char16_t kHighControls[32] = {
    0x20AC, 0, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0, 0x017D, 0,
    0, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0, 0x017E, 0x0178};

// Decodes one UTF-8 sequence at text[*pos]; false when it is malformed.
bool NextCodePoint(const std::string& text, size_t* pos, char32_t* out)
{
    unsigned char lead = static_cast<unsigned char>(text[*pos]);
    int extra = lead < 0x80 ? 0 : (lead >> 5) == 6 ? 1 : (lead >> 4) == 14 ? 2 : (lead >> 3) == 30 ? 3 : -1;
    if (extra < 0 || static_cast<size_t>(extra) > text.size() - *pos - 1)
        return false;
    char32_t cp = extra == 0 ? lead : lead & (0x3F >> extra);
    for (int i = 1; i <= extra; ++i) {
        unsigned char c = static_cast<unsigned char>(text[*pos + i]);
        if ((c & 0xC0) != 0x80)
            return false;
        cp = (cp << 6) | (c & 0x3F);
    }
    static const char32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return false;
    *pos += extra + 1;
    *out = cp;
    return true;
}

void AppendUtf8(std::string* out, char32_t cp)
{
    if (cp < 0x80) {
        out->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

}  // namespace

char16_t Cp1252ToUnicode(unsigned char byte)
{
    return byte >= 0x80 && byte < 0xA0 ? kHighControls[byte - 0x80] : byte;
}

bool Utf8ToCp1252(const std::string& utf8, std::string* out, std::string* problem)
{
    out->clear();
    for (size_t pos = 0; pos < utf8.size();) {
        size_t start = pos;
        char32_t cp;
        if (!NextCodePoint(utf8, &pos, &cp)) {
            *problem = "is not valid UTF-8 (byte " + std::to_string(start + 1) + "); save the file as UTF-8";
            return false;
        }
        int byte = -1;
        if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF))
            byte = static_cast<int>(cp);
        for (int i = 0; i < 32 && byte < 0; ++i) {
            if (kHighControls[i] != 0 && kHighControls[i] == cp)
                byte = 0x80 + i;
        }
        if (byte < 0) {
            char code[16];
            std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(cp));
            *problem = "holds '" + utf8.substr(start, pos - start) + "' (" + code +
                       "), which Windows-1252 cannot hold; the setup reads its texts in that code page";
            return false;
        }
        out->push_back(static_cast<char>(byte));
    }
    return true;
}

std::u16string Cp1252ToUtf16(const std::string& text)
{
    std::u16string out;
    out.reserve(text.size());
    for (char c : text)
        out.push_back(Cp1252ToUnicode(static_cast<unsigned char>(c)));
    return out;
}

std::string Utf16ToUtf8(const std::u16string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        AppendUtf8(&out, cp);
    }
    return out;
}

unsigned char Cp1252Upper(unsigned char byte)
{
    if ((byte >= 'a' && byte <= 'z') || (byte >= 0xE0 && byte <= 0xFE && byte != 0xF7))
        return static_cast<unsigned char>(byte - 0x20);
    switch (byte) {
    case 0x9A: return 0x8A;  // s caron
    case 0x9C: return 0x8C;  // oe
    case 0x9E: return 0x8E;  // z caron
    case 0xFF: return 0x9F;  // y diaeresis
    default: return byte;
    }
}

std::string Cp1252UpperString(const std::string& text)
{
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(Cp1252Upper(static_cast<unsigned char>(c)));
    return out;
}
