// The setup's switches, read from the whole command line without the C runtime.
#ifndef SETUP_COMMAND_LINE_H
#define SETUP_COMMAND_LINE_H

#include "setup/text.h"

// What the command line asks for. Nothing may be installed unless `understood`.
struct CommandLine {
    bool understood;      // false: the caller's `unknown` buffer names the argument not understood
    bool silent;          // /S
    bool usage;           // /?
    bool hasDestination;  // /D=: the caller's `destination` buffer holds the folder
};

// Reads the GetCommandLineW text: the program path (up to its closing quote when it opens
// with one, else up to the first blank), then arguments separated by blanks (space, tab).
// Switches are ASCII letters, case aside: /S, /? and /D=folder. /D= is always the last:
// the folder is the rest of the line as it stands, trailing blanks dropped, and is copied
// into destination only whole. A folder that is not absolute (a drive's "X:\" or a share's
// "\\"; an empty one included), holds a quote (Windows forbids them in paths: they were
// meant as syntax) or does not fit destinationCapacity (NUL included) is not understood,
// and destination is left as it was.
// unknown receives the first argument not understood, up to its first blank (the whole
// /D= argument for a refused folder), cut to unknownCapacity; it is empty when all were.
// Reading stops at that argument, so the flags say what came before it, but for /S: it
// counts anywhere before a /D=, so that a silent run never waits on a box.
CommandLine ReadCommandLine(const WideChar* line, WideChar* destination, int destinationCapacity,
                            WideChar* unknown, int unknownCapacity);

#endif
