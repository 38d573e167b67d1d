#include "rom/serial_link.h"

#include <gtest/gtest.h>

#include "fakes.h"

namespace kestrup::test {
namespace {

using Lines = std::vector<std::string>;

struct LinkTest : ::testing::Test {
    Journal journal;
    FakePort port{&journal};
    VirtualClock clock;
    RecordingConsole console;
    SerialLink link{port, clock, console};

    void SetUp() override {
        port.existing = {comDeviceName(3)};
        ASSERT_TRUE(link.open(PortAddress::com(3)));
    }
    int fillsSoFar() const { return port.reads; }
};

TEST_F(LinkTest, OpenConfiguresTheComDeviceAndAFailedOpenConfiguresNothing) {
    EXPECT_EQ(port.openedDevice, comDeviceName(3));
    EXPECT_EQ(port.configures, 1);

    FakePort other;
    SerialLink second(other, clock, console);
    EXPECT_FALSE(second.open(PortAddress::com(7)));
    EXPECT_FALSE(second.isOpen());
    EXPECT_EQ(other.configures, 0);
    EXPECT_TRUE(console.lines.empty());
}

TEST_F(LinkTest, StagingWritesFullBlocksOfExactly256Bytes) {
    for (int i = 0; i < 255; ++i) link.stage(static_cast<std::uint8_t>(i));
    EXPECT_TRUE(port.writes.empty());
    link.stage(255);
    ASSERT_EQ(port.writes.size(), 1u);
    EXPECT_EQ(port.writes[0].size(), 256u);
    EXPECT_EQ(port.writes[0][255], 255);

    link.stage(0xAA);  // the 257th starts a new block
    EXPECT_EQ(port.writes.size(), 1u);
    link.flush();
    link.flush();  // nothing staged: nothing written
    ASSERT_EQ(port.writes.size(), 2u);
    EXPECT_EQ(port.writes[1], std::vector<std::uint8_t>{0xAA});
    EXPECT_TRUE(console.lines.empty());
}

TEST_F(LinkTest, FailedAndShortWritesAreReportedAndTheStageIsEmptiedEitherWay) {
    port.writeResults = {std::nullopt, std::size_t{1}, std::size_t{2}};
    link.stage(1);
    link.stage(2);
    link.flush();  // fails
    link.stage(3);
    link.stage(4);
    link.flush();  // 1 of 2
    link.stage(5);
    link.stage(6);
    link.flush();  // all
    EXPECT_EQ(console.lines, (Lines{"Unable to write", "Transmit stall on"}));
    ASSERT_EQ(port.writes.size(), 3u);
    EXPECT_EQ(port.writes[2], (std::vector<std::uint8_t>{5, 6}));
}

TEST_F(LinkTest, SilentLineSpendsItsWindowInPollsOf10OrWithAClock35Milliseconds) {
    for (const int window : {0, -5}) EXPECT_EQ(link.replyBit(true, window), ReplyBit::timedOut);  // spent: at once
    EXPECT_TRUE(port.writes.empty() && clock.pauses.empty());
    EXPECT_EQ(fillsSoFar(), 0);

    EXPECT_EQ(link.replyBit(false, 100), ReplyBit::timedOut);
    EXPECT_EQ(fillsSoFar(), 10);
    EXPECT_EQ(clock.pauses, std::vector<int>(10, 10));

    EXPECT_EQ(link.replyBit(true, 2500), ReplyBit::timedOut);
    ASSERT_EQ(port.writes.size(), 72u);
    for (const auto& w : port.writes) EXPECT_EQ(w, std::vector<std::uint8_t>{0xF9});
    EXPECT_EQ(clock.nowMs, 100 + 72 * 35);
    EXPECT_EQ(console.lines, Lines(4, "Time Out"));
}

TEST_F(LinkTest, AReplyIsLookedAtFromThePollAfterTheFillThatBroughtIt) {
    port.queueReply({0xFE});
    EXPECT_EQ(link.replyBit(false, 100), ReplyBit::zero);
    EXPECT_EQ(clock.pauses, std::vector<int>{10});
    EXPECT_EQ(fillsSoFar(), 1);

    port.queueReply({0xFF, 0xFE});
    link.fill();
    EXPECT_EQ(link.replyBit(false, 100), ReplyBit::one);  // waiting already: no pause
    EXPECT_EQ(link.replyBit(true, 2500), ReplyBit::zero);
    EXPECT_EQ(clock.pauses, (std::vector<int>{10, 25}));  // its clock byte's pause only
    EXPECT_EQ(port.writes, std::vector<std::vector<std::uint8_t>>{{0xF9}});
}

TEST_F(LinkTest, StrayBytesAreReportedOneByOneAndTheWaitGoesOn) {
    port.queueReply({0x00, 0x41, 0xFE});
    link.fill();
    EXPECT_EQ(link.replyBit(true, 2500), ReplyBit::zero);
    EXPECT_EQ(console.lines, (Lines{"Hardware lost", "Hardware lost"}));
    // Poll 1: clock, 25, stray, 10. Poll 2: clock, 25, stray, 10. Poll 3: clock, 25, 0xFE.
    EXPECT_EQ(clock.pauses, (std::vector<int>{25, 10, 25, 10, 25}));
    EXPECT_EQ(port.writes.size(), 3u);
}

TEST_F(LinkTest, StrayBytesCannotStretchTheWindow) {
    port.queueReply(std::vector<std::uint8_t>(200, 0x55));
    EXPECT_EQ(link.replyBit(false, 100), ReplyBit::timedOut);
    EXPECT_EQ(clock.nowMs, 100);
    Lines expected(9, "Hardware lost");
    expected.push_back("Time Out");
    EXPECT_EQ(console.lines, expected);
}

TEST_F(LinkTest, ReplyFetchedByTheLastFillOfAWindowStillTimesOut) {
    // Nine empty fills, then the tenth brings the reply: it is looked at only by a poll that never comes.
    for (int i = 0; i < 9; ++i) port.readResults.push_back(std::size_t{0});
    port.queueReply({0xFE});
    EXPECT_EQ(link.replyBit(false, 100), ReplyBit::timedOut);
    EXPECT_EQ(console.lines, Lines{"Time Out"});
    // The byte stays for the next wait.
    EXPECT_EQ(link.replyBit(false, 100), ReplyBit::zero);
}

TEST_F(LinkTest, FailedReadIsReportedAndTheNextPollFillsAgain) {
    port.readResults = {std::nullopt};
    port.queueReply({0xFF});
    EXPECT_EQ(link.replyBit(false, 100), ReplyBit::one);
    EXPECT_EQ(console.lines, Lines{"Unable to read"});
    EXPECT_EQ(fillsSoFar(), 2);
}

TEST_F(LinkTest, ChipResetPulsesDtrOrRtsThenPurgesBothQueues) {
    port.queueReply({0x10, 0x11, 0xFE});
    link.fill();
    journal.entries.clear();
    port.queueReply({0xFF});
    link.chipReset({25, 50});
    EXPECT_EQ(journal.entries, (Lines{"dtr on", "dtr off", "purge"}));
    EXPECT_EQ(clock.pauses, (std::vector<int>{25, 50}));
    // Neither the driver's queue nor the link's own buffer holds anything of the exchange before.
    EXPECT_EQ(link.replyBit(false, 20), ReplyBit::timedOut);
    EXPECT_EQ(console.lines, Lines{"Time Out"});

    link.setResetLine(ResetLine::rts);
    journal.entries.clear();
    link.chipReset({10, 15});
    EXPECT_EQ(journal.entries, (Lines{"rts on", "rts off", "purge"}));
}

}  // namespace
}  // namespace kestrup::test
