#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "program_folder.h"
#include "window_layout.h"

namespace kestrup::app {
namespace {

// Which controls take the focus: buttons and fields, the Upload buttons only when enabled.
std::vector<bool> focusable(bool uploadsEnabled) {
    std::vector<bool> can;
    for (const ControlSpec& c : controls) {
        const bool upload = c.kind == ControlKind::button && c.text == "Upload";
        can.push_back(c.kind != ControlKind::label && (uploadsEnabled || !upload));
    }
    return can;
}

std::vector<int> tabWalk(bool uploadsEnabled, bool backwards) {
    const std::vector<bool> can = focusable(uploadsEnabled);
    std::vector<char> flags(can.begin(), can.end());
    std::vector<int> ids;
    int index = -1;
    for (int i = 0; i < 8; ++i) {
        index = nextFocus(std::span<const bool>(reinterpret_cast<const bool*>(flags.data()), flags.size()), index,
                          backwards);
        ids.push_back(controls[static_cast<std::size_t>(index)].id);
    }
    return ids;
}

TEST(Focus, TabFollowsTheTableAndWraps) {
    EXPECT_EQ(tabWalk(false, false), (std::vector<int>{0, 14, 4, 7, 10, 13, 0, 14}));
    EXPECT_EQ(tabWalk(false, true), (std::vector<int>{13, 10, 7, 4, 14, 0, 13, 10}));
    EXPECT_EQ(tabWalk(true, false), (std::vector<int>{0, 14, 2, 4, 5, 7, 8, 10}));
    EXPECT_EQ(tabWalk(true, true), (std::vector<int>{13, 11, 10, 8, 7, 5, 4, 2}));
}

TEST(Focus, NothingToFocus) {
    const bool none[] = {false, false, false};
    EXPECT_EQ(nextFocus(none, 1, false), -1);
    EXPECT_EQ(nextFocus({}, -1, true), -1);
    const bool one[] = {false, true, false};
    EXPECT_EQ(nextFocus(one, 1, false), 1);
    EXPECT_EQ(nextFocus(one, 1, true), 1);
}

TEST(Layout, ClientAreaHoldsTheSaveButtonAndTheComFieldsWithTheLeftMarginOnTheRight) {
    // The rightmost control ends at 114 (Save, 74 + 40), the leftmost starts at 4.
    EXPECT_EQ(clientSize().width, 118);
    EXPECT_EQ(clientSize().height, 116);
}

TEST(ProgramFolder, UpToTheLastSeparator) {
    const std::pair<const char*, const char*> table[] = {
        {"C:\\Prop\\kestrup.exe", "C:\\Prop\\"},
        {"C:/Prop/kestrup.exe", "C:/Prop/"},
        {"Z:\\a/b\\c.exe", "Z:\\a/b\\"},
        {"\\\\server\\share\\k.exe", "\\\\server\\share\\"},
        {"kestrup.exe", ""},
        {"", ""},
        {"C:\\", "C:\\"},
    };
    for (const auto& [path, folder] : table) EXPECT_EQ(folderOf(path), folder) << path;
}

// GetModuleFileNameA's contract: a path that does not fit is cut to the buffer, without its
// terminator, and the buffer's size comes back.
std::function<std::size_t(char*, std::size_t)> moduleName(const std::string& path, int* calls) {
    return [path, calls](char* buffer, std::size_t size) {
        ++*calls;
        const std::size_t n = std::min(path.size(), size);
        path.copy(buffer, n);
        if (n < size) buffer[n] = '\0';
        return n;
    };
}

TEST(ProgramFolder, LongPathsAreNeverCut) {
    for (const std::size_t length : {1, 511, 512, 513, 1024, 4000, 32767}) {
        std::string path(length, 'a');
        path.back() = 'z';
        int calls = 0;
        EXPECT_EQ(wholePath(moduleName(path, &calls)), path) << length;
        EXPECT_LE(calls, 8);
    }
}

TEST(ProgramFolder, TooLongOrFailedGivesNothing) {
    int calls = 0;
    EXPECT_EQ(wholePath(moduleName(std::string(32768, 'a'), &calls)), std::nullopt);
    EXPECT_EQ(wholePath([](char*, std::size_t) { return std::size_t{0}; }), std::nullopt);
    EXPECT_EQ(wholePath(moduleName(std::string(600, 'a'), &calls), 599), std::nullopt);
}

}  // namespace
}  // namespace kestrup::app
