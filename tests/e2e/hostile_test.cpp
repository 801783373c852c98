// Hostile packages under Wine: messages full of % sequences or past 255 characters, every string at its longest and one over, destinations near 512 and targets past 255.
#include "driver.h"
#include "resource.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <ostream>

using namespace e2e;

#ifndef E2E_HOSTILE_DIR
#error "E2E_HOSTILE_DIR must name the folder of the hostile packages' payload files"
#endif

namespace {

// ---- The packages' strings --------------------------------------------------------------------

// The packages on the two stubs with messages of their own: Sextant, whose main program is
// listed nowhere, so that a run that goes through ends with the launch warning.
const std::string kSextantCaption = "Installing - Sextant";

// The package with every string at the longest that arrives whole.
const std::string kName47 = "Astrolabes Celestial Navigation for Open Waters";
const std::string kProgram47 = "Astrolabes Celestial Navigation Open Waters.exe";
const std::string kListed127 =
    "Star catalogue of every navigational star with its sidereal hour angle and declination for each night of "
    "the year - vol III.txt";

// The package with every string one character longer.
const std::string kName48 = "Harbour Pilot Tide and Current Atlas, Edition 10";
const std::string kProgram48 = "Harbour Pilot Tide and Current Atlas, Ed. 10.exe";
const std::string kListed128A =
    "Tidal stream atlas of every harbour approach with its hourly rates and directions for springs and neaps "
    "round the coasts - A.txt";
const std::string kListed128B =
    "Tidal stream atlas of every harbour approach with its hourly rates and directions for springs and neaps "
    "round the coasts - B.txt";

const std::string kCantLaunchTail = "'\nPlease, proceed by launching it manually instead!";
// Messages 210 and 211 have a buffer of their own, for the longest destination and name.
const size_t kFileMessageShown = 895;

std::string Payload(const std::string& file)
{
    return ReadFileBytes(WinePath(E2E_HOSTILE_DIR "/" + file));
}

std::string ProbeBytes()
{
    return ReadFileBytes(WinePath(E2E_BUILD_DIR "/e2e/probe/Tidewater.exe"));
}

// A string the test relies on, read from the built executable, with the length it must have.
std::string PackageString(const std::string& package, int id, size_t length)
{
    std::optional<std::string> text = ReadStringResource(PackageExe(package), id);
    if (!text || text->size() != length)
        throw DriverError("expected string " + std::to_string(id) + " of " + package + " to have " +
                          std::to_string(length) + " characters; got " +
                          (text ? std::to_string(text->size()) : std::string("none")));
    return *text;
}

// What a message shows: its format as the 256-character buffer holds it, its %s filled in order
// (every format here has one for each argument), then cut to what the buffer it is formatted into holds.
std::string Shown(std::string format, const std::vector<std::string>& arguments, size_t shownLength = 255)
{
    format.resize(std::min<size_t>(format.size(), 255));
    size_t at = 0;
    for (const std::string& argument : arguments) {
        at = format.find("%s", at);
        format.replace(at, 2, argument);
        at += argument.size();
    }
    return format.substr(0, shownLength);
}

std::string Printable(const std::string& text)
{
    std::string out;
    for (char c : text)
        out += c == '\n' ? std::string("\\n") : std::string(1, c);
    return out;
}

// ---- A run seen from its boxes ------------------------------------------------------------------

// One message box as a person saw it, with what it was owned by: the progress dialog (and its
// status line at that moment), the welcome or destination dialog, or nothing.
struct Box {
    std::string title;
    std::string text;
    std::string owner;
};

std::string Describe(const std::vector<Box>& boxes)
{
    std::string out;
    for (size_t i = 0; i < boxes.size(); ++i)
        out += std::to_string(i + 1) + ". title \"" + boxes[i].title + "\", owner " + Printable(boxes[i].owner) +
               "\n   text \"" + Printable(boxes[i].text) + "\" (" + std::to_string(boxes[i].text.size()) +
               " characters)\n";
    return out.empty() ? "no box\n" : out;
}

std::string Progress(const std::string& statusLine)
{
    return "progress dialog showing \"" + statusLine + "\"";
}

const std::string kNoOwner = "none";
const std::string kWelcomeOwner = "welcome dialog";
const std::string kDestinationOwner = "destination dialog";

std::string OwnerOf(HWND box)
{
    HWND owner = GetWindow(box, GW_OWNER);
    if (owner == nullptr)
        return kNoOwner;
    if (HasControl(owner, IDC_STATUS))
        return Progress(ControlText(owner, IDC_STATUS));
    if (HasControl(owner, IDC_TERMS_LIST))
        return kWelcomeOwner;
    if (HasControl(owner, IDC_DEST_EDIT))
        return kDestinationOwner;
    return DescribeWindow(owner);
}

struct Ending {
    std::vector<Box> boxes;
    DWORD status;
};

// From here on the setup runs by itself: every box it shows is read and answered with OK, in
// order, until the process ends. A dialog that waits for input ends the wait with an error.
Ending RunToEnd(SetupProcess& setup)
{
    Ending ending{{}, 0};
    DWORD since = GetTickCount();
    for (;;) {
        HWND box = nullptr;
        for (HWND window : setup.Windows()) {
            try {
                if (IsMessageBox(window)) {
                    box = window;
                    break;
                }
            } catch (const DriverError&) {
            }
        }
        if (box != nullptr) {
            ending.boxes.push_back({WindowTitle(box), MessageBoxText(box), OwnerOf(box)});
            PressButton(box, IDOK);
            setup.WaitUntilGone(box);
            since = GetTickCount();
            continue;
        }
        if (!setup.Running())
            break;
        if (static_cast<int>(GetTickCount() - since) >= kWaitMs)
            throw DriverError("expected the setup to end or show a box within " + std::to_string(kWaitMs) +
                              " ms after " + std::to_string(ending.boxes.size()) + " box(es); " +
                              setup.DescribeScreen());
        Sleep(20);
    }
    ending.status = setup.WaitForExit();
    return ending;
}

void ExpectEnding(const Ending& got, const std::vector<Box>& boxes, DWORD status)
{
    EXPECT_EQ(Describe(got.boxes), Describe(boxes)) << "the boxes shown, in order";
    EXPECT_EQ(got.status, status) << "exit status";
}

// The texts of every control inside a window, at any depth.
std::vector<std::string> ChildTexts(HWND window)
{
    std::vector<std::string> texts;
    for (HWND child : Children(window)) {
        try {
            texts.push_back(WindowTitle(child));
        } catch (const DriverError&) {
        }
    }
    return texts;
}

// ---- Fixtures ---------------------------------------------------------------------------------------

class HostileCase : public ::testing::Test {
protected:
    void SetUp() override
    {
        ForgetInstallations();
        record_ = FreshScratchFolder("hostile-launch") + "\\record.txt";
        if (!SetEnvironmentVariableA("E2E_LAUNCH_RECORD", record_.c_str()))
            throw DriverError("could not set E2E_LAUNCH_RECORD");
    }

