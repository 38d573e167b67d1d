#pragma once
// The main window "Kestrup 01" and its 14 controls: creation, the operations the actions use, and
// the Tab order.

#include <windows.h>

#include <array>
#include <functional>

#include "actions.h"
#include "window_layout.h"

namespace kestrup::app {

class Win32MainWindow final : public MainWindow {
public:
    // Runs for every control event, on the thread of the event loop.
    using ControlHandler = std::function<void(int id)>;

    explicit Win32MainWindow(ControlHandler onControl) : onControl_(std::move(onControl)) {}
    ~Win32MainWindow() override;
    Win32MainWindow(const Win32MainWindow&) = delete;
    Win32MainWindow& operator=(const Win32MainWindow&) = delete;

    // The window, shown and active, at its place of creation; false when it cannot be made.
    bool create(HINSTANCE instance);
    void createControls();
    void makeTopmost();
    void destroy();

    // Tab and Shift+Tab on the window or a control: moves the focus and gives true.
    bool handleTab(const MSG& message);
    bool closeRequested() const { return closeRequested_; }
    HWND handle() const { return window_; }

    std::string comFieldText(int row) override;
    void setComFieldText(int row, const std::string& text) override;
    settings::WindowPosition position() override;
    void moveTo(settings::WindowPosition position) override;
    void setUploadButtonsEnabled(bool enabled) override;

private:
    static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
    SIZE outerSize(int clientWidth, int clientHeight) const;

    ControlHandler onControl_;
    HWND window_ = nullptr;
    std::array<HWND, controls.size()> controls_{};
    bool closeRequested_ = false;
};

}  // namespace kestrup::app
