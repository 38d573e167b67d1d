#include "actions.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "app_fakes.h"
#include "ide_automation.h"

namespace kestrup::test {
namespace {

using namespace app;
using Lines = std::vector<std::string>;

class FakeIde final : public IdeAutomation {
public:
    FakeIde(Journal& journal, FakeWindow& window) : journal_(journal), window_(window) {}
    bool ideLookup() override {
        journal_.add("ide lookup");
        return ideThere;
    }
    void terminalLookup() override { journal_.add("terminal lookup"); }
    void terminalControl(int flags) override { journal_.add("terminal " + std::to_string(flags)); }
    void compileSequence() override {
        journal_.add("compile sequence");
        window_.setUploadButtonsEnabled(true);
    }
    void saveImageSequence(const std::string& imagePath) override {
        journal_.add("save image sequence " + imagePath);
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
    EXPECT_EQ(journal.entries,
              (Lines{"read field 0", "upload " + image + " 41", "read field 1", "upload " + image + " 42",
                     "read field 2", "upload " + image + " 43", "read field 3", "upload " + image + " 44",
                     "read field 0", "read field 1", "read field 2", "read field 3"}));
    EXPECT_TRUE(storage.files.contains(iniPath));
}

TEST_F(ActionsTest, UploadRowsConvertTheirOwnField) {
    const std::pair<std::string, std::int32_t> table[] = {
        {"7", 7}, {"  12", 12}, {"3abc", 3}, {"COM3", 0}, {"+5", 5}, {"-2", -2}, {"- 2", 0}, {"1 2", 1}, {"", 0},
    };
    for (const auto& [text, number] : table) {
        journal.entries.clear();
        window.fields = {"1", "2", text, "4"};
        withoutIde.onControl(8);
        EXPECT_EQ(journal.entries, (Lines{"read field 2", "upload " + image + " " + std::to_string(number)})) << text;
    }
}

TEST_F(ActionsTest, CompileLooksUpMinimizesThenCompiles) {
    withIde.onControl(0);
    EXPECT_EQ(journal.entries, (Lines{"ide lookup", "terminal lookup", "terminal 1", "compile sequence", "enable"}));
}

TEST_F(ActionsTest, CompileWithoutTheIdeChangesNothing) {
    ide.ideThere = false;
    withIde.compile();
    EXPECT_EQ(journal.entries, (Lines{"ide lookup"}));
}

TEST_F(ActionsTest, UploadOnRowOneSavesTheImageThenUploadsThenBringsTheTerminalBack) {
    window.fields = {"5", "", "", ""};
    withIde.onControl(2);
    EXPECT_EQ(journal.entries, (Lines{"ide lookup", "save image sequence " + image, "disable", "read field 0",
                                      "upload " + image + " 5", "terminal 6"}));
}

TEST_F(ActionsTest, UploadOnOtherRowsLeavesTheTerminal) {
    window.fields = {"1", "2", "3", "4"};
    for (const int id : {5, 8, 11}) {
        journal.entries.clear();
        withIde.onControl(id);
        const int row = (id - 2) / 3;
        EXPECT_EQ(journal.entries,
                  (Lines{"ide lookup", "save image sequence " + image, "disable", "read field " + std::to_string(row),
                         "upload " + image + " " + std::to_string(row + 1)}));
    }
}

TEST_F(ActionsTest, TheFieldIsReadAfterTheImageIsSaved) {
    window.fields = {"", "3", "", ""};
    ide.typedMeanwhile = "9";
    withIde.upload(1);
    EXPECT_EQ(journal.entries.back(), "upload " + image + " 9");
}

TEST_F(ActionsTest, UploadWithoutTheIdeDoesNothingElse) {
    ide.ideThere = false;
    withIde.upload(0);
    EXPECT_EQ(journal.entries, (Lines{"ide lookup"}));
}

TEST_F(ActionsTest, SaveWritesPositionAndFieldsAsTyped) {
    window.fields = {"3", "4", "", " 5 "};
    window.at = {-20, 31};
    withoutIde.onControl(14);
    EXPECT_EQ(storage.files.at(iniPath),
              "/* Kestrup Settings v0.1 */'\r\n[Config]\r\nWinX=-20\r\nWinY=31\r\n"
              "ComN0=3\r\nComN1=4\r\nComN2=\r\nComN3= 5 \r\n");
    EXPECT_EQ(storage.files.size(), 1u);
}

TEST_F(ActionsTest, LoadWithoutAFileChangesNothing) {
    withoutIde.loadSettings();
    EXPECT_TRUE(journal.entries.empty());
}

TEST_F(ActionsTest, LoadFillsTheFieldsThenMovesTheWindow) {
    storage.files[iniPath] =
        "/* Kestrup Settings v0.1 */'\r\n[Config]\r\nWinX=10\r\nWinY=-5\r\nComN0=3\r\nComN1= 4 \r\n"
        "ComN2=\r\nComN3=a=b\r\n";
    withoutIde.loadSettings();
    EXPECT_EQ(journal.entries,
              (Lines{"set field 0 '3'", "set field 1 '4'", "set field 2 ''", "set field 3 'a=b'", "move 10,-5"}));
}

TEST_F(ActionsTest, LoadOfAFileWithoutTheGroupSetsTheDefaults) {
    for (const std::string bytes : {"", "WinX=1\r\nComN0=7\r\n", "[Other]\r\nWinX=1\r\n"}) {
        journal.entries.clear();
        storage.files[iniPath] = bytes;
        withoutIde.loadSettings();
        EXPECT_EQ(journal.entries,
                  (Lines{"set field 0 ''", "set field 1 ''", "set field 2 ''", "set field 3 ''", "move 630,200"}));
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

TEST_F(ActionsTest, FastLoadOneTakesTheUploadsToTheSecondStageAndSaveKeepsIt) {
    const std::string head =
        "/* Kestrup Settings v0.1 */'\r\n[Config]\r\nWinX=10\r\nWinY=20\r\nComN0=3\r\n"
        "ComN1=\r\nComN2=\r\nComN3=\r\n";
    struct Case {
        std::string line;  // after the COM lines as read
        bool fast;
    };
    for (const Case& c :
         {Case{"FastLoad=1\r\n", true}, Case{"fastload = 1 \r\n", true}, Case{"", false}, Case{"FastLoad=0\r\n", false},
          Case{"FastLoad=yes\r\n", false}, Case{"[Other]\r\nFastLoad=1\r\n", false}}) {
        journal.entries.clear();
        storage.files = {{iniPath, head + c.line}};
        withoutIde.loadSettings();
        withoutIde.upload(0);
        EXPECT_EQ(journal.entries.back(), "upload " + image + " 3" + (c.fast ? " fast" : "")) << c.line;
        // Saved as read, less what the program does not keep.
        withoutIde.save();
        EXPECT_EQ(storage.files.at(iniPath), head + (c.fast ? "FastLoad=1\r\n" : "")) << c.line;
    }
}

// The IDE automation as the window program composes it, over a desktop and a clock that write
// into the same journal as the window and the uploader: the whole routine in one order, each entry
// at its time. What the keys type is checked where it lands, in the IDE.
struct RoutineTest : ::testing::Test {
    VirtualClock clock;
    Journal journal{clock};
    Journal keyEvents;
    FakeWindow window{journal};
    FakeUploader uploader{journal};
    MemoryStorage storage;
    FakeDesktop desktop{journal};
    FakeKeyboard keyboard{keyEvents};
    RecordingNotifier notifier;
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
    void keysAllUp() const {
        for (const auto& [key, down] : keyboard.held) EXPECT_FALSE(down) << hexKey(key);
    }
};

// The entries as the journal stamps them at `ms`.
Lines at(int ms, Lines entries) {
    for (auto& entry : entries) entry = std::to_string(ms) + " " + entry;
    return entries;
}

Lines operator+(Lines a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Lines compileRoutine =
    at(0, {"minimize Tavlund", "foreground Propeller Tool - Blink.spin"}) + at(200, {"enable"});
const std::string compileKeys = "<77>";

// From `start`: the IDE raised, the old image deleted after a pause, the uploads disabled after the
// dialog's five steps.
Lines saveImageRoutine(int start) {
    return at(start, {"foreground Propeller Tool - Blink.spin"}) + at(start + 200, {"delete " + image}) +
           at(start + 1200, {"disable"});
}
const std::string saveImageKeys = "<Alt+42>" + image + "<0D><Alt+43>";

TEST_F(RoutineTest, CompileThenUploadOnRowOne) {
    actions.onControl(0);
    actions.onControl(2);
    EXPECT_EQ(journal.entries,
              compileRoutine + saveImageRoutine(200) +
                  at(1400, {"read field 0", "upload " + image + " 5", "restore Tavlund", "foreground Tavlund"}));
    EXPECT_EQ(keyboard.typed, compileKeys + saveImageKeys);
    keysAllUp();
}

TEST_F(RoutineTest, UploadOnRowThreeReadsItsFieldAndLeavesTheTerminalMinimized) {
    actions.onControl(0);
    journal.entries.clear();
    actions.onControl(8);
    EXPECT_EQ(journal.entries, saveImageRoutine(200) + at(1400, {"read field 2", "upload " + image + " 7"}));
    EXPECT_EQ(desktop.at(terminal).showCmd, Desktop::showMinimized);
}

TEST_F(RoutineTest, TerminalAlreadyMinimizedIsLeftSoAtCompileAndComesBackAfterRowOne) {
    desktop.at(terminal).showCmd = Desktop::showMinimized;
    actions.onControl(0);
    EXPECT_EQ(journal.entries, Lines(compileRoutine.begin() + 1, compileRoutine.end()));
    journal.entries.clear();
    actions.onControl(2);
    EXPECT_EQ(Lines(journal.entries.end() - 2, journal.entries.end()),
              at(1400, {"restore Tavlund", "foreground Tavlund"}));
}

TEST_F(RoutineTest, WithoutATerminalTheRoutineTouchesNoOtherWindow) {
    desktop.at(terminal).alive = false;
    actions.onControl(0);
    actions.onControl(2);
    EXPECT_EQ(journal.entries, Lines(compileRoutine.begin() + 1, compileRoutine.end()) + saveImageRoutine(200) +
                                   at(1400, {"read field 0", "upload " + image + " 5"}));
    EXPECT_EQ(keyboard.typed, compileKeys + saveImageKeys);
}

TEST_F(RoutineTest, TheIdeByItsWholeTitleWinsAndATerminalClosedSinceCompileIsLeftAlone) {
    desktop.add("Propeller Tool");
    actions.onControl(0);
    desktop.at(terminal).alive = false;
    actions.onControl(2);
    EXPECT_EQ(journal.entries[1], "0 foreground Propeller Tool");
    EXPECT_EQ(journal.entries.back(), "1400 upload " + image + " 5");
}

TEST_F(RoutineTest, WithoutTheIdeEachPressShowsTheBoxOnceAndChangesNothingElse) {
    desktop.windows[2].alive = false;
    actions.onControl(0);
    actions.onControl(2);
    actions.onControl(8);
    const std::pair<std::string, std::string> box{"Error", "Propeller IDE not found"};
    EXPECT_EQ(notifier.boxes, (std::vector{box, box, box}));
    EXPECT_TRUE(journal.entries.empty());
    EXPECT_TRUE(keyboard.typed.empty());
    // The next press looks again.
    desktop.add("Propeller Tool - Other.spin");
    actions.onControl(0);
    EXPECT_TRUE(window.uploadsEnabled);
}

}  // namespace
}  // namespace kestrup::test
