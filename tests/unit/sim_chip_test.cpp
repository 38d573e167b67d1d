// The simulated chip's boot loader, driven with invented times: handshake, load, verdict, EEPROM
// commands, time limits, faults and sessions.

#include "chip_model.h"
#include "dense_encoding.h"
#include "loader_protocol.h"

#include <gtest/gtest.h>

#include <vector>

namespace kestrup::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Longs = std::vector<std::uint32_t>;

constexpr Micros frame = 96;  // a byte at 115200 8N2, rounded up
constexpr Micros ms = 1000;

// The host's side of a line to the model, with a clock that only moves when told.
struct Line {
    explicit Line(ChipConfig config = {}) : chip(config) {}

    ChipModel chip;
    Micros now = 5'000'000;
    Bytes replies;

    Bytes send(std::uint8_t byte, Micros after = frame) {
        now += after;
        Bytes got = chip.receive(byte, now);
        replies.insert(replies.end(), got.begin(), got.end());
        return got;
    }
    void send(const Bytes& bytes) {
        for (const std::uint8_t b : bytes) send(b);
    }
    void sendLong(std::uint32_t value, Micros firstAfter = frame) {
        const auto bytes = encodeLong(value);
        send(bytes[0], firstAfter);
        for (std::size_t i = 1; i < bytes.size(); ++i) send(bytes[i]);
    }

    static Bytes hostBits() {
        Bytes bytes;
        Lfsr lfsr;
        for (int i = 0; i < handshakeBits; ++i) bytes.push_back(static_cast<std::uint8_t>(0xFE | lfsr.step()));
        return bytes;
    }
    void handshake() {
        send(clockByte);
        send(hostBits());
        send(Bytes(handshakeBits + versionBits, clockByte));
    }
    // Command, count and longs; `now` is then the time of the last long.
    void load(const Longs& longs, std::uint32_t command = 1) {
        sendLong(command);
        sendLong(static_cast<std::uint32_t>(longs.size()));
        for (const std::uint32_t v : longs) sendLong(v);
    }
    // Clocks every 35 ms, as the host polls, until one is answered or the budget is spent.
    Bytes pollAnswer(Micros budget = 3000 * ms) {
        for (Micros spent = 0; spent < budget; spent += 35 * ms) {
            const Bytes got = send(clockByte, 35 * ms);
            if (!got.empty()) return got;
        }
        return {};
    }
    const SessionRecord& session() const { return *chip.current(); }
};

// The replies a good chip gives: the LFSR continued after the host's 250 bits, then the version.
Bytes expectedReplies(std::uint8_t version) {
    Bytes bytes;
    Lfsr lfsr;
    for (int i = 0; i < handshakeBits; ++i) lfsr.step();
    for (int i = 0; i < handshakeBits; ++i) bytes.push_back(lfsr.step() ? bitOne : bitZero);
    for (int i = 0; i < versionBits; ++i) bytes.push_back((version >> i) & 1 ? bitOne : bitZero);
    return bytes;
}

// A header-only image (four longs) as a compiler lays it out: pbase and vbase 0x0010.
Longs headerImage(std::uint8_t checksum, std::uint16_t dbase, std::uint16_t pbase = 0x0010) {
    return {0, (std::uint32_t{pbase} << 16) | (std::uint32_t{checksum} << 8), (std::uint32_t{dbase} << 16) | 0x0010,
            0};
}

TEST(ChipHandshake, AnswersTheSequenceContinuedThenTheVersionLeastSignificantBitFirst) {
    for (const std::uint8_t version : {std::uint8_t{1}, std::uint8_t{0}, std::uint8_t{0xA5}}) {
        ChipConfig config;
        config.version = version;
        Line line(config);
        line.handshake();
        EXPECT_EQ(line.replies, expectedReplies(version)) << int{version};
        EXPECT_EQ(line.session().handshake, Handshake::ok);
        EXPECT_EQ(line.session().state, ChipState::loading);
    }
    // The first replies as the protocol lists them: bits 0, 1, 0, 0, 0, 0, 1, 0.
    const Bytes replies = expectedReplies(1);
    EXPECT_EQ(Bytes(replies.begin(), replies.begin() + 8), (Bytes{0xFE, 0xFF, 0xFE, 0xFE, 0xFE, 0xFE, 0xFF, 0xFE}));
}

