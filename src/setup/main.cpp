// The setup driver: the switches, the stages in their fixed order, the launch, the entry point.
#include "setup/state.h"
#include "setup/text.h"
#include "setup/command_line.h"
#include "package/strings.h"
#include "dialogs/dialogs.h"
#include "resource.h"

static const WideChar kAppPaths[] = L"\\App Paths\\";
static const WideChar kX64[] = L"" ARCHITECTURE_X64;
static const WideChar kUser[] = L"" SCOPE_USER;
static const DWORD kLaunchPauseMs = 600;
static const DWORD kReadyWaitMs = 30000;

static void ReadProductIdentity()
{
    // The program file is read only once the product name has text.
    if (ReadPackageString(IDS_PRODUCT_NAME, state.productName, kProductNameCapacity) == 0 ||
        ReadPackageString(IDS_PROGRAM_FILE, state.programFile, kProgramFileCapacity) == 0)
        ReportMessageFailure(IDS_CORRUPT, 0, true);
    ReadPackageString(IDS_UNINSTALL, state.uninstaller, kListedNameCapacity);
    ReadPackageString(IDS_RECORD, state.record, kListedNameCapacity);
}

// Whether a package string holds its one text; empty, it stands for the default. Any other text
// comes from no setup-pack this stub knows: such a package is damaged rather than installed where
// it may not belong.
static bool ReadPackageChoice(UINT id, const WideChar* choice)
{
    WideChar text[kChoiceCapacity];
    if (ReadPackageString(id, text, kChoiceCapacity) == 0)
        return false;
    if (CompareStringOrdinal(text, -1, choice, -1, FALSE) != CSTR_EQUAL)
        ReportMessageFailure(IDS_CORRUPT, 0, true);
    return true;
}

// A 32-bit product by default; a per-machine one, under HKLM and in every user's Start menu.
static void ReadArchitectureAndScope()
{
    if (ReadPackageChoice(IDS_ARCHITECTURE, kX64))
        state.registryView = KEY_WOW64_64KEY;
    state.registryRoot = HKEY_LOCAL_MACHINE;
    state.startMenuFolder = CSIDL_COMMON_PROGRAMS;
    if (!ReadPackageChoice(IDS_SCOPE, kUser))
        return;
    state.registryRoot = HKEY_CURRENT_USER;
    state.startMenuFolder = CSIDL_PROGRAMS;
    FindUserPrograms();
}

static void* KernelCall(const char* name)
{
    return reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name));
}

// An x64 product runs where Windows is x64, and on ARM64 Windows only where its x64 emulation
// is on (Windows 11): IsWow64Process says yes on both. Windows older than IsWow64Process2
// existed on x86 and x64 only.
static bool RunsX64Programs()
{
    typedef BOOL(WINAPI * MachinesCall)(HANDLE, USHORT*, USHORT*);
    typedef HRESULT(WINAPI * AttributesCall)(USHORT, int*);
    MachinesCall machines = reinterpret_cast<MachinesCall>(KernelCall("IsWow64Process2"));
    if (machines == 0) {
        BOOL wow64 = FALSE;
        return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
    }
    USHORT process = 0;
    USHORT native = 0;
    if (!machines(GetCurrentProcess(), &process, &native) || native == IMAGE_FILE_MACHINE_I386)
        return false;
    if (native != IMAGE_FILE_MACHINE_ARM64)
        return true;
    AttributesCall attributes = reinterpret_cast<AttributesCall>(KernelCall("GetMachineTypeAttributes"));
    int runs = 0;  // bit 0: the machine's user-mode programs run
    return attributes != 0 && attributes(IMAGE_FILE_MACHINE_AMD64, &runs) == S_OK && (runs & 1) != 0;
}

// The setup runs elevated from a downloads folder, where anyone's files land: a DLL of a
// system name put beside it must never be loaded. From here on the system folder alone is
// searched. Windows without SetDefaultDllDirectories (Vista and 7 before its 2011
// update) at least stops searching the current folder.
static void LoadLibrariesFromSystemOnly()
{
    typedef BOOL(WINAPI * DirectoriesCall)(DWORD);
    DirectoriesCall directories = reinterpret_cast<DirectoriesCall>(KernelCall("SetDefaultDllDirectories"));
    if (directories == 0 || !directories(LOAD_LIBRARY_SEARCH_SYSTEM32))
        SetDllDirectoryW(L"");
}

// Neither can be cut: the longest name fits behind its fixed head.
static_assert(sizeof(L"Uninstalling - ") / sizeof(WideChar) - 1 + kProductNameCapacity <= kCaptionCapacity,
              "the caption must hold the longest product name");
static_assert(kCurrentVersionKeyLength + sizeof(kAppPaths) / sizeof(WideChar) - 1 + kProgramFileCapacity <= kAppPathsKeyCapacity,
              "the App Paths key must hold the longest program file name");

