// The payload entry name of a listed file: ASCII letters kept, every other byte an underscore.
#include "package/resource_name.h"

void MakeResourceName(char* name)
{
    for (; *name != '\0'; ++name) {
        unsigned char c = static_cast<unsigned char>(*name);
        bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        if (!letter)
            *name = '_';
    }
}