TEST(ChipHandshake, TakesHostBitsPackedDenselyAcrossBytes) {
    Line line;
    DenseEncoder dense;
    Lfsr lfsr;
    for (int i = 0; i < handshakeBits; ++i) dense.addBit(lfsr.step());
    dense.finish();
    const Bytes bits = dense.takeBytes();
    ASSERT_LT(bits.size(), 100u);  // really packed, not one bit a byte
    line.send(clockByte);
    line.send(bits);
    line.send(Bytes(handshakeBits + versionBits, clockByte));
    EXPECT_EQ(line.replies, expectedReplies(1));
}

TEST(ChipHandshake, GoesSilentForTheRestOfTheSessionAtAnyFault) {
    struct Case {
        const char* name;
        Handshake result;
        int repliesBefore;  // answered before the fault showed
        Bytes (*bytes)();
    };
    const Case cases[] = {
        {"calibration byte is not F9", Handshake::badCalibration, 0,
         [] {
             Bytes b = Line::hostBits();
             b.insert(b.begin(), 0xFE);
             return b;
         }},
        {"first host bit wrong", Handshake::mismatch, 0,
         [] {
             Bytes b = Line::hostBits();
             b[0] ^= 1;
             b.insert(b.begin(), clockByte);
             return b;
         }},
        {"last host bit wrong", Handshake::mismatch, 0,
         [] {
             Bytes b = Line::hostBits();
             b[249] ^= 1;
             b.insert(b.begin(), clockByte);
             return b;
         }},
        {"framing error among the host bits", Handshake::framingError, 0,
         [] {
             Bytes b = Line::hostBits();
             b[10] = 0x00;
             b.insert(b.begin(), clockByte);
             return b;
         }},
        {"pulses beyond the 250th bit", Handshake::misaligned, 0,
         [] {
             Bytes b = Line::hostBits();
             b.insert(b.begin(), clockByte);
             // The last byte carries the 250th bit and then a 1 where the first clock's edge belongs.
             b.back() = b.back() == bitOne ? 0x7F : 0xFA;
             return b;
         }},
        {"another byte where a clock is due", Handshake::misaligned, 3,
         [] {
             Bytes b = Line::hostBits();
             b.insert(b.begin(), clockByte);
             b.insert(b.end(), {clockByte, clockByte, clockByte, 0xFE});
             return b;
         }},
    };
    for (const Case& c : cases) {
        Line line;
        line.send(c.bytes());
        line.send(Bytes(handshakeBits + versionBits, clockByte));
        line.load(headerImage(0xDC, 0x0018));
        EXPECT_EQ(line.replies.size(), static_cast<std::size_t>(c.repliesBefore)) << c.name;
        EXPECT_EQ(line.session().handshake, c.result) << c.name;
        EXPECT_EQ(line.session().state, ChipState::eepromBoot) << c.name;
        EXPECT_FALSE(line.session().command) << c.name;
    }
}

