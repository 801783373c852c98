// The setup's pure text functions as one table (function, capacity, inputs, expected), under ASan and UBSan.
#include <gtest/gtest.h>
#include <cstdio>
#include <lzma.h>
#include <sstream>
#include <string>
#include <vector>
#include "dialogs/terms_lines.h"
#include "package/crc32c.h"
#include "package/lzma.h"
#include "package/resource_name.h"
#include "setup/command_line.h"
#include "setup/paths.h"

namespace {

using Text = std::u16string;
const int kDestination = 512;  // the setup's destination buffer, NUL included

// capacity units holding text (and its NUL, if it fits), then a guard unit that the call must leave alone.
Text Buffer(int capacity, const Text& text)
{
    Text units(text + u'\0', 0, capacity);
    units.resize(capacity + 1, u'#');
    return units;
}

Text Result(const Text& units, bool whole)
{
    return Text(units.c_str()) + (whole ? u"" : u"|cut") + (units.back() == u'#' ? u"" : u"|past capacity");
}

// 12 KB ending in a literal, encoded by liblzma (lc 3, lp 0, pb 0), edited by the row's words and decoded: "end"
// with the bytes, "damaged" (within the bytes or after them) or "refused". Words: "preset" encodes after a byte the
// decoder never had; "cut=N" drops the last N bytes, "keep=N" keeps N; "short=N" asks for the marker N bytes early; "I=V".
Text Lzma(int window, const Text& row)
{
    std::string edits(row.begin(), row.end()), data = "b", edit;
    for (int i = 0; data.size() < 12000; ++i)
        data += i < 20 ? "ab" : std::to_string(i * i % 1009) + ' ';
    data += '!';
    lzma_options_lzma options;
    lzma_lzma_preset(&options, 6);
    options.dict_size = 4096, options.pb = 0, options.preset_dict = reinterpret_cast<const uint8_t*>("a");
    options.preset_dict_size = edits.find("preset") != std::string::npos;  // data's "abab..." from the byte before
    lzma_filter filters[] = {{LZMA_FILTER_LZMA1, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    std::vector<uint8_t> block(20000), bytes(window);
    size_t size = 5, total = data.size();
    lzma_properties_encode(filters, block.data());
    lzma_raw_buffer_encode(filters, nullptr, reinterpret_cast<const uint8_t*>(data.data()), total, block.data(), &size, block.size());
    for (std::istringstream in(edits); in >> edit;) {
        unsigned at, n;
        size = std::sscanf(edit.c_str(), "cut=%u", &n) ? size - n : std::sscanf(edit.c_str(), "keep=%u", &n) ? n : size;
        total -= std::sscanf(edit.c_str(), "short=%u", &n) ? n : 0;
        if (std::sscanf(edit.c_str(), "%u=%u", &at, &n) == 2)
            block[at] = static_cast<uint8_t>(n);
    }
    static LzmaDecoder decoder;
    if (!StartLzma(&decoder, block.data(), size, bytes.data(), window))
        return u"refused";
    LzmaStatus status = DecodeLzma(&decoder, total);
    std::string out(bytes.begin(), bytes.begin() + decoder.pos);
    status = status == kLzmaRoom ? DecodeLzma(&decoder, decoder.pos) : status;
    return status == kLzmaEnd ? (out == data ? u"end" : u"end|other bytes")
                              : out.size() < total ? u"damaged" : u"damaged after the bytes";
}

// The CRC-32C of the text's units as bytes, in hex, then "|differs" if chained calls split anywhere, by either way
// (the instruction's where the processor has it, and the table's) at any alignment, give another.
Text Crc(const Text& text)
{
    StartCrc32c();
    std::vector<unsigned char> bytes(text.begin(), text.end()), moved(bytes.size() + 4);
    const size_t n = bytes.size();
    const unsigned whole = UpdateCrc32c(0, bytes.data(), n);
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08X", whole);
    for (size_t at = 0; at < 4; ++at) {
        const unsigned char* b = &moved[at];
        std::copy(bytes.begin(), bytes.end(), moved.begin() + at);
        for (size_t cut = 0; cut <= n; ++cut) {
            if (UpdateCrc32c(UpdateCrc32c(0, b, cut), b + cut, n - cut) != whole ||
                UpdateCrc32cByTable(UpdateCrc32cByTable(0, b, cut), b + cut, n - cut) != whole)
                return Text(hex, hex + 8) + u"|differs";
        }
    }
    return Text(hex, hex + 8);
}

// What fn makes of args, as one text: its result, then "|cut" where the call said the result did not fit.
Text Call(const std::string& fn, int capacity, std::vector<Text> args)
{
    if (fn == "lzma")
        return Lzma(capacity, args[0]);
    Text out = Buffer(capacity, fn == "append" || fn == "ensure" ? args[0] : u""), text = args[0], lines;
    std::vector<const char16_t*> more;
    for (size_t i = 1; i < args.size(); ++i)
        more.push_back(args[i].c_str());
    if (fn == "copy")
        return Result(out, CopyText(&out[0], capacity, text.c_str()));
    if (fn == "append")
        return Result(out, AppendText(&out[0], capacity, more[0]));
    if (fn == "ensure")
        return Result(out, EnsureTrailingBackslash(&out[0], capacity));
    if (fn == "format")
        return Result(out, FormatText(&out[0], capacity, text.c_str(), more.data(), int(more.size())));
    if (fn == "command") {  // capacity: the unknown buffer's; the destination one is the setup's
        Text into = Buffer(kDestination, Text(kDestination, u'#')), unknown = Buffer(capacity, Text(capacity, u'#'));
        CommandLine got = ReadCommandLine(text.c_str(), &into[0], kDestination, &unknown[0], capacity);
        Text named = capacity > 0 ? Result(unknown, true) : unknown == u"#" ? u"" : u"|past capacity";
        return Text(got.understood ? u"ok" : u"no") + (got.silent ? u" /S" : u"") + (got.progress ? u" /P" : u"") +
               (got.usage ? u" /?" : u"") +
               (got.hasDestination ? u" D=" + Result(into, true) : into != Text(kDestination + 1, u'#') ? u" touched" : u"") +
               (named.empty() ? u"" : u" unknown=" + named);
    }
    if (fn == "folder")  // a folder typed in the destination dialog, by the rules of /D=
        return Result(out, TakeFolder(text.c_str(), &out[0], capacity)) +
               (IsAbsolutePath(text.c_str(), int(text.size())) ? u"|absolute" : u"");
    if (fn == "inside")
        return IsNameInside(text.c_str(), int(text.size())) ? u"inside" : u"outside";
    if (fn == "crc")
        return Crc(text);
    if (fn == "cut")
        CutAfterLastSeparator(&text[0]);
    if (fn == "unquote")
        StripEnclosingQuotes(&text[0]);
    if (fn == "name")
        MakeResourceName(&text[0]);
    if (fn != "lines")
        return text.c_str();
    SplitTermsLines(&text[0], [](void* c, const char16_t* line) { *static_cast<Text*>(c) += Text(line) + u"|"; }, &lines);
    return lines;
}

struct Row { const char* fn; int capacity; std::vector<Text> args; Text expected; };

TEST(Product, EveryRowGivesItsExpectedText)
{
    const Text a511(511, u'a'), a510(510, u'a'), fits = u"C:\\" + Text(kDestination - 5, u'f'), over = fits + u"f";
    Text every, made;  // every UTF-16 unit but NUL, and the name the rule makes of them
    for (char16_t unit = 1; unit != 0; ++unit)
        every += unit, made += (unit >= 'A' && unit <= 'Z') || (unit >= 'a' && unit <= 'z') ? unit : u'_';
    std::vector<Row> rows = {
        // Copy, append and format: cut to capacity minus one, and say so.
        {"copy", 8, {u"1234567"}, u"1234567"},
        {"copy", 8, {u"12345678"}, u"1234567|cut"},
        {"append", 8, {u"abc", u"defg"}, u"abcdefg"},
        {"append", 8, {u"abcdefg", u"h"}, u"abcdefg|cut"},
        {"append", 4, {u"abcd", u""}, u"abc"},  // a full buffer without its NUL: nothing to add, nothing cut
        {"format", 256, {u"Error: Couldn't write to '%s%s'", u"C:\\x\\", u"a.txt"}, u"Error: Couldn't write to 'C:\\x\\a.txt'"},
        {"format", 64, {u"a %s b", u"%s %d"}, u"a %s %d b"},  // an argument is never read as a format
        {"format", 64, {u"100%% %d %n %x %S %5s %", u"unused"}, u"100%% %d %n %x %S %5s %"},
        {"format", 64, {u"%s and %s and %s", u"Lumivue"}, u"Lumivue and %s and %s"},
        {"format", 64, {u"%s"}, u"%s"},
        {"format", 12, {u"Writing: %s ...", u"abcdef"}, u"Writing: ab|cut"},
        {"format", 5, {u"abcdefgh"}, u"abcd|cut"},
        {"format", 1, {u"%s", u"x"}, u"|cut"},
        {"format", 4, {u"%s%s", u"xx"}, u"xx%|cut"},
        {"format", 4, {u"%s", u"xx"}, u"xx"},
        {"cut", 0, {u"C:\\Tools\\Lumivue\\Lumivue.exe"}, u"C:\\Tools\\Lumivue\\"},
        {"cut", 0, {u"D:Lumivue.exe"}, u"D:"},
        {"cut", 0, {u"D:\\Lumivue.exe"}, u"D:\\"},
        {"cut", 0, {u"C:\\dir\\"}, u"C:\\dir\\"},
        {"cut", 0, {u"Lumivue.exe", u""}, u""},
        {"cut", 0, {u"\\\\server\\share\\x.exe"}, u"\\\\server\\share\\"},
        {"ensure", 16, {u"C:\\Tools", u"C:\\Tools\\"}, u"C:\\Tools\\"},
        {"ensure", 4, {u""}, u"\\"},
        {"ensure", 512, {a511}, a511 + u"|cut"},
        {"ensure", 512, {a510 + u"\\", a510}, a510 + u"\\"},
        {"unquote", 0, {u"\"C:\\Tools\\Lumivue\\Lumivue.exe\""}, u"C:\\Tools\\Lumivue\\Lumivue.exe"},
        {"unquote", 0, {u"\"C:\\a b\\x.exe\" /quiet"}, u"C:\\a b\\x.exe"},
        {"unquote", 0, {u"\"C:\\open"}, u"C:\\open"},
        {"unquote", 0, {u"C:\\plain\\x.exe"}, u"C:\\plain\\x.exe"},
        {"unquote", 0, {u"\"", u"\"\""}, u""},
        // The command line: switches after the program path; a folder taken whole or refused.
        {"command", 32, {u"", u"Setup.exe", u"\"C:\\My Downloads\\Setup.exe\""}, u"ok"},
        {"command", 32, {u"C:\\tools/S\\Setup.exe", u"\"C:\\open /S"}, u"ok"},  // within the program path
        {"command", 32, {u"\"C:\\My Downloads\\Setup.exe\" /S", u"\"C:\\a b\\Setup.exe\"/s"}, u"ok /S"},
        {"command", 32, {u"Setup.exe\t/S \t/S  ", u" /S"}, u"ok /S"},  // " /S": an empty program path
        {"command", 32, {u"Setup.exe /?"}, u"ok /?"},
        {"command", 32, {u"Setup.exe /S /D=C:\\Program Files\\Lumivue"}, u"ok /S D=C:\\Program Files\\Lumivue"},
        {"command", 32, {u"Setup.exe /d=C:\\a  b\\ \t "}, u"ok D=C:\\a  b\\"},
        {"command", 32, {u"Setup.exe /X /D=C:\\x /S"}, u"no unknown=/X"},
        {"command", 32, {u"Setup.exe /X /s"}, u"no /S unknown=/X"},
        {"command", 32, {u"Setup.exe /p /D=C:\\x", u"Setup.exe /S /P /D=C:\\x"}, u"ok /S /P D=C:\\x"},
        {"command", 32, {u"Setup.exe /X /P"}, u"no /S unknown=/X"},
        {"command", 32, {u"Setup.exe /S /Silent /D=C:\\x"}, u"no /S unknown=/Silent"},
        {"command", 32, {u"Setup.exe /? C:\\x"}, u"no /? unknown=C:\\x"},
        {"command", 32, {u"Setup.exe /D= \t "}, u"no unknown=/D="},
        {"command", 32, {u"Setup.exe \"/D=C:\\a b\""}, u"no unknown=\"/D=C:\\a"},
        {"command", 32, {u"Setup.exe /D=" + fits, u"Setup.exe /D=" + fits + u"  "}, u"ok D=" + fits},
        {"command", 32, {u"Setup.exe /D=" + over}, u"no unknown=/D=" + over.substr(0, 28)},
        {"command", 1, {u"Setup.exe /D=" + over}, u"no"},
        {"command", 0, {u"Setup.exe /D=" + over}, u"no"},
        // A typed folder: trailing blanks dropped, then whole, absolute, unquoted and with room for a backslash.
        {"folder", 8, {u"C:\\a  \t"}, u"C:\\a|absolute"},
        {"folder", 8, {u"C:\\abc", u"C:\\abc "}, u"C:\\abc|absolute"},
        {"folder", 8, {u"C:\\abcd"}, u"|cut|absolute"},
        {"folder", 32, {u"", u"a\\b", u"\\a", u"C:a", u"\\\\", u"\\\\server", u"\\\\server\\", u"\\\\\\x\\y"}, u"|cut"},
        {"folder", 32, {u"C:\\\"a\""}, u"|cut|absolute"},
        {"folder", 32, {u"\\\\s\\x"}, u"\\\\s\\x|absolute"},
        // A recorded name stays inside the destination, whatever a damaged record says.
        {"inside", 0, {u"a.txt", u"docs\\a.txt", u"docs\\", u"a..b.txt", u"docs\\.x"}, u"inside"},
        {"inside", 0, {u"", u"\\a", u"/a", u"..\\a", u"a\\..\\b", u"a/../b", u"C:a", u"a:stream", u".."}, u"outside"},
        // Payload entry names: letters keep their case, every other UTF-16 unit becomes '_' (all of them).
        {"name", 0, {u"Uninst.bat"}, u"Uninst_bat"},
        {"name", 0, {u""}, u""},
        {"name", 0, {every}, made},
        {"name", 0, {u"\u041F\u0440\u043E\U0001F600.txt"}, u"______txt"},
        // CRC-32C: the check value, and the same whatever the pieces, the way and the alignment.
        {"crc", 0, {u"123456789"}, u"E3069283"},
        {"crc", 0, {u"The quick brown fox jumps over the lazy dog"}, u"22620404"},
        // Terms lines: a final line feed adds nothing, carriage returns stay, an empty piece ends the list.
        {"lines", 0, {u"A\nB\n", u"A\nB"}, u"A|B|"},
        {"lines", 0, {u"A\r\nB\r\n"}, u"A\r|B\r|"},
        {"lines", 0, {u"A\n \nB\n"}, u"A| |B|"},
        {"lines", 0, {u"\u0391\u03B1\n\u65E5\u672C\n"}, u"\u0391\u03B1|\u65E5\u672C|"},
        {"lines", 0, {u"A\n\nB\n"}, u"A|"},
        {"lines", 0, {u"\nA\n", u"", u"\n"}, u""},
        // A block: damaged cut, asked for its marker early or reaching before its start; refused out of bounds.
        {"lzma", 16384, {u""}, u"end"},
        {"lzma", 16384, {u"cut=1", u"cut=3", u"short=1"}, u"damaged after the bytes"},
        {"lzma", 16384, {u"cut=300", u"preset", u"keep=10"}, u"damaged"},
        {"lzma", 16384, {u"0=13", u"0=225", u"5=1", u"keep=9", u"3=1"}, u"refused"},
        {"lzma", (16 << 20) + 1, {u"2=0 4=1"}, u"end"},
        {"lzma", (16 << 20) + 1, {u"1=1 2=0 4=1"}, u"refused"},
    };
    // A folder taken whole; the first argument not understood named as it stands (long s folds to S outside ASCII).
    for (Text folder : {u"C:\\x /S", u"C:\\Программы\\Lumivue", u"\\\\server\\apps\\Lumivue", u"d:/Lumivue"})
        rows.push_back({"command", 32, {u"Setup.exe /D=" + folder}, u"ok D=" + folder});
    for (Text argument : {u"/X", u"S", u"/\u017F", u"/D", u"/D=", u"/D=\"C:\\a b\"", u"/D=C:\\a\"b", u"/D= C:\\x",
                          u"/D=Lumivue", u"/D=C:Lumivue", u"/D=\\Lumivue"})
        rows.push_back({"command", 32, {u"Setup.exe " + argument}, u"no unknown=" + argument});
    // Append and format take the texts as one call's; every other function takes each text in a call of its own.
    for (const Row& row : rows) {
        bool oneCall = std::string(row.fn) == "append" || std::string(row.fn) == "format";
        for (size_t i = 0; i < (oneCall ? 1 : row.args.size()); ++i)
            EXPECT_EQ(row.expected, Call(row.fn, row.capacity, oneCall ? row.args : std::vector<Text>{row.args[i]}))
                << "row " << &row - rows.data() << ": " << row.fn << " of " << testing::PrintToString(row.args[i]);
    }
}

}  // namespace
