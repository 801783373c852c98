// Destination path helpers: separator cut, trailing backslash within capacity, quote removal.
#include <gtest/gtest.h>
#include <string>
#include "setup/paths.h"

namespace {

std::string Cut(std::string text)
{
    CutAfterLastSeparator(&text[0]);
    return text.c_str();
}

std::string Unquote(std::string text)
{
    StripEnclosingQuotes(&text[0]);
    return text.c_str();
}

TEST(CutAfterLastSeparator, KeepsTheFolderWithItsSeparator)
{
    struct { const char* in; const char* out; } cases[] = {
        {"C:\\Tools\\Lumivue\\Lumivue.exe", "C:\\Tools\\Lumivue\\"},
        {"D:Lumivue.exe", "D:"},
        {"D:\\Lumivue.exe", "D:\\"},
        {"C:\\dir\\", "C:\\dir\\"},
        {"Lumivue.exe", ""},
        {"", ""},
        {"\\\\server\\share\\x.exe", "\\\\server\\share\\"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.out, Cut(c.in)) << "input " << c.in;
}

TEST(EnsureTrailingBackslash, AddsOneOnlyWhereMissing)
{
    char text[16] = "C:\\Tools";
    EXPECT_TRUE(EnsureTrailingBackslash(text, 16));
    EXPECT_STREQ("C:\\Tools\\", text);
    EXPECT_TRUE(EnsureTrailingBackslash(text, 16));
    EXPECT_STREQ("C:\\Tools\\", text);

    char empty[4] = "";
    EXPECT_TRUE(EnsureTrailingBackslash(empty, 4));
    EXPECT_STREQ("\\", empty);
}

TEST(EnsureTrailingBackslash, RefusesWhenTheBackslashWouldNotFit)
{
    std::string full(511, 'a');
    std::string buffer = full + '\0';
    EXPECT_FALSE(EnsureTrailingBackslash(&buffer[0], 512));
    EXPECT_EQ(full, buffer.c_str()) << "a refused append must leave the text as it was";

    std::string ends(510, 'a');
    ends += '\\';
    buffer = ends + '\0';
    EXPECT_TRUE(EnsureTrailingBackslash(&buffer[0], 512)) << "already ends in a backslash";

    std::string room(510, 'a');
    buffer = room + std::string(2, '\0');
    EXPECT_TRUE(EnsureTrailingBackslash(&buffer[0], 512));
    EXPECT_EQ(room + "\\", buffer.c_str());
}

TEST(StripEnclosingQuotes, RemovesTheQuotesOfARegisteredPath)
{
    EXPECT_EQ("C:\\Tools\\Lumivue\\Lumivue.exe", Unquote("\"C:\\Tools\\Lumivue\\Lumivue.exe\""));
    EXPECT_EQ("C:\\a b\\x.exe", Unquote("\"C:\\a b\\x.exe\" /quiet"));
    EXPECT_EQ("C:\\open", Unquote("\"C:\\open"));
    EXPECT_EQ("C:\\plain\\x.exe", Unquote("C:\\plain\\x.exe"));
    EXPECT_EQ("", Unquote("\""));
    EXPECT_EQ("", Unquote("\"\""));
}

}  // namespace
