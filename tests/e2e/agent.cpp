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
#include <string>
#include <vector>

#include "resource.h"

namespace {

using Fields = std::vector<std::string>;
constexpr DWORD kWaitMs = 20000;  // generous: a first window under Wine on a loaded machine can take seconds
struct Failure { std::string why; };  // a step that cannot be done: its line says why, and the next step runs

FILE* out = nullptr;
HANDLE process = nullptr;  // the process under test, from the last run
DWORD processId = 0;
HWINEVENTHOOK hook = nullptr;
Fields created;  // class:title of each top-level window of the process created since its run
std::vector<HWND> answered;
std::vector<HANDLE> held;

std::string Utf8(const std::wstring& wide) {
    std::string text(wide.size() * 3, '\0');
    text.resize(WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), text.data(), int(text.size()), 0, 0));
    return text;
}

std::wstring Wide(const std::string& utf8) {
    std::wstring text(utf8.size(), L'\0');
    text.resize(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), text.data(), int(text.size())));
    return text;
}

std::string ErrorText(DWORD code) { return "error " + std::to_string(code); }
bool Starts(const std::string& text, const std::string& head) { return text.rfind(head, 0) == 0; }
DWORD Number(const std::string& text) { return static_cast<DWORD>(std::stoul(text)); }

// The pieces of a text cut at every `at`, empty ones too.
Fields Split(const std::string& text, char at) {
    Fields pieces{""};
    for (char c : text) {
        if (c == at) pieces.emplace_back();
        else pieces.back() += c;
    }
    return pieces;
}

std::string Joined(const Fields& pieces, const std::string& between) {
    std::string text;
    for (const std::string& piece : pieces) text += (&piece == &pieces[0] ? "" : between) + piece;
    return text;
}

// One observation: its fields joined by TAB, each with its line breaks and TABs written out.
void Print(const Fields& fields) {
    std::string line;
    for (const std::string& field : fields) {
        line += &field == &fields[0] ? "" : "\t";
        for (char c : field) line += c == '\n' ? "\\n" : c == '\r' ? "\\r" : c == '\t' ? "\\t" : std::string(1, c);
    }
    std::fwrite((line + "\n").data(), 1, line.size() + 1, out);
    std::fflush(out);
}

// The window events come as messages to this thread: every wait pumps them.
bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs = kWaitMs, DWORD pollMs = 20) {
    for (DWORD start = GetTickCount();; MsgWaitForMultipleObjects(0, nullptr, FALSE, pollMs, QS_ALLINPUT)) {
        for (MSG message; PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE);) DispatchMessageW(&message);
        if (done()) return true;
        if (GetTickCount() - start >= timeoutMs) return false;
    }
}

// Whether the process ended within the wait; killed if not.
bool Ended(HANDLE handle, DWORD timeoutMs = kWaitMs) {
    if (WaitUntil([&] { return WaitForSingleObject(handle, 0) != WAIT_TIMEOUT; }, timeoutMs)) return true;
    TerminateProcess(handle, 255);
    WaitForSingleObject(handle, kWaitMs);
    return false;
}

std::string ClassOf(HWND window) {
    wchar_t name[256] = {};
    GetClassNameW(window, name, 256);
    return Utf8(name);
}

// Marshalled to the window's thread, with a bound. No SMTO_ABORTIFHUNG: a window busy for seconds
// loading a locale's fonts is still read.
LRESULT Send(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL, kWaitMs, &result))
        throw Failure{"a " + ClassOf(window) + " did not answer message " + std::to_string(message)};
    return static_cast<LRESULT>(result);
}

// The window's text, or a list box's line: Wine hands either back in UTF-16, so it is read wide.
std::string TextOf(HWND window, int line = -1) {
    const WPARAM index = line < 0 ? 0 : static_cast<WPARAM>(line);
    LRESULT length = std::max<LRESULT>(Send(window, line < 0 ? WM_GETTEXTLENGTH : LB_GETTEXTLEN, index), 0);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    LRESULT copied = Send(window, line < 0 ? WM_GETTEXT : LB_GETTEXT, line < 0 ? text.size() : index,
                          reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<size_t>(std::clamp<LRESULT>(copied, 0, length)));
    return Utf8(text);
}

