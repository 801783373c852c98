// The payload extraction under Wine: the sample installed byte for byte, the progress dialog, and each way a file can fail.
#include "driver.h"
#include "resource.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <sstream>
#include <utility>

using namespace e2e;

#if !defined(E2E_SAMPLE_SETUP) || !defined(E2E_SIGNED_SAMPLE_SETUP) || !defined(E2E_SAMPLE_DIR) || \
    !defined(E2E_SAMPLE_BUILD_DIR) || !defined(E2E_PAYLOAD_DIR) || !defined(E2E_PACKAGES_DIR) || \
    !defined(E2E_GEN_PAYLOAD) || !defined(E2E_SETUP_PACK) || !defined(E2E_STUB)
#error "the sample installer built and signed, its sources and program, the test packages and the tools that pack a payload must be named"
#endif

namespace {

const std::string kSampleEntry = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Lumivue";
const std::string kQuillmarkEntry = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quillmark";

// Every test package is the product Quillmark, whose main program is listed nowhere: a run
// that goes through ends with the launch warning, which also proves that no other box came.
const std::string kProgram = "Quillmark.exe";
const std::string kCaption = "Installing - Quillmark";
const std::string kLaunchWarning =
    "Warning: Couldn't launch 'Quillmark.exe'\nPlease, proceed by launching it manually instead!";

std::string Payload(const std::string& file)
{
    return ReadFileBytes(WinePath(E2E_PAYLOAD_DIR "/" + file));
}

// ---- Driving a setup and reading what it left -------------------------------------------------

// One file's trouble: its error, read while the extraction waits, then the failure notice; both
// boxes titled with the caption and owned by the progress dialog. Poked, the dialog is also tried
// every way to end it while the error holds it on screen, and must go on as if nothing was pressed.
void ExpectFileFailure(SetupProcess& setup, const std::string& error, const std::string& statusLine, bool poke)
{
    HWND progress = nullptr;
    for (const std::string& text : {error, kFailed}) {
        HWND box = setup.WaitForMessageBox();
        ASSERT_EQ(MessageBoxText(box), text) << "expected the file's error, then the failure notice";
        if (progress == nullptr)
            progress = setup.WaitForDialogWith(IDC_STATUS);
        EXPECT_TRUE(IsWindow(progress) && IsWindowVisible(progress)) << "expected the progress dialog still up";
        EXPECT_EQ(WindowTitle(box), kCaption);
        EXPECT_EQ(GetWindow(box, GW_OWNER), progress) << "expected the box to be owned by the progress dialog";
        if (text == error) {
            EXPECT_EQ(ControlText(progress, IDC_STATUS), statusLine) << "status line while the error is shown";
        }
        if (text == error && poke) {
            LONG style = GetWindowLongW(progress, GWL_STYLE);
            EXPECT_EQ(style & WS_SYSMENU, 0) << "expected no close box on the dialog; style " << std::hex << style;
            EXPECT_NE(style & WS_CAPTION, 0) << "expected a caption; style " << std::hex << style;
            EXPECT_EQ(WindowTitle(progress), kCaption);
            for (HWND child = GetWindow(progress, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT))
                EXPECT_NE(WindowClass(child), "Button") << "expected no button in " << DescribeWindow(progress);
            // Esc, the cancel command it becomes and a close, a second start command and stray
            // private messages: then OK, queued behind them.
            PressEscape(progress);
            PostMessageW(progress, WM_COMMAND, IDCANCEL, 0);
            PostMessageW(progress, WM_SYSCOMMAND, SC_CLOSE, 0);
            PostMessageW(progress, WM_CLOSE, 0, 0);
            PostMessageW(progress, WM_COMMAND, ID_START_EXTRACTION, 0);
            for (UINT message = WM_APP; message < WM_APP + 4; ++message)
                PostMessageW(progress, message, 0, 0);
        }
        PressButton(box, IDOK);
        setup.WaitUntilGone(box);
    }
}

// The end of every test package's run: the launch warning is the next box, then the status:
// 0, or 3 after a file that was not written.
void ExpectLaunchWarningAndExit(SetupProcess& setup, DWORD status = 0)
{
    MessageBoxSeen warning = setup.DismissMessageBox();
    ASSERT_EQ(warning.text, kLaunchWarning) << "expected the launch warning as the next box";
    EXPECT_EQ(setup.WaitForExit(), status) << "expected exit status " << status;
}

// Every entry below a folder, at any depth, by its path from there ("under" ends in a backslash).
std::vector<std::string> Tree(const std::string& folder, const std::string& under = "")
{
    std::vector<std::string> names;
    for (const std::string& name : ListFolder(folder + "\\" + under)) {
        names.push_back(under + name);
        if (FolderExists(folder + "\\" + under + name))
            for (const std::string& below : Tree(folder, under + name + "\\"))
                names.push_back(below);
    }
    return names;
}

// Files by their path under a folder, with their bytes; none: it may be there, and is not read.
using Files = std::vector<std::pair<std::string, std::optional<std::string>>>;

// These files and the folders they are in, nothing else, each with its bytes.
void ExpectOnly(const std::string& folder, const Files& files)
{
    std::vector<std::string> expected, found = Tree(folder);
    for (const auto& [name, bytes] : files) {
        if (!bytes) {
            found.erase(std::remove(found.begin(), found.end(), name), found.end());
            continue;
        }
        for (size_t cut = name.find('\\'); cut != std::string::npos; cut = name.find('\\', cut + 1))
            expected.push_back(name.substr(0, cut));
        expected.push_back(name);
        if (FileExists(folder + "\\" + name)) {
            EXPECT_EQ(ReadFileBytes(folder + "\\" + name), *bytes) << "content of " << folder << "\\" << name;
        }
    }
    for (auto* names : {&expected, &found})
        std::sort(names->begin(), names->end());
    expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
    EXPECT_EQ(found, expected) << "in " << folder << ": expected " << Listing(expected) << ", got " << Listing(found);
}

// Watches the setup's top-level windows being created, through accessibility events, so that
// a dialog that opens and closes between two polls can still be looked at. Wine sends no show
// events, and hands creations over asynchronously: a window may be gone before it is looked at.
// The events come as messages to this thread, so every wait here pumps them.
class CreatedWindows {
public:
    struct Created {
        std::string windowClass;  // empty when the window had gone before it was looked at
        std::string title;
    };

