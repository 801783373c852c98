// The progress dialog: the setup's icon, one status line, and the extraction run inside it.
#include "dialogs/dialogs.h"
#include "setup/state.h"
#include "resource.h"

static void InitProgress(HWND dialog)
{
    SetWindowTextW(dialog, state.caption);
    // Posted, not run here: the dialog must be created and shown before the work starts.
    PostMessageW(dialog, WM_COMMAND, ID_START_EXTRACTION, 0);
}

INT_PTR CALLBACK ProgressDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        InitProgress(dialog);
        break;
    case WM_COMMAND:
        // The whole parameter, not its low word: no notification can pass for the start.
        if (wParam == ID_START_EXTRACTION) {
            // The start command comes before any paint, so the dialog would stay unpainted
            // for the whole extraction: the person sees the icon and status line from the start.
            UpdateWindow(dialog);
            EndDialog(dialog, RunExtraction(dialog));
        }
        break;
    }
    return 0;
}
