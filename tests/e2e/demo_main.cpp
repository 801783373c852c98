// The demo's driver: takes the sample installer through a first install and a reinstall with the default answers, and has each dialog photographed.
#include "driver.h"
#include "resource.h"

#include <cstdio>
#include <string>
#include <vector>

using namespace e2e;

namespace {

const char kProgramFile[] = "Lumivue.exe";

std::string shotFolder;

// The script prints what we say on a Linux terminal: UTF-8, as the driver's texts are.
void Say(const std::string& line)
{
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

bool Elapsed(DWORD start, int timeoutMs)
{
    return static_cast<int>(GetTickCount() - start) >= timeoutMs;
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

bool NeedsPainting(HWND dialog)
{
    if (GetUpdateRect(dialog, nullptr, FALSE))
        return true;
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if (GetUpdateRect(child, nullptr, FALSE))
            return true;
    }
    return false;
}

// A dialog looks as a person sees it once it and every control are painted and its thread has
// gone back to waiting for input, which is when Wine hands the picture to the display.
void WaitUntilShown(HWND dialog)
{
    DWORD start = GetTickCount();
    while (NeedsPainting(dialog)) {
        if (Elapsed(start, kWaitMs))
            throw DriverError("the dialog " + DescribeWindow(dialog) + " was not painted within " +
                              std::to_string(kWaitMs) + " ms");
        Pause();
    }
    // The second round trip reaches a thread that was already waiting again.
    for (int trip = 0; trip < 2; ++trip) {
        DWORD_PTR result = 0;
        if (!SendMessageTimeoutW(dialog, WM_NULL, 0, 0, SMTO_NORMAL, kWaitMs, &result))
            throw DriverError("the dialog " + DescribeWindow(dialog) + " did not answer");
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
    const std::string picture = shotFolder + "\\" + name + ".png";
    DWORD start = GetTickCount();
    while (!FileExists(picture)) {
        if (Elapsed(start, kWaitMs))
            throw DriverError("no picture " + picture + " within " + std::to_string(kWaitMs) + " ms");
        Pause();
    }
}

// The status line as the window manager keeps it: no message to the setup's thread, which may be
// held for a picture.
std::string StatusText(HWND progress)
{
    wchar_t text[512] = {};
    InternalGetWindowText(GetDlgItem(progress, IDC_STATUS), text, 512);
    return Utf8(text);
}

// The live progress dialog of the sample is up for some 10 ms while another thread of the setup
// writes the files. It is held (its own thread frozen) for a picture as soon as it says what it
// writes; false if it was gone before that.
bool PhotographLiveProgress(SetupProcess& setup)
{
    DWORD start = GetTickCount();
    HWND progress = nullptr;
    while (progress == nullptr) {
        for (HWND window : setup.Windows()) {
            if (WindowClass(window) == "#32770" && HasControl(window, IDC_STATUS))
                progress = window;
        }
        if (progress == nullptr && (Elapsed(start, kWaitMs) || !setup.Running()))
            return false;
    }
    while (StatusText(progress).rfind("Writing: ", 0) != 0) {
        if (Elapsed(start, kWaitMs) || !IsWindow(progress))
            return false;
    }
    DWORD threadId = GetWindowThreadProcessId(progress, nullptr);
    HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, threadId);
    if (thread == nullptr)
        return false;
    bool held = SuspendThread(thread) != static_cast<DWORD>(-1);
    try {
        if (held && IsWindowVisible(progress))
            Photograph("progress-live", progress);
    } catch (...) {
        ResumeThread(thread);
        CloseHandle(thread);
        throw;
    }
    if (held)
        ResumeThread(thread);
    CloseHandle(thread);
    return held;
}

// The progress dialog of the installer's own template, as the setup fills it for its first file
// (caption, then "Writing: " and the first listed file), shown by this driver with a message loop
// that paints it: the picture of what the table lays out, icon included.
void PhotographProgressTemplate(const std::string& setupExe, const std::string& caption)
{
    std::string status = ReadStringResource(setupExe, IDS_WRITING).value_or("");
    std::string first = ReadStringResource(setupExe, IDS_FILE_FIRST).value_or("");
    size_t slot = status.find("%s");
    if (slot == std::string::npos || first.empty())
        throw DriverError("the installer has no status text or no first file");
    status.replace(slot, 2, first);

    TemplateDialog dialog(setupExe, IDD_PROGRESS);
    SetWindowTextW(dialog.get(), Wide(caption).c_str());
    SetDlgItemTextW(dialog.get(), IDC_STATUS, Wide(status).c_str());
    DWORD start = GetTickCount();
    while (NeedsPainting(dialog.get()) && !Elapsed(start, kWaitMs))
        Pause();
    Pause();
    Photograph("progress", dialog.get());
    Say("  progress dialog: the installer's own template with \"" + status +
        "\", shown by the demo (see build/screenshots/progress-live.png for what Wine drew live)");
}

// The installed program's window; it belongs to another process than the setup.
HWND WaitForLumivue()
{
    DWORD start = GetTickCount();
    for (;;) {
        HWND window = FindWindowA("LumivueWindow", "Lumivue");
        if (window != nullptr && IsWindowVisible(window))
            return window;
        if (Elapsed(start, kWaitMs))
            throw DriverError("Lumivue's window did not appear within " + std::to_string(kWaitMs) + " ms");
        Pause();
    }
}

void ExpectExit0(SetupProcess& setup)
{
    DWORD status = setup.WaitForExit();
    if (status != 0)
        throw DriverError("the setup ended with status " + std::to_string(status) + ", expected 0");
}

// What Lumivue itself recorded when it started: the full path it runs from.
std::string RegisteredProgram()
{
    return ReadRegistryString(HKEY_LOCAL_MACHINE, AppPathsKey(kProgramFile), "").value_or("(nothing)");
}

void Run(const std::string& setupExe)
{
    // A first install: no earlier registration, nothing in the default folder.
    const std::string folder = ProgramFilesDir() + "\\Lumivue";
    DeleteRegistryKey(HKEY_LOCAL_MACHINE, AppPathsKey(kProgramFile));
    RemoveTree(folder);

    Say("First run of " + setupExe);
    std::string caption;
    {
        SetupProcess setup(setupExe);
        HWND welcome = setup.WaitForDialogWith(IDC_TERMS_LIST);
        WaitUntilShown(welcome);
        Photograph("welcome", welcome);
        caption = WindowTitle(welcome);
        Say("  welcome dialog \"" + caption + "\": \"" + ControlText(welcome, IDC_WELCOME_TEXT) + "\", " +
            std::to_string(ListBoxLines(welcome, IDC_TERMS_LIST).size()) + " lines of terms; Accept");
        PressButton(welcome, IDOK);

        HWND chooser = setup.WaitForDialogWith(IDC_DEST_EDIT);
        WaitUntilShown(chooser);
        Photograph("destination", chooser);
        const std::string proposed = ControlText(chooser, IDC_DEST_EDIT);
        Say("  destination dialog proposes " + proposed + "; OK");
        if (proposed != folder)
            throw DriverError("expected the proposed folder " + folder + ", got " + proposed);
        PressButton(chooser, IDOK);

        if (!PhotographLiveProgress(setup))
            Say("  the progress dialog came and went before it could be held");
        HWND lumivue = WaitForLumivue();
        ExpectExit0(setup);
        Say("  the setup ended with status 0");

        std::vector<std::string> files = ListFolder(folder);
        Say("INSTALLED " + folder);
        Say("Installed " + std::to_string(files.size()) + " files into " + folder + ":");
        for (const std::string& name : files)
            Say("  " + name);
        Say("Lumivue started: its window \"Lumivue\" appeared, and it registered itself as " + RegisteredProgram());
        CloseProgram(lumivue);
    }
    PhotographProgressTemplate(setupExe, caption);

    Say("Second run of the same setup: it finds the installation through Lumivue's registration");
    {
        SetupProcess setup(setupExe);
        HWND welcome = setup.WaitForDialogWith(IDC_TERMS_LIST);
        PressButton(welcome, IDOK);
        HWND prompt = setup.WaitForDialogWith(IDYES);
        WaitUntilShown(prompt);
        Photograph("reinstall", prompt);
        Say("  reinstall prompt; Yes");
        PressButton(prompt, IDYES);
        HWND lumivue = WaitForLumivue();
        ExpectExit0(setup);
        Say("  the setup ended with status 0; the files in " + folder + " were replaced");
        Say("Lumivue started again: its window appeared, and it registered itself as " + RegisteredProgram());
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
    } catch (const DriverError& error) {
        std::fprintf(stderr, "demo: %s\n", error.what());
        return 1;
    }
    return 0;
}
