// The end-to-end driver: process start and end, window waits, reading and pressing, registry, files, scripts on the Linux side, resources.
#include "driver.h"
#include "resource.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#ifndef E2E_BUILD_DIR
#error "E2E_BUILD_DIR must name the Windows build folder (a Linux path)"
#endif

namespace e2e {

namespace {

constexpr int kPollMs = 50;

// E2E_TRACE=1 in the environment prints every wait with its duration, to see where time goes.
void Trace(const std::string& what, DWORD startTick)
{
    static const bool enabled = GetEnvironmentVariableA("E2E_TRACE", nullptr, 0) > 0;
    if (enabled)
        std::fprintf(stderr, "[trace] %5lu ms  %s\n", GetTickCount() - startTick, what.c_str());
}

std::string ErrorText(DWORD code)
{
    return "error " + std::to_string(code);
}

// Text of any window, also of another process: WM_GETTEXT is marshalled, with a bound on the wait.
// Every send waits as long as any other wait (kWaitMs), and waits out a window the system calls
// hung: under an emulated machine a first load of a locale's fonts keeps one busy for seconds, and
// SMTO_ABORTIFHUNG would give up on it at once.
std::string TextOf(HWND window)
{
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_NORMAL, kWaitMs, &length))
        throw DriverError("window " + std::to_string(reinterpret_cast<uintptr_t>(window)) +
                          " did not answer WM_GETTEXTLENGTH");
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                             SMTO_NORMAL, kWaitMs, &copied))
        throw DriverError("window did not answer WM_GETTEXT");
    text.resize(std::min<size_t>(copied, length));
    return Utf8(text);
}

struct ProcessWindows {
    DWORD id;
    bool visibleOnly;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectTopLevel(HWND window, LPARAM context)
{
    auto* search = reinterpret_cast<ProcessWindows*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == search->id && (!search->visibleOnly || IsWindowVisible(window)))
        search->found.push_back(window);
    return TRUE;
}

std::vector<HWND> TopLevelWindows(DWORD processId, bool visibleOnly)
{
    ProcessWindows search{processId, visibleOnly, {}};
    EnumWindows(CollectTopLevel, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

BOOL CALLBACK CollectChild(HWND window, LPARAM context)
{
    reinterpret_cast<std::vector<HWND>*>(context)->push_back(window);
    return TRUE;
}

// GetDlgItem takes the id as a signed int: 0xFFFF and -1 name the same control.
HWND Child(HWND dialog, int id)
{
    for (HWND child : Children(dialog)) {
        if (GetParent(child) == dialog && (GetDlgCtrlID(child) & 0xFFFF) == (id & 0xFFFF))
            return child;
    }
    return nullptr;
}

HWND RequireChild(HWND dialog, int id)
{
    HWND child = Child(dialog, id);
    if (child == nullptr)
        throw DriverError("no control with id " + std::to_string(id) + " in " + DescribeWindow(dialog));
    return child;
}

std::string Join(const std::string& folder, const std::string& name)
{
    if (!folder.empty() && folder.back() == '\\')
        return folder + name;
    return folder + "\\" + name;
}

}  // namespace

std::string Filled(std::string text, const std::function<std::string(const std::string&)>& valueOf)
{
    for (size_t at = text.find('{'); at != std::string::npos; at = text.find('{', at)) {
        const size_t end = text.find('}', at);
        if (end == std::string::npos)
            throw DriverError("an unclosed { in " + Quoted(text));
        const std::string value = valueOf(text.substr(at + 1, end - at - 1));
        text.replace(at, end + 1 - at, value);
        at += value.size();
    }
    return text;
}

// Printable form of a text read off the screen: line feeds shown as \n.
std::string Quoted(const std::string& text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    return out + "\"";
}

std::vector<HWND> Children(HWND parent)
{
    std::vector<HWND> children;
    EnumChildWindows(parent, CollectChild, reinterpret_cast<LPARAM>(&children));
    return children;
}

// ---- Text ---------------------------------------------------------------------------------

std::string Utf8(const std::wstring& wide)
{
    if (wide.empty())
        return {};
    int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr,
                                   nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), size, nullptr, nullptr);
    return out;
}

std::wstring Wide(const std::string& utf8)
{
    if (utf8.empty())
        return {};
    int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), size);
    return out;
}

