// Package string reads: LoadStringA with the caller's capacity, and message formatting.
#include "package/strings.h"
#include "setup/state.h"
#include "setup/text.h"

int ReadPackageString(UINT id, char* buffer, int capacity)
{
    if (capacity <= 1) {
        // LoadStringA would read a capacity of 1 as "no room"; we say so ourselves.
        if (capacity == 1)
            buffer[0] = '\0';
        return 0;
    }
    int length = LoadStringA(state.instance, id, buffer, capacity);
    if (length <= 0) {
        buffer[0] = '\0';
        return 0;
    }
    return length;
}

void FormatPackageMessage(UINT id, char* out, int capacity, const char* first, const char* second)
{
    ReadPackageString(id, state.scratch, kScratchCapacity);
    const char* arguments[2] = {first, second};
    FormatText(out, capacity, state.scratch, arguments, second ? 2 : (first ? 1 : 0));
}