    void TearDown() override
    {
        ForgetInstallations();
        SetEnvironmentVariableA("E2E_LAUNCH_RECORD", nullptr);
    }

    // A registered earlier installation would bring the reinstall prompt instead of the destination dialog.
    static void ForgetInstallations()
    {
        for (const std::string& program : {std::string("Sextant.exe"), kProgram47, kProgram48.substr(0, 47)})
            DeleteRegistryKey(HKEY_LOCAL_MACHINE, AppPathsKey(program));
    }

    // A short scratch folder, so that the long paths of a case are long by the case's own doing.
    void UseScratch(const std::string& name) { scratch_ = FreshScratchFolder("hostile-" + name); }

    static void Choose(SetupProcess& setup, const std::string& destination)
    {
        HWND chooser = setup.WaitForDialogWith(IDC_DEST_EDIT);
        SetControlText(chooser, IDC_DEST_EDIT, destination);
        ASSERT_EQ(ControlText(chooser, IDC_DEST_EDIT), destination) << "the edit box should hold the typed path";
        PressButton(chooser, IDOK);
    }

    // The folder browser's title, read off the browser, which is then cancelled.
    static std::vector<std::string> BrowserTexts(SetupProcess& setup, HWND chooser)
    {
        PressButton(chooser, IDC_BROWSE);
        HWND browser = setup.WaitForAnyWindow(kWaitMs, {chooser});
        std::vector<std::string> texts = ChildTexts(browser);
        PressButton(browser, IDCANCEL);
        setup.WaitUntilGone(browser);
        return texts;
    }

