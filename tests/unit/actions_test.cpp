#include "actions.h"
#include "ide_automation.h"

#include <gtest/gtest.h>

#include <array>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace kestrup::app {
namespace {

using Journal = std::vector<std::string>;

class FakeWindow final : public MainWindow {
public:
    explicit FakeWindow(Journal& journal) : journal_(journal) {}
    std::string comFieldText(int row) override {
        journal_.push_back("read field " + std::to_string(row));
        return fields.at(static_cast<std::size_t>(row));
    }
    void setComFieldText(int row, const std::string& text) override {
        journal_.push_back("set field " + std::to_string(row) + " '" + text + "'");
        fields.at(static_cast<std::size_t>(row)) = text;
    }
    settings::WindowPosition position() override { return at; }
    void moveTo(settings::WindowPosition p) override {
        journal_.push_back("move " + std::to_string(p.x) + "," + std::to_string(p.y));
        at = p;
    }
    void setUploadButtonsEnabled(bool enabled) override { journal_.push_back(enabled ? "enable" : "disable"); }

    std::array<std::string, 4> fields;
    settings::WindowPosition at{630, 200};

private:
    Journal& journal_;
};

class FakeIde final : public IdeAutomation {
public:
    FakeIde(Journal& journal, FakeWindow& window) : journal_(journal), window_(window) {}
    bool ideLookup() override {
        journal_.push_back("ide lookup");
        return ideThere;
    }
    void terminalLookup() override { journal_.push_back("terminal lookup"); }
    void terminalControl(int flags) override { journal_.push_back("terminal " + std::to_string(flags)); }
    void compileSequence() override {
        journal_.push_back("compile sequence");
        window_.setUploadButtonsEnabled(true);
    }
    void saveImageSequence(const std::string& imagePath) override {
        journal_.push_back("save image sequence " + imagePath);
        window_.setUploadButtonsEnabled(false);
        // The user typing on while the IDE saves: the upload must see this text.
        if (typedMeanwhile) window_.fields[1] = *typedMeanwhile;
    }

