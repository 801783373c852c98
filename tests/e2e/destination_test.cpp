// The destination stage under Wine: previous installation, default folder, the two dialogs, the folder browser, the folders made, each architecture's folder and registry view, and the four dialog templates.
#include "driver.h"
#include "resource.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iomanip>
#include <sstream>
#include <utility>

using namespace e2e;

namespace {

const std::string kProgramFile = "Tidewater.exe";
const std::string kCaption = "Installing - Tidewater";
const std::string kPrompt =
    "A version of this program has previously been installed on this computer. Would you like the old "
    "files to be replaced with the present files?";
const std::string kBrowseTitle = "Please select directory to install Tidewater to...";
const std::string kCurrentVersionKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

// What the tidewater package writes, by the names a folder listing gives.
const std::vector<std::string> kInstalledTop = {"ReadMe.txt", "Tidewater.exe", "docs", "tide.ini"};

// A registry value as it was, put back whatever a case did to it (a missing one is removed again).
class SavedRegistryValue {
public:
    SavedRegistryValue(HKEY root, std::string key, std::string name)
        : root_(root), key_(std::move(key)), name_(std::move(name))
    {
        HKEY handle = nullptr;
        if (RegOpenKeyExA(root_, key_.c_str(), 0, KEY_QUERY_VALUE, &handle) != ERROR_SUCCESS)
            return;
        DWORD size = 0;
        if (RegQueryValueExA(handle, name_.c_str(), nullptr, &type_, nullptr, &size) == ERROR_SUCCESS) {
            bytes_.resize(size);
            present_ = RegQueryValueExA(handle, name_.c_str(), nullptr, &type_,
                                        reinterpret_cast<BYTE*>(bytes_.data()), &size) == ERROR_SUCCESS;
            bytes_.resize(size);
        }
        RegCloseKey(handle);
    }

    ~SavedRegistryValue()
    {
        HKEY handle = nullptr;
        if (RegCreateKeyExA(root_, key_.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &handle, nullptr) !=
            ERROR_SUCCESS) {
            std::fprintf(stderr, "could not restore %s %s\n", key_.c_str(), name_.c_str());
            return;
        }
        if (present_)
            RegSetValueExA(handle, name_.c_str(), 0, type_, reinterpret_cast<const BYTE*>(bytes_.data()),
                           static_cast<DWORD>(bytes_.size()));
        else
            RegDeleteValueA(handle, name_.c_str());
        RegCloseKey(handle);
    }

    SavedRegistryValue(const SavedRegistryValue&) = delete;
    SavedRegistryValue& operator=(const SavedRegistryValue&) = delete;

    void Set(DWORD type, const std::string& bytes) const
    {
        HKEY handle = nullptr;
        LONG result = RegCreateKeyExA(root_, key_.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &handle, nullptr);
        if (result == ERROR_SUCCESS) {
            result = RegSetValueExA(handle, name_.c_str(), 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                                    static_cast<DWORD>(bytes.size()));
            RegCloseKey(handle);
        }
        if (result != ERROR_SUCCESS)
            throw DriverError("could not set " + key_ + " " + name_ + ": error " + std::to_string(result));
    }

private:
    HKEY root_;
    std::string key_;
    std::string name_;
    bool present_ = false;
    DWORD type_ = 0;
    std::string bytes_;
};

// Runs a Linux program from inside Wine (Wine starts ELF files itself); its end is not
// observable from here, so callers wait for what it does.
void RunUnixProgram(const std::string& program, const std::string& arguments)
{
    // Wine splits the line at spaces for the Linux side: no quoting is relied upon.
    if (arguments.find_first_of("\"'") != std::string::npos)
        throw DriverError("arguments with quotes are not passed on: " + arguments);
    std::string commandLine = program + " " + arguments;
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessA(WinePath(program).c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info))
        throw DriverError("could not run " + program + ": error " + std::to_string(GetLastError()));
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
}

void WaitUntil(const std::string& what, const std::function<bool()>& condition)
{
    DWORD start = GetTickCount();
    while (!condition()) {
        if (static_cast<int>(GetTickCount() - start) >= kWaitMs)
            throw DriverError("expected " + what + " within " + std::to_string(kWaitMs) + " ms");
        Sleep(20);
    }
}

// Drive D: of the prefix, made for one case: a link in the prefix's dosdevices folder to a
// fresh scratch folder, removed again at the end. Wine reads that folder on every lookup.
class DriveD {
public:
    explicit DriveD(const std::string& name)
    {
        const char* prefix = std::getenv("WINEPREFIX");
        if (prefix == nullptr || *prefix == '\0' || std::string(prefix).find(' ') != std::string::npos)
            throw DriverError("WINEPREFIX must name the prefix (without spaces) to give it a drive D:");
        link_ = std::string(prefix) + "/dosdevices/d:";
        unixFolder_ = LinuxScratch(name);
        // A drive D: left by an interrupted run pointed at this folder: without it, any D: is not ours.
        RemoveTree(WinePath(unixFolder_));
        if (FolderExists("D:\\"))
            throw DriverError("the prefix already has a drive D: of its own; not replacing it");
        folder_ = FreshScratchFolder(name);
        const std::string mark = "drive-d-mark";
        WriteFileBytes(folder_ + "\\" + mark, "");
        RunUnixProgram("/bin/ln", "-sfn " + unixFolder_ + " " + link_);
        WaitUntil("drive D: to show " + folder_, [&] { return FileExists("D:\\" + mark); });
        RemoveTree(folder_ + "\\" + mark);
    }

