#include "rom/loader_protocol.h"

#include <gtest/gtest.h>

#include "fakes.h"

namespace kestrup::test {
namespace {

using Lines = std::vector<std::string>;
using Longs = std::vector<std::uint32_t>;

TEST(Lfsr, RunsThePeriodTheChipRuns) {
    Lfsr lfsr;
    std::string bits;
    for (int i = 0; i < 2 * 255; ++i) bits += lfsr.step() ? '1' : '0';
    EXPECT_EQ(bits, lfsrBits + lfsrBits);
    EXPECT_EQ(lfsr.state(), 80);
}

TEST(LongEncoding, MatchesTheWorkedExamples) {
    const std::pair<std::uint32_t, const char*> table[] = {
        {0, "92 92 92 92 92 92 92 92 92 92 F2"},           {1, "93 92 92 92 92 92 92 92 92 92 F2"},
        {7, "DB 92 92 92 92 92 92 92 92 92 F2"},           {8, "92 93 92 92 92 92 92 92 92 92 F2"},
        {0x80000000u, "92 92 92 92 92 92 92 92 92 92 FA"}, {0xFFFFFFFFu, "DB DB DB DB DB DB DB DB DB DB FB"},
        {0x12345678u, "92 DB 93 9B D3 92 D3 93 9A 9A F2"},
    };
    for (const auto& [value, bytes] : table) EXPECT_EQ(hex(encodeLong(value)), bytes) << value;
}

// The protocol against the simulated chip, on a virtual clock: the chip takes its real time to sum
// the image and program its EEPROM.
struct ProtocolTest : ::testing::Test {
    VirtualClock clock;
    Journal journal{clock};
    FakePort port{&journal};
    RecordingConsole console;
    SerialLink link{port, clock, console};
    LoaderProtocol protocol{link, console};
    SimulatedBoard board{port, clock};

