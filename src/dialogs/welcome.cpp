// The welcome dialog: greeting by product name, the terms in a list, Accept or Cancel.
#include "dialogs/dialogs.h"
#include "dialogs/terms_lines.h"
#include "setup/state.h"
#include "package/strings.h"
#include "resource.h"

static void AddListLine(void* list, const char* line)
{
    SendMessageA(static_cast<HWND>(list), LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line));
}

void FillListFromText(HWND list, char* text)
{
    SendMessageA(list, LB_RESETCONTENT, 0, 0);
    SplitTermsLines(text, AddListLine, list);
}

static void InitWelcome(HWND dialog)
{
    // One buffer serves the heading and then the terms: at most 3332 characters arrive.
    char text[kTermsCapacity];
    SetWindowTextA(dialog, state.caption);
    FormatPackageMessage(IDS_WELCOME, text, kTermsCapacity, state.productName);
    SendDlgItemMessageA(dialog, IDC_WELCOME_TEXT, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
    ReadPackageString(IDS_TERMS, text, kTermsCapacity);
    FillListFromText(GetDlgItem(dialog, IDC_TERMS_LIST), text);
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
