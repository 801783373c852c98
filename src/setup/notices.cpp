// The state record and the notices: failure reports, the cancel notice, the dialog guard.
#include "setup/state.h"
#include "package/strings.h"
#include "resource.h"

SetupState state;
const WideChar kQuotedPathFormat[] = L"\"%s%s\"";

static const WideChar kDialogFailed[] = L"Error: DialogBox() failed";

// A silent run shows nothing, ever: whoever started it reads the exit status instead.
void ShowNotice(HWND owner, const WideChar* text)
{
    if (state.silent)
        return;
    MessageBoxW(owner, text, state.caption, MB_OK | MB_ICONWARNING | MB_SETFOREGROUND);
}

void ReportFailure(const WideChar* text, HWND owner, bool fatal)
{
    ShowNotice(owner, text);
    ShowMessageNotice(owner, IDS_FAILED);
    if (fatal)
        ExitProcess(kExitFatal);
}

void ReportMessageFailure(UINT id, HWND owner, bool fatal)
{
    ReadPackageString(id, state.scratch, kScratchCapacity);
    ReportFailure(state.scratch, owner, fatal);
}

void ShowMessageNotice(HWND owner, UINT id)
{
    WideChar text[kNoticeCapacity];
    ReadPackageString(id, text, kNoticeCapacity);
    ShowNotice(owner, text);
}

void CancelSetup(HWND owner)
{
    ShowMessageNotice(owner, IDS_CANCELLED);
    ExitProcess(kExitDone);
}

INT_PTR ShowStageDialog(int templateId, DLGPROC procedure)
{
    INT_PTR result = DialogBoxParamW(state.instance, MAKEINTRESOURCEW(templateId), 0, procedure, 0);
    // A stage that never showed must not pass for accepted terms or a Yes.
    if (result == -1)
        ReportFailure(kDialogFailed, 0, true);
    return result;
}
