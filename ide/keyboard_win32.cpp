#include "keyboard_win32.h"

#include <windows.h>

namespace kestrup {

void Win32Keyboard::keyEvent(std::uint8_t virtualKey, KeyDirection direction) {
    keybd_event(virtualKey, 0, direction == KeyDirection::up ? KEYEVENTF_KEYUP : 0, 0);
}

std::int16_t Win32Keyboard::scanCharacter(char character) {
    // Our own thread's layout: the IDE's thread may use another, but the characters are ours.
    return VkKeyScanExA(character, GetKeyboardLayout(0));
}

void Win32Keyboard::unicodeKeyEvent(char character, KeyDirection direction) {
    wchar_t unit = 0;
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, &character, 1, &unit, 1) != 1) return;
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = 0;
    input.ki.wScan = unit;
    input.ki.dwFlags = KEYEVENTF_UNICODE | (direction == KeyDirection::up ? KEYEVENTF_KEYUP : 0);
    SendInput(1, &input, sizeof input);
}

}  // namespace kestrup
