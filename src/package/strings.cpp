// Package string reads: LoadStringW with the caller's capacity, and message formatting.
#include "package/strings.h"
#include "setup/state.h"

int ReadPackageString(UINT id, WideChar* buffer, int capacity)
{
    if (capacity <= 1) {
        // LoadStringW reads a capacity of 0 as a request for a pointer into the image, and
        // one of 1 as "no room"; neither reaches it.
        if (capacity == 1)
            buffer[0] = '\0';
        return 0;
    }
    int length = LoadStringW(state.instance, id, buffer, capacity);
    // A string whose block of sixteen is absent leaves the buffer as it was, as after the last
    // entry of a list that fills its block: an empty read must still leave an empty text.
    if (length <= 0) {
        buffer[0] = '\0';
        return 0;
    }
    return length;
}

void FormatPackageMessage(UINT id, WideChar* out, int capacity, const WideChar* first, const WideChar* second)
{
    ReadPackageString(id, state.scratch, kScratchCapacity);
    const WideChar* arguments[2] = {first, second};
    FormatText(out, capacity, state.scratch, arguments, second ? 2 : (first ? 1 : 0));
}
