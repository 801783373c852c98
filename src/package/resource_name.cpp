// The payload entry name of a listed file: ASCII letters kept, every other UTF-16 unit an underscore.
#include "package/resource_name.h"

// One unit per character of Windows-1252 text, so such names come out as they always did.
void MakeResourceName(WideChar* name)
{
    for (; *name != '\0'; ++name) {
        WideChar c = *name;
        bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        if (!letter)
            *name = '_';
    }
}
