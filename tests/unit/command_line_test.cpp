// The setup's command line: which switches count, what the program path hides, and which folders are refused.
#include <gtest/gtest.h>
#include <string>
#include "setup/command_line.h"

namespace {

const int kDestination = 512;  // the setup's destination buffer, NUL included
const int kUnknown = 32;

std::string Visible(const std::u16string& text)
{
    return ::testing::PrintToString(text);
}

struct Row {
    const char16_t* line;
    bool understood, silent, usage;
    const char16_t* destination;  // null: none taken, the buffer left as it was
    const char16_t* unknown;
};

// Reads line into buffers one unit larger than their capacity, the extra unit a guard.
std::string Read(const std::u16string& line, int destinationCapacity, int unknownCapacity, CommandLine* flags,
                 std::u16string* destination, std::u16string* unknown)
{
    std::u16string into(destinationCapacity + 1, u'#'), named(unknownCapacity + 1, u'#');
    *flags = ReadCommandLine(line.c_str(), &into[0], destinationCapacity, &named[0], unknownCapacity);
    *destination = flags->hasDestination ? std::u16string(into.c_str()) : into;
    *unknown = named.c_str();
    std::string fault;
    if (into.back() != u'#' || named.back() != u'#')
        fault = "wrote past a capacity; ";
    if (!flags->hasDestination && into != std::u16string(destinationCapacity + 1, u'#'))
        fault += "changed a destination it did not take; ";
    return fault;
}

TEST(ReadCommandLine, SwitchesAfterTheProgramPath)
{
    const Row rows[] = {
        {u"", true, false, false, nullptr, u""},
        {u"Setup.exe", true, false, false, nullptr, u""},
        {u"\"C:\\My Downloads\\Setup.exe\"", true, false, false, nullptr, u""},
        {u"\"C:\\My Downloads\\Setup.exe\" /S", true, true, false, nullptr, u""},
        {u"\"C:\\a b\\Setup.exe\"/s", true, true, false, nullptr, u""},
        {u"Setup.exe\t/S \t/S  ", true, true, false, nullptr, u""},
        {u"C:\\tools/S\\Setup.exe", true, false, false, nullptr, u""},
        {u"\"C:\\open /S", true, false, false, nullptr, u""},
        {u" /S", true, true, false, nullptr, u""},  // an empty program path, as Windows reads it
        {u"Setup.exe /?", true, false, true, nullptr, u""},
        {u"Setup.exe /S /D=C:\\Program Files\\Lumivue", true, true, false, u"C:\\Program Files\\Lumivue", u""},
        {u"Setup.exe /d=C:\\a  b\\ \t ", true, false, false, u"C:\\a  b\\", u""},
        {u"Setup.exe /D=C:\\x /S", true, false, false, u"C:\\x /S", u""},
        {u"Setup.exe /D=C:\\Программы\\Lumivue", true, false, false, u"C:\\Программы\\Lumivue", u""},
        {u"Setup.exe /D=\\\\server\\apps\\Lumivue", true, false, false, u"\\\\server\\apps\\Lumivue", u""},
        {u"Setup.exe /D=d:/Lumivue", true, false, false, u"d:/Lumivue", u""},
        {u"Setup.exe /X", false, false, false, nullptr, u"/X"},
        {u"Setup.exe /X /D=C:\\x /S", false, false, false, nullptr, u"/X"},
        {u"Setup.exe /X /s", false, true, false, nullptr, u"/X"},
        {u"Setup.exe /S /Silent /D=C:\\x", false, true, false, nullptr, u"/Silent"},
        {u"Setup.exe /? C:\\x", false, false, true, nullptr, u"C:\\x"},
        {u"Setup.exe S", false, false, false, nullptr, u"S"},
        {u"Setup.exe /\u017F", false, false, false, nullptr, u"/\u017F"},  // long s folds to S outside ASCII
        {u"Setup.exe /D", false, false, false, nullptr, u"/D"},
        {u"Setup.exe /D=", false, false, false, nullptr, u"/D="},
        {u"Setup.exe /D= \t ", false, false, false, nullptr, u"/D="},
        {u"Setup.exe /D=\"C:\\a b\"", false, false, false, nullptr, u"/D=\"C:\\a b\""},
        {u"Setup.exe /D=C:\\a\"b", false, false, false, nullptr, u"/D=C:\\a\"b"},
        {u"Setup.exe /D= C:\\x", false, false, false, nullptr, u"/D= C:\\x"},
        {u"Setup.exe /D=Lumivue", false, false, false, nullptr, u"/D=Lumivue"},
        {u"Setup.exe /D=C:Lumivue", false, false, false, nullptr, u"/D=C:Lumivue"},
        {u"Setup.exe /D=\\Lumivue", false, false, false, nullptr, u"/D=\\Lumivue"},
        {u"Setup.exe \"/D=C:\\a b\"", false, false, false, nullptr, u"\"/D=C:\\a"},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        const Row& row = rows[i];
        CommandLine got;
        std::u16string destination, unknown;
        std::string fault = Read(row.line, kDestination, kUnknown, &got, &destination, &unknown);
        std::u16string wanted = row.destination ? row.destination : u"";
        EXPECT_TRUE(fault.empty() && got.understood == row.understood && got.silent == row.silent &&
                    got.usage == row.usage && got.hasDestination == (row.destination != nullptr) &&
                    (!got.hasDestination || destination == wanted) && unknown == row.unknown)
            << "row " << i << " " << Visible(row.line) << ": " << fault << "expected understood " << row.understood
            << " silent " << row.silent << " usage " << row.usage << " destination "
            << (row.destination ? Visible(wanted) : "(none)") << " unknown " << Visible(row.unknown)
            << "; got " << got.understood << " " << got.silent << " " << got.usage << " "
            << (got.hasDestination ? Visible(destination) : "(none)") << " " << Visible(unknown);
    }
}

TEST(ReadCommandLine, AFolderIsTakenWholeOrRefusedAndTheUnknownIsCut)
{
    const std::u16string fits = u"C:\\" + std::u16string(kDestination - 4, u'f'), over = fits + u"f";
    struct { std::u16string folder; int unknownCapacity; bool taken; std::u16string unknown; } rows[] = {
        {fits, kUnknown, true, u""},
        {fits + u"  ", kUnknown, true, u""},
        {over, kUnknown, false, u"/D=" + over.substr(0, kUnknown - 4)},
        {over, 1, false, u""},
        {over, 0, false, u""},
    };
    for (const auto& row : rows) {
        CommandLine got;
        std::u16string destination, unknown;
        std::string fault = Read(u"Setup.exe /D=" + row.folder, kDestination, row.unknownCapacity, &got,
                                 &destination, &unknown);
        EXPECT_EQ("", fault) << row.folder.size() << " units";
        EXPECT_EQ(row.taken, got.hasDestination && got.understood && destination == fits)
            << "a folder of " << row.folder.size() << " units with capacity " << kDestination;
        if (row.unknownCapacity > 0) {
            EXPECT_EQ(Visible(row.unknown), Visible(unknown)) << "unknown capacity " << row.unknownCapacity;
        }
    }
}

}  // namespace