    ~DriveD()
    {
        try {
            RunUnixProgram("/bin/rm", "-f " + link_);
            WaitUntil("drive D: to go", [] { return !FolderExists("D:\\"); });
        } catch (const DriverError& error) {
            std::fprintf(stderr, "%s\n", error.what());
        }
    }

    DriveD(const DriveD&) = delete;
    DriveD& operator=(const DriveD&) = delete;

    // The same folder by its Z: path.
    const std::string& Folder() const { return folder_; }

private:
    std::string link_;
    std::string unixFolder_;
    std::string folder_;
};

// ---- The folder browser's tree, read and worked from this process -------------------------

HWND ChildOfClass(HWND window, const std::string& windowClass)
{
    for (HWND child : Children(window)) {
        if (WindowClass(child) == windowClass)
            return child;
    }
    throw DriverError("no " + windowClass + " in " + DescribeWindow(window));
}

bool HasChildWithText(HWND window, const std::string& text)
{
    for (HWND child : Children(window)) {
        try {
            if (ControlText(window, GetDlgCtrlID(child)) == text)
                return true;
        } catch (const DriverError&) {
        }
    }
    return false;
}

// A tree view's item text lives in the setup's memory: TVM_GETITEM is not marshalled between
// processes, so the request and its answer go through a page of the setup's own.
class RemoteTree {
public:
    RemoteTree(DWORD processId, HWND tree) : tree_(tree)
    {
        process_ = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, processId);
        if (process_ == nullptr)
            throw DriverError("could not open the setup's memory: error " + std::to_string(GetLastError()));
        page_ = static_cast<BYTE*>(VirtualAllocEx(process_, nullptr, 4096, MEM_COMMIT, PAGE_READWRITE));
        if (page_ == nullptr) {
            CloseHandle(process_);
            throw DriverError("could not get memory in the setup: error " + std::to_string(GetLastError()));
        }
    }

    ~RemoteTree()
    {
        VirtualFreeEx(process_, page_, 0, MEM_RELEASE);
        CloseHandle(process_);
    }

    RemoteTree(const RemoteTree&) = delete;
    RemoteTree& operator=(const RemoteTree&) = delete;

    HTREEITEM Next(HTREEITEM item, UINT relation) const
    {
        return reinterpret_cast<HTREEITEM>(Send(TVM_GETNEXTITEM, relation, reinterpret_cast<LPARAM>(item)));
    }

    std::string Text(HTREEITEM item) const
    {
        constexpr int kChars = 512;
        TVITEMW request = {};
        request.mask = TVIF_TEXT;
        request.hItem = item;
        request.pszText = reinterpret_cast<LPWSTR>(page_ + 1024);
        request.cchTextMax = kChars;
        if (!WriteProcessMemory(process_, page_, &request, sizeof(request), nullptr))
            throw DriverError("could not write into the setup's memory");
        if (!Send(TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(page_)))
            throw DriverError("the tree did not give an item's text");
        wchar_t text[kChars + 1] = {};
        ReadProcessMemory(process_, page_ + 1024, text, kChars * sizeof(wchar_t), nullptr);
        return Utf8(text);
    }

    std::vector<HTREEITEM> Children(HTREEITEM item) const
    {
        // The browser fills a folder's level when it is first expanded.
        Send(TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(item));
        std::vector<HTREEITEM> children;
        for (HTREEITEM child = Next(item, TVGN_CHILD); child != nullptr; child = Next(child, TVGN_NEXT))
            children.push_back(child);
        return children;
    }

    // The child of `item` whose text matches, or none.
    HTREEITEM FindChild(HTREEITEM item, const std::function<bool(const std::string&)>& match, std::string* seen) const
    {
        for (HTREEITEM child : Children(item)) {
            std::string text = Text(child);
            *seen += " \"" + text + "\"";
            if (match(text))
                return child;
        }
        return nullptr;
    }

    // The selection a click on the item would make; the browser hears of it as a user's change.
    void Select(HTREEITEM item) const
    {
        if (!Send(TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(item)))
            throw DriverError("the tree did not select the item \"" + Text(item) + "\"");
    }

    HTREEITEM Root() const { return Next(nullptr, TVGN_ROOT); }

private:
    LRESULT Send(UINT message, WPARAM wParam, LPARAM lParam) const
    {
        DWORD_PTR result = 0;
        if (!SendMessageTimeoutW(tree_, message, wParam, lParam, SMTO_NORMAL, kWaitMs, &result))
            throw DriverError("the tree did not answer message " + std::to_string(message));
        return static_cast<LRESULT>(result);
    }

    HWND tree_;
    HANDLE process_ = nullptr;
    BYTE* page_ = nullptr;
};

// ---- Steps of a run ---------------------------------------------------------------------------

HWND WaitForPrompt(SetupProcess& setup)
{
    return setup.WaitForDialogWith(IDNO);
}

