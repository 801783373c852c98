// The one process-wide record of the setup and the capacity of each of its buffers.
#ifndef SETUP_STATE_H
#define SETUP_STATE_H

#include "platform/win32.h"
#include "setup/limits.h"
#include "setup/text.h"
#include "package/lzma.h"

// Capacities in UTF-16 units, terminating NUL included.
enum {
    kCaptionCapacity = 128,
    kAppPathsKeyCapacity = 256,
    kScratchCapacity = 256,
    kCommandCapacity = 512,
    kNoticeCapacity = 128,      // a fixed notice: 205, 206 or 216
    kWorkCapacity = 256,        // one file's resource name, status, target path
    kFileMessageCapacity = 896, // message 210 or 211 about one file; an Apps & Features value
    kUnknownCapacity = 45,      // the argument named by message 214, which stays within 255 with it
    kUninstallKeyCapacity = 128,
    kStatusPaintMs = 50         // a person cannot read status lines that change faster
};

// Message 210 names the destination and a listed name: with both at their longest and the
// longest format, the message still arrives whole, so the path it names is never cut.
static_assert(kFileMessageCapacity > (kScratchCapacity - 1) + (kDestinationCapacity - 1) + (kListedNameCapacity - 1),
              "message 210 must hold its longest format, destination and listed name");

// The key that holds App Paths, Apps & Features and the Program Files folder, under HKLM, or
// HKCU for a product installed for one person: its text once in the image.
inline constexpr WideChar kCurrentVersionKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion";
enum { kCurrentVersionKeyLength = sizeof(kCurrentVersionKey) / sizeof(WideChar) - 1 };

// A folder and a file in it, quoted as a command line needs them.
extern const WideChar kQuotedPathFormat[];

// The exit statuses, as the README's table lists them: 3 wins over 4, since the files come first.
enum { kExitDone, kExitFatal, kExitCommandLine, kExitFilesMissing, kExitEntryMissing };
// The uninstaller's own, in the numbers deployment tools know from Windows Installer.
enum { kExitUninstallCancelled = 1602, kExitRestartNeeded = 3010 };

// The Apps & Features values that name a path: the quoted uninstaller is the longest.
static_assert(kFileMessageCapacity > 2 + (kDestinationCapacity - 1) + (kListedNameCapacity - 1),
              "the uninstall command must hold the longest destination and listed name");

// The progress dialog's private messages, from the thread that writes the files.
enum {
    kFileFailedMessage = WM_APP,  // sent: show the boxes of pendingFailure, answer once they are gone
    kExtractionEndedMessage       // posted, with the extraction's result: end the dialog with it
};

// Where the extraction is: it starts once, and only its own end ends the progress dialog.
enum { kExtractionIdle, kExtractionRunning, kExtractionEnded };

struct SetupState {
    HINSTANCE instance;
    bool silent;     // /S: no window, no box; the exit status alone tells how it went
    bool showProgress;  // /P: silent, but for the progress dialog
    // KEY_WOW64_64KEY for an x64 package, whose App Paths, Program Files and Apps & Features
    // entry are in the 64-bit view; 0 keeps this 32-bit process's own view.
    REGSAM registryView;
    // HKLM and the all-users Programs folder of the Start menu for a per-machine product; HKCU
    // and the person's own for a per-user one, whose setup runs with that person's rights.
    HKEY registryRoot;
    int startMenuFolder;
    // The person's own programs folder, without its backslash: empty for a per-machine product,
    // or where the shell knows no such folder.
    WideChar userPrograms[kDestinationCapacity];
    bool uninstallerMissing;  // the package's uninstaller was not written: no Apps & Features entry
    int exitStatus;  // kExitDone until a non-fatal failure; fatal ones end the process at once
    unsigned long long writtenBytes;  // of every file written, twins each counted: the entry's size
    WideChar productName[kProductNameCapacity];
    WideChar programFile[kProgramFileCapacity];
    WideChar uninstaller[kListedNameCapacity];  // the listed file Apps & Features runs; empty for none
    WideChar record[kListedNameCapacity];       // the built-in uninstaller's record; empty without one
    WideChar caption[kCaptionCapacity];
    WideChar appPathsKey[kAppPathsKeyCapacity];
    WideChar destination[kDestinationCapacity];
    WideChar scratch[kScratchCapacity];
    WideChar command[kCommandCapacity];
    // The progress line as last formatted: the control is told only when a person could see it.
    WideChar status[kWorkCapacity];
    DWORD statusPaintedAt;  // tick count of the progress line's last paint
    // Too large for a stack frame without probes: the welcome heading, then the terms.
    WideChar terms[kTermsCapacity];
    WideChar fileMessage[kFileMessageCapacity];
    // Shared by the progress dialog and the extraction thread; each is written before the
    // message that tells the other of it. While the thread runs, scratch and status are its own.
    int extraction;              // kExtractionIdle, Running or Ended
    const WideChar* pendingFailure;  // the error a waiting extraction wants shown; 0 if none
    // The extraction's own: a checked package's payload index (0 for a package without one) and
    // its length in words; the compressed block's decoder, and whether its stream is still whole.
    const DWORD* index;
    DWORD indexWords;
    bool blockIntact;
    LzmaDecoder decoder;
    // The decoder's dictionary: demand-zero pages that only a compressed package's install touches,
    // and then no more of them than its payload fills.
    BYTE window[kLzmaMaxDictionary];
};

extern SetupState state;

// Notices: the only ways besides the end of SetupMain that the process ends.
void ShowNotice(HWND owner, const WideChar* text);
void ShowMessageNotice(HWND owner, UINT id);
void ReportFailure(const WideChar* text, HWND owner, bool fatal);
void ReportMessageFailure(UINT id, HWND owner, bool fatal);
void CancelSetup(HWND owner);

// Shows one of the four dialogs; a dialog that cannot be created ends the setup.
INT_PTR ShowStageDialog(int templateId, DLGPROC procedure);

// Stages.
int SetupMain();
void ChooseDestination(bool given);  // given: /D= has filled the destination
void CreateDestinationFolders();
// On a thread of its own beside the progress dialog's; silent, on the main one with progress 0.
int RunExtraction(HWND progress);
void FormatInDestination(const WideChar* name);  // destination and a name, into fileMessage: both at their longest
void WriteInstallRecord();
void CreateStartMenuEntry();
bool FormatStartMenuEntry(WideChar* path, int capacity);
void RegisterUninstallEntry();
void ReportRegistrationFailure(UINT id);  // of the entry or the shortcut: status 4 and its box
void FormatEntryKey(WideChar* path);  // the Apps & Features key, into kUninstallKeyCapacity
bool ReadAppPath(REGSAM view, WideChar* folder);  // the registered program's path, kDestinationCapacity
void FindUserPrograms();
int UninstallMain();
void NoteFileNotWritten(const WideChar* listedName);

#endif
