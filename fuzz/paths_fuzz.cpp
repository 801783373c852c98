// Fuzz target of the destination path helpers: what each promises of its result, on any text.
#include <fuzzer/FuzzedDataProvider.h>
#include <cstdint>
#include <string>
#include "model_check.h"
#include "setup/paths.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    int spare = input.ConsumeIntegralInRange<int>(0, 3);
    std::u16string text = WideUnits(input.ConsumeRemainingBytesAsString());
    auto startsWith = [](const std::u16string& whole, const std::u16string& start) {
        return whole.compare(0, start.size(), start) == 0;
    };

    // What is cut is the last separator's tail: the start kept ends in one, the rest holds none.
    ExactBuffer cut = ExactText(text);
    CutAfterLastSeparator(cut.data());
    std::u16string kept = cut.data();
    Expect("CutAfterLastSeparator keeps the start up to a separator, none after it", true,
           startsWith(text, kept) && (kept.empty() || kept.back() == u'\\' || kept.back() == u':') &&
               text.find_first_of(u"\\:", kept.size()) == std::u16string::npos, text);

    // In a buffer of exactly the text's length and 0 to 3 units to spare.
    ExactBuffer ended(text.size() + 1 + spare);
    std::copy(text.c_str(), text.c_str() + text.size() + 1, ended.data());
    bool done = EnsureTrailingBackslash(ended.data(), static_cast<int>(text.size()) + 1 + spare);
    bool already = !text.empty() && text.back() == u'\\';
    Expect("EnsureTrailingBackslash", already || !done ? text : text + u"\\", std::u16string(ended.data()), text);
    Expect("EnsureTrailingBackslash fails only for want of room", already || spare > 0, done, text);

    // Whatever opens with a quote comes out without any, as the text between it and the next one.
    ExactBuffer unquoted = ExactText(text);
    StripEnclosingQuotes(unquoted.data());
    std::u16string got = unquoted.data();
    Expect("StripEnclosingQuotes keeps what stands between the quotes", true,
           text[0] != u'"' ? got == text
                           : startsWith(text.substr(1), got) && got.find(u'"') == std::u16string::npos &&
                                 (text.size() == got.size() + 1 || text[got.size() + 1] == u'"'), text);
    return 0;
}
