// Fuzz target of the command-line reader: any line against the promises of its contract, and
// lines assembled from known parts, which must read back as they were assembled.
#include <fuzzer/FuzzedDataProvider.h>
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>
#include "model_check.h"
#include "setup/command_line.h"

namespace {

const char16_t kFill = 0xAAAA;

std::string Units(const std::u16string& text)
{
    std::string out;
    for (char16_t c : text) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "<%04X>", static_cast<unsigned>(c));
        out += c >= 0x20 && c < 0x7F ? std::string(1, static_cast<char>(c)) : std::string(hex);
    }
    return out;
}

void ExpectUnits(const char* what, const std::u16string& expected, const std::u16string& got)
{
    ExpectSame(what, Units(expected), Units(got));
}

std::u16string Upper(std::u16string text)
{
    for (char16_t& c : text)
        c = c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c;
    return text;
}

bool IsBlank(char16_t c)
{
    return c == u' ' || c == u'\t';
}

std::u16string TrimEnd(std::u16string text)
{
    while (!text.empty() && IsBlank(text.back()))
        text.pop_back();
    return text;
}

std::u16string Cut(const std::u16string& text, int capacity)
{
    return text.substr(0, capacity <= 1 ? 0 : static_cast<size_t>(capacity - 1));
}

struct Reading {
    CommandLine flags;
    std::u16string destination, unknown;
};

// The line and both buffers in heap blocks of their exact size, so ASan sees any unit past them.
Reading Read(const std::u16string& line, int destinationCapacity, int unknownCapacity)
{
    std::unique_ptr<char16_t[]> text(new char16_t[line.size() + 1]);
    std::copy(line.begin(), line.end(), text.get());
    text[line.size()] = 0;
    std::vector<char16_t> fill(static_cast<size_t>(destinationCapacity), kFill);
    std::unique_ptr<char16_t[]> destination(new char16_t[fill.size()]);
    std::copy(fill.begin(), fill.end(), destination.get());
    std::unique_ptr<char16_t[]> unknown(new char16_t[static_cast<size_t>(unknownCapacity)]);
    std::fill(unknown.get(), unknown.get() + unknownCapacity, kFill);

    Reading r;
    r.flags = ReadCommandLine(text.get(), destination.get(), destinationCapacity, unknown.get(), unknownCapacity);
    if (r.flags.hasDestination) {
        r.destination = destination.get();
    } else if (!std::equal(fill.begin(), fill.end(), destination.get())) {
        ModelMismatch("a destination not taken is left as it was", "untouched", "written");
    }
    if (unknownCapacity > 0)
        r.unknown = unknown.get();
    return r;
}

bool IsAbsoluteFolder(const std::u16string& folder)
{
    bool drive = folder.size() >= 3 && ((folder[0] | 0x20) >= u'a' && (folder[0] | 0x20) <= u'z') &&
                 folder[1] == u':' && (folder[2] == u'\\' || folder[2] == u'/');
    return drive || folder.compare(0, 2, u"\\\\") == 0;
}

// Promises that hold for any line: a taken folder is the line's tail and a usable path, a
// refused argument is named, and letter case changes nothing but the texts' own letters.
void CheckAnyLine(const std::u16string& line, int destinationCapacity, int unknownCapacity)
{
    Reading r = Read(line, destinationCapacity, unknownCapacity);
    if (r.flags.hasDestination) {
        ExpectSame("a taken folder leaves the line understood", true, r.flags.understood);
        std::u16string tail = u"/D=" + r.destination;
        std::u16string trimmed = Upper(TrimEnd(line));
        ExpectSame("a taken folder is the rest of the line after /D=", true,
                   trimmed.size() >= tail.size() && trimmed.compare(trimmed.size() - tail.size(), tail.size(),
                                                                    Upper(tail)) == 0);
        ExpectSame("a taken folder fits, is absolute, has no quote and no trailing blank", true,
                   static_cast<int>(r.destination.size()) < destinationCapacity && IsAbsoluteFolder(r.destination) &&
                       r.destination.find(u'"') == std::u16string::npos && !IsBlank(r.destination.back()));
    }
    if (unknownCapacity >= 2) {
        ExpectSame("an argument is named exactly when one is not understood", !r.flags.understood,
                   !r.unknown.empty());
        ExpectSame("the named argument stands in the line", true,
                   r.unknown.empty() || (!IsBlank(r.unknown[0]) && line.find(r.unknown) != std::u16string::npos));
    }
    Reading upper = Read(Upper(line), destinationCapacity, unknownCapacity);
    ExpectSame("upper case: understood", r.flags.understood, upper.flags.understood);
    ExpectSame("upper case: silent", r.flags.silent, upper.flags.silent);
    ExpectSame("upper case: usage", r.flags.usage, upper.flags.usage);
    ExpectSame("upper case: destination", r.flags.hasDestination, upper.flags.hasDestination);
    ExpectUnits("upper case: folder", Upper(r.destination), upper.destination);
    ExpectUnits("upper case: named argument", Upper(r.unknown), upper.unknown);
}