TEST(ChipChecksum, SumsTheWholeRamWithTheStackMarkersAtDbase) {
    // Hand-computed: header bytes plus, when dbase-8 lies in RAM, FF FF F9 FF twice (2028).
    const struct {
        const char* name;
        Longs image;
        bool good;
    } table[] = {
        {"markers in zeroed RAM above the image", headerImage(0xDC, 0x0018), true},
        {"the same, were the markers left out", headerImage(0xC8, 0x0018), false},
        {"off by one", headerImage(0xDD, 0x0018), false},
        {"unaligned dbase: markers on long boundaries, over longs 2 and 3", headerImage(0x04, 0x0012), true},
        {"the same, were they written unaligned (bytes 8 and 9 kept)", headerImage(0xF4, 0x0012), false},
        {"dbase in ROM: markers change nothing", headerImage(0x58, 0x8008), true},
        {"dbase in ROM, were the markers counted", headerImage(0x6C, 0x8008), false},
        {"dbase 0: dbase-8 wraps into ROM", headerImage(0xE0, 0x0000), true},
        {"markers overwrite the image's own longs 2 and 3", headerImage(0x04, 0x0010), true},
        {"the same, were they added instead", headerImage(0xE4, 0x0010), false},
    };
    for (const auto& row : table) {
        EXPECT_EQ(ramChecksum(row.image) == 0, row.good) << row.name;
        Line line;
        line.handshake();
        line.load(row.image);
        EXPECT_EQ(line.pollAnswer(), Bytes{row.good ? bitZero : bitOne}) << row.name;
        EXPECT_EQ(line.session().state, row.good ? ChipState::running : ChipState::shutdown) << row.name;
    }
}

TEST(ChipVerdict, ComesOnTheSecondClockAfterTheComputation) {
    Line line;
    line.handshake();
    line.load(headerImage(0xDC, 0x0018));
    const Micros data = line.now;
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(line.send(clockByte, 33 * ms).empty()) << i;  // busy until 100 ms
    EXPECT_EQ(line.session().state, ChipState::computing);
    EXPECT_TRUE(line.send(clockByte, 2 * ms).empty());  // ready: this one only lines the reply up
    EXPECT_EQ(line.session().state, ChipState::acknowledging);
    EXPECT_EQ(line.send(clockByte, 30 * ms), Bytes{bitZero});
    EXPECT_EQ(line.now - data, 131 * ms);
    EXPECT_EQ(line.session().verdict, bitZero);
    // Running now: further clocks get nothing.
    EXPECT_TRUE(line.send(clockByte, 30 * ms).empty());
}

TEST(ChipTimeLimits, GiveUpSilentlyAfterTooLongAGap) {
    ChipConfig config;
    config.timing.resetSilence = 0;  // so that only the chip's own limits act
    {
        Line line(config);
        line.handshake();
        line.sendLong(1);
        line.sendLong(4);
        line.send(clockByte, 151 * ms);  // the first byte of the next long, too late
        line.load(headerImage(0xDC, 0x0018));
        EXPECT_TRUE(line.pollAnswer().empty());
        EXPECT_EQ(line.session().state, ChipState::eepromBoot);
    }
    {
        Line line(config);
        line.handshake();
        line.sendLong(1);
        line.sendLong(4, 149 * ms);
        for (const std::uint32_t v : headerImage(0xDC, 0x0018)) line.sendLong(v);
        EXPECT_EQ(line.pollAnswer(), Bytes{bitZero});
    }
    {
        // Ready at 100 ms, first clock at 100 + 151 ms.
        Line line(config);
        line.handshake();
        line.load(headerImage(0xDC, 0x0018));
        EXPECT_TRUE(line.send(clockByte, 251 * ms).empty());
        EXPECT_TRUE(line.send(clockByte, 30 * ms).empty());
        EXPECT_EQ(line.session().state, ChipState::eepromBoot);
    }
    {
        // The chip listens 250 ms for the handshake: here the clocks trickle in 1 ms apart.
        Line line(config);
        line.send(clockByte);
        line.send(Line::hostBits());
        for (int i = 0; i < handshakeBits + versionBits; ++i) line.send(clockByte, 1 * ms);
        // 24 ms of host bits, then a clock a millisecond: the 227th comes 251 ms after the first byte.
        EXPECT_EQ(line.replies.size(), 226u);
        EXPECT_EQ(line.session().handshake, Handshake::tooSlow);
    }
}