    explicit CreatedWindows(DWORD processId)
        : hook_(SetWinEventHook(EVENT_OBJECT_CREATE, EVENT_OBJECT_CREATE, nullptr, OnEvent, processId, 0,
                                WINEVENT_OUTOFCONTEXT))
    {
        if (hook_ == nullptr)
            throw DriverError("could not watch the windows of the setup: error " + std::to_string(GetLastError()));
        active_ = this;
    }
    ~CreatedWindows()
    {
        UnhookWinEvent(hook_);
        active_ = nullptr;
    }
    CreatedWindows(const CreatedWindows&) = delete;
    CreatedWindows& operator=(const CreatedWindows&) = delete;

    void Pump()
    {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&message);
    }

    // Pumps events until `done` holds or the wait runs out.
    template <typename Done>
    void PumpUntil(Done done)
    {
        DWORD start = GetTickCount();
        for (Pump(); !done() && static_cast<int>(GetTickCount() - start) < kWaitMs; Pump())
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }

    const std::vector<Created>& created() const { return created_; }

private:
    // No messages sent to the setup from here: the window text as the system keeps it.
    static std::string InternalText(HWND window)
    {
        wchar_t text[256] = {};
        GetWindowTextW(window, text, 256);
        return Utf8(text);
    }

    static void CALLBACK OnEvent(HWINEVENTHOOK, DWORD, HWND window, LONG object, LONG, DWORD, DWORD)
    {
        if (active_ == nullptr || window == nullptr || object != OBJID_WINDOW)
            return;
        if (IsWindow(window) && GetAncestor(window, GA_ROOT) != window)
            return;
        wchar_t name[64] = {};
        GetClassNameW(window, name, 64);
        active_->created_.push_back({Utf8(name), InternalText(window)});
    }

    static CreatedWindows* active_;
    HWINEVENTHOOK hook_;
    std::vector<Created> created_;
};

CreatedWindows* CreatedWindows::active_ = nullptr;

// Runs a setup that must show nothing at all, and gives its exit status.
DWORD RunUnseen(const std::string& exe, const std::string& arguments)
{
    SetupProcess setup(exe, "", arguments);
    CreatedWindows created(setup.Id());
    created.PumpUntil([&] { return !setup.Running() || !setup.Windows().empty(); });
    DWORD status = setup.WaitForExit();
    created.Pump();
    std::string seen;
    for (const CreatedWindows::Created& window : created.created())
        seen += " " + window.windowClass + " \"" + window.title + "\"";
    EXPECT_EQ(created.created().size(), 0u) << "expected no window from " << arguments << "; created:" << seen;
    return status;
}

// A key of HKLM with its access given by a DACL. Denying every value and subkey to Everyone is
// how a machine's policy may leave an entry: the same refusal on Windows as under Wine.
const wchar_t kValuesDenied[] = L"D:(D;;0x6;;;WD)(A;;KA;;;WD)";
const wchar_t kAllAllowed[] = L"D:(A;;KA;;;WD)";
void SetKeyAccess(const std::string& key, const wchar_t* dacl)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    HKEY handle = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(dacl, SDDL_REVISION_1, &descriptor, nullptr))
        throw DriverError("could not make a descriptor: error " + std::to_string(GetLastError()));
    LONG made = RegCreateKeyExW(HKEY_LOCAL_MACHINE, Wide(key).c_str(), 0, nullptr, 0, WRITE_DAC, nullptr, &handle,
                                nullptr);
    LONG set = made == ERROR_SUCCESS ? RegSetKeySecurity(handle, DACL_SECURITY_INFORMATION, descriptor) : made;
    if (handle != nullptr)
        RegCloseKey(handle);
    LocalFree(descriptor);
    if (set != ERROR_SUCCESS)
        throw DriverError("could not set the access to " + key + ": error " + std::to_string(set));
}

// Gone whatever access a run before left on it.
void ForgetEntry(const std::string& key)
{
    SetKeyAccess(key, kAllAllowed);
    DeleteRegistryKey(HKEY_LOCAL_MACHINE, key);
}

// ---- Journeys of the test packages ------------------------------------------------------------

