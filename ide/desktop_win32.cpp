#include "desktop_win32.h"

#include <windows.h>

namespace kestrup {
namespace {

HWND hwnd(WindowHandle window) {
    return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(window));
}

// The title buffer of the window walk, terminating zero included.
constexpr int titleBuffer = 255;

}  // namespace

WindowHandle Win32Desktop::findWindow(std::string_view title) {
    const std::string wanted(title);
    return windowHandle(FindWindowA(nullptr, wanted.c_str()));
}

WindowHandle Win32Desktop::firstWindow(WindowHandle from) {
    return windowHandle(GetWindow(hwnd(from), GW_HWNDFIRST));
}

WindowHandle Win32Desktop::nextWindow(WindowHandle window) {
    return windowHandle(GetWindow(hwnd(window), GW_HWNDNEXT));
}

std::string Win32Desktop::windowTitle(WindowHandle window) {
    char buffer[titleBuffer] = {};
    const int length = GetWindowTextA(hwnd(window), buffer, titleBuffer);
    return std::string(buffer, length > 0 ? static_cast<std::size_t>(length) : 0);
}

bool Win32Desktop::isWindow(WindowHandle window) {
    return IsWindow(hwnd(window)) != FALSE;
}

int Win32Desktop::showCommand(WindowHandle window) {
    static_assert(sizeof(WINDOWPLACEMENT) == 44);
    WINDOWPLACEMENT placement{};
    placement.length = sizeof placement;
    // A failed call leaves the zeroed record: showCmd 0, not minimized.
    GetWindowPlacement(hwnd(window), &placement);
    return static_cast<int>(placement.showCmd);
}

void Win32Desktop::minimize(WindowHandle window) {
    ShowWindow(hwnd(window), SW_MINIMIZE);
}

void Win32Desktop::restore(WindowHandle window) {
    ShowWindow(hwnd(window), SW_RESTORE);
}

void Win32Desktop::setForeground(WindowHandle window) {
    SetForegroundWindow(hwnd(window));
}

void Win32Desktop::deleteFile(const std::string& path) {
    DeleteFileA(path.c_str());
}

}  // namespace kestrup
