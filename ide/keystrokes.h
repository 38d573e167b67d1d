#pragma once
// The keys that make the IDE compile (F8) and save its compiled image at a path we choose (Alt+B,
// the typed path, Enter, Alt+C), with the fixed pauses the IDE needs between them. Nothing is read
// back from the IDE: whether it obeyed shows only in the image file.

#include <string>

#include "base/clock.h"
#include "desktop.h"
#include "keyboard.h"
#include "upload_buttons.h"

namespace kestrup {

class Keystrokes {
public:
    static constexpr int stepPauseMs = 200;

    Keystrokes(Desktop& desktop, Keyboard& keyboard, Clock& clock, UploadButtons& buttons)
        : desktop_(desktop), keyboard_(keyboard), clock_(clock), buttons_(buttons) {}

    // Types one ANSI character through our own keyboard layout, with no pause.
    void typeCharacter(char character);
    // Raises the IDE, presses F8, and lets an upload follow.
    void compile(WindowHandle ide);
    // Raises the IDE, deletes the old image, has the IDE save the new one at imagePath, and makes
    // the next upload wait for another compile.
    void saveImage(WindowHandle ide, const std::string& imagePath);

private:
    void press(std::uint8_t virtualKey);
    void pressWithAlt(std::uint8_t virtualKey);

    Desktop& desktop_;
    Keyboard& keyboard_;
    Clock& clock_;
    UploadButtons& buttons_;
};

}  // namespace kestrup