// How a row runs beside its files, command line and scripts.
enum How {
    kFirstRun = 1,       // a run before, answered as a new user would
    kRegistered = 2,     // the installation registered in the destination: a dialog run answers Yes to the prompt
    kElsewhere = 4,      // another installation registered in another folder
    kHeld = 8,           // beta.txt held open without sharing through the run
    kDeepTarget = 16,    // a destination that makes the first listed file's target exactly 255 characters
    kPoke = 32,          // the progress dialog tried every way to end it while the error is shown
    kUnseen = 64,        // no window at all
    kAtOnce = 128,       // the box comes first and alone
    kEntryDenied = 256,  // no values may be set in the Apps & Features entry: its box comes after the files
};

struct Entry {
    const char* name;               // under the destination
    const char* payload = nullptr;  // the payload file it holds, or else
    const char* bytes = nullptr;    // these bytes; neither: before a run removed, after it may be there, unread
};

// In a row's texts "{target}" is the destination with its backslash, "{dest}" without, "{usage}"
// the setup's usage text and "{N}" the package's Nth listed name; its scripts run in the folder
// that holds the destination, Quillmark.
struct Journey {
    const char* name;
    const char* package;
    std::string box;          // a file's error (then the failure notice comes), or the box that comes at once
    const char* status;       // the file the status line names while a file's error is shown
    DWORD exitStatus;
    std::vector<Entry> after;  // the destination whole
    int how = 0;
    std::vector<Entry> before = {};  // written into the destination first
    const char* arguments = "";
    const char* fault = "";  // a Linux script run before; its exit 77: not possible here
    const char* check = "";  // a Linux script that must exit 0 after
};

const char* const kOldBeta = "old beta, from before the run\r\n";
const std::string kCantWriteBeta = "Error: Couldn't write to '{target}beta.txt" + kInUseTail;
const std::string kGhost = "Error: Could not extract file 'Café - ghost.txt'";
const std::string kLongAlpha(4000, 'x');
const Entry kAlpha = {"alpha.txt", "alpha.txt"}, kBeta = {"beta.txt", "beta.txt"}, kGamma = {"gamma.txt", "gamma.txt"},
            kOldBetaEntry = {"beta.txt", nullptr, kOldBeta};
const std::vector<Entry> kTrio = {kAlpha, kBeta, kGamma}, kBetaKept = {kAlpha, kOldBetaEntry, kGamma},
                         kMissingAfter = {{"après.txt", "apres.txt"}, {"next.txt", "next.txt"}};
// Two names of one content: setup-pack stores it once behind two numbered entries; a package made
// before entries were numbered has one entry that both names meet in by the letters-only rule.
const std::vector<Entry> kNames = {{"Read-Me.txt", "readme.txt"}, {"a\\b.txt", "b.txt"}, {"read me.txt", "readme.txt"}};

const Journey kListJourneys[] = {
    {"a list ends at its first gap; a zero-byte entry gives an empty file, unreported", "extraction_gap", "",
     nullptr, 0, {{"empty.dat", nullptr, ""}, {"one.txt", "one.txt"}}},
    {"a subfolder and two names of one content, numbered", "extraction_names", "", nullptr, 0, kNames},
    {"a subfolder and two names of one content, one entry", "extraction_names_old", "", nullptr, 0, kNames},
    // Listed files longer and shorter than their entries, one gone; files of the user's own.
    {"a second run replaces every listed file and leaves the others alone", "extraction_trio", "", nullptr, 0,
     {kAlpha, kBeta, kGamma, {"notes.txt", nullptr, "the user's notes"}, {"drafts\\alpha.txt", nullptr, "a draft"}},
     kFirstRun | kRegistered,
     {{"alpha.txt", nullptr, kLongAlpha.c_str()}, {"beta.txt", nullptr, "edited"}, {"gamma.txt"},
      {"notes.txt", nullptr, "the user's notes"}, {"drafts\\alpha.txt", nullptr, "a draft"}}},
};

const Journey kFailureJourneys[] = {
    {"a missing entry, with the status line on the file before", "extraction_missing", kGhost, "après.txt", 3,
     kMissingAfter},
    {"a target held open without sharing", "extraction_trio", kCantWriteBeta, "beta.txt", 3, kBetaKept, kHeld,
     {kOldBetaEntry}},
    // Wine lets root write over the read-only attribute; an immutable file it cannot.
    {"a read-only target", "extraction_trio", kCantWriteBeta, "beta.txt", 3, kBetaKept, 0, {kOldBetaEntry}, "",
     "chmod a-w Quillmark/beta.txt && chattr +i Quillmark/beta.txt"},
    // Wine removes no link to a device, and nothing can be kept in /dev/full: what must not be
    // there is a file of the setup's in place of the link.
    {"a write that fails on a full disk", "extraction_trio", kCantWriteBeta, "beta.txt", 3, {kAlpha, {"beta.txt"}, kGamma},
     0, {}, "", "mkdir Quillmark && ln -s /dev/full Quillmark/beta.txt",
     "ls -l Quillmark; ! [ -e Quillmark/beta.txt ] || [ -L Quillmark/beta.txt ]"},
    // Two pages of room: alpha.txt takes one, beta.txt needs two and gets one before the disk is
    // full; gamma.txt fits again only once the partial beta.txt is gone.
    {"a write cut short by a full disk leaves no partial file", "extraction_trio", kCantWriteBeta, "beta.txt", 3,
     {kAlpha, kGamma}, 0, {}, "",
     "test $(wc -c <'" E2E_PAYLOAD_DIR "/beta.txt') -gt 4096 && mkdir Quillmark && "
     "(mount -t tmpfs -o size=8k quillmark-e2e Quillmark || exit 77)"},
    // The message is longer than the path it names, and arrives whole.
    {"a target past 255 characters is refused whole, never written under a cut path", "extraction_long",
     "Error: Couldn't write to '{target}{1}" + kInUseTail, "{1}", 3, {{"{0}", "fits.txt"}, {"after.txt", "after.txt"}},
     kDeepTarget},
    {"an Apps & Features entry that cannot be written", "extraction_entry",
     "Error: Couldn't register Quillmark in Apps & Features", nullptr, 4, kTrio, kEntryDenied},
};