HWND WaitForChooser(SetupProcess& setup)
{
    return setup.WaitForDialogWith(IDC_DEST_EDIT);
}

// Messages posted to one thread are taken in order: once a later one has been handled, so
// has the Esc before it. The marker is the No button's pushed look, set and then cleared.
void WaitUntilPostedInputHandled(HWND dialog, int buttonId)
{
    HWND button = GetDlgItem(dialog, buttonId);
    if (button == nullptr)
        throw DriverError("no button " + std::to_string(buttonId) + " in " + DescribeWindow(dialog));
    PostMessageW(button, BM_SETSTATE, TRUE, 0);
    WaitUntil("the prompt to take its input", [&] {
        DWORD_PTR state = 0;
        return !IsWindow(button) ||
               (SendMessageTimeoutW(button, BM_GETSTATE, 0, 0, SMTO_NORMAL, kWaitMs, &state) &&
                (state & BST_PUSHED));
    });
    PostMessageW(button, BM_SETSTATE, FALSE, 0);
}

// Until the setup ends by itself; a dialog with the control, or any box, on the way fails the case.
DWORD WaitForExitWithout(SetupProcess& setup, int controlId)
{
    DWORD start = GetTickCount();
    while (setup.Running()) {
        for (HWND window : setup.Windows()) {
            bool unwanted = false;
            try {
                unwanted = WindowClass(window) == "#32770" && (IsMessageBox(window) || HasControl(window, controlId));
            } catch (const DriverError&) {
            }
            if (unwanted)
                throw DriverError("expected no box and no dialog with control " + std::to_string(controlId) + "; got " +
                                  DescribeWindow(window));
        }
        if (static_cast<int>(GetTickCount() - start) >= kWaitMs)
            break;
        Sleep(20);
    }
    return setup.WaitForExit();
}

// Each case's packages share the key Tidewater.exe registers and the launch record.
class DestinationCase : public ::testing::Test {
protected:
    void SetUp() override
    {
        DeleteRegistryKey(HKEY_LOCAL_MACHINE, AppPathsKey(kProgramFile));
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        scratch_ = FreshScratchFolder("destination-" + name);
        record_ = FreshScratchFolder("destination-launch") + "\\record.txt";
        if (!SetEnvironmentVariableA("E2E_LAUNCH_RECORD", record_.c_str()))
            throw DriverError("could not set E2E_LAUNCH_RECORD");
    }

    void TearDown() override
    {
        DeleteRegistryKey(HKEY_LOCAL_MACHINE, AppPathsKey(kProgramFile));
        SetEnvironmentVariableA("E2E_LAUNCH_RECORD", nullptr);
    }

    void RegisterPreviousInstallation(const std::string& value)
    {
        SetRegistryString(HKEY_LOCAL_MACHINE, AppPathsKey(kProgramFile), "", value);
    }

    // The command line the installed main program was started with: the destination shows in it.
    std::string LaunchRecord()
    {
        return ReadLaunchRecord(record_);
    }

    bool Launched() const { return FileExists(record_); }

    // The package's files, whole, in the folder.
    void ExpectInstalledIn(const std::string& folder)
    {
        ASSERT_TRUE(FolderExists(folder)) << "expected the destination " << folder << " to exist";
        EXPECT_EQ(Listing(ListFolder(folder)), Listing(kInstalledTop)) << "in " << folder;
        EXPECT_EQ(ReadFileBytes(folder + "\\ReadMe.txt"), "Tidewater: tide tables for the harbour.\r\n");
        EXPECT_EQ(ReadFileBytes(folder + "\\docs\\tables.htm"), "<html><body>High water 06:12</body></html>\r\n");
    }

    void ExpectNothingWritten()
    {
        EXPECT_EQ(Listing(ListFolder(scratch_)), "{}") << "expected nothing written into " << scratch_;
        EXPECT_FALSE(Launched()) << "expected no program started";
    }

    std::string scratch_;
    std::string record_;
};

class PreviousInstallation : public DestinationCase {};
class DestinationDialog : public DestinationCase {};
class Subdirectories : public DestinationCase {};
class FolderBrowser : public DestinationCase {};
class Architecture : public DestinationCase {};

}  // namespace

// ---- The reinstall prompt ------------------------------------------------------------------------

TEST_F(PreviousInstallation, YesReusesTheRegisteredFolderWithoutTheDestinationDialog)
{
    // Only the last level is made: the parent must be there, as it was for the earlier install.
    const std::string folder = "C:\\Tools\\Tidewater";
    RemoveTree(folder);
    MakeFolders("C:\\Tools");
    RegisterPreviousInstallation(folder + "\\Tidewater.exe");
    SetupProcess setup(PackageExe("tidewater"));
    AcceptWelcome(setup);

    HWND prompt = WaitForPrompt(setup);
    EXPECT_EQ(WindowTitle(prompt), kCaption);
    EXPECT_EQ(ControlText(prompt, 0xFFFF), kPrompt) << "the prompt names no folder";
    EXPECT_EQ(ControlText(prompt, IDYES), "Yes");
    EXPECT_EQ(ControlText(prompt, IDNO), "No");
    PressButton(prompt, IDYES);

    EXPECT_EQ(WaitForExitWithout(setup, IDC_DEST_EDIT), 0u) << "expected exit status 0 after an install";
    EXPECT_EQ(LaunchRecord(), "\"C:\\Tools\\Tidewater\\Tidewater.exe\"");
    ExpectInstalledIn(folder);
    RemoveTree(folder);
    RemoveDirectoryA("C:\\Tools");
}

