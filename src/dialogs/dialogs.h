// The four dialog procedures and the folder browser.
#ifndef DIALOGS_DIALOGS_H
#define DIALOGS_DIALOGS_H

#include "platform/win32.h"
#include "setup/text.h"

INT_PTR CALLBACK WelcomeDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK ReinstallDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK DestinationDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK ProgressDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

bool BrowseForFolder(HWND owner, const WideChar* title, WideChar* path);

#endif