    bool ideThere = true;
    std::optional<std::string> typedMeanwhile;

private:
    Journal& journal_;
    FakeWindow& window_;
};

class FakeUploader final : public Uploader {
public:
    explicit FakeUploader(Journal& journal) : journal_(journal) {}
    void upload(const std::string& imagePath, std::int32_t comNumber) override {
        journal_.push_back("upload " + imagePath + " " + std::to_string(comNumber));
    }

private:
    Journal& journal_;
};

class MemoryStorage final : public settings::Storage {
public:
    std::optional<std::string> read(const std::string& path) override {
        const auto it = files.find(path);
        return it == files.end() ? std::nullopt : std::optional<std::string>(it->second);
    }
    bool writeWhole(const std::string& path, std::string_view bytes) override {
        files[path] = std::string(bytes);
        return true;
    }
    bool replace(const std::string& source, const std::string& target) override {
        files[target] = files[source];
        files.erase(source);
        return true;
    }
    void remove(const std::string& path) override { files.erase(path); }
    std::map<std::string, std::string> files;
};

const std::string folder = "C:\\Prop\\";
const std::string iniPath = folder + "Kestrup.ini";
const std::string image = folder + "compiled.binary";

struct ActionsTest : ::testing::Test {
    Journal journal;
    FakeWindow window{journal};
    FakeIde ide{journal, window};
    FakeUploader uploader{journal};
    MemoryStorage storage;
    Actions withIde{folder, window, uploader, storage, &ide};
    Actions withoutIde{folder, window, uploader, storage};
};

TEST_F(ActionsTest, ControlIdsPickTheirActions) {
    window.fields = {"41", "42", "43", "44"};
    for (int id = -1; id <= 16; ++id) withoutIde.onControl(id);
    // Compile does nothing without the IDE automation; labels, fields and unknown ids nothing.
    EXPECT_EQ(journal, (Journal{"read field 0", "upload " + image + " 41", "read field 1", "upload " + image + " 42",
                                "read field 2", "upload " + image + " 43", "read field 3", "upload " + image + " 44",
                                "read field 0", "read field 1", "read field 2", "read field 3"}));
    EXPECT_TRUE(storage.files.contains(iniPath));
}

TEST_F(ActionsTest, UploadRowsConvertTheirOwnField) {
    const std::pair<std::string, std::int32_t> table[] = {
        {"7", 7}, {"  12", 12}, {"3abc", 3}, {"COM3", 0}, {"+5", 5}, {"-2", -2}, {"- 2", 0}, {"1 2", 1}, {"", 0},
    };
    for (const auto& [text, number] : table) {
        journal.clear();
        window.fields = {"1", "2", text, "4"};
        withoutIde.onControl(8);
        EXPECT_EQ(journal, (Journal{"read field 2", "upload " + image + " " + std::to_string(number)})) << text;
    }
}

TEST_F(ActionsTest, CompileLooksUpMinimizesThenCompiles) {
    withIde.onControl(0);
    EXPECT_EQ(journal, (Journal{"ide lookup", "terminal lookup", "terminal 1", "compile sequence", "enable"}));
}

TEST_F(ActionsTest, CompileWithoutTheIdeChangesNothing) {
    ide.ideThere = false;
    withIde.compile();
    EXPECT_EQ(journal, (Journal{"ide lookup"}));
}

TEST_F(ActionsTest, UploadOnRowOneSavesTheImageThenUploadsThenBringsTheTerminalBack) {
    window.fields = {"5", "", "", ""};
    withIde.onControl(2);
    EXPECT_EQ(journal, (Journal{"ide lookup", "save image sequence " + image, "disable", "read field 0", "upload " + image + " 5",
                                "terminal 6"}));
}

TEST_F(ActionsTest, UploadOnOtherRowsLeavesTheTerminal) {
    window.fields = {"1", "2", "3", "4"};
    for (const int id : {5, 8, 11}) {
        journal.clear();
        withIde.onControl(id);
        const int row = (id - 2) / 3;
        EXPECT_EQ(journal, (Journal{"ide lookup", "save image sequence " + image, "disable", "read field " + std::to_string(row),
                                    "upload " + image + " " + std::to_string(row + 1)}));
    }
}

TEST_F(ActionsTest, TheFieldIsReadAfterTheImageIsSaved) {
    window.fields = {"", "3", "", ""};
    ide.typedMeanwhile = "9";
    withIde.upload(1);
    EXPECT_EQ(journal.back(), "upload " + image + " 9");
}

TEST_F(ActionsTest, UploadWithoutTheIdeDoesNothingElse) {
    ide.ideThere = false;
    withIde.upload(0);
    EXPECT_EQ(journal, (Journal{"ide lookup"}));
}

TEST_F(ActionsTest, SaveWritesPositionAndFieldsAsTyped) {
    window.fields = {"3", "4", "", " 5 "};
    window.at = {-20, 31};
    withoutIde.onControl(14);
    EXPECT_EQ(storage.files.at(iniPath), "/* Kestrup Settings v0.1 */'\r\n[Config]\r\nWinX=-20\r\nWinY=31\r\n"
                                         "ComN0=3\r\nComN1=4\r\nComN2=\r\nComN3= 5 \r\n");
    EXPECT_EQ(storage.files.size(), 1u);
}

TEST_F(ActionsTest, LoadWithoutAFileChangesNothing) {
    withoutIde.loadSettings();
    EXPECT_TRUE(journal.empty());
}

TEST_F(ActionsTest, LoadFillsTheFieldsThenMovesTheWindow) {
    storage.files[iniPath] = "/* Kestrup Settings v0.1 */'\r\n[Config]\r\nWinX=10\r\nWinY=-5\r\nComN0=3\r\nComN1= 4 \r\n"
                             "ComN2=\r\nComN3=a=b\r\n";
    withoutIde.loadSettings();
    EXPECT_EQ(journal, (Journal{"set field 0 '3'", "set field 1 '4'", "set field 2 ''", "set field 3 'a=b'", "move 10,-5"}));
}

TEST_F(ActionsTest, LoadOfAFileWithoutTheGroupSetsTheDefaults) {
    for (const std::string bytes : {"", "WinX=1\r\nComN0=7\r\n", "[Other]\r\nWinX=1\r\n"}) {
        journal.clear();
        storage.files[iniPath] = bytes;
        withoutIde.loadSettings();
        EXPECT_EQ(journal, (Journal{"set field 0 ''", "set field 1 ''", "set field 2 ''", "set field 3 ''", "move 630,200"}));
    }
}

TEST_F(ActionsTest, SavedSettingsComeBackAtTheNextStart) {
    window.fields = {" 3", "4 ", "a=b", ""};
    window.at = {-1, 2};
    withoutIde.save();
    window.fields = {};
    window.at = {};
    withoutIde.loadSettings();
    EXPECT_EQ(window.fields, (std::array<std::string, 4>{"3", "4", "a=b", ""}));
    EXPECT_EQ(window.at, (settings::WindowPosition{-1, 2}));
}

// The IDE automation as the window program composes it, over a desktop and a keyboard that write
// into the same journal as the window and the uploader: the whole routine in one order.
class FakeDesktop final : public Desktop {
public:
    explicit FakeDesktop(Journal& journal) : journal_(journal) {}
    struct Window {
        std::string title;
        int showCmd = 1;
        bool alive = true;
    };
    // In Z order, topmost first; handles are 1 + the index.
    std::vector<Window> windows;
    WindowHandle add(std::string title) {
        windows.push_back({std::move(title)});
        return static_cast<WindowHandle>(windows.size());
    }
    Window& at(WindowHandle window) { return windows.at(static_cast<std::size_t>(window) - 1); }

