// Fuzz target of SplitTermsLines: any terms text, against a split that stops at the first empty piece.
#include <cstdint>
#include <string>
#include <vector>
#include "model_check.h"
#include "dialogs/terms_lines.h"

namespace {

struct Seen {
    const char16_t* first;
    const char16_t* last;  // the terminator of the text
    std::vector<std::u16string> lines;
};

void Collect(void* context, const char16_t* line)
{
    Seen* seen = static_cast<Seen*>(context);
    // The list box keeps its own copy, but only of text inside the buffer it was given.
    if (line < seen->first || line >= seen->last)
        ModelMismatch("a line points into the terms buffer", "inside", "outside");
    seen->lines.push_back(line);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::u16string text = UpToNul(WideUnits(std::string(reinterpret_cast<const char*>(data), size)));
    ExactBuffer buffer = ExactText(text);
    Seen seen{buffer.data(), buffer.data() + text.size(), {}};

    SplitTermsLines(buffer.data(), Collect, &seen);

    std::vector<std::u16string> expected;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::u16string::npos)
            end = text.size();
        if (end == start)
            break;
        expected.push_back(text.substr(start, end - start));
        start = end + 1;
    }

    std::u16string joinedExpected, joinedGot;
    for (const std::u16string& line : expected)
        joinedExpected += line + u"|";
    for (const std::u16string& line : seen.lines)
        joinedGot += line + u"|";
    ExpectSame("SplitTermsLines lines (each followed by |)", joinedExpected, joinedGot);
    if (expected.size() != seen.lines.size())
        ModelMismatch("SplitTermsLines line count", std::to_string(expected.size()),
                      std::to_string(seen.lines.size()));

    // Every line feed of the whole text is cut, also behind the end of the list.
    std::u16string cut = text;
    for (char16_t& c : cut) {
        if (c == '\n')
            c = '\0';
    }
    ExpectSame("terms buffer after the split", cut + u'\0',
               std::u16string(buffer.data(), text.size() + 1));
    return 0;
}
