// Journeys under Wine: the caption of a long product name, cancelling, and a main program that will not start.
#include "driver.h"
#include "resource.h"

#include <gtest/gtest.h>

using namespace e2e;

namespace {

const std::string kLongName = "Harbourmaster Tidal Charts with Nautical AlmanacProfessional";

}  // namespace

TEST(Caption, HoldsTheProductNameCutTo47AndCancelEndsWithStatus0)
{
    ASSERT_EQ(kLongName.size(), 60u);
    const std::string caption = "Installing - " + kLongName.substr(0, 47);
    SetupProcess setup(PackageExe("long_name"));

    HWND welcome = setup.WaitForDialogWith(IDC_TERMS_LIST);
    EXPECT_EQ(WindowTitle(welcome), caption);
    EXPECT_EQ(ControlText(welcome, IDC_WELCOME_TEXT), "Welcome to " + kLongName.substr(0, 47) + "!");
    PressButton(welcome, IDCANCEL);

    MessageBoxSeen notice = setup.DismissMessageBox();
    EXPECT_EQ(notice.title, caption);
    EXPECT_EQ(notice.text, kCancelled);
    EXPECT_EQ(setup.WaitForExit(), 0u) << "expected exit status 0 after a cancel";
}

TEST(Caption, EscInTheWelcomeDialogCancelsLikeCancel)
{
    SetupProcess setup(PackageExe("long_name"));

    HWND welcome = setup.WaitForDialogWith(IDC_TERMS_LIST);
    PressEscape(welcome);

    MessageBoxSeen notice = setup.DismissMessageBox();
    EXPECT_EQ(notice.text, kCancelled);
    EXPECT_EQ(setup.WaitForExit(), 0u) << "expected exit status 0 after a cancel";
}

class Launch : public ::testing::Test {
protected:
    void SetUp() override
    {
        // A registered earlier installation would lead to the reinstall prompt instead.
        DeleteRegistryKey(HKEY_LOCAL_MACHINE, AppPathsKey(kProgramFile));
        scratch_ = FreshScratchFolder("launch");
    }

    const std::string kProgramFile = "Ghostwriter.exe";
    const std::string kCaption = "Installing - Ghostwriter";
    std::string scratch_;
};

TEST_F(Launch, AProgramFileThatCannotStartGivesOneWarningNamingItAndStatus0)
{
    const std::string destination = scratch_ + "\\Ghostwriter";
    SetupProcess setup(PackageExe("missing_program"));

    HWND welcome = setup.WaitForDialogWith(IDC_TERMS_LIST);
    EXPECT_EQ(WindowTitle(welcome), kCaption);
    std::vector<std::string> terms = ListBoxLines(welcome, IDC_TERMS_LIST);
    EXPECT_EQ(terms, (std::vector<std::string>{"Use at your own risk.", " ", "No warranty of any kind."}));
    PressButton(welcome, IDOK);

    HWND chooser = setup.WaitForDialogWith(IDC_DEST_EDIT);
    EXPECT_EQ(WindowTitle(chooser), kCaption);
    SetControlText(chooser, IDC_DEST_EDIT, destination);
    PressButton(chooser, IDOK);

    HWND warning = setup.WaitForMessageBox();
    EXPECT_EQ(setup.Windows().size(), 1u) << "expected the warning alone; " << setup.DescribeScreen();
    EXPECT_EQ(WindowTitle(warning), kCaption);
    EXPECT_EQ(MessageBoxText(warning),
              "Warning: Couldn't launch '" + kProgramFile + "'\nPlease, proceed by launching it manually instead!");
    PressButton(warning, IDOK);

    // A second box (a failure report after the warning) would keep the setup from ending.
    EXPECT_EQ(setup.WaitForExit(), 0u) << "expected exit status 0 after a failed launch";
    EXPECT_TRUE(FolderExists(destination)) << "expected the destination " << destination << " to be made";
    EXPECT_EQ(ListFolder(destination), std::vector<std::string>{}) << "expected no file written";
}
