// A stand-in main program for test packages: records the command line it was started with.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>

// The driver names the record file in the environment, which the setup hands on to what it
// starts; started any other way, the probe leaves no trace. The line is kept in UTF-8, as the
// driver reads it, whatever the ANSI code page: the path may be in any script.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    wchar_t record[1024];
    DWORD length = GetEnvironmentVariableW(L"E2E_LAUNCH_RECORD", record, 1024);
    if (length == 0 || length >= 1024)
        return 0;
    // And how it was asked to show itself: a program started minimised or hidden is one its user misses.
    STARTUPINFOW startup = {};
    GetStartupInfoW(&startup);
    std::wstring shown = (startup.dwFlags & STARTF_USESHOWWINDOW) ? std::to_wstring(startup.wShowWindow) : L"default";
    std::wstring wide = std::wstring(GetCommandLineW()) + L"\tshow " + shown + L"\n";
    std::string line(wide.size() * 3, '\0');
    line.resize(WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), line.data(),
                                    static_cast<int>(line.size()), nullptr, nullptr));
    // Written whole under another name and then moved, so a reader never sees half a line.
    std::wstring part = std::wstring(record) + L".part";
    HANDLE file = CreateFileW(part.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    DWORD written = 0;
    BOOL ok = WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
    if (!ok || !MoveFileExW(part.c_str(), record, MOVEFILE_REPLACE_EXISTING))
        return 1;
    return 0;
}
