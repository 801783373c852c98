// The welcome dialog: greeting by product name, the terms in a list, Accept or Cancel.
#include "dialogs/dialogs.h"
#include "dialogs/terms_lines.h"
#include "setup/state.h"
#include "package/strings.h"
#include "resource.h"

static void AddListLine(void* list, const WideChar* line)
{
    SendMessageW(static_cast<HWND>(list), LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line));
}

static void InitWelcome(HWND dialog)
{
    // One buffer serves the heading and then the terms: at most 3332 units arrive.
    SetWindowTextW(dialog, state.caption);
    FormatPackageMessage(IDS_WELCOME, state.terms, kTermsCapacity, state.productName);
    SendDlgItemMessageW(dialog, IDC_WELCOME_TEXT, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(state.terms));
    ReadPackageString(IDS_TERMS, state.terms, kTermsCapacity);
    SplitTermsLines(state.terms, AddListLine, GetDlgItem(dialog, IDC_TERMS_LIST));
}

INT_PTR CALLBACK WelcomeDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        InitWelcome(dialog);
        break;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
            EndDialog(dialog, 1);
            break;
        case IDCANCEL:
            CancelSetup(dialog);
            break;
        }
        break;
    }
    return 0;
}