const Journey kPokedJourneys[] = {
    {"a missing entry, the dialog tried every way to end it", "extraction_missing", kGhost, "après.txt", 3,
     kMissingAfter, kPoke},
};

// Each with an old beta.txt in place: a status 0 from a command line that may not install leaves it.
const Journey kSwitchJourneys[] = {
    {"/S /D=", "extraction_trio", "", nullptr, 0, kTrio, kUnseen, {kOldBetaEntry}, "/S /D={dest}"},
    {"/s, installed before", "extraction_trio", "", nullptr, 0, kTrio, kUnseen | kRegistered, {kOldBetaEntry}, "/s"},
    {"/S /D=, beta.txt held", "extraction_trio", "", nullptr, 3, kBetaKept, kUnseen | kHeld, {kOldBetaEntry},
     "/S /D={dest}"},
    {"/X /D=", "extraction_trio", "Error: Couldn't understand '/X'\n\n{usage}", nullptr, 2, {kOldBetaEntry}, kAtOnce,
     {kOldBetaEntry}, "/X /D={dest}"},
    {"/S /X /D=", "extraction_trio", "", nullptr, 2, {kOldBetaEntry}, kUnseen, {kOldBetaEntry}, "/S /X /D={dest}"},
    {"/?, installed before", "extraction_trio", "{usage}", nullptr, 0, {kOldBetaEntry}, kAtOnce | kRegistered,
     {kOldBetaEntry}, "/?"},
    {"/S /?, installed before", "extraction_trio", "", nullptr, 2, {kOldBetaEntry}, kUnseen | kRegistered,
     {kOldBetaEntry}, "/S /?"},
    // The folder given fills the chooser, and no prompt comes before it though one was installed.
    {"/D=, installed elsewhere", "extraction_trio", "", nullptr, 0, kTrio, kElsewhere, {}, "/D={dest}"},
};

// ---- Fixtures --------------------------------------------------------------------------------

// A scratch folder per case, cleared from the Linux side first: an immutable file, a device
// link or a mount left by an interrupted run would stop the driver's own removal.
class ExtractionCase : public ::testing::Test {
protected:
    void SetUp() override
    {
        DeleteRegistryKey(HKEY_LOCAL_MACHINE, AppPathsKey(kProgram));
        ForgetEntry(kQuillmarkEntry);
        name_ = std::string("extraction_") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        RunUnix(ClearLinuxSideScript() + " rm -rf '" + LinuxScratch(name_) + "'");
        scratch_ = FreshScratchFolder(name_);
        destination_ = scratch_ + "\\Quillmark";
    }

    void TearDown() override
    {
        RunUnix(ClearLinuxSideScript());
        DeleteRegistryKey(HKEY_LOCAL_MACHINE, AppPathsKey(kProgram));
        ForgetEntry(kQuillmarkEntry);
    }

    // Undoes what a case did on the Linux side; harmless where it did nothing.
    std::string ClearLinuxSideScript() const
    {
        std::string folder = LinuxScratch(name_);
        return "umount '" + folder + "/Quillmark' 2>/dev/null; if [ -d '" + folder + "' ]; then chattr -R -i '" +
               folder + "'; find '" + folder + "' -type l -delete; fi;";
    }

    // The destination as the setup holds it: with its trailing backslash.
    std::string Target() const { return destination_ + "\\"; }

    // Each row from a clean scratch folder; a row that fails or cannot be driven on leaves the next to run.
    template <typename Rows>
    void RunEach(const Rows& rows)
    {
        for (const Journey& row : rows) {
            SCOPED_TRACE(row.name);
            SetUp();
            try {
                Run(row);
            } catch (const DriverError& error) {
                ADD_FAILURE() << error.what();
            }
        }
    }

