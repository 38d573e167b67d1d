// kestrup.exe: the window program. Composes the loader, the settings, the IDE automation and the
// main window, runs the event loop and ends with exit code 0 when the window is closed.

#include <windows.h>
// After <windows.h>, which they build on.
#include <commctrl.h>
#include <timeapi.h>

#include <memory>
#include <mutex>
#include <optional>

#include "actions.h"
#include "desktop_win32.h"
#include "ide_automation.h"
#include "keyboard_win32.h"
#include "keystrokes.h"
#include "main_window_win32.h"
#include "message_box_win32.h"
#include "port/guarded_port.h"
#include "program_folder.h"
#include "settings_storage_win32.h"
#include "upload/board.h"
#include "upload/load_lines.h"
#include "upload_console_win32.h"
#include "window_lookup.h"

using namespace kestrup;

namespace {

// The program for its whole run: the main window and its buttons' actions, the uploads, and the
// upload console with what closing it by hand means: the program ends, and the port it was loading
// through is given back first.
class Application final : public app::Uploader, private UploadConsole {
public:
    explicit Application(std::string folder);
    ~Application() override;
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    int run(HINSTANCE instance);

    void upload(const std::string& imagePath, std::int32_t comNumber, bool fast) override;

private:
    // The upload console, with the close handler installed once a console exists.
    void open() override;
    void close() override { console_.close(); }
    void statusLine(std::string_view message) override { console_.statusLine(message); }

    // The console's control handler runs on a thread of the system's, in the middle of an upload:
    // it reaches the one Application through `running`, only under `runningGuard`.
    static BOOL WINAPI onConsoleEvent(DWORD event);
    void consoleClosed();
    void setUploadingPort(GuardedSerialPort* port);

    static inline std::mutex runningGuard;
    static inline Application* running = nullptr;

    std::string folder_;
    Clock& clock_ = systemClock();
    app::MessageBoxNotifier notifier_;
    Win32UploadConsole console_;
    bool handlerInstalled_ = false;
    GuardedSerialPort* uploadingPort_ = nullptr;  // under runningGuard

    app::Win32SettingsStorage storage_;
    // Control events come only from controls, which exist from run() on, when actions_ does too.
    app::Win32MainWindow window_{[this](int id) { actions_.onControl(id); }};
    Win32Desktop desktop_;
    Win32Keyboard keyboard_;
    WindowLookup lookup_{desktop_, notifier_};
    app::WindowUploadButtons uploadButtons_{window_};
    Keystrokes keys_{desktop_, keyboard_, clock_, uploadButtons_};
    app::AutomatedIde ide_{lookup_, keys_};
    app::Actions actions_{folder_, window_, *this, storage_, &ide_};
};

Application::Application(std::string folder) : folder_(std::move(folder)) {
    const std::lock_guard<std::mutex> lock(runningGuard);
    running = this;
}

Application::~Application() {
    // Waits for a close handler under way; after one, the process ends here.
    const std::lock_guard<std::mutex> lock(runningGuard);
    running = nullptr;
}

int Application::run(HINSTANCE instance) {
    if (!window_.create(instance)) return 0;
    // The title search walks the top-level list that our own window belongs to.
    lookup_.searchFrom(windowHandle(window_.handle()));
    window_.createControls();
    window_.makeTopmost();
    window_.setUploadButtonsEnabled(false);
    actions_.loadSettings();

    MSG message{};
    while (!window_.closeRequested() && GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (window_.handleTab(message)) continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    // Nothing is saved at the end: only Save writes the settings. The window goes while the actions
    // its controls' last notifications reach are still there.
    window_.destroy();
    return 0;
}

// Pauses as short as asked while it lives, as the command line has them: the lean timing's 2 and
// 3 ms polls and the stage's answer windows would otherwise round up to the 15.6 ms timer tick.
class FineSleeps {
public:
    FineSleeps() { timeBeginPeriod(1); }
    ~FineSleeps() { timeEndPeriod(1); }
    FineSleeps(const FineSleeps&) = delete;
    FineSleeps& operator=(const FineSleeps&) = delete;
};

void Application::upload(const std::string& imagePath, std::int32_t comNumber, bool fast) {
    auto port = std::make_unique<GuardedSerialPort>(makeSystemSerialPort());
    GuardedSerialPort& guarded = *port;
    // FastLoad: the command line's default path, its path line on the console after the status lines.
    const BoardOptions options = app::uploadBoardOptions(fast);
    const PortAddress address = PortAddress::com(comNumber);
    UploadConsole& console = *this;
    StatusLines lines(console);
    PathLines paths(console);
    NoComNotice noCom(notifier_, address.displayName());
    EventFan events(fast ? std::vector<LoadEvents*>{&lines, &paths, &noCom} : std::vector<LoadEvents*>{&lines, &noCom});
    // On the heap: the image buffer is larger than a stack should carry.
    auto board = std::make_unique<Board>(address, std::move(port), clock_, console, events, options);
    setUploadingPort(&guarded);
    std::optional<FineSleeps> fine;
    if (fast) fine.emplace();
    board->upload(imagePath);
    // After a console close this waits for the process's end: the board and its stopped port stay.
    setUploadingPort(nullptr);
}

void Application::setUploadingPort(GuardedSerialPort* port) {
    const std::lock_guard<std::mutex> lock(runningGuard);
    uploadingPort_ = port;
}

void Application::open() {
    console_.open();
    if (!handlerInstalled_) handlerInstalled_ = SetConsoleCtrlHandler(onConsoleEvent, TRUE) != 0;
}

BOOL WINAPI Application::onConsoleEvent(DWORD event) {
    if (event == CTRL_CLOSE_EVENT) {
        // Never let go: the process ends when this returns, and until then nothing may start
        // another port operation or take the Application apart.
        runningGuard.lock();
        if (running != nullptr) running->consoleClosed();
    }
    // Not handled: the system's default handling follows and ends the process.
    return FALSE;
}

void Application::consoleClosed() {
    ShowWindowAsync(window_.handle(), SW_HIDE);
    if (uploadingPort_ != nullptr) uploadingPort_->stopForever();
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
    Application application(*folder);
    return application.run(instance);
}
