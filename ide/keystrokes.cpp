#include "keystrokes.h"

#include <array>

namespace kestrup {
namespace {

struct Modifier {
    unsigned shiftStateBit;
    std::uint8_t virtualKey;
};
// Pressed in this order and released in this same order, not in reverse.
constexpr std::array<Modifier, 3> modifiers{{{1, vk::shift}, {2, vk::control}, {4, vk::alt}}};

constexpr std::uint8_t keyB = 0x42;
constexpr std::uint8_t keyC = 0x43;

}  // namespace

void Keystrokes::typeCharacter(char character) {
    const std::int16_t answer = keyboard_.scanCharacter(character);
    const auto virtualKey = static_cast<std::uint8_t>(answer & 0xFF);
    // The layout answers -1 for a character none of its keys types; taken as a key, that would
    // press 0xFF with every modifier held. Virtual key 0xFF is no key on any layout either.
    if (virtualKey == 0xFF) {
        keyboard_.unicodeKeyEvent(character, KeyDirection::down);
        keyboard_.unicodeKeyEvent(character, KeyDirection::up);
        return;
    }
    const unsigned shiftState = static_cast<std::uint16_t>(answer) >> 8;
    for (const auto& modifier : modifiers) {
        if (shiftState & modifier.shiftStateBit) keyboard_.keyEvent(modifier.virtualKey, KeyDirection::down);
    }
    press(virtualKey);
    for (const auto& modifier : modifiers) {
        if (shiftState & modifier.shiftStateBit) keyboard_.keyEvent(modifier.virtualKey, KeyDirection::up);
    }
}

void Keystrokes::compile(WindowHandle ide) {
    desktop_.setForeground(ide);
    clock_.pause(stepPauseMs);
    press(vk::f8);
    buttons_.enableAll();
}

void Keystrokes::saveImage(WindowHandle ide, const std::string& imagePath) {
    desktop_.setForeground(ide);
    clock_.pause(stepPauseMs);
    // A save that fails must not leave an earlier image behind to be loaded in its place.
    desktop_.deleteFile(imagePath);
    clock_.pause(stepPauseMs);
    pressWithAlt(keyB);
    clock_.pause(stepPauseMs);
    for (const char character : imagePath) typeCharacter(character);
    clock_.pause(stepPauseMs);
    press(vk::enter);
    clock_.pause(stepPauseMs);
    pressWithAlt(keyC);
    clock_.pause(stepPauseMs);
    buttons_.disableAll();
}

void Keystrokes::press(std::uint8_t virtualKey) {
    keyboard_.keyEvent(virtualKey, KeyDirection::down);
    keyboard_.keyEvent(virtualKey, KeyDirection::up);
}

void Keystrokes::pressWithAlt(std::uint8_t virtualKey) {
    keyboard_.keyEvent(vk::alt, KeyDirection::down);
    press(virtualKey);
    keyboard_.keyEvent(vk::alt, KeyDirection::up);
}

}  // namespace kestrup