std::vector<HWND> ChildrenOf(HWND window) {
    std::vector<HWND> children;
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) children.push_back(child);
    return children;
}

// The child with this id (0xFFFF and -1 name the same control), or of this class; a Failure if needed and none.
HWND Child(HWND window, int id, const std::string& className = "", bool needed = false) {
    for (HWND child : ChildrenOf(window))
        if (className.empty() ? (GetDlgCtrlID(child) & 0xFFFF) == (id & 0xFFFF) : ClassOf(child) == className)
            return child;
    if (needed)
        throw Failure{"no control " + (className.empty() ? std::to_string(id) : className) + " in " + ClassOf(window)};
    return nullptr;
}
HWND NeedChild(HWND window, int id, const std::string& className = "") { return Child(window, id, className, true); }
std::string ChildText(HWND window, int id, const std::string& className = "") {
    return TextOf(NeedChild(window, id, className));
}

// The system's box carries its icon as a static of its own id (1088 under Wine, 20 under Windows)
// beside the text static 0xFFFF; the setup's dialogs use neither id.
std::string KindOf(HWND window) {
    if (ClassOf(window) != "#32770") return "window";
    if (Child(window, 0xFFFF) && (Child(window, 1088) || Child(window, 20))) return "box";
    return Child(window, IDC_TERMS_LIST) ? "welcome" : Child(window, IDC_DEST_EDIT) ? "dest"
           : Child(window, IDC_STATUS) ? "progress" : Child(window, IDYES) && Child(window, IDNO) ? "prompt" : "window";
}

Fields Describe(HWND window) {
    const std::string kind = KindOf(window), title = TextOf(window);
    if (kind == "box") {
        HWND owner = GetWindow(window, GW_OWNER);
        std::string of = owner ? KindOf(owner) : "none";
        if (of == "progress") of += ":" + ChildText(owner, IDC_STATUS);
        if (of == "box" || of == "window") of = "window:" + TextOf(owner);
        return {kind, title, ChildText(window, 0xFFFF), of};
    }
    if (kind == "welcome") {
        HWND list = NeedChild(window, IDC_TERMS_LIST);
        Fields lines;
        for (LRESULT line = 0, count = Send(list, LB_GETCOUNT); line < count; ++line)
            lines.push_back(TextOf(list, static_cast<int>(line)));
        return {kind, title, ChildText(window, IDC_WELCOME_TEXT), Joined(lines, "\n")};
    }
    if (kind == "dest") return {kind, title, ChildText(window, 0, "Static"), ChildText(window, IDC_DEST_EDIT)};
    if (kind == "prompt")
        return {kind, title, ChildText(window, 0, "Static"), ChildText(window, IDYES), ChildText(window, IDNO)};
    return {"window", ClassOf(window), title};
}

// Descriptions added to a line; a window that went while read says why instead.
void AddDescriptions(Fields& fields, const std::vector<HWND>& windows) {
    for (HWND window : windows) {
        try {
            Fields described = Describe(window);
            fields.insert(fields.end(), described.begin(), described.end());
        } catch (const Failure& failure) {
            fields.push_back("(" + failure.why + ")");
        }
    }
}

BOOL CALLBACK Collect(HWND window, LPARAM found) {
    reinterpret_cast<std::vector<HWND>*>(found)->push_back(window);
    return TRUE;
}

// The visible top-level windows of a process (0: of any), in Z order.
std::vector<HWND> Windows(DWORD id) {
    std::vector<HWND> all, windows;
    EnumWindows(Collect, reinterpret_cast<LPARAM>(&all));
    for (HWND window : all) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (IsWindowVisible(window) && (id == 0 || owner == id)) windows.push_back(window);
    }
    return windows;
}

bool Running() { return process != nullptr && WaitForSingleObject(process, 0) == WAIT_TIMEOUT; }
bool Gone(HWND window) { return !IsWindow(window) || !IsWindowVisible(window); }
bool Answered(HWND window) { return std::find(answered.begin(), answered.end(), window) != answered.end(); }
bool ToAnswer(HWND window) { return !Answered(window) && KindOf(window) != "progress"; }

