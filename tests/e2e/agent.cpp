// The e2e agent: does the steps the Linux runner (run.py) writes, on a setup under Wine, and writes down what it sees; it judges nothing.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#include <commctrl.h>
#include <sddl.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "resource.h"

namespace {

using Fields = std::vector<std::string>;
constexpr DWORD kWaitMs = 20000;  // generous: a first window under Wine on a loaded machine can take seconds

// A step that cannot be done: its line says why, and the next step runs.
struct Failure {
    std::string why;
};

FILE* out = nullptr;
HANDLE process = nullptr;  // the process under test, from the last run
DWORD processId = 0;
HWINEVENTHOOK hook = nullptr;
Fields created;  // class:title of each top-level window of the process created since its run
std::vector<HWND> answered;
std::vector<HANDLE> held;

std::string Utf8(const std::wstring& wide)
{
    std::string text(wide.size() * 3, '\0');
    text.resize(static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                                        text.data(), static_cast<int>(text.size()), nullptr, nullptr)));
    return text;
}

std::wstring Wide(const std::string& utf8)
{
    std::wstring text(utf8.size(), L'\0');
    text.resize(static_cast<size_t>(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                                        text.data(), static_cast<int>(text.size()))));
    return text;
}

std::string ErrorText(DWORD code) { return "error " + std::to_string(code); }

std::string Joined(const Fields& pieces, const std::string& between)
{
    std::string text;
    for (const std::string& piece : pieces)
        text += (&piece == &pieces[0] ? "" : between) + piece;
    return text;
}

// One observation: its fields joined by TAB, each with its line breaks and TABs written out.
void Print(const Fields& fields)
{
    std::string line;
    for (const std::string& field : fields) {
        line += &field == &fields[0] ? "" : "\t";
        for (char c : field)
            line += c == '\n' ? "\\n" : c == '\r' ? "\\r" : c == '\t' ? "\\t" : std::string(1, c);
    }
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), out);
    std::fflush(out);
}

// The window events come as messages to this thread: every wait pumps them.
bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs = kWaitMs, DWORD pollMs = 20)
{
    for (DWORD start = GetTickCount();; MsgWaitForMultipleObjects(0, nullptr, FALSE, pollMs, QS_ALLINPUT)) {
        for (MSG message; PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE);)
            DispatchMessageW(&message);
        if (done())
            return true;
        if (GetTickCount() - start >= timeoutMs)
            return false;
    }
}

// Whether the process ended within the wait; killed if not.
bool Ended(HANDLE handle, DWORD timeoutMs = kWaitMs)
{
    if (WaitUntil([&] { return WaitForSingleObject(handle, 0) != WAIT_TIMEOUT; }, timeoutMs))
        return true;
    TerminateProcess(handle, 255);
    WaitForSingleObject(handle, kWaitMs);
    return false;
}

// ---- Reading windows (of any process) -----------------------------------------------------------

std::string ClassOf(HWND window)
{
    wchar_t name[256] = {};
    GetClassNameW(window, name, 256);
    return Utf8(name);
}

// Marshalled to the window's thread, with a bound. No SMTO_ABORTIFHUNG: a window busy for seconds
// loading a locale's fonts is still read.
LRESULT Send(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0)
{
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL, kWaitMs, &result))
        throw Failure{"a " + ClassOf(window) + " did not answer message " + std::to_string(message)};
    return static_cast<LRESULT>(result);
}

// The window's text, or a list box's line: Wine hands either back in UTF-16, so it is read wide.
std::string TextOf(HWND window, int line = -1)
{
    const WPARAM index = line < 0 ? 0 : static_cast<WPARAM>(line);
    LRESULT length = std::max<LRESULT>(Send(window, line < 0 ? WM_GETTEXTLENGTH : LB_GETTEXTLEN, index), 0);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    LRESULT copied = Send(window, line < 0 ? WM_GETTEXT : LB_GETTEXT, line < 0 ? text.size() : index,
                          reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<size_t>(std::clamp<LRESULT>(copied, 0, length)));
    return Utf8(text);
}

std::vector<HWND> ChildrenOf(HWND window)
{
    std::vector<HWND> children;
    for (HWND child = GetWindow(window, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT))
        children.push_back(child);
    return children;
}

// The child with this id (0xFFFF and -1 name the same control), or of this class; nullptr if none.
HWND Child(HWND window, int id, const std::string& className = "")
{
    for (HWND child : ChildrenOf(window))
        if (className.empty() ? (GetDlgCtrlID(child) & 0xFFFF) == (id & 0xFFFF) : ClassOf(child) == className)
            return child;
    return nullptr;
}

