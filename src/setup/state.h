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
int RunExtraction(HWND progress);

#endif