// The first window of the process (0: of any) that matches, once there; nullptr when none came in
// time or the process ended.
HWND WaitForWindow(DWORD id, const std::function<bool(HWND)>& match) {
    HWND found = nullptr;
    WaitUntil([&] {
        for (HWND window : Windows(id))
            if (found == nullptr && match(window)) found = window;
        return found != nullptr || (id != 0 && !Running());
    });
    return found;
}

// BM_CLICK posted, as a mouse click would press the button.
void Press(HWND window, int id) {
    if (!PostMessageW(NeedChild(window, id), BM_CLICK, 0, 0))
        throw Failure{"could not post a click to button " + std::to_string(id) + ": " + ErrorText(GetLastError())};
}

// Esc to a control of the dialog, so that the dialog manager turns it into IDCANCEL.
void PressEscape(HWND dialog) {
    HWND target = GetWindow(dialog, GW_CHILD);
    LPARAM down = 1 | (0x01 << 16);  // repeat count 1, the scan code of Esc; the release bits on up
    if (!PostMessageW(target, WM_KEYDOWN, VK_ESCAPE, down) ||
        !PostMessageW(target, WM_KEYUP, VK_ESCAPE, down | (1u << 30) | (1u << 31)))
        throw Failure{"could not post Esc to a control of " + ClassOf(dialog)};
}

// The folder browser's tree. TVM_GETITEMW is not marshalled between processes, so the request and
// the item's text go through a page of the setup's own memory.
struct Tree {
    HWND tree;
    HANDLE setup = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, processId);
    BYTE* page = static_cast<BYTE*>(VirtualAllocEx(setup, nullptr, 4096, MEM_COMMIT, PAGE_READWRITE));
    ~Tree() {
        if (page != nullptr) VirtualFreeEx(setup, page, 0, MEM_RELEASE);
        if (setup != nullptr) CloseHandle(setup);
    }
    HTREEITEM Next(HTREEITEM item, UINT relation) const {
        return reinterpret_cast<HTREEITEM>(Send(tree, TVM_GETNEXTITEM, relation, reinterpret_cast<LPARAM>(item)));
    }
    // The first child of the item whose text matches; the browser fills a level when first expanded.
    HTREEITEM Find(HTREEITEM item, const std::function<bool(const std::string&)>& match) const {
        Send(tree, TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(item));
        for (HTREEITEM child = Next(item, TVGN_CHILD); child != nullptr; child = Next(child, TVGN_NEXT)) {
            TVITEMW request = {};
            request.mask = TVIF_TEXT;
            request.hItem = child;
            request.pszText = reinterpret_cast<LPWSTR>(page + 1024);
            request.cchTextMax = 512;
            wchar_t text[513] = {};
            if (page == nullptr || !WriteProcessMemory(setup, page, &request, sizeof(request), nullptr) ||
                !Send(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(page)) ||
                !ReadProcessMemory(setup, page + 1024, text, 512 * sizeof(wchar_t), nullptr))
                throw Failure{"the browser's tree did not give an item's text"};
            if (match(Utf8(text))) return child;
        }
        return nullptr;
    }
};

// Drive Z: is the entry "label (Z:)" below one of the root's children; then each folder of the path.
void Pick(HWND browser, const std::string& path) {
    Tree tree{NeedChild(browser, 0, "SysTreeView32")};
    HTREEITEM item = nullptr;
    HTREEITEM place = tree.Find(tree.Next(nullptr, TVGN_ROOT), [](const std::string&) { return true; });
    for (; place != nullptr && item == nullptr; place = tree.Next(place, TVGN_NEXT))
        item = tree.Find(place, [](const std::string& text) {
            return text.size() >= 4 && text.compare(text.size() - 4, 4, "(Z:)") == 0;
        });
    if (item == nullptr) throw Failure{"no drive Z: in the browser's tree"};
    for (const std::string& name : Split(Starts(path, "Z:\\") ? path.substr(3) : path, '\\'))
        if (!name.empty() && !(item = tree.Find(item, [&](const std::string& text) { return text == name; })))
            throw Failure{"no folder " + name + " of " + path + " in the browser's tree"};
    // The selection a click on the item would make; the browser hears of it as a user's change.
    if (!Send(tree.tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(item)))
        throw Failure{"the tree did not select " + path};
}

