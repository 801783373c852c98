// The demo's driver under Wine: takes the sample installer through a first install and a reinstall with the default answers, and has each dialog photographed.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "resource.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// Generous: a first window under Wine on a loaded machine can take seconds.
constexpr int kWaitMs = 20000;
const wchar_t kAppPaths[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Lumivue.exe";

std::string shotFolder;

// The driver's texts are UTF-8, as the script prints them on a Linux terminal; every call that
// takes or gives text is a W call, whatever the prefix's ANSI code page.
std::string Utf8(const std::wstring& wide)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string out(size_t(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), out.data(), size, nullptr, nullptr);
    return out;
}

std::wstring Wide(const std::string& utf8)
{
    int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
    std::wstring out(size_t(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), out.data(), size);
    return out;
}

void Say(const std::string& line)
{
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

bool Elapsed(DWORD start)
{
    return int(GetTickCount() - start) >= kWaitMs;
}

// Waits up to 20 ms while serving our own windows, if any: Wine puts a window's picture on the
// display when its thread waits for input.
void Pause()
{
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

// Polls until `done`; the demo fails when it takes longer than kWaitMs.
void WaitUntil(const std::string& what, const std::function<bool()>& done)
{
    for (DWORD start = GetTickCount(); !done(); Pause()) {
        if (Elapsed(start))
            throw std::runtime_error("expected " + what + " within " + std::to_string(kWaitMs) + " ms");
    }
}

// WM_GETTEXT is marshalled between processes, with a bound on the wait; a missing control fails here.
std::string TextOf(HWND window)
{
    wchar_t text[4096] = {};
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, 4096, LPARAM(text), SMTO_NORMAL, kWaitMs, &copied))
        throw std::runtime_error("a window of the setup did not give its text");
    return Utf8(text);
}

// Posts a click, as the mouse would press the button.
void PressButton(HWND dialog, int id)
{
    HWND button = GetDlgItem(dialog, id);
    if (button == nullptr || !PostMessageW(button, BM_CLICK, 0, 0))
        throw std::runtime_error("could not press button " + std::to_string(id));
}

// The setup under way; one still running when the demo fails ends with it.
struct SetupProcess {
    PROCESS_INFORMATION info = {};

    explicit SetupProcess(const std::string& exe)
    {
        std::wstring commandLine = Wide("\"" + exe + "\"");
        std::wstring folder = Wide(exe.substr(0, exe.find_last_of('\\')));
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        if (!CreateProcessW(Wide(exe).c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                            folder.c_str(), &startup, &info))
            throw std::runtime_error("could not start " + exe + ": error " + std::to_string(GetLastError()));
    }
    ~SetupProcess()
    {
        if (TerminateProcess(info.hProcess, 255))
            WaitForSingleObject(info.hProcess, kWaitMs);
        CloseHandle(info.hProcess);
        CloseHandle(info.hThread);
    }
    bool Running() const { return WaitForSingleObject(info.hProcess, 0) == WAIT_TIMEOUT; }

    // Its visible dialog with this control in it, nullptr if there is none.
    HWND DialogWith(int id) const
    {
        for (HWND window = GetTopWindow(nullptr); window; window = GetWindow(window, GW_HWNDNEXT)) {
            DWORD owner = 0;
            wchar_t kind[8] = {};
            GetWindowThreadProcessId(window, &owner);
            GetClassNameW(window, kind, 8);
            if (owner == info.dwProcessId && IsWindowVisible(window) && std::wcscmp(kind, L"#32770") == 0 &&
                GetDlgItem(window, id) != nullptr)
                return window;
        }
        return nullptr;
    }

    HWND WaitForDialogWith(int id) const
    {
        HWND dialog = nullptr;
        const std::string what = "a dialog with control " + std::to_string(id);
        WaitUntil(what, [&] { return (dialog = DialogWith(id)) != nullptr || !Running(); });
        if (dialog == nullptr)
            throw std::runtime_error("the setup ended before " + what);
        return dialog;
    }

    void WaitForExit0() const
    {
        WaitUntil("the setup to end", [&] { return !Running(); });
        DWORD status = 255;
        GetExitCodeProcess(info.hProcess, &status);
        if (status != 0)
            throw std::runtime_error("the setup ended with status " + std::to_string(status) + ", expected 0");
    }
};

// ---- Pictures ---------------------------------------------------------------------------------

