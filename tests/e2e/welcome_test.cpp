// The welcome dialog under Wine: its template, the sample's greeting and terms, Accept and cancelling, and how terms texts are cut into lines.
#include "driver.h"
#include "resource.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <sstream>

using namespace e2e;

#if !defined(E2E_SAMPLE_SETUP) || !defined(E2E_SAMPLE_DIR)
#error "E2E_SAMPLE_SETUP and E2E_SAMPLE_DIR must name the sample installer and the sample's sources"
#endif

namespace {

const std::string kSampleCaption = "Installing - Lumivue";

std::string SampleSetup()
{
    return WinePath(E2E_SAMPLE_SETUP);
}

std::string Numbered(const std::vector<std::string>& lines)
{
    std::ostringstream out;
    for (size_t i = 0; i < lines.size(); ++i)
        out << "\n  " << i + 1 << ": \"" << lines[i] << "\"";
    return lines.empty() ? " (none)" : out.str();
}

// Nothing the setup might write before its destination stage: the key the installed program
// would register, and anything new under the program-files folder.
struct WrittenState {
    bool appPathsKey;
    std::vector<std::string> programFiles;
};

WrittenState SnapshotWrites()
{
    HKEY key = nullptr;
    bool present = RegOpenKeyExA(HKEY_LOCAL_MACHINE, AppPathsKey("Lumivue.exe").c_str(), 0, KEY_READ, &key) ==
                   ERROR_SUCCESS;
    if (present)
        RegCloseKey(key);
    return {present, ListFolder(ProgramFilesDir())};
}

// Shows the package's welcome dialog, reads its list, then cancels the setup from it.
std::vector<std::string> TermsShownBy(const std::string& package)
{
    SetupProcess setup(PackageExe(package));
    HWND welcome = setup.WaitForDialogWith(IDC_TERMS_LIST);
    std::vector<std::string> lines = ListBoxLines(welcome, IDC_TERMS_LIST);
    PressButton(welcome, IDCANCEL);
    setup.DismissMessageBox();
    EXPECT_EQ(setup.WaitForExit(), 0u) << "expected exit status 0 after a cancel";
    return lines;
}

class WelcomeDialog : public ::testing::Test {
protected:
    void SetUp() override
    {
        // A registered earlier installation would bring the reinstall prompt instead of the destination dialog.
        DeleteRegistryKey(HKEY_LOCAL_MACHINE, AppPathsKey("Lumivue.exe"));
        RemoveTree(ProgramFilesDir() + "\\Lumivue");
    }
};

}  // namespace

TEST_F(WelcomeDialog, GreetsWithTheProductShowsThe37SampleLinesAndAcceptLeadsToTheDestination)
{
    const std::string source = ReadFileBytes(WinePath(E2E_SAMPLE_DIR "/terms.txt"));
    const std::vector<std::string> expected = LinesOf(source);
    // The shipped text itself: 37 lines with four blank ones, short enough for the list, a final line feed.
    ASSERT_EQ(expected.size(), 37u) << "expected 37 lines in terms.txt, got" << Numbered(expected);
    EXPECT_EQ(std::count(expected.begin(), expected.end(), " "), 4) << "expected four single-space lines";
    for (const std::string& line : expected)
        EXPECT_LE(line.size(), 60u) << "expected at most 60 characters: \"" << line << "\"";
    EXPECT_EQ(source.back(), '\n') << "expected terms.txt to end with a line feed";
    EXPECT_EQ(source.find('\r'), std::string::npos) << "expected no carriage return in terms.txt";

    SetupProcess setup(SampleSetup());
    HWND welcome = setup.WaitForDialogWith(IDC_TERMS_LIST);
    EXPECT_EQ(WindowTitle(welcome), kSampleCaption);
    EXPECT_EQ(ControlText(welcome, IDC_WELCOME_TEXT), "Welcome to Lumivue!");
    std::vector<std::string> shown = ListBoxLines(welcome, IDC_TERMS_LIST);
    EXPECT_EQ(shown, expected) << "expected" << Numbered(expected) << "\ngot" << Numbered(shown);

    PressButton(welcome, IDOK);
    HWND chooser = setup.WaitForDialogWith(IDC_DEST_EDIT);
    setup.WaitUntilGone(welcome);
    EXPECT_EQ(setup.Windows().size(), 1u) << "expected the destination dialog alone; " << setup.DescribeScreen();
    EXPECT_EQ(WindowTitle(chooser), kSampleCaption);
    EXPECT_EQ(ControlText(chooser, IDC_DEST_EDIT), ProgramFilesDir() + "\\Lumivue");

    PressButton(chooser, IDCANCEL);
    MessageBoxSeen notice = setup.DismissMessageBox();
    EXPECT_EQ(notice.text, kCancelled);
    EXPECT_EQ(setup.WaitForExit(), 0u) << "expected exit status 0 after a cancel";
}