// The browse button: the folder browser's texts, PATH picked in its tree or cancel, the edit box after.
void Browse(HWND chooser, const std::string& path) {
    Press(chooser, IDC_BROWSE);
    HWND browser = WaitForWindow(processId, [&](HWND window) {
        return window != chooser && !Answered(window) && ClassOf(window) == "#32770";
    });
    if (browser == nullptr) throw Failure{"no folder browser came"};
    answered.push_back(browser);
    Fields texts;
    for (HWND child : ChildrenOf(browser))
        if (ClassOf(child) == "Static") texts.push_back(TextOf(child));
    Print({"browser", Joined(texts, "|")});
    if (path != "cancel") Pick(browser, path);
    Press(browser, path == "cancel" ? IDCANCEL : IDOK);
    if (!WaitUntil([&] { return Gone(browser); })) throw Failure{"the folder browser did not go"};
    Print({"edit", ChildText(chooser, IDC_DEST_EDIT)});
}

// Messages posted to one thread are taken in order: once a later one has been handled, so has
// the Esc before it. The marker is the No button's pushed look, set and then cleared.
void EscapeThenNo(HWND prompt) {
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
void Poke(HWND box) {
    HWND progress = GetWindow(box, GW_OWNER);
    if (progress == nullptr) throw Failure{"the box has no owner"};
    LONG style = GetWindowLongW(progress, GWL_STYLE);
    int buttons = 0;
    for (HWND child : ChildrenOf(progress)) buttons += ClassOf(child) == "Button" ? 1 : 0;
    Print({"progress", TextOf(progress), (style & WS_SYSMENU) ? "1" : "0",
           (style & WS_CAPTION) == WS_CAPTION ? "1" : "0", std::to_string(buttons)});
    PressEscape(progress);
    // The cancel command and a close, a second start command (its private one) and stray private messages.
    const std::pair<UINT, WPARAM> posts[] = {{WM_COMMAND, IDCANCEL}, {WM_SYSCOMMAND, SC_CLOSE}, {WM_CLOSE, 0},
                                             {WM_COMMAND, ID_START_EXTRACTION}, {WM_APP, 0}, {WM_APP + 1, 0},
                                             {WM_APP + 2, 0}, {WM_APP + 3, 0}};
    for (auto [message, wParam] : posts) PostMessageW(progress, message, wParam, 0);
    Press(box, IDOK);
}

void Act(HWND window, const std::string& action) {
    const std::map<std::string, int> buttons{{"ok", IDOK}, {"cancel", IDCANCEL}, {"yes", IDYES}, {"no", IDNO}};
    if (buttons.count(action)) Press(window, buttons.at(action));
    else if (action == "esc") PressEscape(window);
    else if (action == "esc-no") EscapeThenNo(window);
    else if (action == "poke") Poke(window);
    else if (Starts(action, "browse:")) Browse(window, action.substr(7));
    else if (Starts(action, "type:"))
        Send(NeedChild(window, IDC_DEST_EDIT), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(Wide(action.substr(5)).c_str()));
    else if (action != "none") throw Failure{"unknown action " + action};
}

void Answer(const std::string& actions) {
    HWND window = WaitForWindow(processId, ToAnswer);
    if (window == nullptr) {
        Fields fields{Running() ? "timeout" : "gone"};
        AddDescriptions(fields, Windows(processId));
        return Print(fields);
    }
    answered.push_back(window);
    Print(Describe(window));
    for (const std::string& action : Split(actions, '+')) Act(window, action);
    // Typed or browsed with nothing after it: then OK, as a person would go on.
    const std::string last = actions.substr(actions.rfind('+') + 1);
    if (Starts(last, "type:") || Starts(last, "browse:")) Press(window, IDOK);
}

PROCESS_INFORMATION Start(const std::string& exe, const std::string& commandLine, DWORD flags, const std::string& cwd) {
    std::wstring line = Wide(commandLine);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(exe.empty() ? nullptr : Wide(exe).c_str(), line.data(), nullptr, nullptr, FALSE, flags,
                        nullptr, cwd.empty() ? nullptr : Wide(cwd).c_str(), &startup, &info))
        throw Failure{"could not start " + commandLine + ": " + ErrorText(GetLastError())};
    return info;
}

