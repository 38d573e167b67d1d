#pragma once
// Test doubles for the window program's side: its main window, the uploader, the settings files,
// and the desktop and keyboard that the IDE automation works through. Each writes what is done to
// it into a journal, so that a test can check a whole routine in one order.

#include <array>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "actions.h"
#include "desktop.h"
#include "fakes.h"
#include "keyboard.h"
#include "settings_storage.h"

namespace kestrup::test {

// "read field 0", "set field 1 'text'", "move x,y", "enable", "disable".
class FakeWindow final : public app::MainWindow {
public:
    explicit FakeWindow(Journal& journal) : journal_(journal) {}
    std::string comFieldText(int row) override;
    void setComFieldText(int row, const std::string& text) override;
    settings::WindowPosition position() override { return at; }
    void moveTo(settings::WindowPosition position) override;
    void setUploadButtonsEnabled(bool enabled) override;

    std::array<std::string, 4> fields;
    settings::WindowPosition at{630, 200};
    bool uploadsEnabled = false;

private:
    Journal& journal_;
};

// "upload <image path> <COM number>", and " fast" for the second stage's path.
class FakeUploader final : public app::Uploader {
public:
    explicit FakeUploader(Journal& journal) : journal_(journal) {}
    void upload(const std::string& imagePath, std::int32_t comNumber, bool fast) override {
        journal_.add("upload " + imagePath + " " + std::to_string(comNumber) + (fast ? " fast" : ""));
    }

private:
    Journal& journal_;
};

// Files in memory, with the faults a disk can have.
class MemoryStorage final : public settings::Storage {
public:
    enum class Fault { none, cannotCreate, diskFull, closeFails, cannotReplace };

    std::optional<std::string> read(const std::string& path) override;
    bool writeWhole(const std::string& path, std::string_view bytes) override;
    bool replace(const std::string& source, const std::string& target) override;
    void remove(const std::string& path) override { files.erase(path); }

    Fault fault = Fault::none;
    std::optional<std::size_t> failAt;  // the write stops after this many bytes
    std::map<std::string, std::string> files;
};

// Top-level windows in Z order (first is topmost) that exist until closed. What is done to them is
// journalled by title: "minimize Tavlund", "restore ...", "foreground ...", and "delete <path>".
class FakeDesktop final : public Desktop {
public:
    struct Window {
        std::string title;
        int showCmd = 1;
        bool alive = true;
    };

    explicit FakeDesktop(Journal& journal) : journal_(journal) {}

    // Handles are 100 + the index, so that none (0) is never one of them.
    WindowHandle add(std::string title, int showCmd = 1);
    Window& at(WindowHandle handle) { return windows.at(index(handle)); }

    WindowHandle findWindow(std::string_view title) override;
    WindowHandle firstWindow(WindowHandle from) override;
    WindowHandle nextWindow(WindowHandle window) override { return next(index(window) + 1); }
    std::string windowTitle(WindowHandle window) override;
    bool isWindow(WindowHandle window) override;
    int showCommand(WindowHandle window) override { return at(window).showCmd; }
    void minimize(WindowHandle window) override;
    void restore(WindowHandle window) override;
    void setForeground(WindowHandle window) override { journal_.add("foreground " + at(window).title); }
    void deleteFile(const std::string& path) override { journal_.add("delete " + path); }

    std::vector<Window> windows;
    std::vector<WindowHandle> walkStarts;
    std::vector<WindowHandle> titlesRead;

private:
    static std::size_t index(WindowHandle handle) { return static_cast<std::size_t>(handle) - 100; }
    WindowHandle next(std::size_t from);

    Journal& journal_;
};

// Two hex digits, as key events are journalled.
std::string hexKey(std::uint8_t key);

// A keyboard with a small layout of its own ('@' is AltGr+Q, as on a German layout). It journals
// every transition ("down 4B", "up 10", "unicode down c") and models the window with the focus:
// `typed` is what the key presses type there, given the modifiers held, with keys that type
// nothing there as commands ("<77>", "<Alt+42>").
class FakeKeyboard final : public Keyboard {
public:
    explicit FakeKeyboard(Journal& journal);

    void keyEvent(std::uint8_t virtualKey, KeyDirection direction) override;
    std::int16_t scanCharacter(char character) override;
    void unicodeKeyEvent(char character, KeyDirection direction) override;

    std::map<char, std::int16_t> layout;
    std::map<std::uint8_t, bool> held;
    std::string typed;

private:
    Journal& journal_;
};

}  // namespace kestrup::test
