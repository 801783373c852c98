// The extraction stage: every listed file written whole from its payload entry.
#include "setup/state.h"
#include "setup/text.h"
#include "package/strings.h"
#include "package/resource_name.h"
#include "resource.h"

// The line is set from this thread, a message sent to the dialog's: this thread waits while
// the dialog's thread sets it, and Wine repaints the static control inside every WM_SETTEXT.
// For thousands of small files that wait cost more than their writes, so the line is set at
// most every kStatusPaintMs, and always before a box that names its file. The first line is
// always due: the record starts at tick 0.
static void ShowStatus(HWND progress, bool always)
{
    DWORD now = GetTickCount();
    if (progress == 0 || state.status[0] == '\0' || (!always && now - state.statusPaintedAt < kStatusPaintMs))
        return;
    SetWindowTextW(GetDlgItem(progress, IDC_STATUS), state.status);
    state.statusPaintedAt = now;
}

// The boxes are shown by the dialog's thread, which goes on answering messages while they are
// up; this thread waits until both are dismissed, so the text it hands over stays as it is.
// Without a dialog (a silent run) only the exit status tells.
static void ReportFileFailure(HWND progress, UINT id, const WideChar* first, const WideChar* second)
{
    state.exitStatus = kExitFilesMissing;
    if (progress == 0)
        return;
    ShowStatus(progress, true);
    FormatPackageMessage(id, state.fileMessage, kFileMessageCapacity, first, second);
    state.pendingFailure = state.fileMessage;
    SendMessageW(progress, kFileFailedMessage, 0, 0);
}

// Writes the whole entry in one call; a failed or short write removes what it left.
static bool WriteWholeFile(const WideChar* path, const void* bytes, DWORD size)
{
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, 0);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    bool whole = WriteFile(file, bytes, size, &written, 0) && written == size;
    // A write error deferred by the file system (a network share, say) surfaces at the close.
    whole = CloseHandle(file) && whole;
    if (!whole)
        DeleteFileW(path);
    return whole;
}

// The entry numbered like the file's list entry; failing that, one named by the made-name rule,
// as packages made before numbered entries have them.
static HRSRC FindPayloadEntry(HMODULE module, UINT id, const WideChar* listedName)
{
    HRSRC entry = FindResourceW(module, MAKEINTRESOURCEW(id), RT_RCDATA);
    if (entry != 0)
        return entry;
    WideChar made[kListedNameCapacity];
    CopyText(made, kListedNameCapacity, listedName);
    MakeResourceName(made);
    return FindResourceW(module, made, RT_RCDATA);
}

// writing is message 204, read once for the whole extraction: scratch is not ours to keep.
static void ExtractPayloadFile(HWND progress, UINT id, const WideChar* listedName, const WideChar* writing)
{
    HMODULE module = GetModuleHandleW(0);
    HRSRC entry = module ? FindPayloadEntry(module, id, listedName) : 0;
    HGLOBAL loaded = entry ? LoadResource(module, entry) : 0;
    const void* bytes = loaded ? LockResource(loaded) : 0;
    if (bytes != 0) {
        DWORD size = SizeofResource(module, entry);
        FormatText(state.status, kWorkCapacity, writing, &listedName, 1);
        ShowStatus(progress, false);
        WideChar work[kWorkCapacity];
        bool fits = CopyText(work, kWorkCapacity, state.destination) &&
                    AppendText(work, kWorkCapacity, listedName);
        if (fits && WriteWholeFile(work, bytes, size)) {
            state.writtenBytes += size;
            return;
        }
    }
    NoteFileNotWritten(listedName);
    // Message 211 names a file the package lacks, 210 one that could not be written.
    bool lacking = bytes == 0;
    ReportFileFailure(progress, lacking ? IDS_CANT_EXTRACT : IDS_CANT_WRITE, lacking ? listedName : state.destination,
                      lacking ? 0 : listedName);
}

int RunExtraction(HWND progress)
{
    WideChar listedName[kListedNameCapacity];
    WideChar writing[kScratchCapacity];
    ReadPackageString(IDS_WRITING, writing, kScratchCapacity);
    for (UINT id = IDS_FILE_FIRST;; ++id) {
        int length = ReadPackageString(id, listedName, kListedNameCapacity);
        if (length == 0)
            return length;
        ExtractPayloadFile(progress, id, listedName, writing);
    }
}