    WindowHandle findWindow(std::string_view title) override {
        for (std::size_t i = 0; i < windows.size(); ++i)
            if (windows[i].alive && windows[i].title == title) return static_cast<WindowHandle>(i + 1);
        return WindowHandle::none;
    }
    WindowHandle firstWindow(WindowHandle from) override {
        return isWindow(from) ? nextAlive(0) : WindowHandle::none;
    }
    WindowHandle nextWindow(WindowHandle window) override { return nextAlive(static_cast<std::size_t>(window)); }
    std::string windowTitle(WindowHandle window) override { return at(window).title; }
    bool isWindow(WindowHandle window) override {
        const auto i = static_cast<std::size_t>(window);
        return i >= 1 && i <= windows.size() && at(window).alive;
    }
    int showCommand(WindowHandle window) override { return at(window).showCmd; }
    void minimize(WindowHandle window) override {
        journal_.push_back("minimize " + at(window).title);
        at(window).showCmd = showMinimized;
    }
    void restore(WindowHandle window) override {
        journal_.push_back("restore " + at(window).title);
        at(window).showCmd = 1;
    }
    void setForeground(WindowHandle window) override { journal_.push_back("foreground " + at(window).title); }
    void deleteFile(const std::string& path) override { journal_.push_back("delete " + path); }

private:
    WindowHandle nextAlive(std::size_t from) {
        for (std::size_t i = from; i < windows.size(); ++i)
            if (windows[i].alive) return static_cast<WindowHandle>(i + 1);
        return WindowHandle::none;
    }
    Journal& journal_;
};

// Every character is its own key, without modifiers (the layout has tests of its own). What the
// focused window gets is journalled as commands ("F8", "Alt+B") and runs of typed text.
class FakeKeyboard final : public Keyboard {
public:
    explicit FakeKeyboard(Journal& journal) : journal_(journal) {}
    void keyEvent(std::uint8_t key, KeyDirection direction) override {
        if (direction == KeyDirection::up) {
            held.erase(key);
            return;
        }
        held.insert(key);
        if (key == vk::alt) return;
        if (held.contains(vk::alt)) return journal_.push_back(std::string("Alt+") + static_cast<char>(key));
        if (key == vk::f8) return journal_.push_back("F8");
        if (key == vk::enter) return journal_.push_back("Enter");
        if (journal_.empty() || !journal_.back().starts_with("type ")) journal_.push_back("type ");
        journal_.back().push_back(static_cast<char>(key));
    }
    std::int16_t scanCharacter(char character) override { return static_cast<std::uint8_t>(character); }
    void unicodeKeyEvent(char, KeyDirection) override { journal_.push_back("unicode"); }
    std::set<std::uint8_t> held;

private:
    Journal& journal_;
};

class JournalClock final : public Clock {
public:
    explicit JournalClock(Journal& journal) : journal_(journal) {}
    void pause(int milliseconds) override { journal_.push_back("pause " + std::to_string(milliseconds)); }
    std::int64_t nowMicros() override { return 0; }

private:
    Journal& journal_;
};

class JournalNotifier final : public Notifier {
public:
    explicit JournalNotifier(Journal& journal) : journal_(journal) {}
    void notify(std::string_view caption, std::string_view message) override {
        journal_.push_back("box " + std::string(caption) + ": " + std::string(message));
    }

private:
    Journal& journal_;
};

struct RoutineTest : ::testing::Test {
    Journal journal;
    FakeWindow window{journal};
    FakeUploader uploader{journal};
    MemoryStorage storage;
    FakeDesktop desktop{journal};
    FakeKeyboard keyboard{journal};
    JournalClock clock{journal};
    JournalNotifier notifier{journal};
    WindowLookup lookup{desktop, notifier};
    WindowUploadButtons buttons{window};
    Keystrokes keys{desktop, keyboard, clock, buttons};
    AutomatedIde ide{lookup, keys};
    Actions actions{folder, window, uploader, storage, &ide};

