// Destination path helpers: separator cut, trailing backslash within capacity, quote removal.
#include <gtest/gtest.h>
#include <string>
#include "setup/paths.h"

namespace {

std::u16string Cut(std::u16string text)
{
    CutAfterLastSeparator(&text[0]);
    return text.c_str();
}

std::u16string Unquote(std::u16string text)
{
    StripEnclosingQuotes(&text[0]);
    return text.c_str();
}

TEST(CutAfterLastSeparator, KeepsTheFolderWithItsSeparator)
{
    struct { const char16_t* in; const char16_t* out; } cases[] = {
        {u"C:\\Tools\\Lumivue\\Lumivue.exe", u"C:\\Tools\\Lumivue\\"},
        {u"D:Lumivue.exe", u"D:"},
        {u"D:\\Lumivue.exe", u"D:\\"},
        {u"C:\\dir\\", u"C:\\dir\\"},
        {u"Lumivue.exe", u""},
        {u"", u""},
        {u"\\\\server\\share\\x.exe", u"\\\\server\\share\\"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.out, Cut(c.in)) << "input " << ::testing::PrintToString(std::u16string(c.in));
}

TEST(EnsureTrailingBackslash, AddsOneOnlyWhereMissing)
{
    char16_t text[16] = u"C:\\Tools";
    EXPECT_TRUE(EnsureTrailingBackslash(text, 16));
    EXPECT_EQ(std::u16string(u"C:\\Tools\\"), text);
    EXPECT_TRUE(EnsureTrailingBackslash(text, 16));
    EXPECT_EQ(std::u16string(u"C:\\Tools\\"), text);

    char16_t empty[4] = u"";
    EXPECT_TRUE(EnsureTrailingBackslash(empty, 4));
    EXPECT_EQ(std::u16string(u"\\"), empty);
}

TEST(EnsureTrailingBackslash, RefusesWhenTheBackslashWouldNotFit)
{
    std::u16string full(511, 'a');
    std::u16string buffer = full + u'\0';
    EXPECT_FALSE(EnsureTrailingBackslash(&buffer[0], 512));
    EXPECT_EQ(full, buffer.c_str()) << "a refused append must leave the text as it was";

    std::u16string ends(510, 'a');
    ends += '\\';
    buffer = ends + u'\0';
    EXPECT_TRUE(EnsureTrailingBackslash(&buffer[0], 512)) << "already ends in a backslash";

    std::u16string room(510, 'a');
    buffer = room + std::u16string(2, '\0');
    EXPECT_TRUE(EnsureTrailingBackslash(&buffer[0], 512));
    EXPECT_EQ(room + u"\\", buffer.c_str());
}

TEST(StripEnclosingQuotes, RemovesTheQuotesOfARegisteredPath)
{
    EXPECT_EQ(u"C:\\Tools\\Lumivue\\Lumivue.exe", Unquote(u"\"C:\\Tools\\Lumivue\\Lumivue.exe\""));
    EXPECT_EQ(u"C:\\a b\\x.exe", Unquote(u"\"C:\\a b\\x.exe\" /quiet"));
    EXPECT_EQ(u"C:\\open", Unquote(u"\"C:\\open"));
    EXPECT_EQ(u"C:\\plain\\x.exe", Unquote(u"C:\\plain\\x.exe"));
    EXPECT_EQ(u"", Unquote(u"\""));
    EXPECT_EQ(u"", Unquote(u"\"\""));
}

}  // namespace
