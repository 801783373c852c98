// The destination dialog: the proposed folder in an edit box, the folder browser, OK or Cancel.
#include "dialogs/dialogs.h"
#include "setup/state.h"
#include "setup/command_line.h"
#include "package/strings.h"
#include "resource.h"

static void ShowDestination(HWND dialog)
{
    SendDlgItemMessageW(dialog, IDC_DEST_EDIT, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(state.destination));
}

// By the rules of /D=: a folder that /D= would refuse (a relative one would land under the
// current folder) keeps the dialog up, with a box, for the person to mend it.
static void AcceptDestination(HWND dialog)
{
    WideChar typed[kDestinationCapacity];
    SendDlgItemMessageW(dialog, IDC_DEST_EDIT, WM_GETTEXT, kDestinationCapacity, reinterpret_cast<LPARAM>(typed));
    if (TakeFolder(typed, state.destination, kDestinationCapacity)) {
        EndDialog(dialog, 1);
        return;
    }
    ReadPackageString(IDS_NO_DEST_DIR, state.scratch, kScratchCapacity);
    ShowNotice(dialog, state.scratch);
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