    void Run(const Journey& row)
    {
        const std::string exe = PackageExe(row.package);
        auto fill = [&](const std::string& text) {
            return Filled(text, [&](const std::string& key) {
                return key == "target" ? Target()
                       : key == "dest" ? destination_
                       : key == "usage" ? ReadStringResource(exe, IDS_USAGE).value_or("(none)")
                                        : ReadStringResource(exe, IDS_FILE_FIRST + std::stoi(key)).value_or("(none)");
            });
        };
        if (row.how & kDeepTarget) {
            // Under a short folder of its own, so that a deep build tree still leaves room.
            const std::string fits = fill("{0}"), base = FreshScratchFolder("extraction_long");
            ASSERT_EQ(fits.size(), 120u);
            ASSERT_EQ(fill("{1}").size(), 121u);
            ASSERT_LT(base.size() + 10, 255 - fits.size()) << "the build folder is too deep for this case: " << base;
            destination_ = base + "\\" + std::string(255 - fits.size() - 1 - base.size() - 1, 'q');
            ASSERT_EQ(Target().size() + fits.size(), 255u);
        }
        if (row.how & kFirstRun) {
            SetupProcess first(exe);
            AcceptAndChoose(first, destination_);
            ASSERT_NO_FATAL_FAILURE(ExpectLaunchWarningAndExit(first));
        }
        for (const Entry& entry : row.before) {
            std::string path = Target() + entry.name;
            MakeFolders(path.substr(0, path.rfind('\\')));
            entry.bytes ? WriteFileBytes(path, entry.bytes) : RemoveTree(path);
        }
        if (*row.fault) {
            UnixRun made = RunUnix("cd '" + LinuxScratch(name_) + "' && " + row.fault);
            if (made.status == 77) {
                std::printf("note: %s: cannot be set up here: %s\n", row.name, made.output.c_str());
                return;
            }
            ASSERT_EQ(made.status, 0u) << "could not set up " << row.fault << ": " << made.output;
        }
        std::optional<HeldFile> held;
        if (row.how & kHeld)
            held.emplace(Target() + "beta.txt");
        if (row.how & kEntryDenied)
            SetKeyAccess(kQuillmarkEntry, kValuesDenied);
        if (row.how & (kRegistered | kElsewhere))
            SetRegistryString(HKEY_LOCAL_MACHINE, AppPathsKey(kProgram), "",
                              ((row.how & kRegistered) ? Target() : scratch_ + "\\Old\\") + kProgram);
        const std::string arguments = fill(row.arguments);
        DWORD status = 0;
        if (row.how & kUnseen) {
            status = RunUnseen(exe, arguments);
        } else {
            SetupProcess setup(exe, "", arguments);
            if (row.how & kAtOnce) {
                MessageBoxSeen box = setup.DismissMessageBox();
                EXPECT_EQ(box.title, kCaption);
                EXPECT_EQ(box.text, fill(row.box)) << "expected the box that comes at once";
            } else {
                AcceptWelcome(setup);
                if (row.how & kRegistered) {
                    PressButton(setup.WaitForDialogWith(IDYES), IDYES);
                } else {
                    HWND chooser = setup.WaitForDialogWith(IDC_DEST_EDIT);
                    if (*row.arguments)
                        EXPECT_EQ(ControlText(chooser, IDC_DEST_EDIT), destination_) << "expected the given folder";
                    else
                        SetControlText(chooser, IDC_DEST_EDIT, destination_);
                    PressButton(chooser, IDOK);
                }
                if (row.how & kEntryDenied) {
                    for (const std::string& text : {fill(row.box), kFailed})
                        EXPECT_EQ(setup.DismissMessageBox().text, text) << "expected the entry's error, then failed";
                } else if (!row.box.empty()) {
                    ASSERT_NO_FATAL_FAILURE(ExpectFileFailure(setup, fill(row.box), "Writing: " + fill(row.status) +
                                                                                        " ...", row.how & kPoke));
                }
                MessageBoxSeen warning = setup.DismissMessageBox();
                ASSERT_EQ(warning.text, kLaunchWarning) << "expected the launch warning as the next box";
            }
            status = setup.WaitForExit();
        }
        EXPECT_EQ(status, row.exitStatus) << "expected exit status " << row.exitStatus << ", got " << status;
        held.reset();
        Files files;
        for (const Entry& file : row.after)
            files.emplace_back(fill(file.name), file.payload ? std::optional(Payload(file.payload))
                                                : file.bytes ? std::optional<std::string>(file.bytes) : std::nullopt);
        ExpectOnly(destination_, files);
        EXPECT_FALSE(ReadRegistryString(HKEY_LOCAL_MACHINE, kQuillmarkEntry, "DisplayName"))
            << "expected no Apps & Features entry for a package without an uninstaller";
        if (*row.check) {
            UnixRun left = RunUnix("cd '" + LinuxScratch(name_) + "' && " + row.check);
            EXPECT_EQ(left.status, 0u) << "expected " << row.check << " to hold; got " << left.output;
        }
    }

    std::string name_;
    std::string scratch_;
    std::string destination_;
};

class ExtractionLists : public ExtractionCase {};
class ExtractionFailures : public ExtractionCase {};
class Switches : public ExtractionCase {};
class ExtractionProgress : public ExtractionCase {};

// The sample product as a new user installs it, from the setup as built and as signed for a
// release: the installed program registers itself and stays running, so both are undone
// around the case.
class ExtractionSample : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override
    {
        TearDown();
        scratch_ = FreshScratchFolder("extraction_sample");
    }

    void TearDown() override
    {
        CloseLumivue();
        DeleteRegistryKey(HKEY_LOCAL_MACHINE, AppPathsKey("Lumivue.exe"));
        DeleteRegistryKey(HKEY_LOCAL_MACHINE, kSampleEntry);
    }

    static BOOL CALLBACK CollectLumivue(HWND window, LPARAM context)
    {
        wchar_t title[32] = {};
        if (IsWindowVisible(window) && GetWindowTextW(window, title, 32) > 0 && std::wstring(title) == L"Lumivue")
            reinterpret_cast<std::vector<HWND>*>(context)->push_back(window);
        return TRUE;
    }

    // The visible top-level windows titled "Lumivue", of any process.
    static std::vector<HWND> LumivueWindows()
    {
        std::vector<HWND> found;
        EnumWindows(CollectLumivue, reinterpret_cast<LPARAM>(&found));
        return found;
    }

    static void CloseLumivue()
    {
        for (HWND window : LumivueWindows())
            CloseProgram(window);
    }

    std::string scratch_;
};

