// The destination stage under Wine: previous installation, default folder, the two dialogs, the folder browser, the folders made, each architecture's folder and registry view, and the four dialog templates.
#include "driver.h"
#include "resource.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iomanip>
#include <ostream>
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
const std::string kEntryKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tidewater";

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

// Drive D: of the prefix, made for one case: a link in the prefix's dosdevices folder to a
// fresh scratch folder, removed again at the end. Wine reads that folder on every lookup.
class DriveD {
public:
    explicit DriveD(const std::string& name)
    {
        const char* prefix = std::getenv("WINEPREFIX");
        if (prefix == nullptr || *prefix == '\0')
            throw DriverError("WINEPREFIX must name the prefix to give it a drive D:");
        link_ = std::string(prefix) + "/dosdevices/d:";
        unixFolder_ = LinuxScratch(name);
        // A drive D: left by an interrupted run pointed at this folder: without it, any D: is not ours.
        RemoveTree(WinePath(unixFolder_));
        if (FolderExists("D:\\"))
            throw DriverError("the prefix already has a drive D: of its own; not replacing it");
        folder_ = FreshScratchFolder(name);
        const std::string mark = "drive-d-mark";
        WriteFileBytes(folder_ + "\\" + mark, "");
        RunUnix("ln -sfn '" + unixFolder_ + "' '" + link_ + "'");
        if (!WaitUntil([&] { return FileExists("D:\\" + mark); }))
            throw DriverError("expected drive D: to show " + folder_);
        RemoveTree(folder_ + "\\" + mark);
    }

    ~DriveD()
    {
        try {
            RunUnix("rm -f '" + link_ + "'");
            if (!WaitUntil([] { return !FolderExists("D:\\"); }))
                throw DriverError("expected drive D: to go");
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
    if (!WaitUntil([&] {
            DWORD_PTR state = 0;
            return !IsWindow(button) ||
                   (SendMessageTimeoutW(button, BM_GETSTATE, 0, 0, SMTO_NORMAL, kWaitMs, &state) &&
                    (state & BST_PUSHED));
        }))
        throw DriverError("expected the prompt to take its input within " + std::to_string(kWaitMs) + " ms");
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
        DeleteRegistryKey(HKEY_LOCAL_MACHINE, kEntryKey);
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        scratch_ = FreshScratchFolder("destination-" + name);
    }

    void TearDown() override
    {
        DeleteRegistryKey(HKEY_LOCAL_MACHINE, AppPathsKey(kProgramFile));
        DeleteRegistryKey(HKEY_LOCAL_MACHINE, kEntryKey);
    }

    void RegisterPreviousInstallation(const std::string& value)
    {
        SetRegistryString(HKEY_LOCAL_MACHINE, AppPathsKey(kProgramFile), "", value);
    }

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
        EXPECT_FALSE(record_.Written()) << "expected no program started";
        EXPECT_FALSE(ReadRegistryString(HKEY_LOCAL_MACHINE, kEntryKey, "DisplayName").has_value())
            << "expected no Apps & Features entry";
    }

    std::string scratch_;
    LaunchRecord record_{"destination-launch"};
};

class FolderBrowser : public DestinationCase {};
class Architecture : public DestinationCase {};

// ---- Journeys through the reinstall prompt and the destination dialog ----------------------------

// Texts may hold {scratch} (the row's scratch folder), {pf} (the prefix's ProgramFilesDir), {d} (drive
// D:'s folder by its Z: path) and {set} (the ProgramFilesDir the row sets); one {fill N} pads the
// text with x to N characters.
enum Prompt { kNoPrompt, kYes, kEscThenNo };
enum Ending { kInstalled, kCancelledBox, kRefused };
constexpr int kEsc = 0;

struct JourneyRow {
    const char* name;
    const char* package;
    const char* previous;               // the App Paths value an earlier install left, or none
    DWORD programFilesType;             // 0: ProgramFilesDir as the prefix has it
    const char* programFiles;           // its text, stored without a terminator at 512 (a REG_DWORD's number)
    bool driveD;                        // a drive D: for the row
    const char* startIn;                // the setup's working folder, "" its own
    Prompt prompt;
    const char* proposal;               // what the destination dialog proposes, or none: the dialog must not show
    const char* typed;                  // typed over the proposal, or none
    int answer;                         // the dialog's button, or kEsc
    Ending ending;
    const char* folder = nullptr;       // kInstalled: the folder as the launch record names it
    const char* installedIn = nullptr;  // that folder from here, where it differs
    const char* listing = nullptr;      // a package other than tidewater: the folder's listing, then its a's
    const char* listingOfA = nullptr;
};