std::vector<std::string> LinesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::string::size_type start = 0;
    while (start < text.size()) {
        std::string::size_type end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        if (end == start)
            break;
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// ---- Paths --------------------------------------------------------------------------------

std::string WinePath(const std::string& unixPath)
{
    std::string out = "Z:";
    for (char c : unixPath)
        out += c == '/' ? '\\' : c;
    return out;
}

std::string PackageExe(const std::string& name)
{
    return WinePath(E2E_BUILD_DIR "/e2e/packages/" + name + "/Setup.exe");
}

std::string LinuxScratch(const std::string& name)
{
    const char* root = std::getenv("E2E_SCRATCH");
    return (root != nullptr && *root != '\0' ? std::string(root) : std::string(E2E_BUILD_DIR "/e2e/scratch")) + "/" +
           name;
}

std::string FreshScratchFolder(const std::string& name)
{
    std::string folder = WinePath(LinuxScratch(name));
    RemoveTree(folder);
    MakeFolders(folder);
    return folder;
}

// ---- Reading windows ----------------------------------------------------------------------

std::string WindowClass(HWND window)
{
    wchar_t name[256] = {};
    GetClassNameW(window, name, 256);
    return Utf8(name);
}

std::string WindowTitle(HWND window)
{
    return TextOf(window);
}

std::string ControlText(HWND dialog, int id)
{
    return TextOf(RequireChild(dialog, id));
}

std::string MessageBoxText(HWND box)
{
    return ControlText(box, 0xFFFF);
}

std::vector<std::string> ListBoxLines(HWND dialog, int id)
{
    HWND list = RequireChild(dialog, id);
    DWORD_PTR count = 0;
    if (!SendMessageTimeoutW(list, LB_GETCOUNT, 0, 0, SMTO_NORMAL, kWaitMs, &count) ||
        static_cast<LRESULT>(count) == LB_ERR)
        throw DriverError("list box " + std::to_string(id) + " did not give its count");
    std::vector<std::string> lines;
    for (DWORD_PTR index = 0; index < count; ++index) {
        DWORD_PTR length = 0;
        SendMessageTimeoutW(list, LB_GETTEXTLEN, index, 0, SMTO_NORMAL, kWaitMs, &length);
        if (static_cast<LRESULT>(length) == LB_ERR)
            throw DriverError("list box line " + std::to_string(index) + " has no length");
        // Wine hands the line back in UTF-16 whichever variant asked: read it wide.
        std::wstring line(length + 1, L'\0');
        DWORD_PTR copied = 0;
        SendMessageTimeoutW(list, LB_GETTEXT, index, reinterpret_cast<LPARAM>(line.data()), SMTO_NORMAL,
                            kWaitMs, &copied);
        if (static_cast<LRESULT>(copied) == LB_ERR)
            throw DriverError("list box line " + std::to_string(index) + " could not be read");
        line.resize(std::min<size_t>(copied, length));
        lines.push_back(Utf8(line));
    }
    return lines;
}

bool HasControl(HWND dialog, int id)
{
    return Child(dialog, id) != nullptr;
}

bool IsMessageBox(HWND window)
{
    // The system's box carries its icon as a static of its own id (1088 under Wine, 20 under
    // Windows) beside the text static 0xFFFF; the setup's dialogs use neither id.
    return WindowClass(window) == "#32770" && HasControl(window, 0xFFFF) &&
           (HasControl(window, 1088) || HasControl(window, 20));
}

std::string DescribeWindow(HWND window)
{
    std::ostringstream out;
    std::string title;
    try {
        title = Quoted(WindowTitle(window));
    } catch (const DriverError&) {
        title = "(no answer)";
    }
    out << WindowClass(window) << " " << title << (IsWindowVisible(window) ? "" : " (hidden)");
    for (HWND child : Children(window)) {
        std::string text;
        try {
            text = Quoted(TextOf(child));
        } catch (const DriverError&) {
            text = "(no answer)";
        }
        out << "\n    " << WindowClass(child) << " id " << (GetDlgCtrlID(child) & 0xFFFF) << " " << text;
        if (WindowClass(child) == "ListBox") {
            try {
                for (const std::string& line : ListBoxLines(window, GetDlgCtrlID(child)))
                    out << "\n        | " << line;
            } catch (const DriverError&) {
            }
        }
    }
    return out.str();
}

// ---- Acting -------------------------------------------------------------------------------

void AcceptWelcome(SetupProcess& setup)
{
    PressButton(setup.WaitForDialogWith(IDC_TERMS_LIST), IDOK);
}

void AcceptAndChoose(SetupProcess& setup, const std::string& destination)
{
    AcceptWelcome(setup);
    HWND chooser = setup.WaitForDialogWith(IDC_DEST_EDIT);
    SetControlText(chooser, IDC_DEST_EDIT, destination);
    PressButton(chooser, IDOK);
}

void CloseProgram(HWND window)
{
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, processId);
    PostMessageW(window, WM_CLOSE, 0, 0);
    if (process != nullptr) {
        if (WaitForSingleObject(process, kWaitMs) != WAIT_OBJECT_0)
            TerminateProcess(process, 1);
        CloseHandle(process);
    }
}