// ---- A manifest's files ---------------------------------------------------------------------

std::string Trim(const std::string& text)
{
    size_t first = text.find_first_not_of(" \t\r");
    size_t last = text.find_last_not_of(" \t\r");
    return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

// The [files] section of a manifest, each name with its source's bytes; a source not beside the
// manifest is in builtDir.
Files ManifestFiles(const std::string& manifestPath, const std::string& builtDir)
{
    std::string dir = manifestPath.substr(0, manifestPath.rfind('/'));
    std::istringstream manifest(ReadFileBytes(WinePath(manifestPath)));
    Files files;
    bool inFiles = false;
    for (std::string line; std::getline(manifest, line);) {
        line = Trim(line);
        if (line.empty() || line[0] == ';')
            continue;
        if (line[0] == '[') {
            inFiles = line == "[files]";
            continue;
        }
        size_t equals = line.find('=');
        if (!inFiles || equals == std::string::npos)
            continue;
        std::string source = Trim(line.substr(equals + 1));
        std::string beside = WinePath(dir + "/" + source);
        files.emplace_back(Trim(line.substr(0, equals)),
                           ReadFileBytes(FileExists(beside) ? beside : WinePath(builtDir + "/" + source)));
    }
    return files;
}

// The sample's Apps & Features entry, every value as the setup writes it for these files.
void ExpectSampleEntry(const std::string& destination, const Files& files)
{
    size_t bytes = 0;
    for (const auto& file : files)
        bytes += file.second->size();
    const std::pair<const char*, std::string> values[] = {
        {"DisplayName", "Lumivue"},
        {"DisplayVersion", "7.0"},
        {"Publisher", "The Lumivue authors"},
        {"InstallLocation", destination},
        {"UninstallString", "\"" + destination + "\\Uninst.bat\""},
        {"DisplayIcon", destination + "\\Lumivue.exe"},
        {"NoModify", "1"},
        {"NoRepair", "1"},
        {"EstimatedSize", std::to_string((bytes + 1023) / 1024)},
    };
    for (const auto& [name, expected] : values)
        EXPECT_EQ(ReadRegistryString(HKEY_LOCAL_MACHINE, kSampleEntry, name).value_or("(none)"), expected)
            << "Apps & Features value " << name;
}

std::string ProcessImage(DWORD processId)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (process == nullptr)
        return "(process " + std::to_string(processId) + " cannot be opened)";
    char path[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    if (!QueryFullProcessImageNameA(process, 0, path, &size))
        path[0] = '\0';
    CloseHandle(process);
    return path;
}

}  // namespace

// ---- The sample --------------------------------------------------------------------------------

TEST_P(ExtractionSample, InstallsItsTwelveFilesByteForByteThenLumivueStartsAndUninstBatRemovesItAll)
{
    RecordProperty("ansi_code_page", std::to_string(GetACP()));
    Files files = ManifestFiles(E2E_SAMPLE_DIR "/lumivue.ini", E2E_SAMPLE_BUILD_DIR);
    ASSERT_EQ(files.size(), 12u) << "expected twelve listed files in the sample's manifest";
    const std::string destination = scratch_ + "\\Lumivue";

    SetupProcess setup(WinePath(GetParam()));
    AcceptAndChoose(setup, destination);
    // No box on the way: one would keep the setup from ending by itself.
    ASSERT_EQ(setup.WaitForExit(), 0u) << "expected the setup to end by itself with status 0";
    ExpectOnly(destination, files);
    ExpectSampleEntry(destination, files);

    // Lumivue is a process of its own that outlives the setup.
    WaitUntil([] { return !LumivueWindows().empty(); });
    const std::vector<HWND> windows = LumivueWindows();
    ASSERT_EQ(windows.size(), 1u) << "expected one window titled Lumivue within " << kWaitMs << " ms";
    DWORD lumivue = 0;
    GetWindowThreadProcessId(windows[0], &lumivue);
    EXPECT_NE(lumivue, setup.Id()) << "expected Lumivue to run as a process of its own";
    std::string image = ProcessImage(lumivue);
    EXPECT_EQ(lstrcmpiA(image.c_str(), (destination + "\\Lumivue.exe").c_str()), 0)
        << "expected the installed Lumivue.exe to run; got " << image;

    // Lumivue registers itself, so a later setup finds it; its Uninst.bat takes all of it away.
    std::optional<std::string> registered = ReadRegistryString(HKEY_LOCAL_MACHINE, AppPathsKey("Lumivue.exe"), "");
    EXPECT_TRUE(registered && lstrcmpiA(registered->c_str(), (destination + "\\Lumivue.exe").c_str()) == 0)
        << "expected Lumivue's App Paths entry to name " << destination << "\\Lumivue.exe; got "
        << registered.value_or("(none)");
    CloseLumivue();
    std::string command = "cmd /c \"" + destination + "\\Uninst.bat\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    ASSERT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                               scratch_.c_str(), &startup, &info))
        << "could not start " << command;
    WaitForSingleObject(info.hProcess, kWaitMs);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    // The folder goes last, once the script has let go of it.
    WaitUntil([&] { return !FolderExists(destination); });
    EXPECT_FALSE(FolderExists(destination)) << "expected Uninst.bat to remove " << destination << "; left "
                                            << Listing(ListFolder(destination));
    EXPECT_FALSE(ReadRegistryString(HKEY_LOCAL_MACHINE, AppPathsKey("Lumivue.exe"), ""))
        << "expected Uninst.bat to remove Lumivue's App Paths entry";
    EXPECT_FALSE(ReadRegistryString(HKEY_LOCAL_MACHINE, kSampleEntry, "DisplayName"))
        << "expected Uninst.bat to remove the Apps & Features entry";
}

