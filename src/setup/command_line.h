// The setup's switches, read from the whole command line without the C runtime.
#ifndef SETUP_COMMAND_LINE_H
#define SETUP_COMMAND_LINE_H

#include "setup/text.h"

// What the command line asks for. Nothing may be installed unless `understood`.
struct CommandLine {
    bool understood;      // false: the caller's `unknown` buffer names the argument not understood
    bool silent;          // /S or /P: no question and no box
    bool progress;        // /P: the progress dialog shows all the same
    bool usage;           // /?
    bool hasDestination;  // /D=: the caller's `destination` buffer holds the folder
};

// Reads the GetCommandLineW text: the program path (up to its closing quote when it opens
// with one, else up to the first blank), then arguments separated by blanks (space, tab).
// Switches are ASCII letters, case aside: /S, /P, /? and /D=folder. /D= is always the last:
// the folder is the rest of the line as it stands, trailing blanks dropped, and is copied
// into destination only whole. A folder that is not absolute (a drive's "X:\" or a share's
// "\\server\share"; an empty one included), holds a quote (Windows forbids them in paths:
// they were meant as syntax) or does not leave room in destinationCapacity for a backslash
// and the NUL is not understood, and destination is left as it was.
// unknown receives the first argument not understood, up to its first blank (the whole
// /D= argument for a refused folder), cut to unknownCapacity; it is empty when all were.
// Reading stops at that argument, so the flags say what came before it, but for /S: it
// counts anywhere before a /D=, so that a silent run never waits on a box; /P as well.
CommandLine ReadCommandLine(const WideChar* line, WideChar* destination, int destinationCapacity,
                            WideChar* unknown, int unknownCapacity);

// A folder typed in the destination dialog, taken by the rules of /D=: trailing blanks
// dropped, then copied into out only whole, absolute and without quotes.
bool TakeFolder(const WideChar* folder, WideChar* out, int capacity);

#endif
