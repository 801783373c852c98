// The extraction stage: every listed file written whole from its payload entry, checked against the
// payload index where the package has one, decoded from the compressed block where it is packed.
#include "setup/state.h"
#include "setup/text.h"
#include "package/strings.h"
#include "package/resource_name.h"
#include "package/crc32c.h"
#include "package/lzma.h"
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

// Where the file's bytes go while they arrive; a file that does not come out whole is removed,
// so that a damaged or short file is never left looking installed.
static HANDLE CreateListedFile(WideChar* path, const WideChar* listedName)
{
    if (!CopyText(path, kWorkCapacity, state.destination) || !AppendText(path, kWorkCapacity, listedName))
        return INVALID_HANDLE_VALUE;
    return CreateFileW(path, GENERIC_WRITE, 0, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, 0);
}

static bool WriteBytes(HANDLE file, const void* bytes, DWORD size)
{
    DWORD written = 0;
    return WriteFile(file, bytes, size, &written, 0) && written == size;
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

static const BYTE* LoadPayload(HRSRC entry, DWORD* size)
{
    HMODULE module = GetModuleHandleW(0);
    HGLOBAL loaded = entry ? LoadResource(module, entry) : 0;
    *size = loaded ? SizeofResource(module, entry) : 0;
    return loaded ? static_cast<const BYTE*>(LockResource(loaded)) : 0;
}

// The index's record of the file: its size, then its checksum; 0 past the records it holds.
static const DWORD* FindRecord(UINT id)
{
    DWORD at = 1 + 2 * (id - IDS_FILE_FIRST);
    return at + 2 <= state.indexWords ? state.index + at : 0;
}

// The file's bytes from the block, a window at a time as they are decoded: into the file and its
// checksum. The stream goes on through a file that could not be opened, for the files after it.
// After the last file the stream must end: more bytes than the index records are damage too.
static bool DecodeFile(HANDLE file, DWORD size, DWORD* crc, bool last)
{
    LzmaDecoder& d = state.decoder;
    bool written = true;
    while (size > 0 && state.blockIntact) {
        unsigned start = d.pos, room = d.windowSize - start;
        state.blockIntact = DecodeLzma(&d, start + (size < room ? size : room)) == kLzmaRoom;
        DWORD taken = d.pos - start;
        *crc = UpdateCrc32c(*crc, d.window + start, taken);
        written = WriteBytes(file, d.window + start, taken) && written;
        size -= taken;
        if (d.pos == d.windowSize) {
            d.pos = 0;
            d.wrapped = true;
        }
    }
    if (last && state.blockIntact)
        state.blockIntact = DecodeLzma(&d, d.pos) == kLzmaEnd;
    return state.blockIntact && written;
}

// writing is message 204, read once for the whole extraction: scratch is not ours to keep.
// A file whose bytes are missing, damaged or not as the index records them is reported as
// lacking (message 211); one that could not be written, by message 210.
static void ExtractPayloadFile(HWND progress, UINT id, const WideChar* listedName, const WideChar* writing)
{
    const DWORD* record = FindRecord(id);
    bool packed = state.index != 0 && state.index[0] == PAYLOAD_LZMA;
    DWORD size = 0;
    const BYTE* bytes = packed ? 0 : LoadPayload(FindPayloadEntry(GetModuleHandleW(0), id, listedName), &size);
    bool intact = state.index == 0 ? bytes != 0
                                   : record != 0 && (packed || (bytes != 0 && state.index[0] == PAYLOAD_STORED &&
                                                                size == record[0] &&
                                                                UpdateCrc32c(0, bytes, size) == record[1]));
    bool written = false;
    if (intact) {
        FormatText(state.status, kWorkCapacity, writing, &listedName, 1);
        ShowStatus(progress, false);
        WideChar path[kWorkCapacity];
        HANDLE file = CreateListedFile(path, listedName);
        written = file != INVALID_HANDLE_VALUE;
        if (packed) {
            DWORD crc = 0;
            written = DecodeFile(file, record[0], &crc, record + 2 == state.index + state.indexWords) && written;
            intact = state.blockIntact && crc == record[1];
            size = record[0];
        } else if (written) {
            written = WriteBytes(file, bytes, size);
        }
        // A write error deferred by the file system (a network share, say) surfaces at the close.
        if (file != INVALID_HANDLE_VALUE && !(CloseHandle(file) && written && intact))
            DeleteFileW(path);
        written = written && intact;
    }
    if (written) {
        state.writtenBytes += size;
        return;
    }
    NoteFileNotWritten(listedName);
    ReportFileFailure(progress, intact ? IDS_CANT_WRITE : IDS_CANT_EXTRACT, intact ? state.destination : listedName,
                      intact ? listedName : 0);
}

// A checked package's index, and for a compressed one its block's decoder.
static void OpenPayload()
{
    DWORD size = 0;
    HMODULE module = GetModuleHandleW(0);
    state.index = reinterpret_cast<const DWORD*>(
        LoadPayload(FindResourceW(module, MAKEINTRESOURCEW(IDR_PAYLOAD_INDEX), RT_RCDATA), &size));
    state.indexWords = size / 4;
    const BYTE* block = LoadPayload(FindResourceW(module, MAKEINTRESOURCEW(IDR_PAYLOAD_BLOCK), RT_RCDATA), &size);
    state.blockIntact = block != 0 && StartLzma(&state.decoder, block, size, state.window, kLzmaMaxDictionary);
}

int RunExtraction(HWND progress)
{
    WideChar listedName[kListedNameCapacity];
    WideChar writing[kScratchCapacity];
    ReadPackageString(IDS_WRITING, writing, kScratchCapacity);
    StartCrc32c();
    OpenPayload();
    for (UINT id = IDS_FILE_FIRST;; ++id) {
        int length = ReadPackageString(id, listedName, kListedNameCapacity);
        if (length == 0)
            return length;
        ExtractPayloadFile(progress, id, listedName, writing);
    }
}
