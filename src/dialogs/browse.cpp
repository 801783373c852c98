// The shell's folder browser, and the release of the item list it hands back.
#include "dialogs/dialogs.h"

bool BrowseForFolder(HWND owner, const WideChar* title, WideChar* path)
{
    BROWSEINFOW request = {};
    request.hwndOwner = owner;
    request.lpszTitle = title;
    request.ulFlags = BIF_RETURNONLYFSDIRS;
    // The browser is a COM client and needs the calling thread in a single-threaded apartment.
    // The setup's one thread joins it here and stays until the process ends; a second call only
    // counts again.
    CoInitializeEx(0, COINIT_APARTMENTTHREADED);
    LPITEMIDLIST item = SHBrowseForFolderW(&request);
    if (item == 0)
        return false;
    // MAX_PATH characters at most, well inside the 512 of the destination.
    SHGetPathFromIDListW(item, path);
    IMalloc* allocator = 0;
    if (SUCCEEDED(SHGetMalloc(&allocator))) {
        allocator->Free(item);
        allocator->Release();
    }
    return true;
}
