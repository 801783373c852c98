// The setup's pure text functions as one table (function, capacity, input, expected), under ASan and UBSan.
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "dialogs/terms_lines.h"
#include "package/resource_name.h"
#include "setup/command_line.h"
#include "setup/paths.h"

namespace {

using Text = std::u16string;
const int kDestination = 512;  // the setup's destination buffer, NUL included

// A buffer of capacity units holding text (and its NUL, if it fits), then a guard that must survive the call.
struct Buffer {
    Buffer(int capacity, const Text& text) : units(Text(text + u'\0', 0, capacity)), size(capacity)
    {
        units.resize(capacity + 1, u'#');
    }
    Text Result(bool whole)
    {
        return Text(units.c_str()) + (whole ? u"" : u"|cut") + (units[size] == u'#' ? u"" : u"|past capacity");
    }
    Text units;
    int size;
};

// What fn makes of args, as one text: the result, then "|cut" where the call said it did not fit.
Text Call(const std::string& fn, int capacity, std::vector<Text> args)
{
    Buffer out(capacity, fn == "append" || fn == "ensure" ? args[0] : u"");
    if (fn == "copy")
        return out.Result(CopyText(&out.units[0], capacity, args[0].c_str()));
    if (fn == "append")
        return out.Result(AppendText(&out.units[0], capacity, args[1].c_str()));
    if (fn == "ensure")
        return out.Result(EnsureTrailingBackslash(&out.units[0], capacity));
    if (fn == "format") {
        std::vector<const char16_t*> list;
        for (size_t i = 1; i < args.size(); ++i)
            list.push_back(args[i].c_str());
        return out.Result(FormatText(&out.units[0], capacity, args[0].c_str(), list.data(), int(list.size())));
    }
    if (fn == "command") {  // capacity: the unknown buffer's
        Buffer into(kDestination, Text(kDestination, u'#')), unknown(capacity, Text(capacity, u'#'));
        CommandLine got = ReadCommandLine(args[0].c_str(), &into.units[0], kDestination, &unknown.units[0], capacity);
        Text named = capacity > 0 ? unknown.Result(true) : unknown.units == u"#" ? u"" : u"|past capacity";
        return Text(got.understood ? u"ok" : u"no") + (got.silent ? u" /S" : u"") + (got.usage ? u" /?" : u"") +
               (got.hasDestination ? u" D=" + into.Result(true)
                                   : into.units != Text(kDestination + 1, u'#') ? u" touched" : u"") +
               (named.empty() ? u"" : u" unknown=" + named);
    }
    Text text = args[0];
    if (fn == "cut")
        CutAfterLastSeparator(&text[0]);
    if (fn == "unquote")
        StripEnclosingQuotes(&text[0]);
    if (fn == "name")
        MakeResourceName(&text[0]);
    if (fn != "lines")
        return text.c_str();
    Text lines;
    SplitTermsLines(&text[0], [](void* c, const char16_t* line) { *static_cast<Text*>(c) += Text(line) + u"|"; },
                    &lines);
    return lines;
}

struct Row {
    const char* fn;
    int capacity;
    std::vector<Text> args;
    Text expected;
};

TEST(Product, EveryRowGivesItsExpectedText)
{
    const Text a511(511, u'a'), a510(510, u'a'), fits = u"C:\\" + Text(kDestination - 4, u'f'), over = fits + u"f";
    const Row rows[] = {
        // Copy, append and format: cut to capacity minus one, and say so.
        {"copy", 8, {u"1234567"}, u"1234567"},
        {"copy", 8, {u"12345678"}, u"1234567|cut"},
        {"append", 8, {u"abc", u"defg"}, u"abcdefg"},
        {"append", 8, {u"abcdefg", u"h"}, u"abcdefg|cut"},
        {"append", 4, {u"abcd", u""}, u"abc"},  // a full buffer without its NUL: nothing to add, nothing cut
        {"format", 256, {u"Error: Couldn't write to '%s%s'", u"C:\\x\\", u"a.txt"}, u"Error: Couldn't write to 'C:\\x\\a.txt'"},
        {"format", 64, {u"a %s b", u"%s %d"}, u"a %s %d b"},  // an argument is never read as a format
        {"format", 64, {u"100%% %d %n %x %", u"unused"}, u"100%% %d %n %x %"},
        {"format", 64, {u"%S %5s", u"unused"}, u"%S %5s"},
        {"format", 64, {u"%s and %s and %s", u"Lumivue"}, u"Lumivue and %s and %s"},
        {"format", 64, {u"%s"}, u"%s"},
        {"format", 12, {u"Writing: %s ...", u"abcdef"}, u"Writing: ab|cut"},
        {"format", 5, {u"abcdefgh"}, u"abcd|cut"},
        {"format", 1, {u"%s", u"x"}, u"|cut"},
        {"format", 4, {u"%s%s", u"xx"}, u"xx%|cut"},
        {"format", 4, {u"%s", u"xx"}, u"xx"},
        // Destination paths.
        {"cut", 0, {u"C:\\Tools\\Lumivue\\Lumivue.exe"}, u"C:\\Tools\\Lumivue\\"},
        {"cut", 0, {u"D:Lumivue.exe"}, u"D:"},
        {"cut", 0, {u"D:\\Lumivue.exe"}, u"D:\\"},
        {"cut", 0, {u"C:\\dir\\"}, u"C:\\dir\\"},
        {"cut", 0, {u"Lumivue.exe"}, u""},
        {"cut", 0, {u""}, u""},
        {"cut", 0, {u"\\\\server\\share\\x.exe"}, u"\\\\server\\share\\"},
        {"ensure", 16, {u"C:\\Tools"}, u"C:\\Tools\\"},
        {"ensure", 16, {u"C:\\Tools\\"}, u"C:\\Tools\\"},
        {"ensure", 4, {u""}, u"\\"},
        {"ensure", 512, {a511}, a511 + u"|cut"},
        {"ensure", 512, {a510 + u"\\"}, a510 + u"\\"},
        {"ensure", 512, {a510}, a510 + u"\\"},
        {"unquote", 0, {u"\"C:\\Tools\\Lumivue\\Lumivue.exe\""}, u"C:\\Tools\\Lumivue\\Lumivue.exe"},
        {"unquote", 0, {u"\"C:\\a b\\x.exe\" /quiet"}, u"C:\\a b\\x.exe"},
        {"unquote", 0, {u"\"C:\\open"}, u"C:\\open"},
        {"unquote", 0, {u"C:\\plain\\x.exe"}, u"C:\\plain\\x.exe"},
        {"unquote", 0, {u"\""}, u""},
        {"unquote", 0, {u"\"\""}, u""},
        // The command line: switches after the program path; a folder taken whole or refused.
        {"command", 32, {u""}, u"ok"},
        {"command", 32, {u"Setup.exe"}, u"ok"},
        {"command", 32, {u"\"C:\\My Downloads\\Setup.exe\""}, u"ok"},
        {"command", 32, {u"\"C:\\My Downloads\\Setup.exe\" /S"}, u"ok /S"},
        {"command", 32, {u"\"C:\\a b\\Setup.exe\"/s"}, u"ok /S"},
        {"command", 32, {u"Setup.exe\t/S \t/S  "}, u"ok /S"},
        {"command", 32, {u"C:\\tools/S\\Setup.exe"}, u"ok"},
        {"command", 32, {u"\"C:\\open /S"}, u"ok"},
        {"command", 32, {u" /S"}, u"ok /S"},  // an empty program path, as Windows reads it
        {"command", 32, {u"Setup.exe /?"}, u"ok /?"},
        {"command", 32, {u"Setup.exe /S /D=C:\\Program Files\\Lumivue"}, u"ok /S D=C:\\Program Files\\Lumivue"},
        {"command", 32, {u"Setup.exe /d=C:\\a  b\\ \t "}, u"ok D=C:\\a  b\\"},
        {"command", 32, {u"Setup.exe /D=C:\\x /S"}, u"ok D=C:\\x /S"},
        {"command", 32, {u"Setup.exe /D=C:\\Программы\\Lumivue"}, u"ok D=C:\\Программы\\Lumivue"},
        {"command", 32, {u"Setup.exe /D=\\\\server\\apps\\Lumivue"}, u"ok D=\\\\server\\apps\\Lumivue"},
        {"command", 32, {u"Setup.exe /D=d:/Lumivue"}, u"ok D=d:/Lumivue"},
        {"command", 32, {u"Setup.exe /X"}, u"no unknown=/X"},
        {"command", 32, {u"Setup.exe /X /D=C:\\x /S"}, u"no unknown=/X"},
        {"command", 32, {u"Setup.exe /X /s"}, u"no /S unknown=/X"},
        {"command", 32, {u"Setup.exe /S /Silent /D=C:\\x"}, u"no /S unknown=/Silent"},
        {"command", 32, {u"Setup.exe /? C:\\x"}, u"no /? unknown=C:\\x"},
        {"command", 32, {u"Setup.exe S"}, u"no unknown=S"},
        {"command", 32, {u"Setup.exe /\u017F"}, u"no unknown=/\u017F"},  // long s folds to S outside ASCII
        {"command", 32, {u"Setup.exe /D"}, u"no unknown=/D"},
        {"command", 32, {u"Setup.exe /D="}, u"no unknown=/D="},
        {"command", 32, {u"Setup.exe /D= \t "}, u"no unknown=/D="},
        {"command", 32, {u"Setup.exe /D=\"C:\\a b\""}, u"no unknown=/D=\"C:\\a b\""},
        {"command", 32, {u"Setup.exe /D=C:\\a\"b"}, u"no unknown=/D=C:\\a\"b"},
        {"command", 32, {u"Setup.exe /D= C:\\x"}, u"no unknown=/D= C:\\x"},
        {"command", 32, {u"Setup.exe /D=Lumivue"}, u"no unknown=/D=Lumivue"},
        {"command", 32, {u"Setup.exe /D=C:Lumivue"}, u"no unknown=/D=C:Lumivue"},
        {"command", 32, {u"Setup.exe /D=\\Lumivue"}, u"no unknown=/D=\\Lumivue"},
        {"command", 32, {u"Setup.exe \"/D=C:\\a b\""}, u"no unknown=\"/D=C:\\a"},
        {"command", 32, {u"Setup.exe /D=" + fits}, u"ok D=" + fits},
        {"command", 32, {u"Setup.exe /D=" + fits + u"  "}, u"ok D=" + fits},
        {"command", 32, {u"Setup.exe /D=" + over}, u"no unknown=/D=" + over.substr(0, 28)},
        {"command", 1, {u"Setup.exe /D=" + over}, u"no"},
        {"command", 0, {u"Setup.exe /D=" + over}, u"no"},
        // Payload entry names: letters keep their case, every other UTF-16 unit becomes '_'.
        {"name", 0, {u"Uninst.bat"}, u"Uninst_bat"},
        {"name", 0, {u"Dutch - Nederlands.language"}, u"Dutch___Nederlands_language"},
        {"name", 0, {u"French - Fran\u00E7ais.language"}, u"French___Fran_ais_language"},
        {"name", 0, {u"a\\b.txt"}, u"a_b_txt"},
        {"name", 0, {u"12-3."}, u"_____"},
        {"name", 0, {u""}, u""},
        {"name", 0, {u"\u041F\u0440\u043E\U0001F600.txt"}, u"______txt"},
        // Terms lines: a final line feed adds nothing, carriage returns stay, an empty piece ends the list.
        {"lines", 0, {u"A\nB\n"}, u"A|B|"},
        {"lines", 0, {u"A\nB"}, u"A|B|"},
        {"lines", 0, {u"A\r\nB\r\n"}, u"A\r|B\r|"},
        {"lines", 0, {u"A\n \nB\n"}, u"A| |B|"},
        {"lines", 0, {u"\u0391\u03B1\n\u65E5\u672C\n"}, u"\u0391\u03B1|\u65E5\u672C|"},
        {"lines", 0, {u"A\n\nB\n"}, u"A|"},
        {"lines", 0, {u"\nA\n"}, u""},
        {"lines", 0, {u""}, u""},
        {"lines", 0, {u"\n"}, u""},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        const Row& row = rows[i];
        Text got = Call(row.fn, row.capacity, row.args);
        EXPECT_TRUE(got == row.expected) << "row " << i << " (" << row.fn << " "
                                         << ::testing::PrintToString(row.args[0].substr(0, 60)) << "): expected "
                                         << ::testing::PrintToString(row.expected) << ", got "
                                         << ::testing::PrintToString(got);
    }
}

TEST(Product, EveryUnitButAnAsciiLetterMakesAnUnderscore)
{
    Text every, expected;
    for (int unit = 1; unit < 0x10000; ++unit) {
        bool letter = (unit >= 'A' && unit <= 'Z') || (unit >= 'a' && unit <= 'z');
        every += static_cast<char16_t>(unit);
        expected += letter ? static_cast<char16_t>(unit) : u'_';
    }
    EXPECT_TRUE(Call("name", 0, {every}) == expected) << "some unit of U+0001..U+FFFF was made wrongly";
}

}  // namespace
