// The resource-name rule and the terms splitting, against the listed examples.
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "package/resource_name.h"
#include "dialogs/terms_lines.h"

namespace {

std::u16string Made(std::u16string name)
{
    MakeResourceName(&name[0]);
    return name;
}

std::vector<std::u16string> Lines(std::u16string text)
{
    std::vector<std::u16string> lines;
    SplitTermsLines(&text[0], [](void* c, const char16_t* line) {
        static_cast<std::vector<std::u16string>*>(c)->push_back(line);
    }, &lines);
    return lines;
}

TEST(MakeResourceName, LettersKeepTheirCaseEverythingElseBecomesAnUnderscore)
{
    EXPECT_EQ(u"Uninst_bat", Made(u"Uninst.bat"));
    EXPECT_EQ(u"Dutch___Nederlands_language", Made(u"Dutch - Nederlands.language"));
    EXPECT_EQ(u"French___Fran_ais_language", Made(u"French - Fran\u00E7ais.language"));
    EXPECT_EQ(u"Spanish___Espa_ol_language", Made(u"Spanish - Espa\u00F1ol.language"));
    EXPECT_EQ(u"a_b_txt", Made(u"a\\b.txt"));
    EXPECT_EQ(u"_____", Made(u"12-3."));
    EXPECT_EQ(u"", Made(u""));
    // One underscore per UTF-16 unit: two for a character beyond the BMP.
    EXPECT_EQ(u"______txt", Made(u"\u041F\u0440\u043E\U0001F600.txt"));
}

TEST(MakeResourceName, EveryUnitOutsideTheAsciiLettersIsReplaced)
{
    std::u16string every, expected;
    for (int unit = 1; unit < 0x10000; ++unit) {
        bool letter = (unit >= 'A' && unit <= 'Z') || (unit >= 'a' && unit <= 'z');
        every += static_cast<char16_t>(unit);
        expected += letter ? static_cast<char16_t>(unit) : u'_';
    }
    EXPECT_EQ(expected, Made(every));
}

TEST(SplitTermsLines, FinalLineFeedAddsNothingAndCarriageReturnsStay)
{
    EXPECT_EQ((std::vector<std::u16string>{u"A", u"B"}), Lines(u"A\nB\n"));
    EXPECT_EQ((std::vector<std::u16string>{u"A", u"B"}), Lines(u"A\nB"));
    EXPECT_EQ((std::vector<std::u16string>{u"A\r", u"B\r"}), Lines(u"A\r\nB\r\n"));
    EXPECT_EQ((std::vector<std::u16string>{u"A", u" ", u"B"}), Lines(u"A\n \nB\n"));
    EXPECT_EQ((std::vector<std::u16string>{u"\u0391\u03B1", u"\u65E5\u672C"}), Lines(u"\u0391\u03B1\n\u65E5\u672C\n"));
}

TEST(SplitTermsLines, FirstEmptyPieceEndsTheList)
{
    EXPECT_EQ((std::vector<std::u16string>{u"A"}), Lines(u"A\n\nB\n"));
    EXPECT_TRUE(Lines(u"\nA\n").empty());
    EXPECT_TRUE(Lines(u"").empty());
    EXPECT_TRUE(Lines(u"\n").empty());
}

}  // namespace
