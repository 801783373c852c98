// Times one install of a Setup.exe under Wine, the driver answering every dialog and box at once.
// usage: install_driver.exe SETUP.EXE DESTINATION PROGRAM_FILE
// Prints "total_ms=T after_ok_ms=A" on success: T from the start of the process to its end,
// A from OK in the destination dialog to the end (the extraction, the setup's 600 ms pause
// before the launch, and the launch warning or start of the program).
#include "driver.h"

#include <algorithm>
#include <cstdio>

using namespace e2e;

namespace {

constexpr DWORD kPollMs = 2;  // finer than the test driver's waits: a wait here is a measurement

double Now()
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

template <typename Match>
HWND Await(SetupProcess& setup, const char* what, Match match)
{
    double start = Now();
    while (Now() - start < kWaitMs) {
        for (HWND window : setup.Windows()) {
            try {
                if (match(window))
                    return window;
            } catch (const DriverError&) {
            }
        }
        if (!setup.Running())
            break;
        Sleep(kPollMs);
    }
    throw DriverError(std::string("no ") + what + "; " + setup.DescribeScreen());
}

HWND AwaitDialogWith(SetupProcess& setup, int id, const char* what)
{
    return Await(setup, what, [&](HWND window) {
        return WindowClass(window) == "#32770" && !IsMessageBox(window) && HasControl(window, id);
    });
}

// Until the process ends; any box on the way (the launch warning of a payload without a
// program) is answered at once.
bool AwaitEnd(SetupProcess& setup)
{
    double start = Now();
    std::vector<HWND> answered;
    while (setup.Running()) {
        if (Now() - start > 10 * 60 * 1000.0)
            throw DriverError("the setup did not end within 10 minutes; " + setup.DescribeScreen());
        for (HWND window : setup.Windows()) {
            try {
                if (IsMessageBox(window) && std::find(answered.begin(), answered.end(), window) == answered.end()) {
                    PressButton(window, 1 /* IDOK */);
                    answered.push_back(window);
                }
            } catch (const DriverError&) {
            }
        }
        Sleep(kPollMs);
    }
    return !answered.empty();
}

struct Search {
    std::string folder;
    std::vector<DWORD> processes;
};

BOOL CALLBACK FindProgramWindow(HWND window, LPARAM context)
{
    auto* search = reinterpret_cast<Search*>(context);
    DWORD id = 0;
    GetWindowThreadProcessId(window, &id);
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
    if (process == nullptr)
        return TRUE;
    char image[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    if (QueryFullProcessImageNameA(process, 0, image, &size) &&
        CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, image, static_cast<int>(search->folder.size()),
                       search->folder.c_str(), static_cast<int>(search->folder.size())) == CSTR_EQUAL) {
        search->processes.push_back(id);
        PostMessageW(window, WM_CLOSE, 0, 0);
    }
    CloseHandle(process);
    return TRUE;
}

// The installed program that the setup started: its windows are closed, it must end.
void CloseInstalledProgram(const std::string& destination)
{
    Search search{destination + "\\", {}};
    double start = Now();
    while (search.processes.empty() && Now() - start < kWaitMs) {
        EnumWindows(FindProgramWindow, reinterpret_cast<LPARAM>(&search));
        Sleep(20);
    }
    for (DWORD id : search.processes) {
        HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, id);
        if (process != nullptr && WaitForSingleObject(process, kWaitMs) != WAIT_OBJECT_0)
            TerminateProcess(process, 1);
        if (process != nullptr)
            CloseHandle(process);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: install_driver.exe SETUP.EXE DESTINATION PROGRAM_FILE\n");
        return 2;
    }
    const std::string setupExe = argv[1], destination = argv[2], program = argv[3];
    try {
        // A fresh install each time: no previous installation to offer, no old files.
        DeleteRegistryKey(HKEY_LOCAL_MACHINE, AppPathsKey(program));
        RemoveTree(destination);

        double start = Now();
        SetupProcess setup(setupExe);
        PressButton(AwaitDialogWith(setup, 100 /* IDC_TERMS_LIST */, "welcome dialog"), 1 /* IDOK */);
        HWND chooser = AwaitDialogWith(setup, 101 /* IDC_DEST_EDIT */, "destination dialog");
        SetControlText(chooser, 101, destination);
        double ok = Now();
        PressButton(chooser, 1 /* IDOK */);
        bool warned = AwaitEnd(setup);
        double end = Now();
        DWORD status = setup.WaitForExit();
        if (!warned)
            CloseInstalledProgram(destination);
        DeleteRegistryKey(HKEY_LOCAL_MACHINE, AppPathsKey(program));
        if (status != 0) {
            std::fprintf(stderr, "the setup ended with status %lu\n", status);
            return 1;
        }
        std::printf("total_ms=%.0f after_ok_ms=%.0f\n", end - start, end - ok);
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "install_driver: %s\n", error.what());
        return 1;
    }
}