// Wine hands creations over asynchronously: a window may be gone before it is looked at.
void CALLBACK OnCreate(HWINEVENTHOOK, DWORD, HWND window, LONG object, LONG, DWORD, DWORD) {
    if (window == nullptr || object != OBJID_WINDOW || (IsWindow(window) && GetAncestor(window, GA_ROOT) != window))
        return;
    wchar_t name[256] = {}, title[512] = {};
    GetClassNameW(window, name, 256);
    GetWindowTextW(window, title, 512);  // the text the system keeps: nothing is sent to the setup
    created.push_back(Utf8(name) + ":" + Utf8(title));
}

// A process still running from the run before is killed: its windows would pass for the next one's.
void EndRun() {
    if (hook != nullptr) UnhookWinEvent(hook);
    if (process != nullptr) {
        Ended(process, 0);
        CloseHandle(process);
    }
    hook = nullptr;
    process = nullptr;
}

void Run(const std::string& exe, const std::string& arguments, const std::string& cwd) {
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
    if (hook == nullptr) throw Failure{"could not watch its windows: " + ErrorText(GetLastError())};
}

void WaitExit(DWORD timeoutMs) {
    // What comes unasked is written down and answered so that the run can end: a box OK, a dialog Cancel.
    bool ended = WaitUntil([] {
        for (HWND window : Windows(processId)) {
            if (!ToAnswer(window)) continue;
            answered.push_back(window);
            Fields fields{"unexpected"};
            AddDescriptions(fields, {window});
            Print(fields);
            HWND button = KindOf(window) == "box" && Child(window, IDOK) ? Child(window, IDOK) : Child(window, IDCANCEL);
            PostMessageW(button ? button : window, button ? BM_CLICK : WM_CLOSE, 0, 0);
        }
        return !Running();
    }, timeoutMs);
    DWORD status = 0;
    Fields fields{"exit", ended && GetExitCodeProcess(process, &status) ? std::to_string(status) : "timeout"};
    AddDescriptions(fields, ended ? std::vector<HWND>{} : Windows(processId));
    Ended(process, 0);
    Print(fields);
    WaitUntil([] { return true; });  // the last creations still on their way
    fields = {"created", std::to_string(created.size())};
    fields.insert(fields.end(), created.begin(), created.end());
    Print(fields);
}

// Esc and a close at once; then WM_NULL every 10 ms tells whether the dialog's thread reads its messages.
void Probe() {
    HWND progress = WaitForWindow(processId, [](HWND window) { return KindOf(window) == "progress"; });
    if (progress == nullptr) throw Failure{"no progress dialog came"};
    PressEscape(progress);
    PostMessageW(progress, WM_CLOSE, 0, 0);
    DWORD slowest = 0;
    int probes = 0, unanswered = 0;
    WaitUntil([&] {
        DWORD start = GetTickCount();
        DWORD_PTR result = 0;
        bool answer = SendMessageTimeoutW(progress, WM_NULL, 0, 0, SMTO_NORMAL | SMTO_ABORTIFHUNG, 2000, &result);
        if (!IsWindow(progress)) return true;  // a dialog that ended while asked has not failed to answer
        ++probes;
        unanswered += answer ? 0 : 1;
        slowest = std::max(slowest, GetTickCount() - start);
        return false;
    }, 120000, 10);
    Print({"probe", std::to_string(probes), std::to_string(unanswered), std::to_string(slowest),
           IsWindow(progress) ? "0" : "1"});
}

