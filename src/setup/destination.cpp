// The destination stage (previous installation or default folder) and the directory stage.
#include "setup/state.h"
#include "setup/paths.h"
#include "setup/text.h"
#include "package/strings.h"
#include "dialogs/dialogs.h"
#include "resource.h"

static const WideChar kDefaultProgramFiles[] = L"c:\\Program Files";
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

// A folder value counts only as a string that ends inside our buffer, into folder.
static bool ReadFolderValue(HKEY key, const WideChar* name, WideChar* folder)
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
    return CopyText(folder, kDestinationCapacity, value);
}

bool ReadAppPath(REGSAM view, WideChar* folder)
{
    HKEY key = OpenToRead(state.appPathsKey, view);
    if (key == 0)
        return false;
    bool read = ReadFolderValue(key, 0, folder);
    RegCloseKey(key);
    return read;
}

// The folder of the registered main program, or false when there is none to offer. An x64
// product looks in the 64-bit view first, then in the 32-bit one, where a 32-bit build of it
// registered itself before. A drive alone ("D:Program.exe") stands for its root; a folder that
// is still relative (one kept with %variables%, say) is no folder to offer.
static bool FindPreviousInstallation()
{
    if (!ReadAppPath(state.registryView, state.destination) &&
        (state.registryView == 0 || !ReadAppPath(0, state.destination))) {
        state.destination[0] = '\0';
        return false;
    }
    StripEnclosingQuotes(state.destination);
    CutAfterLastSeparator(state.destination);
    if (EnsureTrailingBackslash(state.destination, kDestinationCapacity) &&
        IsAbsolutePath(state.destination, TextLength(state.destination)))
        return true;
    state.destination[0] = '\0';
    return false;
}

static void ProposeDefaultDestination()
{
    CopyText(state.destination, kDestinationCapacity, kDefaultProgramFiles);
    HKEY key = OpenToRead(kCurrentVersionKey, state.registryView);
    if (key != 0) {
        if (state.registryView == 0 || !ReadFolderValue(key, kProgramFiles64Value, state.destination))
            ReadFolderValue(key, kProgramFilesValue, state.destination);
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
