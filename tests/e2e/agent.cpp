// The e2e agent: does the steps run.py writes, on a setup under Wine, and writes down what it sees; it judges nothing.
#define NOMINMAX
#include <windows.h>
#include <commctrl.h>
#include <sddl.h>

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
using Failure = std::runtime_error;  // a step that cannot be done: its line says why, and the next step runs
constexpr DWORD kWaitMs = 20000;  // generous: a first window under Wine on a loaded machine can take seconds

FILE* out = nullptr;
HANDLE process = nullptr;  // the process under test, from the last run
DWORD processId = 0;
HWINEVENTHOOK hook = nullptr;
Fields created;  // class:title of each top-level window of the process created since its run
std::vector<HWND> answered;

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

bool Starts(const std::string& text, const std::string& head) { return text.rfind(head, 0) == 0; }

Fields Split(const std::string& text, char at) {
    Fields pieces{""};
    for (char c : text) c == at ? pieces.emplace_back() : pieces.back() += c;
    return pieces;
}

// One observation: its fields joined by TAB, each with its line breaks and TABs written out.
void Print(const Fields& fields) {
    std::string line;
    for (const std::string& field : fields) {
        line += &field == &fields[0] ? "" : "\t";
        for (char c : field) line += c == '\n' ? "\\n" : c == '\r' ? "\\r" : c == '\t' ? "\\t" : std::string(1, c);
    }
    std::fputs((line + "\n").c_str(), out);
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

bool Ended(HANDLE handle) { return WaitForSingleObject(handle, 0) != WAIT_TIMEOUT; }

// A process's exit status, once it ended, or was killed (and so failed) for not ending in time; the handle closes.
DWORD End(HANDLE handle, DWORD timeoutMs = kWaitMs) {
    if (!WaitUntil([&] { return Ended(handle); }, timeoutMs)) TerminateProcess(handle, 255);
    WaitForSingleObject(handle, kWaitMs);
    DWORD status = 0;
    GetExitCodeProcess(handle, &status);
    CloseHandle(handle);
    return status;
}

// The class or the title the system keeps: no message is sent, so a hung program does not hold us.
std::string Kept(int(WINAPI* get)(HWND, LPWSTR, int), HWND window) {
    wchar_t text[512] = {};
    get(window, text, 512);
    return Utf8(text);
}
std::string ClassOf(HWND window) { return Kept(GetClassNameW, window); }
std::string TitleOf(HWND window) { return Kept(GetWindowTextW, window); }

// Bounded, but no SMTO_ABORTIFHUNG: a window busy for seconds loading a locale's fonts is still read.
LRESULT Send(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
    DWORD_PTR result = 0;
    const bool sent = SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL, kWaitMs, &result);
    if (!sent) throw Failure{"a " + ClassOf(window) + " did not answer message " + std::to_string(message)};
    return static_cast<LRESULT>(result);
}

// The window's text, or (LB_GETTEXT) a list box's line: Wine hands either back in UTF-16, so it is read wide.
std::string TextOf(HWND window, UINT message = WM_GETTEXT, WPARAM wParam = 65536) {
    std::wstring text(65536, L'\0');
    const LRESULT length = Send(window, message, wParam, reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<size_t>(std::clamp<LRESULT>(length, 0, 65535)));
    return Utf8(text);
}

