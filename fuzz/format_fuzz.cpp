// Fuzz target of the bounded text helpers: FormatText, CopyText and AppendText against a plain model.
#include <fuzzer/FuzzedDataProvider.h>
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>
#include "model_check.h"
#include "setup/text.h"

namespace {

// Holds a result to capacity - 1 characters; says whether the whole text fitted.
bool Cut(std::u16string* text, int capacity)
{
    size_t room = static_cast<size_t>(capacity - 1);
    if (text->size() <= room)
        return true;
    text->resize(room);
    return false;
}

// The output must hold a NUL within its capacity; what stands before it is the result.
std::u16string Terminated(ExactBuffer& out, int capacity)
{
    const char16_t* end = std::find(out.data(), out.data() + capacity, u'\0');
    if (end == out.data() + capacity)
        ModelMismatch("result is terminated within its capacity", "a NUL", Visible(std::u16string(out.data(), capacity)));
    return std::u16string(out.data(), static_cast<size_t>(end - out.data()));
}

// "%s" takes the next argument while any remain; every other unit is copied as it stands.
std::u16string FormatModel(const std::u16string& format, const std::vector<std::u16string>& arguments)
{
    std::u16string result;
    size_t used = 0;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == 's' &&
            used < arguments.size()) {
            result += arguments[used++];
            ++i;
        } else {
            result += format[i];
        }
    }
    return result;
}

void CheckFormat(FuzzedDataProvider& input, int capacity)
{
    int count = input.ConsumeIntegralInRange<int>(0, 6);
    std::vector<std::u16string> arguments;
    for (int i = 0; i < count; ++i)
        arguments.push_back(UpToNul(WideUnits(input.ConsumeRandomLengthString(80))));
    std::u16string format = UpToNul(WideUnits(input.ConsumeRemainingBytesAsString()));

    // Each text and the pointer array in blocks of their exact size, so a read of a
    // missing argument or past a terminator is an ASan report, not a silent pass.
    std::vector<ExactBuffer> texts;
    for (const std::u16string& argument : arguments)
        texts.push_back(ExactText(argument));
    std::unique_ptr<const char16_t*[]> pointers(new const char16_t*[count]);
    for (int i = 0; i < count; ++i)
        pointers[i] = texts[i].data();
    ExactBuffer formatText = ExactText(format);
    ExactBuffer out(capacity > 0 ? capacity : 0);

    bool whole = FormatText(out.data(), capacity, formatText.data(), pointers.get(), count);
    if (capacity <= 0) {
        ExpectSame("FormatText with no capacity", false, whole);
        return;
    }
    std::u16string expected = FormatModel(format, arguments);
    bool fits = Cut(&expected, capacity);
    ExpectSame("FormatText result", expected, Terminated(out, capacity));
    ExpectSame("FormatText says whether the result is whole", fits, whole);
}

void CheckCopy(FuzzedDataProvider& input, int capacity)
{
    std::u16string text = UpToNul(WideUnits(input.ConsumeRemainingBytesAsString()));
    ExactBuffer source = ExactText(text);
    ExactBuffer out(capacity > 0 ? capacity : 0);

    bool whole = CopyText(out.data(), capacity, source.data());
    if (capacity <= 0) {
        ExpectSame("CopyText with no capacity", false, whole);
        return;
    }
    bool fits = Cut(&text, capacity);
    ExpectSame("CopyText result", text, Terminated(out, capacity));
    ExpectSame("CopyText says whether the text is whole", fits, whole);
}

// The existing content may lack a NUL within the capacity: the append must still stay inside.
void CheckAppend(FuzzedDataProvider& input, int capacity)
{
    std::u16string existing = WideUnits(input.ConsumeRandomLengthString(600));
    std::u16string text = UpToNul(WideUnits(input.ConsumeRemainingBytesAsString()));
    ExactBuffer source = ExactText(text);
    ExactBuffer out(capacity > 0 ? capacity : 0, '\0');
    std::copy(existing.begin(),
              existing.begin() + std::min(existing.size(), static_cast<size_t>(capacity > 0 ? capacity : 0)),
              out.data());

    std::u16string initial(out.data(), capacity > 0 ? capacity : 0);

    bool whole = AppendText(out.data(), capacity, source.data());
    if (capacity <= 0) {
        ExpectSame("AppendText with no capacity", false, whole);
        return;
    }
    size_t kept = initial.find(u'\0');
    if (kept == std::u16string::npos || kept > static_cast<size_t>(capacity - 1))
        kept = static_cast<size_t>(capacity - 1);
    std::u16string expected = initial.substr(0, kept);
    expected += text;
    bool fits = Cut(&expected, capacity);
    ExpectSame("AppendText result", expected, Terminated(out, capacity));
    ExpectSame("AppendText says whether the text is whole", fits, whole);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    int helper = input.ConsumeIntegralInRange<int>(0, 3);
    int capacity = input.ConsumeIntegralInRange<int>(-2, 700);
    switch (helper) {
    case 0:
    case 1:
        CheckFormat(input, capacity);
        break;
    case 2:
        CheckCopy(input, capacity);
        break;
    default:
        CheckAppend(input, capacity);
        break;
    }
    return 0;
}
