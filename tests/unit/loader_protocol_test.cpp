#include "fakes.h"
#include "loader_protocol.h"

#include <gtest/gtest.h>

namespace kestrup::test {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;

TEST(Lfsr, RunsFromTheSeedAsTheChipDoes) {
    Lfsr lfsr;
    const int expectedStates[] = {80, 161, 66, 133, 11, 23, 46, 92, 185};
    const int expectedOutputs[] = {0, 1, 0, 1, 1, 1, 0, 0, 1, 1, 1, 1, 0, 1, 0, 1};
    for (int i = 0; i < 16; ++i) {
        if (i < 9) {
            EXPECT_EQ(lfsr.state(), expectedStates[i]) << i;
        }
        EXPECT_EQ(lfsr.step(), expectedOutputs[i]) << i;
    }
    Lfsr again;
    for (int i = 0; i < 255; ++i) again.step();
    EXPECT_EQ(again.state(), Lfsr::seed);  // period 255
}

struct LongCase {
    std::uint32_t value;
    const char* bytes;
};

class LongEncoding : public ::testing::TestWithParam<LongCase> {};

TEST_P(LongEncoding, MatchesTheWorkedExamples) {
    EXPECT_EQ(hex(encodeLong(GetParam().value)), GetParam().bytes);
    EXPECT_EQ(decodeLong(encodeLong(GetParam().value)), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(Table, LongEncoding,
                         ::testing::Values(LongCase{0, "92 92 92 92 92 92 92 92 92 92 F2"},
                                           LongCase{1, "93 92 92 92 92 92 92 92 92 92 F2"},
                                           LongCase{7, "DB 92 92 92 92 92 92 92 92 92 F2"},
                                           LongCase{8, "92 93 92 92 92 92 92 92 92 92 F2"},
                                           LongCase{0x80000000u, "92 92 92 92 92 92 92 92 92 92 FA"},
                                           LongCase{0xFFFFFFFFu, "DB DB DB DB DB DB DB DB DB DB FB"},
                                           LongCase{0x12345678u, "92 DB 93 9B D3 92 D3 93 9A 9A F2"}),
                         [](const auto& p) { return "long_" + std::to_string(p.param.value); });

struct ProtocolTest : ::testing::Test {
    VirtualClock clock;
    Journal journal{clock};
    FakePort port{&journal};
    RecordingConsole console;
    SerialLink link{port, clock, console};
    LoaderProtocol protocol{link, console};
    ChipModel chip;

    void SetUp() override {
        port.existing = {comDeviceName(3)};
        ASSERT_TRUE(link.open(PortAddress::com(3)));
        chip.attach(port);
    }
    void reset() { link.chipReset({25, 50}); }
};

TEST_F(ProtocolTest, SendingALongStagesElevenBytesWithoutFlushing) {
    protocol.sendLong(0x12345678);
    EXPECT_TRUE(port.writes.empty());
    link.flush();
    EXPECT_EQ(hex(port.written), "92 DB 93 9B D3 92 D3 93 9A 9A F2");
}

TEST_F(ProtocolTest, HandshakeWritesAll509BytesAs256Then253BeforeReading) {
    port.onWrite = nullptr;  // a silent line
    EXPECT_EQ(protocol.handshake(), -1);
    ASSERT_EQ(port.writes.size(), 2u);
    EXPECT_EQ(port.writes[0].size(), 256u);
    EXPECT_EQ(port.writes[1].size(), 253u);
    EXPECT_EQ(port.written[0], 0xF9);
    EXPECT_EQ(hex(std::span(port.written).subspan(1, 8)), "FE FF FE FF FF FF FE FE");
    EXPECT_TRUE(std::all_of(port.written.begin() + 251, port.written.end(), [](auto b) { return b == 0xF9; }));
    // Only the first reply is awaited: one window of 100 ms, one "Time Out", no version line.
    EXPECT_EQ(clock.nowMs, 100);
    EXPECT_EQ(console.lines, Lines{"Time Out"});
}

TEST_F(ProtocolTest, WellBehavedChipGivesVersionOne) {
    EXPECT_EQ(protocol.handshake(), 1);
    EXPECT_EQ(console.lines, Lines{"Propeller Version = 1"});
    EXPECT_TRUE(chip.handshakeOk);
}

TEST_F(ProtocolTest, VersionBitsArriveLeastSignificantFirst) {
    chip.version = 0xA5;
    EXPECT_EQ(protocol.handshake(), 0xA5);
    EXPECT_EQ(console.lines, Lines{"Propeller Version = 165"});
}

TEST_F(ProtocolTest, ExpectedChipBitsContinueTheHostSequence) {
    Lfsr lfsr;
    for (int i = 0; i < 250; ++i) lfsr.step();
    std::vector<int> next;
    for (int i = 0; i < 8; ++i) next.push_back(lfsr.step());
    EXPECT_EQ(next, (std::vector<int>{0, 1, 0, 0, 0, 0, 1, 0}));
}

TEST_F(ProtocolTest, WrongFirstBitFailsAfterOneWaitWithoutAStatusLine) {
    chip.fault = ChipModel::Fault::wrongBit;
    chip.wrongBitIndex = 0;
    EXPECT_EQ(protocol.handshake(), -1);
    EXPECT_TRUE(console.lines.empty());
    EXPECT_EQ(port.reads, 1);
}

TEST_F(ProtocolTest, TimeOutOnTheLastVersionBitGivesANegativeVersion) {
    chip.fault = ChipModel::Fault::missingVersionBit;
    const int version = protocol.handshake();
    EXPECT_LT(version, 0);
    EXPECT_GE(version, -128);
    EXPECT_EQ(version, 1 - 128);  // bit 0 set, bit 7 and above from the time-out
    EXPECT_EQ(console.lines, (Lines{"Time Out", "Propeller Version = -127"}));
}

TEST_F(ProtocolTest, StaleRepliesOfAFailedHandshakeDoNotSpoilTheNext) {
    chip.fault = ChipModel::Fault::wrongBit;
    chip.wrongBitIndex = 0;
    ASSERT_EQ(protocol.handshake(), -1);  // leaves 250-odd replies unread
    chip.fault = ChipModel::Fault::none;
    reset();
    EXPECT_EQ(protocol.handshake(), 1);
}

TEST_F(ProtocolTest, ImageLoadSendsCommandCountLongsAndPrintsInOrder) {
    ASSERT_EQ(protocol.handshake(), 1);
    console.lines.clear();
    const std::vector<std::uint32_t> image{0x11111111, 0x22222222, 0x33333333};
    EXPECT_TRUE(protocol.imageLoad(10, image));
    EXPECT_EQ(chip.command, 1u);
    EXPECT_EQ(chip.longCount, 2u);
    EXPECT_EQ(chip.longs, (std::vector<std::uint32_t>{0x11111111, 0x22222222}));
    EXPECT_EQ(console.lines, (Lines{"Write in RAM Lenght=10", "Verify ..", "..OK -> RUN"}));
}

TEST_F(ProtocolTest, StatusLinesFollowTheWritesTheyReport) {
    ASSERT_EQ(protocol.handshake(), 1);
    Journal order;
    RecordingConsole journalled(&order);
    auto chipWrite = port.onWrite;
    port.onWrite = [&order, chipWrite](std::span<const std::uint8_t> bytes) {
        order.add("write " + std::to_string(bytes.size()));
        chipWrite(bytes);
    };
    LoaderProtocol sameProtocol(link, journalled);
    const std::vector<std::uint32_t> image(30, 0xDEADBEEF);
    sameProtocol.imageLoad(120, image);
    // Command (11), count (11), "Write in RAM", 30 longs = 330 bytes in 256 + 74, "Verify", two polls.
    EXPECT_EQ(order.entries, (Lines{"write 11", "write 11", "status Write in RAM Lenght=120", "write 256", "write 74",
                                    "status Verify ..", "write 1", "write 1", "status ..OK -> RUN"}));
}

TEST_F(ProtocolTest, EmptyImageStillAwaitsTheAcknowledgement) {
    ASSERT_EQ(protocol.handshake(), 1);
    console.lines.clear();
    const std::size_t before = port.written.size();
    EXPECT_TRUE(protocol.imageLoad(0, {}));
    // Command, count, and two clock bytes: the first poll fills, the second takes the answer.
    EXPECT_EQ(port.written.size() - before, 22u + 2u);
    EXPECT_EQ(console.lines, (Lines{"Write in RAM Lenght=0", "Verify ..", "..OK -> RUN"}));
}

TEST_F(ProtocolTest, RejectedOrMissingAcknowledgementIsAChecksumError) {
    ASSERT_EQ(protocol.handshake(), 1);
    chip.fault = ChipModel::Fault::rejectChecksum;
    console.lines.clear();
    EXPECT_FALSE(protocol.imageLoad(4, std::vector<std::uint32_t>{7}));
    EXPECT_EQ(console.lines.back(), "CheckSum Error");

    reset();
    chip.fault = ChipModel::Fault::noAcknowledge;
    ASSERT_EQ(protocol.handshake(), 1);
    console.lines.clear();
    EXPECT_FALSE(protocol.imageLoad(4, std::vector<std::uint32_t>{7}));
    EXPECT_EQ(console.lines, (Lines{"Write in RAM Lenght=4", "Verify ..", "Time Out", "CheckSum Error"}));
}

TEST_F(ProtocolTest, EepromProgrammingWaitsForTheTwoFurtherAcknowledgements) {
    struct Case {
        ChipModel::Fault fault;
        bool run;
        EepromResult result;
        std::uint32_t command;
        Lines tail;
    };
    const Case cases[] = {
        {ChipModel::Fault::none, true, EepromResult::done, 3,
         {"..OK", "Programming EEPROM ..", "Verifying EEPROM ..", "..EEPROM OK -> RUN"}},
        {ChipModel::Fault::none, false, EepromResult::done, 2,
         {"..OK", "Programming EEPROM ..", "Verifying EEPROM ..", "..EEPROM OK -> SHUTDOWN"}},
        {ChipModel::Fault::rejectChecksum, true, EepromResult::checksumError, 3, {"CheckSum Error"}},
        {ChipModel::Fault::programFails, true, EepromResult::programmingFailed, 3,
         {"..OK", "Programming EEPROM ..", "EEPROM programming failed"}},
        {ChipModel::Fault::verifyFails, false, EepromResult::verifyFailed, 2,
         {"..OK", "Programming EEPROM ..", "Verifying EEPROM ..", "EEPROM verify failed"}},
    };
    for (const Case& c : cases) {
        reset();
        chip.fault = ChipModel::Fault::none;
        ASSERT_EQ(protocol.handshake(), 1);
        chip.fault = c.fault;
        console.lines.clear();
        EXPECT_EQ(protocol.programEeprom(8, std::vector<std::uint32_t>{1, 2}, c.run), c.result);
        EXPECT_EQ(chip.command, c.command);
        ASSERT_GE(console.lines.size(), 2u + c.tail.size());
        EXPECT_EQ(Lines(console.lines.begin() + 2, console.lines.end()), c.tail);
    }
}

TEST_F(ProtocolTest, EachAcknowledgementIsAwaitedForItsWindowOnceTheLineHasDrained) {
    struct Case {
        int answered;  // acknowledgements the chip gives before it falls silent
        EepromResult result;
        int windowMs;  // whole polls of 35 ms: 2500, 7000 and 3000 rounded up
    };
    for (const Case c : {Case{0, EepromResult::checksumError, 2520}, Case{1, EepromResult::programmingFailed, 7000},
                         Case{2, EepromResult::verifyFailed, 3010}}) {
        SCOPED_TRACE(c.answered);
        reset();
        ASSERT_EQ(protocol.handshake(), 1);
        int clocks = 0;
        auto chipWrite = port.onWrite;
        port.onWrite = [&](std::span<const std::uint8_t> bytes) {
            if (bytes.size() == 1 && bytes[0] == 0xF9 && ++clocks > c.answered) return;
            chipWrite(bytes);
        };
        journal.entries.clear();
        EXPECT_EQ(protocol.programEeprom(8, std::vector<std::uint32_t>{1, 2}, true), c.result);
        port.onWrite = chipWrite;
        // A drain before each acknowledgement's first clock; the last one's window counted from it.
        std::vector<std::int64_t> drains;
        for (std::size_t i = 0; i < journal.entries.size(); ++i) {
            const std::string& e = journal.entries[i];
            if (e.ends_with(" drain")) {
                drains.push_back(std::stoll(e));
                ASSERT_LT(i + 1, journal.entries.size());
                EXPECT_TRUE(journal.entries[i + 1].ends_with(" write 1")) << journal.entries[i + 1];
            }
        }
        ASSERT_EQ(drains.size(), static_cast<std::size_t>(c.answered + 1));
        EXPECT_EQ(clock.nowMs - drains.back(), c.windowMs);
    }
}

}  // namespace
}  // namespace kestrup::test
