// The destination dialog: the proposed folder in an edit box, the folder browser, OK or Cancel.
#include "dialogs/dialogs.h"
#include "setup/state.h"
#include "package/strings.h"
#include "resource.h"

static void ShowDestination(HWND dialog)
{
    SendDlgItemMessageW(dialog, IDC_DEST_EDIT, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(state.destination));
}

static void AcceptDestination(HWND dialog)
{
    // Taken as typed: the trailing backslash is the destination stage's business.
    SendDlgItemMessageW(dialog, IDC_DEST_EDIT, WM_GETTEXT, kDestinationCapacity,
                        reinterpret_cast<LPARAM>(state.destination));
    EndDialog(dialog, 1);
}

static void BrowseDestination(HWND dialog)
{
    WideChar title[kScratchCapacity];
    FormatPackageMessage(IDS_BROWSE_TITLE, title, kScratchCapacity, state.productName);
    if (BrowseForFolder(dialog, title, state.destination))
        ShowDestination(dialog);
}

INT_PTR CALLBACK DestinationDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        SetWindowTextW(dialog, state.caption);
        ShowDestination(dialog);
        break;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
            AcceptDestination(dialog);
            break;
        case IDCANCEL:
            CancelSetup(dialog);
            break;
        case IDC_BROWSE:
            BrowseDestination(dialog);
            break;
        }
        break;
    }
    return 0;
}
