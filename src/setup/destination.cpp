// The destination stage (previous installation or default folder) and the directory stage.
#include "setup/state.h"
#include "setup/paths.h"
#include "setup/text.h"
#include "package/strings.h"
#include "dialogs/dialogs.h"
#include "resource.h"

static const WideChar kDefaultProgramFiles[] = L"c:\\Program Files";
static const WideChar kCurrentVersionKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
static const WideChar kProgramFilesValue[] = L"ProgramFilesDir";

// The folder of the registered main program, or false when there is none to offer.
static bool FindPreviousInstallation()
{
    // The size goes in and comes back in bytes, the capacity stays in units.
    LONG size = sizeof(state.destination);
    if (RegQueryValueW(HKEY_LOCAL_MACHINE, state.appPathsKey, state.destination, &size) != ERROR_SUCCESS) {
        state.destination[0] = '\0';
        return false;
    }
    state.destination[kDestinationCapacity - 1] = '\0';
    StripEnclosingQuotes(state.destination);
    CutAfterLastSeparator(state.destination);
    // A value with no backslash or colon names no folder at all.
    return state.destination[0] != '\0';
}

// "ProgramFilesDir" counts only as a string that ends inside our buffer.
static void ReadProgramFilesDir(HKEY key)
{
    WideChar value[kDestinationCapacity];
    DWORD type = 0;
    DWORD size = sizeof(value);
    if (RegQueryValueExW(key, kProgramFilesValue, 0, &type, reinterpret_cast<BYTE*>(value), &size) != ERROR_SUCCESS)
        return;
    DWORD units = size / sizeof(WideChar);
    if ((type != REG_SZ && type != REG_EXPAND_SZ) || units == 0 || units > kDestinationCapacity)
        return;
    if (value[units - 1] != '\0') {
        if (units == kDestinationCapacity)
            return;
        value[units] = '\0';
    }
    CopyText(state.destination, kDestinationCapacity, value);
}

static void ProposeDefaultDestination()
{
    CopyText(state.destination, kDestinationCapacity, kDefaultProgramFiles);
    HKEY key = 0;
    RegCreateKeyW(HKEY_LOCAL_MACHINE, kCurrentVersionKey, &key);
    if (key != 0) {
        ReadProgramFilesDir(key);
        RegCloseKey(key);
    }
    // Only a proposal: the user sees a cut one in the edit box and can change it.
    AppendText(state.destination, kDestinationCapacity, L"\\");
    AppendText(state.destination, kDestinationCapacity, state.productName);
}

// A silent run takes the previous installation's folder without asking.
static bool ReusePreviousInstallation()
{
    return FindPreviousInstallation() && (state.silent || ShowStageDialog(IDD_REINSTALL, ReinstallDlgProc) != 0);
}

// A folder given on the command line skips the prompt, and a person still sees it to confirm.
void ChooseDestination(bool given)
{
    bool reused = !given && ReusePreviousInstallation();
    if (!given && !reused)
        ProposeDefaultDestination();
    if (!state.silent && !reused)
        ShowStageDialog(IDD_DESTINATION, DestinationDlgProc);
    // Files are never written under a folder that lost its last characters.
    if (!EnsureTrailingBackslash(state.destination, kDestinationCapacity))
        ReportMessageFailure(IDS_NO_DEST_DIR, 0, true);
}

void CreateDestinationFolders()
{
    if (GetFileAttributesW(state.destination) == INVALID_FILE_ATTRIBUTES &&
        !CreateDirectoryW(state.destination, 0))
        ReportMessageFailure(IDS_NO_DEST_DIR, 0, true);

    int length = TextLength(state.destination);
    WideChar* entry = state.destination + length;
    for (UINT id = IDS_SUBDIR_FIRST; ReadPackageString(id, entry, kDestinationCapacity - length) != 0; ++id) {
        // An existing folder, or one whose parent is missing, passes silently: the
        // files listed for it are reported one by one at extraction.
        CreateDirectoryW(state.destination, 0);
    }
    state.destination[length] = '\0';
}
