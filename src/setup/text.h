// Bounded UTF-16 text: every copy, append and format names the capacity of what it writes.
#ifndef SETUP_TEXT_H
#define SETUP_TEXT_H

// The setup's one character type: a UTF-16 unit. Windows' wchar_t is one; elsewhere (the
// host tests) wchar_t is four bytes, so the pure functions compile there on char16_t.
#ifdef _WIN32
typedef wchar_t WideChar;
#else
typedef char16_t WideChar;
#endif

// Capacities count UTF-16 units including the terminating NUL; a result that does not fit
// is cut to capacity minus one and still terminated, and the call says so.
int TextLength(const WideChar* text);
bool CopyText(WideChar* out, int capacity, const WideChar* text);
bool AppendText(WideChar* out, int capacity, const WideChar* text);

// Replaces each "%s" of format by the next of the arguments while any remain; every
// other character, any other '%' sequence and a "%s" beyond the arguments included,
// is copied as it stands, so a package's text can never make us read a missing argument.
bool FormatText(WideChar* out, int capacity, const WideChar* format, const WideChar* const* arguments,
                int argumentCount);

#endif
