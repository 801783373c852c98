// Bounded copy, append and %s-only formatting of NUL-terminated ANSI text.
#include "setup/text.h"

int TextLength(const char* text)
{
    int length = 0;
    while (text[length] != '\0')
        ++length;
    return length;
}

// Appends text at out[*length], never writing past capacity - 1; false when cut.
static bool PutText(char* out, int capacity, int* length, const char* text, int count)
{
    int room = capacity - 1 - *length;
    bool whole = count <= room;
    if (!whole)
        count = room;
    for (int i = 0; i < count; ++i)
        out[*length + i] = text[i];
    *length += count;
    out[*length] = '\0';
    return whole;
}

bool CopyText(char* out, int capacity, const char* text)
{
    if (capacity <= 0)
        return false;
    int length = 0;
    return PutText(out, capacity, &length, text, TextLength(text));
}

bool AppendText(char* out, int capacity, const char* text)
{
    if (capacity <= 0)
        return false;
    int length = 0;
    while (length < capacity - 1 && out[length] != '\0')
        ++length;
    return PutText(out, capacity, &length, text, TextLength(text));
}

bool FormatText(char* out, int capacity, const char* format, const char* const* arguments,
                int argumentCount)
{
    if (capacity <= 0)
        return false;
    int length = 0;
    int used = 0;
    bool whole = true;
    out[0] = '\0';
    for (const char* p = format; *p != '\0'; ++p) {
        if (p[0] == '%' && p[1] == 's' && used < argumentCount) {
            const char* argument = arguments[used++];
            whole = PutText(out, capacity, &length, argument, TextLength(argument)) && whole;
            ++p;
        } else {
            whole = PutText(out, capacity, &length, p, 1) && whole;
        }
    }
    return whole;
}
