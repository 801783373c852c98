// Bounded copy, append and %s-only formatting of NUL-terminated UTF-16 text.
#include "setup/text.h"

int TextLength(const WideChar* text)
{
    int length = 0;
    while (text[length] != '\0')
        ++length;
    return length;
}

// Appends text at out[*length], never writing past capacity - 1; false when cut.
static bool PutText(WideChar* out, int capacity, int* length, const WideChar* text, int count)
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

bool CopyText(WideChar* out, int capacity, const WideChar* text)
{
    if (capacity <= 0)
        return false;
    int length = 0;
    return PutText(out, capacity, &length, text, TextLength(text));
}

bool AppendText(WideChar* out, int capacity, const WideChar* text)
{
    if (capacity <= 0)
        return false;
    int length = 0;
    while (length < capacity - 1 && out[length] != '\0')
        ++length;
    return PutText(out, capacity, &length, text, TextLength(text));
}

bool FormatText(WideChar* out, int capacity, const WideChar* format, const WideChar* const* arguments,
                int argumentCount)
{
    if (capacity <= 0)
        return false;
    int length = 0;
    int used = 0;
    bool whole = true;
    out[0] = '\0';
    for (const WideChar* p = format; *p != '\0'; ++p) {
        if (p[0] == '%' && p[1] == 's' && used < argumentCount) {
            const WideChar* argument = arguments[used++];
            whole = PutText(out, capacity, &length, argument, TextLength(argument)) && whole;
            ++p;
        } else {
            whole = PutText(out, capacity, &length, p, 1) && whole;
        }
    }
    return whole;
}
