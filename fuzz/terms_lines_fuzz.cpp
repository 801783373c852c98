// Fuzz target of SplitTermsLines: the lines it shows of any text join back into the text's start, up to an empty line.
#include <cstdint>
#include <string>
#include "model_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::u16string text = WideUnits(std::string(reinterpret_cast<const char*>(data), size)) + u'\n';
    std::u16string joined;
    for (const std::u16string& line : ShownLines(text.substr(0, text.size() - 1)))
        joined += line + u'\n';
    // Nothing lost before the list ends, and it ends only at the text's end or at an empty line.
    Expect("the shown lines joined", text.substr(0, joined.size()), joined, text);
    Expect("the shown lines end at the end or at an empty line", true,
           joined.size() == text.size() || text[joined.size()] == u'\n', text);
    return 0;
}