// A dialog looks as a person sees it once it and every control are painted and its thread has
// gone back to waiting for input, which is when Wine hands the picture to the display.
void WaitUntilShown(HWND dialog)
{
    WaitUntil("the dialog \"" + TextOf(dialog) + "\" painted", [&] {
        bool painted = !GetUpdateRect(dialog, nullptr, FALSE);
        for (HWND child = GetWindow(dialog, GW_CHILD); child && painted; child = GetWindow(child, GW_HWNDNEXT))
            painted = !GetUpdateRect(child, nullptr, FALSE);
        return painted;
    });
    // The second round trip reaches a thread that was already waiting again.
    for (int trip = 0; trip < 2; ++trip) {
        DWORD_PTR result = 0;
        if (!SendMessageTimeoutW(dialog, WM_NULL, 0, 0, SMTO_NORMAL, kWaitMs, &result))
            throw std::runtime_error("the dialog \"" + TextOf(dialog) + "\" did not answer");
    }
}

// The demo script captures the window's rectangle from the X display and then writes NAME.png;
// the window stays as it is until that file is there.
void Photograph(const std::string& name, HWND window)
{
    RECT box;
    GetWindowRect(window, &box);
    std::printf("SHOT %s %ld %ld %ld %ld\n", name.c_str(), box.left, box.top, box.right - box.left,
                box.bottom - box.top);
    std::fflush(stdout);
    const std::wstring picture = Wide(shotFolder + "\\" + name + ".png");
    WaitUntil("the picture " + Utf8(picture),
              [&] { return GetFileAttributesW(picture.c_str()) != INVALID_FILE_ATTRIBUTES; });
}

// The live progress dialog of the sample is up for some 10 ms while another thread of the setup
// writes the files. It is held (its own thread frozen) for a picture as soon as it says what it
// writes; false if it was gone before that. A picture that fails ends the demo and the setup with
// it, frozen or not. No pause in these loops: they would miss the dialog.
bool PhotographLiveProgress(const SetupProcess& setup)
{
    DWORD start = GetTickCount();
    HWND progress = nullptr;
    while ((progress = setup.DialogWith(IDC_STATUS)) == nullptr) {
        if (Elapsed(start) || !setup.Running())
            return false;
    }
    // The status line as the window manager keeps it: no message to the setup's thread.
    for (wchar_t status[512] = {}; std::wcsncmp(status, L"Writing: ", 9) != 0;) {
        if (Elapsed(start) || !IsWindow(progress))
            return false;
        InternalGetWindowText(GetDlgItem(progress, IDC_STATUS), status, 512);
    }
    HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, GetWindowThreadProcessId(progress, nullptr));
    bool held = thread != nullptr && SuspendThread(thread) != DWORD(-1);
    if (held && IsWindowVisible(progress))
        Photograph("progress-live", progress);
    if (held)
        ResumeThread(thread);
    if (thread != nullptr)
        CloseHandle(thread);
    return held;
}

// A dialog procedure that takes no part: the dialog manager alone makes the dialog.
INT_PTR CALLBACK LeaveToDialogManager(HWND, UINT, WPARAM, LPARAM)
{
    return FALSE;
}

// LoadString with a zero length hands back a pointer to the text in place.
std::string StringResource(HMODULE module, int id)
{
    const wchar_t* text = nullptr;
    int length = LoadStringW(module, UINT(id), reinterpret_cast<LPWSTR>(&text), 0);
    return length > 0 && text != nullptr ? Utf8(std::wstring(text, size_t(length))) : "";
}

// The progress dialog of the installer's own template, as the setup fills it for its first file
// (caption, then "Writing: " and the first listed file), shown by this driver from the executable
// loaded as data, with a message loop that paints it: the picture of what the table lays out,
// icon included. Nothing of the setup runs.
void PhotographProgressTemplate(const std::string& setupExe, const std::string& caption)
{
    HMODULE module = LoadLibraryExW(Wide(setupExe).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    std::string status = StringResource(module, IDS_WRITING);
    std::string first = StringResource(module, IDS_FILE_FIRST);
    size_t slot = status.find("%s");
    if (slot == std::string::npos || first.empty())
        throw std::runtime_error("the installer has no status text or no first file");
    status.replace(slot, 2, first);

    HWND dialog = CreateDialogParamW(module, MAKEINTRESOURCEW(IDD_PROGRESS), nullptr, LeaveToDialogManager, 0);
    if (dialog == nullptr)
        throw std::runtime_error("the progress template of " + setupExe + " does not load as data");
    SetWindowTextW(dialog, Wide(caption).c_str());
    SetDlgItemTextW(dialog, IDC_STATUS, Wide(status).c_str());
    WaitUntilShown(dialog);
    Pause();
    Photograph("progress", dialog);
    DestroyWindow(dialog);
    FreeLibrary(module);
    Say("  progress dialog: the installer's own template with \"" + status +
        "\", shown by the demo (see build/screenshots/progress-live.png for what Wine drew live)");
}

// ---- The installed program, its registration and files ----------------------------------------

// The installed program's window; it belongs to another process than the setup.
HWND WaitForLumivue()
{
    HWND window = nullptr;
    WaitUntil("Lumivue's window", [&] {
        window = FindWindowW(L"LumivueWindow", L"Lumivue");
        return window != nullptr && IsWindowVisible(window);
    });
    return window;
}

// Closes it as its user would, and makes sure its process has ended.
void CloseProgram(HWND window)
{
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, processId);
    PostMessageW(window, WM_CLOSE, 0, 0);
    if (process != nullptr) {
        if (WaitForSingleObject(process, kWaitMs) != WAIT_OBJECT_0)
            TerminateProcess(process, 1);
        CloseHandle(process);
    }
}

