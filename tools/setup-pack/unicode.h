// Text conversions between UTF-8 (what vendors write) and UTF-16 (what the setup and its resources hold).
#ifndef SETUP_PACK_UNICODE_H
#define SETUP_PACK_UNICODE_H

#include <string>

// Converts UTF-8 to UTF-16. On failure returns false and says why in problem: invalid
// UTF-8, a surrogate encoded on its own, or a noncharacter, none of which a Windows text
// or file name can be relied on to hold.
bool Utf8ToUtf16(const std::string& utf8, std::u16string* out, std::string* problem);

// UTF-16 (possibly ill-formed, as found in a file) to UTF-8 for display; lone surrogates become U+FFFD.
std::string Utf16ToUtf8(const std::u16string& text);

// The text with every character in its simple Unicode upper case (glibc's towupper under
// C.UTF-8): the Unicode data that Windows builds its case-blind comparison of file names from.
std::u16string UpperCase(const std::u16string& text);

#endif
