#include "app_fakes.h"

namespace kestrup::test {

std::string FakeWindow::comFieldText(int row) {
    journal_.add("read field " + std::to_string(row));
    return fields.at(static_cast<std::size_t>(row));
}

void FakeWindow::setComFieldText(int row, const std::string& text) {
    journal_.add("set field " + std::to_string(row) + " '" + text + "'");
    fields.at(static_cast<std::size_t>(row)) = text;
}

void FakeWindow::moveTo(settings::WindowPosition position) {
    journal_.add("move " + std::to_string(position.x) + "," + std::to_string(position.y));
    at = position;
}

void FakeWindow::setUploadButtonsEnabled(bool enabled) {
    journal_.add(enabled ? "enable" : "disable");
    uploadsEnabled = enabled;
}

std::optional<std::string> MemoryStorage::read(const std::string& path) {
    const auto it = files.find(path);
    return it == files.end() ? std::nullopt : std::optional<std::string>(it->second);
}

bool MemoryStorage::writeWhole(const std::string& path, std::string_view bytes) {
    if (fault == Fault::cannotCreate) return false;
    if (failAt) {
        // Interrupted: the file keeps what came before.
        files[path] = std::string(bytes.substr(0, *failAt));
        return *failAt >= bytes.size();
    }
    // A full disk takes part of the bytes, as a real one does before it refuses.
    files[path] = std::string(fault == Fault::diskFull ? bytes.substr(0, bytes.size() / 2) : bytes);
    return fault != Fault::diskFull && fault != Fault::closeFails;
}

bool MemoryStorage::replace(const std::string& source, const std::string& target) {
    if (fault == Fault::cannotReplace || !files.contains(source)) return false;
    files[target] = files[source];
    files.erase(source);
    return true;
}

WindowHandle FakeDesktop::add(std::string title, int showCmd) {
    windows.push_back({std::move(title), showCmd});
    return static_cast<WindowHandle>(100 + windows.size() - 1);
}

WindowHandle FakeDesktop::findWindow(std::string_view title) {
    for (std::size_t i = 0; i < windows.size(); ++i)
        if (windows[i].alive && windows[i].title == title) return static_cast<WindowHandle>(100 + i);
    return WindowHandle::none;
}

WindowHandle FakeDesktop::firstWindow(WindowHandle from) {
    walkStarts.push_back(from);
    return isWindow(from) ? next(0) : WindowHandle::none;
}

std::string FakeDesktop::windowTitle(WindowHandle window) {
    titlesRead.push_back(window);
    return at(window).title;
}

bool FakeDesktop::isWindow(WindowHandle window) {
    return window != WindowHandle::none && index(window) < windows.size() && at(window).alive;
}

void FakeDesktop::minimize(WindowHandle window) {
    journal_.add("minimize " + at(window).title);
    at(window).showCmd = showMinimized;
}

void FakeDesktop::restore(WindowHandle window) {
    journal_.add("restore " + at(window).title);
    at(window).showCmd = 1;
}

WindowHandle FakeDesktop::next(std::size_t from) {
    for (std::size_t i = from; i < windows.size(); ++i)
        if (windows[i].alive) return static_cast<WindowHandle>(100 + i);
    return WindowHandle::none;
}

std::string hexKey(std::uint8_t key) {
    static const char digits[] = "0123456789ABCDEF";
    return {digits[key >> 4], digits[key & 15]};
}

FakeKeyboard::FakeKeyboard(Journal& journal) : journal_(journal) {
    for (char c = 'a'; c <= 'z'; ++c) layout[c] = static_cast<std::int16_t>(c - 'a' + 'A');
    for (char c = 'A'; c <= 'Z'; ++c) layout[c] = static_cast<std::int16_t>(0x100 | c);
    for (char c = '0'; c <= '9'; ++c) layout[c] = c;
    layout[' '] = 0x20;
    layout['.'] = 0xBE;
    layout['\\'] = 0xDC;
    layout[':'] = 0x1BA;
    layout['_'] = 0x1BD;
    layout['@'] = 0x651;
}

void FakeKeyboard::keyEvent(std::uint8_t virtualKey, KeyDirection direction) {
    const bool down = direction == KeyDirection::down;
    journal_.add((down ? "down " : "up ") + hexKey(virtualKey));
    if (virtualKey == vk::shift || virtualKey == vk::control || virtualKey == vk::alt) {
        held[virtualKey] = down;
        return;
    }
    if (!down) return;
    const int shiftState = (held[vk::shift] ? 1 : 0) | (held[vk::control] ? 2 : 0) | (held[vk::alt] ? 4 : 0);
    for (const auto& [character, answer] : layout) {
        if (answer == ((shiftState << 8) | virtualKey)) {
            typed.push_back(character);
            return;
        }
    }
    typed += std::string("<") + (held[vk::alt] ? "Alt+" : "") + hexKey(virtualKey) + ">";
}

std::int16_t FakeKeyboard::scanCharacter(char character) {
    const auto found = layout.find(character);
    return found == layout.end() ? std::int16_t{-1} : found->second;
}

void FakeKeyboard::unicodeKeyEvent(char character, KeyDirection direction) {
    const bool down = direction == KeyDirection::down;
    journal_.add(std::string(down ? "unicode down " : "unicode up ") + character);
    if (down) typed.push_back(character);
}

}  // namespace kestrup::test