HWND NeedChild(HWND window, int id, const std::string& className = "")
{
    if (HWND child = Child(window, id, className))
        return child;
    throw Failure{"no control " + (className.empty() ? std::to_string(id) : className) + " in " + ClassOf(window)};
}

// The system's box carries its icon as a static of its own id (1088 under Wine, 20 under Windows)
// beside the text static 0xFFFF; the setup's dialogs use neither id.
bool IsBox(HWND window)
{
    return ClassOf(window) == "#32770" && Child(window, 0xFFFF) && (Child(window, 1088) || Child(window, 20));
}

std::string KindOf(HWND window)
{
    if (ClassOf(window) != "#32770")
        return "window";
    if (IsBox(window))
        return "box";
    const std::pair<int, const char*> kinds[] = {{IDC_TERMS_LIST, "welcome"}, {IDC_DEST_EDIT, "dest"},
                                                 {IDC_STATUS, "progress"}};
    for (auto [id, kind] : kinds)
        if (Child(window, id))
            return kind;
    return Child(window, IDYES) && Child(window, IDNO) ? "prompt" : "window";
}

Fields Describe(HWND window)
{
    const std::string kind = KindOf(window), title = TextOf(window);
    if (kind == "box") {
        HWND owner = GetWindow(window, GW_OWNER);
        std::string of = owner ? KindOf(owner) : "none";
        if (of == "progress")
            of += ":" + TextOf(Child(owner, IDC_STATUS));
        else if (of == "box" || of == "window")
            of = "window:" + TextOf(owner);
        return {kind, title, TextOf(NeedChild(window, 0xFFFF)), of};
    }
    if (kind == "welcome") {
        HWND list = NeedChild(window, IDC_TERMS_LIST);
        Fields lines;
        for (LRESULT line = 0, count = Send(list, LB_GETCOUNT); line < count; ++line)
            lines.push_back(TextOf(list, static_cast<int>(line)));
        return {kind, title, TextOf(NeedChild(window, IDC_WELCOME_TEXT)), Joined(lines, "\n")};
    }
    if (kind == "prompt")
        return {kind, title, TextOf(NeedChild(window, 0, "Static")), TextOf(NeedChild(window, IDYES)),
                TextOf(NeedChild(window, IDNO))};
    if (kind == "dest")
        return {kind, title, TextOf(NeedChild(window, 0, "Static")), TextOf(NeedChild(window, IDC_DEST_EDIT))};
    return {"window", ClassOf(window), title};
}

// A window's description added to a line; a window that went while read says why instead.
void AddDescription(Fields& fields, HWND window)
{
    try {
        Fields described = Describe(window);
        fields.insert(fields.end(), described.begin(), described.end());
    } catch (const Failure& failure) {
        fields.push_back("(" + failure.why + ")");
    }
}

struct Search {
    DWORD processId;  // 0: any process
    std::vector<HWND> found;
};

BOOL CALLBACK CollectVisible(HWND window, LPARAM context)
{
    auto* search = reinterpret_cast<Search*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (IsWindowVisible(window) && (search->processId == 0 || owner == search->processId))
        search->found.push_back(window);
    return TRUE;
}