    std::string LaunchRecord() const
    {
        return ReadLaunchRecord(record_);
    }

    bool Launched() const { return FileExists(record_); }

    void ExpectFile(const std::string& path, const std::string& bytes) const
    {
        ASSERT_TRUE(FileExists(path)) << "expected " << path << " to be written";
        EXPECT_EQ(ReadFileBytes(path), bytes) << "content of " << path;
    }

    std::string scratch_;
    std::string record_;
};

class HostileMessages : public HostileCase {};
class HostileEntries : public HostileCase {};

}  // namespace

// ---- Messages holding % sequences and more %s than arguments -----------------------------------

TEST_F(HostileMessages, ACorruptPackageShowsItsPercentSequencesAsTheyStand)
{
    // The stub alone has no product name; started in a folder of its own, it must leave that empty.
    UseScratch("percent-corrupt");
    SetupProcess setup(PackageExe("hostile_percent_stub"), scratch_);
    ExpectEnding(RunToEnd(setup),
                 {{"", "Error: Setup.exe is corrupt %s%s %n", kNoOwner},
                  {"", "The installation process failed! %s %d %n %%", kNoOwner}},
                 1);
    EXPECT_EQ(ListFolder(scratch_), std::vector<std::string>{}) << "expected nothing written";
}

TEST_F(HostileMessages, PercentSequencesInMessagesAndANameAreShownAsTheyStandAndTheRunGoesOn)
{
    UseScratch("percent");
    const std::string destination = scratch_ + "\\Sextant";
    const std::string held = "beta %s%n.txt";
    MakeFolders(destination);
    WriteFileBytes(destination + "\\" + held, "old beta");

    SetupProcess setup(PackageExe("hostile_percent"));
    HWND welcome = setup.WaitForDialogWith(IDC_TERMS_LIST);
    EXPECT_EQ(WindowTitle(welcome), kSextantCaption);
    EXPECT_EQ(ControlText(welcome, IDC_WELCOME_TEXT), "Welcome to Sextant%s%s!");
    PressButton(welcome, IDOK);
    ASSERT_NO_FATAL_FAILURE(Choose(setup, destination));
    Ending ending;
    {
        HeldFile hold(destination + "\\" + held);
        ending = RunToEnd(setup);
    }

    // The name's own %s and %n are an argument: copied, not formatted again.
    const std::string writing = "Writing: beta %s%n.txt %s %d %n ...";
    const std::string failed = "The installation process failed! %s %d %n %%";
    ExpectEnding(ending,
                 {{kSextantCaption,
                   "Error: Couldn't write to '" + destination + "\\beta %s%n.txt' %s %s\nPossible cause: File in use "
                   "by Windows. %d %n %%",
                   Progress(writing)},
                  {kSextantCaption, failed, Progress(writing)},
                  {kSextantCaption,
                   "Warning: Couldn't launch 'Sextant.exe' %s%s\nPlease, proceed by launching it manually instead! "
                   "%d %p",
                   kNoOwner}},
                 3);
    EXPECT_EQ(ListFolder(destination), (std::vector<std::string>{"alpha.txt", held, "gamma.txt"}))
        << "got " << Listing(ListFolder(destination));
    ExpectFile(destination + "\\alpha.txt", Payload("alpha.txt"));
    ExpectFile(destination + "\\" + held, "old beta");
    ExpectFile(destination + "\\gamma.txt", Payload("gamma.txt"));
}

TEST_F(HostileMessages, AMissingEntryWithPercentSequencesIsReportedAsItStandsAndTheNextIsWritten)
{
    UseScratch("percent-missing");
    const std::string destination = scratch_ + "\\Sextant";
    SetupProcess setup(PackageExe("hostile_percent_missing"));
    AcceptWelcome(setup);
    ASSERT_NO_FATAL_FAILURE(Choose(setup, destination));

    const std::string writing = "Writing: alpha.txt %s %d %n ...";
    ExpectEnding(RunToEnd(setup),
                 {{kSextantCaption, "Error: Could not extract file 'ghost %d%%.txt' %n%n%n", Progress(writing)},
                  {kSextantCaption, "The installation process failed! %s %d %n %%", Progress(writing)},
                  {kSextantCaption,
                   "Warning: Couldn't launch 'Sextant.exe' %s%s\nPlease, proceed by launching it manually instead! "
                   "%d %p",
                   kNoOwner}},
                 3);
    EXPECT_EQ(ListFolder(destination), (std::vector<std::string>{"alpha.txt", "gamma.txt"}))
        << "got " << Listing(ListFolder(destination));
    ExpectFile(destination + "\\alpha.txt", Payload("alpha.txt"));
    ExpectFile(destination + "\\gamma.txt", Payload("gamma.txt"));
}

