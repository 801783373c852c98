// A stage whose dialog cannot be created ends the setup as a fatal failure, never as a Yes or an Accept.
#include "driver.h"
#include "resource.h"

#include <gtest/gtest.h>

using namespace e2e;

namespace {

const char kCaption[] = "Installing - Quillmark";

class DialogFailure : public ::testing::Test {
protected:
    void SetUp() override
    {
        DeleteRegistryKey(HKEY_LOCAL_MACHINE, AppPathsKey("Quillmark.exe"));
        scratch_ = FreshScratchFolder("dialog_failure");
        destination_ = scratch_ + "\\Quillmark";
    }

    void TearDown() override { DeleteRegistryKey(HKEY_LOCAL_MACHINE, AppPathsKey("Quillmark.exe")); }

    // The two boxes of a fatal failure, titled with the caption, then status 1.
    void ExpectDialogBoxFailed(SetupProcess& setup)
    {
        MessageBoxSeen error = setup.DismissMessageBox();
        EXPECT_EQ(error.title, kCaption);
        EXPECT_EQ(error.text, "Error: DialogBox() failed");
        MessageBoxSeen failed = setup.DismissMessageBox();
        EXPECT_EQ(failed.title, kCaption);
        EXPECT_EQ(failed.text, kFailed);
        EXPECT_EQ(setup.WaitForExit(), 1u) << "expected exit status 1 after a fatal failure";
    }

    std::string scratch_;
    std::string destination_;
};

}  // namespace

TEST_F(DialogFailure, AWelcomeThatNeverShowedIsNoAcceptance)
{
    SetupProcess setup(PackageExe("no_welcome_dialog"));
    ExpectDialogBoxFailed(setup);
    EXPECT_EQ(ListFolder(scratch_), std::vector<std::string>{}) << "expected nothing written";
}

TEST_F(DialogFailure, APromptThatNeverShowedIsNoYes)
{
    SetRegistryString(HKEY_LOCAL_MACHINE, AppPathsKey("Quillmark.exe"), "", destination_ + "\\Quillmark.exe");
    SetupProcess setup(PackageExe("no_reinstall_dialog"));
    AcceptWelcome(setup);
    ExpectDialogBoxFailed(setup);
    EXPECT_FALSE(FolderExists(destination_)) << "expected nothing written into the registered folder";
}

TEST_F(DialogFailure, ADestinationDialogThatNeverShowedChoosesNothing)
{
    SetupProcess setup(PackageExe("no_destination_dialog"));
    AcceptWelcome(setup);
    ExpectDialogBoxFailed(setup);
    EXPECT_EQ(ListFolder(scratch_), std::vector<std::string>{}) << "expected nothing written";
}

TEST_F(DialogFailure, AProgressDialogThatNeverShowedWritesNoFile)
{
    SetupProcess setup(PackageExe("no_progress_dialog"));
    AcceptAndChoose(setup, destination_);
    ExpectDialogBoxFailed(setup);
    // The folder is made before the extraction stage; no file is.
    EXPECT_EQ(ListFolder(destination_), std::vector<std::string>{}) << "expected no file written";
}
