// The built-in uninstaller: the recorded names removed, the registrations undone, then itself.
#include "setup/state.h"
#include "setup/text.h"
#include "setup/paths.h"
#include "package/strings.h"
#include "resource.h"

// A file in use (a running program, an open document) goes when Windows restarts; the person
// is told which, and the exit status says that a restart is needed. Only an administrator may
// have a file go at restart: for anyone else (a per-user product's uninstaller) it stays, and so
// does the folder, whose box names it.
static void RemoveFile(const WideChar* path, const WideChar* name)
{
    // A file the person made read-only is still ours to remove.
    SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
    if (DeleteFileW(path) || GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES ||
        !MoveFileExW(path, 0, MOVEFILE_DELAY_UNTIL_REBOOT))
        return;
    state.exitStatus = kExitRestartNeeded;
    FormatPackageMessage(IDS_REMOVED_AT_RESTART, state.fileMessage, kFileMessageCapacity, name);
    ShowNotice(0, state.fileMessage);
}

// One recorded name: files in this pass, folders in the other. Never recursive: a folder goes
// only once empty, so the person's own files stay.
static void RemoveName(const WideChar* name, int length, bool folders)
{
    if (length >= kListedNameCapacity || !IsNameInside(name, length))
        return;
    bool folder = name[length - 1] == '\\';
    if (folder != folders || CompareStringOrdinal(name, -1, state.uninstaller, -1, TRUE) == CSTR_EQUAL)
        return;
    FormatInDestination(name);
    if (folder)
        RemoveDirectoryW(state.fileMessage);
    else
        RemoveFile(state.fileMessage, name);
}

// Each line feed becomes the end of its name. Then last line first: every install recorded a
// folder's parents before it, so backwards each folder comes before its parent, whatever later
// installs added. A last line without its line feed was cut short (a full disk at the install):
// it names nothing of ours for certain, and stays.
static void RemoveRecorded(WideChar* record, int units)
{
    for (int i = 0; i < units; ++i) {
        if (record[i] == '\n')
            record[i] = '\0';
    }
    for (int pass = 0; pass < 2; ++pass) {
        for (int end = units; end > 0;) {
            int start = end - 1;
            while (start > 0 && record[start - 1] != '\0')
                --start;
            if (record[end - 1] == '\0')
                RemoveName(record + start, end - 1 - start, pass == 1);
            end = start;
        }
    }
}

// The record is read through a private copy of its pages: no buffer of ours bounds its length,
// and the file itself is never written.
static void RemoveRecordedNames(const WideChar* recordPath)
{
    HANDLE file = CreateFileW(recordPath, GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, 0, 0);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD size = GetFileSize(file, 0);
    HANDLE mapping = size != INVALID_FILE_SIZE && size != 0 ? CreateFileMappingW(file, 0, PAGE_WRITECOPY, 0, 0, 0) : 0;
    WideChar* record = mapping ? static_cast<WideChar*>(MapViewOfFile(mapping, FILE_MAP_COPY, 0, 0, 0)) : 0;
    if (record != 0) {
        RemoveRecorded(record, static_cast<int>(size / sizeof(WideChar)));
        UnmapViewOfFile(record);
    }
    if (mapping != 0)
        CloseHandle(mapping);
    CloseHandle(file);
}

// The App Paths registration only where it names a program in this destination: another copy
// of the product, installed elsewhere, keeps its own.
static void RemoveAppPath(REGSAM view)
{
    WideChar registered[kDestinationCapacity];
    int length = TextLength(state.destination);
    if (!ReadAppPath(view, registered))
        return;
    StripEnclosingQuotes(registered);
    if (TextLength(registered) > length &&
        CompareStringOrdinal(registered, length, state.destination, length, TRUE) == CSTR_EQUAL)
        RegDeleteKeyExW(state.registryRoot, state.appPathsKey, view, 0);
}

// The person's key that held ours: their Uninstall and App Paths keys come with the first per-user
// product and go once empty, as their programs folder does (one with a key below it stays).
static void RemoveParentKey(WideChar* key)
{
    CutAfterLastSeparator(key);
    key[TextLength(key) - 1] = '\0';
    RegDeleteKeyExW(HKEY_CURRENT_USER, key, state.registryView, 0);
}