// The visible top-level windows of a process, in Z order.
std::vector<HWND> Windows(DWORD id)
{
    Search search{id, {}};
    EnumWindows(CollectVisible, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool Running() { return process != nullptr && WaitForSingleObject(process, 0) == WAIT_TIMEOUT; }
bool Gone(HWND window) { return !IsWindow(window) || !IsWindowVisible(window); }
bool Answered(HWND window) { return std::find(answered.begin(), answered.end(), window) != answered.end(); }

// The next window to answer: of the process under test, no progress dialog, not answered before.
HWND NextWindow()
{
    for (HWND window : Windows(processId))
        if (!Answered(window) && KindOf(window) != "progress")
            return window;
    return nullptr;
}

// ---- Acting on windows -----------------------------------------------------------------------------

// BM_CLICK posted, as a mouse click would press the button.
void Press(HWND window, int id)
{
    if (!PostMessageW(NeedChild(window, id), BM_CLICK, 0, 0))
        throw Failure{"could not post a click to button " + std::to_string(id) + ": " + ErrorText(GetLastError())};
}

// Esc to a control of the dialog, so that the dialog manager turns it into IDCANCEL.
void PressEscape(HWND dialog)
{
    HWND target = GetWindow(dialog, GW_CHILD);
    if (target == nullptr)
        throw Failure{"no control to take Esc in " + ClassOf(dialog)};
    LPARAM down = 1 | (0x01 << 16);  // repeat count 1, the scan code of Esc; the release bits on up
    PostMessageW(target, WM_KEYDOWN, VK_ESCAPE, down);
    PostMessageW(target, WM_KEYUP, VK_ESCAPE, down | (1u << 30) | (1u << 31));
}

// The folder browser's tree. TVM_GETITEMW is not marshalled between processes, so the request and
// the item's text go through a page of the setup's own memory.
struct Tree {
    HWND tree;
    HANDLE setup = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, processId);
    BYTE* page = setup ? static_cast<BYTE*>(VirtualAllocEx(setup, nullptr, 4096, MEM_COMMIT, PAGE_READWRITE)) : nullptr;
    ~Tree()
    {
        if (page != nullptr)
            VirtualFreeEx(setup, page, 0, MEM_RELEASE);
        if (setup != nullptr)
            CloseHandle(setup);
    }
    std::string Text(HTREEITEM item) const
    {
        TVITEMW request = {};
        request.mask = TVIF_TEXT;
        request.hItem = item;
        request.pszText = reinterpret_cast<LPWSTR>(page + 1024);
        request.cchTextMax = 512;
        wchar_t text[513] = {};
        if (page == nullptr || !WriteProcessMemory(setup, page, &request, sizeof(request), nullptr) ||
            !Send(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(page)) ||
            !ReadProcessMemory(setup, page + 1024, text, 512 * sizeof(wchar_t), nullptr))
            throw Failure{"the browser's tree did not give an item's text"};
        return Utf8(text);
    }
    // The browser fills a folder's level when it is first expanded.
    std::vector<HTREEITEM> Below(HTREEITEM item) const
    {
        Send(tree, TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(item));
        std::vector<HTREEITEM> items;
        for (LRESULT child = Send(tree, TVM_GETNEXTITEM, TVGN_CHILD, reinterpret_cast<LPARAM>(item)); child != 0;
             child = Send(tree, TVM_GETNEXTITEM, TVGN_NEXT, child))
            items.push_back(reinterpret_cast<HTREEITEM>(child));
        return items;
    }
};

// Drive Z: is the entry "label (Z:)" below one of the root's children; then each folder of the path.
void Pick(HWND browser, const std::string& path)
{
    Tree tree{NeedChild(browser, 0, "SysTreeView32")};
    HTREEITEM item = nullptr;
    for (HTREEITEM place : tree.Below(reinterpret_cast<HTREEITEM>(Send(tree.tree, TVM_GETNEXTITEM, TVGN_ROOT)))) {
        for (HTREEITEM drive : tree.Below(place)) {
            std::string text = tree.Text(drive);
            if (item == nullptr && text.size() >= 4 && text.compare(text.size() - 4, 4, "(Z:)") == 0)
                item = drive;
        }
        if (item != nullptr)
            break;
    }
    if (item == nullptr)
        throw Failure{"no drive Z: in the browser's tree"};
    const std::string rest = path.rfind("Z:\\", 0) == 0 ? path.substr(3) : path;
    for (size_t at = 0, end; at < rest.size(); at = end + 1) {
        end = std::min(rest.find('\\', at), rest.size());
        const std::string name = rest.substr(at, end - at);
        if (name.empty())
            continue;
        HTREEITEM found = nullptr;
        for (HTREEITEM child : tree.Below(item))
            if (found == nullptr && tree.Text(child) == name)
                found = child;
        if (found == nullptr)
            throw Failure{"no folder " + name + " of " + path + " in the browser's tree"};
        item = found;
    }
    // The selection a click on the item would make; the browser hears of it as a user's change.
    if (!Send(tree.tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(item)))
        throw Failure{"the tree did not select " + path};
}

// The browse button: the folder browser's texts, PATH picked in its tree or cancel, the edit box after.
void Browse(HWND chooser, const std::string& path)
{
    Press(chooser, IDC_BROWSE);
    HWND browser = nullptr;
    if (!WaitUntil([&] {
            for (HWND window : Windows(processId))
                browser = window != chooser && !Answered(window) && ClassOf(window) == "#32770" ? window : browser;
            return browser != nullptr;
        }))
        throw Failure{"no folder browser came"};
    answered.push_back(browser);
    Fields texts;
    for (HWND child : ChildrenOf(browser))
        if (ClassOf(child) == "Static")
            texts.push_back(TextOf(child));
    Print({"browser", Joined(texts, "|")});
    if (path != "cancel")
        Pick(browser, path);
    Press(browser, path == "cancel" ? IDCANCEL : IDOK);
    if (!WaitUntil([&] { return Gone(browser); }))
        throw Failure{"the folder browser did not go"};
    Print({"edit", TextOf(NeedChild(chooser, IDC_DEST_EDIT))});
}

// Messages posted to one thread are taken in order: once a later one has been handled, so has
// the Esc before it. The marker is the No button's pushed look, set and then cleared.
void EscapeThenNo(HWND prompt)
{
    PressEscape(prompt);
    HWND no = NeedChild(prompt, IDNO);
    PostMessageW(no, BM_SETSTATE, TRUE, 0);
    if (!WaitUntil([&] { return !IsWindow(no) || (Send(no, BM_GETSTATE) & BST_PUSHED); }))
        throw Failure{"the prompt did not take its input"};
    PostMessageW(no, BM_SETSTATE, FALSE, 0);
    Print({"after-esc", Gone(prompt) ? "0" : "1", std::to_string(Windows(processId).size())});
    Press(prompt, IDNO);
}

// A box owned by the progress dialog: the dialog is tried every way to end it, then the box is OK'd.
void Poke(HWND box)
{
    HWND progress = GetWindow(box, GW_OWNER);
    if (progress == nullptr)
        throw Failure{"the box has no owner"};
    LONG style = GetWindowLongW(progress, GWL_STYLE);
    int buttons = 0;
    for (HWND child : ChildrenOf(progress))
        buttons += ClassOf(child) == "Button" ? 1 : 0;
    Print({"progress", TextOf(progress), (style & WS_SYSMENU) ? "1" : "0",
           (style & WS_CAPTION) == WS_CAPTION ? "1" : "0", std::to_string(buttons)});
    PressEscape(progress);
    // The cancel command and a close, a second start command (its private one) and stray private messages.
    const std::pair<UINT, WPARAM> posts[] = {{WM_COMMAND, IDCANCEL}, {WM_SYSCOMMAND, SC_CLOSE}, {WM_CLOSE, 0},
                                             {WM_COMMAND, ID_START_EXTRACTION}, {WM_APP, 0}, {WM_APP + 1, 0},
                                             {WM_APP + 2, 0}, {WM_APP + 3, 0}};
    for (auto [message, wParam] : posts)
        PostMessageW(progress, message, wParam, 0);
    Press(box, IDOK);
}

void Act(HWND window, const std::string& action)
{
    const std::map<std::string, int> buttons{{"ok", IDOK}, {"cancel", IDCANCEL}, {"yes", IDYES}, {"no", IDNO}};
    if (buttons.count(action))
        Press(window, buttons.at(action));
    else if (action == "esc")
        PressEscape(window);
    else if (action == "esc-no")
        EscapeThenNo(window);
    else if (action == "poke")
        Poke(window);
    else if (action.rfind("type:", 0) == 0)
        Send(NeedChild(window, IDC_DEST_EDIT), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(Wide(action.substr(5)).c_str()));
    else if (action.rfind("browse:", 0) == 0)
        Browse(window, action.substr(7));
    else if (action != "none")
        throw Failure{"unknown action " + action};
}

void Answer(const std::string& actions)
{
    HWND window = nullptr;
    if (!WaitUntil([&] { return (window = NextWindow()) != nullptr || !Running(); })) {
        Fields fields{"timeout"};
        for (HWND shown : Windows(processId))
            AddDescription(fields, shown);
        return Print(fields);
    }
    if (window == nullptr)
        return Print({"gone"});
    answered.push_back(window);
    Print(Describe(window));
    std::string last;
    for (size_t at = 0, end = 0; end < actions.size(); at = end + 1) {
        end = std::min(actions.find('+', at), actions.size());
        Act(window, last = actions.substr(at, end - at));
    }
    // Typed or browsed with nothing after it: then OK, as a person would go on.
    if (last.rfind("type:", 0) == 0 || last.rfind("browse:", 0) == 0)
        Press(window, IDOK);
}

// ---- Processes ----------------------------------------------------------------------------------------

PROCESS_INFORMATION Start(const std::string& exe, const std::string& commandLine, DWORD flags, const std::string& cwd)
{
    std::wstring line = Wide(commandLine);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(exe.empty() ? nullptr : Wide(exe).c_str(), line.data(), nullptr, nullptr, FALSE, flags,
                        nullptr, cwd.empty() ? nullptr : Wide(cwd).c_str(), &startup, &info))
        throw Failure{"could not start " + commandLine + ": " + ErrorText(GetLastError())};
    return info;
}

