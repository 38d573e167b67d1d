#include "message_box_win32.h"

#include <windows.h>

#include <string>
#include <vector>

namespace kestrup::app {
namespace {

struct Disabling {
    HWND foreground;
    std::vector<HWND> disabled;
};

BOOL CALLBACK disableOne(HWND window, LPARAM context) {
    auto& state = *reinterpret_cast<Disabling*>(context);
    if (window != state.foreground && GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId() &&
        IsWindowVisible(window) && IsWindowEnabled(window)) {
        EnableWindow(window, FALSE);
        state.disabled.push_back(window);
    }
    return TRUE;
}

}  // namespace

void MessageBoxNotifier::notify(std::string_view caption, std::string_view message) {
    HWND foreground = GetForegroundWindow();
    DWORD process = 0;
    if (foreground != nullptr) GetWindowThreadProcessId(foreground, &process);
    // Another program's window must not become the owner: the box would be modal to it instead.
    HWND owner = process == GetCurrentProcessId() ? foreground : nullptr;

    // The owner is disabled by the box itself; every other window of ours by us, so that no
    // button of the program reacts until the box is closed.
    Disabling state{foreground, {}};
    EnumWindows(disableOne, reinterpret_cast<LPARAM>(&state));
    const std::string captionText(caption);
    const std::string messageText(message);
    MessageBoxA(owner, messageText.c_str(), captionText.c_str(), MB_OK);
    for (HWND window : state.disabled) EnableWindow(window, TRUE);
}

}  // namespace kestrup::app