void PressButton(HWND dialog, int id)
{
    HWND button = RequireChild(dialog, id);
    if (!PostMessageW(button, BM_CLICK, 0, 0))
        throw DriverError("could not post a click to button " + std::to_string(id) + ": " +
                          ErrorText(GetLastError()));
}

void PressEscape(HWND dialog)
{
    std::vector<HWND> children = Children(dialog);
    if (children.empty())
        throw DriverError("no control to take Esc in " + DescribeWindow(dialog));
    HWND target = children.front();
    // Lparam as a keyboard would send it: repeat count 1, scan code of Esc; the release bits on up.
    LPARAM down = 1 | (0x01 << 16);
    LPARAM up = down | (1u << 30) | (1u << 31);
    PostMessageW(target, WM_KEYDOWN, VK_ESCAPE, down);
    PostMessageW(target, WM_KEYUP, VK_ESCAPE, up);
}

void SetControlText(HWND dialog, int id, const std::string& text)
{
    HWND control = RequireChild(dialog, id);
    std::wstring wide = Wide(text);
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide.c_str()), SMTO_NORMAL,
                             kWaitMs, &result) ||
        !result)
        throw DriverError("control " + std::to_string(id) + " refused the text " + Quoted(text));
}

// ---- The process under test ---------------------------------------------------------------

SetupProcess::SetupProcess(const std::string& exePath, const std::string& workDir, const std::string& arguments)
    : exe_(exePath)
{
    std::string folder = workDir;
    if (folder.empty()) {
        size_t cut = exePath.find_last_of("\\/");
        folder = cut == std::string::npos ? "." : exePath.substr(0, cut);
    }
    std::wstring commandLine = Wide("\"" + exePath + "\"" + (arguments.empty() ? "" : " " + arguments));
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(Wide(exePath).c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        Wide(folder).c_str(), &startup, &info))
        throw DriverError("could not start " + exePath + " in " + folder + ": " + ErrorText(GetLastError()));
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    id_ = info.dwProcessId;
}

SetupProcess::~SetupProcess()
{
    if (Running()) {
        TerminateProcess(process_, 255);
        WaitForSingleObject(process_, kWaitMs);
    }
    CloseHandle(process_);
}

