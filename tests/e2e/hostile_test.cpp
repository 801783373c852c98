// Hostile packages under Wine: messages full of % sequences or past 255 characters, every string at its longest and one over, destinations near 512 and targets past 255.
#include "driver.h"
#include "resource.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>

using namespace e2e;

#ifndef E2E_HOSTILE_DIR
#error "E2E_HOSTILE_DIR must name the folder of the hostile packages' payload files"
#endif

namespace {

// ---- A run seen from its boxes ------------------------------------------------------------------

// One message box as a person saw it, with what it was owned by: the progress dialog (and its
// status line at that moment), the destination dialog, or nothing.
struct Box {
    std::string text;
    std::string owner;
    std::string title = "";
};

std::string Describe(const std::vector<Box>& boxes)
{
    std::string out;
    for (size_t i = 0; i < boxes.size(); ++i)
        out += std::to_string(i + 1) + ". title \"" + boxes[i].title + "\", owner " + Quoted(boxes[i].owner) +
               "\n   text " + Quoted(boxes[i].text) + " (" + std::to_string(boxes[i].text.size()) +
               " characters)\n";
    return out.empty() ? "no box\n" : out;
}

std::string Progress(const std::string& statusLine)
{
    return "progress dialog showing \"" + statusLine + "\"";
}

const std::string kNoOwner = "none";
const std::string kDestinationOwner = "destination dialog";

std::string OwnerOf(HWND box)
{
    HWND owner = GetWindow(box, GW_OWNER);
    if (owner == nullptr)
        return kNoOwner;
    if (HasControl(owner, IDC_STATUS))
        return Progress(ControlText(owner, IDC_STATUS));
    if (HasControl(owner, IDC_DEST_EDIT))
        return kDestinationOwner;
    return DescribeWindow(owner);
}

// From here on the setup runs by itself: every box it shows is read and answered with OK, in
// order, until the process ends. A dialog that waits for input ends the wait with an error.
std::vector<Box> RunToEnd(SetupProcess& setup)
{
    std::vector<Box> boxes;
    for (;;) {
        HWND box = nullptr;
        try {
            box = setup.WaitForMessageBox();
        } catch (const DriverError&) {
            if (setup.Running())
                throw;
            return boxes;
        }
        boxes.push_back({MessageBoxText(box), OwnerOf(box), WindowTitle(box)});
        PressButton(box, IDOK);
        setup.WaitUntilGone(box);
    }
}

// The texts of every control of the folder browser, read off it before it is cancelled.
std::vector<std::string> BrowserTexts(SetupProcess& setup, HWND chooser)
{
    PressButton(chooser, IDC_BROWSE);
    HWND browser = setup.WaitForAnyWindow(kWaitMs, {chooser});
    std::vector<std::string> texts;
    for (HWND child : Children(browser)) {
        try {
            texts.push_back(WindowTitle(child));
        } catch (const DriverError&) {
        }
    }
    PressButton(browser, IDCANCEL);
    setup.WaitUntilGone(browser);
    return texts;
}

// A path of exactly `length` characters below `base`, in levels of at most 200 characters,
// that does not end in a backslash.
std::string DeepPath(const std::string& base, size_t length)
{
    std::string path = base;
    for (char letter = 'a'; path.size() < length; ++letter)
        path += "\\" + std::string(200, letter);
    path.resize(length);
    if (path.back() == '\\')
        path.back() = 'z';
    return path;
}

// ---- The rows ------------------------------------------------------------------------------------

// A package string a row relies on: its length, and `piece` at `at` when one is given.
struct Known {
    int id;
    size_t length;
    size_t at = 0;
    std::string piece = "";
};

// A file the run must leave in the destination, with the bytes of the payload file of its name or
// of `from`: a payload file, or a Linux path of its own.
struct Written {
    std::string name;
    std::string from = "";
};

const std::string kProbe = E2E_BUILD_DIR "/e2e/probe/Tidewater.exe";

// One journey. A package without a product name is a stub alone: started in the scratch folder,
// it shows no dialog. Otherwise the welcome must show the caption, the heading ("" for "Welcome
// to <product>!") and the terms as their buffer keeps them, and the destination dialog the
// caption and the proposal under Program Files. The typed destination is the scratch folder,
// `deep` characters of levels below it (none when 0), then `tail`. A row with a browser title
// opens the browser, looks for that title, cancels the browser and then the setup.
struct Row {
    std::string name;
    std::string package;
    std::string product;
    std::string heading;
    size_t deep;
    std::string tail;
    std::string held;          // a file of the destination, there before and held through the run
    std::string browserTitle;
    std::vector<Box> boxes;    // each under the caption; "{dest}" stands for the destination
    DWORD status;
    std::vector<Written> files = {};  // with the held file, the destination whole; none: nothing written
    std::string launched = "";        // the program started from the destination; "": nothing started
    std::vector<Known> known = {};
    std::string terms = "";           // a payload file that the package's terms are
};

// ---- Messages holding % sequences and more %s than arguments -----------------------------------

const std::string kPercentWelcome = "Welcome to Sextant%s%s!";
const std::string kPercentFailed = "The installation process failed! %s %d %n %%";
const std::string kPercentWriting = "Writing: beta %s%n.txt %s %d %n ...";
const std::string kPercentWritingAlpha = "Writing: alpha.txt %s %d %n ...";
const std::string kPercentCantLaunch =
    "Warning: Couldn't launch 'Sextant.exe' %s%s\nPlease, proceed by launching it manually instead! %d %p";
const std::vector<Written> kAlphaAndGamma = {{"alpha.txt"}, {"gamma.txt"}};

// ---- Messages of 255 characters and more ------------------------------------------------------------

// A string of the stub of long messages: an opening, then one sentence over and over, to `length`.
std::string RunsOn(const std::string& opening, size_t length)
{
    std::string text = opening;
    while (text.size() < length)
        text += "What shows must end where the setup's buffer ends, however far the text runs on. ";
    return text.substr(0, length);
}

// The heading's format is cut to 255, but it is formatted into the terms buffer, so the product
// name makes it longer than that.
const std::string kLongWelcome =
    RunsOn("Welcome to Sextant! This greeting runs on well past the 255 characters kept of a message. ", 260);
const std::string kLongFailed =
    RunsOn("The installation process failed! This notice runs on past the 127 characters kept of it. ", 127);
const std::string kLongWritingAlpha =
    RunsOn("Writing: alpha.txt ... a status line of exactly 255 characters. ", 255);
const std::string kLongWritingBeta = RunsOn("Writing: beta.txt ... a status line of exactly 255 characters. ", 255);

// Columns: name, package, product, heading, deep, tail, held, browser title, boxes, status, files,
// launched, known strings.
const std::vector<Row> kMessages = {
    {"a corrupt stub shows its % sequences as they stand", "hostile_percent_stub", "", "", 0, "", "", "",
     {{"Error: Setup.exe is corrupt %s%s %n", kNoOwner}, {kPercentFailed, kNoOwner}}, 1},
    // The name's own %s and %n are an argument: copied, not formatted again.
    {"% sequences in messages and a name are shown as they stand and the run goes on", "hostile_percent", "Sextant",
     kPercentWelcome, 0, "\\Sextant", "beta %s%n.txt", "",
     {{"Error: Couldn't write to '{dest}\\beta %s%n.txt' %s %s\nPossible cause: File in use by Windows. %d %n %%",
       Progress(kPercentWriting)},
      {kPercentFailed, Progress(kPercentWriting)},
      {kPercentCantLaunch, kNoOwner}},
     3, kAlphaAndGamma},
    {"a missing entry with % sequences is reported as it stands and the next is written", "hostile_percent_missing",
     "Sextant", kPercentWelcome, 0, "\\Sextant", "", "",
     {{"Error: Could not extract file 'ghost %d%%.txt' %n%n%n", Progress(kPercentWritingAlpha)},
      {kPercentFailed, Progress(kPercentWritingAlpha)},
      {kPercentCantLaunch, kNoOwner}},
     3, kAlphaAndGamma},
    {"the browser title and the cancel notice show their % sequences as they stand", "hostile_percent", "Sextant",
     kPercentWelcome, 0, "\\Sextant", "", "Please select %d directory %n to install Sextant to %s...",
     {{"The installation process was cancelled! %s %x 100%", kDestinationOwner}}, 0},
    {"a destination that cannot be made shows its % sequences and ends with 1", "hostile_percent", "Sextant",
     kPercentWelcome, 0, "\\Missing\\Sextant", "", "",
     {{"Error: Couldn't create destination directory %s %d %n", kNoOwner}, {kPercentFailed, kNoOwner}}, 1},

    {"a corrupt stub shows its long messages cut to their buffers", "hostile_long_stub", "", "", 0, "", "", "",
     {{RunsOn("Error: Setup.exe is corrupt. This error runs on past the 255 characters kept of a message. ", 255),
       kNoOwner},
      {kLongFailed, kNoOwner}},
     1, {}, "", {{IDS_CORRUPT, 300}, {IDS_FAILED, 200}}},
    // The %s of 211 sits astride its 255th character: only its % is kept. 210's format is cut to
    // 255 before its arguments go in, and its own buffer holds the longest destination and name.
    {"long message formats are cut to 255 and the fixed notice to 127", "hostile_long_messages", "Sextant",
     kLongWelcome, 0, "\\Sextant", "beta.txt", "",
     {{RunsOn("Error: Could not extract a file. Its name would come at the very end, where the cut falls: ", 254) +
           "%",
       Progress(kLongWritingAlpha)},
      {kLongFailed, Progress(kLongWritingAlpha)},
      {"Error: Couldn't write to '{dest}\\beta.txt'\nPossible cause: File in use by Windows. This error runs on. " +
           RunsOn("", 255 - 92),
       Progress(kLongWritingBeta)},
      {kLongFailed, Progress(kLongWritingBeta)},
      {RunsOn("Warning: Couldn't launch 'Sextant.exe'\nPlease, proceed by launching it manually instead! Exactly "
              "255. ",
              255),
       kNoOwner}},
     3, kAlphaAndGamma, "",
     {{IDS_WELCOME, 300}, {IDS_WRITING, 255}, {IDS_FAILED, 200}, {IDS_CANT_WRITE, 300},
      {IDS_CANT_EXTRACT, 300, 254, "%s"}, {IDS_CANT_LAUNCH, 255}}},
    {"a long browser title and cancel notice are cut to 255 and 127", "hostile_long_messages", "Sextant",
     kLongWelcome, 0, "\\Sextant", "",
     RunsOn("Please select directory to install Sextant to, a title that runs on past what is kept. ", 255),
     {{RunsOn("The installation process was cancelled! This notice has 128 characters, one too many. ", 127),
       kDestinationOwner}},
     0, {}, "", {{IDS_BROWSE_TITLE, 300}, {IDS_CANCELLED, 128}}},
    {"a long fatal error is cut to 255 and ends with 1", "hostile_long_messages", "Sextant", kLongWelcome, 0,
     "\\Missing\\Sextant", "", "",
     {{RunsOn("Error: Couldn't create destination directory. This error has 256 characters, one too many. ", 255),
       kNoOwner},
      {kLongFailed, kNoOwner}},
     1, {}, "", {{IDS_NO_DEST_DIR, 256}, {IDS_FAILED, 200}}},
};

// ---- Every string entry at its longest, and one over; long destinations and long targets ----------

const std::string kName47 = "Astrolabes Celestial Navigation for Open Waters";
const std::string kProgram47 = "Astrolabes Celestial Navigation Open Waters.exe";
const std::string kListed127 =
    "Star catalogue of every navigational star with its sidereal hour angle and declination for each night of "
    "the year - vol III.txt";
const std::string kProgram48 = "Harbour Pilot Tide and Current Atlas, Ed. 10.exe";
const std::string kListed128 =
    "Tidal stream atlas of every harbour approach with its hourly rates and directions for springs and neaps "
    "round the coasts - ";

const std::vector<Row> kEntries = {
    {"every string at its longest arrives whole and the program of 47 is started", "hostile_longest", kName47, "", 0,
     "\\Astrolabes", "", "", {}, 0, {{kListed127, "catalogue.txt"}, {kProgram47, kProbe}}, kProgram47,
     {{IDS_PRODUCT_NAME, 47, 0, kName47}, {IDS_PROGRAM_FILE, 47, 0, kProgram47}, {IDS_FILE_FIRST, 127, 0, kListed127},
      {IDS_TERMS, 3332}},
     "terms_3332.txt"},
    // A listed name arrives as its first 127 characters, and is looked up and written as such:
    // the first has no entry under that name, the second has one. The terms end without a line
    // feed, so the cut takes a character off the last line.
    {"every string one over arrives cut by one and nothing is written under a shorter name", "hostile_overlong",
     "Harbour Pilot Tide and Current Atlas, Edition 1", "", 0, "\\Harbour", "", "",
     {{"Error: Could not extract file '" + kListed128 + "A.tx'", Progress("...")},
      {kFailed, Progress("...")},
      {"Warning: Couldn't launch '" + kProgram48.substr(0, 47) +
           "'\nPlease, proceed by launching it manually instead!",
       kNoOwner}},
     3, {{kListed128 + "B.tx", "atlas_b_cut.txt"}, {"after.txt"}}, "",
     {{IDS_TERMS, 3333, 3331, "rs"}, {IDS_PRODUCT_NAME, 48, 0, "Harbour Pilot Tide and Current Atlas, Edition 10"},
      {IDS_PROGRAM_FILE, 48, 0, kProgram48}, {IDS_FILE_FIRST, 128, 0, kListed128 + "A.txt"},
      {IDS_FILE_FIRST + 1, 128, 0, kListed128 + "B.txt"}}},
    // The backslash fits but the folder cannot be made; the backslash does not fit; the edit box
    // holds more than the 511 characters read, and the cut falls right behind a backslash, so
    // that what is read looks like a finished folder one level up.
    {"a destination of 505 characters is refused with 209", "hostile_longest", kName47, "", 505, "", "", "",
     {{kNoDestination, kNoOwner}, {kFailed, kNoOwner}}, 1},
    {"a destination of 511 characters is refused with 209", "hostile_longest", kName47, "", 511, "", "", "",
     {{kNoDestination, kNoOwner}, {kFailed, kNoOwner}}, 1},
    {"a destination of 515 characters with a backslash at 511 is refused with 209", "hostile_longest", kName47, "",
     510, "\\Open", "", "", {{kNoDestination, kNoOwner}, {kFailed, kNoOwner}}, 1},
    // With its backslash the destination has 200 characters: the 127-character name takes its
    // target past 255, the 47-character program keeps its own within it.
    {"a name whose target passes 255 is refused with 210 whole and the program of 47 is still written and started",
     "hostile_longest", kName47, "", 199, "", "", "",
     {{"Error: Couldn't write to '{dest}\\" + kListed127 + kInUseTail, Progress("Writing: " + kListed127 + " ...")},
      {kFailed, Progress("Writing: " + kListed127 + " ...")}},
     3, {{kProgram47, kProbe}}, kProgram47},
};

// ---- The runner ------------------------------------------------------------------------------------

// A payload file by its name, or any file by its Linux path.
std::string Payload(const std::string& from)
{
    return ReadFileBytes(WinePath(from[0] == '/' ? from : E2E_HOSTILE_DIR "/" + from));
}

// The welcome and the destination dialog, answered as the row says.
void Answer(SetupProcess& setup, const Row& row, const std::string& destination)
{
    const std::string caption = "Installing - " + row.product;
    HWND welcome = setup.WaitForDialogWith(IDC_TERMS_LIST);
    EXPECT_EQ(WindowTitle(welcome), caption);
    EXPECT_EQ(ControlText(welcome, IDC_WELCOME_TEXT),
              row.heading.empty() ? "Welcome to " + row.product + "!" : row.heading);
    const std::string terms = ReadStringResource(PackageExe(row.package), IDS_TERMS).value_or("");
    if (!row.terms.empty()) {
        EXPECT_EQ(terms, Payload(row.terms)) << "the terms as packed";
    }
    EXPECT_EQ(ListBoxLines(welcome, IDC_TERMS_LIST), LinesOf(terms.substr(0, 3332)))
        << "expected the terms as their 3332-character buffer keeps them";
    PressButton(welcome, IDOK);

    HWND chooser = setup.WaitForDialogWith(IDC_DEST_EDIT);
    EXPECT_EQ(WindowTitle(chooser), caption);
    EXPECT_EQ(ControlText(chooser, IDC_DEST_EDIT), ProgramFilesDir() + "\\" + row.product);
    SetControlText(chooser, IDC_DEST_EDIT, destination);
    ASSERT_EQ(ControlText(chooser, IDC_DEST_EDIT), destination) << "the edit box should hold the typed path";
    if (row.browserTitle.empty()) {
        PressButton(chooser, IDOK);
        return;
    }
    std::vector<std::string> texts = BrowserTexts(setup, chooser);
    EXPECT_NE(std::find(texts.begin(), texts.end(), row.browserTitle), texts.end())
        << "expected the browser to show \"" << row.browserTitle << "\"; it shows " << Listing(texts);
    PressButton(chooser, IDCANCEL);
}

// What the run must have left: the destination's files and their bytes, the scratch folder
// holding nothing else, and the program started or not.
void ExpectLeft(const Row& row, const std::string& scratch, const std::string& destination, const LaunchRecord& record)
{
    std::map<std::string, std::string> files;  // name, bytes
    for (const Written& file : row.files)
        files[file.name] = Payload(file.from.empty() ? file.name : file.from);
    if (!row.held.empty())
        files[row.held] = "old beta";
    std::vector<std::string> names;
    for (const auto& file : files)
        names.push_back(file.first);
    if (names.empty()) {
        EXPECT_EQ(ListFolder(scratch), std::vector<std::string>{}) << "expected nothing written";
    } else {
        size_t level = scratch.size() + 1;
        EXPECT_EQ(ListFolder(scratch), std::vector<std::string>{
                                           destination.substr(level, destination.find('\\', level) - level)});
        EXPECT_EQ(ListFolder(destination), names);
    }
    for (const auto& [name, bytes] : files) {
        const std::string path = destination + "\\" + name;
        EXPECT_EQ(FileExists(path) ? ReadFileBytes(path) : "(no file)", bytes) << "content of " << path;
    }
    if (row.launched.empty())
        EXPECT_FALSE(record.Written()) << "expected nothing started";
    else
        EXPECT_EQ(record.Read(), "\"" + destination + "\\" + row.launched + "\"");
}

// A registered earlier installation would bring the reinstall prompt instead of the destination dialog.
void ForgetInstallations()
{
    for (const std::string& program : {std::string("Sextant.exe"), kProgram47, kProgram48.substr(0, 47)})
        DeleteRegistryKey(HKEY_LOCAL_MACHINE, AppPathsKey(program));
}

void Play(const Row& row)
{
    ForgetInstallations();
    const LaunchRecord record("hostile-launch");
    // A short scratch folder, so that the long paths of a row are long by the row's own doing.
    const std::string scratch = FreshScratchFolder("hostile");
    const std::string destination = (row.deep > 0 ? DeepPath(scratch, row.deep) : scratch) + row.tail;
    const std::string proposal = ProgramFilesDir() + "\\" + row.product;
    for (const Known& known : row.known) {
        const std::string text = ReadStringResource(PackageExe(row.package), known.id).value_or("");
        ASSERT_EQ(text.size(), known.length) << "characters in string " << known.id << " of " << row.package;
        ASSERT_EQ(text.substr(known.at, known.piece.size()), known.piece)
            << "string " << known.id << " of " << row.package << " at " << known.at;
    }
    if (!row.held.empty()) {
        MakeFolders(destination);
        WriteFileBytes(destination + "\\" + row.held, "old beta");
    }
    if (!row.product.empty())
        RemoveTree(proposal);

    SetupProcess setup(PackageExe(row.package), row.product.empty() ? scratch : "");
    if (!row.product.empty()) {
        ASSERT_NO_FATAL_FAILURE(Answer(setup, row, destination));
    }
    std::optional<HeldFile> hold;
    if (!row.held.empty())
        hold.emplace(destination + "\\" + row.held);
    std::vector<Box> seen = RunToEnd(setup);
    hold.reset();

    std::vector<Box> boxes = row.boxes;
    for (Box& box : boxes) {
        box.title = row.product.empty() ? "" : "Installing - " + row.product;
        box.text = Filled(box.text, [&](const std::string& key) {
            return key == "dest" ? destination : '{' + key + '}';
        });
    }
    EXPECT_EQ(Describe(seen), Describe(boxes)) << "the boxes shown, in order";
    EXPECT_EQ(setup.WaitForExit(), row.status) << "exit status";
    ExpectLeft(row, scratch, destination, record);
    if (!row.product.empty()) {
        EXPECT_FALSE(FolderExists(proposal)) << "expected nothing under the proposal " << proposal;
    }
}

void PlayEvery(const std::vector<Row>& rows)
{
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        try {
            Play(row);
        } catch (const DriverError& error) {
            ADD_FAILURE() << error.what();
        }
    }
    ForgetInstallations();
}

}  // namespace

TEST(HostileMessages, EveryRow)
{
    PlayEvery(kMessages);
}

TEST(HostileEntries, EveryRow)
{
    PlayEvery(kEntries);
}