const JourneyRow kJourneyRows[] = {
    // Only the last level is made: the parent must be there, as it was for the earlier install.
    {"YesReusesThePreviousFolder", "tidewater", "C:\\Tools\\Tidewater\\Tidewater.exe", 0, nullptr, false, "", kYes,
     nullptr, nullptr, 0, kInstalled, "C:\\Tools\\Tidewater"},
    {"AQuotedPreviousValueGivesTheFolderInsideTheQuotes", "tidewater", "\"{scratch}\\Tidewater\\Tidewater.exe\"", 0,
     nullptr, false, "", kYes, nullptr, nullptr, 0, kInstalled, "{scratch}\\Tidewater"},
    {"EscOnThePromptIsIgnoredAndNoOffersTheDefault", "tidewater", "{scratch}\\Old\\Tidewater.exe", 0, nullptr, false,
     "", kEscThenNo, "{pf}\\Tidewater", nullptr, IDCANCEL, kCancelledBox},
    {"APreviousDriveWithoutBackslashGivesItsRoot", "tidewater", "D:Tidewater.exe", 0, nullptr, true, "", kYes,
     nullptr, nullptr, 0, kInstalled, "D:", "{d}"},
    {"APreviousValueNamingNoFolderCountsAsNone", "tidewater", "Tidewater.exe", 0, nullptr, false, "", kNoPrompt,
     "{pf}\\Tidewater", nullptr, IDCANCEL, kCancelledBox},
    // One more than the read takes with its terminator.
    {"APreviousValueTooLongToReadCountsAsNone", "tidewater", "{scratch}\\{fill 512}Tidewater.exe", 0, nullptr, false,
     "", kNoPrompt, "{pf}\\Tidewater", nullptr, kEsc, kCancelledBox},
    {"OkOnTheDefaultMakesTheFolderUnderProgramFilesDir", "tidewater", nullptr, 0, nullptr, false, "", kNoPrompt,
     "{pf}\\Tidewater", nullptr, IDOK, kInstalled, "{pf}\\Tidewater"},
    {"ATypedTrailingBackslashGetsNoSecondOne", "tidewater", nullptr, 0, nullptr, false, "", kNoPrompt,
     "{pf}\\Tidewater", "{scratch}\\Typed\\", IDOK, kInstalled, "{scratch}\\Typed"},
    // The setup starts on D:, so "\" is a scratch folder, not the prefix's or Linux's root.
    {"AnEmptiedEditBoxGivesTheRootOfTheCurrentDrive", "tidewater", nullptr, 0, nullptr, true, "D:\\", kNoPrompt,
     "{pf}\\Tidewater", "", IDOK, kInstalled, "", "{d}"},
    {"CancelEndsWithStatus0AndWritesNothing", "tidewater", nullptr, 0, nullptr, false, "", kNoPrompt,
     "{pf}\\Tidewater", "{scratch}\\Cancelled", IDCANCEL, kCancelledBox},
    {"EscEndsWithStatus0AndWritesNothing", "tidewater", nullptr, 0, nullptr, false, "", kNoPrompt, "{pf}\\Tidewater",
     "{scratch}\\Escaped", kEsc, kCancelledBox},
    {"AMissingParentFolderFailsWithStatus1AndWritesNothing", "tidewater", nullptr, 0, nullptr, false, "", kNoPrompt,
     "{pf}\\Tidewater", "{scratch}\\Missing\\Tidewater", IDOK, kRefused},
    // Not a string, or a string that does not end within the 512 characters read: neither counts.
    {"AProgramFilesDirThatIsNoStringLeavesTheBuiltInDefault", "tidewater", nullptr, REG_DWORD, "7", false, "",
     kNoPrompt, "c:\\Program Files\\Tidewater", nullptr, kEsc, kCancelledBox},
    {"AProgramFilesDirTooLongLeavesTheBuiltInDefault", "tidewater", nullptr, REG_SZ, "{scratch}\\{fill 512}", false,
     "", kNoPrompt, "c:\\Program Files\\Tidewater", nullptr, kEsc, kCancelledBox},
    {"AnExpandableProgramFilesDirIsProposedAsItStands", "tidewater", nullptr, REG_EXPAND_SZ, "{scratch}\\Programs",
     false, "", kNoPrompt, "{scratch}\\Programs\\Tidewater", nullptr, kEsc, kCancelledBox},
    // 505 characters, then "\Tidewater" fills the 511 the destination holds with "\Tidew": no room is
    // left for the closing backslash.
    {"AProposalCutAtTheCapacityIsRefusedOnOk", "tidewater", nullptr, REG_SZ, "{scratch}\\{fill 505}", false, "",
     kNoPrompt, "{set}\\Tidew", nullptr, IDOK, kRefused},
    // A folder not made is not reported.
    {"ANestedFolderListedBeforeItsParentIsNotMade", "nested_before_parent", nullptr, 0, nullptr, false, "", kNoPrompt,
     "{pf}\\Tidewater", "{scratch}\\Nested", IDOK, kInstalled, "{scratch}\\Nested", nullptr, "{Tidewater.exe, a}",
     "{}"},
    {"ParentsListedFirstMakeEveryFolder", "parent_before_nested", nullptr, 0, nullptr, false, "", kNoPrompt,
     "{pf}\\Tidewater", "{scratch}\\Nested", IDOK, kInstalled, "{scratch}\\Nested", nullptr, "{Tidewater.exe, a}",
     "{b}"},
};