void CALLBACK OnCreate(HWINEVENTHOOK, DWORD, HWND window, LONG object, LONG, DWORD, DWORD)
{
    // Wine hands creations over asynchronously: a window may be gone before it is looked at.
    if (window == nullptr || object != OBJID_WINDOW || (IsWindow(window) && GetAncestor(window, GA_ROOT) != window))
        return;
    wchar_t name[256] = {}, title[512] = {};
    GetClassNameW(window, name, 256);
    GetWindowTextW(window, title, 512);  // the text the system keeps: nothing is sent to the setup
    created.push_back(Utf8(name) + ":" + Utf8(title));
}

// A process still running from the run before is killed: its windows would pass for the next one's.
void EndRun()
{
    if (hook != nullptr)
        UnhookWinEvent(hook);
    if (process != nullptr) {
        Ended(process, 0);
        CloseHandle(process);
    }
    hook = nullptr;
    process = nullptr;
    processId = 0;
}

void Run(const std::string& exe, const std::string& arguments, const std::string& cwd)
{
    EndRun();
    created.clear();
    answered.clear();
    // Suspended until the hook is set, so that its very first window is counted.
    PROCESS_INFORMATION info = Start(exe, "\"" + exe + "\"" + (arguments.empty() ? "" : " " + arguments),
                                     CREATE_SUSPENDED, cwd != "-" ? cwd : exe.substr(0, exe.find_last_of('\\') + 1));
    process = info.hProcess;
    processId = info.dwProcessId;
    hook = SetWinEventHook(EVENT_OBJECT_CREATE, EVENT_OBJECT_CREATE, nullptr, OnCreate, processId, 0,
                           WINEVENT_OUTOFCONTEXT);
    ResumeThread(info.hThread);
    CloseHandle(info.hThread);
    if (hook == nullptr)
        throw Failure{"could not watch its windows: " + ErrorText(GetLastError())};
}

