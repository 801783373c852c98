// The one process-wide record of the setup and the capacity of each of its buffers.
#ifndef SETUP_STATE_H
#define SETUP_STATE_H

#include "platform/win32.h"

// Capacities in characters, terminating NUL included.
enum {
    kProductNameCapacity = 48,
    kProgramFileCapacity = 48,
    kCaptionCapacity = 128,
    kAppPathsKeyCapacity = 256,
    kDestinationCapacity = 512,
    kScratchCapacity = 256,
    kCommandCapacity = 512,
    kNoticeCapacity = 128,      // the two fixed notices, 205 and 206
    kTermsCapacity = 3333,      // welcome heading, then the terms text
    kListedNameCapacity = 128,  // one entry of the file list
    kWorkCapacity = 256,        // one file's resource name, status, target path, error
    kStatusPaintMs = 50         // a person cannot read status lines that change faster
};

// The progress dialog's private messages, from the thread that writes the files.
enum {
    kFileFailedMessage = WM_APP,  // sent: show the boxes of pendingFailure, answer once they are gone
    kExtractionEndedMessage       // posted, with the extraction's result: end the dialog with it
};

// Where the extraction is: it starts once, and only its own end ends the progress dialog.
enum { kExtractionIdle, kExtractionRunning, kExtractionEnded };

struct SetupState {
    HINSTANCE instance;
    char productName[kProductNameCapacity];
    char programFile[kProgramFileCapacity];
    char caption[kCaptionCapacity];
    char appPathsKey[kAppPathsKeyCapacity];
    char destination[kDestinationCapacity];
    char scratch[kScratchCapacity];
    char command[kCommandCapacity];
    // The progress line as last formatted: the control is told only when a person could see it.
    char status[kWorkCapacity];
    DWORD statusPaintedAt;  // tick count of the progress line's last paint
    // Shared by the progress dialog and the extraction thread; each is written before the
    // message that tells the other of it. While the thread runs, scratch and status are its own.
    int extraction;              // kExtractionIdle, Running or Ended
    const char* pendingFailure;  // the error a waiting extraction wants shown, on its stack; 0 if none
};

extern SetupState state;

// Notices: the only ways besides the end of SetupMain that the process ends.
void ShowNotice(HWND owner, const char* text);
void ReportFailure(const char* text, HWND owner, bool fatal);
void ReportMessageFailure(UINT id, HWND owner, bool fatal);
void CancelSetup(HWND owner);

// Shows one of the four dialogs; a dialog that cannot be created ends the setup.
INT_PTR ShowStageDialog(int templateId, DLGPROC procedure);

// Stages.
int SetupMain();
void ChooseDestination();
void CreateDestinationFolders();
int RunExtraction(HWND progress);  // on a thread of its own, beside the progress dialog's

#endif
