// Fuzz target of the command-line reader and the backslash its folder then gets: any line and capacities against their contracts.
#include <fuzzer/FuzzedDataProvider.h>
#include "model_check.h"
#include "setup/command_line.h"
#include "setup/paths.h"

namespace {

// Flags, folder and argument named, with both buffers in blocks of their exact size. The folder
// then gets its backslash in the same block, as the setup does, unless it has one or no room.
std::u16string Read(const std::u16string& line, int capacity, int unknownCapacity, std::u16string* folder)
{
    ExactBuffer text(line), destination(capacity), unknown(unknownCapacity);
    CommandLine r = ReadCommandLine(text.data(), destination.data(), capacity, unknown.data(), unknownCapacity);
    std::u16string held(destination.data(), capacity);
    Expect("a destination not taken is left as it was", r.hasDestination || held == std::u16string(capacity, kFill),
           line);
    *folder = r.hasDestination ? held.c_str() : u"";
    if (r.hasDestination) {
        bool room = static_cast<int>(folder->size()) + 1 < capacity, ended = folder->back() == u'\\';
        Expect("EnsureTrailingBackslash fails only for want of room",
               EnsureTrailingBackslash(destination.data(), capacity) == (ended || room), line);
        ExpectSame("EnsureTrailingBackslash", *folder + (!ended && room ? u"\\" : u""), destination.data());
    }
    return std::u16string{u"-U"[r.understood], u"-S"[r.silent], u"-?"[r.usage], u"-D"[r.hasDestination], u'|'} +
           *folder + u"|" + (unknownCapacity > 0 ? unknown.data() : u"");
}

// A drive's root or a share.
bool Absolute(const std::u16string& folder)
{
    char16_t drive = AsciiUpper(folder + u" ")[0];
    return folder.compare(0, 2, u"\\\\") == 0 || (drive >= u'A' && drive <= u'Z' && folder.size() >= 3 &&
                                                  folder[1] == u':' && (folder[2] == u'\\' || folder[2] == u'/'));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    int capacity = input.ConsumeIntegralInRange<int>(0, 600);
    int unknownCapacity = input.ConsumeIntegralInRange<int>(0, 80);
    std::u16string line = WideUnits(input.ConsumeRemainingBytesAsString()), folder, upperFolder;
    std::u16string read = Read(line, capacity, unknownCapacity, &folder), unknown = read.substr(6 + folder.size());

    // A folder is taken whole, absolute and without a quote, as the line's tail after /D=.
    std::u16string tail = AsciiUpper(line.substr(0, line.find_last_not_of(u" \t") + 1));
    std::u16string ending = AsciiUpper(u"/D=" + folder);
    if (read[3] == u'D')
        Expect("a taken folder is understood, fits, is absolute, holds no quote and is the line's tail after /D=",
               read[0] == u'U' && static_cast<int>(folder.size()) < capacity && Absolute(folder) &&
                   folder.find(u'"') == folder.npos && tail.size() >= ending.size() &&
                   tail.compare(tail.size() - ending.size(), tail.npos, ending) == 0, line);
    if (unknownCapacity >= 2)
        Expect("an argument is named, as it stands, exactly when one is not understood",
               (read[0] != u'U') == (!unknown.empty() && unknown[0] != u' ' && unknown[0] != u'\t' &&
                                     line.find(unknown) != line.npos), line);
    // Switches are ASCII letters, case aside: upper case changes nothing but the texts' own letters.
    ExpectSame("upper case reads alike", AsciiUpper(read),
               Read(AsciiUpper(line), capacity, unknownCapacity, &upperFolder));
    return 0;
}