// A program's window, of any process, named and then closed as its user would.
void WindowOf(const std::string& title) {
    HWND found = WaitForWindow(0, [&](HWND window) {
        wchar_t text[512] = {};
        GetWindowTextW(window, text, 512);  // no message sent: a hung program does not hold us
        return Utf8(text) == title;
    });
    if (found == nullptr) return Print({"program", "(none)", "0"});
    DWORD id = 0, size = 1024;
    GetWindowThreadProcessId(found, &id);
    HANDLE program = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE | PROCESS_TERMINATE, FALSE, id);
    wchar_t image[1024] = {};
    if (program == nullptr || !QueryFullProcessImageNameW(program, 0, image, &size)) image[0] = L'\0';
    Print({"program", Utf8(image), id == processId ? "1" : "0"});
    PostMessageW(found, WM_CLOSE, 0, 0);
    if (program == nullptr) return;
    Ended(program);
    CloseHandle(program);
}

void Exec(const std::string& commandLine, const std::string& cwd) {
    PROCESS_INFORMATION info = Start("", commandLine, CREATE_NO_WINDOW, cwd == "-" ? "" : cwd);
    DWORD status = 0;
    bool ended = Ended(info.hProcess);
    GetExitCodeProcess(info.hProcess, &status);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    Print({"exec", ended ? std::to_string(status) : "timeout"});
}

// Registry steps name their key as VIEW ROOT KEY.
HKEY RootOf(const Fields& step) {
    if (step[2] != "HKLM" && step[2] != "HKCU") throw Failure{"no root " + step[2]};
    return step[2] == "HKLM" ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

REGSAM ViewOf(const Fields& step) {
    if (step[1] != "32" && step[1] != "64" && step[1] != "-") throw Failure{"no view " + step[1]};
    return step[1] == "32" ? KEY_WOW64_32KEY : step[1] == "64" ? KEY_WOW64_64KEY : 0;
}

// The key opened (or made) in its view for this access; nullptr when missing and not to be made.
HKEY OpenKey(const Fields& step, REGSAM access, bool make) {
    HKEY key = nullptr;
    const std::wstring path = Wide(step[3]);
    LONG result = make ? RegCreateKeyExW(RootOf(step), path.c_str(), 0, nullptr, 0, access | ViewOf(step), nullptr,
                                         &key, nullptr)
                       : RegOpenKeyExW(RootOf(step), path.c_str(), 0, access | ViewOf(step), &key);
    if (result != ERROR_SUCCESS && (make || result != ERROR_FILE_NOT_FOUND))
        throw Failure{"could not open the key: " + ErrorText(static_cast<DWORD>(result))};
    return result == ERROR_SUCCESS ? key : nullptr;
}

// Closes the key, and fails the step if what was done to it failed.
void Done(HKEY key, LONG result, const std::string& what) {
    RegCloseKey(key);
    if (result != ERROR_SUCCESS) throw Failure{"could not " + what + ": " + ErrorText(static_cast<DWORD>(result))};
}

void SetAccess(const Fields& step, const wchar_t* dacl, bool make) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(dacl, SDDL_REVISION_1, &descriptor, nullptr))
        throw Failure{"could not make a descriptor: " + ErrorText(GetLastError())};
    HKEY key = OpenKey(step, WRITE_DAC, make);
    LONG result = key ? RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor) : ERROR_SUCCESS;
    LocalFree(descriptor);
    Done(key, result, "set the key's access");
}

void RegSet(const Fields& step) {
    const std::string &name = step[4], &type = step[5];
    if (type != "sz" && type != "expand" && type != "dword" && type != "sz-noterm") throw Failure{"no type " + type};
    std::wstring text = Wide(step[6]), wideName = Wide(name);
    DWORD number = type == "dword" ? Number(step[6]) : 0;
    const void* data = type == "dword" ? static_cast<const void*>(&number) : text.c_str();
    // sz-noterm: the string stored without its terminating NUL, as a careless writer leaves it.
    size_t size = type == "dword" ? sizeof(number) : (text.size() + (type == "sz-noterm" ? 0 : 1)) * sizeof(wchar_t);
    HKEY key = OpenKey(step, KEY_SET_VALUE, true);
    Done(key, RegSetValueExW(key, name == "@" ? nullptr : wideName.c_str(), 0,
                             type == "dword" ? REG_DWORD : type == "expand" ? REG_EXPAND_SZ : REG_SZ,
                             static_cast<const BYTE*>(data), static_cast<DWORD>(size)), "set the value");
}

