// UTF-8 / UTF-16 conversions, the characters refused on the way, and the upper case names are compared in.
#include "unicode.h"

#include <clocale>
#include <cstdio>
#include <cwctype>
#include <locale.h>

namespace {

// Decodes one UTF-8 sequence at text[*pos]; false when it is malformed. A surrogate
// encoded on its own (as CESU-8 or WTF-8 write them) is decoded, for the caller to refuse.
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
    if (cp < kMin[extra] || cp > 0x10FFFF)
        return false;
    *pos += extra + 1;
    *out = cp;
    return true;
}

bool IsSurrogate(char32_t cp)
{
    return cp >= 0xD800 && cp <= 0xDFFF;
}

bool IsNoncharacter(char32_t cp)
{
    return (cp >= 0xFDD0 && cp <= 0xFDEF) || (cp & 0xFFFE) == 0xFFFE;
}

void AppendUtf16(std::u16string* out, char32_t cp)
{
    if (cp < 0x10000) {
        out->push_back(static_cast<char16_t>(cp));
    } else {
        out->push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
        out->push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    }
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

// The code point at text[*i], a valid pair taken whole; *i moves past it.
char32_t NextUnit(const std::u16string& text, size_t* i)
{
    char32_t cp = text[(*i)++];
    if (cp >= 0xD800 && cp <= 0xDBFF && *i < text.size() && text[*i] >= 0xDC00 && text[*i] <= 0xDFFF)
        cp = 0x10000 + ((cp - 0xD800) << 10) + (text[(*i)++] - 0xDC00);
    return cp;
}

std::string CodeName(char32_t cp)
{
    char code[16];
    std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(cp));
    return code;
}

}  // namespace

bool Utf8ToUtf16(const std::string& utf8, std::u16string* out, std::string* problem)
{
    out->clear();
    for (size_t pos = 0; pos < utf8.size();) {
        size_t start = pos;
        char32_t cp;
        std::string at = " (byte " + std::to_string(start + 1) + ")";
        if (!NextCodePoint(utf8, &pos, &cp)) {
            *problem = "is not valid UTF-8" + at + "; save the file as UTF-8";
            return false;
        }
        if (IsSurrogate(cp)) {
            *problem = "holds " + CodeName(cp) + " on its own" + at + ", half of a UTF-16 pair and no character; "
                       "write the character itself in UTF-8";
            return false;
        }
        if (IsNoncharacter(cp)) {
            *problem = "holds " + CodeName(cp) + at + ", a noncharacter that Windows texts and names may not keep; "
                       "remove it";
            return false;
        }
        AppendUtf16(out, cp);
    }
    return true;
}

std::string Utf16ToUtf8(const std::u16string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size();) {
        char32_t cp = NextUnit(text, &i);
        AppendUtf8(&out, IsSurrogate(cp) ? 0xFFFD : cp);
    }
    return out;
}

std::u16string UpperCase(const std::u16string& text)
{
    // Built into glibc since 2.35; whatever the process's own locale is, this one has the
    // whole Unicode case table.
    static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    std::u16string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        char32_t cp = NextUnit(text, &i);
        wint_t upper = unicode ? towupper_l(static_cast<wint_t>(cp), unicode) : towupper(static_cast<wint_t>(cp));
        AppendUtf16(&out, IsSurrogate(cp) ? cp : static_cast<char32_t>(upper));
    }
    return out;
}
