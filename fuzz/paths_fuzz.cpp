// Fuzz target of the destination path helpers: what each promises of its result, on any text.
#include <fuzzer/FuzzedDataProvider.h>
#include <cstdint>
#include <string>
#include "model_check.h"
#include "setup/paths.h"

namespace {

bool StartsWith(const std::u16string& text, const std::u16string& start)
{
    return text.compare(0, start.size(), start) == 0;
}

// What is cut is the last separator's tail: the kept start ends in one, the rest holds none.
void CheckCut(const std::u16string& text)
{
    ExactBuffer buffer = ExactText(text);
    CutAfterLastSeparator(buffer.data());
    std::u16string kept = buffer.data();
    bool separated = kept.empty() || kept.back() == u'\\' || kept.back() == u':';
    Expect("CutAfterLastSeparator keeps the start up to a separator, none after it", true,
           StartsWith(text, kept) && separated && text.find_first_of(u"\\:", kept.size()) == std::u16string::npos, text);
}

// The text sits in a buffer of exactly its length and 0 to 3 units to spare.
void CheckTrailingBackslash(const std::u16string& text, int spare)
{
    ExactBuffer buffer(text.size() + 1 + spare);
    std::copy(text.c_str(), text.c_str() + text.size() + 1, buffer.data());
    bool done = EnsureTrailingBackslash(buffer.data(), static_cast<int>(text.size()) + 1 + spare);
    std::u16string got = buffer.data();
    bool ended = !text.empty() && text.back() == u'\\';
    Expect("EnsureTrailingBackslash", ended || !done ? text : text + u"\\", got, text);
    Expect("EnsureTrailingBackslash fails only for want of room", ended || spare > 0, done, text);
}

// Whatever opens with a quote comes out without any, as the text between it and the next one.
void CheckUnquote(const std::u16string& text)
{
    ExactBuffer buffer = ExactText(text);
    StripEnclosingQuotes(buffer.data());
    std::u16string got = buffer.data();
    bool quoted = !text.empty() && text[0] == u'"';
    Expect("StripEnclosingQuotes keeps what stands between the quotes", true,
           quoted ? StartsWith(text.substr(1), got) && got.find(u'"') == std::u16string::npos &&
                        (text.size() == got.size() + 1 || text[got.size() + 1] == u'"')
                  : got == text, text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    int spare = input.ConsumeIntegralInRange<int>(0, 3);
    std::u16string text = WideUnits(input.ConsumeRemainingBytesAsString());
    CheckCut(text);
    CheckTrailingBackslash(text, spare);
    CheckUnquote(text);
    return 0;
}
