#pragma once
// Finding the IDE's and the terminal's windows by title, and moving the terminal out of the way
// before a compile and back after an upload.

#include <cstdint>
#include <string_view>

#include "base/console.h"
#include "desktop.h"

namespace kestrup {

// Flags of controlTerminal.
inline constexpr std::uint32_t terminalMinimize = 1;  // minimize it unless it is minimized
inline constexpr std::uint32_t terminalRestore = 2;   // restore and raise it if it is minimized
inline constexpr std::uint32_t terminalFront = 4;     // raise it if it is not minimized (and no minimize)

// The titles searched for and the box shown when the IDE is missing, byte for byte.
namespace text {
inline constexpr std::string_view ideTitle = "Propeller Tool";
// With a file open the IDE's title goes on after this, so it is searched for anywhere in a title.
inline constexpr std::string_view ideTitleWithFile = "Propeller Tool -";
inline constexpr std::string_view terminalTitle = "Tavlund";
inline constexpr std::string_view ideMissingCaption = "Error";
inline constexpr std::string_view ideMissing = "Propeller IDE not found";
}  // namespace text

class WindowLookup {
public:
    // GetWindowTextA into 255 characters keeps 254 and the terminating zero.
    static constexpr std::size_t titleChars = 254;

    WindowLookup(Desktop& desktop, Notifier& notifier) : desktop_(desktop), notifier_(notifier) {}

    // The main window: title searches walk the top-level list it belongs to. Until it is set they
    // find nothing.
    void searchFrom(WindowHandle mainWindow) { searchStart_ = mainWindow; }

    // The IDE by its whole title, else by a title containing the IDE's title with a file; when
    // neither exists, the "Error" box and none. The result is also kept as ideWindow().
    WindowHandle lookUpIde();
    // The first top-level window, in Z order, whose title contains `text` (case-sensitive), or none.
    WindowHandle titleSearch(std::string_view text);

    // Refreshes the terminal window, none included; nothing is shown when it is missing.
    void lookUpTerminal();
    // Minimizes, restores or raises the terminal window as the flags say; nothing when it has gone.
    void controlTerminal(std::uint32_t flags);

    WindowHandle ideWindow() const { return ide_; }
    WindowHandle terminalWindow() const { return terminal_; }

private:
    Desktop& desktop_;
    Notifier& notifier_;
    WindowHandle searchStart_ = WindowHandle::none;
    WindowHandle ide_ = WindowHandle::none;
    WindowHandle terminal_ = WindowHandle::none;
};

}  // namespace kestrup
