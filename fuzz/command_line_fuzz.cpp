// Fuzz target of the command-line reader: any line against the promises of its contract, and
// lines assembled from known parts, which must read back as they were assembled.
#include <fuzzer/FuzzedDataProvider.h>
#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include "model_check.h"
#include "setup/command_line.h"

namespace {

// What was read: understood, silent, usage, destination taken; the folder; the argument named.
struct Reading {
    std::u16string flags, folder, unknown;
    std::u16string Text() const { return flags + u"|" + folder + u"|" + unknown; }
};

Reading Summary(bool understood, bool silent, bool usage, const std::u16string& folder, const std::u16string& unknown)
{
    return {{u"-U"[understood], u"-S"[silent], u"-?"[usage], u"-D"[!folder.empty()]}, folder, unknown};
}

// The line and both buffers in blocks of their exact size, so ASan sees any unit past them; a
// destination not taken must be left as it was.
Reading Read(const std::u16string& line, int destinationCapacity, int unknownCapacity)
{
    ExactBuffer text = ExactText(line), destination(destinationCapacity), unknown(unknownCapacity);
    CommandLine r = ReadCommandLine(text.data(), destination.data(), destinationCapacity, unknown.data(), unknownCapacity);
    std::u16string folder(destination.data(), destinationCapacity);
    Expect("a destination not taken is left as it was", true,
           r.hasDestination || folder == std::u16string(folder.size(), kFill), line);
    return Summary(r.understood, r.silent, r.usage, r.hasDestination ? folder.c_str() : u"",
                   unknownCapacity > 0 ? unknown.data() : u"");
}

// Promises that hold for any line: a taken folder is understood, fits and is the line's tail
// after /D=; a refused argument is named as it stands in the line; and letter case changes
// nothing but the texts' own letters.
void CheckAnyLine(const std::u16string& line, int destinationCapacity, int unknownCapacity)
{
    Reading read = Read(line, destinationCapacity, unknownCapacity);
    std::u16string tail = AsciiUpper(line.substr(0, line.find_last_not_of(u" \t") + 1)), folder = read.folder;
    if (read.flags[3] == u'D')
        Expect("a taken folder is understood, fits and is the line's tail after /D=", true, read.flags[0] == u'U' &&
               static_cast<int>(folder.size()) < destinationCapacity && tail.size() >= folder.size() + 3 &&
               tail.compare(tail.size() - folder.size() - 3, tail.npos, AsciiUpper(u"/D=" + folder)) == 0, line);
    if (unknownCapacity >= 2)
        Expect("an argument is named, as it stands, exactly when one is not understood", read.flags[0] != u'U',
               !read.unknown.empty() && read.unknown[0] != u' ' && read.unknown[0] != u'\t' &&
                   line.find(read.unknown) != line.npos, line);
    Expect("upper case reads alike", AsciiUpper(read.Text()), Read(AsciiUpper(line), destinationCapacity, unknownCapacity).Text(),
           line);
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

// A line assembled from a program path, switches, perhaps arguments that are none (each ends
// in x and holds no '=', so it cannot be one), perhaps /D= with a folder known to be absolute
// or not and with or without a quote: what went in is what must come out.
void CheckAssembledLine(FuzzedDataProvider& input, int destinationCapacity, int unknownCapacity)
{
    bool quoted = input.ConsumeBool(), first = quoted;  // only a closing quote ends an argument without a blank
    std::u16string line = quoted ? u"\"" + Some(input, 12, u"\"") + u"\"" : Some(input, 12, u" \t\"");
    auto blanks = [&](size_t least) {
        std::u16string blanks;
        for (size_t n = input.ConsumeIntegralInRange<size_t>(least, 3); blanks.size() < n;)
            blanks += input.ConsumeBool() ? u' ' : u'\t';
        return blanks;
    };
    bool silent = false, usage = false;
    std::u16string stranger, folder;
    for (int n = input.ConsumeIntegralInRange<int>(0, 4); n > 0; --n) {
        const char16_t* switches[] = {u"/S", u"/s", u"/?"};
        int pick = input.ConsumeIntegralInRange<int>(0, 3);
        std::u16string argument = pick < 3 ? switches[pick] : Some(input, 8, u" \t=") + u"x";
        silent = silent || pick < 2;
        usage = usage || (pick == 2 && stranger.empty());
        if (pick == 3 && stranger.empty())
            stranger = argument;
        line += blanks(std::exchange(first, false) ? 0 : 1) + argument;
    }
    if (input.ConsumeBool()) {
        bool absolute = input.ConsumeBool(), quote = input.ConsumeBool();
        // The relative starts stay relative whatever follows: a bare "x" then ":/" would name drive x:.
        const char16_t* starts[] = {u"C:\\", u"z:/", u"\\\\", u"C:x", u"\\x", u"x\\", u"1:\\"};
        folder = starts[absolute ? input.ConsumeIntegralInRange(0, 2) : input.ConsumeIntegralInRange(3, 6)];
        size_t start = folder.size();
        folder += Some(input, 600, u"\"");
        if (folder.back() == u' ' || folder.back() == u'\t')
            folder += u'x';
        if (quote)
            folder.insert(input.ConsumeIntegralInRange<size_t>(start, folder.size()), 1, u'"');
        // Capacities near the folder's length, where a fit is decided, are worth most.
        if (input.ConsumeBool())
            destinationCapacity = std::max(0, static_cast<int>(folder.size()) + input.ConsumeIntegralInRange(-1, 1));
        std::u16string destinationSwitch = input.ConsumeBool() ? u"/D=" : u"/d=";
        line += blanks(std::exchange(first, false) ? 0 : 1) + destinationSwitch + folder;
        if (!stranger.empty())
            folder.clear();
        else if (!absolute || quote || static_cast<int>(folder.size()) >= destinationCapacity)
            stranger = destinationSwitch + std::exchange(folder, u"");
    }
    line += blanks(0);
    Expect("assembled line read", Summary(stranger.empty(), silent, usage, folder,
                                          unknownCapacity > 0 ? stranger.substr(0, unknownCapacity - 1) : u"").Text(),
           Read(line, destinationCapacity, unknownCapacity).Text(), line);
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