std::vector<HWND> ChildrenOf(HWND window) {
    std::vector<HWND> children;
    for (HWND c = GetWindow(window, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) children.push_back(c);
    return children;
}

// The child with this id: 0xFFFF and -1 name the same control, the one text of a box or of our dialogs.
HWND Child(HWND window, int id, bool needed = false) {
    for (HWND child : ChildrenOf(window)) {
        if ((GetDlgCtrlID(child) & 0xFFFF) == (id & 0xFFFF)) return child;
    }
    if (needed) throw Failure{"no control " + std::to_string(id) + " in a " + ClassOf(window)};
    return nullptr;
}
HWND Need(HWND window, int id) { return Child(window, id, true); }
std::string ChildText(HWND window, int id) { return TextOf(Need(window, id)); }

// A box has an icon static (1088 under Wine, 20 under Windows) beside its text 0xFFFF; our dialogs have neither.
std::string KindOf(HWND window) {
    if (ClassOf(window) != "#32770") return "window";
    if (Child(window, 0xFFFF) && (Child(window, 1088) || Child(window, 20))) return "box";
    return Child(window, IDC_TERMS_LIST) ? "welcome" : Child(window, IDC_DEST_EDIT) ? "dest"
           : Child(window, IDC_STATUS) ? "progress" : Child(window, IDYES) && Child(window, IDNO) ? "prompt" : "window";
}

// What a box says of its owner. One no longer shown (ended while the box is up) is told apart from one that is.
std::string OwnerOf(HWND box) {
    HWND owner = GetWindow(box, GW_OWNER);
    if (owner == nullptr) return "none";
    const std::string kind = KindOf(owner), of = (IsWindowVisible(owner) ? "" : "hidden ") + kind;
    if (kind == "progress") return of + ":" + ChildText(owner, IDC_STATUS);
    return of == "box" || of == "window" ? "window:" + TextOf(owner) : of;
}

// Our dialogs and boxes by their kind, caption and texts; any other window by its class and caption.
Fields Describe(HWND window) {
    const std::string kind = KindOf(window), title = TextOf(window);
    if (kind == "box") return {kind, title, ChildText(window, 0xFFFF), OwnerOf(window)};
    if (kind == "dest") return {kind, title, ChildText(window, 0xFFFF), ChildText(window, IDC_DEST_EDIT)};
    if (kind == "prompt") {
        return {kind, title, ChildText(window, 0xFFFF), ChildText(window, IDYES), ChildText(window, IDNO)};
    }
    if (kind != "welcome") return {"window", ClassOf(window), title};
    HWND list = Need(window, IDC_TERMS_LIST);
    std::string lines;  // the terms as the list shows them, a line feed between lines
    for (LRESULT n = 0, count = Send(list, LB_GETCOUNT); n < count; ++n) lines += "\n" + TextOf(list, LB_GETTEXT, n);
    return {kind, title, ChildText(window, IDC_WELCOME_TEXT), lines.erase(0, 1)};
}

// A line with the windows' descriptions added; a window that went while read says why instead.
Fields Described(Fields fields, const std::vector<HWND>& windows) {
    for (HWND window : windows) {
        try {
            const Fields seen = Describe(window);
            fields.insert(fields.end(), seen.begin(), seen.end());
        } catch (const Failure& failure) {
            fields.push_back(std::string("(") + failure.what() + ")");
        }
    }
    return fields;
}

DWORD ProcessOf(HWND window) {
    DWORD id = 0;
    GetWindowThreadProcessId(window, &id);
    return id;
}

// The visible top-level windows of the process, or of any (0).
std::vector<HWND> Windows(DWORD id) {
    std::vector<HWND> windows;
    for (HWND window : ChildrenOf(GetDesktopWindow())) {
        if (IsWindowVisible(window) && (id == 0 || ProcessOf(window) == id)) windows.push_back(window);
    }
    return windows;
}

bool Running() { return process != nullptr && !Ended(process); }
bool Gone(HWND window) { return !IsWindow(window) || !IsWindowVisible(window); }
bool Answered(HWND window) { return std::find(answered.begin(), answered.end(), window) != answered.end(); }
// A window being destroyed has no class any more: the progress dialog going is no window to answer.
bool ToAnswer(HWND window) { return !Answered(window) && !ClassOf(window).empty() && KindOf(window) != "progress"; }

// The first window of the process (0: of any) that matches; nullptr when none came or the process ended.
HWND WaitForWindow(DWORD id, const std::function<bool(HWND)>& match) {
    HWND found = nullptr;
    WaitUntil([&] {
        for (HWND window : Windows(id)) found = found == nullptr && match(window) ? window : found;
        return found != nullptr || (id != 0 && !Running());
    });
    return found;
}

void Press(HWND window, int id) { PostMessageW(Need(window, id), BM_CLICK, 0, 0); }

// Esc to a control of the dialog, so that the dialog manager turns it into IDCANCEL.
void PressEscape(HWND dialog) {
    HWND target = GetWindow(dialog, GW_CHILD);
    LPARAM down = 1 | (0x01 << 16);  // repeat count 1, the scan code of Esc; the release bits on up
    PostMessageW(target, WM_KEYDOWN, VK_ESCAPE, down);
    PostMessageW(target, WM_KEYUP, VK_ESCAPE, down | (1u << 30) | (1u << 31));
}

// The folder browser's tree. TVM_GETITEMW is not marshalled: it goes through a page of the setup's memory.
struct Tree {
    HWND tree;
    HANDLE setup = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, processId);
    BYTE* page = static_cast<BYTE*>(VirtualAllocEx(setup, nullptr, 4096, MEM_COMMIT, PAGE_READWRITE));
    ~Tree() {
        VirtualFreeEx(setup, page, 0, MEM_RELEASE);
        CloseHandle(setup);
    }
    HTREEITEM Next(HTREEITEM item, UINT how) const { return HTREEITEM(Send(tree, TVM_GETNEXTITEM, how, LPARAM(item))); }
    // The first child whose text matches, or (deep) grandchild. The browser fills a level when first expanded.
    HTREEITEM Find(HTREEITEM item, const std::function<bool(const std::string&)>& match, bool deep = false) const {
        Send(tree, TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(item));
        for (HTREEITEM child = Next(item, TVGN_CHILD); child != nullptr; child = Next(child, TVGN_NEXT)) {
            if (HTREEITEM found = deep ? Find(child, match) : nullptr) return found;
            TVITEMW request = {TVIF_TEXT, child, 0, 0, reinterpret_cast<LPWSTR>(page + 1024), 512, 0, 0, 0, 0};
            wchar_t text[513] = {};
            if (!WriteProcessMemory(setup, page, &request, sizeof(request), nullptr) ||
                !Send(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(page)) ||
                !ReadProcessMemory(setup, page + 1024, text, 512 * sizeof(wchar_t), nullptr)) {
                throw Failure{"the browser's tree did not give an item's text"};
            }
            if (!deep && match(Utf8(text))) return child;
        }
        return nullptr;
    }
};

