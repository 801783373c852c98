// A DLL planted beside a setup under a system DLL's name: if it is ever loaded, it leaves a mark beside itself.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, void*)
{
    wchar_t mark[MAX_PATH + 8];
    DWORD length = GetModuleFileNameW(self, mark, MAX_PATH);
    if (reason == DLL_PROCESS_ATTACH && length != 0 && length < MAX_PATH) {
        lstrcatW(mark, L".ran");
        CloseHandle(CreateFileW(mark, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    }
    return TRUE;
}