    void SetUp() override {
        port.existing = {comDeviceName(3)};
        ASSERT_TRUE(link.open(PortAddress::com(3)));
    }
    void use(sim::ChipConfig config) {
        board.replace(std::move(config));
        reset();
    }
    void reset() { link.chipReset({25, 50}); }
    // The version a chip gave; -1 for none.
    int version() {
        const HandshakeResult result = protocol.handshake();
        return result.failure ? -1 : result.version;
    }
};

TEST_F(ProtocolTest, HandshakeWritesAll509BytesAs256Then253AndAwaitsOneWindowOnASilentLine) {
    port.onWrite = nullptr;
    EXPECT_EQ(protocol.handshake().failure, HandshakeFailure::noAnswer);
    ASSERT_EQ(port.writes.size(), 2u);
    EXPECT_EQ(port.writes[0].size(), 256u);
    EXPECT_EQ(port.writes[1].size(), 253u);
    EXPECT_EQ(port.written[0], 0xF9);
    EXPECT_EQ(hex(std::span(port.written).subspan(1, 8)), "FE FF FE FF FF FF FE FE");
    EXPECT_TRUE(std::all_of(port.written.begin() + 251, port.written.end(), [](auto b) { return b == 0xF9; }));
    EXPECT_EQ(clock.nowMs, 100);
    EXPECT_EQ(console.lines, Lines{"Time Out"});
}

// A program of the host's own goes behind the handshake, before the first reply is read; a line with
// no chip has it all sent before the next reset, and a chip takes it as the ROM's own load.
TEST_F(ProtocolTest, AProgramGoesBehindTheHandshakeBeforeItsRepliesAreRead) {
    const Longs program(51, 0x12345678u);
    const std::size_t head = 1 + 84 + 258;  // the clock byte, 250 bits three a byte, the reply clocks
    std::optional<std::size_t> writtenAtFirstRead;
    port.onRead = [&] { writtenAtFirstRead = writtenAtFirstRead.value_or(port.written.size()); };
    const BootResult loaded = protocol.boot(HandshakeBits::threePerByte, program);
    EXPECT_TRUE(loaded.handshake.isChip());
    EXPECT_EQ(loaded.program, Acknowledgement::refused);  // the chip sums RAM: these longs do not hold
    EXPECT_EQ(writtenAtFirstRead, head + (2 + program.size()) * bytesPerLong);
    EXPECT_EQ(hex(std::span(port.written).subspan(head, bytesPerLong)), hex(encodeLong(1)));
    EXPECT_EQ(board.sessions().back().longCount, program.size());

    port.onWrite = nullptr;
    port.written.clear();
    const int drains = port.drains;
    const BootResult silent = protocol.boot(HandshakeBits::threePerByte, program);
    EXPECT_EQ(silent.handshake.failure, HandshakeFailure::noAnswer);
    EXPECT_EQ(silent.program, Acknowledgement::noAnswer);
    EXPECT_EQ(port.written.size(), head + (2 + program.size()) * bytesPerLong);
    EXPECT_EQ(port.drains, drains + 1);
}

TEST_F(ProtocolTest, VersionBitsArriveLeastSignificantFirst) {
    EXPECT_EQ(version(), 1);
    sim::ChipConfig config;
    config.version = 0xA5;
    use(config);
    EXPECT_EQ(version(), 0xA5);
    config.version = 0;
    use(config);
    const HandshakeResult zero = protocol.handshake();
    EXPECT_EQ(zero.failure, std::nullopt);
    EXPECT_FALSE(zero.isChip());
    EXPECT_EQ(console.lines, (Lines{"Propeller Version = 1", "Propeller Version = 165", "Propeller Version = 0"}));
    EXPECT_EQ(board.sessions().size(), 3u);
}

TEST_F(ProtocolTest, WrongFirstBitFailsAfterOneReadAndItsRepliesDoNotSpoilTheNextHandshake) {
    sim::ChipConfig config;
    config.faults.wrongBit = 0;
    config.faultySessions = 1;
    use(config);
    const int readsBefore = port.reads;
    EXPECT_EQ(protocol.handshake().failure, HandshakeFailure::wrongBit);  // leaves 257 replies unread
    EXPECT_TRUE(console.lines.empty());
    EXPECT_EQ(port.reads - readsBefore, 1);
    reset();
    EXPECT_EQ(version(), 1);
}

TEST_F(ProtocolTest, TimeOutOnTheLastVersionBitIsNoVersionThoughItsLineShowsTheBitsAsTheyCame) {
    sim::ChipConfig config;
    config.faults.missingVersionBit = true;
    use(config);
    const HandshakeResult cut = protocol.handshake();
    EXPECT_EQ(cut.failure, HandshakeFailure::versionCut);
    EXPECT_FALSE(cut.isChip());
    // Bit 0 set, bit 7 and above from the time-out.
    EXPECT_EQ(console.lines, (Lines{"Time Out", "Propeller Version = -127"}));
}

TEST_F(ProtocolTest, ImageLoadSendsCommandCountAndLongsAndReportsEachWriteAfterItIsDone) {
    ASSERT_EQ(version(), 1);
    Journal order;
    RecordingConsole journalled(&order);
    auto chipWrite = port.onWrite;
    port.onWrite = [&order, chipWrite](std::span<const std::uint8_t> bytes) {
        order.add("write " + std::to_string(bytes.size()));
        chipWrite(bytes);
    };
    LoaderProtocol sameProtocol(link, journalled);
    // A header the chip accepts, then zeros; the 31st long lies past the length.
    Longs image{0, 0x0010'DC00, 0x0018'0010, 0};
    image.resize(31, 0xDEADBEEF);
    std::fill(image.begin() + 4, image.begin() + 30, 0u);
    EXPECT_EQ(sameProtocol.imageLoad(122, image), Acknowledgement::accepted);
    // Command, count, "Write in RAM", 30 longs = 330 bytes in 256 + 74, "Verify", then a clock a
    // poll (35 ms): the chip sums for 100 ms, the clock at 105 lines the answer up, the one at 140
    // has it, and the poll after that looks at what its fill brought.
    EXPECT_EQ(order.entries, (Lines{"write 11", "write 11", "status Write in RAM Lenght=122", "write 256", "write 74",
                                    "status Verify ..", "write 1", "write 1", "write 1", "write 1", "write 1",
                                    "write 1", "status ..OK -> RUN"}));
    const auto load = board.last();
    EXPECT_EQ(load.command, 1u);
    EXPECT_EQ(load.longs, Longs(image.begin(), image.begin() + 30));
    EXPECT_EQ(load.state, sim::ChipState::running);
}

TEST_F(ProtocolTest, EmptyImageStillAwaitsTheAcknowledgement) {
    ASSERT_EQ(version(), 1);
    console.lines.clear();
    const std::size_t before = port.written.size();
    EXPECT_EQ(protocol.imageLoad(0, {}), Acknowledgement::accepted);  // zeros sum to 0
    EXPECT_EQ(port.written.size() - before, 22u + 6u);
    EXPECT_EQ(console.lines, (Lines{"Write in RAM Lenght=0", "Verify ..", "..OK -> RUN"}));
}

TEST_F(ProtocolTest, RejectedOrMissingAcknowledgementIsAChecksumErrorEachOfItsOwn) {
    sim::ChipConfig config;
    config.faults.rejectChecksum = true;
    use(config);
    ASSERT_EQ(version(), 1);
    console.lines.clear();
    EXPECT_EQ(protocol.imageLoad(4, Longs{7}), Acknowledgement::refused);
    EXPECT_EQ(console.lines, (Lines{"Write in RAM Lenght=4", "Verify ..", "CheckSum Error"}));

    config.faults = {};
    config.faults.noAcknowledge = true;
    use(config);
    ASSERT_EQ(version(), 1);
    console.lines.clear();
    EXPECT_EQ(protocol.imageLoad(4, Longs{7}), Acknowledgement::noAnswer);
    EXPECT_EQ(console.lines, (Lines{"Write in RAM Lenght=4", "Verify ..", "Time Out", "CheckSum Error"}));
}

TEST_F(ProtocolTest, EepromProgrammingWaitsForTheTwoFurtherAcknowledgements) {
    const Longs image{0, 0x0010'DC00, 0x0018'0010, 0};  // sums to 0 with the stack markers
    const struct {
        void (*fault)(sim::ChipFaults&);
        bool run;
        EepromResult result;
        Lines tail;
        const char* state;
    } cases[] = {
        {[](sim::ChipFaults&) {},
         true,
         EepromResult::done,
         {"..OK", "Programming EEPROM ..", "Verifying EEPROM ..", "..EEPROM OK -> RUN"},
         "running"},
        {[](sim::ChipFaults&) {},
         false,
         EepromResult::done,
         {"..OK", "Programming EEPROM ..", "Verifying EEPROM ..", "..EEPROM OK -> SHUTDOWN"},
         "shutdown"},
        {[](sim::ChipFaults& f) { f.rejectChecksum = true; },
         true,
         EepromResult::checksumError,
         {"CheckSum Error"},
         "shutdown"},
        {[](sim::ChipFaults& f) { f.programFails = true; },
         true,
         EepromResult::programmingFailed,
         {"..OK", "Programming EEPROM ..", "EEPROM programming failed"},
         "shutdown"},
        {[](sim::ChipFaults& f) { f.verifyFails = true; },
         false,
         EepromResult::verifyFailed,
         {"..OK", "Programming EEPROM ..", "Verifying EEPROM ..", "EEPROM verify failed"},
         "shutdown"},
    };
    for (const auto& c : cases) {
        sim::ChipConfig config;
        c.fault(config.faults);
        use(config);
        ASSERT_EQ(version(), 1);
        console.lines.clear();
        EXPECT_EQ(protocol.programEeprom(16, image, c.run), c.result);
        EXPECT_EQ(Lines(console.lines.begin() + 2, console.lines.end()), c.tail);
        const auto load = board.last();
        EXPECT_EQ(load.command, c.run ? 3u : 2u);
        EXPECT_EQ(sim::stateName(load.state), std::string(c.state));
    }
}

// A chip that falls silent is given each acknowledgement's whole window, counted from the moment
// the line has drained: the checksum's, the programming's (a 7 MHz chip's 5.4 s with room) and the
// verify's (its 2.3 s with room).
TEST_F(ProtocolTest, EachAcknowledgementIsAwaitedForItsWindowOnceTheLineHasDrained) {
    const Longs image{0, 0x0010'DC00, 0x0018'0010, 0};  // sums to 0 with the stack markers
    struct Case {
        void (*silence)(sim::ChipConfig&);
        int drains;
        EepromResult result;
        int windowMs;  // whole polls of 35 ms: 2500, 7000 and 3000 rounded up
    };
    const Case cases[] = {
        {[](sim::ChipConfig& c) { c.faults.noAcknowledge = true; }, 1, EepromResult::checksumError, 2520},
        {[](sim::ChipConfig& c) { c.timing.programTime = 60'000'000; }, 2, EepromResult::programmingFailed, 7000},
        {[](sim::ChipConfig& c) { c.timing.verifyTime = 60'000'000; }, 3, EepromResult::verifyFailed, 3010},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.windowMs);
        sim::ChipConfig config;
        c.silence(config);
        use(config);
        ASSERT_EQ(version(), 1);
        journal.entries.clear();
        EXPECT_EQ(protocol.programEeprom(16, image, true), c.result);
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
        ASSERT_EQ(drains.size(), static_cast<std::size_t>(c.drains));
        EXPECT_EQ(clock.nowMs - drains.back(), c.windowMs);
    }
}

}  // namespace
}  // namespace kestrup::test
