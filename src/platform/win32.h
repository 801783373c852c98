// The Win32 boundary: the one header through which product code reaches the system.
#ifndef PLATFORM_WIN32_H
#define PLATFORM_WIN32_H

#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
// Only the W names are called; this makes the system's own constants (IDC_WAIT, RT_RCDATA) wide too.
#define UNICODE
#define _UNICODE
#include <windows.h>
#include <shlobj.h>

// Every call the product makes, by the DLL that exports it. Text goes through the W variants
// only, never the TCHAR macros: UTF-16 from the string table to the file system, whatever
// the system's ANSI code page.
//
// KERNEL32  GetModuleHandleW  FindResourceW  SizeofResource  LoadResource  LockResource
//           GetFileAttributesW  CreateDirectoryW  CreateFileW  WriteFile  CloseHandle
//           DeleteFileW  CreateProcessW  CreateThread  Sleep  GetTickCount  ExitProcess
//           GetCommandLineW  IsWow64Process  GetCurrentProcess  GetProcAddress  SetDllDirectoryW
//           SetErrorMode  GetModuleFileNameW  GetTempPathW
//           GetTempFileNameW  MoveFileExW  RemoveDirectoryW  SetFileAttributesW  SetCurrentDirectoryW
//           GetFileSize  CreateFileMappingW  MapViewOfFile  UnmapViewOfFile  CompareStringOrdinal
//           (by GetProcAddress, where Windows has them: SetDefaultDllDirectories  IsWow64Process2
//           GetMachineTypeAttributes)
// USER32    LoadStringW  DialogBoxParamW  EndDialog  SetWindowTextW  GetDlgItem
//           SendDlgItemMessageW  SendMessageW  PostMessageW  MessageBoxW
//           LoadCursorW  SetCursor  WaitForInputIdle
// ADVAPI32  RegOpenKeyExW  RegQueryValueExW  RegCloseKey  RegCreateKeyExW
//           RegSetValueExW  RegDeleteKeyExW
// SHELL32   SHBrowseForFolderW  SHGetPathFromIDListW  SHGetMalloc  SHGetFolderPathW  SHGetKnownFolderPath
// OLE32     CoInitializeEx  CoCreateInstance (the shell link and its IPersistFile)  CoTaskMemFree
//
// Text is never copied or formatted with lstrcpyW, lstrcatW or wsprintfW: their only
// bound is the source, so everything goes through the bounded helpers of setup/text.h.
// LoadStringW is never given a capacity of 0: it would hand back a pointer into the image.

#endif