TEST_F(PreviousInstallation, AQuotedValueGivesTheFolderInsideTheQuotes)
{
    const std::string folder = scratch_ + "\\Tidewater";
    RegisterPreviousInstallation("\"" + folder + "\\Tidewater.exe\"");
    SetupProcess setup(PackageExe("tidewater"));
    AcceptWelcome(setup);

    PressButton(WaitForPrompt(setup), IDYES);

    EXPECT_EQ(WaitForExitWithout(setup, IDC_DEST_EDIT), 0u) << "expected exit status 0 after an install";
    EXPECT_EQ(LaunchRecord(), "\"" + folder + "\\Tidewater.exe\"");
    EXPECT_EQ(Listing(ListFolder(scratch_)), "{Tidewater}") << "expected no folder named with a quote";
    ExpectInstalledIn(folder);
}

TEST_F(PreviousInstallation, EscIsIgnoredAndNoOffersTheDefaultNotThePreviousFolder)
{
    const std::string previous = scratch_ + "\\Old";
    MakeFolders(previous);
    RegisterPreviousInstallation(previous + "\\Tidewater.exe");
    SetupProcess setup(PackageExe("tidewater"));
    AcceptWelcome(setup);

    HWND prompt = WaitForPrompt(setup);
    PressEscape(prompt);
    WaitUntilPostedInputHandled(prompt, IDNO);
    ASSERT_TRUE(IsWindow(prompt) && IsWindowVisible(prompt)) << "expected the prompt to stay after Esc; "
                                                             << setup.DescribeScreen();
    EXPECT_EQ(setup.Windows().size(), 1u) << "expected the prompt alone after Esc; " << setup.DescribeScreen();
    PressButton(prompt, IDNO);

    HWND chooser = WaitForChooser(setup);
    EXPECT_EQ(ControlText(chooser, IDC_DEST_EDIT), ProgramFilesDir() + "\\Tidewater");
    PressButton(chooser, IDCANCEL);
    MessageBoxSeen notice = setup.DismissMessageBox();
    EXPECT_EQ(notice.text, kCancelled);
    EXPECT_EQ(setup.WaitForExit(), 0u) << "expected exit status 0 after a cancel";
    EXPECT_EQ(Listing(ListFolder(previous)), "{}") << "expected nothing written into the previous folder";
}

TEST_F(PreviousInstallation, ADriveWithoutBackslashGivesTheRootOfThatDrive)
{
    DriveD drive("destination-drive-d");
    RegisterPreviousInstallation("D:Tidewater.exe");
    SetupProcess setup(PackageExe("tidewater"));
    AcceptWelcome(setup);

    PressButton(WaitForPrompt(setup), IDYES);

    EXPECT_EQ(WaitForExitWithout(setup, IDC_DEST_EDIT), 0u) << "expected exit status 0 after an install";
    EXPECT_EQ(LaunchRecord(), "\"D:\\Tidewater.exe\"");
    ExpectInstalledIn(drive.Folder());
}

TEST_F(PreviousInstallation, AValueNamingNoFolderCountsAsNone)
{
    RegisterPreviousInstallation("Tidewater.exe");
    SetupProcess setup(PackageExe("tidewater"));
    AcceptWelcome(setup);

    // A prompt would hold the destination dialog back until it was answered.
    HWND chooser = WaitForChooser(setup);
    EXPECT_EQ(ControlText(chooser, IDC_DEST_EDIT), ProgramFilesDir() + "\\Tidewater");
    PressButton(chooser, IDCANCEL);
    EXPECT_EQ(setup.DismissMessageBox().text, kCancelled);
    EXPECT_EQ(setup.WaitForExit(), 0u) << "expected exit status 0 after a cancel";
}

TEST_F(PreviousInstallation, AValueTooLongToReadCountsAsNone)
{
    // 512 characters: one more than the read takes with its terminator.
    std::string value = scratch_ + "\\";
    value += std::string(512 - value.size() - kProgramFile.size(), 'v') + kProgramFile;
    ASSERT_EQ(value.size(), 512u);
    RegisterPreviousInstallation(value);
    SetupProcess setup(PackageExe("tidewater"));
    AcceptWelcome(setup);

    HWND chooser = WaitForChooser(setup);
    EXPECT_EQ(ControlText(chooser, IDC_DEST_EDIT), ProgramFilesDir() + "\\Tidewater");
    PressEscape(chooser);
    EXPECT_EQ(setup.DismissMessageBox().text, kCancelled);
    EXPECT_EQ(setup.WaitForExit(), 0u) << "expected exit status 0 after a cancel";
}

// ---- The destination dialog --------------------------------------------------------------------

