#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app_fakes.h"
#include "ide_automation.h"
#include "keystrokes.h"

namespace kestrup::test {
namespace {

// Everything the sequences do, stamped with the virtual time at which it happened.
struct IdeKeystrokesTest : ::testing::Test {
    VirtualClock clock;
    Journal timeline{clock};
    FakeKeyboard keyboard{timeline};
    FakeDesktop desktop{timeline};
    FakeWindow window{timeline};
    app::WindowUploadButtons buttons{window};
    Keystrokes keys{desktop, keyboard, clock, buttons};
    const WindowHandle ide = desktop.add("Propeller Tool");

    std::vector<std::string> typing(char character) {
        keys.typeCharacter(character);
        return timeline.entries;
    }
    // The events after the first `skip`, up to the one starting with `until` (included).
    std::vector<std::string> slice(std::size_t skip, const std::string& until) {
        std::vector<std::string> out;
        for (std::size_t i = skip; i < timeline.entries.size(); ++i) {
            out.push_back(timeline.entries[i]);
            if (timeline.entries[i].find(until) != std::string::npos) break;
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
    timeline.entries.clear();
    EXPECT_EQ(typing('^'), (Events{"0 down 42", "0 up 42"}));
    EXPECT_TRUE(clock.pauses.empty());
}

TEST_F(IdeKeystrokesTest, CharacterTheLayoutCannotTypeGoesAsTheCharacterItselfWithNoKeyOrModifier) {
    EXPECT_EQ(typing('\xE9'), (Events{"0 unicode down \xE9", "0 unicode up \xE9"}));
    for (const auto& [key, down] : keyboard.held) EXPECT_FALSE(down) << hexKey(key);
}

TEST_F(IdeKeystrokesTest, CompileRaisesTheIdeThenPressesF8AfterAPauseThenEnablesUploads) {
    keys.compile(ide);
    EXPECT_EQ(timeline.entries, (Events{"0 foreground Propeller Tool", "200 down 77", "200 up 77", "200 enable"}));
    EXPECT_EQ(clock.pauses, (std::vector<int>{200}));
}

TEST_F(IdeKeystrokesTest, CompilingTwiceSendsF8TwiceAndLeavesUploadsEnabled) {
    keys.compile(ide);
    keys.compile(ide);
    EXPECT_EQ(std::count(timeline.entries.begin(), timeline.entries.end(), "200 down 77"), 1);
    EXPECT_EQ(std::count(timeline.entries.begin(), timeline.entries.end(), "400 down 77"), 1);
    EXPECT_TRUE(window.uploadsEnabled);
}

TEST_F(IdeKeystrokesTest, SaveImageStepsAndPausesAroundTheTypedPath) {
    const std::string path = "C:\\K\\compiled.binary";
    keys.saveImage(ide, path);

    EXPECT_EQ(clock.pauses, std::vector<int>(6, 200));
    EXPECT_EQ(slice(0, "up 12"), (Events{"0 foreground Propeller Tool", "200 delete C:\\K\\compiled.binary",
                                         "400 down 12", "400 down 42", "400 up 42", "400 up 12"}));
    // The path goes in one burst at 600 ms; then Enter, Alt+C and the buttons, 200 ms apart.
    const std::size_t typingStart = 6;
    std::size_t typingEnd = typingStart;
    while (typingEnd < timeline.entries.size() && timeline.entries[typingEnd].starts_with("600 ")) ++typingEnd;
    EXPECT_EQ(keyboard.typed, "<Alt+42>" + path + "<0D><Alt+43>");
    EXPECT_EQ(std::vector<std::string>(timeline.entries.begin() + static_cast<std::ptrdiff_t>(typingEnd),
                                       timeline.entries.end()),
              (Events{"800 down 0D", "800 up 0D", "1000 down 12", "1000 down 43", "1000 up 43", "1000 up 12",
                      "1200 disable"}));
}

TEST_F(IdeKeystrokesTest, WholePathIsTypedWithItsBlanksAndUnmappableCharacters) {
    // One byte per character in the ANSI code page: 0xE9 is an e with an acute accent there.
    const std::string path = "D:\\Program Files\\Kestrup Caf\xE9_2\\compiled.binary";
    keys.saveImage(ide, path);
    EXPECT_EQ(keyboard.typed, "<Alt+42>" + path + "<0D><Alt+43>");
    EXPECT_EQ(clock.pauses, std::vector<int>(6, 200));
}

TEST_F(IdeKeystrokesTest, UploadsNeedACompileBeforeEachSave) {
    keys.compile(ide);
    EXPECT_TRUE(window.uploadsEnabled);
    keys.saveImage(ide, "C:\\compiled.binary");
    EXPECT_FALSE(window.uploadsEnabled);
    EXPECT_EQ(timeline.entries.back(), "1400 disable") << "disabled only after the last pause";
    keys.compile(ide);
    EXPECT_TRUE(window.uploadsEnabled);
}

}  // namespace
}  // namespace kestrup::test