void WaitExit(DWORD timeoutMs)
{
    if (process == nullptr)
        throw Failure{"no process was run"};
    // What comes unasked is written down and answered so that the run can end: a box OK, a dialog Cancel.
    bool ended = WaitUntil([] {
        for (HWND window = NextWindow(); window != nullptr; window = NextWindow()) {
            answered.push_back(window);
            Fields fields{"unexpected"};
            AddDescription(fields, window);
            Print(fields);
            HWND button = IsBox(window) && Child(window, IDOK) ? Child(window, IDOK) : Child(window, IDCANCEL);
            PostMessageW(button ? button : window, button ? BM_CLICK : WM_CLOSE, 0, 0);
        }
        return !Running();
    }, timeoutMs);
    Fields fields{"exit", "timeout"};
    DWORD status = 0;
    if (ended && GetExitCodeProcess(process, &status))
        fields[1] = std::to_string(status);
    for (HWND shown : ended ? std::vector<HWND>{} : Windows(processId))
        AddDescription(fields, shown);
    Ended(process, 0);
    Print(fields);
    WaitUntil([] { return true; });  // the last creations still on their way
    fields = {"created", std::to_string(created.size())};
    fields.insert(fields.end(), created.begin(), created.end());
    Print(fields);
}

// Esc and a close at once; then WM_NULL every 10 ms tells whether the dialog's thread reads its messages.
void Probe()
{
    HWND progress = nullptr;
    WaitUntil([&] {
        for (HWND window : Windows(processId))
            progress = KindOf(window) == "progress" ? window : progress;
        return progress != nullptr || !Running();
    });
    if (progress == nullptr)
        throw Failure{"no progress dialog came"};
    PressEscape(progress);
    PostMessageW(progress, WM_CLOSE, 0, 0);
    DWORD slowest = 0;
    int probes = 0, unanswered = 0;
    WaitUntil([&] {
        DWORD start = GetTickCount();
        DWORD_PTR result = 0;
        bool answer = SendMessageTimeoutW(progress, WM_NULL, 0, 0, SMTO_NORMAL | SMTO_ABORTIFHUNG, 2000, &result);
        if (!IsWindow(progress))
            return true;  // a dialog that ended while asked has not failed to answer
        ++probes;
        unanswered += answer ? 0 : 1;
        slowest = std::max(slowest, GetTickCount() - start);
        return false;
    }, 120000, 10);
    Print({"probe", std::to_string(probes), std::to_string(unanswered), std::to_string(slowest),
           IsWindow(progress) ? "0" : "1"});
}

