// Fuzz target of the command-line reader: any line, any capacities, against the promises of its contract.
#include <fuzzer/FuzzedDataProvider.h>
#include <cstdint>
#include <string>
#include "model_check.h"
#include "setup/command_line.h"

namespace {

bool Absolute(const std::u16string& f)
{
    char16_t drive = f.empty() ? 0 : AsciiUpper(f.substr(0, 1))[0];
    return f.compare(0, 2, u"\\\\") == 0 ||
           (f.size() >= 3 && drive >= u'A' && drive <= u'Z' && f[1] == u':' && (f[2] == u'\\' || f[2] == u'/'));
}

// The flags, the folder taken and the argument named, with both buffers in blocks of their exact
// size; a destination not taken must be left as it was.
std::u16string Read(const std::u16string& line, int destinationCapacity, int unknownCapacity, std::u16string* folder,
                    std::u16string* unknown)
{
    ExactBuffer text = ExactText(line), destination(destinationCapacity), named(unknownCapacity);
    CommandLine r = ReadCommandLine(text.data(), destination.data(), destinationCapacity, named.data(), unknownCapacity);
    std::u16string held(destination.data(), destinationCapacity);
    Expect("a destination not taken is left as it was", r.hasDestination || held == std::u16string(held.size(), kFill), line);
    *folder = r.hasDestination ? held.c_str() : u"";
    *unknown = unknownCapacity > 0 ? named.data() : u"";
    return {u"-U"[r.understood], u"-S"[r.silent], u"-?"[r.usage], u"-D"[r.hasDestination]};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    int destinationCapacity = input.ConsumeIntegralInRange<int>(0, 600);
    int unknownCapacity = input.ConsumeIntegralInRange<int>(0, 80);
    std::u16string line = WideUnits(input.ConsumeRemainingBytesAsString()), folder, unknown, upperFolder, upperUnknown;
    std::u16string flags = Read(line, destinationCapacity, unknownCapacity, &folder, &unknown);

    // A folder is taken only whole, absolute and without a quote, as the line's tail after /D=.
    std::u16string tail = AsciiUpper(line.substr(0, line.find_last_not_of(u" \t") + 1)), ending = AsciiUpper(u"/D=" + folder);
    if (flags[3] == u'D')
        Expect("a taken folder is understood, fits, is absolute, holds no quote and is the line's tail after /D=",
               flags[0] == u'U' && static_cast<int>(folder.size()) < destinationCapacity && Absolute(folder) &&
                   folder.find(u'"') == folder.npos && tail.size() >= ending.size() &&
                   tail.compare(tail.size() - ending.size(), tail.npos, ending) == 0, line);
    if (unknownCapacity >= 2)
        Expect("an argument is named, as it stands, exactly when one is not understood",
               (flags[0] != u'U') == (!unknown.empty() && unknown[0] != u' ' && unknown[0] != u'\t' &&
                                      line.find(unknown) != line.npos), line);
    // Switches are ASCII letters, case aside: upper case changes nothing but the texts' own letters.
    std::u16string upperFlags = Read(AsciiUpper(line), destinationCapacity, unknownCapacity, &upperFolder, &upperUnknown);
    ExpectSame("upper case reads alike", flags + u"|" + AsciiUpper(folder) + u"|" + AsciiUpper(unknown),
               upperFlags + u"|" + upperFolder + u"|" + upperUnknown, line);
    return 0;
}
