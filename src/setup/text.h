// Bounded ANSI text: every copy, append and format names the capacity of what it writes.
#ifndef SETUP_TEXT_H
#define SETUP_TEXT_H

// One UTF-16 unit: the system's wide character on Windows, the same 16 bits on the host.
#ifdef _WIN32
typedef wchar_t WideChar;
#else
typedef char16_t WideChar;
#endif

// Capacities count characters including the terminating NUL; a result that does
// not fit is cut to capacity minus one and still terminated, and the call says so.
int TextLength(const char* text);
bool CopyText(char* out, int capacity, const char* text);
bool AppendText(char* out, int capacity, const char* text);

// Replaces each "%s" of format by the next of the arguments while any remain; every
// other character, any other '%' sequence and a "%s" beyond the arguments included,
// is copied as it stands, so a package's text can never make us read a missing argument.
bool FormatText(char* out, int capacity, const char* format, const char* const* arguments,
                int argumentCount);

#endif
