// The Wine tests' hands and eyes on kestrup.exe. One command per run; results on stdout, one fact
// per line, so that the tests compare them against their own tables.
//
//   describe TITLE              the window and every child control (class settings such as the
//                               icon and the controls' fonts cannot be read from another process
//                               under Wine: the screenshot shows them)
//   click TITLE ID              BM_CLICK posted to a control (returns at once, as a user's click)
//   set-text TITLE ID TEXT      WM_SETTEXT on a control
//   enable TITLE ID             EnableWindow on a control
//   close TITLE                 the close box: SC_CLOSE posted
//   tab TITLE COUNT [shift]     Tab (or Shift+Tab) typed COUNT times; the focused id after each
//   box CAPTION MS              waits for a message box, describes it, then presses its OK
//   wait TITLE MS               waits for a top-level window of that title
//   gone TITLE MS               waits until no top-level window has that title

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

HWND waitFor(const char* className, const char* title, int ms) {
    for (int waited = 0;; waited += 20) {
        HWND window = FindWindowA(className, title);
        if (window != nullptr || waited >= ms) return window;
        Sleep(20);
    }
}

HWND mustFind(const char* title) {
    HWND window = waitFor(nullptr, title, 5000);
    if (window == nullptr) {
        std::printf("missing window %s\n", title);
        std::exit(2);
    }
    return window;
}

HWND control(HWND window, const char* id) {
    HWND child = GetDlgItem(window, std::atoi(id));
    if (child == nullptr) {
        std::printf("missing control %s\n", id);
        std::exit(2);
    }
    return child;
}

// WM_GETTEXT, not GetWindowTextA: across processes the latter gives the text of creation, not what
// an edit field holds now.
std::string textOf(HWND window) {
    char text[1024] = {};
    SendMessageA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
    return text;
}

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

void describe(HWND window) {
    RECT outer{};
    GetWindowRect(window, &outer);
    RECT client{};
    GetClientRect(window, &client);
    POINT origin{0, 0};
    ClientToScreen(window, &origin);
    const LONG style = GetWindowLongA(window, GWL_STYLE);
    const LONG exStyle = GetWindowLongA(window, GWL_EXSTYLE);
    std::printf("window %ld %ld %ld %ld\n", outer.left, outer.top, outer.right - outer.left, outer.bottom - outer.top);
    std::printf("client %ld %ld %ld %ld\n", origin.x, origin.y, client.right, client.bottom);
    std::printf("style %08lx\nexstyle %08lx\n", static_cast<unsigned long>(style), static_cast<unsigned long>(exStyle));
    std::printf("enabled %d\nvisible %d\n", IsWindowEnabled(window) ? 1 : 0, IsWindowVisible(window) ? 1 : 0);
    for (HWND child = GetWindow(window, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        RECT r{};
        GetWindowRect(child, &r);
        POINT topLeft{r.left, r.top};
        ScreenToClient(window, &topLeft);
        char className[64] = {};
        GetClassNameA(child, className, sizeof className);
        std::printf("control %d %s %ld %ld %ld %ld enabled=%d visible=%d style=%08lx exstyle=%08lx text=%s\n",
                    GetDlgCtrlID(child), className, topLeft.x, topLeft.y, r.right - r.left, r.bottom - r.top,
                    IsWindowEnabled(child) ? 1 : 0, IsWindowVisible(child) ? 1 : 0,
                    static_cast<unsigned long>(GetWindowLongA(child, GWL_STYLE)),
                    static_cast<unsigned long>(GetWindowLongA(child, GWL_EXSTYLE)), quoted(textOf(child)).c_str());
    }
}

int focusedId(HWND window) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info) || info.hwndFocus == nullptr) return -1;
    if (info.hwndFocus == window) return -2;
    return GetDlgCtrlID(info.hwndFocus);
}

void tab(HWND window, int count, bool shift) {
    SetForegroundWindow(window);
    Sleep(100);
    std::printf("focus");
    for (int i = 0; i < count; ++i) {
        if (shift) keybd_event(VK_SHIFT, 0, 0, 0);
        keybd_event(VK_TAB, 0, 0, 0);
        keybd_event(VK_TAB, 0, KEYEVENTF_KEYUP, 0);
        if (shift) keybd_event(VK_SHIFT, 0, KEYEVENTF_KEYUP, 0);
        // The keys go through the program's queue; wait until its focus has moved.
        Sleep(150);
        std::printf(" %d", focusedId(window));
    }
    std::printf("\n");
}

int box(const char* caption, int ms) {
    HWND dialog = waitFor("#32770", caption, ms);
    if (dialog == nullptr) {
        std::printf("no box\n");
        return 1;
    }
    Sleep(100);
    std::printf("text %s\n", quoted(textOf(GetDlgItem(dialog, 0xFFFF))).c_str());
    HWND owner = GetWindow(dialog, GW_OWNER);
    std::printf("owner %s\n", owner == nullptr ? "none" : quoted(textOf(owner)).c_str());
    int buttons = 0;
    for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        char className[64] = {};
        GetClassNameA(child, className, sizeof className);
        if (std::string(className) == "Button" && IsWindowVisible(child)) {
            ++buttons;
            std::printf("button %d %s\n", GetDlgCtrlID(child), quoted(textOf(child)).c_str());
        }
    }
    std::printf("buttons %d\n", buttons);
    HWND main = FindWindowA(nullptr, "Kestrup 01");
    if (main != nullptr) std::printf("main-enabled %d\n", IsWindowEnabled(main) ? 1 : 0);
    PostMessageA(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
    for (int waited = 0; IsWindow(dialog) && waited < 5000; waited += 20) Sleep(20);
    std::printf("closed %d\n", IsWindow(dialog) ? 0 : 1);
    if (main != nullptr) {
        Sleep(100);
        std::printf("main-enabled-after %d\n", IsWindowEnabled(main) ? 1 : 0);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::printf("usage: app_driver COMMAND TITLE [ARGS]\n");
        return 2;
    }
    const std::string command = argv[1];
    const char* title = argv[2];
    if (command == "wait") return waitFor(nullptr, title, argc > 3 ? std::atoi(argv[3]) : 5000) != nullptr ? 0 : 1;
    if (command == "gone") {
        const int ms = argc > 3 ? std::atoi(argv[3]) : 5000;
        for (int waited = 0; FindWindowA(nullptr, title) != nullptr; waited += 20) {
            if (waited >= ms) return 1;
            Sleep(20);
        }
        return 0;
    }
    if (command == "box") return box(title, argc > 3 ? std::atoi(argv[3]) : 5000);
    HWND window = mustFind(title);
    if (command == "describe") {
        describe(window);
    } else if (command == "click" && argc > 3) {
        PostMessageA(control(window, argv[3]), BM_CLICK, 0, 0);
    } else if (command == "set-text" && argc > 4) {
        SendMessageA(control(window, argv[3]), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argv[4]));
    } else if (command == "enable" && argc > 3) {
        EnableWindow(control(window, argv[3]), TRUE);
    } else if (command == "close") {
        PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    } else if (command == "tab" && argc > 3) {
        tab(window, std::atoi(argv[3]), argc > 4 && std::string(argv[4]) == "shift");
    } else {
        std::printf("unknown command %s\n", command.c_str());
        return 2;
    }
    return 0;
}