// Everyone's access given back first: reg-deny may have taken it. RegDeleteTreeW takes no view: it
// empties the key through a handle opened in the view.
void RegDel(const Fields& step) {
    SetAccess(step, L"D:(A;;KA;;;WD)", false);
    if (HKEY key = OpenKey(step, DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | KEY_SET_VALUE, false)) {
        Done(key, RegDeleteTreeW(key, nullptr), "empty the key");
        Done(nullptr, RegDeleteKeyExW(RootOf(step), Wide(step[3]).c_str(), ViewOf(step), 0), "delete the key");
    }
}

// A string as stored (without trailing NULs), a DWORD in decimal; (none) when missing or of another type.
std::string RegGet(const Fields& step) {
    HKEY key = OpenKey(step, KEY_QUERY_VALUE, false);
    const std::wstring name = Wide(step[4]);
    DWORD type = REG_NONE, size = 0;
    std::vector<BYTE> data(sizeof(wchar_t));
    if (key && RegQueryValueExW(key, step[4] == "@" ? nullptr : name.c_str(), nullptr, &type, nullptr, &size) == 0)
        data.resize(size + sizeof(wchar_t));
    if (!key || RegQueryValueExW(key, step[4] == "@" ? nullptr : name.c_str(), nullptr, &type, data.data(), &size))
        type = REG_NONE;
    RegCloseKey(key);
    std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), size / sizeof(wchar_t));
    text.erase(text.find_last_not_of(L'\0') + 1);
    if (type == REG_DWORD && size == sizeof(DWORD)) return std::to_string(*reinterpret_cast<const DWORD*>(data.data()));
    return type == REG_SZ || type == REG_EXPAND_SZ ? Utf8(text) : "(none)";
}

INT_PTR CALLBACK LeaveToDialogManager(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

// An executable mapped as data, nothing of it run, and a dialog made from one of its templates by
// the dialog manager alone: the image stays loaded while the dialog lives.
struct Image {
    HMODULE module;
    HWND dialog = nullptr;
    explicit Image(const std::string& exe) : module(LoadLibraryExW(Wide(exe).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE)) {
        if (module == nullptr) throw Failure{"could not load " + exe + " as data: " + ErrorText(GetLastError())};
    }
    ~Image() {
        if (dialog != nullptr) DestroyWindow(dialog);
        FreeLibrary(module);
    }
    HWND Make(int id) { return dialog = CreateDialogParamW(module, MAKEINTRESOURCEW(id), nullptr, LeaveToDialogManager, 0); }
    // LoadStringW with no room hands back a pointer to the text in place, with its length.
    std::string String(int id) const {
        const wchar_t* text = nullptr;
        int length = LoadStringW(module, static_cast<UINT>(id), reinterpret_cast<LPWSTR>(&text), 0);
        return length > 0 && text != nullptr ? Utf8(std::wstring(text, static_cast<size_t>(length))) : "";
    }
};

void Template(const std::string& exe, int id) {
    Image image(exe);
    if (image.Make(id) == nullptr) return Print({"template", std::to_string(id), "(none)"});
    char style[16];
    std::snprintf(style, sizeof(style), "%08lx", static_cast<unsigned long>(GetWindowLongW(image.dialog, GWL_STYLE)));
    Fields fields{"template", std::to_string(id), style};
    for (HWND child : ChildrenOf(image.dialog)) fields.push_back(std::to_string(GetDlgCtrlID(child) & 0xFFFF));
    Print(fields);
}

// The terms' lines as the welcome list shows them (cut at LF, up to the first empty piece), measured
// with the list's font against its width beside the scroll bar they bring.
void ListWidth(const std::string& exe) {
    Image image(exe);
    if (image.Make(IDD_WELCOME) == nullptr) throw Failure{"no welcome dialog template"};
    HWND list = NeedChild(image.dialog, IDC_TERMS_LIST);
    Fields lines = Split(image.String(IDS_TERMS), '\n');
    lines.erase(std::find(lines.begin(), lines.end(), ""), lines.end());
    for (const std::string& line : lines) SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(line).c_str()));
    RECT inside = {};
    GetClientRect(list, &inside);
    HDC dc = GetDC(list);
    HGDIOBJ kept = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(list, WM_GETFONT, 0, 0)));
    SIZE extent = {};
    LONG widest = 0;
    for (const std::string& line : lines)
        if (GetTextExtentPoint32W(dc, Wide(line).c_str(), int(Wide(line).size()), &extent)) widest = std::max(widest, extent.cx);
    SelectObject(dc, kept);
    ReleaseDC(list, dc);
    Print({"listwidth", std::to_string(widest), std::to_string(inside.right), std::to_string(lines.size())});
}

