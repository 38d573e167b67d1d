#pragma once
// Synthetic keyboard input: key transitions injected into the system's input stream, delivered to
// whichever window has the keyboard focus, and the layout's answer for typing a character.

#include <cstdint>

namespace kestrup {

enum class KeyDirection { down, up };

// The virtual keys the automation presses, by the system's codes.
namespace vk {
enum : std::uint8_t { enter = 0x0D, shift = 0x10, control = 0x11, alt = 0x12, f8 = 0x77 };
}  // namespace vk

class Keyboard {
public:
    virtual ~Keyboard() = default;

    // One transition of a virtual key, with no scan code and no extended flag.
    virtual void keyEvent(std::uint8_t virtualKey, KeyDirection direction) = 0;
    // The layout of our own thread (not the IDE's) asked for the key that types `character`:
    // virtual key in the low byte, shift state in the high byte, -1 when no key types it.
    virtual std::int16_t scanCharacter(char character) = 0;
    // One transition that delivers the character itself, as the system's ANSI code page reads the
    // byte, without any key of the layout. Sends nothing when the byte is no character there.
    virtual void unicodeKeyEvent(char character, KeyDirection direction) = 0;
};

}  // namespace kestrup
