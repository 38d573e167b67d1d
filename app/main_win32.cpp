// kestrup.exe: the window program. Composes the loader, the settings, the IDE automation and the
// main window, runs the event loop and ends with exit code 0 when the window is closed.

#include "actions.h"
#include "board.h"
#include "desktop_win32.h"
#include "guarded_port.h"
#include "ide_automation.h"
#include "keyboard_win32.h"
#include "keystrokes.h"
#include "main_window_win32.h"
#include "message_box_win32.h"
#include "program_folder.h"
#include "settings_storage_win32.h"
#include "upload_console_win32.h"
#include "window_lookup.h"

#include <memory>

#include <commctrl.h>
#include <windows.h>

using namespace kestrup;

namespace {

// What the console's close handler may reach. It runs on a system thread in the middle of an
// upload, so it touches only the port (behind its guard) and posts to the window.
GuardedSerialPort* openPort = nullptr;
HWND mainWindow = nullptr;

class BoardUploader final : public app::Uploader {
public:
    BoardUploader(Clock& clock, UploadConsole& console, Notifier& notifier)
        : clock_(clock), console_(console), notifier_(notifier) {}

    void upload(const std::string& imagePath, std::int32_t comNumber) override {
        auto port = std::make_unique<GuardedSerialPort>(makeSystemSerialPort());
        openPort = port.get();
        // On the heap: the image buffer is larger than a stack should carry.
        std::make_unique<Board>(PortAddress::com(comNumber), std::move(port), clock_, console_, notifier_)->upload(imagePath);
        openPort = nullptr;
    }

private:
    Clock& clock_;
    UploadConsole& console_;
    Notifier& notifier_;
};

void cleanupOnConsoleClose() {
    if (mainWindow != nullptr) ShowWindowAsync(mainWindow, SW_HIDE);
    if (openPort != nullptr) openPort->stopForever();
}

std::optional<std::string> programFolder() {
    const auto path = app::wholePath([](char* buffer, std::size_t size) {
        return static_cast<std::size_t>(GetModuleFileNameA(nullptr, buffer, static_cast<DWORD>(size)));
    });
    // A name that the ANSI code page cannot hold comes back with '?', which no real path contains.
    if (!path || path->find('?') != std::string::npos) return std::nullopt;
    return app::folderOf(*path);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    INITCOMMONCONTROLSEX commonControls{sizeof commonControls, ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&commonControls);

    // Every file lies beside the program: a folder named wrongly would load and save elsewhere.
    const auto folder = programFolder();
    if (!folder) {
        MessageBoxA(nullptr, "The program's folder cannot be found: its path is too long or not in the ANSI code page.",
                    "Kestrup 01", MB_OK);
        return 1;
    }

    Clock& clock = systemClock();
    app::MessageBoxNotifier notifier;
    Win32UploadConsole console(cleanupOnConsoleClose);
    BoardUploader uploader(clock, console, notifier);
    app::Win32SettingsStorage storage;

    app::Actions* actions = nullptr;
    app::Win32MainWindow window([&actions](int id) {
        if (actions != nullptr) actions->onControl(id);
    });
    if (!window.create(instance)) return 0;

    Win32Desktop desktop;
    Win32Keyboard keyboard;
    WindowLookup lookup(desktop, notifier);
    // The title search walks the top-level list that our own window belongs to.
    lookup.searchFrom(windowHandle(window.handle()));
    app::WindowUploadButtons uploadButtons(window);
    Keystrokes keys(desktop, keyboard, clock, uploadButtons);
    app::AutomatedIde ide(lookup, keys);

    app::Actions buttonActions(*folder, window, uploader, storage, &ide);
    window.createControls();
    window.makeTopmost();
    window.setUploadButtonsEnabled(false);
    buttonActions.loadSettings();
    actions = &buttonActions;
    mainWindow = window.handle();

    MSG message{};
    while (!window.closeRequested() && GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (window.handleTab(message)) continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }

    // Nothing is saved at the end: only Save writes the settings.
    mainWindow = nullptr;
    window.destroy();
    return 0;
}
