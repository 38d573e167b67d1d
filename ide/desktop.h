#pragma once
// The outside windows as the IDE automation sees them: top-level windows found by title, walked in
// Z order, asked whether they still exist and whether they are minimized, and moved about. Also the
// one file operation the automation needs, so that the sequences touch the system only through here.

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrup {

// A platform window handle carried as a number; none is the null handle.
enum class WindowHandle : std::uintptr_t { none = 0 };

class Desktop {
public:
    // GetWindowPlacement's showCmd of a minimized window.
    static constexpr int showMinimized = 2;

    virtual ~Desktop() = default;

    // The top-level window whose whole title is `title`, or none.
    virtual WindowHandle findWindow(std::string_view title) = 0;
    // The first window of the top-level list in Z order, reached from `from` (one of its members).
    virtual WindowHandle firstWindow(WindowHandle from) = 0;
    // The window below `window` in Z order, or none at the end of the list.
    virtual WindowHandle nextWindow(WindowHandle window) = 0;
    // The title as a 255-character buffer holds it: at most 254 characters, empty when unreadable.
    virtual std::string windowTitle(WindowHandle window) = 0;
    // False for none and for a window that has been destroyed.
    virtual bool isWindow(WindowHandle window) = 0;
    // showCmd of the window's placement; 0 when the placement cannot be read.
    virtual int showCommand(WindowHandle window) = 0;
    virtual void minimize(WindowHandle window) = 0;
    virtual void restore(WindowHandle window) = 0;
    virtual void setForeground(WindowHandle window) = 0;
    // A missing file is no error; nothing is reported either way.
    virtual void deleteFile(const std::string& path) = 0;
};

}  // namespace kestrup