TEST(ChipSessions, StartAnewAfterTheResetSilence) {
    Line line;
    line.handshake();
    line.load(headerImage(0xDC, 0x0018));
    ASSERT_EQ(line.pollAnswer(), Bytes{bitZero});

    line.chip.idle(line.now + 59 * ms);
    EXPECT_TRUE(line.chip.takeEnded().empty());
    line.now += 59 * ms;
    line.send(clockByte);  // 59 ms + one frame: still the old session, which runs and ignores it
    EXPECT_EQ(line.chip.sessionsStarted(), 1);

    line.chip.idle(line.now + 60 * ms);
    const auto ended = line.chip.takeEnded();
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].state, ChipState::running);
    EXPECT_EQ(ended[0].longs, headerImage(0xDC, 0x0018));

    line.now += 60 * ms;
    line.replies.clear();
    line.handshake();
    EXPECT_EQ(line.chip.sessionsStarted(), 2);
    EXPECT_EQ(line.replies, expectedReplies(1));
}

TEST(ChipSessions, InTheMiddleOfALoadOnlyANewHandshakeIsAReset) {
    {
        // The host reading replies slowly: 100 ms before its command. Still the same session.
        Line line;
        line.handshake();
        line.chip.idle(line.now + 100 * ms);
        EXPECT_TRUE(line.chip.takeEnded().empty());
        line.sendLong(1, 100 * ms);
        line.sendLong(4);
        for (const std::uint32_t v : headerImage(0xDC, 0x0018)) line.sendLong(v);
        EXPECT_EQ(line.pollAnswer(), Bytes{bitZero});
        EXPECT_EQ(line.chip.sessionsStarted(), 1);
    }
    {
        // A reset after the handshake: 125 ms quiet, then a new handshake.
        Line line;
        line.handshake();
        line.now += 125 * ms;
        line.replies.clear();
        line.handshake();
        EXPECT_EQ(line.chip.sessionsStarted(), 2);
        EXPECT_EQ(line.replies, expectedReplies(1));
    }
    {
        // Nobody comes back: the session ends once the chip has given up.
        Line line;
        line.handshake();
        line.chip.idle(line.now + 150 * ms);
        EXPECT_TRUE(line.chip.takeEnded().empty());
        line.chip.idle(line.now + 151 * ms);
        const auto ended = line.chip.takeEnded();
        ASSERT_EQ(ended.size(), 1u);
        EXPECT_EQ(ended[0].state, ChipState::eepromBoot);
    }
}

TEST(ChipCommands, ShutDownOnZeroOrUnknownCommands) {
    for (const std::uint32_t command : {0u, 4u, 0xFFFFFFFFu}) {
        Line line;
        line.handshake();
        line.sendLong(command);
        line.load(headerImage(0xDC, 0x0018));  // ignored
        EXPECT_TRUE(line.pollAnswer().empty()) << command;
        EXPECT_EQ(line.session().state, ChipState::shutdown) << command;
        EXPECT_EQ(line.session().command, command);
    }
}

TEST(ChipCommands, ProgramTheEepromWithTwoMoreAcknowledgements) {
    for (const std::uint32_t command : {2u, 3u}) {
        ChipConfig config;
        config.timing.programTime = 500 * ms;
        config.timing.verifyTime = 200 * ms;
        Line line(config);
        line.handshake();
        line.load(headerImage(0xDC, 0x0018), command);
        EXPECT_EQ(line.pollAnswer(), Bytes{bitZero});
        const Micros acknowledged = line.now;
        EXPECT_EQ(line.pollAnswer(), Bytes{bitZero});
        EXPECT_GE(line.now - acknowledged, 500 * ms);
        EXPECT_LT(line.now - acknowledged, 540 * ms);
        EXPECT_EQ(line.session().state, ChipState::verifying);
        EXPECT_EQ(line.pollAnswer(), Bytes{bitZero});
        EXPECT_EQ(line.session().state, command == 3 ? ChipState::running : ChipState::shutdown);
        EXPECT_EQ(line.session().eepromAcks, 2);
    }
}

