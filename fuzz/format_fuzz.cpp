// Fuzz target of the bounded text helpers: FormatText, CopyText and AppendText against each other and their own uncut results.
#include <fuzzer/FuzzedDataProvider.h>
#include <cstdint>
#include <string>
#include <vector>
#include "model_check.h"
#include "setup/text.h"

namespace {

// Calls FormatText with each text and the pointer array in blocks of their exact size, so a
// read of a missing argument or past a terminator is an ASan report, not a silent pass.
std::u16string Format(int capacity, const std::u16string& format, const std::vector<std::u16string>& arguments,
                      bool* whole)
{
    std::vector<ExactBuffer> texts;
    std::unique_ptr<const char16_t*[]> pointers(new const char16_t*[arguments.size()]);
    for (size_t i = 0; i < arguments.size(); ++i)
        pointers[i] = texts.emplace_back(ExactText(arguments[i])).data();
    ExactBuffer formatText = ExactText(format), out(capacity > 0 ? capacity : 0);
    *whole = FormatText(out.data(), capacity, formatText.data(), pointers.get(), static_cast<int>(arguments.size()));
    return capacity > 0 ? out.data() : u"";
}

// A result cut to capacity is the start of the uncut one, as long as the capacity allows, and
// says whether it is whole.
void ExpectCut(const char* what, const std::u16string& uncut, int capacity, const std::u16string& got, bool whole)
{
    size_t room = capacity > 0 ? capacity - 1 : 0;
    if (got != uncut.substr(0, room) || whole != (capacity > 0 && uncut.size() <= room))
        Fail(std::string(what) + " cut to capacity " + std::to_string(capacity) + ", whole or not",
             Visible(uncut.substr(0, room)) + (uncut.size() <= room ? " whole" : " cut"), Visible(got) + (whole ? " whole" : " cut"));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    int capacity = input.ConsumeIntegralInRange<int>(-2, 700);
    std::vector<std::u16string> arguments(input.ConsumeIntegralInRange<int>(0, 6));
    for (std::u16string& argument : arguments)
        argument = WideUnits(input.ConsumeRandomLengthString(80));
    std::u16string existing = WideUnits(input.ConsumeRandomLengthString(600));
    std::u16string format = WideUnits(input.ConsumeRemainingBytesAsString());

    // Room for any result: the uncut one, which the cut ones must begin with.
    int room = static_cast<int>(format.size() + existing.size()) + 1;
    for (const std::u16string& argument : arguments)
        room += static_cast<int>(argument.size());
    bool whole;
    std::u16string uncut = Format(room, format, arguments, &whole);
    Expect("FormatText with room for all is whole", true, whole);
    ExpectCut("FormatText", uncut, capacity, Format(capacity, format, arguments, &whole), whole);
    // "%s" put for each "%s" gives the format back, whatever else it holds.
    Expect("FormatText of every argument \"%s\"", format,
           Format(room, format, std::vector<std::u16string>(arguments.size(), u"%s"), &whole));
    Expect("FormatText without arguments copies the format", format, Format(room, format, {}, &whole));

    ExactBuffer source = ExactText(format), copy(capacity > 0 ? capacity : 0);
    whole = CopyText(copy.data(), capacity, source.data());
    ExpectCut("CopyText", format, capacity, capacity > 0 ? copy.data() : u"", whole);

    // The existing content may lack a NUL within the capacity: the append must still stay inside.
    ExactBuffer append(capacity > 0 ? capacity : 0, u'\0');
    std::copy_n(existing.begin(), std::min<size_t>(existing.size(), capacity > 0 ? capacity : 0), append.data());
    std::u16string kept = std::u16string(append.data(), capacity > 0 ? capacity : 0).c_str();
    bool appendWhole = AppendText(append.data(), capacity, source.data());
    std::u16string appended = Format(room, u"%s%s", {kept.substr(0, capacity - 1), format}, &whole);
    ExpectCut("AppendText", appended, capacity, capacity > 0 ? append.data() : u"", appendWhole);
    return 0;
}