// A string value of HKLM, or `missing`.
std::string MachineString(const wchar_t* key, const wchar_t* value, const std::string& missing = "")
{
    wchar_t text[1024] = {};
    DWORD size = sizeof(text);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key, value, RRF_RT_REG_SZ, nullptr, text, &size) != ERROR_SUCCESS)
        return missing;
    return Utf8(text);
}

// Names of a folder's entries, sorted.
std::vector<std::string> ListFolder(const std::string& path)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(Wide(path)))
        names.push_back(Utf8(entry.path().filename().wstring()));
    std::sort(names.begin(), names.end());
    return names;
}

// The folder with everything in it, read-only entries too, which Windows removes only once their
// attribute is cleared; a missing folder is fine.
void RemoveTree(const std::string& path)
{
    std::error_code missing;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(Wide(path), missing))
        SetFileAttributesW(entry.path().c_str(), FILE_ATTRIBUTE_NORMAL);
    std::filesystem::remove_all(Wide(path));
}

// ---- The demo ---------------------------------------------------------------------------------

void Run(const std::string& setupExe)
{
    // A first install: no earlier registration, nothing in the default folder.
    const std::string folder =
        MachineString(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", L"ProgramFilesDir") + "\\Lumivue";
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kAppPaths);
    RemoveTree(folder);

    Say("First run of " + setupExe);
    std::string caption;
    {
        SetupProcess setup(setupExe);
        HWND welcome = setup.WaitForDialogWith(IDC_TERMS_LIST);
        WaitUntilShown(welcome);
        Photograph("welcome", welcome);
        caption = TextOf(welcome);
        DWORD_PTR terms = 0;
        SendMessageTimeoutW(GetDlgItem(welcome, IDC_TERMS_LIST), LB_GETCOUNT, 0, 0, SMTO_NORMAL, kWaitMs, &terms);
        Say("  welcome dialog \"" + caption + "\": \"" + TextOf(GetDlgItem(welcome, IDC_WELCOME_TEXT)) + "\", " +
            std::to_string(terms) + " lines of terms; Accept");
        PressButton(welcome, IDOK);

        HWND chooser = setup.WaitForDialogWith(IDC_DEST_EDIT);
        WaitUntilShown(chooser);
        Photograph("destination", chooser);
        const std::string proposed = TextOf(GetDlgItem(chooser, IDC_DEST_EDIT));
        Say("  destination dialog proposes " + proposed + "; OK");
        if (proposed != folder)
            throw std::runtime_error("expected the proposed folder " + folder + ", got " + proposed);
        PressButton(chooser, IDOK);

        if (!PhotographLiveProgress(setup))
            Say("  the progress dialog came and went before it could be held");
        HWND lumivue = WaitForLumivue();
        setup.WaitForExit0();
        Say("  the setup ended with status 0");

        std::vector<std::string> files = ListFolder(folder);
        Say("INSTALLED " + folder);
        Say("Installed " + std::to_string(files.size()) + " files into " + folder + ":");
        for (const std::string& name : files)
            Say("  " + name);
        // What Lumivue itself recorded when it started: the full path it runs from.
        Say("Lumivue started: its window \"Lumivue\" appeared, and it registered itself as " +
            MachineString(kAppPaths, nullptr, "(nothing)"));
        CloseProgram(lumivue);
    }
    PhotographProgressTemplate(setupExe, caption);

    Say("Second run of the same setup: it finds the installation through Lumivue's registration");
    {
        SetupProcess setup(setupExe);
        PressButton(setup.WaitForDialogWith(IDC_TERMS_LIST), IDOK);
        HWND prompt = setup.WaitForDialogWith(IDYES);
        WaitUntilShown(prompt);
        Photograph("reinstall", prompt);
        Say("  reinstall prompt; Yes");
        PressButton(prompt, IDYES);
        HWND lumivue = WaitForLumivue();
        setup.WaitForExit0();
        Say("  the setup ended with status 0; the files in " + folder + " were replaced");
        Say("Lumivue started again: its window appeared, and it registered itself as " +
            MachineString(kAppPaths, nullptr, "(nothing)"));
        CloseProgram(lumivue);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: demo_driver SETUP.EXE PICTURE_FOLDER\n");
        return 2;
    }
    shotFolder = argv[2];
    try {
        Run(argv[1]);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "demo: %s\n", error.what());
        return 1;
    }
    return 0;
}