// PATH on Z: picked in the browser's tree: drive Z: is the entry "label (Z:)" below one of the root's children.
// BFFM_SETSELECTIONW would be shorter, but Wine's browser finds no folder below a drive by it.
void Pick(HWND browser, const std::string& path) {
    Tree tree{FindWindowExW(browser, nullptr, L"SysTreeView32", nullptr)};
    auto drive = [](const std::string& text) { return text.size() >= 4 && text.substr(text.size() - 4) == "(Z:)"; };
    HTREEITEM item = tree.Find(tree.Next(nullptr, TVGN_ROOT), drive, true);
    if (item == nullptr) throw Failure{"no drive Z: in the browser's tree"};
    for (const std::string& name : Split(path.substr(3), '\\')) {
        item = name.empty() ? item : tree.Find(item, [&](const std::string& text) { return text == name; });
        if (item == nullptr) throw Failure{"no folder " + name + " of " + path + " in the browser's tree"};
    }
    // The selection a click on the item would make; the browser hears of it as a user's change.
    Send(tree.tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(item));
}

// The browse button: the folder browser's texts, PATH picked or cancel, the edit box after.
void Browse(HWND chooser, const std::string& path) {
    Press(chooser, IDC_BROWSE);
    auto isBrowser = [&](HWND window) { return window != chooser && !Answered(window) && ClassOf(window) == "#32770"; };
    HWND browser = WaitForWindow(processId, isBrowser);
    if (browser == nullptr) throw Failure{"no folder browser came"};
    answered.push_back(browser);
    std::string texts;
    for (HWND child : ChildrenOf(browser)) texts += ClassOf(child) == "Static" ? "|" + TextOf(child) : "";
    Print({"browser", texts.erase(0, 1)});
    if (path != "cancel") Pick(browser, path);
    Press(browser, path == "cancel" ? IDCANCEL : IDOK);
    if (!WaitUntil([&] { return Gone(browser); })) throw Failure{"the folder browser did not go"};
    Print({"edit", ChildText(chooser, IDC_DEST_EDIT)});
}

