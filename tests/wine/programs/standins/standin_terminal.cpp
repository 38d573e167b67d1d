// A stand-in for the serial terminal: a window titled "Tavlund" that logs how it is shown
// (minimized, restored) and when it becomes or stops being the active window.
//
//   standin_terminal.exe <log file>

#include <windows.h>

#include <string>

#include "standin_log.h"

namespace {

standin::Log* eventLog = nullptr;

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_SIZE:
            if (wParam == SIZE_MINIMIZED) eventLog->line("size minimized");
            if (wParam == SIZE_RESTORED) eventLog->line("size restored");
            if (wParam == SIZE_MAXIMIZED) eventLog->line("size maximized");
            break;
        case WM_ACTIVATE:
            eventLog->line(LOWORD(wParam) == WA_INACTIVE ? "inactive" : "active");
            break;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    const std::wstring logPath = standin::argument(1);
    standin::Log log(logPath.c_str());
    if (logPath.empty() || !log.ok()) return 2;
    eventLog = &log;

    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = L"KestrupStandinTerminal";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"Tavlund", WS_OVERLAPPEDWINDOW, 600, 40, 360, 200,
                                  nullptr, nullptr, instance, nullptr);
    if (window == nullptr) return 1;
    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);
    log.line("ready");

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    log.line("closed");
    return 0;
}
