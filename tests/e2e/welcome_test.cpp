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

const std::string kCancelled = "The installation process was cancelled!";
const std::string kSampleCaption = "Installing - Lumivue";

std::string SampleSetup()
{
    return WinePath(E2E_SAMPLE_SETUP);
}

// The list the dialog should show for a text: cut at line feeds, up to the first empty piece.
std::vector<std::string> LinesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::string::size_type start = 0;
    while (start < text.size()) {
        std::string::size_type end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        if (end == start)
            break;
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
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

INT_PTR CALLBACK QuietDlgProc(HWND, UINT, WPARAM, LPARAM)
{
    return 0;
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

TEST_F(WelcomeDialog, TemplateIsLaidOutAsDesigned)
{
    const DWORD frame = WS_POPUP | WS_VISIBLE | WS_CAPTION | DS_SYSMODAL | DS_3DLOOK | DS_SETFONT | DS_MODALFRAME |
                        DS_CENTER | DS_CONTEXTHELP;
    const DWORD child = WS_CHILD | WS_VISIBLE;
    const DWORD button = child | WS_TABSTOP | BS_PUSHBUTTON | BS_CENTER;
    const DWORD list = child | WS_BORDER | WS_VSCROLL | WS_TABSTOP | LBS_NOTIFY | LBS_USETABSTOPS |
                       LBS_NOINTEGRALHEIGHT | LBS_EXTENDEDSEL;
    struct Expected {
        int id;
        const char* windowClass;
        const char* text;
        short x, y, cx, cy;
        DWORD style;
    };
    const Expected expected[] = {
        {IDOK, "Button", "Accept", 32, 124, 50, 14, button},
        {IDCANCEL, "Button", "Cancel", 107, 124, 50, 14, button},
        {IDC_WELCOME_TEXT, "Static", "Welcome!", 8, 5, 124, 8, child | SS_LEFT},
        {0xFFFF, "Static",
         "Before you proceed with the installation process, please make sure that you accept the following "
         "usage tems:",
         8, 20, 176, 18, child | SS_CENTER},
        {IDC_TERMS_LIST, "ListBox", "", 8, 42, 176, 75, list},
    };

    DialogTemplate dialog = ReadDialogTemplate(SampleSetup(), IDD_WELCOME);
    EXPECT_TRUE(dialog.extended) << "expected an extended template";
    EXPECT_EQ(dialog.style, frame) << std::hex << "expected style 0x" << frame << ", got 0x" << dialog.style;
    EXPECT_EQ(dialog.exStyle, static_cast<DWORD>(WS_EX_DLGMODALFRAME))
        << std::hex << "expected only WS_EX_DLGMODALFRAME, got 0x" << dialog.exStyle;
    EXPECT_EQ((std::vector<short>{dialog.x, dialog.y, dialog.cx, dialog.cy}), (std::vector<short>{0, 1, 192, 144}));
    EXPECT_EQ(dialog.menu, "");
    EXPECT_EQ(dialog.windowClass, "");
    EXPECT_EQ(dialog.title, "");
    EXPECT_EQ(dialog.typeface, "MS Sans Serif");
    EXPECT_EQ(dialog.pointSize, 8);

    ASSERT_EQ(dialog.items.size(), std::size(expected)) << "expected five controls";
    for (size_t i = 0; i < std::size(expected); ++i) {
        const DialogItem& item = dialog.items[i];
        const Expected& want = expected[i];
        SCOPED_TRACE("control " + std::to_string(i) + " (" + want.windowClass + " \"" + want.text + "\")");
        EXPECT_EQ(item.id, want.id);
        EXPECT_EQ(item.windowClass, want.windowClass);
        EXPECT_EQ(item.title, want.text);
        EXPECT_EQ((std::vector<short>{item.x, item.y, item.cx, item.cy}),
                  (std::vector<short>{want.x, want.y, want.cx, want.cy}));
        EXPECT_EQ(item.style, want.style) << std::hex << "expected style 0x" << want.style << ", got 0x" << item.style;
        EXPECT_EQ(item.exStyle, 0u) << std::hex << "expected no extended style, got 0x" << item.exStyle;
    }
    // Spelled out, as these would silently reorder or widen the terms.
    const DialogItem& terms = dialog.Item(IDC_TERMS_LIST);
    EXPECT_EQ(terms.style & LBS_SORT, 0u) << "expected an unsorted list";
    EXPECT_EQ(terms.style & WS_HSCROLL, 0u) << "expected no horizontal scroll bar";
}

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
    HMODULE package = LoadLibraryExA(SampleSetup().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(package, nullptr) << "expected to load the sample installer as data";
    HWND dialog = CreateDialogParamA(package, MAKEINTRESOURCEA(IDD_WELCOME), nullptr,
                                     QuietDlgProc, 0);
    ASSERT_NE(dialog, nullptr) << "expected the welcome template to make a dialog";
    HWND list = GetDlgItem(dialog, IDC_TERMS_LIST);
    const std::vector<std::string> lines = LinesOf(ReadFileBytes(WinePath(E2E_SAMPLE_DIR "/terms.txt")));
    for (const std::string& line : lines)
        SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.c_str()));
    RECT inside;
    GetClientRect(list, &inside);
    HDC dc = GetDC(list);
    HGDIOBJ kept = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageA(list, WM_GETFONT, 0, 0)));
    for (const std::string& line : lines) {
        SIZE extent = {};
        GetTextExtentPoint32A(dc, line.c_str(), static_cast<int>(line.size()), &extent);
        EXPECT_LE(extent.cx, inside.right) << "expected \"" << line << "\" to fit the list's " << inside.right
                                           << " pixels, it takes " << extent.cx;
    }
    SelectObject(dc, kept);
    ReleaseDC(list, dc);
    DestroyWindow(dialog);
    FreeLibrary(package);
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