TEST_P(ExtractionSample, SilentIntoAFolderWithSpacesInstallsEveryFileShowsNothingAndStartsNothing)
{
    Files files = ManifestFiles(E2E_SAMPLE_DIR "/lumivue.ini", E2E_SAMPLE_BUILD_DIR);
    const std::string destination = scratch_ + "\\with spaces\\Lumivue";
    MakeFolders(scratch_ + "\\with spaces");

    ASSERT_EQ(RunUnseen(WinePath(GetParam()), "/S /D=" + destination), 0u) << "expected exit status 0";
    ExpectOnly(destination, files);
    ExpectSampleEntry(destination, files);
    EXPECT_TRUE(LumivueWindows().empty()) << "expected Lumivue not started";
}

INSTANTIATE_TEST_SUITE_P(BuiltAndSigned, ExtractionSample, ::testing::Values(E2E_SAMPLE_SETUP, E2E_SIGNED_SAMPLE_SETUP),
                         [](const ::testing::TestParamInfo<const char*>& row) {
                             return row.index == 0 ? "AsBuilt" : "Signed";
                         });

// ---- Test packages, one row each ----------------------------------------------------------------

TEST_F(ExtractionLists, EachListIsWrittenWholeAsItsRowSays)
{
    RunEach(kListJourneys);
}

TEST_F(ExtractionFailures, EachFaultIsReportedForItsFileAndEveryOtherFileIsWritten)
{
    RunEach(kFailureJourneys);
}

TEST_F(Switches, EachCommandLineShowsItsBoxOrNothingAndEndsWithItsStatus)
{
    RunEach(kSwitchJourneys);
}

// ---- The progress dialog ---------------------------------------------------------------------

TEST_F(ExtractionProgress, HasNoCloseBoxAndNeitherEscNorACloseEndsIt)
{
    RunEach(kPokedJourneys);
}

// The progress dialog lives a few milliseconds here, too briefly to be looked at from another
// process: what can be seen is that it is gone by the time the warning shows.
TEST_F(ExtractionProgress, WithAnEmptyFileListIsGoneBeforeTheLaunchWarningAndWritesNothing)
{
    SetupProcess setup(PackageExe("extraction_empty"));
    AcceptAndChoose(setup, destination_);
    setup.WaitForMessageBox();
    for (HWND window : setup.Windows())
        EXPECT_FALSE(HasControl(window, IDC_STATUS)) << "expected the progress dialog closed before the warning";
    ASSERT_NO_FATAL_FAILURE(ExpectLaunchWarningAndExit(setup));
    ASSERT_TRUE(FolderExists(destination_));
    EXPECT_EQ(ListFolder(destination_), std::vector<std::string>{}) << "expected nothing written";
}

// The extractions that keep a setup busiest, made at run time by the benchmark's generator and
// deleted after, so that no gigabyte is kept in the tree.
struct BusyPayload {
    const char* shape;  // of gen_payload.py
    const char* what;
};
const BusyPayload kBusyPayloads[] = {
    {"many", "2000 files of 4 KiB"},
    {"zeros", "one file of 1 GiB"},
};
// Windows ghosts a window that leaves a message unanswered for 5 s.
constexpr UINT kAnswerMs = 2000;
constexpr int kBusyMs = 6 * kWaitMs;