// Posted messages are taken in order: once the No button shows pushed, the Esc before it was handled.
void EscapeThenNo(HWND prompt) {
    PressEscape(prompt);
    HWND no = Need(prompt, IDNO);
    PostMessageW(no, BM_SETSTATE, TRUE, 0);
    const bool taken = WaitUntil([&] { return !IsWindow(no) || (Send(no, BM_GETSTATE) & BST_PUSHED); });
    if (!taken) throw Failure{"the prompt did not take its input"};
    PostMessageW(no, BM_SETSTATE, FALSE, 0);
    Print({"after-esc", Gone(prompt) ? "0" : "1", std::to_string(Windows(processId).size())});
    Press(prompt, IDNO);
}

// A box owned by the progress dialog: that dialog is tried every way to end it, then the box is OK'd.
void Poke(HWND box) {
    HWND progress = GetWindow(box, GW_OWNER);
    const LONG style = GetWindowLongW(progress, GWL_STYLE);
    int buttons = 0;
    for (HWND child : ChildrenOf(progress)) buttons += ClassOf(child) == "Button" ? 1 : 0;
    Print({"progress", TextOf(progress), (style & WS_SYSMENU) ? "1" : "0",
           (style & WS_CAPTION) == WS_CAPTION ? "1" : "0", std::to_string(buttons)});
    PressEscape(progress);
    const std::pair<UINT, WPARAM> posts[] = {{WM_COMMAND, IDCANCEL}, {WM_SYSCOMMAND, SC_CLOSE}, {WM_CLOSE, 0},
                                             {WM_COMMAND, ID_START_EXTRACTION}, {WM_APP, 0}, {WM_APP + 1, 0},
                                             {WM_APP + 2, 0}, {WM_APP + 3, 0}};
    for (auto [message, wParam] : posts) PostMessageW(progress, message, wParam, 0);
    Press(box, IDOK);
}

void Act(HWND window, const std::string& action) {
    const std::map<std::string, int> buttons{{"ok", IDOK}, {"cancel", IDCANCEL}, {"yes", IDYES}, {"no", IDNO}};
    const std::wstring typed = Wide(action.substr(std::min<size_t>(5, action.size())));
    if (buttons.count(action)) Press(window, buttons.at(action));
    else if (action == "esc") PressEscape(window);
    else if (action == "esc-no") EscapeThenNo(window);
    else if (action == "poke") Poke(window);
    else if (Starts(action, "browse:")) Browse(window, action.substr(7));
    else if (Starts(action, "type:")) Send(Need(window, IDC_DEST_EDIT), WM_SETTEXT, 0, LPARAM(typed.c_str()));
    else throw Failure{"unknown action " + action};
}

void Answer(const std::string& actions) {
    HWND window = WaitForWindow(processId, ToAnswer);
    if (window == nullptr) return Print(Described({Running() ? "timeout" : "gone"}, Windows(processId)));
    answered.push_back(window);
    Fields seen;
    try {
        seen = Describe(window);
    } catch (const Failure&) {
        if (!Gone(window)) throw;
        return Answer(actions);  // it went while it was read: the next one is the one to answer
    }
    Print(seen);
    // A dialog still up under the box answered here may be answered again, as a person would; its owner is
    // taken before the answer, which may end the box at once.
    const HWND owner = GetWindow(window, GW_OWNER);
    for (const std::string& action : Split(actions, '+')) Act(window, action);
    answered.erase(std::remove(answered.begin(), answered.end(), owner), answered.end());
    // Typed or browsed with nothing after it: then OK, as a person would go on.
    const std::string last = actions.substr(actions.rfind('+') + 1);
    if (Starts(last, "type:") || Starts(last, "browse:")) Press(window, IDOK);
}

PROCESS_INFORMATION Start(const std::string& commandLine, DWORD flags, const std::string& cwd) {
    std::wstring line = Wide(commandLine);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, flags, nullptr, Wide(cwd).c_str(),
                        &startup, &info)) {
        throw Failure{"could not start " + commandLine + ": error " + std::to_string(GetLastError())};
    }
    return info;
}

