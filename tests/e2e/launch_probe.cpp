// A stand-in main program for test packages: records the command line it was started with.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>

// The driver names the record file in the environment, which the setup hands on to what it
// starts; started any other way, the probe leaves no trace.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    char record[1024];
    DWORD length = GetEnvironmentVariableA("E2E_LAUNCH_RECORD", record, sizeof(record));
    if (length == 0 || length >= sizeof(record))
        return 0;
    // Written whole under another name and then moved, so a reader never sees half a line.
    std::string line = std::string(GetCommandLineA()) + "\n";
    std::string part = std::string(record) + ".part";
    HANDLE file = CreateFileA(part.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    DWORD written = 0;
    BOOL ok = WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
    if (!ok || !MoveFileExA(part.c_str(), record, MOVEFILE_REPLACE_EXISTING))
        return 1;
    return 0;
}
