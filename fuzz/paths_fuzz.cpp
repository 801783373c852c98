// Fuzz target of the destination path helpers: what each promises of its result, on any text, in blocks of exact size.
#include <fuzzer/FuzzedDataProvider.h>
#include <cstdint>
#include "model_check.h"
#include "setup/paths.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    int spare = input.ConsumeIntegralInRange<int>(0, 3);
    std::u16string text = WideUnits(input.ConsumeRemainingBytesAsString());

    ExactBuffer cut(text), ended(text, spare), unquoted(text);
    CutAfterLastSeparator(cut.data());
    std::u16string kept = cut.data();
    Expect("CutAfterLastSeparator keeps the start up to a separator, none after it",
           text.compare(0, kept.size(), kept) == 0 && (kept.empty() || kept.back() == u'\\' || kept.back() == u':') &&
               text.find_first_of(u"\\:", kept.size()) == text.npos, text);

    bool done = EnsureTrailingBackslash(ended.data(), static_cast<int>(text.size()) + 1 + spare);
    bool already = !text.empty() && text.back() == u'\\';
    ExpectSame("EnsureTrailingBackslash", already || !done ? text : text + u"\\", ended.data());
    Expect("EnsureTrailingBackslash fails only for want of room", done == (already || spare > 0), text);

    // Whatever opens with a quote comes out without any, as the text between it and the next one.
    StripEnclosingQuotes(unquoted.data());
    std::u16string got = unquoted.data();
    Expect("StripEnclosingQuotes keeps what stands between the quotes",
           text[0] != u'"' ? got == text
                           : text.compare(1, got.size(), got) == 0 && got.find(u'"') == got.npos &&
                                 (text.size() == got.size() + 1 || text[got.size() + 1] == u'"'), text);
    return 0;
}
