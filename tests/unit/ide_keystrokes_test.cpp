#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "fakes.h"
#include "keystrokes.h"

namespace kestrup::test {
namespace {

// Everything the sequences do, stamped with the virtual time at which it happened.
struct Timeline {
    VirtualClock clock;
    std::vector<std::string> events;
    void add(const std::string& event) { events.push_back(std::to_string(clock.nowMs) + " " + event); }
};

std::string hexKey(std::uint8_t key) {
    static const char digits[] = "0123456789ABCDEF";
    return {digits[key >> 4], digits[key & 15]};
}

// A keyboard with a small layout of its own. Besides recording the events, it models the window
// with the focus: which character each key press would type there, given the modifiers held.
class FakeKeyboard final : public Keyboard {
public:
    explicit FakeKeyboard(Timeline& timeline) : timeline_(timeline) {
        for (char c = 'a'; c <= 'z'; ++c) layout[c] = static_cast<std::int16_t>(c - 'a' + 'A');
        for (char c = 'A'; c <= 'Z'; ++c) layout[c] = static_cast<std::int16_t>(0x100 | c);
        for (char c = '0'; c <= '9'; ++c) layout[c] = c;
        layout[' '] = 0x20;
        layout['.'] = 0xBE;
        layout['\\'] = 0xDC;
        layout[':'] = 0x1BA;
        layout['_'] = 0x1BD;
        layout['@'] = 0x651;  // AltGr+Q, as on a German layout
    }

    void keyEvent(std::uint8_t virtualKey, KeyDirection direction) override {
        const bool down = direction == KeyDirection::down;
        timeline_.add((down ? "down " : "up ") + hexKey(virtualKey));
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
        // A key that types nothing here: a command to the window.
        typed += std::string("<") + (held[vk::alt] ? "Alt+" : "") + hexKey(virtualKey) + ">";
    }
    std::int16_t scanCharacter(char character) override {
        const auto found = layout.find(character);
        return found == layout.end() ? std::int16_t{-1} : found->second;
    }
    void unicodeKeyEvent(char character, KeyDirection direction) override {
        const bool down = direction == KeyDirection::down;
        timeline_.add(std::string(down ? "unicode down " : "unicode up ") + character);
        if (down) typed.push_back(character);
    }

    std::map<char, std::int16_t> layout;
    std::map<std::uint8_t, bool> held;
    std::string typed;

private:
    Timeline& timeline_;
};

// Only the two desktop operations the sequences use; the window lookup has its own tests.
class ForegroundDesktop final : public Desktop {
public:
    explicit ForegroundDesktop(Timeline& timeline) : timeline_(timeline) {}
    WindowHandle findWindow(std::string_view) override { return WindowHandle::none; }
    WindowHandle firstWindow(WindowHandle) override { return WindowHandle::none; }
    WindowHandle nextWindow(WindowHandle) override { return WindowHandle::none; }
    std::string windowTitle(WindowHandle) override { return {}; }
    bool isWindow(WindowHandle) override { return false; }
    int showCommand(WindowHandle) override { return 0; }
    void minimize(WindowHandle) override { timeline_.add("minimize"); }
    void restore(WindowHandle) override { timeline_.add("restore"); }
    void setForeground(WindowHandle window) override {
        timeline_.add("foreground " + std::to_string(static_cast<std::uintptr_t>(window)));
    }
    void deleteFile(const std::string& path) override { timeline_.add("delete " + path); }

private:
    Timeline& timeline_;
};

class Buttons final : public UploadButtons {
public:
    explicit Buttons(Timeline& timeline) : timeline_(timeline) {}
    void enableAll() override {
        enabled = true;
        timeline_.add("buttons on");
    }
    void disableAll() override {
        enabled = false;
        timeline_.add("buttons off");
    }
    bool enabled = false;

private:
    Timeline& timeline_;
};

struct IdeKeystrokesTest : ::testing::Test {
    Timeline timeline;
    FakeKeyboard keyboard{timeline};
    ForegroundDesktop desktop{timeline};
    Buttons buttons{timeline};
    Keystrokes keys{desktop, keyboard, timeline.clock, buttons};
    const WindowHandle ide = static_cast<WindowHandle>(42);

