// The reinstall prompt: replace a previous installation's files in place, Yes or No.
#include "dialogs/dialogs.h"
#include "setup/state.h"

INT_PTR CALLBACK ReinstallDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        SetWindowTextW(dialog, state.caption);
        break;
    case WM_COMMAND:
        // Only Yes and No close the prompt; Esc's IDCANCEL is ignored on purpose.
        switch (LOWORD(wParam)) {
        case IDYES:
            EndDialog(dialog, 1);
            break;
        case IDNO:
            EndDialog(dialog, 0);
            break;
        }
        break;
    }
    return 0;
}
