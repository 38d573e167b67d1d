// A stand-in for the IDE in tests and the demo: a window titled "Propeller Tool - " and a file
// name (or any title given), which "compiles" on F8, opens a save prompt on Alt+B that takes typed
// characters until Enter, and on Alt+C writes a compiled image to the path typed, if it has
// compiled. Every key message it receives, its activation, and what it made of them go to the log.
// Given an image file, it "compiles" that file's bytes instead of its own small program: a real
// compiler's output, for a load that must run on the chip.
//
//   standin_ide.exe <log file> [<window title> [<image file>]]

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "standin_image.h"
#include "standin_log.h"

namespace {

struct Ide {
    standin::Log* log = nullptr;
    unsigned compiles = 0;
    bool prompting = false;
    std::wstring typed;
    std::wstring savePath;
    std::wstring imageFile;
    std::wstring status = L"Press F8 to compile";
};

Ide ide;

void show(HWND window, std::wstring status) {
    ide.status = std::move(status);
    InvalidateRect(window, nullptr, TRUE);
}

bool readFile(const std::wstring& path, std::vector<std::uint8_t>& bytes) {
    kestrup::UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                               FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart > 32768) return false;
    bytes.resize(static_cast<std::size_t>(size.QuadPart));
    DWORD read = 0;
    return ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) && read == bytes.size();
}

void saveImage(HWND window) {
    if (ide.compiles == 0) {
        ide.log->line("save refused: not compiled");
        return show(window, L"Nothing compiled to save");
    }
    if (ide.prompting || ide.savePath.empty()) {
        ide.log->line("save refused: no path");
        return show(window, L"No file name given");
    }
    std::vector<std::uint8_t> image;
    if (ide.imageFile.empty()) {
        image = standin::compiledImage(ide.compiles);
    } else if (!readFile(ide.imageFile, image)) {
        ide.log->line("save failed: cannot read " + standin::utf8(ide.imageFile));
        return show(window, L"Could not read " + ide.imageFile);
    }
    kestrup::UniqueFileHandle file(
        CreateFileW(ide.savePath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    const bool ok = file && WriteFile(file.get(), image.data(), static_cast<DWORD>(image.size()), &written, nullptr) &&
                    written == image.size();
    const DWORD error = GetLastError();
    // Closed before it is logged: a test that reads the log may open the image next.
    file.reset();
    if (ok) {
        ide.log->line("saved " + std::to_string(written) + " " + standin::utf8(ide.savePath));
        show(window, L"Saved " + ide.savePath);
    } else {
        ide.log->line("save failed " + std::to_string(error) + " " + standin::utf8(ide.savePath));
        show(window, L"Could not save " + ide.savePath);
    }
}

void keyDown(HWND window, WPARAM key, bool alt) {
    if (key == VK_F8 && !alt) {
        ++ide.compiles;
        ide.log->line("compiled " + std::to_string(ide.compiles));
        show(window, L"Compiled " + std::to_wstring(ide.compiles) + L" time(s)");
    } else if (key == 'B' && alt) {
        ide.prompting = true;
        ide.typed.clear();
        ide.savePath.clear();
        ide.log->line("prompt open");
        show(window, L"Save as: ");
    } else if (key == 'C' && alt) {
        saveImage(window);
    }
}

void character(HWND window, wchar_t c) {
    if (!ide.prompting) return;
    if (c == L'\r') {
        ide.prompting = false;
        ide.savePath = ide.typed;
        ide.log->line("prompt path " + standin::utf8(ide.savePath));
        return show(window, L"Save as: " + ide.savePath + L" (Alt+C saves)");
    }
    if (c == L'\b') {
        if (!ide.typed.empty()) ide.typed.pop_back();
    } else if (c >= L' ') {
        ide.typed.push_back(c);
    }
    show(window, L"Save as: " + ide.typed);
}

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_KEYDOWN:
        case WM_SYSKEYDOWN:
        case WM_KEYUP:
        case WM_SYSKEYUP: {
            const bool down = message == WM_KEYDOWN || message == WM_SYSKEYDOWN;
            const bool sys = message == WM_SYSKEYDOWN || message == WM_SYSKEYUP;
            ide.log->line(std::string("key ") + (down ? "down " : "up ") + standin::Log::hex(wParam & 0xFF, 2) +
                          (sys ? " sys" : ""));
            if (down) keyDown(window, wParam, sys && GetKeyState(VK_MENU) < 0);
            // Alt+F4 still closes; other Alt keys must not enter the (missing) menu.
            if (sys && wParam == VK_F4) break;
            return 0;
        }
        case WM_CHAR:
        case WM_SYSCHAR:
            ide.log->line("char " + standin::Log::hex(static_cast<unsigned>(wParam & 0xFFFF), 4) +
                          (message == WM_SYSCHAR ? " sys" : ""));
            if (message == WM_CHAR) character(window, static_cast<wchar_t>(wParam));
            return 0;
        case WM_ACTIVATE:
            // Keys are only meant for the IDE once it is the active window.
            ide.log->line(LOWORD(wParam) == WA_INACTIVE ? "inactive" : "active");
            break;
        case WM_PAINT: {
            PAINTSTRUCT paint;
            HDC dc = BeginPaint(window, &paint);
            RECT area;
            GetClientRect(window, &area);
            InflateRect(&area, -8, -8);
            DrawTextW(dc, ide.status.c_str(), -1, &area, DT_LEFT | DT_WORDBREAK | DT_NOPREFIX);
            EndPaint(window, &paint);
            return 0;
        }
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
    std::wstring title = standin::argument(2);
    if (title.empty()) title = L"Propeller Tool - Blink.spin";
    ide.imageFile = standin::argument(3);
    standin::Log log(logPath.c_str());
    if (logPath.empty() || !log.ok()) return 2;
    ide.log = &log;

    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = L"KestrupStandinIde";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, windowClass.lpszClassName, title.c_str(), WS_OVERLAPPEDWINDOW, 40, 40, 520, 160,
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