    std::vector<std::string> typing(char character) {
        keys.typeCharacter(character);
        return timeline.events;
    }
    // The events after the first `skip`, up to the one starting with `until` (included).
    std::vector<std::string> slice(std::size_t skip, const std::string& until) {
        std::vector<std::string> out;
        for (std::size_t i = skip; i < timeline.events.size(); ++i) {
            out.push_back(timeline.events[i]);
            if (timeline.events[i].find(until) != std::string::npos) break;
        }
        return out;
    }
};

using Events = std::vector<std::string>;

TEST_F(IdeKeystrokesTest, PlainCharacterIsOneKeyDownAndUp) {
    EXPECT_EQ(typing('k'), (Events{"0 down 4B", "0 up 4B"}));
}

TEST_F(IdeKeystrokesTest, ShiftedCharacterWrapsTheKeyInShift) {
    EXPECT_EQ(typing(':'), (Events{"0 down 10", "0 down BA", "0 up BA", "0 up 10"}));
}

TEST_F(IdeKeystrokesTest, AltGrCharacterPressesCtrlThenAltAndReleasesThemInTheSameOrder) {
    EXPECT_EQ(typing('@'), (Events{"0 down 11", "0 down 12", "0 down 51", "0 up 51", "0 up 11", "0 up 12"}));
    EXPECT_EQ(keyboard.typed, "@");
}

TEST_F(IdeKeystrokesTest, AllThreeModifiersGiveEightEventsAndOtherShiftBitsAreIgnored) {
    keyboard.layout['~'] = 0x741;
    keyboard.layout['^'] = static_cast<std::int16_t>(0x3842);  // bits 8 and 16 of the shift state
    EXPECT_EQ(typing('~'),
              (Events{"0 down 10", "0 down 11", "0 down 12", "0 down 41", "0 up 41", "0 up 10", "0 up 11", "0 up 12"}));
    timeline.events.clear();
    EXPECT_EQ(typing('^'), (Events{"0 down 42", "0 up 42"}));
    EXPECT_TRUE(timeline.clock.pauses.empty());
}

TEST_F(IdeKeystrokesTest, CharacterTheLayoutCannotTypeGoesAsTheCharacterItselfWithNoKeyOrModifier) {
    EXPECT_EQ(typing('\xE9'), (Events{"0 unicode down \xE9", "0 unicode up \xE9"}));
    for (const auto& [key, down] : keyboard.held) EXPECT_FALSE(down) << hexKey(key);
}

TEST_F(IdeKeystrokesTest, CompileRaisesTheIdeThenPressesF8AfterAPauseThenEnablesUploads) {
    keys.compile(ide);
    EXPECT_EQ(timeline.events, (Events{"0 foreground 42", "200 down 77", "200 up 77", "200 buttons on"}));
    EXPECT_EQ(timeline.clock.pauses, (std::vector<int>{200}));
}

TEST_F(IdeKeystrokesTest, CompilingTwiceSendsF8TwiceAndLeavesUploadsEnabled) {
    keys.compile(ide);
    keys.compile(ide);
    EXPECT_EQ(std::count(timeline.events.begin(), timeline.events.end(), "200 down 77"), 1);
    EXPECT_EQ(std::count(timeline.events.begin(), timeline.events.end(), "400 down 77"), 1);
    EXPECT_TRUE(buttons.enabled);
}

TEST_F(IdeKeystrokesTest, SaveImageStepsAndPausesAroundTheTypedPath) {
    const std::string path = "C:\\K\\compiled.binary";
    keys.saveImage(ide, path);

    EXPECT_EQ(timeline.clock.pauses, std::vector<int>(6, 200));
    EXPECT_EQ(slice(0, "up 12"), (Events{"0 foreground 42", "200 delete C:\\K\\compiled.binary", "400 down 12",
                                         "400 down 42", "400 up 42", "400 up 12"}));
    // The path goes in one burst at 600 ms; then Enter, Alt+C and the buttons, 200 ms apart.
    const std::size_t typingStart = 6;
    std::size_t typingEnd = typingStart;
    while (typingEnd < timeline.events.size() && timeline.events[typingEnd].starts_with("600 ")) ++typingEnd;
    EXPECT_EQ(keyboard.typed, "<Alt+42>" + path + "<0D><Alt+43>");
    EXPECT_EQ(std::vector<std::string>(timeline.events.begin() + static_cast<std::ptrdiff_t>(typingEnd),
                                       timeline.events.end()),
              (Events{"800 down 0D", "800 up 0D", "1000 down 12", "1000 down 43", "1000 up 43", "1000 up 12",
                      "1200 buttons off"}));
}

TEST_F(IdeKeystrokesTest, WholePathIsTypedWithItsBlanksAndUnmappableCharacters) {
    // One byte per character in the ANSI code page: 0xE9 is an e with an acute accent there.
    const std::string path = "D:\\Program Files\\Kestrup Caf\xE9_2\\compiled.binary";
    keys.saveImage(ide, path);
    EXPECT_EQ(keyboard.typed, "<Alt+42>" + path + "<0D><Alt+43>");
    EXPECT_EQ(timeline.clock.pauses, std::vector<int>(6, 200));
}

TEST_F(IdeKeystrokesTest, UploadsNeedACompileBeforeEachSave) {
    keys.compile(ide);
    EXPECT_TRUE(buttons.enabled);
    keys.saveImage(ide, "C:\\compiled.binary");
    EXPECT_FALSE(buttons.enabled);
    EXPECT_EQ(timeline.events.back(), "1400 buttons off") << "disabled only after the last pause";
    keys.compile(ide);
    EXPECT_TRUE(buttons.enabled);
}

}  // namespace
}  // namespace kestrup::test
