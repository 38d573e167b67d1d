#pragma once
// The main window's controls as the user knows them, and the rules of their keyboard focus.

#include <array>
#include <span>
#include <string_view>

namespace kestrup::app {

inline constexpr std::string_view windowTitle = "Kestrup 01";

enum class ControlKind { button, label, field };

struct ControlSpec {
    int id;
    ControlKind kind;
    int x;
    int y;
    int width;
    int height;
    std::string_view text;
};

namespace controlId {
inline constexpr int compile = 0;
inline constexpr int save = 14;
}  // namespace controlId

// Upload row k (0 to 3): button 3k+2, label 3k+3, COM field 3k+4.
constexpr int uploadButtonId(int row) {
    return 3 * row + 2;
}
constexpr int comFieldId(int row) {
    return 3 * row + 4;
}
inline constexpr int uploadRows = 4;

// In creation order, which is also the Tab order.
inline constexpr std::array<ControlSpec, 14> controls{{
    {0, ControlKind::button, 4, 4, 60, 18, "Compile"},
    {14, ControlKind::button, 74, 4, 40, 18, "Save"},
    {2, ControlKind::button, 4, 28, 50, 18, "Upload"},
    {3, ControlKind::label, 60, 29, 25, 18, "Com"},
    {4, ControlKind::field, 88, 28, 25, 18, ""},
    {5, ControlKind::button, 4, 50, 50, 18, "Upload"},
    {6, ControlKind::label, 60, 51, 25, 18, "Com"},
    {7, ControlKind::field, 88, 50, 25, 18, ""},
    {8, ControlKind::button, 4, 72, 50, 18, "Upload"},
    {9, ControlKind::label, 60, 73, 25, 18, "Com"},
    {10, ControlKind::field, 88, 72, 25, 18, ""},
    {11, ControlKind::button, 4, 94, 50, 18, "Upload"},
    {12, ControlKind::label, 60, 95, 25, 18, "Com"},
    {13, ControlKind::field, 88, 94, 25, 18, ""},
}};

inline constexpr int createX = 630;
inline constexpr int createY = 200;

struct ClientSize {
    int width;
    int height;
};

// The width once asked for, 80, cut off the Save button and the COM fields; the client area now
// reaches past the rightmost control by the margin the controls keep on the left. The height
// already held every control with that margin below.
constexpr ClientSize clientSize() {
    int left = controls[0].x;
    int right = 0;
    for (const ControlSpec& c : controls) {
        left = c.x < left ? c.x : left;
        right = c.x + c.width > right ? c.x + c.width : right;
    }
    return {right + left, 116};
}

// The index that Tab (or Shift+Tab when backwards) moves the focus to from current (-1 for none),
// wrapping at the ends and passing over what cannot take the focus; -1 when nothing can.
int nextFocus(std::span<const bool> canTakeFocus, int current, bool backwards);

}  // namespace kestrup::app
