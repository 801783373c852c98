// The Win32 boundary: the one header through which product code reaches the system.
#ifndef PLATFORM_WIN32_H
#define PLATFORM_WIN32_H

#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#include <shlobj.h>

// Every call the product makes, ANSI variants only, by the DLL that exports it:
//
// KERNEL32  GetModuleHandleA  FindResourceA  SizeofResource  LoadResource  LockResource
//           GetFileAttributesA  CreateDirectoryA  CreateFileA  WriteFile  CloseHandle
//           DeleteFileA  WinExec  Sleep  GetTickCount  CreateThread  ExitProcess
// USER32    LoadStringA  DialogBoxParamA  EndDialog  SetWindowTextA  GetDlgItem
//           SendDlgItemMessageA  SendMessageA  PostMessageA  MessageBoxA
//           LoadCursorA  SetCursor
// ADVAPI32  RegQueryValueA  RegCreateKeyA  RegQueryValueExA  RegCloseKey
// SHELL32   SHBrowseForFolderA  SHGetPathFromIDListA  SHGetMalloc
//
// Text is never copied or formatted with lstrcpyA, lstrcatA or wsprintfA: their only
// bound is the source, so everything goes through the bounded helpers of setup/text.h.

#endif