TEST_F(DestinationDialog, OkOnTheDefaultMakesTheFolderUnderProgramFilesDir)
{
    const std::string folder = ProgramFilesDir() + "\\Tidewater";
    RemoveTree(folder);
    SetupProcess setup(PackageExe("tidewater"));
    AcceptWelcome(setup);

    HWND chooser = WaitForChooser(setup);
    EXPECT_EQ(WindowTitle(chooser), kCaption);
    EXPECT_EQ(ControlText(chooser, 0xFFFF), "Please select the directory to install the program into:");
    EXPECT_EQ(ControlText(chooser, IDC_DEST_EDIT), folder);
    PressButton(chooser, IDOK);

    EXPECT_EQ(setup.WaitForExit(), 0u) << "expected exit status 0 after an install";
    EXPECT_EQ(LaunchRecord(), "\"" + folder + "\\Tidewater.exe\"");
    ExpectInstalledIn(folder);
    RemoveTree(folder);
}

TEST_F(DestinationDialog, ATypedTrailingBackslashGetsNoSecondOne)
{
    const std::string folder = scratch_ + "\\Typed";
    SetupProcess setup(PackageExe("tidewater"));
    AcceptWelcome(setup);

    HWND chooser = WaitForChooser(setup);
    SetControlText(chooser, IDC_DEST_EDIT, folder + "\\");
    PressButton(chooser, IDOK);

    EXPECT_EQ(setup.WaitForExit(), 0u) << "expected exit status 0 after an install";
    EXPECT_EQ(LaunchRecord(), "\"" + folder + "\\Tidewater.exe\"");
    ExpectInstalledIn(folder);
}

TEST_F(DestinationDialog, AnEmptiedEditBoxGivesTheRootOfTheCurrentDrive)
{
    // The setup starts on D:, so "\" is a scratch folder, not the prefix's or Linux's root.
    DriveD drive("destination-drive-d");
    SetupProcess setup(PackageExe("tidewater"), "D:\\");
    AcceptWelcome(setup);

    HWND chooser = WaitForChooser(setup);
    SetControlText(chooser, IDC_DEST_EDIT, "");
    PressButton(chooser, IDOK);

    EXPECT_EQ(setup.WaitForExit(), 0u) << "expected exit status 0 after an install";
    EXPECT_EQ(LaunchRecord(), "\"\\Tidewater.exe\"");
    ExpectInstalledIn(drive.Folder());
}

TEST_F(DestinationDialog, CancelEndsWithStatus0AndWritesNothing)
{
    const std::string defaultFolder = ProgramFilesDir() + "\\Tidewater";
    RemoveTree(defaultFolder);
    SetupProcess setup(PackageExe("tidewater"));
    AcceptWelcome(setup);

    HWND chooser = WaitForChooser(setup);
    SetControlText(chooser, IDC_DEST_EDIT, scratch_ + "\\Cancelled");
    PressButton(chooser, IDCANCEL);

    HWND notice = setup.WaitForMessageBox();
    EXPECT_EQ(WindowTitle(notice), kCaption);
    EXPECT_EQ(MessageBoxText(notice), kCancelled);
    PressButton(notice, IDOK);
    EXPECT_EQ(setup.WaitForExit(), 0u) << "expected exit status 0 after a cancel";
    ExpectNothingWritten();
    EXPECT_FALSE(FolderExists(defaultFolder)) << "expected no folder " << defaultFolder;
}

TEST_F(DestinationDialog, EscEndsWithStatus0AndWritesNothing)
{
    SetupProcess setup(PackageExe("tidewater"));
    AcceptWelcome(setup);

    HWND chooser = WaitForChooser(setup);
    SetControlText(chooser, IDC_DEST_EDIT, scratch_ + "\\Escaped");
    PressEscape(chooser);

    MessageBoxSeen notice = setup.DismissMessageBox();
    EXPECT_EQ(notice.title, kCaption);
    EXPECT_EQ(notice.text, kCancelled);
    EXPECT_EQ(setup.WaitForExit(), 0u) << "expected exit status 0 after a cancel";
    ExpectNothingWritten();
}

TEST_F(DestinationDialog, AMissingParentFolderFailsWithStatus1AndWritesNothing)
{
    SetupProcess setup(PackageExe("tidewater"));
    AcceptWelcome(setup);

    HWND chooser = WaitForChooser(setup);
    SetControlText(chooser, IDC_DEST_EDIT, scratch_ + "\\Missing\\Tidewater");
    PressButton(chooser, IDOK);

    MessageBoxSeen error = setup.DismissMessageBox();
    EXPECT_EQ(error.title, kCaption);
    EXPECT_EQ(error.text, kNoDestination);
    MessageBoxSeen failed = setup.DismissMessageBox();
    EXPECT_EQ(failed.title, kCaption);
    EXPECT_EQ(failed.text, kFailed);
    EXPECT_EQ(setup.WaitForExit(), 1u) << "expected exit status 1 after a fatal failure";
    ExpectNothingWritten();
}

