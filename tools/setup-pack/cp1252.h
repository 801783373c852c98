// Text conversions between UTF-8 (what vendors write), Windows-1252 (what the setup reads) and UTF-16 (what resources hold).
#ifndef SETUP_PACK_CP1252_H
#define SETUP_PACK_CP1252_H

#include <string>

// Converts UTF-8 to Windows-1252 bytes. On failure returns false and says why in
// problem: invalid UTF-8, or the first character that the code page cannot hold.
bool Utf8ToCp1252(const std::string& utf8, std::string* out, std::string* problem);

// The Unicode character of one Windows-1252 byte (every byte that the conversion above can produce).
char16_t Cp1252ToUnicode(unsigned char byte);
std::u16string Cp1252ToUtf16(const std::string& text);

// UTF-16 (possibly ill-formed, as found in a file) to UTF-8 for display; lone surrogates become U+FFFD.
std::string Utf16ToUtf8(const std::u16string& text);

// Upper case of a Windows-1252 byte as the Windows file system folds names (letters with accents included).
unsigned char Cp1252Upper(unsigned char byte);
std::string Cp1252UpperString(const std::string& text);

#endif
