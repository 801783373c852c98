// The resource-name rule and the terms splitting, against the listed examples.
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "package/resource_name.h"
#include "dialogs/terms_lines.h"

namespace {

std::string Made(std::string name)
{
    MakeResourceName(&name[0]);
    return name;
}

std::vector<std::string> Lines(std::string text)
{
    std::vector<std::string> lines;
    SplitTermsLines(&text[0], [](void* c, const char* line) {
        static_cast<std::vector<std::string>*>(c)->push_back(line);
    }, &lines);
    return lines;
}

TEST(MakeResourceName, LettersKeepTheirCaseEverythingElseBecomesAnUnderscore)
{
    EXPECT_EQ("Uninst_bat", Made("Uninst.bat"));
    EXPECT_EQ("Dutch___Nederlands_language", Made("Dutch - Nederlands.language"));
    EXPECT_EQ("French___Fran_ais_language", Made("French - Fran\xE7" "ais.language"));
    EXPECT_EQ("Spanish___Espa_ol_language", Made("Spanish - Espa\xF1ol.language"));
    EXPECT_EQ("a_b_txt", Made("a\\b.txt"));
    EXPECT_EQ("_____", Made("12-3."));
    EXPECT_EQ("", Made(""));
}

TEST(MakeResourceName, EveryByteOutsideTheAsciiLettersIsReplaced)
{
    for (int b = 1; b < 256; ++b) {
        std::string in(1, static_cast<char>(b));
        bool letter = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z');
        EXPECT_EQ(letter ? in : "_", Made(in)) << "byte " << b;
    }
}

TEST(SplitTermsLines, FinalLineFeedAddsNothingAndCarriageReturnsStay)
{
    EXPECT_EQ((std::vector<std::string>{"A", "B"}), Lines("A\nB\n"));
    EXPECT_EQ((std::vector<std::string>{"A", "B"}), Lines("A\nB"));
    EXPECT_EQ((std::vector<std::string>{"A\r", "B\r"}), Lines("A\r\nB\r\n"));
    EXPECT_EQ((std::vector<std::string>{"A", " ", "B"}), Lines("A\n \nB\n"));
}

TEST(SplitTermsLines, FirstEmptyPieceEndsTheList)
{
    EXPECT_EQ((std::vector<std::string>{"A"}), Lines("A\n\nB\n"));
    EXPECT_TRUE(Lines("\nA\n").empty());
    EXPECT_TRUE(Lines("").empty());
    EXPECT_TRUE(Lines("\n").empty());
}

}  // namespace