// Wine hands creations over asynchronously: a window may be gone before it is looked at.
void CALLBACK OnCreate(HWINEVENTHOOK, DWORD, HWND window, LONG object, LONG, DWORD, DWORD) {
    if (window && object == OBJID_WINDOW && (!IsWindow(window) || GetAncestor(window, GA_ROOT) == window)) {
        created.push_back(ClassOf(window) + ":" + TitleOf(window));
    }
}

// A process still running from the run before is killed: its windows would pass for the next one's.
void EndRun() {
    if (hook != nullptr) UnhookWinEvent(hook);
    if (process != nullptr) End(process, 0);
    hook = nullptr;
    process = nullptr;
    created.clear();
    answered.clear();
}

void Run(const std::string& exe, const std::string& arguments, const std::string& cwd) {
    EndRun();
    const std::string line = "\"" + exe + "\"" + (arguments.empty() ? "" : " " + arguments);
    // Suspended until the hook is set, so that its very first window is counted.
    PROCESS_INFORMATION info = Start(line, CREATE_SUSPENDED, cwd != "-" ? cwd : exe.substr(0, exe.rfind('\\') + 1));
    process = info.hProcess;
    processId = info.dwProcessId;
    hook = SetWinEventHook(EVENT_OBJECT_CREATE, EVENT_OBJECT_CREATE, 0, OnCreate, processId, 0, WINEVENT_OUTOFCONTEXT);
    ResumeThread(info.hThread);
    CloseHandle(info.hThread);
    if (hook == nullptr) throw Failure{"could not watch its windows: error " + std::to_string(GetLastError())};
}

// What comes unasked is written down and answered so that the run can end: a box OK, a dialog Cancel.
void WaitExit() {
    const bool ended = WaitUntil([] {
        for (HWND window : Windows(processId)) {
            if (!ToAnswer(window)) continue;
            answered.push_back(window);
            const Fields seen = Described({"unexpected"}, {window});
            if (Gone(window)) continue;  // it went while it was read
            Print(seen);
            HWND ok = KindOf(window) == "box" ? Child(window, IDOK) : nullptr;
            HWND button = ok ? ok : Child(window, IDCANCEL);
            PostMessageW(button ? button : window, button ? BM_CLICK : WM_CLOSE, 0, 0);
        }
        return !Running();
    });
    const DWORD status = End(process, 0);
    process = nullptr;
    Print({"exit", ended ? std::to_string(status) : "timeout"});
    WaitUntil([] { return true; });  // the last creations still on their way
    created.insert(created.begin(), {"created", std::to_string(created.size())});
    Print(created);
}

// Esc and a close at once; then WM_NULL every 10 ms tells whether the dialog's thread reads its messages.
void Probe() {
    HWND progress = WaitForWindow(processId, [](HWND window) { return KindOf(window) == "progress"; });
    if (progress == nullptr) throw Failure{"no progress dialog came"};
    PressEscape(progress);
    PostMessageW(progress, WM_CLOSE, 0, 0);
    DWORD slowest = 0, probes = 0, unanswered = 0;
    WaitUntil([&] {
        DWORD start = GetTickCount();
        bool answer = SendMessageTimeoutW(progress, WM_NULL, 0, 0, SMTO_NORMAL | SMTO_ABORTIFHUNG, 2000, nullptr);
        if (!IsWindow(progress)) return true;  // a dialog that ended while asked has not failed to answer
        ++probes;
        unanswered += answer ? 0 : 1;
        slowest = std::max(slowest, GetTickCount() - start);
        return false;
    }, 120000, 10);
    const std::string gone = IsWindow(progress) ? "0" : "1";
    Print({"probe", std::to_string(probes), std::to_string(unanswered), std::to_string(slowest), gone});
}

// A program's window, of any process, named and then closed as its user would.
void WindowOf(const std::string& title) {
    HWND found = WaitForWindow(0, [&](HWND window) { return TitleOf(window) == title; });
    if (found == nullptr) return Print({"program", "(none)", "0"});
    const DWORD id = ProcessOf(found);
    HANDLE program = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE | PROCESS_TERMINATE, FALSE, id);
    wchar_t image[1024] = {};
    DWORD size = 1024;
    QueryFullProcessImageNameW(program, 0, image, &size);
    Print({"program", Utf8(image), id == processId ? "1" : "0"});
    PostMessageW(found, WM_CLOSE, 0, 0);
    if (program != nullptr) End(program);
}