// Not a string, or a string that does not end within the 512 characters read: neither counts.
TEST_F(DestinationDialog, AProgramFilesDirThatIsNoStringOrTooLongLeavesTheBuiltInDefault)
{
    SavedRegistryValue saved(HKEY_LOCAL_MACHINE, kCurrentVersionKey, "ProgramFilesDir");
    const DWORD number = 7;
    const std::vector<std::pair<DWORD, std::string>> values = {
        {REG_DWORD, std::string(reinterpret_cast<const char*>(&number), sizeof(number))},
        {REG_SZ, scratch_ + "\\" + std::string(512 - scratch_.size() - 1, 'p')},
    };
    for (const auto& [type, bytes] : values) {
        SCOPED_TRACE("ProgramFilesDir of type " + std::to_string(type) + " and " + std::to_string(bytes.size()) +
                     " bytes without terminator");
        saved.Set(type, bytes);
        SetupProcess setup(PackageExe("tidewater"));
        AcceptWelcome(setup);

        HWND chooser = WaitForChooser(setup);
        EXPECT_EQ(ControlText(chooser, IDC_DEST_EDIT), "c:\\Program Files\\Tidewater");
        PressEscape(chooser);
        EXPECT_EQ(setup.DismissMessageBox().text, kCancelled);
        EXPECT_EQ(setup.WaitForExit(), 0u) << "expected exit status 0 after a cancel";
    }
}

TEST_F(DestinationDialog, AnExpandableProgramFilesDirIsProposedAsItStands)
{
    SavedRegistryValue saved(HKEY_LOCAL_MACHINE, kCurrentVersionKey, "ProgramFilesDir");
    const std::string programs = scratch_ + "\\Programs";
    saved.Set(REG_EXPAND_SZ, programs + std::string(1, '\0'));
    SetupProcess setup(PackageExe("tidewater"));
    AcceptWelcome(setup);

    HWND chooser = WaitForChooser(setup);
    EXPECT_EQ(ControlText(chooser, IDC_DEST_EDIT), programs + "\\Tidewater");
    PressEscape(chooser);
    EXPECT_EQ(setup.DismissMessageBox().text, kCancelled);
    EXPECT_EQ(setup.WaitForExit(), 0u) << "expected exit status 0 after a cancel";
}

TEST_F(DestinationDialog, AProposalCutAtTheCapacityIsRefusedOnOkBeforeAnythingIsWritten)
{
    // 505 characters, then "\Tidewater" fills the 511 the destination holds with "\Tidew":
    // no room is left for the closing backslash.
    SavedRegistryValue saved(HKEY_LOCAL_MACHINE, kCurrentVersionKey, "ProgramFilesDir");
    std::string programs = scratch_ + "\\";
    programs += std::string(505 - programs.size(), 'p');
    saved.Set(REG_SZ, programs + std::string(1, '\0'));
    SetupProcess setup(PackageExe("tidewater"));
    AcceptWelcome(setup);

    HWND chooser = WaitForChooser(setup);
    EXPECT_EQ(ControlText(chooser, IDC_DEST_EDIT), programs + "\\Tidew");
    PressButton(chooser, IDOK);

    EXPECT_EQ(setup.DismissMessageBox().text, kNoDestination);
    EXPECT_EQ(setup.DismissMessageBox().text, kFailed);
    EXPECT_EQ(setup.WaitForExit(), 1u) << "expected exit status 1 after a fatal failure";
    ExpectNothingWritten();
}

// ---- The listed subfolders ---------------------------------------------------------------------

TEST_F(Subdirectories, ANestedFolderListedBeforeItsParentIsNotMade)
{
    const std::string folder = scratch_ + "\\Nested";
    SetupProcess setup(PackageExe("nested_before_parent"));
    AcceptWelcome(setup);
    HWND chooser = WaitForChooser(setup);
    SetControlText(chooser, IDC_DEST_EDIT, folder);
    PressButton(chooser, IDOK);

    EXPECT_EQ(setup.WaitForExit(), 0u) << "expected exit status 0: a folder not made is not reported";
    EXPECT_EQ(LaunchRecord(), "\"" + folder + "\\Tidewater.exe\"");
    EXPECT_EQ(Listing(ListFolder(folder)), "{Tidewater.exe, a}");
    EXPECT_EQ(Listing(ListFolder(folder + "\\a")), "{}") << "expected no a\\b: it came before a";
}

TEST_F(Subdirectories, AParentListedFirstMakesBoth)
{
    const std::string folder = scratch_ + "\\Nested";
    SetupProcess setup(PackageExe("parent_before_nested"));
    AcceptWelcome(setup);
    HWND chooser = WaitForChooser(setup);
    SetControlText(chooser, IDC_DEST_EDIT, folder);
    PressButton(chooser, IDOK);

    EXPECT_EQ(setup.WaitForExit(), 0u) << "expected exit status 0 after an install";
    EXPECT_EQ(LaunchRecord(), "\"" + folder + "\\Tidewater.exe\"");
    EXPECT_EQ(Listing(ListFolder(folder)), "{Tidewater.exe, a}");
    EXPECT_EQ(Listing(ListFolder(folder + "\\a")), "{b}");
}

// ---- 32-bit and 64-bit products -----------------------------------------------------------------