// A program's window, of any process, named and then closed as its user would.
void WindowOf(const std::string& title)
{
    HWND found = nullptr;
    WaitUntil([&] {
        for (HWND window : Windows(0)) {
            wchar_t text[512] = {};
            GetWindowTextW(window, text, 512);  // no message sent: a hung program does not hold us
            found = Utf8(text) == title ? window : found;
        }
        return found != nullptr;
    });
    if (found == nullptr)
        return Print({"program", "(none)", "0"});
    DWORD id = 0;
    GetWindowThreadProcessId(found, &id);
    HANDLE program = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE | PROCESS_TERMINATE, FALSE, id);
    wchar_t image[1024] = {};
    DWORD size = 1024;
    if (program == nullptr || !QueryFullProcessImageNameW(program, 0, image, &size))
        image[0] = L'\0';
    Print({"program", Utf8(image), id == processId ? "1" : "0"});
    PostMessageW(found, WM_CLOSE, 0, 0);
    if (program != nullptr) {
        Ended(program);
        CloseHandle(program);
    }
}

void Exec(const std::string& commandLine, const std::string& cwd)
{
    PROCESS_INFORMATION info = Start("", commandLine, CREATE_NO_WINDOW, cwd == "-" ? "" : cwd);
    CloseHandle(info.hThread);
    DWORD status = 0;
    bool ended = Ended(info.hProcess);
    GetExitCodeProcess(info.hProcess, &status);
    CloseHandle(info.hProcess);
    Print({"exec", ended ? std::to_string(status) : "timeout"});
}

// ---- Registry ------------------------------------------------------------------------------------------

struct Key {
    HKEY root;
    REGSAM view;
    std::wstring path;
};

Key KeyOf(const Fields& step)
{
    const std::map<std::string, REGSAM> views{{"32", KEY_WOW64_32KEY}, {"64", KEY_WOW64_64KEY}, {"-", 0}};
    if (!views.count(step[1]) || (step[2] != "HKLM" && step[2] != "HKCU"))
        throw Failure{"no view " + step[1] + " or root " + step[2]};
    return {step[2] == "HKLM" ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, views.at(step[1]), Wide(step[3])};
}

// The key's access as the DACL gives it; a missing key is made first when asked, else left missing.
void SetAccess(const Key& key, const wchar_t* dacl, bool make)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    HKEY handle = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(dacl, SDDL_REVISION_1, &descriptor, nullptr))
        throw Failure{"could not make a descriptor: " + ErrorText(GetLastError())};
    LONG result = make ? RegCreateKeyExW(key.root, key.path.c_str(), 0, nullptr, 0, WRITE_DAC | key.view, nullptr,
                                         &handle, nullptr)
                       : RegOpenKeyExW(key.root, key.path.c_str(), 0, WRITE_DAC | key.view, &handle);
    if (result == ERROR_SUCCESS) {
        result = RegSetKeySecurity(handle, DACL_SECURITY_INFORMATION, descriptor);
        RegCloseKey(handle);
    }
    LocalFree(descriptor);
    if (result != ERROR_SUCCESS && (make || result != ERROR_FILE_NOT_FOUND))
        throw Failure{"could not set the key's access: " + ErrorText(static_cast<DWORD>(result))};
}

void RegSet(const Key& key, const std::string& name, const std::string& type, const std::string& value)
{
    const std::map<std::string, DWORD> types{{"sz", REG_SZ}, {"expand", REG_EXPAND_SZ}, {"dword", REG_DWORD},
                                             {"sz-noterm", REG_SZ}};
    if (!types.count(type))
        throw Failure{"no type " + type};
    std::wstring text = Wide(value), wideName = Wide(name);
    DWORD number = type == "dword" ? static_cast<DWORD>(std::stoul(value)) : 0;
    const void* data = type == "dword" ? static_cast<const void*>(&number) : text.c_str();
    // sz-noterm: the string stored without its terminating NUL, as a careless writer leaves it.
    size_t size = type == "dword" ? sizeof(number) : (text.size() + (type == "sz-noterm" ? 0 : 1)) * sizeof(wchar_t);
    HKEY handle = nullptr;
    LONG result = RegCreateKeyExW(key.root, key.path.c_str(), 0, nullptr, 0, KEY_SET_VALUE | key.view, nullptr,
                                  &handle, nullptr);
    if (result == ERROR_SUCCESS) {
        result = RegSetValueExW(handle, name == "@" ? nullptr : wideName.c_str(), 0, types.at(type),
                                static_cast<const BYTE*>(data), static_cast<DWORD>(size));
        RegCloseKey(handle);
    }
    if (result != ERROR_SUCCESS)
        throw Failure{"could not set the value: " + ErrorText(static_cast<DWORD>(result))};
}

