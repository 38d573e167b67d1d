#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "progress.h"

namespace kestrup::cli {
namespace {

TEST(Progress, OneBoardShowsBarBytesRateAndTimeLeft) {
    ProgressDisplay display(false);
    auto& slot = display.add("/dev/pts/3");
    EXPECT_EQ(display.render(0), "");  // nothing before the load starts
    slot.startMicros = 1'000'000;
    slot.total = 33000;
    slot.sent = 11000;
    // 11000 bytes in 1 s: 11 kB/s, 22000 bytes to go.
    EXPECT_EQ(display.render(2'000'000), "[==========>                   ] 11000/33000 bytes  11.0 kB/s  2.0 s left");
    slot.sent = 33000;
    EXPECT_EQ(display.render(4'000'000), "");  // done: the line goes away before "Verify .."
}

TEST(Progress, SeveralBoardsShareOneLine) {
    ProgressDisplay display(false);
    auto& a = display.add("Com3");
    auto& b = display.add("Com4");
    a.startMicros = b.startMicros = 0;
    a.total = b.total = 200;
    a.sent = 50;
    b.sent = 150;
    EXPECT_EQ(display.render(1'000'000), "Com3  25%  Com4  75%");
}

TEST(Progress, TheEepromsPagesFollowTheBytesInPlaceOrNowAndThenAsLines) {
    struct Lines final : StatusSink {
        void statusLine(std::string_view line) override { seen.emplace_back(line); }
        std::vector<std::string> seen;
    } plain;
    ProgressDisplay display(false);
    auto& slot = display.add("/dev/pts/3");
    SlotProgress progress(&slot, &plain);
    progress.on(Progress{8192, 8192});
    for (std::size_t done : {37, 48, 64, 128, 144, 256, 496}) progress.on(EepromPages{done, 512});
    EXPECT_EQ(display.render(0), "Programming EEPROM: page 496 of 512");
    // A line as each 128 pages are passed; the last page's line is the path lines'.
    progress.on(EepromPages{512, 512});
    EXPECT_EQ(display.render(0), "");
    EXPECT_EQ(plain.seen,
              (std::vector<std::string>{"Programming EEPROM: page 128 of 512", "Programming EEPROM: page 256 of 512",
                                        "Programming EEPROM: page 496 of 512"}));
    progress.on(EepromPages{512, 512, PageFailure::readBackWrong, 37});
    EXPECT_EQ(plain.seen.size(), 3u);

    ProgressDisplay several(false);
    auto& a = several.add("Com3");
    several.add("Com4");
    SlotProgress(&a).on(EepromPages{130, 512});
    EXPECT_EQ(several.render(0), "Com3 page 130/512");
}

}  // namespace
}  // namespace kestrup::cli
