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

// A key of the product's part of the registry in one view, opened to read; 0 when it cannot be.
static HKEY OpenToRead(const WideChar* path, REGSAM view)
{
    HKEY key = 0;
    if (RegOpenKeyExW(state.registryRoot, path, 0, KEY_QUERY_VALUE | view, &key) != ERROR_SUCCESS)
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

// The person's own programs folder: the shell's known folder, which follows a profile moved by
// policy. Where the shell does not know it (Vista), its default place in the person's local
// application data, also found through the shell.
void FindUserPrograms()
{
    WideChar* known = 0;
    if (SHGetKnownFolderPath(FOLDERID_UserProgramFiles, KF_FLAG_DONT_VERIFY, 0, &known) == S_OK) {
        if (!CopyText(state.userPrograms, kDestinationCapacity, known))
            state.userPrograms[0] = '\0';
    } else if (SHGetFolderPathW(0, CSIDL_LOCAL_APPDATA, 0, SHGFP_TYPE_CURRENT, state.userPrograms) == S_OK) {
        AppendText(state.userPrograms, kDestinationCapacity, L"\\Programs");
    }
    CoTaskMemFree(known);
}

// A per-user product goes into the person's own programs folder; where that is unknown, nothing
// is proposed, and only a folder the person gives will do.
static void ProposeDefaultDestination()
{
    if (state.registryRoot == HKEY_CURRENT_USER) {
        if (state.userPrograms[0] == '\0')
            return;
        CopyText(state.destination, kDestinationCapacity, state.userPrograms);
    } else {
        CopyText(state.destination, kDestinationCapacity, kDefaultProgramFiles);
        HKEY key = OpenToRead(kCurrentVersionKey, state.registryView);
        if (key != 0) {
            if (state.registryView == 0 || !ReadFolderValue(key, kProgramFiles64Value, state.destination))
                ReadFolderValue(key, kProgramFilesValue, state.destination);
            RegCloseKey(key);
        }
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
    // Files are never written under a folder that lost its last characters, nor under whatever
    // the current folder is (a silent run with no default to propose).
    if (!EnsureTrailingBackslash(state.destination, kDestinationCapacity) ||
        !IsAbsolutePath(state.destination, TextLength(state.destination)))
        ReportMessageFailure(IDS_NO_DEST_DIR, 0, true);
}

// A folder that exists but that the person may not write to (Program Files, for someone without
// administrator rights) is refused as one that cannot be made, before any file is tried. The probe
// goes with its handle; a file of its name that is already there says nothing either way.
static bool CanWriteDestination()
{
    FormatInDestination(L"~.tmp");
    HANDLE probe = CreateFileW(state.fileMessage, GENERIC_WRITE | DELETE, 0, 0, CREATE_NEW,
                               FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, 0);
    if (probe == INVALID_HANDLE_VALUE)
        return GetFileAttributesW(state.fileMessage) != INVALID_FILE_ATTRIBUTES;
    CloseHandle(probe);
    return true;
}

// The person's programs folder is made on first use, as the shell makes its known folders; the
// uninstaller takes it away again once it is empty. For a per-machine product its name is empty,
// and nothing is made.
void CreateDestinationFolders()
{
    CreateDirectoryW(state.userPrograms, 0);
    if ((GetFileAttributesW(state.destination) == INVALID_FILE_ATTRIBUTES && !CreateDirectoryW(state.destination, 0)) ||
        !CanWriteDestination())
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
