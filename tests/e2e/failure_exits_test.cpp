// Failure exits under Wine: packages without a product identity end before any dialog.
#include "driver.h"
#include "resource.h"

#include <gtest/gtest.h>

using namespace e2e;

namespace {

// Both boxes come before the caption is built, so they are untitled, and nothing else shows.
void ExpectCorruptPackageEnd(const std::string& package)
{
    SetupProcess setup(PackageExe(package));

    HWND error = setup.WaitForMessageBox();
    EXPECT_EQ(setup.Windows().size(), 1u) << "expected the error box alone; " << setup.DescribeScreen();
    EXPECT_EQ(WindowTitle(error), "");
    EXPECT_EQ(MessageBoxText(error), "Error: Setup.exe is corrupt");
    PressButton(error, IDOK);
    setup.WaitUntilGone(error);

    HWND failed = setup.WaitForMessageBox();
    EXPECT_EQ(setup.Windows().size(), 1u) << "expected the failure box alone; " << setup.DescribeScreen();
    EXPECT_EQ(WindowTitle(failed), "");
    EXPECT_EQ(MessageBoxText(failed), kFailed);
    PressButton(failed, IDOK);

    EXPECT_EQ(setup.WaitForExit(), 1u) << "expected exit status 1 after a fatal failure";
}

}  // namespace

TEST(CorruptPackage, WithoutProductNameShowsTwoUntitledBoxesAndExitsWith1)
{
    ExpectCorruptPackageEnd("no_product_name");
}

TEST(CorruptPackage, WithoutProgramFileShowsTwoUntitledBoxesAndExitsWith1)
{
    ExpectCorruptPackageEnd("no_program_file");
}
