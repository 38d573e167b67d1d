#pragma once
// The window program's upload console: a console window titled "Kestrupload" that exists for one
// upload, from open() to close().

#include <windows.h>

#include <string_view>

#include "base/console.h"

namespace kestrup {

inline constexpr std::string_view consoleTitle = "Kestrupload";

class Win32UploadConsole final : public UploadConsole {
public:
    void open() override;
    void close() override;
    void statusLine(std::string_view message) override;

private:
    void write(std::string_view bytes);

    HANDLE out_ = nullptr;
};

}  // namespace kestrup