// Units that matter to the reader, and a few that only look as if they might.
// A lone surrogate too: GetCommandLineW hands over whatever units the caller passed.
const char16_t kAlphabet[] = {u' ', u'\t', u'"', u'\\', u'/', u':', u'=', u'?', u'S', u's', u'D', u'd',
                              u'C', u'x', u'.', 0x017F, 0x0421, 0xD800, 0x00A0};

std::u16string Some(FuzzedDataProvider& input, size_t most, const std::u16string& without)
{
    std::u16string text;
    size_t length = input.ConsumeIntegralInRange<size_t>(0, most);
    while (text.size() < length && input.remaining_bytes() > 0) {
        char16_t c = kAlphabet[input.ConsumeIntegralInRange<size_t>(0, sizeof kAlphabet / sizeof kAlphabet[0] - 1)];
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

// A line assembled from a program path, known switches, perhaps one argument that is not one,
// perhaps /D= with a folder: what went in is what must come out.
void CheckAssembledLine(FuzzedDataProvider& input, int destinationCapacity, int unknownCapacity)
{
    bool quoted = input.ConsumeBool();
    std::u16string line = quoted ? u"\"" + Some(input, 12, u"\"") + u"\"" : Some(input, 12, u" \t\"");
    // Only a closing quote ends an argument without a blank.
    const size_t pathEnd = line.size();
    auto separator = [&] { return Blanks(input, quoted && line.size() == pathEnd ? 0 : 1); };
    bool silent = false, usage = false;
    std::u16string stranger;
    for (int n = input.ConsumeIntegralInRange<int>(0, 4); n > 0 && stranger.empty(); --n) {
        std::u16string argument;
        switch (input.ConsumeIntegralInRange<int>(0, 3)) {
        case 0: argument = u"/S"; silent = true; break;
        case 1: argument = u"/s"; silent = true; break;
        case 2: argument = u"/?"; usage = true; break;
        default:
            argument = Some(input, 8, u" \t");
            std::u16string upper = Upper(argument);
            if (argument.empty() || upper == u"/S" || upper == u"/?" || upper.compare(0, 3, u"/D=") == 0)
                continue;
            stranger = argument;
        }
        line += separator() + argument;
    }
    std::u16string folder, destinationSwitch = u"/D=";
    bool withFolder = stranger.empty() && input.ConsumeBool();
    if (withFolder) {
        const char16_t* starts[] = {u"C:\\", u"z:/", u"\\\\", u"C:", u"\\", u""};
        folder = starts[input.ConsumeIntegralInRange<int>(0, 5)] + Some(input, 600, u"");
        destinationSwitch = input.ConsumeBool() ? u"/D=" : u"/d=";
        line += separator() + destinationSwitch + folder;
    }
    folder = TrimEnd(folder);
    bool taken = withFolder && IsAbsoluteFolder(folder) && folder.find(u'"') == std::u16string::npos &&
                 static_cast<int>(folder.size()) < destinationCapacity;
    if (withFolder && !taken)
        stranger = destinationSwitch + folder;

    Reading r = Read(line, destinationCapacity, unknownCapacity);
    ExpectSame("assembled: understood", stranger.empty(), r.flags.understood);
    ExpectSame("assembled: silent", silent, r.flags.silent);
    ExpectSame("assembled: usage", usage, r.flags.usage);
    ExpectSame("assembled: destination taken", taken, r.flags.hasDestination);
    ExpectUnits("assembled: folder", taken ? folder : u"", r.destination);
    if (unknownCapacity > 0)
        ExpectUnits("assembled: named argument", Cut(stranger, unknownCapacity), r.unknown);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    bool assembled = input.ConsumeBool();
    int destinationCapacity = input.ConsumeIntegralInRange<int>(0, 600);
    int unknownCapacity = input.ConsumeIntegralInRange<int>(0, 80);
    if (assembled) {
        CheckAssembledLine(input, destinationCapacity, unknownCapacity);
        return 0;
    }
    std::string bytes = input.ConsumeRemainingBytesAsString();
    std::u16string line;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        char16_t unit = static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) | static_cast<uint8_t>(bytes[i + 1]) << 8);
        if (unit == 0)
            break;
        line += unit;
    }
    CheckAnyLine(line, destinationCapacity, unknownCapacity);
    return 0;
}
