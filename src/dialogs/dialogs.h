// The four dialog procedures, the folder browser and the terms list filler.
#ifndef DIALOGS_DIALOGS_H
#define DIALOGS_DIALOGS_H

#include "platform/win32.h"

INT_PTR CALLBACK WelcomeDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK ReinstallDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK DestinationDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK ProgressDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

bool BrowseForFolder(HWND owner, const char* title, char* path);
void FillListFromText(HWND list, char* text);

#endif
