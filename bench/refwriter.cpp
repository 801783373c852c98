// The reference writer: every RCDATA entry of its own image written with one WriteFile each.
// The physical limit of the setup's design, with no dialogs, strings or names to read.
#include <windows.h>

static char g_folder[MAX_PATH];

static BOOL CALLBACK WriteEntry(HMODULE module, LPCSTR, LPSTR name, LONG_PTR)
{
    char path[MAX_PATH * 2];
    lstrcpynA(path, g_folder, MAX_PATH);
    lstrcatA(path, name);
    HRSRC entry = FindResourceA(module, name, RT_RCDATA);
    HGLOBAL loaded = LoadResource(module, entry);
    DWORD size = SizeofResource(module, entry);
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, 0);
    DWORD written = 0;
    WriteFile(file, LockResource(loaded), size, &written, 0);
    CloseHandle(file);
    return TRUE;
}

// The destination folder, ending in a backslash, is the whole command line after the program.
extern "C" void RefEntry()
{
    const char* line = GetCommandLineA();
    if (*line == '"') {
        for (++line; *line && *line != '"'; ++line) {}
        if (*line) ++line;
    } else {
        while (*line && *line != ' ') ++line;
    }
    while (*line == ' ') ++line;
    lstrcpynA(g_folder, line, MAX_PATH);
    CreateDirectoryA(g_folder, 0);
    EnumResourceNamesA(GetModuleHandleA(0), RT_RCDATA, WriteEntry, 0);
    ExitProcess(0);
}
