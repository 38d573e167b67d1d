#pragma once
// The desktop of the Win32 window manager.

#include <cstdint>

#include "desktop.h"

namespace kestrup {

// A window handle of the platform (an HWND) as the automation carries it.
inline WindowHandle windowHandle(const void* platformWindow) {
    return static_cast<WindowHandle>(reinterpret_cast<std::uintptr_t>(platformWindow));
}

class Win32Desktop final : public Desktop {
public:
    WindowHandle findWindow(std::string_view title) override;
    WindowHandle firstWindow(WindowHandle from) override;
    WindowHandle nextWindow(WindowHandle window) override;
    std::string windowTitle(WindowHandle window) override;
    bool isWindow(WindowHandle window) override;
    int showCommand(WindowHandle window) override;
    void minimize(WindowHandle window) override;
    void restore(WindowHandle window) override;
    void setForeground(WindowHandle window) override;
    void deleteFile(const std::string& path) override;
};

}  // namespace kestrup
