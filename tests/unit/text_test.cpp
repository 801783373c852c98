// Bounded copy, append and %s-only formatting: capacity always honoured, nothing read past the arguments.
#include <gtest/gtest.h>
#include <cstring>
#include <string>
#include <vector>
#include "setup/text.h"

namespace {

std::u16string Format(int capacity, const char16_t* format, std::initializer_list<const char16_t*> args)
{
    std::u16string out(capacity + 8, '#');
    std::vector<const char16_t*> list(args);
    FormatText(&out[0], capacity, format, list.data(), static_cast<int>(list.size()));
    EXPECT_EQ('#', out[capacity]) << "wrote past capacity " << capacity;
    return out.c_str();
}

TEST(CopyAndAppend, CutToCapacityMinusOneAndSayWhetherWhole)
{
    char16_t buffer[8];
    EXPECT_TRUE(CopyText(buffer, 8, u"1234567"));
    EXPECT_EQ(std::u16string(u"1234567"), buffer);
    EXPECT_FALSE(CopyText(buffer, 8, u"12345678"));
    EXPECT_EQ(std::u16string(u"1234567"), buffer);

    CopyText(buffer, 8, u"abc");
    EXPECT_TRUE(AppendText(buffer, 8, u"defg"));
    EXPECT_EQ(std::u16string(u"abcdefg"), buffer);
    EXPECT_FALSE(AppendText(buffer, 8, u"h"));
    EXPECT_EQ(std::u16string(u"abcdefg"), buffer);
}

TEST(Format, SubstitutesPercentSInOrder)
{
    EXPECT_EQ(u"Error: Couldn't write to 'C:\\x\\a.txt'",
              Format(256, u"Error: Couldn't write to '%s%s'", {u"C:\\x\\", u"a.txt"}));
    EXPECT_EQ(u"Welcome to Lumivue!", Format(256, u"Welcome to %s!", {u"Lumivue"}));
}

TEST(Format, ArgumentTextIsNeverInterpreted)
{
    EXPECT_EQ(u"a %s %d b", Format(64, u"a %s b", {u"%s %d"}));
}

TEST(Format, EveryOtherPercentSequenceStandsAsItIs)
{
    EXPECT_EQ(u"100%% %d %n %x %", Format(64, u"100%% %d %n %x %", {u"unused"}));
    EXPECT_EQ(u"%S %5s", Format(64, u"%S %5s", {u"unused"}));
}

TEST(Format, PercentSBeyondTheArgumentsIsPrintedNotRead)
{
    EXPECT_EQ(u"Lumivue and %s and %s", Format(64, u"%s and %s and %s", {u"Lumivue"}));
    EXPECT_EQ(u"%s", Format(64, u"%s", {}));
}

TEST(Format, ResultIsCutAtCapacityWhereverTheCutFalls)
{
    EXPECT_EQ(u"Writing: ab", Format(12, u"Writing: %s ...", {u"abcdef"}));
    EXPECT_EQ(u"abcd", Format(5, u"abcdefgh", {}));
    EXPECT_EQ(u"", Format(1, u"%s", {u"x"}));
    char16_t out[4];
    const char16_t* args[] = {u"xx"};
    EXPECT_FALSE(FormatText(out, 4, u"%s%s", args, 1));
    EXPECT_TRUE(FormatText(out, 4, u"%s", args, 1));
}

}  // namespace
