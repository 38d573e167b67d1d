#pragma once
// The window program's upload console: a console window titled "Kestrupload" that exists for one
// upload. Closing it by hand ends the program, after the given action has cleaned up.

#include "upload_console.h"

#include <windows.h>

namespace kestrup {

class Win32UploadConsole final : public UploadConsole {
public:
    // onUserClose runs on a system thread when the user closes the console window, while an
    // upload may be running; the process ends when it returns.
    explicit Win32UploadConsole(void (*onUserClose)());

    void open() override;
    void close() override;
    void statusLine(std::string_view message) override;

private:
    void write(std::string_view bytes);

    HANDLE out_ = nullptr;
    bool handlerInstalled_ = false;
};

}  // namespace kestrup