void Exec(const std::string& commandLine, const std::string& cwd) {
    PROCESS_INFORMATION info = Start(commandLine, CREATE_NO_WINDOW, cwd);
    CloseHandle(info.hThread);
    Print({"exec", std::to_string(End(info.hProcess))});
}

// The registry steps: VERB VIEW ROOT KEY, then the value's NAME (@: the key's own), and for reg-set its TYPE and VALUE.
void Registry(const Fields& step) {
    const std::string& verb = step[0];
    const std::wstring path = Wide(step.at(3)), name = step.size() > 4 ? Wide(step[4]) : L"";
    const HKEY root = step[2] == "HKCU" ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
    const REGSAM view = step[1] == "32" ? KEY_WOW64_32KEY : step[1] == "64" ? KEY_WOW64_64KEY : 0;
    const wchar_t* named = step.size() > 4 && step[4] != "@" ? name.c_str() : nullptr;
    auto check = [](LONG result, const std::string& what) {  // a key that is missing is no failure
        if (result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND) return;
        throw Failure{"could not " + what + ": error " + std::to_string(result)};
    };
    HKEY key = nullptr;
    auto make = [&](REGSAM access) {
        const LONG result = RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, access | view, nullptr, &key, nullptr);
        check(result, "open the key");
    };
    // The setup's keys hold values and no subkeys; one Everyone may not write to still goes, as DELETE is not denied.
    // A key with keys below it goes with them.
    if (verb == "reg-del") {
        LONG result = RegDeleteKeyExW(root, path.c_str(), view, 0);
        if (result == ERROR_ACCESS_DENIED) {  // keys below it: a key that holds products' keys, some a row left
            make(KEY_ALL_ACCESS);
            result = RegDeleteTreeW(key, nullptr);
            RegCloseKey(key);
            result = result ? result : RegDeleteKeyExW(root, path.c_str(), view, 0);
        }
        return check(result, "delete the key");
    }
    if (verb == "reg-deny" || verb == "reg-allow") {  // Everyone may not set its values nor make keys below it, or may
        make(WRITE_DAC);
        const wchar_t* dacl = verb == "reg-deny" ? L"D:(D;;0x6;;;WD)(A;;KA;;;WD)" : L"D:(A;;KA;;;WD)";
        PSECURITY_DESCRIPTOR denied = nullptr;
        ConvertStringSecurityDescriptorToSecurityDescriptorW(dacl, SDDL_REVISION_1, &denied, nullptr);
        const LONG result = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, denied);
        LocalFree(denied);
        RegCloseKey(key);
        return check(result, "set the key's access");
    }
    if (verb == "reg-set") {
        const std::string& type = step.at(5);
        const bool dword = type == "dword";
        if (!dword && type != "sz" && type != "expand" && type != "sz-noterm") throw Failure{"no type " + type};
        const std::wstring text = Wide(step.at(6));
        const DWORD number = dword ? static_cast<DWORD>(std::stoul(step[6])) : 0;
        const void* data = dword ? static_cast<const void*>(&number) : text.c_str();
        size_t size = dword ? sizeof(number) : (text.size() + (type == "sz-noterm" ? 0 : 1)) * sizeof(wchar_t);
        make(KEY_SET_VALUE);
        const LONG result = RegSetValueExW(key, named, 0, dword ? REG_DWORD : type == "expand" ? REG_EXPAND_SZ : REG_SZ,
                                           static_cast<const BYTE*>(data), static_cast<DWORD>(size));
        RegCloseKey(key);
        return check(result, "set the value");
    }
    if (verb != "reg-get") throw Failure{"unknown step"};
    LONG result = RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE | view, &key);
    check(result, "open the key");
    DWORD type = REG_NONE, size = 65536;
    std::vector<wchar_t> data(size / sizeof(wchar_t) + 1);  // zeroed: a text kept without its end still ends
    if (result == ERROR_SUCCESS) result = RegQueryValueExW(key, named, nullptr, &type, LPBYTE(data.data()), &size);
    RegCloseKey(key);
    const bool text = result == ERROR_SUCCESS && size && (type == REG_SZ || type == REG_EXPAND_SZ);
    std::string value = text ? Utf8(data.data()) : "(none)";
    if (result == ERROR_SUCCESS && type == REG_DWORD) value = std::to_string(*reinterpret_cast<DWORD*>(data.data()));
    Print({"reg", step[1], step[3], step.at(4), value});
}

