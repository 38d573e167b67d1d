#include <gtest/gtest.h>

#include <cctype>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app_fakes.h"
#include "window_lookup.h"

namespace kestrup::test {
namespace {

struct IdeLookupTest : ::testing::Test {
    Journal journal;
    FakeDesktop desktop{journal};
    RecordingNotifier notifier;
    WindowLookup lookup{desktop, notifier};
    WindowHandle mainWindow;

    void SetUp() override {
        // Our own main window is part of the list the title search walks, like any other.
        mainWindow = desktop.add("Kestrup 01");
        lookup.searchFrom(mainWindow);
    }
};

TEST_F(IdeLookupTest, WholeTitleBeatsAContainingTitleHigherInTheZOrder) {
    desktop.add("Propeller Tool - Blink.spin");
    const auto exact = desktop.add("Propeller Tool");
    EXPECT_EQ(lookup.lookUpIde(), exact);
    EXPECT_EQ(lookup.ideWindow(), exact);
    EXPECT_TRUE(desktop.walkStarts.empty()) << "no title search when the whole title is there";
    EXPECT_TRUE(notifier.boxes.empty());
}

struct TitleCase {
    const char* what;
    std::vector<std::string> titles;   // below our main window, in Z order
    std::optional<std::size_t> found;  // index into titles
};

// Stable test names: the runner lists a parameter by what it prints.
void PrintTo(const TitleCase& c, std::ostream* out) {
    *out << c.what;
}

class IdeTitleSearch : public IdeLookupTest, public ::testing::WithParamInterface<TitleCase> {};

// Titles built around the 254 characters that the title buffer holds.
std::string endingAt(std::size_t end, std::string_view tail) {
    return std::string(end - tail.size(), 'x') + std::string(tail);
}

const TitleCase titleCases[] = {
    {"title with a file", {"Default IME", "Propeller Tool - Blink.spin"}, 1},
    {"words in front", {"Parallax Propeller Tool - Blink.spin"}, 0},
    {"dash at the end", {"Propeller Tool -"}, 0},
    {"topmost of two wins", {"", "Propeller Tool - A.spin", "Propeller Tool - B.spin"}, 1},
    {"lower case", {"propeller tool - blink.spin"}, std::nullopt},
    {"no blank before the dash", {"Propeller Tool- Blink.spin"}, std::nullopt},
    {"whole title only in longer words", {"My Propeller Tool", "Propeller Tools"}, std::nullopt},
    {"occurrence ends at character 254", {endingAt(254, "Propeller Tool -") + " Blink.spin"}, 0},
    {"occurrence ends at character 255", {endingAt(255, "Propeller Tool -") + " Blink.spin"}, std::nullopt},
    {"only empty and other titles", {"", "Tavlund", "Kestrupload"}, std::nullopt},
};

INSTANTIATE_TEST_SUITE_P(Titles, IdeTitleSearch, ::testing::ValuesIn(titleCases), [](const auto& test) {
    std::string name = test.param.what;
    for (auto& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
});

TEST_P(IdeTitleSearch, FindsTheTopmostTitleContainingTheText) {
    std::vector<WindowHandle> handles;
    for (const auto& title : GetParam().titles) handles.push_back(desktop.add(title));
    const auto expected = GetParam().found ? handles[*GetParam().found] : WindowHandle::none;

    EXPECT_EQ(lookup.lookUpIde(), expected);
    ASSERT_FALSE(desktop.walkStarts.empty());
    EXPECT_EQ(desktop.walkStarts.front(), mainWindow);
    EXPECT_EQ(notifier.boxes.size(), GetParam().found ? 0u : 1u);
}

TEST_F(IdeLookupTest, TitleSearchStopsReadingTitlesAtTheMatch) {
    desktop.add("Propeller Tool - A.spin");
    desktop.add("Propeller Tool - B.spin");
    lookup.lookUpIde();
    EXPECT_EQ(desktop.titlesRead.size(), 2u) << "our main window, then the match";
}

TEST_F(IdeLookupTest, MissingIdeShowsOneBoxAndTouchesNothingElseAndTheNextPressLooksAgain) {
    const auto terminal = desktop.add(std::string(text::terminalTitle));
    EXPECT_EQ(lookup.lookUpIde(), WindowHandle::none);
    ASSERT_EQ(notifier.boxes.size(), 1u);
    EXPECT_EQ(notifier.boxes[0].first, "Error");
    EXPECT_EQ(notifier.boxes[0].second, "Propeller IDE not found");
    EXPECT_TRUE(journal.entries.empty());
    EXPECT_EQ(lookup.terminalWindow(), WindowHandle::none) << "the terminal is only looked up on request";
    EXPECT_TRUE(desktop.isWindow(terminal));

    // The IDE is started between two presses.
    const auto ide = desktop.add("Propeller Tool - Blink.spin");
    EXPECT_EQ(lookup.lookUpIde(), ide);
    EXPECT_EQ(notifier.boxes.size(), 1u);
}

TEST_F(IdeLookupTest, FailedLookupForgetsTheWindowFoundBefore) {
    const auto ide = desktop.add("Propeller Tool");
    EXPECT_EQ(lookup.lookUpIde(), ide);
    desktop.at(ide).alive = false;
    EXPECT_EQ(lookup.lookUpIde(), WindowHandle::none);
    EXPECT_EQ(lookup.ideWindow(), WindowHandle::none);
}

TEST_F(IdeLookupTest, WithoutAMainWindowTheTitleSearchFindsNothing) {
    WindowLookup unanchored{desktop, notifier};
    desktop.add("Propeller Tool - Blink.spin");
    EXPECT_EQ(unanchored.lookUpIde(), WindowHandle::none);
    EXPECT_EQ(notifier.boxes.size(), 1u);
}

// The terminal window control, one row per situation: what happens to a terminal that is missing,
// minimized or shown, for each combination of flags.
struct TerminalCase {
    enum class State { missing, closedSinceLookup, minimized, shown } state;
    std::uint32_t flags;
    std::vector<std::string> calls;
};

std::string stateName(TerminalCase::State state) {
    constexpr const char* names[] = {"missing", "closedSinceLookup", "minimized", "shown"};
    return names[static_cast<int>(state)];
}
void PrintTo(const TerminalCase& c, std::ostream* out) {
    *out << stateName(c.state) << " flags " << c.flags;
}

class IdeTerminalControl : public IdeLookupTest, public ::testing::WithParamInterface<TerminalCase> {};

using State = TerminalCase::State;
const TerminalCase terminalCases[] = {
    // Compile.
    {State::shown, terminalMinimize, {"minimize Tavlund"}},
    {State::minimized, terminalMinimize, {}},
    {State::missing, terminalMinimize, {}},
    {State::closedSinceLookup, terminalMinimize, {}},
    // After an upload on the first row.
    {State::minimized, terminalRestore | terminalFront, {"restore Tavlund", "foreground Tavlund"}},
    {State::shown, terminalRestore | terminalFront, {"foreground Tavlund"}},
    {State::missing, terminalRestore | terminalFront, {}},
    {State::closedSinceLookup, terminalRestore | terminalFront, {}},
    // Each flag on its own, and minimize winning over front.
    {State::minimized, terminalRestore, {"restore Tavlund", "foreground Tavlund"}},
    {State::shown, terminalRestore, {}},
    {State::minimized, terminalFront, {}},
    {State::shown, terminalFront, {"foreground Tavlund"}},
    {State::shown, terminalMinimize | terminalFront, {"minimize Tavlund"}},
    {State::minimized, terminalMinimize | terminalRestore, {"restore Tavlund", "foreground Tavlund"}},
    {State::shown, 0, {}},
};

INSTANTIATE_TEST_SUITE_P(Situations, IdeTerminalControl, ::testing::ValuesIn(terminalCases), [](const auto& test) {
    return stateName(test.param.state) + "Flags" + std::to_string(test.param.flags);
});

TEST_P(IdeTerminalControl, ActsAsTheFlagsAndTheWindowsStateSay) {
    const auto& c = GetParam();
    if (c.state != State::missing) {
        desktop.add(std::string(text::terminalTitle), c.state == State::minimized ? Desktop::showMinimized : 1);
    }
    lookup.lookUpTerminal();
    if (c.state == State::closedSinceLookup) desktop.windows.back().alive = false;

    lookup.controlTerminal(c.flags);
    EXPECT_EQ(journal.entries, c.calls);
}

TEST_F(IdeLookupTest, TerminalStartedAfterTheLookupIsNotSeenUntilTheNextLookup) {
    lookup.lookUpTerminal();
    desktop.add(std::string(text::terminalTitle), Desktop::showMinimized);
    lookup.controlTerminal(terminalRestore | terminalFront);
    EXPECT_TRUE(journal.entries.empty());

    lookup.lookUpTerminal();
    lookup.controlTerminal(terminalRestore | terminalFront);
    EXPECT_EQ(journal.entries, (std::vector<std::string>{"restore Tavlund", "foreground Tavlund"}));
}

TEST_F(IdeLookupTest, TerminalLookupTakesTheWholeTitleOnly) {
    desktop.add("Tavlund - COM5");
    lookup.lookUpTerminal();
    EXPECT_EQ(lookup.terminalWindow(), WindowHandle::none);
    lookup.controlTerminal(terminalMinimize);
    EXPECT_TRUE(journal.entries.empty());
    EXPECT_TRUE(notifier.boxes.empty());
}

}  // namespace
}  // namespace kestrup::test