    WindowHandle terminal{};
    void SetUp() override {
        const WindowHandle main = desktop.add("Kestrup 01");
        terminal = desktop.add("Tavlund");
        desktop.add("Propeller Tool - Blink.spin");
        lookup.searchFrom(main);
        window.fields = {"5", "6", "7", "8"};
    }
};

const Journal compileRoutine{"minimize Tavlund", "foreground Propeller Tool - Blink.spin", "pause 200", "F8", "enable"};

Journal saveImageRoutine() {
    return {"foreground Propeller Tool - Blink.spin", "pause 200", "delete " + image, "pause 200", "Alt+B", "pause 200",
            "type " + image, "pause 200", "Enter", "pause 200", "Alt+C", "pause 200", "disable"};
}

Journal operator+(Journal a, const Journal& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(RoutineTest, CompileThenUploadOnRowOne) {
    actions.onControl(0);
    actions.onControl(2);
    EXPECT_EQ(journal, (compileRoutine + saveImageRoutine() +
                        Journal{"read field 0", "upload " + image + " 5", "restore Tavlund", "foreground Tavlund"}));
    EXPECT_TRUE(keyboard.held.empty());
}

TEST_F(RoutineTest, UploadOnRowThreeReadsItsFieldAndLeavesTheTerminalMinimized) {
    actions.onControl(0);
    journal.clear();
    actions.onControl(8);
    EXPECT_EQ(journal, (saveImageRoutine() + Journal{"read field 2", "upload " + image + " 7"}));
    EXPECT_EQ(desktop.at(terminal).showCmd, Desktop::showMinimized);
}

TEST_F(RoutineTest, TerminalAlreadyMinimizedIsLeftSoAtCompileAndComesBackAfterRowOne) {
    desktop.at(terminal).showCmd = Desktop::showMinimized;
    actions.onControl(0);
    EXPECT_EQ(journal, Journal(compileRoutine.begin() + 1, compileRoutine.end()));
    journal.clear();
    actions.onControl(2);
    EXPECT_EQ(Journal(journal.end() - 2, journal.end()), (Journal{"restore Tavlund", "foreground Tavlund"}));
}

TEST_F(RoutineTest, WithoutATerminalTheRoutineTouchesNoOtherWindow) {
    desktop.at(terminal).alive = false;
    actions.onControl(0);
    actions.onControl(2);
    EXPECT_EQ(journal, (Journal(compileRoutine.begin() + 1, compileRoutine.end()) + saveImageRoutine() +
                        Journal{"read field 0", "upload " + image + " 5"}));
}

TEST_F(RoutineTest, TheIdeByItsWholeTitleWinsAndATerminalClosedSinceCompileIsLeftAlone) {
    desktop.add("Propeller Tool");
    actions.onControl(0);
    desktop.at(terminal).alive = false;
    actions.onControl(2);
    EXPECT_EQ(journal[1], "foreground Propeller Tool");
    EXPECT_EQ(journal.back(), "upload " + image + " 5");
}

TEST_F(RoutineTest, WithoutTheIdeEachPressShowsTheBoxOnceAndChangesNothingElse) {
    desktop.windows[2].alive = false;
    actions.onControl(0);
    actions.onControl(2);
    actions.onControl(8);
    const std::string box = "box Error: Propeller IDE not found";
    EXPECT_EQ(journal, (Journal{box, box, box}));
    // The next press looks again.
    desktop.add("Propeller Tool - Other.spin");
    journal.clear();
    actions.onControl(0);
    EXPECT_EQ(journal.back(), "enable");
}

}  // namespace
}  // namespace kestrup::app
