// Bounded copy, append and %s-only formatting: capacity always honoured, nothing read past the arguments.
#include <gtest/gtest.h>
#include <cstring>
#include <string>
#include "setup/text.h"

namespace {

std::string Format(int capacity, const char* format, std::initializer_list<const char*> args)
{
    std::string out(capacity + 8, '#');
    std::vector<const char*> list(args);
    FormatText(&out[0], capacity, format, list.data(), static_cast<int>(list.size()));
    EXPECT_EQ('#', out[capacity]) << "wrote past capacity " << capacity;
    return out.c_str();
}

TEST(CopyAndAppend, CutToCapacityMinusOneAndSayWhetherWhole)
{
    char buffer[8];
    EXPECT_TRUE(CopyText(buffer, 8, "1234567"));
    EXPECT_STREQ("1234567", buffer);
    EXPECT_FALSE(CopyText(buffer, 8, "12345678"));
    EXPECT_STREQ("1234567", buffer);

    CopyText(buffer, 8, "abc");
    EXPECT_TRUE(AppendText(buffer, 8, "defg"));
    EXPECT_STREQ("abcdefg", buffer);
    EXPECT_FALSE(AppendText(buffer, 8, "h"));
    EXPECT_STREQ("abcdefg", buffer);
}

TEST(CopyAndAppend, CaptionOfTheLongestProductNameFits)
{
    char caption[128];
    std::string name(47, 'N');
    CopyText(caption, 128, "Installing");
    AppendText(caption, 128, " - ");
    EXPECT_TRUE(AppendText(caption, 128, name.c_str()));
    EXPECT_EQ("Installing - " + name, caption);
}

TEST(Format, SubstitutesPercentSInOrder)
{
    EXPECT_EQ("Error: Couldn't write to 'C:\\x\\a.txt'",
              Format(256, "Error: Couldn't write to '%s%s'", {"C:\\x\\", "a.txt"}));
    EXPECT_EQ("Welcome to Lumivue!", Format(256, "Welcome to %s!", {"Lumivue"}));
}

TEST(Format, ArgumentTextIsNeverInterpreted)
{
    EXPECT_EQ("a %s %d b", Format(64, "a %s b", {"%s %d"}));
}

TEST(Format, EveryOtherPercentSequenceStandsAsItIs)
{
    EXPECT_EQ("100%% %d %n %x %", Format(64, "100%% %d %n %x %", {"unused"}));
    EXPECT_EQ("%S %5s", Format(64, "%S %5s", {"unused"}));
}

TEST(Format, PercentSBeyondTheArgumentsIsPrintedNotRead)
{
    EXPECT_EQ("Lumivue and %s and %s", Format(64, "%s and %s and %s", {"Lumivue"}));
    EXPECT_EQ("%s", Format(64, "%s", {}));
}

TEST(Format, ResultIsCutAtCapacityWhereverTheCutFalls)
{
    EXPECT_EQ("Writing: ab", Format(12, "Writing: %s ...", {"abcdef"}));
    EXPECT_EQ("abcd", Format(5, "abcdefgh", {}));
    EXPECT_EQ("", Format(1, "%s", {"x"}));
    char out[4];
    const char* args[] = {"xx"};
    EXPECT_FALSE(FormatText(out, 4, "%s%s", args, 1));
    EXPECT_TRUE(FormatText(out, 4, "%s", args, 1));
}

}  // namespace
