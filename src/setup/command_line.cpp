// Command-line reading: the program path skipped, then /S, /? and /D=folder.
#include "setup/command_line.h"
#include "setup/paths.h"

static bool IsBlank(WideChar c)
{
    return c == ' ' || c == '\t';
}

// The way Windows splits off the program: a quoted path has no escapes and may hold blanks.
static const WideChar* SkipProgramPath(const WideChar* p)
{
    if (*p == '"') {
        for (++p; *p != 0 && *p != '"'; ++p) {
        }
        return *p == '"' ? p + 1 : p;
    }
    while (*p != 0 && !IsBlank(*p))
        ++p;
    return p;
}

static const WideChar* SkipBlanks(const WideChar* p)
{
    while (IsBlank(*p))
        ++p;
    return p;
}

static int ArgumentLength(const WideChar* argument)
{
    int length = 0;
    while (argument[length] != 0 && !IsBlank(argument[length]))
        ++length;
    return length;
}

// The rest of the line without its trailing blanks.
static int RestLength(const WideChar* text)
{
    int length = 0;
    for (int i = 0; text[i] != 0; ++i) {
        if (!IsBlank(text[i]))
            length = i + 1;
    }
    return length;
}

// ASCII only: no other letter folds to one of ours.
static WideChar UpperAscii(WideChar c)
{
    return c >= 'a' && c <= 'z' ? static_cast<WideChar>(c - 'a' + 'A') : c;
}

// Whether the argument of `length` units is `name`, letter case aside.
static bool IsSwitch(const WideChar* argument, int length, const char* name)
{
    int i = 0;
    for (; i < length && name[i] != '\0'; ++i) {
        if (UpperAscii(argument[i]) != static_cast<WideChar>(name[i]))
            return false;
    }
    return i == length && name[i] == '\0';
}

static bool IsDestinationSwitch(const WideChar* argument)
{
    return argument[0] == '/' && UpperAscii(argument[1]) == 'D' && argument[2] == '=';
}

// Copies count units and a NUL, cut to capacity minus one; nothing when there is no room at all.
static void CopyUnits(WideChar* out, int capacity, const WideChar* text, int count)
{
    if (capacity <= 0)
        return;
    if (count > capacity - 1)
        count = capacity - 1;
    for (int i = 0; i < count; ++i)
        out[i] = text[i];
    out[count] = 0;
}

// A folder is taken whole or not at all: a cut one would install somewhere else. It leaves room
// for the backslash the destination stage appends.
static bool TakeDestination(const WideChar* folder, int length, WideChar* out, int capacity)
{
    if (length > capacity - 2 || !IsAbsolutePath(folder, length))
        return false;
    for (int i = 0; i < length; ++i) {
        if (folder[i] == '"')
            return false;
    }
    CopyUnits(out, capacity, folder, length);
    return true;
}

bool TakeFolder(const WideChar* folder, WideChar* out, int capacity)
{
    return TakeDestination(folder, RestLength(folder), out, capacity);
}

// A quiet run, with or without its progress dialog, never shows a box.
static bool IsQuietSwitch(const WideChar* argument, int length)
{
    return IsSwitch(argument, length, "/S") || IsSwitch(argument, length, "/P");
}

// Whether /S stands among the arguments from p on (a /D= takes the rest of the line as its
// folder): a silent run must never wait on a box, whatever came before its /S.
static bool AsksForSilence(const WideChar* p)
{
    for (p = SkipBlanks(p); *p != 0 && !IsDestinationSwitch(p); p = SkipBlanks(p + ArgumentLength(p))) {
        if (IsQuietSwitch(p, ArgumentLength(p)))
            return true;
    }
    return false;
}

static CommandLine Refuse(CommandLine result, const WideChar* argument, int length, WideChar* unknown,
                          int unknownCapacity)
{
    result.understood = false;
    CopyUnits(unknown, unknownCapacity, argument, length);
    return result;
}

CommandLine ReadCommandLine(const WideChar* line, WideChar* destination, int destinationCapacity,
                            WideChar* unknown, int unknownCapacity)
{
    CommandLine result = {true, false, false, false, false};
    CopyUnits(unknown, unknownCapacity, line, 0);
    for (const WideChar* p = SkipBlanks(SkipProgramPath(line)); *p != 0;) {
        int length = ArgumentLength(p);
        if (IsDestinationSwitch(p)) {
            int whole = RestLength(p);
            result.hasDestination = TakeDestination(p + 3, whole - 3, destination, destinationCapacity);
            return result.hasDestination ? result : Refuse(result, p, whole, unknown, unknownCapacity);
        }
        if (IsQuietSwitch(p, length)) {
            result.silent = true;
            result.progress = result.progress || IsSwitch(p, length, "/P");
        } else if (IsSwitch(p, length, "/?"))
            result.usage = true;
        else {
            result.silent = result.silent || AsksForSilence(p + length);
            return Refuse(result, p, length, unknown, unknownCapacity);
        }
        p = SkipBlanks(p + length);
    }
    return result;
}