TEST_F(HostileMessages, TheBrowserTitleAndTheCancelNoticeShowTheirPercentSequencesAsTheyStand)
{
    UseScratch("percent-cancel");
    SetupProcess setup(PackageExe("hostile_percent"));
    AcceptWelcome(setup);
    HWND chooser = setup.WaitForDialogWith(IDC_DEST_EDIT);
    SetControlText(chooser, IDC_DEST_EDIT, scratch_ + "\\Sextant");

    const std::string title = "Please select %d directory %n to install Sextant to %s...";
    std::vector<std::string> texts = BrowserTexts(setup, chooser);
    EXPECT_NE(std::find(texts.begin(), texts.end(), title), texts.end())
        << "expected the browser to show \"" << title << "\"; it shows " << Listing(texts);
    PressButton(chooser, IDCANCEL);

    ExpectEnding(RunToEnd(setup),
                 {{kSextantCaption, "The installation process was cancelled! %s %x 100%", kDestinationOwner}}, 0);
    EXPECT_EQ(ListFolder(scratch_), std::vector<std::string>{}) << "expected nothing written";
}

TEST_F(HostileMessages, ADestinationThatCannotBeMadeShowsItsPercentSequencesAndEndsWith1)
{
    UseScratch("percent-fatal");
    SetupProcess setup(PackageExe("hostile_percent"));
    AcceptWelcome(setup);
    ASSERT_NO_FATAL_FAILURE(Choose(setup, scratch_ + "\\Missing\\Sextant"));

    ExpectEnding(RunToEnd(setup),
                 {{kSextantCaption, "Error: Couldn't create destination directory %s %d %n", kNoOwner},
                  {kSextantCaption, "The installation process failed! %s %d %n %%", kNoOwner}},
                 1);
    EXPECT_EQ(ListFolder(scratch_), std::vector<std::string>{}) << "expected nothing written";
}

// ---- Messages of 255 characters and more ------------------------------------------------------------

TEST_F(HostileMessages, ACorruptPackageShowsItsLongMessagesCutToTheirBuffers)
{
    const std::string corrupt = PackageString("hostile_long_stub", IDS_CORRUPT, 300);
    const std::string failed = PackageString("hostile_long_stub", IDS_FAILED, 200);
    UseScratch("long-corrupt");
    SetupProcess setup(PackageExe("hostile_long_stub"), scratch_);
    ExpectEnding(RunToEnd(setup), {{"", corrupt.substr(0, 255), kNoOwner}, {"", failed.substr(0, 127), kNoOwner}}, 1);
    EXPECT_EQ(ListFolder(scratch_), std::vector<std::string>{}) << "expected nothing written";
}