namespace {

// One run of Tidewater as a 32-bit (tidewater) or 64-bit (tidewater64) product, and where it
// installs on each kind of Windows ("" where it is refused: a box, or nothing with /S, and 1).
// A run without /S takes the proposed folder, which the row's folder must then be.
struct ArchitectureRow {
    const char* package;
    const char* arguments;
    REGSAM previous;  // the view of the App Paths value an earlier install left, or ~0: none
    const char* on32;
    const char* on64;
};

const REGSAM kNone = ~REGSAM(0), k32 = KEY_WOW64_32KEY, k64 = KEY_WOW64_64KEY;
const char kPrevious[] = "{previous}";
const ArchitectureRow kArchitectureRows[] = {
    {"tidewater", "", kNone, "C:\\Program Files\\Tidewater", "C:\\Program Files (x86)\\Tidewater"},
    {"tidewater", "/S", k64, kPrevious, "C:\\Program Files (x86)\\Tidewater"},
    {"tidewater64", "", kNone, "", "C:\\Program Files\\Tidewater"},
    {"tidewater64", "/S", kNone, "", "C:\\Program Files\\Tidewater"},
    {"tidewater64", "/S", k64, "", kPrevious},
    {"tidewater64", "/S", k32, "", kPrevious},
};

const std::string kEntryKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tidewater";

// Windows keeps an App Paths key for each view; Wine 8 keeps one for both, so that there an earlier
// install is found from either view, as on 32-bit Windows.
bool OneAppPathsKey()
{
    const std::string probe = AppPathsKey("Tidewater Probe.exe");
    SetRegistryString(HKEY_LOCAL_MACHINE, probe, "", "64", k64);
    const bool one = ReadRegistryString(HKEY_LOCAL_MACHINE, probe, "", k32).has_value();
    DeleteRegistryKey(HKEY_LOCAL_MACHINE, probe, k64);
    return one;
}

void ForgetTidewater()
{
    for (REGSAM view : {k32, k64}) {
        DeleteRegistryKey(HKEY_LOCAL_MACHINE, AppPathsKey(kProgramFile), view);
        DeleteRegistryKey(HKEY_LOCAL_MACHINE, kEntryKey, view);
    }
}

}  // namespace

TEST_F(Architecture, EachProductInstallsWhereItsWindowsKeepsItsKindOrIsRefused)
{
    const bool is64 = Is64BitWindows();
    const bool oneAppPaths = !is64 || OneAppPathsKey();
    RecordProperty("windows", is64 ? "64-bit" : "32-bit");
    for (const ArchitectureRow& row : kArchitectureRows) {
        SCOPED_TRACE(std::string(row.package) + " " + row.arguments + " on " + (is64 ? "64" : "32") +
                     "-bit Windows, previous install in the " +
                     (row.previous == kNone ? "no" : row.previous == k32 ? "32-bit" : "64-bit") + " view");
        ForgetTidewater();
        const std::string previous = scratch_ + "\\Previous";
        if (row.previous != kNone)
            SetRegistryString(HKEY_LOCAL_MACHINE, AppPathsKey(kProgramFile), "", previous + "\\" + kProgramFile,
                              row.previous);
        std::string folder = is64 ? row.on64 : row.on32;
        folder = folder == kPrevious || (!folder.empty() && row.previous != kNone && oneAppPaths) ? previous : folder;
        if (!folder.empty())
            RemoveTree(folder);
        SetupProcess setup(PackageExe(row.package), "", row.arguments);
        const bool silent = *row.arguments != '\0';
        if (folder.empty() && !silent) {
            MessageBoxSeen box = setup.DismissMessageBox();
            EXPECT_EQ(box.title, kCaption);
            EXPECT_EQ(box.text, "This product needs 64-bit Windows.");
        } else if (!silent) {
            AcceptWelcome(setup);
            HWND chooser = WaitForChooser(setup);
            EXPECT_EQ(ControlText(chooser, IDC_DEST_EDIT), folder);
            PressButton(chooser, IDOK);
        }
        DWORD status = WaitForExitWithout(setup, IDC_TERMS_LIST);
        if (folder.empty()) {
            EXPECT_EQ(status, 1u) << "expected exit status 1 for a product that needs 64-bit Windows, got " << status;
            ExpectNothingWritten();
            EXPECT_FALSE(FolderExists("C:\\Program Files\\Tidewater")) << "expected nothing installed";
            continue;
        }
        EXPECT_EQ(status, 0u) << "expected exit status 0 after an install, got " << status;
        if (!silent) {
            // Read whole before the next row, which must find no record of its own.
            EXPECT_EQ(LaunchRecord(), "\"" + folder + "\\Tidewater.exe\"");
            DeleteFileA(record_.c_str());
        }
        ExpectInstalledIn(folder);
        RemoveTree(folder);
        // Only the 64-bit product has an entry, in the view of its kind.
        bool entry = std::string(row.package) == "tidewater64";
        EXPECT_EQ(ReadRegistryString(HKEY_LOCAL_MACHINE, kEntryKey, "DisplayName", k64).value_or("(none)"),
                  entry ? "Tidewater" : "(none)");
        EXPECT_EQ(ReadRegistryString(HKEY_LOCAL_MACHINE, kEntryKey, "DisplayName", k32).value_or("(none)"),
                  entry && !is64 ? "Tidewater" : "(none)");
    }
    ForgetTidewater();
}

