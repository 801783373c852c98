// Destination path helpers: last-separator cut, trailing backslash, quote removal.
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
