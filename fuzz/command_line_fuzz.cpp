// Fuzz target of the command-line reader: any line against the promises of its contract, and
// lines assembled from known parts, which must read back as they were assembled.
#include <fuzzer/FuzzedDataProvider.h>
#include <cctype>
#include <cstdint>
#include <string>
#include "model_check.h"
#include "setup/command_line.h"

namespace {

struct Reading {
    CommandLine flags;
    std::u16string destination, unknown;
};

// The line and both buffers in blocks of their exact size, so ASan sees any unit past them.
Reading Read(const std::u16string& line, int destinationCapacity, int unknownCapacity)
{
    ExactBuffer text = ExactText(line), destination(destinationCapacity), unknown(unknownCapacity);
    Reading r;
    r.flags = ReadCommandLine(text.data(), destination.data(), destinationCapacity, unknown.data(), unknownCapacity);
    std::u16string untouched(destinationCapacity, kFill);
    if (r.flags.hasDestination)
        r.destination = destination.data();
    else
        Expect("a destination not taken is left as it was", untouched,
               std::u16string(destination.data(), destinationCapacity));
    if (unknownCapacity > 0)
        r.unknown = unknown.data();
    return r;
}

// The standard library's upper case of the "C" locale: ASCII letters only.
std::u16string Upper(std::u16string text)
{
    for (char16_t& c : text)
        c = c < 0x80 ? static_cast<char16_t>(std::toupper(c)) : c;
    return text;
}

bool IsBlank(char16_t c)
{
    return c == u' ' || c == u'\t';
}

// Promises that hold for any line: a taken folder is the line's tail after /D= and fits, a
// refused argument is named as it stands in the line, and letter case changes nothing but the
// texts' own letters.
void CheckAnyLine(const std::u16string& line, int destinationCapacity, int unknownCapacity)
{
    Reading r = Read(line, destinationCapacity, unknownCapacity);
    std::u16string tail = u"/D=" + r.destination, trimmed = Upper(line);
    while (!trimmed.empty() && IsBlank(trimmed.back()))
        trimmed.pop_back();
    if (r.flags.hasDestination)
        Expect("a taken folder is understood, fits and is the line's tail after /D=", true,
               r.flags.understood && static_cast<int>(r.destination.size()) < destinationCapacity &&
                   trimmed.size() >= tail.size() && trimmed.substr(trimmed.size() - tail.size()) == Upper(tail), line);
    if (unknownCapacity >= 2)
        Expect("an argument is named exactly when one is not understood, as it stands", !r.flags.understood,
               !r.unknown.empty() && !IsBlank(r.unknown[0]) && line.find(r.unknown) != line.npos, line);
    Reading upper = Read(Upper(line), destinationCapacity, unknownCapacity);
    Expect("upper case: understood, silent, usage, destination", std::u16string{r.flags.understood, r.flags.silent,
           r.flags.usage, r.flags.hasDestination}, std::u16string{upper.flags.understood, upper.flags.silent,
           upper.flags.usage, upper.flags.hasDestination}, line);
    Expect("upper case: folder and named argument", Upper(r.destination + u"|" + r.unknown),
           upper.destination + u"|" + upper.unknown, line);
}

// Units that matter to the reader, and a few that only look as if they might.
// A lone surrogate too: GetCommandLineW hands over whatever units the caller passed.
const char16_t kAlphabet[] = {u' ', u'\t', u'"', u'\\', u'/', u':', u'=', u'?', u'S', u's', u'D', u'd',
                              u'C', u'x', u'.', 0x017F, 0x0421, 0xD800, 0x00A0};

std::u16string Some(FuzzedDataProvider& input, size_t most, const std::u16string& without)
{
    std::u16string text;
    for (size_t length = input.ConsumeIntegralInRange<size_t>(0, most); text.size() < length && input.remaining_bytes();) {
        char16_t c = kAlphabet[input.ConsumeIntegralInRange<size_t>(0, sizeof kAlphabet / 2 - 1)];
        if (without.find(c) == std::u16string::npos)
            text += c;
    }
    return text;
}

std::u16string Blanks(FuzzedDataProvider& input, size_t least)
{
    std::u16string blanks;
    for (size_t n = input.ConsumeIntegralInRange<size_t>(least, 3); blanks.size() < n;)
        blanks += input.ConsumeBool() ? u' ' : u'\t';
    return blanks;
}

// A line assembled from a program path, switches, perhaps arguments that are none (each ends
// in x and holds no '=', so it cannot be one), perhaps /D= with a folder known to be absolute
// or not and with or without a quote: what went in is what must come out.
void CheckAssembledLine(FuzzedDataProvider& input, int destinationCapacity, int unknownCapacity)
{
    bool quoted = input.ConsumeBool();
    std::u16string line = quoted ? u"\"" + Some(input, 12, u"\"") + u"\"" : Some(input, 12, u" \t\"");
    // Only a closing quote ends an argument without a blank.
    bool first = quoted;
    auto separator = [&] { return Blanks(input, std::exchange(first, false) ? 0 : 1); };
    bool silent = false, usage = false;
    std::u16string stranger;
    for (int n = input.ConsumeIntegralInRange<int>(0, 4); n > 0; --n) {
        const char16_t* switches[] = {u"/S", u"/s", u"/?"};
        int pick = input.ConsumeIntegralInRange<int>(0, 3);
        std::u16string argument = pick < 3 ? switches[pick] : Some(input, 8, u" \t=") + u"x";
        silent = silent || pick < 2;
        usage = usage || (pick == 2 && stranger.empty());
        if (pick == 3 && stranger.empty())
            stranger = argument;
        line += separator() + argument;
    }
    bool withFolder = input.ConsumeBool(), absolute = input.ConsumeBool(), quote = input.ConsumeBool();
    std::u16string folder;
    if (withFolder) {
        const char16_t* absolutes[] = {u"C:\\", u"z:/", u"\\\\"};
        const char16_t* relatives[] = {u"C:x", u"\\x", u"x", u"1:\\"};
        folder = absolute ? absolutes[input.ConsumeIntegralInRange<int>(0, 2)]
                          : relatives[input.ConsumeIntegralInRange<int>(0, 3)];
        size_t start = folder.size();
        folder += Some(input, 600, u"\"");
        if (IsBlank(folder.back()))
            folder += u'x';
        if (quote)
            folder.insert(input.ConsumeIntegralInRange<size_t>(start, folder.size()), 1, u'"');
        std::u16string destinationSwitch = input.ConsumeBool() ? u"/D=" : u"/d=";
        line += separator() + destinationSwitch + folder;
        if (stranger.empty() && !(absolute && !quote && static_cast<int>(folder.size()) < destinationCapacity))
            stranger = destinationSwitch + folder;
    }
    line += Blanks(input, 0);
    bool taken = withFolder && stranger.empty();

    Reading r = Read(line, destinationCapacity, unknownCapacity);
    Expect("understood", stranger.empty(), r.flags.understood, line);
    Expect("silent", silent, r.flags.silent, line);
    Expect("usage", usage, r.flags.usage, line);
    Expect("destination taken", taken, r.flags.hasDestination, line);
    Expect("folder", taken ? folder : u"", r.destination, line);
    if (unknownCapacity > 0)
        Expect("named argument", stranger.substr(0, unknownCapacity - 1), r.unknown, line);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    bool assembled = input.ConsumeBool();
    int destinationCapacity = input.ConsumeIntegralInRange<int>(0, 600);
    int unknownCapacity = input.ConsumeIntegralInRange<int>(0, 80);
    if (assembled)
        CheckAssembledLine(input, destinationCapacity, unknownCapacity);
    else
        CheckAnyLine(WideUnits(input.ConsumeRemainingBytesAsString()), destinationCapacity, unknownCapacity);
    return 0;
}
