#include "main_window_win32.h"

#include <vector>

namespace kestrup::app {
namespace {

constexpr char className[] = "Kestrup01";
constexpr DWORD windowStyle = WS_CAPTION | WS_SYSMENU;
constexpr int iconResource = 1;

struct ControlClass {
    const char* name;
    DWORD style;
    DWORD exStyle;
};

ControlClass classOf(ControlKind kind) {
    switch (kind) {
        case ControlKind::button:
            return {"BUTTON", WS_TABSTOP | BS_PUSHBUTTON, 0};
        case ControlKind::label:
            return {"STATIC", SS_LEFT, 0};
        case ControlKind::field:
            return {"EDIT", WS_TABSTOP | ES_LEFT | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE};
    }
    return {"STATIC", 0, 0};
}

std::size_t indexOfId(int id) {
    for (std::size_t i = 0; i < controls.size(); ++i)
        if (controls[i].id == id) return i;
    return 0;
}

}  // namespace

Win32MainWindow::~Win32MainWindow() {
    destroy();
}

bool Win32MainWindow::create(HINSTANCE instance) {
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = instance;
    windowClass.hIcon =
        static_cast<HICON>(LoadImageA(instance, MAKEINTRESOURCEA(iconResource), IMAGE_ICON, 32, 32, LR_DEFAULTCOLOR));
    windowClass.hIconSm =
        static_cast<HICON>(LoadImageA(instance, MAKEINTRESOURCEA(iconResource), IMAGE_ICON,
                                      GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
    windowClass.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    windowClass.lpszClassName = className;
    if (RegisterClassExA(&windowClass) == 0) return false;

    const ClientSize client = clientSize();
    const SIZE outer = outerSize(client.width, client.height);
    const std::string title(windowTitle);
    window_ = CreateWindowExA(0, className, title.c_str(), windowStyle | WS_VISIBLE, createX, createY, outer.cx,
                              outer.cy, nullptr, nullptr, instance, this);
    return window_ != nullptr;
}

void Win32MainWindow::createControls() {
    const auto font = reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT));
    const auto instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(window_, GWLP_HINSTANCE));
    for (std::size_t i = 0; i < controls.size(); ++i) {
        const ControlSpec& spec = controls[i];
        const ControlClass kind = classOf(spec.kind);
        const std::string text(spec.text);
        controls_[i] = CreateWindowExA(kind.exStyle, kind.name, text.c_str(), WS_CHILD | WS_VISIBLE | kind.style,
                                       spec.x, spec.y, spec.width, spec.height, window_,
                                       reinterpret_cast<HMENU>(static_cast<INT_PTR>(spec.id)), instance, nullptr);
        SendMessageA(controls_[i], WM_SETFONT, font, FALSE);
    }
}

void Win32MainWindow::makeTopmost() {
    SetWindowPos(window_, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
}

void Win32MainWindow::destroy() {
    if (window_ != nullptr) DestroyWindow(window_);
    window_ = nullptr;
    controls_ = {};
}

bool Win32MainWindow::handleTab(const MSG& message) {
    if (message.message != WM_KEYDOWN || message.wParam != VK_TAB) return false;
    if (message.hwnd != window_ && !IsChild(window_, message.hwnd)) return false;
    std::array<bool, controls.size()> canTakeFocus{};
    int current = -1;
    HWND focus = GetFocus();
    for (std::size_t i = 0; i < controls.size(); ++i) {
        HWND control = controls_[i];
        canTakeFocus[i] = (GetWindowLongA(control, GWL_STYLE) & WS_TABSTOP) != 0 && IsWindowEnabled(control) &&
                          IsWindowVisible(control);
        if (control == focus) current = static_cast<int>(i);
    }
    const int next = nextFocus(canTakeFocus, current, GetKeyState(VK_SHIFT) < 0);
    if (next < 0) return true;
    const auto index = static_cast<std::size_t>(next);
    SetFocus(controls_[index]);
    // As in dialogs: a field reached by Tab has its text selected, ready to be typed over.
    if (controls[index].kind == ControlKind::field) SendMessageA(controls_[index], EM_SETSEL, 0, -1);
    return true;
}

std::string Win32MainWindow::comFieldText(int row) {
    HWND field = controls_[indexOfId(comFieldId(row))];
    const int length = GetWindowTextLengthA(field);
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    const int got = GetWindowTextA(field, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(got > 0 ? got : 0));
    return text;
}

void Win32MainWindow::setComFieldText(int row, const std::string& text) {
    SetWindowTextA(controls_[indexOfId(comFieldId(row))], text.c_str());
}

settings::WindowPosition Win32MainWindow::position() {
    RECT outer{};
    GetWindowRect(window_, &outer);
    return {static_cast<std::int32_t>(outer.left), static_cast<std::int32_t>(outer.top)};
}

void Win32MainWindow::moveTo(settings::WindowPosition position) {
    RECT client{};
    GetClientRect(window_, &client);
    const SIZE outer = outerSize(client.right, client.bottom);
    SetWindowPos(window_, nullptr, position.x, position.y, outer.cx, outer.cy, SWP_NOACTIVATE | SWP_NOZORDER);
}

void Win32MainWindow::setUploadButtonsEnabled(bool enabled) {
    for (int row = 0; row < uploadRows; ++row) EnableWindow(controls_[indexOfId(uploadButtonId(row))], enabled);
}

SIZE Win32MainWindow::outerSize(int clientWidth, int clientHeight) const {
    RECT rect{0, 0, clientWidth, clientHeight};
    AdjustWindowRectEx(&rect, windowStyle, FALSE, 0);
    return {rect.right - rect.left, rect.bottom - rect.top};
}

LRESULT CALLBACK Win32MainWindow::procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* self = static_cast<Win32MainWindow*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        self->window_ = window;
    }
    auto* self = reinterpret_cast<Win32MainWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (self == nullptr) return DefWindowProcA(window, message, wParam, lParam);
    return self->handle(message, wParam, lParam);
}

LRESULT Win32MainWindow::handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COMMAND:
            // Only controls: a command without a control window comes from a menu or an accelerator.
            if (lParam != 0) onControl_(LOWORD(wParam));
            return 0;
        case WM_GETMINMAXINFO: {
            // The system's smallest width for a captioned window would widen the client area beyond
            // the controls' margins.
            auto* limits = reinterpret_cast<MINMAXINFO*>(lParam);
            limits->ptMinTrackSize = {1, 1};
            return 0;
        }
        case WM_CLOSE:
            // The window stays until the end of the program; the event loop ends.
            closeRequested_ = true;
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcA(window_, message, wParam, lParam);
    }
}

}  // namespace kestrup::app