void RegDel(const Key& key)
{
    SetAccess(key, L"D:(A;;KA;;;WD)", false);
    // RegDeleteTreeW takes no view: it empties the key through a handle opened in the view.
    HKEY handle = nullptr;
    LONG result = RegOpenKeyExW(key.root, key.path.c_str(), 0,
                                DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | KEY_SET_VALUE | key.view, &handle);
    if (result == ERROR_SUCCESS) {
        result = RegDeleteTreeW(handle, nullptr);
        RegCloseKey(handle);
    }
    if (result == ERROR_SUCCESS)
        result = RegDeleteKeyExW(key.root, key.path.c_str(), key.view, 0);
    if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND)
        throw Failure{"could not delete the key: " + ErrorText(static_cast<DWORD>(result))};
}

// A string as stored (without trailing NULs), a DWORD in decimal; (none) when missing or of another type.
std::string RegGet(const Key& key, const std::string& name)
{
    HKEY handle = nullptr;
    if (RegOpenKeyExW(key.root, key.path.c_str(), 0, KEY_QUERY_VALUE | key.view, &handle) != ERROR_SUCCESS)
        return "(none)";
    std::wstring wideName = Wide(name);
    const wchar_t* named = name == "@" ? nullptr : wideName.c_str();
    DWORD type = 0, size = 0;
    std::string value = "(none)";
    std::vector<BYTE> data;
    if (RegQueryValueExW(handle, named, nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
        data.resize(size + sizeof(wchar_t));
        if (RegQueryValueExW(handle, named, nullptr, &type, data.data(), &size) != ERROR_SUCCESS)
            type = REG_NONE;
        std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), size / sizeof(wchar_t));
        text.erase(text.find_last_not_of(L'\0') + 1);
        if (type == REG_SZ || type == REG_EXPAND_SZ)
            value = Utf8(text);
        else if (type == REG_DWORD && size == sizeof(DWORD))
            value = std::to_string(*reinterpret_cast<const DWORD*>(data.data()));
    }
    RegCloseKey(handle);
    return value;
}

// ---- The image, read as data ------------------------------------------------------------------------------

INT_PTR CALLBACK LeaveToDialogManager(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

// An executable mapped as data, nothing of it run, and a dialog made from one of its templates by
// the dialog manager alone: the image stays loaded while the dialog lives.
struct Image {
    HMODULE module;
    HWND dialog = nullptr;
    explicit Image(const std::string& exe) : module(LoadLibraryExW(Wide(exe).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE))
    {
        if (module == nullptr)
            throw Failure{"could not load " + exe + " as data: " + ErrorText(GetLastError())};
    }
    ~Image()
    {
        if (dialog != nullptr)
            DestroyWindow(dialog);
        FreeLibrary(module);
    }
    HWND Make(int id) { return dialog = CreateDialogParamW(module, MAKEINTRESOURCEW(id), nullptr, LeaveToDialogManager, 0); }
    // LoadStringW with no room hands back a pointer to the text in place, with its length.
    std::wstring String(int id) const
    {
        const wchar_t* text = nullptr;
        int length = LoadStringW(module, static_cast<UINT>(id), reinterpret_cast<LPWSTR>(&text), 0);
        return length > 0 && text != nullptr ? std::wstring(text, static_cast<size_t>(length)) : L"";
    }
};

void Template(const std::string& exe, int id)
{
    Image image(exe);
    if (image.Make(id) == nullptr)
        return Print({"template", std::to_string(id), "(none)"});
    char style[16];
    std::snprintf(style, sizeof(style), "%08lx", static_cast<unsigned long>(GetWindowLongW(image.dialog, GWL_STYLE)));
    Fields fields{"template", std::to_string(id), style};
    for (HWND child : ChildrenOf(image.dialog))
        fields.push_back(std::to_string(GetDlgCtrlID(child) & 0xFFFF));
    Print(fields);
}

// The terms' lines as the welcome list shows them, each measured with the list's font.
void ListWidth(const std::string& exe)
{
    Image image(exe);
    if (image.Make(IDD_WELCOME) == nullptr)
        throw Failure{"no welcome dialog template"};
    HWND list = NeedChild(image.dialog, IDC_TERMS_LIST);
    const std::wstring terms = image.String(IDS_TERMS);
    std::vector<std::wstring> lines;
    for (size_t at = 0, end; at < terms.size() && (end = std::min(terms.find(L'\n', at), terms.size())) > at; at = end + 1)
        lines.push_back(terms.substr(at, end - at));
    for (const std::wstring& line : lines)
        SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.c_str()));
    RECT inside = {};
    GetClientRect(list, &inside);  // after the lines: beside the scroll bar they bring
    HDC dc = GetDC(list);
    HGDIOBJ kept = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(list, WM_GETFONT, 0, 0)));
    LONG widest = 0;
    for (const std::wstring& line : lines) {
        SIZE extent = {};
        GetTextExtentPoint32W(dc, line.c_str(), static_cast<int>(line.size()), &extent);
        widest = std::max(widest, extent.cx);
    }
    SelectObject(dc, kept);
    ReleaseDC(list, dc);
    Print({"listwidth", std::to_string(widest), std::to_string(inside.right), std::to_string(lines.size())});
}

