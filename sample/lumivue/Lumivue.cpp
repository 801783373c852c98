// Lumivue, the sample product: a small window that shows it was installed and started.
#include <windows.h>

static LRESULT CALLBACK LumivueWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        RECT area;
        GetClientRect(window, &area);
        DrawTextA(dc, "Lumivue is installed and running.", -1, &area,
                  DT_CENTER | DT_VCENTER | DT_SINGLELINE);
        EndPaint(window, &paint);
        return 0;
    }
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// Keeps the App Paths registration current, as installed programs do; a later setup
// finds the installation through it. Without the rights to write there, nothing changes.
static void RegisterAppPath()
{
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(0, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    RegSetValueA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Lumivue.exe",
                 REG_SZ, path, length);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show)
{
    RegisterAppPath();
    WNDCLASSA type = {};
    type.lpfnWndProc = LumivueWndProc;
    type.hInstance = instance;
    type.hCursor = LoadCursorA(0, IDC_ARROW);
    type.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    type.lpszClassName = "LumivueWindow";
    RegisterClassA(&type);
    HWND window = CreateWindowA("LumivueWindow", "Lumivue", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                CW_USEDEFAULT, 360, 160, 0, 0, instance, 0);
    ShowWindow(window, show);
    MSG message;
    while (GetMessageA(&message, 0, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return 0;
}
