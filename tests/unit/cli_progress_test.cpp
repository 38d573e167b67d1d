#include <gtest/gtest.h>

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

}  // namespace
}  // namespace kestrup::cli
