// Fuzz target of the bounded text helpers: at any capacity each result is the start of the uncut one, and nothing is touched past it.
#include <fuzzer/FuzzedDataProvider.h>
#include <vector>
#include "model_check.h"
#include "setup/text.h"

namespace {

// Every text and the argument array in blocks of their exact size: a read of a missing argument
// or past a terminator is an ASan report.
std::u16string Format(int capacity, const std::u16string& format, const std::vector<std::u16string>& arguments,
                      bool* whole)
{
    std::vector<ExactBuffer> texts;
    std::unique_ptr<const char16_t*[]> pointers(new const char16_t*[arguments.size()]);
    for (size_t i = 0; i < arguments.size(); ++i)
        pointers[i] = texts.emplace_back(arguments[i]).data();
    ExactBuffer formatText(format), out(std::max(capacity, 0));
    *whole = FormatText(out.data(), capacity, formatText.data(), pointers.get(), static_cast<int>(arguments.size()));
    return capacity > 0 ? out.data() : u"";
}

// A result cut to capacity is the start of the uncut one, and says whether it is whole.
void ExpectCut(const char* what, const std::u16string& uncut, int capacity, const std::u16string& got, bool whole)
{
    size_t room = std::max(capacity - 1, 0);
    bool fits = capacity > 0 && uncut.size() <= room;
    ExpectSame(what, uncut.substr(0, room) + (fits ? u" (whole)" : u" (cut)"), got + (whole ? u" (whole)" : u" (cut)"));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    int capacity = input.ConsumeIntegralInRange<int>(-2, 700), block = std::max(capacity, 0);
    std::vector<std::u16string> arguments(input.ConsumeIntegralInRange<int>(0, 6));
    for (std::u16string& argument : arguments)
        argument = WideUnits(input.ConsumeRandomLengthString(80));
    std::u16string existing = WideUnits(input.ConsumeRandomLengthString(600));
    std::u16string format = WideUnits(input.ConsumeRemainingBytesAsString());
    bool whole, cutWhole;

    int room = static_cast<int>(format.size() + existing.size()) + 1;  // for any result uncut
    for (const std::u16string& argument : arguments)
        room += static_cast<int>(argument.size());
    std::u16string uncut = Format(room, format, arguments, &whole);
    std::u16string cut = Format(capacity, format, arguments, &cutWhole);
    ExpectCut("FormatText", uncut, capacity, cut, cutWhole);
    // An argument is never read as a format: "%s" for each gives the format back.
    std::vector<std::u16string> placeholders(arguments.size(), u"%s");
    ExpectSame("FormatText of \"%s\" arguments", format, Format(room, format, placeholders, &whole));

    ExactBuffer source(format), copy(block);
    whole = CopyText(copy.data(), capacity, source.data());
    ExpectCut("CopyText", format, capacity, capacity > 0 ? copy.data() : u"", whole);

    // The existing content may hold no NUL within the capacity: the append must still stay inside.
    ExactBuffer append(block, u'\0');
    std::copy_n(existing.begin(), std::min<size_t>(existing.size(), block), append.data());
    std::u16string kept = std::u16string(append.data(), block).c_str();
    cutWhole = AppendText(append.data(), capacity, source.data());
    ExpectCut("AppendText", Format(room, u"%s%s", {kept.substr(0, std::max(block - 1, 0)), format}, &whole), capacity,
              capacity > 0 ? append.data() : u"", cutWhole);
    return 0;
}
