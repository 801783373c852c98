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
    if (state.status[0] == '\0' || (!always && now - state.statusPaintedAt < kStatusPaintMs))
        return;
    SetWindowTextA(GetDlgItem(progress, IDC_STATUS), state.status);
    state.statusPaintedAt = now;
}

// The boxes are shown by the dialog's thread, which goes on answering messages while they are
// up; this thread waits until both are dismissed, so the text can stay on its stack.
static void ReportFileFailure(HWND progress, UINT id, const char* first, const char* second)
{
    char work[kWorkCapacity];
    ShowStatus(progress, true);
    // A message about a long path is cut to the box's buffer; the path itself never is.
    FormatPackageMessage(id, work, kWorkCapacity, first, second);
    state.pendingFailure = work;
    SendMessageA(progress, kFileFailedMessage, 0, 0);
}

// Writes the whole entry in one call; a failed or short write removes what it left.
static bool WriteWholeFile(const char* path, const void* bytes, DWORD size)
{
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, 0);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    bool whole = WriteFile(file, bytes, size, &written, 0) && written == size;
    // A write error deferred by the file system (a network share, say) surfaces at the close.
    whole = CloseHandle(file) && whole;
    if (!whole)
        DeleteFileA(path);
    return whole;
}

// writing is message 204, read once for the whole extraction: scratch is not ours to keep.
static void ExtractPayloadFile(HWND progress, const char* listedName, const char* writing)
{
    char work[kWorkCapacity];
    CopyText(work, kWorkCapacity, listedName);
    MakeResourceName(work);

    HMODULE module = GetModuleHandleA(0);
    HRSRC entry = module ? FindResourceA(module, work, MAKEINTRESOURCEA(10)) : 0;
    HGLOBAL loaded = entry ? LoadResource(module, entry) : 0;
    const void* bytes = loaded ? LockResource(loaded) : 0;
    if (bytes == 0) {
        ReportFileFailure(progress, IDS_CANT_EXTRACT, listedName, 0);
        return;
    }
    DWORD size = SizeofResource(module, entry);

    FormatText(state.status, kWorkCapacity, writing, &listedName, 1);
    ShowStatus(progress, false);

    bool fits = CopyText(work, kWorkCapacity, state.destination) &&
                AppendText(work, kWorkCapacity, listedName);
    if (!fits || !WriteWholeFile(work, bytes, size))
        ReportFileFailure(progress, IDS_CANT_WRITE, state.destination, listedName);
}

int RunExtraction(HWND progress)
{
    char listedName[kListedNameCapacity];
    char writing[kScratchCapacity];
    ReadPackageString(IDS_WRITING, writing, kScratchCapacity);
    for (UINT id = IDS_FILE_FIRST;; ++id) {
        int length = ReadPackageString(id, listedName, kListedNameCapacity);
        if (length == 0)
            return length;
        ExtractPayloadFile(progress, listedName, writing);
    }
}
