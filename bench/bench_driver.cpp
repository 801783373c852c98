// Times installs under Wine from inside Wine: a whole program run, or a setup answered at once.
//   bench_driver run EXE [ARGS]   milliseconds from start to exit
//   bench_driver setup EXE DEST   answers the dialogs with DEST; prints total and OK-to-end-of-progress
#include <windows.h>
#include <cstdio>
#include <string>
#include <vector>

namespace {

const int kTermsList = 100, kDestEdit = 101, kStatus = 102;
const double kGiveUpMs = 600000;
const double kLaunchPauseMs = 600;

LARGE_INTEGER g_frequency;

double NowMs()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(g_frequency.QuadPart);
}

struct Search {
    DWORD process;
    int control;
    HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM parameter)
{
    Search* search = reinterpret_cast<Search*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != search->process || !IsWindowVisible(window))
        return TRUE;
    // A message box: the text static and OK, and none of the setup's own controls.
    bool box = GetDlgItem(window, 0xFFFF) && GetDlgItem(window, IDOK) && !GetDlgItem(window, kTermsList) &&
               !GetDlgItem(window, kDestEdit);
    if (search->control == 0 ? box : GetDlgItem(window, search->control) != 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

// A visible window of the process holding the control (0: a message box), or null.
HWND FindWithControl(DWORD process, int control)
{
    Search search = {process, control, 0};
    EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND WaitWithControl(PROCESS_INFORMATION& info, int control, const char* what)
{
    double start = NowMs();
    for (;;) {
        if (HWND found = FindWithControl(info.dwProcessId, control))
            return found;
        if (WaitForSingleObject(info.hProcess, 0) == WAIT_OBJECT_0 || NowMs() - start > kGiveUpMs) {
            std::fprintf(stderr, "bench_driver: no %s\n", what);
            ExitProcess(2);
        }
        Sleep(1);
    }
}

bool Start(const std::string& commandLine, PROCESS_INFORMATION& info)
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    return CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info);
}

int RunWhole(int argc, char** argv)
{
    std::string line = std::string("\"") + argv[2] + "\"";
    for (int i = 3; i < argc; ++i)
        line += std::string(" ") + argv[i];
    PROCESS_INFORMATION info;
    double start = NowMs();
    if (!Start(line, info))
        return 2;
    WaitForSingleObject(info.hProcess, INFINITE);
    double total = NowMs() - start;
    DWORD status = 0;
    GetExitCodeProcess(info.hProcess, &status);
    std::printf("total_ms %.1f\nstatus %lu\n", total, status);
    return 0;
}

int RunSetup(char** argv)
{
    PROCESS_INFORMATION info;
    double start = NowMs();
    if (!Start(std::string("\"") + argv[2] + "\"", info))
        return 2;
    HWND welcome = WaitWithControl(info, kTermsList, "welcome dialog");
    PostMessageA(GetDlgItem(welcome, IDOK), BM_CLICK, 0, 0);
    HWND destination = WaitWithControl(info, kDestEdit, "destination dialog");
    SendMessageA(GetDlgItem(destination, kDestEdit), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argv[3]));
    double ok = NowMs();
    PostMessageA(GetDlgItem(destination, IDOK), BM_CLICK, 0, 0);
    // The progress dialog of a small payload can come and go between two looks, so its end is
    // taken from the launch warning that follows it after the setup's fixed 600 ms pause.
    // Every look is a dozen Wine server requests, and the setup writes its files through that
    // same server: while the progress dialog is up only that one window is watched, every few
    // milliseconds, since the warning comes 600 ms after it closes.
    double end = 0;
    for (;;) {
        if (HWND progress = FindWithControl(info.dwProcessId, kStatus)) {
            while (IsWindow(progress))
                Sleep(5);
        }
        if (FindWithControl(info.dwProcessId, 0) || WaitForSingleObject(info.hProcess, 0) == WAIT_OBJECT_0) {
            end = NowMs() - kLaunchPauseMs;
            break;
        }
        if (NowMs() - ok > kGiveUpMs)
            return 2;
        Sleep(0);
    }
    // The payload's program is no program: the launch warning ends the run. A failure box
    // would be pressed too; the exit status tells.
    for (;;) {
        if (HWND box = FindWithControl(info.dwProcessId, 0))
            PostMessageA(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
        if (WaitForSingleObject(info.hProcess, 5) == WAIT_OBJECT_0)
            break;
    }
    double total = NowMs() - start;
    DWORD status = 0;
    GetExitCodeProcess(info.hProcess, &status);
    std::printf("total_ms %.1f\ninstall_ms %.1f\nstatus %lu\n", total, end - ok, status);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    QueryPerformanceFrequency(&g_frequency);
    if (argc >= 3 && std::string(argv[1]) == "run")
        return RunWhole(argc, argv);
    if (argc == 4 && std::string(argv[1]) == "setup")
        return RunSetup(argv);
    std::fprintf(stderr, "usage: bench_driver run EXE [ARGS] | setup EXE DEST\n");
    return 2;
}