// A failing row is named by its name, not by its bytes.
void PrintTo(const JourneyRow& row, std::ostream* out)
{
    *out << row.name;
}

class Journey : public DestinationCase, public ::testing::WithParamInterface<JourneyRow> {
protected:
    std::string Expand(const char* text) const
    {
        // {fill N} goes last, once the length of the rest is known.
        std::string out = Filled(text, [&](const std::string& key) {
            return key == "scratch" ? scratch_ : key == "pf" ? programFiles_ : key == "d" ? driveFolder_
                   : key == "set" ? set_ : "{" + key + "}";
        });
        const size_t fill = out.find("{fill ");
        if (fill != std::string::npos) {
            const size_t end = out.find('}', fill);
            const size_t length = std::stoul(out.substr(fill + 6, end - fill - 6));
            out.erase(fill, end + 1 - fill);
            out.insert(fill, length - out.size(), 'x');
        }
        return out;
    }

    std::string programFiles_ = ProgramFilesDir();
    std::string driveFolder_;
    std::string set_;
};

void AnswerPrompt(SetupProcess& setup, Prompt prompt)
{
    HWND box = WaitForPrompt(setup);
    EXPECT_EQ(WindowTitle(box), kCaption);
    EXPECT_EQ(ControlText(box, 0xFFFF), kPrompt) << "the prompt names no folder";
    EXPECT_EQ(ControlText(box, IDYES), "Yes");
    EXPECT_EQ(ControlText(box, IDNO), "No");
    if (prompt == kEscThenNo) {
        PressEscape(box);
        WaitUntilPostedInputHandled(box, IDNO);
        ASSERT_TRUE(IsWindow(box) && IsWindowVisible(box)) << "expected the prompt to stay after Esc; got "
                                                           << setup.DescribeScreen();
        EXPECT_EQ(setup.Windows().size(), 1u) << "expected the prompt alone after Esc; got " << setup.DescribeScreen();
    }
    PressButton(box, prompt == kYes ? IDYES : IDNO);
}

}  // namespace