// ---- Steps ----------------------------------------------------------------------------------------------------

using Action = std::function<void(const Fields&)>;
// Each step by its name: its fields (with the name; a step of two counts also takes one fewer) and what it does.
const std::map<std::string, std::pair<size_t, Action>> kSteps{
    {"reg-set", {7, [](const Fields& s) { RegSet(KeyOf(s), s[4], s[5], s[6]); }}},
    {"reg-del", {4, [](const Fields& s) { RegDel(KeyOf(s)); }}},
    {"reg-deny", {4, [](const Fields& s) { SetAccess(KeyOf(s), L"D:(D;;0x6;;;WD)(A;;KA;;;WD)", true); }}},
    {"reg-get", {5, [](const Fields& s) { Print({"reg", s[1], s[3], s[4], RegGet(KeyOf(s), s[4])}); }}},
    {"hold", {2, [](const Fields& s) {
         HANDLE file = CreateFileW(Wide(s[1]).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
         if (file == INVALID_HANDLE_VALUE)
             throw Failure{"could not open it: " + ErrorText(GetLastError())};
         held.push_back(file);
     }}},
    {"run", {4, [](const Fields& s) { Run(s[1], s[2], s[3]); }}},
    {"answer", {2, [](const Fields& s) { Answer(s[1]); }}},
    {"wait-exit", {2, [](const Fields& s) { WaitExit(s.size() > 1 ? static_cast<DWORD>(std::stoul(s[1])) : kWaitMs); }}},
    {"probe", {1, [](const Fields&) { Probe(); }}},
    {"window-of", {2, [](const Fields& s) { WindowOf(s[1]); }}},
    {"exec", {3, [](const Fields& s) { Exec(s[1], s[2]); }}},
    {"sleep", {2, [](const Fields& s) { WaitUntil([] { return false; }, static_cast<DWORD>(std::stoul(s[1]))); }}},
    {"string", {3, [](const Fields& s) {
         std::string text = Utf8(Image(s[1]).String(std::stoi(s[2])));
         Print({"string", s[2], text.empty() ? "(none)" : text});
     }}},
    {"template", {3, [](const Fields& s) { Template(s[1], std::stoi(s[2])); }}},
    {"listwidth", {2, [](const Fields& s) { ListWidth(s[1]); }}},
    {"windows", {1, [](const Fields&) {
         BOOL wow64 = FALSE;
         Print({"windows", IsWow64Process(GetCurrentProcess(), &wow64) && wow64 ? "64" : "32"});
         Print({"acp", std::to_string(GetACP())});
     }}},
};

void Step(const Fields& step)
{
    auto found = kSteps.find(step[0]);
    if (found == kSteps.end())
        throw Failure{"unknown step"};
    const size_t fields = found->second.first;
    if (step.size() != fields && !(step[0] == "wait-exit" && step.size() == 1))
        throw Failure{"expected " + std::to_string(fields) + " fields"};
    found->second.second(step);
}

}  // namespace

int main()
{
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == nullptr || count != 3) {
        std::fputs("usage: agent.exe STEPS OUT\n", stderr);
        return 2;
    }
    HANDLE file = CreateFileW(arguments[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    std::string steps;
    char chunk[4096];
    for (DWORD got = 0; file != INVALID_HANDLE_VALUE && ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got;)
        steps.append(chunk, got);
    if (file == INVALID_HANDLE_VALUE || (out = _wfopen(arguments[2], L"wb")) == nullptr)
        return 2;
    CloseHandle(file);
    for (size_t at = 0, end; at < steps.size(); at = end + 1) {
        end = std::min(steps.find('\n', at), steps.size());
        std::string line = steps.substr(at, end - at - (end > at && steps[end - 1] == '\r' ? 1 : 0));
        Fields step;
        for (size_t from = 0, tab = 0; !line.empty() && tab < line.size(); from = tab + 1) {
            tab = std::min(line.find('\t', from), line.size());
            step.push_back(line.substr(from, tab - from));
        }
        try {
            if (!step.empty())
                Step(step);
        } catch (const Failure& failure) {
            Print({"error", step[0], failure.why});
        } catch (const std::exception& error) {
            Print({"error", step[0], error.what()});
        }
    }
    EndRun();
    for (HANDLE handle : held)
        CloseHandle(handle);
    std::fclose(out);
    return 0;
}