// The list has no horizontal scroll bar: the shipped text must break its lines early enough for
// the dialog's font as this platform draws it, beside the vertical scroll bar that 37 lines bring.
TEST_F(WelcomeDialog, EverySampleLineFitsTheListWidth)
{
    TemplateDialog dialog(SampleSetup(), IDD_WELCOME);
    HWND list = GetDlgItem(dialog.get(), IDC_TERMS_LIST);
    const std::vector<std::string> lines = LinesOf(ReadFileBytes(WinePath(E2E_SAMPLE_DIR "/terms.txt")));
    for (const std::string& line : lines)
        SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(line).c_str()));
    RECT inside;
    GetClientRect(list, &inside);
    HDC dc = GetDC(list);
    HGDIOBJ kept = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(list, WM_GETFONT, 0, 0)));
    for (const std::string& line : lines) {
        SIZE extent = {};
        GetTextExtentPoint32W(dc, Wide(line).c_str(), static_cast<int>(Wide(line).size()), &extent);
        EXPECT_LE(extent.cx, inside.right) << "expected \"" << line << "\" to fit the list's " << inside.right
                                           << " pixels, it takes " << extent.cx;
    }
    SelectObject(dc, kept);
    ReleaseDC(list, dc);
}

TEST_F(WelcomeDialog, CancelAndEscShowOneTitledNoticeEndWith0AndWriteNothing)
{
    for (bool escape : {false, true}) {
        SCOPED_TRACE(escape ? "Esc" : "the Cancel button");
        const WrittenState before = SnapshotWrites();
        SetupProcess setup(SampleSetup());

        HWND welcome = setup.WaitForDialogWith(IDC_TERMS_LIST);
        if (escape)
            PressEscape(welcome);
        else
            PressButton(welcome, IDCANCEL);

        HWND notice = setup.WaitForMessageBox();
        // The welcome dialog stays behind the notice, as its owner.
        std::vector<HWND> windows = setup.Windows();
        EXPECT_EQ(std::count_if(windows.begin(), windows.end(), IsMessageBox), 1)
            << "expected one box; " << setup.DescribeScreen();
        EXPECT_EQ(GetWindow(notice, GW_OWNER), welcome) << "expected the notice owned by the welcome dialog";
        EXPECT_EQ(WindowTitle(notice), kSampleCaption);
        EXPECT_EQ(MessageBoxText(notice), kCancelled);
        PressButton(notice, IDOK);
        // A second box would keep the setup from ending.
        EXPECT_EQ(setup.WaitForExit(), 0u) << "expected exit status 0 after a cancel";

        const WrittenState after = SnapshotWrites();
        EXPECT_FALSE(after.appPathsKey) << "expected no App Paths key for Lumivue.exe";
        EXPECT_EQ(after.programFiles, before.programFiles) << "expected nothing new under " << ProgramFilesDir();
    }
}

TEST(WelcomeTerms, AnEmptyLineEndsTheList)
{
    std::vector<std::string> shown = TermsShownBy("terms_blank_line");
    EXPECT_EQ(shown, std::vector<std::string>{"Only this line is shown."}) << "got" << Numbered(shown);
}

TEST(WelcomeTerms, ALeadingLineFeedLeavesTheListEmpty)
{
    std::vector<std::string> shown = TermsShownBy("terms_leading_feed");
    EXPECT_EQ(shown, std::vector<std::string>{}) << "got" << Numbered(shown);
}

TEST(WelcomeTerms, TheLastLineShowsWithoutAFinalLineFeed)
{
    std::vector<std::string> shown = TermsShownBy("terms_no_final_feed");
    EXPECT_EQ(shown, (std::vector<std::string>{"First line of the terms.",
                                               "Second line, the last character of the text."}))
        << "got" << Numbered(shown);
}

TEST(WelcomeTerms, A4000CharacterTextShowsItsFirst3332Characters)
{
    std::optional<std::string> terms = ReadStringResource(PackageExe("terms_4000"), IDS_TERMS);
    ASSERT_TRUE(terms.has_value()) << "expected the package to carry terms";
    ASSERT_EQ(terms->size(), 4000u) << "expected a 4000-character terms text";
    // The cut falls inside a line, so a line too many or too few shows in the last one.
    ASSERT_NE((*terms)[3331], '\n');
    ASSERT_NE((*terms)[3332], '\n');

    std::vector<std::string> shown = TermsShownBy("terms_4000");
    const std::vector<std::string> expected = LinesOf(terms->substr(0, 3332));
    std::string joined;
    for (const std::string& line : shown)
        joined += line + "\n";
    std::string expectedJoined;
    for (const std::string& line : expected)
        expectedJoined += line + "\n";
    EXPECT_EQ(shown.size(), expected.size()) << "expected " << expected.size() << " lines, got " << shown.size();
    EXPECT_EQ(joined, expectedJoined) << "expected the last line \"" << expected.back() << "\", got \""
                                      << (shown.empty() ? "" : shown.back()) << "\"";
}