TEST_P(Journey, EndsAsItsAnswersSay)
{
    const JourneyRow& row = GetParam();
    std::optional<DriveD> drive;
    if (row.driveD)
        driveFolder_ = drive.emplace("destination-drive-d").Folder();
    std::optional<SavedRegistryValue> saved;
    if (row.programFilesType != 0) {
        saved.emplace(HKEY_LOCAL_MACHINE, kCurrentVersionKey, "ProgramFilesDir");
        set_ = Expand(row.programFiles);
        if (row.programFilesType == REG_DWORD) {
            DWORD number = std::stoul(set_);
            saved->Set(REG_DWORD, std::string(reinterpret_cast<const char*>(&number), sizeof(number)));
        } else {
            saved->Set(row.programFilesType, set_ + std::string(set_.size() < 512 ? 1 : 0, '\0'));
        }
    }
    if (row.previous != nullptr)
        RegisterPreviousInstallation(Expand(row.previous));
    const std::string defaultFolder = programFiles_ + "\\Tidewater";
    const std::string folder = row.folder ? Expand(row.folder) : "";
    const std::string installedIn = row.installedIn ? Expand(row.installedIn) : folder;
    RemoveTree(defaultFolder);
    if (row.ending == kInstalled && folder.rfind(scratch_, 0) != 0 && !row.driveD) {
        RemoveTree(installedIn);
        MakeFolders(installedIn.substr(0, installedIn.rfind('\\')));
    }

    SetupProcess setup(PackageExe(row.package), row.startIn);
    AcceptWelcome(setup);
    if (row.prompt != kNoPrompt) {
        ASSERT_NO_FATAL_FAILURE(AnswerPrompt(setup, row.prompt));
    }
    DWORD status = 0;
    if (row.proposal == nullptr) {
        status = WaitForExitWithout(setup, IDC_DEST_EDIT);
    } else {
        HWND chooser = WaitForChooser(setup);
        EXPECT_EQ(WindowTitle(chooser), kCaption);
        EXPECT_EQ(ControlText(chooser, 0xFFFF), "Please select the directory to install the program into:");
        EXPECT_EQ(ControlText(chooser, IDC_DEST_EDIT), Expand(row.proposal));
        if (row.typed != nullptr)
            SetControlText(chooser, IDC_DEST_EDIT, Expand(row.typed));
        if (row.answer == kEsc)
            PressEscape(chooser);
        else
            PressButton(chooser, row.answer);
        std::vector<std::string> boxes;
        if (row.ending == kCancelledBox)
            boxes = {kCancelled};
        if (row.ending == kRefused)
            boxes = {kNoDestination, kFailed};
        for (const std::string& text : boxes) {
            MessageBoxSeen box = setup.DismissMessageBox();
            EXPECT_EQ(box.title, kCaption);
            EXPECT_EQ(box.text, text);
        }
        status = setup.WaitForExit();
    }

    const DWORD expected = row.ending == kRefused ? 1 : 0;
    EXPECT_EQ(status, expected) << "expected exit status " << expected << ", got " << status;
    if (row.ending != kInstalled) {
        ExpectNothingWritten();
        EXPECT_FALSE(FolderExists(defaultFolder)) << "expected no folder " << defaultFolder;
        return;
    }
    EXPECT_EQ(record_.Read(), "\"" + folder + "\\Tidewater.exe\"");
    // Apps & Features has the folder without its last backslash, unless it is a root's.
    if (std::string(row.package) == "tidewater") {
        const std::string location = folder.empty() || folder.back() == ':' ? folder + "\\" : folder;
        EXPECT_EQ(ReadRegistryString(HKEY_LOCAL_MACHINE, kEntryKey, "InstallLocation").value_or("(none)"), location)
            << "Apps & Features InstallLocation";
    }
    if (row.listing == nullptr) {
        ExpectInstalledIn(installedIn);
    } else {
        EXPECT_EQ(Listing(ListFolder(installedIn)), row.listing);
        EXPECT_EQ(Listing(ListFolder(installedIn + "\\a")), row.listingOfA);
    }
    // Nothing else beside it, such as a folder named with a quote.
    if (installedIn.rfind(scratch_ + "\\", 0) == 0) {
        std::string first = installedIn.substr(scratch_.size() + 1);
        EXPECT_EQ(Listing(ListFolder(scratch_)), "{" + first.substr(0, first.find('\\')) + "}");
    } else if (!row.driveD) {
        RemoveTree(installedIn);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, Journey, ::testing::ValuesIn(kJourneyRows),
                         [](const ::testing::TestParamInfo<JourneyRow>& info) { return info.param.name; });

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
            EXPECT_EQ(record_.Read(), "\"" + folder + "\\Tidewater.exe\"");
            record_.Forget();
        }
        ExpectInstalledIn(folder);
        RemoveTree(folder);
        // Each product's entry is in the view of its kind.
        bool x64 = std::string(row.package) == "tidewater64";
        EXPECT_EQ(ReadRegistryString(HKEY_LOCAL_MACHINE, kEntryKey, "DisplayName", k64).value_or("(none)"),
                  x64 || !is64 ? "Tidewater" : "(none)");
        EXPECT_EQ(ReadRegistryString(HKEY_LOCAL_MACHINE, kEntryKey, "DisplayName", k32).value_or("(none)"),
                  !x64 || !is64 ? "Tidewater" : "(none)");
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
    EXPECT_EQ(record_.Read(), "\"" + chosen + "\\Tidewater.exe\"");
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
        TemplateDialog dialog(PackageExe("tidewater"), row.dialog);
        std::vector<int> got;
        for (HWND child : Children(dialog.get()))
            got.push_back(GetDlgCtrlID(child));
        for (int id : row.controls) {
            EXPECT_TRUE(std::find(got.begin(), got.end(), id) != got.end())
                << "expected control " << id << " in dialog " << row.dialog << ", got controls "
                << ::testing::PrintToString(got);
        }
    }
}
