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
bool Cut(std::string* text, int capacity)
{
    size_t room = static_cast<size_t>(capacity - 1);
    if (text->size() <= room)
        return true;
    text->resize(room);
    return false;
}

// The output must hold a NUL within its capacity; what stands before it is the result.
std::string Terminated(ExactBuffer& out, int capacity)
{
    const char* end = static_cast<const char*>(std::memchr(out.data(), '\0', capacity));
    if (end == nullptr)
        ModelMismatch("result is terminated within its capacity", "a NUL",
                      std::string(out.data(), capacity));
    return std::string(static_cast<const char*>(out.data()), end);
}

// "%s" takes the next argument while any remain; every other byte is copied as it stands.
std::string FormatModel(const std::string& format, const std::vector<std::string>& arguments)
{
    std::string result;
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
    std::vector<std::string> arguments;
    for (int i = 0; i < count; ++i)
        arguments.push_back(UpToNul(input.ConsumeRandomLengthString(80)));
    std::string format = UpToNul(input.ConsumeRemainingBytesAsString());

    // Each text and the pointer array in blocks of their exact size, so a read of a
    // missing argument or past a terminator is an ASan report, not a silent pass.
    std::vector<ExactBuffer> texts;
    for (const std::string& argument : arguments)
        texts.push_back(ExactText(argument));
    std::unique_ptr<const char*[]> pointers(new const char*[count]);
    for (int i = 0; i < count; ++i)
        pointers[i] = texts[i].data();
    ExactBuffer formatText = ExactText(format);
    ExactBuffer out(capacity > 0 ? capacity : 0);

    bool whole = FormatText(out.data(), capacity, formatText.data(), pointers.get(), count);
    if (capacity <= 0) {
        ExpectSame("FormatText with no capacity", false, whole);
        return;
    }
    std::string expected = FormatModel(format, arguments);
    bool fits = Cut(&expected, capacity);
    ExpectSame("FormatText result", expected, Terminated(out, capacity));
    ExpectSame("FormatText says whether the result is whole", fits, whole);
}

void CheckCopy(FuzzedDataProvider& input, int capacity)
{
    std::string text = UpToNul(input.ConsumeRemainingBytesAsString());
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
    std::string existing = input.ConsumeRandomLengthString(600);
    std::string text = UpToNul(input.ConsumeRemainingBytesAsString());
    ExactBuffer source = ExactText(text);
    ExactBuffer out(capacity > 0 ? capacity : 0, '\0');
    std::memcpy(out.data(), existing.data(),
                std::min(existing.size(), static_cast<size_t>(capacity > 0 ? capacity : 0)));

    std::string initial(out.data(), capacity > 0 ? capacity : 0);

    bool whole = AppendText(out.data(), capacity, source.data());
    if (capacity <= 0) {
        ExpectSame("AppendText with no capacity", false, whole);
        return;
    }
    size_t kept = initial.find('\0');
    if (kept == std::string::npos || kept > static_cast<size_t>(capacity - 1))
        kept = static_cast<size_t>(capacity - 1);
    std::string expected = initial.substr(0, kept);
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