// A dialog from an image's template, left to the dialog manager; the image, mapped as data, outlives it.
struct Image {
    HMODULE module;
    HWND dialog;
    Image(const std::string& exe, int id)
        : module(LoadLibraryExW(Wide(exe).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE)),
          dialog(CreateDialogParamW(module, MAKEINTRESOURCEW(id), nullptr, nullptr, 0)) {}
    ~Image() {
        DestroyWindow(dialog);
        FreeLibrary(module);
    }
};

void Template(const std::string& exe, const std::string& id) {
    Image image(exe, std::stoi(id));
    Fields fields{"template", id, image.dialog ? "made" : "(none)"};
    for (HWND child : ChildrenOf(image.dialog)) fields.push_back(std::to_string(GetDlgCtrlID(child) & 0xFFFF));
    Print(fields);
}

// The terms' lines as the welcome list shows them, measured against its width beside the scroll bar they bring.
void ListWidth(const std::string& exe) {
    Image image(exe, IDD_WELCOME);
    HWND list = Need(image.dialog, IDC_TERMS_LIST);
    std::wstring terms(65536, L'\0');
    terms.resize(LoadStringW(image.module, IDS_TERMS, terms.data(), int(terms.size())));
    Fields lines = Split(Utf8(terms), '\n');
    lines.erase(std::find(lines.begin(), lines.end(), ""), lines.end());
    HDC dc = GetDC(list);  // a cache DC: released, it forgets the font
    SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(list, WM_GETFONT, 0, 0)));
    LONG widest = 0;
    for (const std::string& line : lines) {
        const std::wstring text = Wide(line);
        SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
        SIZE extent = {};
        GetTextExtentPoint32W(dc, text.c_str(), int(text.size()), &extent);
        widest = std::max(widest, extent.cx);
    }
    ReleaseDC(list, dc);
    RECT inside = {};
    GetClientRect(list, &inside);
    Print({"listwidth", std::to_string(widest), std::to_string(inside.right), std::to_string(lines.size())});
}

// A step's fields are taken with at(): one missing fails the step.
void Step(const Fields& s) {
    const std::string& name = s[0];
    BOOL wow64 = FALSE;
    if (Starts(name, "reg-")) Registry(s);
    else if (name == "run") Run(s.at(1), s.at(2), s.at(3));
    else if (name == "answer") Answer(s.at(1));
    else if (name == "wait-exit") WaitExit();
    else if (name == "probe") Probe();
    else if (name == "window-of") WindowOf(s.at(1));
    else if (name == "exec") Exec(s.at(1), s.at(2));
    else if (name == "template") Template(s.at(1), s.at(2));
    else if (name == "listwidth") ListWidth(s.at(1));
    else if (name == "hold") {  // shared with no one until the agent ends
        HANDLE file = CreateFileW(Wide(s.at(1)).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, 0);
        if (file == INVALID_HANDLE_VALUE) throw Failure{"could not open it: error " + std::to_string(GetLastError())};
    } else if (name == "windows") {
        Print({"windows", IsWow64Process(GetCurrentProcess(), &wow64) && wow64 ? "64" : "32"});
        Print({"acp", std::to_string(GetACP())});
    } else {
        throw Failure{"unknown step"};
    }
}

}  // namespace

int main() {
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    FILE* in = count == 3 ? _wfopen(arguments[1], L"rb") : nullptr;
    if (in == nullptr || (out = _wfopen(arguments[2], L"wb")) == nullptr) return 2;
    for (char line[65536]; std::fgets(line, sizeof(line), in) != nullptr;) {
        const Fields step = Split(Split(line, '\n')[0], '\t');
        try {
            Step(step);
        } catch (const std::exception& failure) {  // a Failure, or a number that is none
            Print({"error", step[0], failure.what()});
        }
    }
    EndRun();
    return 0;
}
