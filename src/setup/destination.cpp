// The destination stage (previous installation or default folder) and the directory stage.
#include "setup/state.h"
#include "setup/paths.h"
#include "setup/text.h"
#include "package/strings.h"
#include "dialogs/dialogs.h"
#include "resource.h"

static const char kDefaultProgramFiles[] = "c:\\Program Files";
static const char kCurrentVersionKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
static const char kProgramFilesValue[] = "ProgramFilesDir";

// The folder of the registered main program, or false when there is none to offer.
static bool FindPreviousInstallation()
{
    LONG size = kDestinationCapacity;
    if (RegQueryValueA(HKEY_LOCAL_MACHINE, state.appPathsKey, state.destination, &size) != ERROR_SUCCESS) {
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
    char value[kDestinationCapacity];
    DWORD type = 0;
    DWORD size = sizeof(value);
    if (RegQueryValueExA(key, kProgramFilesValue, 0, &type, reinterpret_cast<BYTE*>(value), &size) != ERROR_SUCCESS)
        return;
    if ((type != REG_SZ && type != REG_EXPAND_SZ) || size == 0 || size > sizeof(value))
        return;
    if (value[size - 1] != '\0') {
        if (size == sizeof(value))
            return;
        value[size] = '\0';
    }
    CopyText(state.destination, kDestinationCapacity, value);
}

static void ProposeDefaultDestination()
{
    CopyText(state.destination, kDestinationCapacity, kDefaultProgramFiles);
    HKEY key = 0;
    RegCreateKeyA(HKEY_LOCAL_MACHINE, kCurrentVersionKey, &key);
    if (key != 0) {
        ReadProgramFilesDir(key);
        RegCloseKey(key);
    }
    // Only a proposal: the user sees a cut one in the edit box and can change it.
    AppendText(state.destination, kDestinationCapacity, "\\");
    AppendText(state.destination, kDestinationCapacity, state.productName);
}

void ChooseDestination()
{
    bool reuse = FindPreviousInstallation() && ShowStageDialog(IDD_REINSTALL, ReinstallDlgProc) != 0;
    if (!reuse) {
        ProposeDefaultDestination();
        ShowStageDialog(IDD_DESTINATION, DestinationDlgProc);
    }
    // Files are never written under a folder that lost its last characters.
    if (!EnsureTrailingBackslash(state.destination, kDestinationCapacity))
        ReportMessageFailure(IDS_NO_DEST_DIR, 0, true);
}

void CreateDestinationFolders()
{
    if (GetFileAttributesA(state.destination) == INVALID_FILE_ATTRIBUTES &&
        !CreateDirectoryA(state.destination, 0))
        ReportMessageFailure(IDS_NO_DEST_DIR, 0, true);

    int length = TextLength(state.destination);
    char* entry = state.destination + length;
    for (UINT id = IDS_SUBDIR_FIRST; ReadPackageString(id, entry, kDestinationCapacity - length) != 0; ++id) {
        // An existing folder, or one whose parent is missing, passes silently: the
        // files listed for it are reported one by one at extraction.
        CreateDirectoryA(state.destination, 0);
    }
    state.destination[length] = '\0';
}
