// Fuzz target of the destination path helpers, each against a plain model of its rule.
#include <fuzzer/FuzzedDataProvider.h>
#include <cstdint>
#include <string>
#include "model_check.h"
#include "setup/paths.h"

namespace {

void CheckCut(const std::u16string& text)
{
    ExactBuffer buffer = ExactText(text);
    CutAfterLastSeparator(buffer.data());
    size_t last = text.find_last_of(u"\\:");
    std::u16string expected = last == std::u16string::npos ? u"" : text.substr(0, last + 1);
    ExpectSame("CutAfterLastSeparator result", expected, buffer.data());
}

// The text sits in a buffer of exactly `capacity` units, with 0 to 3 units to spare.
void CheckTrailingBackslash(const std::u16string& text, int spare)
{
    int capacity = static_cast<int>(text.size()) + 1 + spare;
    ExactBuffer buffer(capacity);
    std::copy(text.c_str(), text.c_str() + text.size() + 1, buffer.data());

    bool done = EnsureTrailingBackslash(buffer.data(), capacity);

    bool ends = !text.empty() && text.back() == '\\';
    bool fits = ends || text.size() + 2 <= static_cast<size_t>(capacity);
    std::u16string expected = ends || !fits ? text : text + u"\\";
    ExpectSame("EnsureTrailingBackslash says whether the text ends in a backslash", fits, done);
    ExpectSame("EnsureTrailingBackslash result", expected, buffer.data());
}

void CheckUnquote(const std::u16string& text)
{
    ExactBuffer buffer = ExactText(text);
    StripEnclosingQuotes(buffer.data());
    std::u16string expected = text;
    if (!text.empty() && text[0] == '"') {
        size_t close = text.find(u'"', 1);
        expected = text.substr(1, close == std::u16string::npos ? std::u16string::npos : close - 1);
    }
    ExpectSame("StripEnclosingQuotes result", expected, buffer.data());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    int spare = input.ConsumeIntegralInRange<int>(0, 3);
    std::u16string text = UpToNul(WideUnits(input.ConsumeRemainingBytesAsString()));
    CheckCut(text);
    CheckTrailingBackslash(text, spare);
    CheckUnquote(text);
    return 0;
}