TEST(ChipCommands, RefuseWhatCannotRun) {
    {
        Line line;  // more longs than the RAM holds
        line.handshake();
        line.sendLong(1);
        line.sendLong(ramLongs + 1);
        EXPECT_EQ(line.session().state, ChipState::shutdown);
    }
    {
        // Checksum good, pbase not 0x0010: acknowledged, then no launch.
        Line line;
        Longs image = headerImage(0xDC, 0x0018, 0x0014);
        image[1] -= 4u << 8;  // keep the sum: 4 more in pbase, 4 less in the checksum byte
        line.handshake();
        line.load(image);
        EXPECT_EQ(line.pollAnswer(), Bytes{bitZero});
        EXPECT_EQ(line.session().state, ChipState::shutdown);
    }
}

TEST(ChipLoad, TakesLongsPackedDenselyAcrossByteBoundaries) {
    Longs image = headerImage(0xDC, 0x0018);
    const Longs stream = {1, 4, image[0], image[1], image[2], image[3]};
    Line line;
    line.handshake();
    line.send(encodeDense(stream));
    EXPECT_EQ(line.session().longs, image);
    EXPECT_EQ(line.pollAnswer(), Bytes{bitZero});
}

TEST(ChipLoad, StopsAtAFramingError) {
    Line line;
    line.handshake();
    line.sendLong(1);
    line.sendLong(4);
    line.send(0x00);
    EXPECT_EQ(line.session().state, ChipState::eepromBoot);
}

// Faults: each changes exactly what it names.
struct FaultCase {
    const char* name;
    void (*set)(ChipFaults&);
    Bytes (*handshakeReplies)();
    Bytes verdict;
};

class ChipFaultSwitch : public ::testing::TestWithParam<FaultCase> {};

TEST_P(ChipFaultSwitch, ChangeOnlyWhatTheyName) {
    ChipConfig config;
    GetParam().set(config.faults);
    Line line(config);
    line.handshake();
    EXPECT_EQ(line.replies, GetParam().handshakeReplies());
    line.load(headerImage(0xDC, 0x0018));
    EXPECT_EQ(line.pollAnswer(), GetParam().verdict);
    EXPECT_EQ(line.session().longs, headerImage(0xDC, 0x0018));  // what came is still taken in
}