void Hold(const std::string& path) {
    HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) throw Failure{"could not open it: " + ErrorText(GetLastError())};
    held.push_back(file);
}

void PrintString(const Fields& step) {
    const std::string text = Image(step[1]).String(std::stoi(step[2]));
    Print({"string", step[2], text.empty() ? "(none)" : text});
}

void PrintWindows() {
    BOOL wow64 = FALSE;
    Print({"windows", IsWow64Process(GetCurrentProcess(), &wow64) && wow64 ? "64" : "32"});
    Print({"acp", std::to_string(GetACP())});
}

// Each step by its name: its count of fields with the name, and what it does.
const std::map<std::string, std::pair<size_t, std::function<void(const Fields&)>>> kSteps{
    {"reg-set", {7, RegSet}},
    {"reg-del", {4, RegDel}},
    {"reg-deny", {4, [](const Fields& s) { SetAccess(s, L"D:(D;;0x6;;;WD)(A;;KA;;;WD)", true); }}},
    {"reg-get", {5, [](const Fields& s) { Print({"reg", s[1], s[3], s[4], RegGet(s)}); }}},
    {"hold", {2, [](const Fields& s) { Hold(s[1]); }}},
    {"run", {4, [](const Fields& s) { Run(s[1], s[2], s[3]); }}},
    {"answer", {2, [](const Fields& s) { Answer(s[1]); }}},
    {"wait-exit", {2, [](const Fields& s) { WaitExit(s.size() > 1 ? Number(s[1]) : kWaitMs); }}},
    {"probe", {1, [](const Fields&) { Probe(); }}},
    {"window-of", {2, [](const Fields& s) { WindowOf(s[1]); }}},
    {"exec", {3, [](const Fields& s) { Exec(s[1], s[2]); }}},
    {"sleep", {2, [](const Fields& s) { WaitUntil([] { return false; }, Number(s[1])); }}},
    {"string", {3, PrintString}},
    {"template", {3, [](const Fields& s) { Template(s[1], std::stoi(s[2])); }}},
    {"listwidth", {2, [](const Fields& s) { ListWidth(s[1]); }}},
    {"windows", {1, [](const Fields&) { PrintWindows(); }}},
};

void Step(const Fields& step) {
    auto found = kSteps.find(step[0]);
    if (found == kSteps.end()) throw Failure{"unknown step"};
    if ((step[0] == "answer" || step[0] == "wait-exit" || step[0] == "probe") && process == nullptr)
        throw Failure{"no process was run"};
    // wait-exit alone waits as long as any other wait.
    if (step.size() != found->second.first && !(step[0] == "wait-exit" && step.size() == 1))
        throw Failure{"expected " + std::to_string(found->second.first) + " fields"};
    found->second.second(step);
}

}  // namespace

int main() {
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    FILE* in = count == 3 ? _wfopen(arguments[1], L"rb") : nullptr;
    if (in == nullptr || (out = _wfopen(arguments[2], L"wb")) == nullptr) return 2;
    std::string steps;
    for (int c; (c = std::fgetc(in)) != EOF;) steps += static_cast<char>(c);
    std::fclose(in);
    for (std::string line : Split(steps, '\n')) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        const Fields step = Split(line, '\t');
        try {
            Step(step);
        } catch (const Failure& failure) {
            Print({"error", step[0], failure.why});
        } catch (const std::exception& error) {
            Print({"error", step[0], error.what()});
        }
    }
    EndRun();
    for (HANDLE handle : held) CloseHandle(handle);
    std::fclose(out);
    return 0;
}
