// The install record beside the built-in uninstaller, and the Start menu entry: what the uninstaller undoes.
#include "setup/state.h"
#include "setup/text.h"
#include "package/strings.h"
#include "resource.h"

static const WideChar kShortcutFormat[] = L"%s\\%s.lnk";

void FormatInDestination(const WideChar* name)
{
    const WideChar* arguments[2] = {state.destination, name};
    FormatText(state.fileMessage, kFileMessageCapacity, L"%s%s", arguments, 2);
}

// One name a line, a folder's with its backslash, in the order the setup makes them: parents first.
static bool AppendList(HANDLE record, UINT first, const WideChar* ending)
{
    WideChar line[kListedNameCapacity + 2];
    for (UINT id = first; ReadPackageString(id, line, kListedNameCapacity) != 0; ++id) {
        AppendText(line, kListedNameCapacity + 2, ending);
        DWORD bytes = TextLength(line) * sizeof(WideChar);
        DWORD written = 0;
        if (!WriteFile(record, line, bytes, &written, 0) || written != bytes)
            return false;
    }
    return true;
}

// Appended at every install, never rewritten: after an upgrade the uninstaller still knows what
// the earlier versions put there. Without the whole record the uninstaller would leave files
// behind, so a record not written counts as an uninstaller not written: no entry.
void WriteInstallRecord()
{
    if (state.record[0] == '\0')
        return;
    FormatInDestination(state.record);
    HANDLE record = CreateFileW(state.fileMessage, FILE_APPEND_DATA, 0, 0, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, 0);
    bool whole = record != INVALID_HANDLE_VALUE && AppendList(record, IDS_SUBDIR_FIRST, L"\\\n") &&
                 AppendList(record, IDS_FILE_FIRST, L"\n");
    if (record != INVALID_HANDLE_VALUE)
        whole = CloseHandle(record) && whole;
    if (!whole)
        state.uninstallerMissing = true;
}

// "<Programs>\<product>.lnk" into path, every user's or the person's own; false when the folder is unknown.
bool FormatStartMenuEntry(WideChar* path, int capacity)
{
    WideChar programs[MAX_PATH];
    if (SHGetFolderPathW(0, state.startMenuFolder, 0, SHGFP_TYPE_CURRENT, programs) != S_OK)
        return false;
    const WideChar* arguments[2] = {programs, state.productName};
    return FormatText(path, capacity, kShortcutFormat, arguments, 2);
}

static bool SaveShortcut(IShellLinkW* link, const WideChar* entry)
{
    FormatInDestination(state.programFile);
    if (FAILED(link->SetPath(state.fileMessage)) || FAILED(link->SetWorkingDirectory(state.destination)))
        return false;
    IPersistFile* file = 0;
    if (FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))))
        return false;
    bool saved = SUCCEEDED(file->Save(entry, TRUE));
    file->Release();
    return saved;
}

// In the all-users Programs folder, where a per-machine product belongs, or in the person's own for
// a per-user one; nothing on the desktop.
// A failure is reported as for the Apps & Features entry. The shell
// link needs no apartment of its own: joining the multithreaded one makes no hidden window, so a
// silent run still makes none; after the folder browser the thread stays in the browser's.
void CreateStartMenuEntry()
{
    WideChar entry[MAX_PATH];
    if (ReadPackageString(IDS_START_MENU, entry, MAX_PATH) == 0)
        return;
    IShellLinkW* link = 0;
    CoInitializeEx(0, COINIT_MULTITHREADED);
    bool made = FormatStartMenuEntry(entry, MAX_PATH) &&
                SUCCEEDED(CoCreateInstance(CLSID_ShellLink, 0, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                           reinterpret_cast<void**>(&link)));
    if (made) {
        made = SaveShortcut(link, entry);
        link->Release();
    }
    if (!made)
        ReportRegistrationFailure(IDS_NO_SHORTCUT);
}
