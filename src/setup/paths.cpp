// Destination path helpers: last-separator cut, trailing backslash, quote removal, absoluteness.
#include "setup/paths.h"
#include "setup/text.h"

void CutAfterLastSeparator(WideChar* text)
{
    int end = 0;
    for (int i = 0; text[i] != '\0'; ++i) {
        if (text[i] == '\\' || text[i] == ':')
            end = i + 1;
    }
    text[end] = '\0';
}

bool EnsureTrailingBackslash(WideChar* text, int capacity)
{
    int length = TextLength(text);
    if (length > 0 && text[length - 1] == '\\')
        return true;
    if (length + 2 > capacity)
        return false;
    text[length] = '\\';
    text[length + 1] = '\0';
    return true;
}

void StripEnclosingQuotes(WideChar* text)
{
    if (text[0] != '"')
        return;
    int i = 0;
    for (; text[i + 1] != '\0' && text[i + 1] != '"'; ++i)
        text[i] = text[i + 1];
    text[i] = '\0';
}

static bool IsDriveRoot(const WideChar* path, int length)
{
    if (length < 3)
        return false;
    WideChar drive = static_cast<WideChar>(path[0] & ~0x20);
    return drive >= 'A' && drive <= 'Z' && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
}

// The server's and the share's names, each of one unit at least.
static bool IsShare(const WideChar* path, int length)
{
    if (length < 5 || path[0] != '\\' || path[1] != '\\' || path[2] == '\\')
        return false;
    int i = 3;
    while (i < length && path[i] != '\\')
        ++i;
    return i + 1 < length && path[i + 1] != '\\';
}

bool IsAbsolutePath(const WideChar* path, int length)
{
    return IsDriveRoot(path, length) || IsShare(path, length);
}

static bool IsSeparator(WideChar c)
{
    return c == '\\' || c == '/';
}

bool IsNameInside(const WideChar* name, int length)
{
    if (length == 0 || IsSeparator(name[0]))
        return false;
    for (int i = 0; i < length; ++i) {
        bool partStarts = i == 0 || IsSeparator(name[i - 1]);
        if (name[i] == ':' || (partStarts && name[i] == '.' && i + 1 < length && name[i + 1] == '.'))
            return false;
    }
    return true;
}