static void BuildCaptionAndKey(const WideChar* doing)
{
    CopyText(state.caption, kCaptionCapacity, doing);
    AppendText(state.caption, kCaptionCapacity, L" - ");
    AppendText(state.caption, kCaptionCapacity, state.productName);
    CopyText(state.appPathsKey, kAppPathsKeyCapacity, kCurrentVersionKey);
    AppendText(state.appPathsKey, kAppPathsKeyCapacity, kAppPaths);
    AppendText(state.appPathsKey, kAppPathsKeyCapacity, state.programFile);
}

// Started as WinExec would start it (the quoted path parsed as the command, shown normally),
// through the wide call WinExec lacks; the program is left to run once it is ready.
static bool StartProgram()
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION started;
    if (!CreateProcessW(0, state.command, 0, 0, FALSE, 0, 0, 0, &startup, &started))
        return false;
    // As WinExec does: the setup ends once the program is up to take input, or after 30 s.
    WaitForInputIdle(started.hProcess, kReadyWaitMs);
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    return true;
}

static void LaunchProgram()
{
    const WideChar* arguments[2] = {state.destination, state.programFile};
    // A cut command would start some other program: one that does not fit is not run.
    bool whole = FormatText(state.command, kCommandCapacity, kQuotedPathFormat, arguments, 2);
    if (whole && StartProgram())
        return;
    WideChar warning[kScratchCapacity];
    FormatPackageMessage(IDS_CANT_LAUNCH, warning, kScratchCapacity, state.programFile);
    ShowNotice(0, warning);
}

// Read before anything else, so that a silent run never shows a box, not even the first.
static CommandLine ReadSwitches(WideChar* unknown)
{
    CommandLine line =
        ReadCommandLine(GetCommandLineW(), state.destination, kDestinationCapacity, unknown, kUnknownCapacity);
    state.silent = line.silent;
    state.showProgress = line.progress;
    return line;
}

// /? or an argument not understood: one box, nothing installed. /S /? has no box to show.
static int RefuseToInstall(CommandLine line, const WideChar* unknown)
{
    WideChar usage[kScratchCapacity];
    ReadPackageString(IDS_USAGE, usage, kScratchCapacity);
    const WideChar* shown = usage;
    if (!line.understood) {
        FormatPackageMessage(IDS_UNKNOWN_SWITCH, state.fileMessage, kFileMessageCapacity, unknown, usage);
        shown = state.fileMessage;
    }
    ShowNotice(0, shown);
    return line.understood && !state.silent ? kExitDone : kExitCommandLine;
}

// Silent, the files are written here with no dialog, by the same code the dialog's thread runs;
// /P shows the dialog, whose boxes stay unshown as under /S.
static void WriteFiles()
{
    HCURSOR kept = SetCursor(LoadCursorW(0, IDC_WAIT));
    CreateDestinationFolders();
    if (state.silent && !state.showProgress)
        RunExtraction(0);
    else
        ShowStageDialog(IDD_PROGRESS, ProgressDlgProc);
    SetCursor(kept);
}

// A 64-bit product on 32-bit Windows: its one box, none when silent, and nothing installed.
static int RefuseArchitecture()
{
    ShowMessageNotice(0, IDS_NEEDS_64BIT);
    return kExitFatal;
}

// A corrupt package is reported before a command line that was not understood: the box
// about the switches needs the product's name for its caption. The architecture comes between:
// a product that cannot run here is refused whatever the switches, and its box has a caption.
int SetupMain()
{
    LoadLibrariesFromSystemOnly();
    // A silent run to an empty removable drive must fail, not wait on the system's "no disk" box.
    SetErrorMode(SEM_FAILCRITICALERRORS);
    state.instance = GetModuleHandleW(0);
    WideChar unknown[kUnknownCapacity];
    CommandLine line = ReadSwitches(unknown);
    ReadProductIdentity();
    ReadArchitectureAndScope();
    WideChar role[sizeof(ROLE_UNINSTALL)];
    bool uninstaller = ReadPackageString(IDS_ROLE, role, sizeof(ROLE_UNINSTALL)) != 0;
    BuildCaptionAndKey(uninstaller ? L"Uninstalling" : L"Installing");
    if (uninstaller)
        return line.understood && !line.usage ? UninstallMain() : RefuseToInstall(line, unknown);
    if (state.registryView != 0 && !RunsX64Programs())
        return RefuseArchitecture();
    if (!line.understood || line.usage)
        return RefuseToInstall(line, unknown);
    if (!state.silent)
        ShowStageDialog(IDD_WELCOME, WelcomeDlgProc);
    ChooseDestination(line.hasDestination);
    WriteFiles();
    WriteInstallRecord();
    CreateStartMenuEntry();
    RegisterUninstallEntry();
    if (!state.silent) {
        Sleep(kLaunchPauseMs);
        LaunchProgram();
    }
    return state.exitStatus;
}

// The image entry: no C runtime runs before us, so the stack alignment is the loader's.
extern "C" __attribute__((force_align_arg_pointer)) void SetupEntry()
{
    ExitProcess(SetupMain());
}
