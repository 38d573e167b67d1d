#pragma once
// Key events injected into the Win32 input stream, mapped on this thread's keyboard layout.

#include "keyboard.h"

namespace kestrup {

class Win32Keyboard final : public Keyboard {
public:
    void keyEvent(std::uint8_t virtualKey, KeyDirection direction) override;
    std::int16_t scanCharacter(char character) override;
    void unicodeKeyEvent(char character, KeyDirection direction) override;
};

}  // namespace kestrup
