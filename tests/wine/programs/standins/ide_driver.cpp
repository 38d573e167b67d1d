// Runs the real window lookup and keystroke sequences, on the Win32 desktop and keyboard, the way
// the main window's buttons chain them; prints what the window program would show or switch.
//
//   ide_driver.exe lookup              IDE lookup
//   ide_driver.exe compile             IDE lookup, terminal lookup and minimize, compile sequence
//   ide_driver.exe save <image path>   IDE lookup, save-image sequence
//   ide_driver.exe terminal <flags>    terminal lookup and terminal window control
//   ide_driver.exe scan <text>         the layout's answer for each character
//   ide_driver.exe close <title>       asks the window with this whole title to close

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/clock.h"
#include "desktop_win32.h"
#include "keyboard_win32.h"
#include "keystrokes.h"
#include "window_lookup.h"

namespace {

class PrintingNotifier final : public kestrup::Notifier {
public:
    void notify(std::string_view caption, std::string_view message) override {
        std::printf("box %.*s: %.*s\n", static_cast<int>(caption.size()), caption.data(),
                    static_cast<int>(message.size()), message.data());
    }
};

class PrintingButtons final : public kestrup::UploadButtons {
public:
    void enableAll() override { std::printf("buttons on\n"); }
    void disableAll() override { std::printf("buttons off\n"); }
};

// Stands in for our main window: the title search starts from it, as it does from the real one.
HWND createAnchor() {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "KestrupIdeDriver";
    RegisterClassA(&windowClass);
    return CreateWindowExA(0, windowClass.lpszClassName, "Kestrup ide driver", WS_OVERLAPPED, 0, 0, 10, 10, nullptr,
                           nullptr, windowClass.hInstance, nullptr);
}

void printTerminal(kestrup::Desktop& desktop, kestrup::WindowLookup& lookup) {
    const auto terminal = lookup.terminalWindow();
    if (!desktop.isWindow(terminal)) {
        std::printf("terminal none\n");
    } else {
        std::printf("terminal showCmd %d\n", desktop.showCommand(terminal));
    }
}

int usage() {
    std::fprintf(stderr,
                 "usage: ide_driver lookup | compile | save <path> | terminal <flags> | scan <text> | "
                 "close <title>\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const std::string command = argv[1];
    const char* argument = argc > 2 ? argv[2] : nullptr;
    std::setvbuf(stdout, nullptr, _IONBF, 0);

    kestrup::Win32Desktop desktop;
    kestrup::Win32Keyboard keyboard;
    PrintingNotifier notifier;
    PrintingButtons buttons;
    kestrup::WindowLookup lookup(desktop, notifier);
    kestrup::Keystrokes keys(desktop, keyboard, kestrup::systemClock(), buttons);
    lookup.searchFrom(kestrup::windowHandle(createAnchor()));

    if (command == "lookup") {
        const auto ide = lookup.lookUpIde();
        if (ide != kestrup::WindowHandle::none) std::printf("ide %s\n", desktop.windowTitle(ide).c_str());
    } else if (command == "compile") {
        const auto ide = lookup.lookUpIde();
        if (ide == kestrup::WindowHandle::none) return 0;
        lookup.lookUpTerminal();
        lookup.controlTerminal(kestrup::terminalMinimize);
        keys.compile(ide);
        printTerminal(desktop, lookup);
    } else if (command == "save" && argument != nullptr) {
        const auto ide = lookup.lookUpIde();
        if (ide == kestrup::WindowHandle::none) return 0;
        keys.saveImage(ide, argument);
    } else if (command == "terminal" && argument != nullptr) {
        lookup.lookUpTerminal();
        lookup.controlTerminal(static_cast<std::uint32_t>(std::strtoul(argument, nullptr, 0)));
        printTerminal(desktop, lookup);
    } else if (command == "scan" && argument != nullptr) {
        for (const char* c = argument; *c != '\0'; ++c) {
            std::printf("%02X %d\n", static_cast<unsigned char>(*c), keyboard.scanCharacter(*c));
        }
    } else if (command == "close" && argument != nullptr) {
        HWND window = FindWindowA(nullptr, argument);
        if (window == nullptr) return 1;
        PostMessageA(window, WM_CLOSE, 0, 0);
    } else {
        return usage();
    }
    return 0;
}