TEST_F(HostileMessages, LongMessageFormatsAreCutTo255AndTheFixedNoticeTo127)
{
    const std::string package = "hostile_long_messages";
    const std::string welcome = PackageString(package, IDS_WELCOME, 300);
    const std::string writing = PackageString(package, IDS_WRITING, 255);
    const std::string failed = PackageString(package, IDS_FAILED, 200);
    const std::string cantWrite = PackageString(package, IDS_CANT_WRITE, 300);
    const std::string cantExtract = PackageString(package, IDS_CANT_EXTRACT, 300);
    const std::string cantLaunch = PackageString(package, IDS_CANT_LAUNCH, 255);
    ASSERT_EQ(cantExtract.substr(254, 2), "%s") << "the %s of 211 should sit astride its 255th character";

    UseScratch("long");
    const std::string destination = scratch_ + "\\Sextant";
    MakeFolders(destination);
    WriteFileBytes(destination + "\\beta.txt", "old beta");

    SetupProcess setup(PackageExe(package));
    HWND dialog = setup.WaitForDialogWith(IDC_TERMS_LIST);
    // The heading's format is cut to 255, but it is formatted into the terms buffer, so the
    // product name makes it longer than that.
    EXPECT_EQ(ControlText(dialog, IDC_WELCOME_TEXT), Shown(welcome, {"Sextant"}, 3332));
    EXPECT_EQ(ControlText(dialog, IDC_WELCOME_TEXT).size(), 255u - 2 + 7);
    PressButton(dialog, IDOK);
    ASSERT_NO_FATAL_FAILURE(Choose(setup, destination));
    Ending ending;
    {
        HeldFile hold(destination + "\\beta.txt");
        ending = RunToEnd(setup);
    }

    const std::string writingAlpha = Shown(writing, {"alpha.txt"});
    const std::string writingBeta = Shown(writing, {"beta.txt"});
    ExpectEnding(ending,
                 {{kSextantCaption, cantExtract.substr(0, 255), Progress(writingAlpha)},
                  {kSextantCaption, failed.substr(0, 127), Progress(writingAlpha)},
                  {kSextantCaption, Shown(cantWrite, {destination + "\\", "beta.txt"}, kFileMessageShown),
                   Progress(writingBeta)},
                  {kSextantCaption, failed.substr(0, 127), Progress(writingBeta)},
                  {kSextantCaption, Shown(cantLaunch, {"Sextant.exe"}), kNoOwner}},
                 3);
    EXPECT_EQ(writingBeta.size(), 255u);
    EXPECT_EQ(ListFolder(destination), (std::vector<std::string>{"alpha.txt", "beta.txt", "gamma.txt"}))
        << "got " << Listing(ListFolder(destination));
    ExpectFile(destination + "\\alpha.txt", Payload("alpha.txt"));
    ExpectFile(destination + "\\beta.txt", "old beta");
    ExpectFile(destination + "\\gamma.txt", Payload("gamma.txt"));
}

TEST_F(HostileMessages, ALongBrowserTitleAndCancelNoticeAreCutTo255And127)
{
    const std::string browse = PackageString("hostile_long_messages", IDS_BROWSE_TITLE, 300);
    const std::string cancelled = PackageString("hostile_long_messages", IDS_CANCELLED, 128);
    UseScratch("long-cancel");
    SetupProcess setup(PackageExe("hostile_long_messages"));
    AcceptWelcome(setup);
    HWND chooser = setup.WaitForDialogWith(IDC_DEST_EDIT);

    const std::string title = Shown(browse, {"Sextant"});
    std::vector<std::string> texts = BrowserTexts(setup, chooser);
    EXPECT_NE(std::find(texts.begin(), texts.end(), title), texts.end())
        << "expected the browser to show \"" << title << "\"; it shows " << Listing(texts);
    PressButton(chooser, IDCANCEL);

    ExpectEnding(RunToEnd(setup), {{kSextantCaption, cancelled.substr(0, 127), kDestinationOwner}}, 0);
    EXPECT_EQ(ListFolder(scratch_), std::vector<std::string>{}) << "expected nothing written";
}

TEST_F(HostileMessages, ALongFatalErrorIsCutTo255AndEndsWith1)
{
    const std::string noDestination = PackageString("hostile_long_messages", IDS_NO_DEST_DIR, 256);
    const std::string failed = PackageString("hostile_long_messages", IDS_FAILED, 200);
    UseScratch("long-fatal");
    SetupProcess setup(PackageExe("hostile_long_messages"));
    AcceptWelcome(setup);
    ASSERT_NO_FATAL_FAILURE(Choose(setup, scratch_ + "\\Missing\\Sextant"));

    ExpectEnding(RunToEnd(setup),
                 {{kSextantCaption, noDestination.substr(0, 255), kNoOwner},
                  {kSextantCaption, failed.substr(0, 127), kNoOwner}},
                 1);
    EXPECT_EQ(ListFolder(scratch_), std::vector<std::string>{}) << "expected nothing written";
}

// ---- Every string entry at its longest, and one over ------------------------------------------------

