#include "window_lookup.h"

#include <algorithm>
#include <string>

namespace kestrup {

WindowHandle WindowLookup::lookUpIde() {
    ide_ = desktop_.findWindow(text::ideTitle);
    if (!desktop_.isWindow(ide_)) ide_ = titleSearch(text::ideTitleWithFile);
    if (!desktop_.isWindow(ide_)) {
        notifier_.notify(text::ideMissingCaption, text::ideMissing);
        ide_ = WindowHandle::none;
    }
    return ide_;
}

WindowHandle WindowLookup::titleSearch(std::string_view text) {
    if (text.empty()) return WindowHandle::none;
    for (auto window = desktop_.firstWindow(searchStart_); window != WindowHandle::none;
         window = desktop_.nextWindow(window)) {
        const std::string title = desktop_.windowTitle(window);
        // The comparison sees the title as the fixed buffer holds it, whatever the backend gives:
        // a match that runs past the buffer's end is no match, nor is anything after a zero.
        std::string_view held(title);
        held = held.substr(0, std::min({held.size(), titleChars, held.find('\0')}));
        if (held.find(text) != std::string_view::npos) return window;
    }
    return WindowHandle::none;
}

void WindowLookup::lookUpTerminal() {
    terminal_ = desktop_.findWindow(text::terminalTitle);
}

void WindowLookup::controlTerminal(std::uint32_t flags) {
    // The terminal is an outside program and may have been closed since it was looked up.
    if (!desktop_.isWindow(terminal_)) return;
    if (desktop_.showCommand(terminal_) == Desktop::showMinimized) {
        if (flags & terminalRestore) {
            desktop_.restore(terminal_);
            desktop_.setForeground(terminal_);
        }
        return;
    }
    if (flags & terminalMinimize) {
        desktop_.minimize(terminal_);
    } else if (flags & terminalFront) {
        desktop_.setForeground(terminal_);
    }
}

}  // namespace kestrup
