// The Apps & Features entry: written after the files for a package that names its uninstaller.
#include "setup/state.h"
#include "setup/text.h"
#include "package/strings.h"
#include "resource.h"

static const WideChar kUninstall[] = L"\\Uninstall\\";
// The one access mask of the entry, less the view: an x64 product's entry is in the 64-bit
// view, where Apps & Features lists 64-bit products.
static const REGSAM kEntryAccess = KEY_WRITE;

static_assert(kCurrentVersionKeyLength + sizeof(kUninstall) / sizeof(WideChar) - 1 + kProductNameCapacity <= kUninstallKeyCapacity,
              "the entry's key must hold the longest product name");
static_assert(kVersionTextCapacity <= kPublisherCapacity, "the version text must arrive whole in the publisher's buffer");

// Each setter gives the system's result: 0, ERROR_SUCCESS, is the only success, so the results
// of all of them joined with | tell whether every value was set.
static LONG SetText(HKEY key, const WideChar* name, const WideChar* text)
{
    DWORD bytes = (TextLength(text) + 1) * sizeof(WideChar);
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes);
}

static LONG SetNumber(HKEY key, const WideChar* name, DWORD number)
{
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof(number));
}

// "<destination><file>", quoted or not, through fileMessage; never set cut.
static LONG SetPath(HKEY key, const WideChar* name, const WideChar* file, const WideChar* format)
{
    const WideChar* arguments[2] = {state.destination, file};
    if (!FormatText(state.fileMessage, kFileMessageCapacity, format, arguments, 2))
        return ERROR_INSUFFICIENT_BUFFER;
    return SetText(key, name, state.fileMessage);
}

// Without its trailing backslash, as Windows' own entries have it, except for a root: a drive's,
// or the current drive's that an emptied edit box gives.
static LONG SetInstallLocation(HKEY key)
{
    int last = TextLength(state.destination) - 1;
    bool root = last == 0 || state.destination[last - 1] == ':';
    if (!root)
        state.destination[last] = '\0';
    LONG result = SetText(key, L"InstallLocation", state.destination);
    state.destination[last] = '\\';
    return result;
}

// Publisher and version share one buffer, so each is set as soon as it is read.
static LONG SetPackageText(HKEY key, const WideChar* name, UINT id)
{
    WideChar text[kPublisherCapacity];
    ReadPackageString(id, text, kPublisherCapacity);
    return SetText(key, name, text);
}

// The built-in uninstaller's own /S: deployment tools remove the product with it, asking nothing.
static LONG SetQuietUninstall(HKEY key)
{
    if (state.record[0] == '\0')
        return ERROR_SUCCESS;
    return SetPath(key, L"QuietUninstallString", state.uninstaller, L"\"%s%s\" /S");
}

static LONG SetValues(HKEY key)
{
    // Rounded up, so that a payload of a few bytes does not show as nothing.
    DWORD kibibytes = static_cast<DWORD>((state.writtenBytes + 1023) >> 10);
    return SetText(key, L"DisplayName", state.productName) |
           SetPackageText(key, L"DisplayVersion", IDS_VERSION_TEXT) |
           SetPackageText(key, L"Publisher", IDS_PUBLISHER) | SetInstallLocation(key) |
           SetPath(key, L"UninstallString", state.uninstaller, kQuotedPathFormat) | SetQuietUninstall(key) |
           SetPath(key, L"DisplayIcon", state.programFile, L"%s%s") | SetNumber(key, L"NoModify", 1) |
           SetNumber(key, L"NoRepair", 1) | SetNumber(key, L"EstimatedSize", kibibytes);
}

void FormatEntryKey(WideChar* path)
{
    CopyText(path, kUninstallKeyCapacity, kCurrentVersionKey);
    AppendText(path, kUninstallKeyCapacity, kUninstall);
    AppendText(path, kUninstallKeyCapacity, state.productName);
}

static bool WriteEntry()
{
    WideChar path[kUninstallKeyCapacity];
    FormatEntryKey(path);
    HKEY key = 0;
    REGSAM access = kEntryAccess | state.registryView;
    if (RegCreateKeyExW(state.registryRoot, path, 0, 0, REG_OPTION_NON_VOLATILE, access, 0, &key, 0) != ERROR_SUCCESS)
        return false;
    LONG result = SetValues(key);
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

// Apps & Features must never list a product it cannot remove: an uninstaller that this run
// did not write (a held file, a full disk, a damaged entry) leaves the entry unwritten, even
// where an earlier version's is still there.
void NoteFileNotWritten(const WideChar* listedName)
{
    if (CompareStringOrdinal(state.uninstaller, -1, listedName, -1, FALSE) == CSTR_EQUAL)
        state.uninstallerMissing = true;
}

// Not fatal: the files are in place, only a way to find or remove them is missing.
void ReportRegistrationFailure(UINT id)
{
    if (state.exitStatus == kExitDone)
        state.exitStatus = kExitEntryMissing;
    FormatPackageMessage(id, state.fileMessage, kFileMessageCapacity, state.productName);
    ReportFailure(state.fileMessage, 0, false);
}

void RegisterUninstallEntry()
{
    if (state.uninstaller[0] == '\0' || (!state.uninstallerMissing && WriteEntry()))
        return;
    ReportRegistrationFailure(IDS_NO_ENTRY);
}
