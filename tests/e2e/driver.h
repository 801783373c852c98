// The end-to-end driver: starts a Setup.exe under Wine, reads and works its windows as a person would.
#ifndef E2E_DRIVER_H
#define E2E_DRIVER_H

#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace e2e {

// Generous: a first window under Wine on a loaded machine can take seconds.
constexpr int kWaitMs = 20000;

// Thrown when a wait runs out or the driver cannot do what a case asked; the
// test framework reports it as a failure of the case with this text.
struct DriverError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The stub's fixed messages that cases expect to see, as the setup shows them.
inline const std::string kCancelled = "The installation process was cancelled!";
inline const std::string kFailed = "The installation process failed!";
inline const std::string kNoDestination = "Error: Couldn't create destination directory";
inline const std::string kInUseTail = "'\nPossible cause: File in use by Windows.";

// ---- Text ---------------------------------------------------------------------------------

// The driver's texts are UTF-8, whatever the ANSI code page of the locale a case runs in;
// every call that takes or gives text is a W call, through these two.
std::string Utf8(const std::wstring& wide);
std::wstring Wide(const std::string& utf8);
// The lines the welcome dialog lists for a terms text: cut at line feeds, up to the first empty piece.
std::vector<std::string> LinesOf(const std::string& text);
// A row's text with each {key} in it replaced by valueOf(key); what a value brings in is not read again.
std::string Filled(std::string text, const std::function<std::string(const std::string&)>& valueOf);

// ---- Paths --------------------------------------------------------------------------------

// A Linux path as Wine's Z: drive shows it: "/a/b" gives "Z:\a\b".
std::string WinePath(const std::string& unixPath);
// The Setup.exe built from tests/e2e/packages/<name>.ini (or <name>.rc for shapes the builder refuses).
std::string PackageExe(const std::string& name);
// The Linux path of one case's scratch folder. The runner gives every run a short scratch area
// (E2E_SCRATCH) so that no case depends on how deep the clone lives: Windows' file calls stop
// at MAX_PATH, and a case's own paths must leave room for what it tests.
std::string LinuxScratch(const std::string& name);
// That folder by its Z: path, emptied and made anew.
std::string FreshScratchFolder(const std::string& name);

// ---- Reading windows (any process) --------------------------------------------------------

std::string WindowClass(HWND window);
std::string WindowTitle(HWND window);
// The text of the child with this id, as WM_GETTEXT gives it; throws if there is no such child.
std::string ControlText(HWND dialog, int id);
// A message box's text: its static control 0xFFFF.
std::string MessageBoxText(HWND box);
// Every line of a list box, in order.
std::vector<std::string> ListBoxLines(HWND dialog, int id);
bool HasControl(HWND dialog, int id);
// Every control inside a window, at any depth.
std::vector<HWND> Children(HWND window);
// A "#32770" window with the text static and an OK/Yes/No-style button row of the system's
// message box, as opposed to one of the setup's own dialogs.
bool IsMessageBox(HWND window);
// A text read off the screen, quoted, its line feeds and returns shown as \n and \r.
std::string Quoted(const std::string& text);
// Class, title, visibility and every child (class, id, text): what a person would see.
std::string DescribeWindow(HWND window);

// ---- Acting on windows --------------------------------------------------------------------

// Posts BM_CLICK to the button, as a mouse click would press it.
void PressButton(HWND dialog, int id);
// Posts Esc to a control of the dialog, so that the dialog manager turns it into IDCANCEL.
void PressEscape(HWND dialog);
// Replaces the text of a control (an edit box, say) as typing would leave it.
void SetControlText(HWND dialog, int id, const std::string& text);

// ---- The process under test ----------------------------------------------------------------

struct MessageBoxSeen {
    std::string title;
    std::string text;
};

class SetupProcess {
public:
    // Starts the program with these arguments after its quoted path, in workDir (its own folder
    // if empty); throws if it cannot.
    explicit SetupProcess(const std::string& exePath, const std::string& workDir = "",
                          const std::string& arguments = "");
    ~SetupProcess();  // a process still running here is killed
    SetupProcess(const SetupProcess&) = delete;
    SetupProcess& operator=(const SetupProcess&) = delete;

    DWORD Id() const { return id_; }
    bool Running() const;

    // The visible top-level windows of the process, in Z order.
    std::vector<HWND> Windows() const;
    // The first visible top-level window of the process that is not in `besides`.
    HWND WaitForAnyWindow(int timeoutMs = kWaitMs, const std::vector<HWND>& besides = {});
    HWND WaitForMessageBox(int timeoutMs = kWaitMs);
    // One of the setup's own dialogs (not a message box) with this control in it.
    HWND WaitForDialogWith(int controlId, int timeoutMs = kWaitMs);
    // Until the window is destroyed or hidden.
    void WaitUntilGone(HWND window, int timeoutMs = kWaitMs);
    // Waits for a message box, reads it, presses its OK and waits until it has gone.
    MessageBoxSeen DismissMessageBox(int timeoutMs = kWaitMs);

    // The exit status. On timeout the process is killed and the error says what was on screen.
    DWORD WaitForExit(int timeoutMs = kWaitMs);

