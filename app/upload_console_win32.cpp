#include "upload_console_win32.h"

#include <string>

namespace kestrup {

void Win32UploadConsole::open() {
    AllocConsole();  // a console the process already has is used as it is
    out_ = GetStdHandle(STD_OUTPUT_HANDLE);
    const std::string title(consoleTitle);
    SetConsoleTitleA(title.c_str());
    SetForegroundWindow(FindWindowA(nullptr, title.c_str()));
}

void Win32UploadConsole::close() {
    FreeConsole();
    out_ = nullptr;
}

void Win32UploadConsole::statusLine(std::string_view message) {
    write(message);
    write("\n");
}

void Win32UploadConsole::write(std::string_view bytes) {
    if (bytes.empty()) return;
    DWORD done = 0;
    const auto size = static_cast<DWORD>(bytes.size());
    // Redirected output is no console: the same bytes go to it as a file.
    if (!WriteConsoleA(out_, bytes.data(), size, &done, nullptr)) WriteFile(out_, bytes.data(), size, &done, nullptr);
}

}  // namespace kestrup