static void RemoveRegistrations()
{
    WideChar path[kUninstallKeyCapacity];
    FormatEntryKey(path);
    RegDeleteKeyExW(state.registryRoot, path, state.registryView, 0);
    RemoveAppPath(state.registryView);
    if (state.registryView != 0)
        RemoveAppPath(0);
    // The machine's keys are the system's own.
    if (state.registryRoot == HKEY_CURRENT_USER) {
        RemoveParentKey(path);
        RemoveParentKey(state.appPathsKey);
    }
    WideChar entry[MAX_PATH];
    if (ReadPackageString(IDS_START_MENU, entry, MAX_PATH) != 0 && FormatStartMenuEntry(entry, MAX_PATH))
        DeleteFileW(entry);
}

// A running image cannot be deleted on Windows, but it can be renamed on its volume: it moves to
// the temporary folder, to go at the next restart, so that the destination can go now. On
// another volume than that folder it stays until the restart, and the destination with it.
static void RemoveSelf(const WideChar* self, const WideChar* temporary)
{
    WideChar moved[MAX_PATH];
    bool named = GetTempFileNameW(temporary, L"uni", 0, moved) != 0;
    bool away = named && MoveFileExW(self, moved, MOVEFILE_REPLACE_EXISTING);
    if (named && !away)
        DeleteFileW(moved);
    const WideChar* left = away ? moved : self;
    // Where the system lets a running image go at once (Wine does), nothing is left at all.
    if (DeleteFileW(left))
        return;
    // Without the rights to have it go at restart it stays: in the temporary folder, or in the
    // destination, which then keeps it.
    if (MoveFileExW(left, 0, MOVEFILE_DELAY_UNTIL_REBOOT) && !away)
        state.exitStatus = kExitRestartNeeded;
}

// The destination goes only once empty: what the person put there stays, and they are told.
static void RemoveDestination()
{
    // Without its trailing backslash, as RemoveDirectory and the person read a folder.
    state.destination[TextLength(state.destination) - 1] = '\0';
    if (RemoveDirectoryW(state.destination) || GetFileAttributesW(state.destination) == INVALID_FILE_ATTRIBUTES)
        return;
    if (state.exitStatus == kExitRestartNeeded) {
        MoveFileExW(state.destination, 0, MOVEFILE_DELAY_UNTIL_REBOOT);
        return;
    }
    FormatPackageMessage(IDS_FOLDER_KEPT, state.fileMessage, kFileMessageCapacity, state.destination,
                         state.productName);
    ShowNotice(0, state.fileMessage);
}

static bool AskToRemove()
{
    if (state.silent)
        return true;
    FormatPackageMessage(IDS_REMOVE_QUESTION, state.fileMessage, kFileMessageCapacity, state.productName);
    return MessageBoxW(0, state.fileMessage, state.caption, MB_YESNO | MB_ICONQUESTION | MB_SETFOREGROUND) == IDYES;
}

// Runs where it was installed: its own folder is the destination. Whoever started it sees it
// end only once everything is removed, with the true status.
int UninstallMain()
{
    WideChar temporary[MAX_PATH];
    DWORD length = GetModuleFileNameW(0, state.command, kCommandCapacity);
    DWORD temporaryLength = GetTempPathW(MAX_PATH, temporary);
    if (length == 0 || length >= kCommandCapacity - 1 || temporaryLength == 0 || temporaryLength >= MAX_PATH ||
        state.record[0] == '\0')
        ReportMessageFailure(IDS_CORRUPT, 0, true);
    CopyText(state.destination, kDestinationCapacity, state.command);
    CutAfterLastSeparator(state.destination);
    if (!AskToRemove())
        return kExitUninstallCancelled;
    // A folder that is some process's current folder cannot be removed: ours leaves it first.
    SetCurrentDirectoryW(temporary);
    FormatInDestination(state.record);
    RemoveRecordedNames(state.fileMessage);
    FormatInDestination(state.record);
    DeleteFileW(state.fileMessage);
    RemoveRegistrations();
    RemoveSelf(state.command, temporary);
    RemoveDestination();
    // The person's programs folder, which a per-user install makes on first use, goes once empty.
    RemoveDirectoryW(state.userPrograms);
    return state.exitStatus;
}