    // Every window of the process still on screen, described.
    std::string DescribeScreen() const;

private:
    template <typename Match>
    HWND WaitFor(const std::string& what, int timeoutMs, Match match);
    [[noreturn]] void FailWait(const std::string& what, int timeoutMs);

    HANDLE process_ = nullptr;
    DWORD id_ = 0;
    std::string exe_;
};

// Closes a program's window as its user would, and makes sure its process has ended.
void CloseProgram(HWND window);

// Accept on the welcome dialog, once it is up.
void AcceptWelcome(SetupProcess& setup);
// Accept, then the destination typed into the chooser and OK, as a person would.
void AcceptAndChoose(SetupProcess& setup, const std::string& destination);

// ---- Registry (HKLM and friends of the Wine prefix) ----------------------------------------
// The driver is a 32-bit program: on 64-bit Windows it sees the 32-bit view unless a call's
// view is KEY_WOW64_64KEY (ignored on 32-bit Windows, which has one view).

// The App Paths key that records where a main program was installed.
std::string AppPathsKey(const std::string& programFile);
// Creates the key if needed; an empty value name is the key's default value.
void SetRegistryString(HKEY root, const std::string& key, const std::string& valueName,
                       const std::string& value, REGSAM view = 0);
// A string value as it stands, a DWORD value in decimal; nullopt when missing or of another type.
std::optional<std::string> ReadRegistryString(HKEY root, const std::string& key,
                                              const std::string& valueName, REGSAM view = 0);
// The prefix's program-files folder, as the setup reads it for its default destination.
std::string ProgramFilesDir();
// Removes the key with its subkeys; a missing key is not an error.
void DeleteRegistryKey(HKEY root, const std::string& key, REGSAM view = 0);
// Whether Windows is 64-bit: the driver then runs under WOW64.
bool Is64BitWindows();

// ---- Files (Windows paths; the Linux tree is under Z:) -------------------------------------

bool FileExists(const std::string& path);
bool FolderExists(const std::string& path);
std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
// Makes every missing level of the folder.
void MakeFolders(const std::string& path);
// Names of the entries of a folder, sorted, without "." and "..".
std::vector<std::string> ListFolder(const std::string& path);
// Names as "{a, b}", for comparing a folder whole and for saying what a case found.
std::string Listing(const std::vector<std::string>& names);
// Removes a folder and everything below it, read-only entries too; a missing one is fine.
void RemoveTree(const std::string& path);

// Opens a file the way another program that does not share would: until this ends.
class HeldFile {
public:
    explicit HeldFile(const std::string& path)
        : handle_(CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr))
    {
        if (handle_ == INVALID_HANDLE_VALUE)
            throw DriverError("could not hold " + path + ": error " + std::to_string(GetLastError()));
    }
    ~HeldFile() { CloseHandle(handle_); }
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;

private:
    HANDLE handle_;
};

// Where the launch probe, a package's main program, records the command line it was started with:
// the setup passes E2E_LAUNCH_RECORD on to it. A fresh record for as long as this lives.
class LaunchRecord {
public:
    explicit LaunchRecord(const std::string& folderName, const std::string& fileName = "record.txt");
    ~LaunchRecord();
    LaunchRecord(const LaunchRecord&) = delete;
    LaunchRecord& operator=(const LaunchRecord&) = delete;

    // The line (without its line feed), once it is there and whole; throws after kWaitMs. Wine's
    // rename holds the file for a moment after it shows under its new name, so a read is retried.
    std::string Read() const;
    bool Written() const { return FileExists(path_); }
    void Forget() const { DeleteFileW(Wide(path_).c_str()); }

private:
    std::string path_;
};

// ---- Waiting and the Linux side -------------------------------------------------------------

// Polls the condition every 20 ms; whether it held within the time.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = kWaitMs);

struct UnixRun {
    DWORD status;
    std::string output;
};
// Runs a script with sh -c on the Linux side and waits for its end; throws if it does not end in time.
UnixRun RunUnix(const std::string& script, int timeoutMs = kWaitMs);

// ---- Resources of a built executable -------------------------------------------------------

// The executable mapped as data: nothing of it runs. Throws if it cannot be loaded.
class DataModule {
public:
    explicit DataModule(const std::string& path);
    ~DataModule() { FreeLibrary(module_); }
    DataModule(const DataModule&) = delete;
    DataModule& operator=(const DataModule&) = delete;
    HMODULE get() const { return module_; }

private:
    HMODULE module_;
};

// A dialog made from template `id` (any language) of the executable by the dialog manager alone,
// in the driver's process: nothing of the setup runs. Throws if the template does not load.
class TemplateDialog {
public:
    TemplateDialog(const std::string& exePath, int id);
    ~TemplateDialog();
    TemplateDialog(const TemplateDialog&) = delete;
    TemplateDialog& operator=(const TemplateDialog&) = delete;
    HWND get() const { return dialog_; }

private:
    DataModule module_;
    HWND dialog_;
};

// Reads string `id` from the executable's string table; nullopt when missing or empty.
std::optional<std::string> ReadStringResource(const std::string& exePath, int id);

}  // namespace e2e

#endif