bool SetupProcess::Running() const
{
    return WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

std::vector<HWND> SetupProcess::Windows() const
{
    return TopLevelWindows(id_, true);
}

std::string SetupProcess::DescribeScreen() const
{
    std::vector<HWND> windows = Windows();
    if (windows.empty())
        return "no window of the setup on screen";
    std::string out;
    for (HWND window : windows)
        out += "\n  " + DescribeWindow(window);
    return std::to_string(windows.size()) + " window(s) of the setup on screen:" + out;
}

void SetupProcess::FailWait(const std::string& what, int timeoutMs)
{
    std::string screen = DescribeScreen();
    std::string state = "the setup is still running";
    if (!Running()) {
        DWORD status = 0;
        GetExitCodeProcess(process_, &status);
        state = "the setup ended with status " + std::to_string(status);
    }
    throw DriverError("expected " + what + " within " + std::to_string(timeoutMs) + " ms; " + state + "; " +
                      screen);
}

template <typename Match>
HWND SetupProcess::WaitFor(const std::string& what, int timeoutMs, Match match)
{
    DWORD start = GetTickCount();
    for (;;) {
        for (HWND window : Windows()) {
            try {
                if (match(window)) {
                    Trace("found " + what, start);
                    return window;
                }
            } catch (const DriverError&) {
                // A window that vanishes while we look at it is simply not the one.
            }
        }
        // A process that has ended will not show anything more.
        if (!Running() || static_cast<int>(GetTickCount() - start) >= timeoutMs)
            FailWait(what, timeoutMs);
        Sleep(kPollMs);
    }
}

HWND SetupProcess::WaitForAnyWindow(int timeoutMs, const std::vector<HWND>& besides)
{
    return WaitFor("a window", timeoutMs, [&](HWND window) {
        return std::find(besides.begin(), besides.end(), window) == besides.end();
    });
}

HWND SetupProcess::WaitForMessageBox(int timeoutMs)
{
    return WaitFor("a message box", timeoutMs, [](HWND window) { return IsMessageBox(window); });
}

HWND SetupProcess::WaitForDialogWith(int controlId, int timeoutMs)
{
    return WaitFor("a dialog with control " + std::to_string(controlId), timeoutMs, [&](HWND window) {
        return WindowClass(window) == "#32770" && !IsMessageBox(window) && HasControl(window, controlId);
    });
}

void SetupProcess::WaitUntilGone(HWND window, int timeoutMs)
{
    DWORD start = GetTickCount();
    while (IsWindow(window) && IsWindowVisible(window)) {
        if (static_cast<int>(GetTickCount() - start) >= timeoutMs)
            FailWait("the window " + DescribeWindow(window) + " to go", timeoutMs);
        Sleep(kPollMs);
    }
    Trace("gone", start);
}

MessageBoxSeen SetupProcess::DismissMessageBox(int timeoutMs)
{
    HWND box = WaitForMessageBox(timeoutMs);
    MessageBoxSeen seen{WindowTitle(box), MessageBoxText(box)};
    PressButton(box, IDOK);
    WaitUntilGone(box, timeoutMs);
    return seen;
}

DWORD SetupProcess::WaitForExit(int timeoutMs)
{
    DWORD start = GetTickCount();
    if (WaitForSingleObject(process_, static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0) {
        std::string screen = DescribeScreen();
        TerminateProcess(process_, 255);
        WaitForSingleObject(process_, kWaitMs);
        throw DriverError("expected the setup to end within " + std::to_string(timeoutMs) +
                          " ms; killed it; " + screen);
    }
    DWORD status = 0;
    GetExitCodeProcess(process_, &status);
    Trace("exit " + std::to_string(status), start);
    return status;
}

// ---- Registry -----------------------------------------------------------------------------

std::string AppPathsKey(const std::string& programFile)
{
    return "Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\" + programFile;
}

void SetRegistryString(HKEY root, const std::string& key, const std::string& valueName, const std::string& value,
                       REGSAM view)
{
    HKEY handle = nullptr;
    LONG result =
        RegCreateKeyExW(root, Wide(key).c_str(), 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, &handle, nullptr);
    if (result != ERROR_SUCCESS)
        throw DriverError("could not create the key " + key + ": " + ErrorText(result));
    std::wstring wide = Wide(value);
    result = RegSetValueExW(handle, valueName.empty() ? nullptr : Wide(valueName).c_str(), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(wide.c_str()),
                            static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(handle);
    if (result != ERROR_SUCCESS)
        throw DriverError("could not set " + key + " " + Quoted(valueName) + ": " + ErrorText(result));
}

std::optional<std::string> ReadRegistryString(HKEY root, const std::string& key, const std::string& valueName,
                                              REGSAM view)
{
    HKEY handle = nullptr;
    if (RegOpenKeyExW(root, Wide(key).c_str(), 0, KEY_QUERY_VALUE | view, &handle) != ERROR_SUCCESS)
        return std::nullopt;
    std::wstring name = Wide(valueName);
    const wchar_t* named = valueName.empty() ? nullptr : name.c_str();
    DWORD type = 0;
    DWORD size = 0;
    std::optional<std::string> value;
    if (RegQueryValueExW(handle, named, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_EXPAND_SZ)) {
        std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
        if (RegQueryValueExW(handle, named, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size) ==
            ERROR_SUCCESS) {
            text.resize(std::min<size_t>(size / sizeof(wchar_t), text.size()));
            while (!text.empty() && text.back() == L'\0')
                text.pop_back();
            value = Utf8(text);
        }
    } else if (type == REG_DWORD) {
        DWORD number = 0;
        size = sizeof(number);
        if (RegQueryValueExW(handle, named, nullptr, &type, reinterpret_cast<BYTE*>(&number), &size) == ERROR_SUCCESS)
            value = std::to_string(number);
    }
    RegCloseKey(handle);
    return value;
}

std::string ProgramFilesDir()
{
    std::optional<std::string> folder = ReadRegistryString(
        HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion", "ProgramFilesDir");
    if (!folder)
        throw DriverError("the prefix has no ProgramFilesDir value");
    return *folder;
}

void DeleteRegistryKey(HKEY root, const std::string& key, REGSAM view)
{
    // RegDeleteTreeW takes no view: it empties the key through a handle opened in the view.
    HKEY handle = nullptr;
    LONG result = RegOpenKeyExW(root, Wide(key).c_str(), 0, DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE |
                                                                KEY_SET_VALUE | view, &handle);
    if (result == ERROR_SUCCESS) {
        result = RegDeleteTreeW(handle, nullptr);
        RegCloseKey(handle);
    }
    if (result == ERROR_SUCCESS)
        result = RegDeleteKeyExW(root, Wide(key).c_str(), view, 0);
    if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND)
        throw DriverError("could not delete the key " + key + ": " + ErrorText(result));
}

bool Is64BitWindows()
{
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

// ---- Files --------------------------------------------------------------------------------

bool FileExists(const std::string& path)
{
    DWORD attributes = GetFileAttributesW(Wide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool FolderExists(const std::string& path)
{
    DWORD attributes = GetFileAttributesW(Wide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string ReadFileBytes(const std::string& path)
{
    HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        throw DriverError("could not open " + path + ": " + ErrorText(GetLastError()));
    std::string bytes;
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got > 0)
        bytes.append(chunk, got);
    CloseHandle(file);
    return bytes;
}

LaunchRecord::LaunchRecord(const std::string& folderName, const std::string& fileName)
    : path_(FreshScratchFolder(folderName) + "\\" + fileName)
{
    if (!SetEnvironmentVariableW(L"E2E_LAUNCH_RECORD", Wide(path_).c_str()))
        throw DriverError("could not set E2E_LAUNCH_RECORD");
}

LaunchRecord::~LaunchRecord()
{
    SetEnvironmentVariableW(L"E2E_LAUNCH_RECORD", nullptr);
}

std::string LaunchRecord::Read() const
{
    for (DWORD start = GetTickCount(); static_cast<int>(GetTickCount() - start) < kWaitMs; Sleep(20)) {
        try {
            if (FileExists(path_)) {
                std::string line = ReadFileBytes(path_);
                if (!line.empty() && line.back() == '\n')
                    line.pop_back();
                return line;
            }
        } catch (const DriverError&) {
        }
    }
    throw DriverError("no launch record in " + path_ + " after " + std::to_string(kWaitMs) + " ms");
}

void WriteFileBytes(const std::string& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        throw DriverError("could not create " + path + ": " + ErrorText(GetLastError()));
    DWORD written = 0;
    BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    if (!ok || written != bytes.size())
        throw DriverError("could not write " + path + ": " + ErrorText(GetLastError()));
}

void MakeFolders(const std::string& path)
{
    // Each level in turn: "Z:\a\b\c" needs "Z:\a" and "Z:\a\b" first.
    for (size_t at = path.find('\\', 3); ; at = path.find('\\', at + 1)) {
        std::string level = path.substr(0, at);
        if (!level.empty() && !FolderExists(level) && !CreateDirectoryW(Wide(level).c_str(), nullptr) &&
            GetLastError() != ERROR_ALREADY_EXISTS)
            throw DriverError("could not create the folder " + level + ": " + ErrorText(GetLastError()));
        if (at == std::string::npos)
            break;
    }
}

std::vector<std::string> ListFolder(const std::string& path)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(Wide(Join(path, "*")).c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        throw DriverError("could not list " + path + ": " + ErrorText(GetLastError()));
    do {
        std::string name = Utf8(entry.cFileName);
        if (name != "." && name != "..")
            names.push_back(name);
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

std::string Listing(const std::vector<std::string>& names)
{
    std::string out = "{";
    for (const std::string& name : names)
        out += (out.size() > 1 ? ", " : "") + name;
    return out + "}";
}

void RemoveTree(const std::string& path)
{
    std::wstring wide = Wide(path);
    DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;
    SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        for (const std::string& name : ListFolder(path))
            RemoveTree(Join(path, name));
        if (!RemoveDirectoryW(wide.c_str()))
            throw DriverError("could not remove the folder " + path + ": " + ErrorText(GetLastError()));
    } else if (!DeleteFileW(wide.c_str())) {
        throw DriverError("could not remove " + path + ": " + ErrorText(GetLastError()));
    }
}

// ---- Waiting and the Linux side ------------------------------------------------------------

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs)
{
    for (DWORD start = GetTickCount(); !condition(); Sleep(20)) {
        if (static_cast<int>(GetTickCount() - start) >= timeoutMs)
            return false;
    }
    return true;
}

// Wine hands back no process handle to wait on for a Linux program: the script leaves its
// status in a file, renamed into place once complete.
UnixRun RunUnix(const std::string& script, int timeoutMs)
{
    if (script.find('"') != std::string::npos || script.find('\\') != std::string::npos)
        throw DriverError("a Linux script for sh -c must hold no double quote or backslash: " + script);
    static int runs = 0;
    static const std::string folder = [] {
        FreshScratchFolder("unix_runs");
        return LinuxScratch("unix_runs");
    }();
    std::string base = folder + "/run" + std::to_string(++runs);
    std::string commandLine = "sh -c \"(" + script + ") >" + base + ".out 2>&1; echo $? >" + base +
                              ".tmp; mv " + base + ".tmp " + base + ".status\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessA("Z:\\bin\\sh", commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info))
        throw DriverError("could not start /bin/sh for: " + script + ": error " + std::to_string(GetLastError()));
    if (info.hProcess != nullptr) {
        CloseHandle(info.hProcess);
        CloseHandle(info.hThread);
    }
    std::string status = WinePath(base + ".status");
    if (!WaitUntil([&] { return FileExists(status); }, timeoutMs))
        throw DriverError("the Linux script did not finish within " + std::to_string(timeoutMs) + " ms: " + script);
    UnixRun run{static_cast<DWORD>(std::stoul(ReadFileBytes(status))), ReadFileBytes(WinePath(base + ".out"))};
    DeleteFileA(status.c_str());
    DeleteFileA(WinePath(base + ".out").c_str());
    return run;
}

// ---- Resources ----------------------------------------------------------------------------

namespace {

// A dialog procedure that takes no part: the dialog manager alone makes the dialog.
INT_PTR CALLBACK LeaveToDialogManager(HWND, UINT, WPARAM, LPARAM)
{
    return FALSE;
}

}  // namespace

DataModule::DataModule(const std::string& path)
    : module_(LoadLibraryExW(Wide(path).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE))
{
    if (module_ == nullptr)
        throw DriverError("could not load " + path + " as data: " + ErrorText(GetLastError()));
}

TemplateDialog::TemplateDialog(const std::string& exePath, int id)
    : module_(exePath),
      dialog_(CreateDialogParamW(module_.get(), MAKEINTRESOURCEW(id), nullptr, LeaveToDialogManager, 0))
{
    if (dialog_ == nullptr)
        throw DriverError("dialog template " + std::to_string(id) + " of " + exePath + " does not load: " +
                          ErrorText(GetLastError()));
}

TemplateDialog::~TemplateDialog()
{
    DestroyWindow(dialog_);
}

std::optional<std::string> ReadStringResource(const std::string& exePath, int id)
{
    DataModule module(exePath);
    // LoadString with a zero length hands back a pointer to the text in place, not a copy.
    const wchar_t* text = nullptr;
    int length = LoadStringW(module.get(), static_cast<UINT>(id), reinterpret_cast<LPWSTR>(&text), 0);
    if (length <= 0 || text == nullptr)
        return std::nullopt;
    return Utf8(std::wstring(text, static_cast<size_t>(length)));
}

}  // namespace e2e
