// Fuzz target of the destination path helpers, each against a plain model of its rule.
#include <fuzzer/FuzzedDataProvider.h>
#include <cstdint>
#include <string>
#include "model_check.h"
#include "setup/paths.h"

namespace {

void CheckCut(const std::string& text)
{
    ExactBuffer buffer = ExactText(text);
    CutAfterLastSeparator(buffer.data());
    size_t last = text.find_last_of("\\:");
    std::string expected = last == std::string::npos ? "" : text.substr(0, last + 1);
    ExpectSame("CutAfterLastSeparator result", expected, buffer.data());
}

// The text sits in a buffer of exactly `capacity` bytes, with 0 to 3 bytes to spare.
void CheckTrailingBackslash(const std::string& text, int spare)
{
    int capacity = static_cast<int>(text.size()) + 1 + spare;
    ExactBuffer buffer(capacity);
    std::memcpy(buffer.data(), text.c_str(), text.size() + 1);

    bool done = EnsureTrailingBackslash(buffer.data(), capacity);

    bool ends = !text.empty() && text.back() == '\\';
    bool fits = ends || text.size() + 2 <= static_cast<size_t>(capacity);
    std::string expected = ends || !fits ? text : text + "\\";
    ExpectSame("EnsureTrailingBackslash says whether the text ends in a backslash", fits, done);
    ExpectSame("EnsureTrailingBackslash result", expected, buffer.data());
}

void CheckUnquote(const std::string& text)
{
    ExactBuffer buffer = ExactText(text);
    StripEnclosingQuotes(buffer.data());
    std::string expected = text;
    if (!text.empty() && text[0] == '"') {
        size_t close = text.find('"', 1);
        expected = text.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    }
    ExpectSame("StripEnclosingQuotes result", expected, buffer.data());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    int spare = input.ConsumeIntegralInRange<int>(0, 3);
    std::string text = UpToNul(input.ConsumeRemainingBytesAsString());
    CheckCut(text);
    CheckTrailingBackslash(text, spare);
    CheckUnquote(text);
    return 0;
}
