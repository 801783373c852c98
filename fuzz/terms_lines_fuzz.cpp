// Fuzz target of SplitTermsLines: the lines it shows of any text are pieces of it that join back into its start, up to an empty line.
#include <cstdint>
#include "dialogs/terms_lines.h"
#include "model_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::u16string text = WideUnits(std::string(reinterpret_cast<const char*>(data), size));
    ExactBuffer buffer(text);
    struct Seen {
        const char16_t *first, *end;
        std::u16string joined;
    } seen{buffer.data(), buffer.data() + text.size(), u""};
    // The list box copies whatever a line's pointer reaches: it must be a non-empty piece of the buffer.
    SplitTermsLines(buffer.data(), [](void* context, const char16_t* line) {
        Seen* s = static_cast<Seen*>(context);
        Expect("a terms line is a non-empty piece of the text", line >= s->first && line < s->end && *line != '\0');
        s->joined += std::u16string(line) + u'\n';
    }, &seen);
    text += u'\n';
    ExpectSame("the shown lines joined are the text's start", text.substr(0, seen.joined.size()), seen.joined);
    Expect("the shown lines end at the text's end or at an empty line",
           seen.joined.size() == text.size() || text[seen.joined.size()] == u'\n', text);
    return 0;
}