TEST_F(HostileEntries, EveryStringAtItsLongestArrivesWholeAndTheProgramOf47IsStarted)
{
    const std::string terms = PackageString("hostile_longest", IDS_TERMS, 3332);
    ASSERT_EQ(terms, Payload("terms_3332.txt"));
    ASSERT_EQ(kName47.size(), 47u);
    ASSERT_EQ(kProgram47.size(), 47u);
    ASSERT_EQ(kListed127.size(), 127u);
    const std::string caption = "Installing - " + kName47;
    const std::string proposal = ProgramFilesDir() + "\\" + kName47;
    RemoveTree(proposal);
    UseScratch("longest");
    const std::string destination = scratch_ + "\\Astrolabes";

    SetupProcess setup(PackageExe("hostile_longest"));
    HWND welcome = setup.WaitForDialogWith(IDC_TERMS_LIST);
    EXPECT_EQ(WindowTitle(welcome), caption);
    EXPECT_EQ(ControlText(welcome, IDC_WELCOME_TEXT), "Welcome to " + kName47 + "!");
    std::vector<std::string> lines = ListBoxLines(welcome, IDC_TERMS_LIST);
    EXPECT_EQ(lines, LinesOf(terms)) << "expected every line of the terms, the last one whole";
    PressButton(welcome, IDOK);

    HWND chooser = setup.WaitForDialogWith(IDC_DEST_EDIT);
    EXPECT_EQ(WindowTitle(chooser), caption);
    EXPECT_EQ(ControlText(chooser, IDC_DEST_EDIT), proposal);
    ASSERT_NO_FATAL_FAILURE(Choose(setup, destination));

    ExpectEnding(RunToEnd(setup), {}, 0);
    EXPECT_EQ(ListFolder(destination), (std::vector<std::string>{kProgram47, kListed127}))
        << "got " << Listing(ListFolder(destination));
    ExpectFile(destination + "\\" + kListed127, Payload("catalogue.txt"));
    ExpectFile(destination + "\\" + kProgram47, ProbeBytes());
    EXPECT_EQ(LaunchRecord(), "\"" + destination + "\\" + kProgram47 + "\"");
    EXPECT_FALSE(FolderExists(proposal)) << "expected nothing under the proposal " << proposal;
}

TEST_F(HostileEntries, EveryStringOneOverArrivesCutByOneAndNothingIsWrittenUnderAShorterName)
{
    const std::string terms = PackageString("hostile_overlong", IDS_TERMS, 3333);
    ASSERT_NE(terms[3331], '\n');
    ASSERT_NE(terms[3332], '\n');
    ASSERT_EQ(PackageString("hostile_overlong", IDS_PRODUCT_NAME, 48), kName48);
    ASSERT_EQ(PackageString("hostile_overlong", IDS_PROGRAM_FILE, 48), kProgram48);
    ASSERT_EQ(PackageString("hostile_overlong", IDS_FILE_FIRST, 128), kListed128A);
    ASSERT_EQ(PackageString("hostile_overlong", IDS_FILE_FIRST + 1, 128), kListed128B);
    const std::string name = kName48.substr(0, 47);
    const std::string caption = "Installing - " + name;
    UseScratch("overlong");
    const std::string destination = scratch_ + "\\Harbour";

    SetupProcess setup(PackageExe("hostile_overlong"));
    HWND welcome = setup.WaitForDialogWith(IDC_TERMS_LIST);
    EXPECT_EQ(WindowTitle(welcome), caption);
    EXPECT_EQ(ControlText(welcome, IDC_WELCOME_TEXT), "Welcome to " + name + "!");
    // The text ends without a line feed, so the cut takes a character off the last line.
    EXPECT_EQ(ListBoxLines(welcome, IDC_TERMS_LIST), LinesOf(terms.substr(0, 3332)))
        << "expected the terms without their last character";
    PressButton(welcome, IDOK);

    HWND chooser = setup.WaitForDialogWith(IDC_DEST_EDIT);
    EXPECT_EQ(WindowTitle(chooser), caption);
    EXPECT_EQ(ControlText(chooser, IDC_DEST_EDIT), ProgramFilesDir() + "\\" + name);
    ASSERT_NO_FATAL_FAILURE(Choose(setup, destination));

    // A listed name arrives as its first 127 characters, and is looked up and written as such:
    // the first has no entry under that name, the second has one.
    const std::string cutA = kListed128A.substr(0, 127);
    const std::string cutB = kListed128B.substr(0, 127);
    ExpectEnding(RunToEnd(setup),
                 {{caption, "Error: Could not extract file '" + cutA + "'", Progress("...")},
                  {caption, kFailed, Progress("...")},
                  {caption, "Warning: Couldn't launch '" + kProgram48.substr(0, 47) + kCantLaunchTail, kNoOwner}},
                 3);
    EXPECT_EQ(ListFolder(destination), (std::vector<std::string>{cutB, "after.txt"}))
        << "got " << Listing(ListFolder(destination));
    ExpectFile(destination + "\\" + cutB, Payload("atlas_b_cut.txt"));
    ExpectFile(destination + "\\after.txt", Payload("after.txt"));
    EXPECT_FALSE(Launched()) << "expected nothing started";
}

