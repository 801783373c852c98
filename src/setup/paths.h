// Destination path helpers: pure text operations on Windows paths.
#ifndef SETUP_PATHS_H
#define SETUP_PATHS_H

#include "setup/text.h"

// Ends the text right behind its last backslash or colon; a text with neither becomes empty.
void CutAfterLastSeparator(WideChar* text);

// Appends a backslash unless the text already ends in one; false (text unchanged)
// when the backslash does not fit the capacity.
bool EnsureTrailingBackslash(WideChar* text, int capacity);

// A registered path is often stored as "C:\dir\prog.exe": drops the opening quote
// and ends the text at the closing one, so the folder is the real folder.
void StripEnclosingQuotes(WideChar* text);

// A drive's root ("X:\" or "X:/") or a share ("\\server\share"), in the first length units: a
// relative folder would land wherever the deploying tool happened to start us, often the
// system folder, and "\\" or "\\server" alone names no folder at all.
bool IsAbsolutePath(const WideChar* path, int length);

// Whether a name of length units read from a file stays inside the folder it is relative to: not
// empty, not rooted, no drive, stream or ".." part. The record that holds such names lies where
// only administrators write, but a damaged line must still name nothing outside.
bool IsNameInside(const WideChar* name, int length);

#endif
