#pragma once
// The stand-ins' event log: one line per event, each written through at once so that a test can
// read it while the program runs. Lines start with the milliseconds since boot, for pause checks.

#include <shellapi.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "base/unique_handle_win32.h"

namespace standin {

inline std::string utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

class Log {
public:
    explicit Log(const wchar_t* path)
        : file_(CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)) {}

    bool ok() const { return file_.valid(); }

    void line(const std::string& text) {
        if (!ok()) return;
        const std::string out = std::to_string(GetTickCount()) + " " + text + "\n";
        DWORD written = 0;
        WriteFile(file_.get(), out.data(), static_cast<DWORD>(out.size()), &written, nullptr);
    }

    static std::string hex(unsigned value, int digits) {
        char buffer[16];
        std::snprintf(buffer, sizeof buffer, "0x%0*X", digits, value);
        return buffer;
    }

private:
    kestrup::UniqueFileHandle file_;
};

// The command line as wide strings, the program's name first.
inline std::wstring argument(int index) {
    int count = 0;
    LPWSTR* args = CommandLineToArgvW(GetCommandLineW(), &count);
    std::wstring value = (args != nullptr && index < count) ? args[index] : L"";
    LocalFree(args);
    return value;
}

}  // namespace standin