// ---- The folder browser -------------------------------------------------------------------------

namespace {

// The browser is a new top-level window of the setup, with our title inside it.
HWND OpenBrowser(SetupProcess& setup, HWND chooser)
{
    PressButton(chooser, IDC_BROWSE);
    HWND browser = setup.WaitForAnyWindow(kWaitMs, {chooser});
    if (!HasChildWithText(browser, kBrowseTitle))
        throw DriverError("expected the folder browser showing \"" + kBrowseTitle + "\"; got " +
                          DescribeWindow(browser));
    return browser;
}

// Picks drive Z: (the Linux root), then the folders of `path` below it, and presses OK.
void PickInBrowser(SetupProcess& setup, HWND browser, const std::string& path)
{
    RemoteTree tree(setup.Id(), ChildOfClass(browser, "SysTreeView32"));
    std::string seen;
    // The drives sit below one of the desktop's entries, the computer, shown as "label (Z:)".
    HTREEITEM item = nullptr;
    for (HTREEITEM place : tree.Children(tree.Root())) {
        item = tree.FindChild(place, [](const std::string& text) {
            return text.size() >= 4 && text.compare(text.size() - 4, 4, "(Z:)") == 0;
        }, &seen);
        if (item != nullptr)
            break;
    }
    if (item == nullptr)
        throw DriverError("no drive Z: in the browser's tree; seen:" + seen);
    std::istringstream names(path.substr(path.rfind("Z:\\", 0) == 0 ? 3 : 0));
    std::string name;
    while (std::getline(names, name, '\\')) {
        seen.clear();
        item = tree.FindChild(item, [&](const std::string& text) { return text == name; }, &seen);
        if (item == nullptr)
            throw DriverError("no folder " + name + " of " + path + " in the browser's tree; seen:" + seen);
    }
    tree.Select(item);
    PressButton(browser, IDOK);
    setup.WaitUntilGone(browser);
}

}  // namespace

TEST_F(FolderBrowser, OpensWithItsTitleAndCancelLeavesTheEditBoxAsItWas)
{
    const std::string typed = scratch_ + "\\Typed before browsing";
    SetupProcess setup(PackageExe("tidewater"));
    AcceptWelcome(setup);

    HWND chooser = WaitForChooser(setup);
    SetControlText(chooser, IDC_DEST_EDIT, typed);
    HWND browser = OpenBrowser(setup, chooser);
    EXPECT_EQ(WindowClass(browser), "#32770");
    EXPECT_NE(browser, chooser);
    PressButton(browser, IDCANCEL);
    setup.WaitUntilGone(browser);
    EXPECT_EQ(ControlText(chooser, IDC_DEST_EDIT), typed);

    PressButton(chooser, IDCANCEL);
    EXPECT_EQ(setup.DismissMessageBox().text, kCancelled);
    EXPECT_EQ(setup.WaitForExit(), 0u) << "expected exit status 0 after a cancel";
    ExpectNothingWritten();
}

TEST_F(FolderBrowser, AChosenFolderReplacesTheEditTextEntirely)
{
    const std::string chosen = scratch_ + "\\Chosen";
    MakeFolders(chosen);
    SetupProcess setup(PackageExe("tidewater"));
    AcceptWelcome(setup);
    HWND chooser = WaitForChooser(setup);

    // A drive root comes back with its backslash.
    PickInBrowser(setup, OpenBrowser(setup, chooser), "Z:\\");
    EXPECT_EQ(ControlText(chooser, IDC_DEST_EDIT), "Z:\\");

    // A folder comes back as it is: no product name, no backslash.
    PickInBrowser(setup, OpenBrowser(setup, chooser), chosen);
    EXPECT_EQ(ControlText(chooser, IDC_DEST_EDIT), chosen);
    PressButton(chooser, IDOK);

    EXPECT_EQ(setup.WaitForExit(), 0u) << "expected exit status 0 after an install";
    EXPECT_EQ(LaunchRecord(), "\"" + chosen + "\\Tidewater.exe\"");
    ExpectInstalledIn(chosen);
}

// ---- The templates, read from the built executable -------------------------------------------

// Each template loads and has every control its dialog procedure addresses.
TEST(DialogTemplates, TheFourLoadWithTheControlsTheCodeUses)
{
    const struct {
        int dialog;
        std::vector<int> controls;
    } rows[] = {
        {IDD_WELCOME, {IDOK, IDCANCEL, IDC_WELCOME_TEXT, IDC_TERMS_LIST}},
        {IDD_REINSTALL, {IDYES, IDNO}},
        {IDD_DESTINATION, {IDOK, IDCANCEL, IDC_DEST_EDIT, IDC_BROWSE}},
        {IDD_PROGRESS, {IDC_STATUS}},
    };
    for (const auto& row : rows) {
        DialogTemplate got = ReadDialogTemplate(PackageExe("tidewater"), row.dialog);
        for (int id : row.controls) {
            bool found = false;
            for (const DialogItem& item : got.items)
                found = found || (item.id & 0xFFFF) == id;
            EXPECT_TRUE(found) << "expected control " << id << " in dialog template " << row.dialog << ", got none";
        }
    }
}
