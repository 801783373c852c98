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
// The 64-bit folder in either view, as Windows keeps it; ProgramFilesDir of the 64-bit view
// names the same folder, and stands in where the value is missing (Wine keeps none).
static const WideChar kProgramFiles64Value[] = L"ProgramW6432Dir";

// A key of HKLM in one registry view, opened to read; 0 when it cannot be.
static HKEY OpenToRead(const WideChar* path, REGSAM view)
{
    HKEY key = 0;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE | view, &key) != ERROR_SUCCESS)
        return 0;
    return key;
}

// The App Paths value of the main program in one view, into destination.
static bool ReadAppPath(REGSAM view)
{
    HKEY key = OpenToRead(state.appPathsKey, view);
    if (key == 0)
        return false;
    // The size goes in and comes back in bytes, the capacity stays in units.
    LONG size = sizeof(state.destination);
    LONG result = RegQueryValueW(key, 0, state.destination, &size);
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

// The folder of the registered main program, or false when there is none to offer. An x64
// product looks in the 64-bit view first, then in the 32-bit one, where a 32-bit build of it
// registered itself before.
static bool FindPreviousInstallation()
{
    if (!ReadAppPath(state.registryView) && (state.registryView == 0 || !ReadAppPath(0))) {
        state.destination[0] = '\0';
        return false;
    }
    state.destination[kDestinationCapacity - 1] = '\0';
    StripEnclosingQuotes(state.destination);
    CutAfterLastSeparator(state.destination);
    // A value with no backslash or colon names no folder at all.
    return state.destination[0] != '\0';
}

// A Program Files value counts only as a string that ends inside our buffer.
static bool ReadProgramFilesDir(HKEY key, const WideChar* name)
{
    WideChar value[kDestinationCapacity];
    DWORD type = 0;
    DWORD size = sizeof(value);
    if (RegQueryValueExW(key, name, 0, &type, reinterpret_cast<BYTE*>(value), &size) != ERROR_SUCCESS)
        return false;
    DWORD units = size / sizeof(WideChar);
    if ((type != REG_SZ && type != REG_EXPAND_SZ) || units == 0 || units > kDestinationCapacity)
        return false;
    if (value[units - 1] != '\0') {
        if (units == kDestinationCapacity)
            return false;
        value[units] = '\0';
    }
    return CopyText(state.destination, kDestinationCapacity, value);
}

static void ProposeDefaultDestination()
{
    CopyText(state.destination, kDestinationCapacity, kDefaultProgramFiles);
    HKEY key = OpenToRead(kCurrentVersionKey, state.registryView);
    if (key != 0) {
        if (state.registryView == 0 || !ReadProgramFilesDir(key, kProgramFiles64Value))
            ReadProgramFilesDir(key, kProgramFilesValue);
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
    // The empty read that ends the list also ends the destination where it ended before.
    for (UINT id = IDS_SUBDIR_FIRST; ReadPackageString(id, entry, kDestinationCapacity - length) != 0; ++id) {
        // An existing folder, or one whose parent is missing, passes silently: the
        // files listed for it are reported one by one at extraction.
        CreateDirectoryW(state.destination, 0);
    }
}
