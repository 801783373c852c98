// The setup driver: start-up, the stages in their fixed order, the launch, the entry point.
#include "setup/state.h"
#include "setup/text.h"
#include "package/strings.h"
#include "dialogs/dialogs.h"
#include "resource.h"

static const WideChar kAppPathsRoot[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\";
static const WideChar kLaunchFormat[] = L"\"%s%s\"";
static const DWORD kLaunchPauseMs = 600;

static void ReadProductIdentity()
{
    // The program file is read only once the product name has text.
    if (ReadPackageString(IDS_PRODUCT_NAME, state.productName, kProductNameCapacity) == 0 ||
        ReadPackageString(IDS_PROGRAM_FILE, state.programFile, kProgramFileCapacity) == 0)
        ReportMessageFailure(IDS_CORRUPT, 0, true);
}

static void BuildCaptionAndKey()
{
    // 10 + 3 + 47 characters and 52 + 47 fit their buffers: neither can be cut.
    CopyText(state.caption, kCaptionCapacity, L"Installing");
    AppendText(state.caption, kCaptionCapacity, L" - ");
    AppendText(state.caption, kCaptionCapacity, state.productName);
    CopyText(state.appPathsKey, kAppPathsKeyCapacity, kAppPathsRoot);
    AppendText(state.appPathsKey, kAppPathsKeyCapacity, state.programFile);
}

// Started as WinExec would start it (the quoted path parsed as the command, shown normally),
// through the wide call WinExec lacks; the program is left to run, not waited for.
static bool StartProgram()
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION started;
    if (!CreateProcessW(0, state.command, 0, 0, FALSE, 0, 0, 0, &startup, &started))
        return false;
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    return true;
}

static void LaunchProgram()
{
    const WideChar* arguments[2] = {state.destination, state.programFile};
    // A cut command would start some other program: one that does not fit is not run.
    bool whole = FormatText(state.command, kCommandCapacity, kLaunchFormat, arguments, 2);
    if (whole && StartProgram())
        return;
    WideChar warning[kScratchCapacity];
    FormatPackageMessage(IDS_CANT_LAUNCH, warning, kScratchCapacity, state.programFile);
    ShowNotice(0, warning);
}

int SetupMain()
{
    state.instance = GetModuleHandleW(0);
    ReadProductIdentity();
    BuildCaptionAndKey();
    ShowStageDialog(IDD_WELCOME, WelcomeDlgProc);
    ChooseDestination();
    HCURSOR kept = SetCursor(LoadCursorW(0, IDC_WAIT));
    CreateDestinationFolders();
    ShowStageDialog(IDD_PROGRESS, ProgressDlgProc);
    SetCursor(kept);
    Sleep(kLaunchPauseMs);
    LaunchProgram();
    return 0;
}

// The image entry: no C runtime runs before us, so the stack alignment is the loader's.
extern "C" __attribute__((force_align_arg_pointer)) void SetupEntry()
{
    ExitProcess(SetupMain());
}