// ---- Long destinations and long targets ---------------------------------------------------------------

namespace {

// A path of exactly `length` characters below `base`, in levels of at most 60 characters,
// that does not end in a backslash.
std::string DeepPath(const std::string& base, size_t length)
{
    std::string path = base;
    for (char letter = 'a'; path.size() < length; ++letter)
        path += "\\" + std::string(60, letter);
    path.resize(length);
    if (path.back() == '\\')
        path.back() = 'z';
    return path;
}

}  // namespace

TEST_F(HostileEntries, ADestinationNear512CharactersIsRefusedWith209AndNothingIsWritten)
{
    UseScratch("near512");
    const std::string caption = "Installing - " + kName47;
    const std::string failed = "The installation process failed!";
    // The backslash fits but the folder cannot be made; the backslash does not fit; the edit
    // box holds more than the 511 characters read, and the cut falls right behind a backslash,
    // so that what is read looks like a finished folder one level up.
    const std::string behindBackslash = DeepPath(scratch_, 510) + "\\Open";
    ASSERT_EQ(behindBackslash.size(), 515u);
    ASSERT_EQ(behindBackslash[510], '\\');
    for (const std::string& typed : {DeepPath(scratch_, 505), DeepPath(scratch_, 511), behindBackslash}) {
        SCOPED_TRACE("a destination of " + std::to_string(typed.size()) + " characters");
        SetupProcess setup(PackageExe("hostile_longest"));
        AcceptWelcome(setup);
        ASSERT_NO_FATAL_FAILURE(Choose(setup, typed));
        ExpectEnding(RunToEnd(setup), {{caption, kNoDestination, kNoOwner}, {caption, failed, kNoOwner}}, 1);
        EXPECT_EQ(ListFolder(scratch_), std::vector<std::string>{}) << "expected nothing written";
        EXPECT_FALSE(Launched()) << "expected nothing started";
    }
}

TEST_F(HostileEntries, ANameWhoseTargetPasses255IsRefusedWith210WholeAndTheProgramOf47IsStillWrittenAndStarted)
{
    UseScratch("past255");
    // With its backslash the destination has 200 characters: the 127-character name takes its
    // target past 255, the 47-character program keeps its own within it.
    const std::string destination = scratch_ + "\\" + std::string(199 - scratch_.size() - 1, 'q');
    const std::string target = destination + "\\";
    ASSERT_EQ(target.size(), 200u);
    const std::string caption = "Installing - " + kName47;

    SetupProcess setup(PackageExe("hostile_longest"));
    AcceptWelcome(setup);
    ASSERT_NO_FATAL_FAILURE(Choose(setup, destination));

    const std::string error = "Error: Couldn't write to '" + target + kListed127 + kInUseTail;
    const std::string writing = "Writing: " + kListed127 + " ...";
    ExpectEnding(RunToEnd(setup),
                 {{caption, error, Progress(writing)}, {caption, kFailed, Progress(writing)}}, 3);
    EXPECT_EQ(ListFolder(scratch_), std::vector<std::string>{destination.substr(scratch_.size() + 1)})
        << "expected the destination alone in " << scratch_;
    EXPECT_EQ(ListFolder(destination), std::vector<std::string>{kProgram47})
        << "got " << Listing(ListFolder(destination));
    ExpectFile(destination + "\\" + kProgram47, ProbeBytes());
    EXPECT_EQ(LaunchRecord(), "\"" + target + kProgram47 + "\"");
}