INSTANTIATE_TEST_SUITE_P(
    Table, ChipFaultSwitch,
    ::testing::Values(
        FaultCase{"silent", [](ChipFaults& f) { f.silent = true; }, [] { return Bytes{}; }, Bytes{}},
        FaultCase{"wrongBit",
                  [](ChipFaults& f) { f.wrongBit = 7; },
                  [] {
                      Bytes b = expectedReplies(1);
                      b[7] ^= 1;
                      return b;
                  },
                  Bytes{bitZero}},
        FaultCase{"missingVersionBit",
                  [](ChipFaults& f) { f.missingVersionBit = true; },
                  [] {
                      Bytes b = expectedReplies(1);
                      b.pop_back();
                      return b;
                  },
                  Bytes{bitZero}},
        FaultCase{"stray",
                  [](ChipFaults& f) { f.strayBytes = 3; },
                  [] {
                      Bytes b = expectedReplies(1);
                      b.insert(b.begin(), 3, strayByte);
                      return b;
                  },
                  Bytes{bitZero}},
        FaultCase{"rejectChecksum", [](ChipFaults& f) { f.rejectChecksum = true; }, [] { return expectedReplies(1); },
                  Bytes{bitOne}},
        FaultCase{"noAcknowledge", [](ChipFaults& f) { f.noAcknowledge = true; }, [] { return expectedReplies(1); },
                  Bytes{}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(ChipCommands, EepromFailuresAnswerOneAtTheirStageAndShutDown) {
    struct Case {
        const char* name;
        void (*set)(ChipFaults&);
        Bytes answers;  // after the checksum verdict
        int acks;
    };
    for (const Case& c : {Case{"program", [](ChipFaults& f) { f.programFails = true; }, Bytes{bitOne}, 0},
                          Case{"verify", [](ChipFaults& f) { f.verifyFails = true; }, Bytes{bitZero, bitOne}, 1}}) {
        ChipConfig config;
        c.set(config.faults);
        config.timing.programTime = 50 * ms;
        config.timing.verifyTime = 50 * ms;
        Line line(config);
        line.handshake();
        line.load(headerImage(0xDC, 0x0018), 3);
        EXPECT_EQ(line.pollAnswer(), Bytes{bitZero}) << c.name;
        Bytes after;
        for (Bytes got = line.pollAnswer(); !got.empty(); got = line.pollAnswer()) after.insert(after.end(), got.begin(), got.end());
        EXPECT_EQ(after, c.answers) << c.name;
        EXPECT_EQ(line.session().state, ChipState::shutdown) << c.name;
        EXPECT_EQ(line.session().eepromAcks, c.acks) << c.name;
    }
}

TEST(ChipLoad, TimesTheLoadFromItsFirstByteToTheLastLong) {
    Line line;
    line.handshake();
    const Micros before = line.now;
    line.load(Longs(10, 0x12345678));
    const SessionRecord& s = line.session();
    ASSERT_TRUE(s.loadStart && s.loadEnd);
    EXPECT_EQ(*s.loadStart, before + frame);
    EXPECT_EQ(*s.loadEnd - *s.loadStart, (11 * 12 - 1) * frame);  // command, count, ten longs
    line.pollAnswer();
    EXPECT_EQ(*s.loadEnd, *line.session().loadEnd);  // clocks afterwards do not move it
}

TEST(ChipHangup, FallsDueHalfWayThroughTheHandshakeAndTheLoadAndAtTheVerdict) {
    Line line;
    const auto due = [&line](Hangup at) { return hangupDue(at, line.session()); };
    line.send(clockByte);
    const Bytes bits = Line::hostBits();
    for (std::size_t i = 0; i < bits.size(); ++i) {
        line.send(bits[i]);
        EXPECT_EQ(due(Hangup::handshake), i + 1 >= handshakeBits / 2 && i + 1 < handshakeBits) << i;
    }
    line.send(Bytes(handshakeBits + versionBits, clockByte));
    EXPECT_FALSE(due(Hangup::handshake));

    Longs longs(100, 0);
    longs[0] = 0;
    line.sendLong(1);
    line.sendLong(static_cast<std::uint32_t>(longs.size()));
    for (std::size_t i = 0; i < longs.size(); ++i) {
        EXPECT_EQ(due(Hangup::load), i >= 50) << i;
        EXPECT_FALSE(due(Hangup::acknowledgement));
        line.sendLong(longs[i]);
    }
    EXPECT_FALSE(due(Hangup::load));
    EXPECT_FALSE(due(Hangup::acknowledgement));  // still summing
    // Clocks as the host polls: those during the sum go unseen, the first after it lines the verdict up.
    int clocks = 0;
    while (!due(Hangup::acknowledgement) && clocks < 10) {
        line.send(clockByte, 35 * ms);
        ++clocks;
    }
    EXPECT_EQ(clocks, 3);
    EXPECT_EQ(line.session().state, ChipState::acknowledging);
    EXPECT_FALSE(due(Hangup::never));

    line.chip.unplug();
    EXPECT_EQ(line.chip.current(), nullptr);
    const auto ended = line.chip.takeEnded();
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].why, "unplugged while acknowledging");
    EXPECT_FALSE(ended[0].verdict.has_value());
}

TEST(ChipFaultSessions, HitOnlyTheFirstSessionsWhenLimited) {
    ChipConfig config;
    config.faults.silent = true;
    config.faultySessions = 1;
    Line line(config);
    line.handshake();
    EXPECT_TRUE(line.replies.empty());
    line.now += 200 * ms;
    line.handshake();
    EXPECT_EQ(line.chip.sessionsStarted(), 2);
    EXPECT_EQ(line.replies, expectedReplies(1));
    EXPECT_FALSE(line.session().faulty);
}

}  // namespace
}  // namespace kestrup::sim