TEST_F(ExtractionProgress, AnswersMessagesAllThroughABigExtraction)
{
    for (const BusyPayload& row : kBusyPayloads) {
        SCOPED_TRACE(row.what);
        const std::string folder = LinuxScratch(name_) + "/" + row.shape;
        UnixRun packed = RunUnix("/usr/bin/python3 '" E2E_GEN_PAYLOAD "' " + std::string(row.shape) + " '" + folder +
                                 "' && '" E2E_SETUP_PACK "' '" + folder + "/bench.ini' -o '" + folder +
                                 "/Setup.exe' --stub '" E2E_STUB "'", kBusyMs);
        ASSERT_EQ(packed.status, 0u) << "could not pack the payload: " << packed.output;

        SetupProcess setup(WinePath(folder + "/Setup.exe"));
        AcceptAndChoose(setup, destination_);
        HWND progress = setup.WaitForDialogWith(IDC_STATUS);
        // Now read at once, and still ignored: every file must be written all the same.
        PressEscape(progress);
        PostMessageW(progress, WM_CLOSE, 0, 0);
        DWORD slowest = 0, begun = GetTickCount();
        int probes = 0, unanswered = 0;
        while (IsWindow(progress) && static_cast<int>(GetTickCount() - begun) < kBusyMs) {
            DWORD start = GetTickCount();
            DWORD_PTR result = 0;
            bool answered = SendMessageTimeoutW(progress, WM_NULL, 0, 0, SMTO_NORMAL | SMTO_ABORTIFHUNG, kAnswerMs,
                                                &result) != 0;
            // A dialog that ended while asked has not failed to answer.
            if (!answered && !IsWindow(progress))
                break;
            ++probes;
            unanswered += answered ? 0 : 1;
            slowest = std::max(slowest, GetTickCount() - start);
            Sleep(10);
        }
        std::printf("figure: %s: slowest answer to WM_NULL %lu ms over %d probes in %lu ms\n", row.what, slowest,
                    probes, GetTickCount() - begun);
        RecordProperty(std::string("slowest_wm_null_ms_") + row.shape, static_cast<int>(slowest));
        EXPECT_FALSE(IsWindow(progress)) << "expected the extraction over within " << kBusyMs << " ms";
        EXPECT_GT(probes, 0) << "expected the dialog asked at least once";
        EXPECT_EQ(unanswered, 0) << "expected every WM_NULL answered within " << kAnswerMs << " ms; got "
                                 << unanswered << " of " << probes << " unanswered";

        MessageBoxSeen warning = setup.DismissMessageBox();
        EXPECT_EQ(warning.text.rfind("Warning: Couldn't launch", 0), 0u) << "expected the launch warning, got "
                                                                         << warning.text;
        EXPECT_EQ(setup.WaitForExit(), 0u) << "expected exit status 0";
        UnixRun same = RunUnix("/usr/bin/diff -r '" + folder + "/files' '" + LinuxScratch(name_) + "/Quillmark'; same=$?; rm -rf '" +
                               folder + "' '" + LinuxScratch(name_) + "/Quillmark'; exit $same", kBusyMs);
        EXPECT_EQ(same.status, 0u) << "expected the installed files equal to the payload; got " << same.output;
    }
}

// ---- Any script ------------------------------------------------------------------------------

// A product named in Cyrillic, with terms in three scripts, files named in them and names that
// differ only in digits, installed into a folder typed in Cyrillic: whatever the ANSI code page.
TEST(ExtractionAnyScript, CaptionHeadingTermsAndEveryFileKeepTheirCharacters)
{
    const std::string name = "Проба", program = "Проба.exe", caption = "Installing - " + name;
    const std::string destination = FreshScratchFolder("extraction_anyscript") + "\\Программы";
    // Only the first run's program records its start.
    std::optional<LaunchRecord> record(std::in_place, "extraction_anyscript_launch", "запись.txt");
    Files files = ManifestFiles(E2E_PACKAGES_DIR "/anyscript.ini", E2E_BUILD_DIR "/e2e/probe");
    DeleteRegistryKey(HKEY_LOCAL_MACHINE, AppPathsKey(program));

    SetupProcess setup(PackageExe("anyscript"));
    HWND welcome = setup.WaitForDialogWith(IDC_TERMS_LIST);
    EXPECT_EQ(WindowTitle(welcome), caption);
    EXPECT_EQ(ControlText(welcome, IDC_WELCOME_TEXT), "Welcome to " + name + "!");
    EXPECT_EQ(ListBoxLines(welcome, IDC_TERMS_LIST),
              (std::vector<std::string>{"Условия использования программы «Проба».", " ",
                                        "Όροι χρήσης: χρησιμοποιήστε το με προσοχή.", " ",
                                        "使用条件：ご利用は自己責任でお願いします。"}));
    PressButton(welcome, IDOK);
    HWND chooser = setup.WaitForDialogWith(IDC_DEST_EDIT);
    EXPECT_EQ(WindowTitle(chooser), caption);
    EXPECT_EQ(ControlText(chooser, IDC_DEST_EDIT), ProgramFilesDir() + "\\" + name);
    SetControlText(chooser, IDC_DEST_EDIT, destination);
    PressButton(chooser, IDOK);
    // The main program is started, so no box comes: one would keep the setup from ending.
    DWORD status = setup.WaitForExit();
    ASSERT_EQ(status, 0u) << "expected the setup to end by itself with status 0";

    ExpectOnly(destination, files);
    EXPECT_EQ(record->Read(), "\"" + destination + "\\" + program + "\"");
    record.reset();

    // A second run finds the installation through the program's App Paths entry and replaces a lost file.
    SetRegistryString(HKEY_LOCAL_MACHINE, AppPathsKey(program), "", destination + "\\" + program);
    RemoveTree(destination + "\\" + files[2].first);
    SetupProcess again(PackageExe("anyscript"));
    AcceptWelcome(again);
    PressButton(again.WaitForDialogWith(IDYES), IDYES);
    EXPECT_EQ(again.WaitForExit(), 0u) << "expected the second run to end by itself with status 0";
    ExpectOnly(destination, files);
    DeleteRegistryKey(HKEY_LOCAL_MACHINE, AppPathsKey(program));
}
