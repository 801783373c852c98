// The progress dialog: the setup's icon, one status line, and the thread that writes the files.
#include "dialogs/dialogs.h"
#include "setup/state.h"
#include "resource.h"

static void InitProgress(HWND dialog)
{
    SetWindowTextW(dialog, state.caption);
    // Posted, not run here: the dialog must be created and shown before the work starts.
    PostMessageW(dialog, WM_COMMAND, ID_START_EXTRACTION, 0);
}

static DWORD WINAPI ExtractBesideDialog(void* dialog)
{
    HWND progress = static_cast<HWND>(dialog);
    int result = RunExtraction(progress);
    state.extraction = kExtractionEnded;
    PostMessageW(progress, kExtractionEndedMessage, result, 0);
    return 0;
}

// The files are written on a thread of their own so that this one keeps answering messages
// (Windows takes a window that leaves one unanswered for 5 s for hung, and a single write of a
// large file can take longer). Only the first start command starts it.
static void StartExtraction(HWND dialog)
{
    if (state.extraction != kExtractionIdle)
        return;
    state.extraction = kExtractionRunning;
    HANDLE thread = CreateThread(0, 0, ExtractBesideDialog, dialog, 0, 0);
    // Without a thread the files are still written, here, by a dialog that answers nothing meanwhile.
    if (thread == 0)
        ExtractBesideDialog(dialog);
    else
        CloseHandle(thread);
}

static void ShowPendingFailure(HWND dialog)
{
    const WideChar* text = state.pendingFailure;
    // Taken before the boxes go up, so that a stray copy of the message while they are up shows nothing.
    state.pendingFailure = 0;
    if (text != 0)
        ReportFailure(text, dialog, false);
}

// Ended by the extraction's own end only: a stray copy of that message is ignored.
static void EndProgress(HWND dialog, WPARAM result)
{
    if (state.extraction == kExtractionEnded)
        EndDialog(dialog, static_cast<INT_PTR>(result));
}

INT_PTR CALLBACK ProgressDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        InitProgress(dialog);
        break;
    case WM_COMMAND:
        // The whole parameter, not its low word: no notification can pass for the start.
        if (wParam == ID_START_EXTRACTION)
            StartExtraction(dialog);
        break;
    case kFileFailedMessage:
        ShowPendingFailure(dialog);
        break;
    case kExtractionEndedMessage:
        EndProgress(dialog, wParam);
        break;
    case WM_SETCURSOR:
        // The driver's wait cursor stays over the dialog while its files are written: the
        // dialog's class cursor, the arrow, would take its place at the first mouse move.
        SetCursor(LoadCursorW(0, IDC_WAIT));
        return TRUE;
    }
    return 0;
}
