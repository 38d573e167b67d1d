// The simulated chip's boot loader, driven with invented times: handshake, load, verdict, EEPROM
// commands, time limits, sessions and faults. Expected values are the chip's, written out.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "chip_model.h"
#include "fakes.h"
#include "rom/dense_encoding.h"
#include "rom/loader_protocol.h"
#include "running_program.h"
#include "stage/second_stage.h"

namespace kestrup::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Longs = std::vector<std::uint32_t>;

constexpr Micros frame = 96;  // a byte at 115200 8N2, rounded up
constexpr Micros ms = 1000;

using test::lfsrBits;

Bytes hostBits() {
    Bytes bytes;
    for (int i = 0; i < handshakeBits; ++i)
        bytes.push_back(lfsrBits[static_cast<std::size_t>(i)] == '1' ? bitOne : bitZero);
    return bytes;
}

Bytes goodReplies(std::uint8_t version = 1) {
    Bytes bytes;
    for (int i = 0; i < handshakeBits; ++i)
        bytes.push_back(lfsrBits[(250u + static_cast<std::size_t>(i)) % 255] == '1' ? bitOne : bitZero);
    for (int i = 0; i < versionBits; ++i) bytes.push_back((version >> i) & 1 ? bitOne : bitZero);
    return bytes;
}

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
    void send(const Bytes& bytes, Micros firstAfter = frame) {
        for (std::size_t i = 0; i < bytes.size(); ++i) send(bytes[i], i == 0 ? firstAfter : frame);
    }
    void sendLong(std::uint32_t value, Micros firstAfter = frame) {
        const auto bytes = encodeLong(value);
        send(Bytes(bytes.begin(), bytes.end()), firstAfter);
    }
    void handshake(Micros firstAfter = frame) {
        send(clockByte, firstAfter);
        send(hostBits());
        send(Bytes(handshakeBits + versionBits, clockByte));
    }
    // Command, count and longs; `now` is then the time of the last long.
    void load(const Longs& longs, std::uint32_t command = 1) {
        sendLong(command);
        sendLong(static_cast<std::uint32_t>(longs.size()));
        for (const std::uint32_t v : longs) sendLong(v);
    }
    // Clocks `every` apart, as the host polls, until one is answered or the budget is spent.
    Bytes pollAnswer(Micros every = 35 * ms, Micros budget = 3000 * ms) {
        for (Micros spent = 0; spent < budget; spent += every) {
            const Bytes got = send(clockByte, every);
            if (!got.empty()) return got;
        }
        return {};
    }
    const SessionRecord& session() const { return *chip.current(); }
};

// A header-only image (four longs) as a compiler lays it out: pbase and vbase 0x0010.
Longs headerImage(std::uint8_t checksum, std::uint16_t dbase, std::uint16_t pbase = 0x0010) {
    return {0, (std::uint32_t{pbase} << 16) | (std::uint32_t{checksum} << 8), (std::uint32_t{dbase} << 16) | 0x0010, 0};
}
const Longs goodImage = headerImage(0xDC, 0x0018);

TEST(ChipHandshake, AnswersTheSequenceContinuedThenTheVersionLeastSignificantBitFirst) {
    for (const std::uint8_t version : {std::uint8_t{1}, std::uint8_t{0xA5}}) {
        ChipConfig config;
        config.version = version;
        Line line(config);
        line.handshake();
        EXPECT_EQ(line.replies, goodReplies(version)) << int{version};
        EXPECT_EQ(line.session().state, ChipState::loading);
    }
    const Bytes replies = goodReplies();
    EXPECT_EQ(Bytes(replies.begin(), replies.begin() + 8), (Bytes{0xFE, 0xFF, 0xFE, 0xFE, 0xFE, 0xFE, 0xFF, 0xFE}));

    // Host bits packed five a byte are bits all the same.
    Line dense;
    DenseEncoder encoder;
    for (const std::uint8_t bit : hostBits()) encoder.addBit(bit & 1);
    encoder.finish();
    const Bytes packed = encoder.takeBytes();
    ASSERT_LT(packed.size(), 100u);
    dense.send(clockByte);
    dense.send(packed);
    dense.send(Bytes(handshakeBits + versionBits, clockByte));
    EXPECT_EQ(dense.replies, goodReplies());
}

TEST(ChipHandshake, GoesSilentForTheRestOfTheSessionAtAnyFault) {
    const auto withClock = [](Bytes bits) {
        bits.insert(bits.begin(), clockByte);
        return bits;
    };
    Bytes badCalibration = hostBits(), firstWrong = hostBits(), lastWrong = hostBits(), framing = hostBits(),
          overlong = withClock(hostBits()), notAClock = withClock(hostBits());
    badCalibration.insert(badCalibration.begin(), 0xFE);
    firstWrong[0] ^= 1;
    lastWrong[249] ^= 1;
    framing[10] = 0x00;
    // The last byte carries the 250th bit and then a 1 where the first clock's edge belongs.
    overlong.back() = overlong.back() == bitOne ? 0x7F : 0xFA;
    notAClock.insert(notAClock.end(), {clockByte, clockByte, clockByte, 0xFE});
    const struct {
        const char* name;
        Bytes bytes;
        Handshake result;
        std::size_t repliesBefore;
    } cases[] = {
        {"calibration byte is not F9", badCalibration, Handshake::badCalibration, 0},
        {"first host bit wrong", withClock(firstWrong), Handshake::mismatch, 0},
        {"last host bit wrong", withClock(lastWrong), Handshake::mismatch, 0},
        {"framing error among the host bits", withClock(framing), Handshake::framingError, 0},
        {"pulses beyond the 250th bit", overlong, Handshake::misaligned, 0},
        {"another byte where a clock is due", notAClock, Handshake::misaligned, 3},
    };
    for (const auto& c : cases) {
        Line line;
        line.send(c.bytes);
        line.send(Bytes(handshakeBits + versionBits, clockByte));
        line.load(goodImage);
        EXPECT_EQ(line.replies.size(), c.repliesBefore) << c.name;
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
        {"markers in zeroed RAM above the image", goodImage, true},
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
    line.load(goodImage);
    const Micros data = line.now;
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(line.send(clockByte, 33 * ms).empty()) << i;  // busy until 100 ms
    EXPECT_EQ(line.session().state, ChipState::computing);
    EXPECT_TRUE(line.send(clockByte, 2 * ms).empty());  // ready: this one only lines the reply up
    EXPECT_EQ(line.session().state, ChipState::acknowledging);
    EXPECT_EQ(line.send(clockByte, 30 * ms), Bytes{bitZero});
    EXPECT_EQ(line.now - data, 131 * ms);
    EXPECT_TRUE(line.send(clockByte, 30 * ms).empty());  // running now: further clocks get nothing
}

// The chip's limit is 2 M of its clocks: 166.7 ms at 12 MHz. A host that stalls for less, at any
// point of a session, keeps it; the simulator may not be stricter than that.
TEST(ChipTimeLimits, AGapUpToTheChipsLimitKeepsTheSessionAnywhere) {
    const Micros stall = 166 * ms;
    Line line;
    line.send(clockByte);
    line.send(hostBits(), 100 * ms);  // within the 250 ms the chip listens after its reset
    line.send(Bytes(handshakeBits + versionBits, clockByte));
    line.sendLong(1, stall);
    line.sendLong(4, stall);
    for (const std::uint32_t v : goodImage) line.sendLong(v, stall);
    line.send(clockByte, 100 * ms + stall);  // the first clock after the sum
    EXPECT_EQ(line.send(clockByte, stall), Bytes{bitZero});
    EXPECT_EQ(line.chip.sessionsStarted(), 1);
    EXPECT_EQ(line.session().state, ChipState::running);

    ChipConfig eeprom;
    eeprom.timing.programTime = 500 * ms;
    Line slow(eeprom);
    slow.handshake();
    slow.load(goodImage, 2);
    EXPECT_EQ(slow.pollAnswer(stall), Bytes{bitZero});
    EXPECT_EQ(slow.pollAnswer(stall), Bytes{bitZero});
    EXPECT_EQ(slow.pollAnswer(stall), Bytes{bitZero});
    EXPECT_EQ(slow.session().eepromAcks, 2);
}

TEST(ChipTimeLimits, GiveUpSilentlyAfterALongerGap) {
    const Micros tooLong = 168 * ms;
    {
        Line line;
        line.handshake();
        line.sendLong(1);
        line.sendLong(4);
        line.sendLong(goodImage[0], tooLong);
        EXPECT_EQ(line.session().state, ChipState::eepromBoot);
        EXPECT_EQ(line.session().why, "no byte within 166 ms while loading");
        line.load(goodImage);
        EXPECT_TRUE(line.pollAnswer().empty());
    }
    for (const bool linedUp : {false, true}) {
        // The first clock after the 100 ms sum comes too late, or the next one after it. The late
        // clock itself then looks like the start of the next handshake.
        Line line;
        line.handshake();
        line.load(goodImage);
        if (linedUp) line.send(clockByte, 101 * ms);
        EXPECT_TRUE(line.send(clockByte, linedUp ? tooLong : 100 * ms + tooLong).empty());
        const auto ended = line.chip.takeEnded();
        ASSERT_EQ(ended.size(), 1u);
        EXPECT_EQ(ended[0].state, ChipState::eepromBoot);
        EXPECT_FALSE(ended[0].verdict);
    }
    {
        // The chip listens 250 ms for the handshake: here the clocks trickle in 1 ms apart.
        Line line;
        line.send(clockByte);
        line.send(hostBits());
        for (int i = 0; i < handshakeBits + versionBits; ++i) line.send(clockByte, 1 * ms);
        // 24 ms of host bits, then a clock a millisecond: the 227th comes 251 ms after the first byte.
        EXPECT_EQ(line.replies.size(), 226u);
        EXPECT_EQ(line.session().handshake, Handshake::tooSlow);
        EXPECT_EQ(line.session().why, "handshake not done within 250 ms of the reset");
    }
    {
        Line line;  // nobody comes back: idle time alone ends it
        line.handshake();
        line.chip.idle(line.now + 166 * ms);
        EXPECT_TRUE(line.chip.takeEnded().empty());
        line.chip.idle(line.now + 167 * ms);
        const auto ended = line.chip.takeEnded();
        ASSERT_EQ(ended.size(), 1u);
        EXPECT_EQ(ended[0].state, ChipState::eepromBoot);
    }
}

TEST(ChipSessions, ANewHandshakeAfterTheSessionEndedStartsTheNext) {
    // The session runs, shuts down or has given up; then the host resets the chip (a pty shows
    // only the quiet of the pulse) and opens a new handshake.
    const struct {
        const char* name;
        std::uint32_t command;
        Micros quiet;
    } ends[] = {{"running", 1, 60 * ms}, {"shutdown", 0, 60 * ms}, {"eeprom-boot", 1, 400 * ms}};
    for (const auto& c : ends) {
        Line line;
        line.handshake();
        if (c.quiet < 100 * ms) {
            line.load(goodImage, c.command);
            line.pollAnswer();
        }
        line.replies.clear();
        line.handshake(c.quiet);
        EXPECT_EQ(line.chip.sessionsStarted(), 2) << c.name;
        EXPECT_EQ(line.replies, goodReplies()) << c.name;
        const auto ended = line.chip.takeEnded();
        ASSERT_EQ(ended.size(), 1u) << c.name;
        EXPECT_EQ(stateName(ended[0].state), std::string(c.name));
    }
}

TEST(ChipSessions, BytesWithoutTheQuietOfAResetBelongToTheEndedSession) {
    Line line;
    line.send(Bytes{clockByte, 0xFF});  // a wrong first host bit: the chip has given up
    line.send(hostBits());
    line.send(Bytes(handshakeBits + versionBits, clockByte), 59 * ms);
    EXPECT_EQ(line.chip.sessionsStarted(), 1);
    EXPECT_EQ(line.session().bytesIn, 2u + handshakeBits + handshakeBits + versionBits);
    EXPECT_TRUE(line.replies.empty());

    // Once the quiet of a reset has passed the session is closed; then only a clock opens the next.
    line.chip.idle(line.now + 59 * ms);
    EXPECT_TRUE(line.chip.takeEnded().empty());
    line.chip.idle(line.now + 60 * ms);
    EXPECT_EQ(line.chip.takeEnded().size(), 1u);
    line.send(bitZero, 100 * ms);
    EXPECT_EQ(line.chip.current(), nullptr);
    line.handshake(100 * ms);
    EXPECT_EQ(line.chip.sessionsStarted(), 2);
    EXPECT_EQ(line.replies, goodReplies());
}

TEST(ChipSessions, LateClocksAfterTheVerdictAreNoSession) {
    Line line;
    line.handshake();
    line.load(goodImage);
    ASSERT_EQ(line.pollAnswer(), Bytes{bitZero});
    line.send(clockByte, 80 * ms);  // the host's last polls, late
    line.send(clockByte, 5 * ms);
    line.send(clockByte, 5 * ms);
    line.chip.idle(line.now + 400 * ms);
    EXPECT_EQ(line.chip.takeEnded().size(), 1u);
    EXPECT_EQ(line.chip.current(), nullptr);
    line.handshake(400 * ms);
    EXPECT_EQ(line.session().number, 2);
}

TEST(ChipSessions, TheResetLineStartsANewSessionAtOnce) {
    Line line;
    line.handshake();
    line.sendLong(1);
    line.chip.reset();
    EXPECT_EQ(line.chip.takeEnded().size(), 1u);
    line.replies.clear();
    line.handshake();
    EXPECT_EQ(line.replies, goodReplies());
    EXPECT_EQ(line.chip.sessionsStarted(), 2);
}

TEST(ChipCommands, ShutDownOnZeroOrUnknownCommandsAndRefuseWhatCannotRun) {
    for (const std::uint32_t command : {0u, 4u, 0xFFFFFFFFu}) {
        Line line;
        line.handshake();
        line.sendLong(command);
        line.load(goodImage);  // ignored
        EXPECT_TRUE(line.pollAnswer().empty()) << command;
        EXPECT_EQ(line.session().state, ChipState::shutdown) << command;
        EXPECT_EQ(line.session().command, command);
    }
    Line tooMany;
    tooMany.handshake();
    tooMany.sendLong(1);
    tooMany.sendLong(8193);
    EXPECT_EQ(tooMany.session().state, ChipState::shutdown);

    // Checksum good, pbase 0x0014: acknowledged, then no launch.
    Line wrongPbase;
    wrongPbase.handshake();
    wrongPbase.load(headerImage(0xD8, 0x0018, 0x0014));
    EXPECT_EQ(wrongPbase.pollAnswer(), Bytes{bitZero});
    EXPECT_EQ(wrongPbase.session().state, ChipState::shutdown);
}

TEST(ChipCommands, ProgramTheEepromWithTwoMoreAcknowledgementsOrFailAtTheirStage) {
    const struct {
        std::uint32_t command;
        void (*fault)(ChipFaults&);
        Bytes answers;  // after the checksum verdict
        ChipState state;
        int acks;
    } cases[] = {
        {2, [](ChipFaults&) {}, {bitZero, bitZero}, ChipState::shutdown, 2},
        {3, [](ChipFaults&) {}, {bitZero, bitZero}, ChipState::running, 2},
        {3, [](ChipFaults& f) { f.programFails = true; }, {bitOne}, ChipState::shutdown, 0},
        {3, [](ChipFaults& f) { f.verifyFails = true; }, {bitZero, bitOne}, ChipState::shutdown, 1},
    };
    for (const auto& c : cases) {
        ChipConfig config;
        c.fault(config.faults);
        config.timing.programTime = 500 * ms;
        config.timing.verifyTime = 200 * ms;
        Line line(config);
        line.handshake();
        line.load(goodImage, c.command);
        EXPECT_EQ(line.pollAnswer(), Bytes{bitZero});
        const Micros acknowledged = line.now;
        Bytes after;
        for (Bytes got = line.pollAnswer(); !got.empty(); got = line.pollAnswer())
            after.insert(after.end(), got.begin(), got.end());
        EXPECT_EQ(after, c.answers) << c.command;
        EXPECT_EQ(line.session().state, c.state) << c.command;
        EXPECT_EQ(line.session().eepromAcks, c.acks) << c.command;
        // Programmed once the first acknowledgement after the verdict is given: the checksum byte.
        EXPECT_EQ(line.chip.eeprom()[5], c.acks >= 1 ? 0xDC : 0xFF) << c.command;
        if (c.acks == 2) {
            EXPECT_GE(line.now - acknowledged, 700 * ms);
        }
    }
}

TEST(ChipLoad, TakesDenseLongsAndTimesTheLoadButStopsAtAFramingError) {
    Line line;
    line.handshake();
    const Micros before = line.now;
    line.send(encodeDense(Longs{1, 4, goodImage[0], goodImage[1], goodImage[2], goodImage[3]}));
    EXPECT_EQ(line.session().longs, goodImage);
    ASSERT_TRUE(line.session().loadStart && line.session().loadEnd);
    EXPECT_EQ(*line.session().loadStart, before + frame);
    EXPECT_EQ(line.pollAnswer(), Bytes{bitZero});

    Line fixed;
    fixed.handshake();
    fixed.load(Longs(10, 0x12345678));
    EXPECT_EQ(*fixed.session().loadEnd - *fixed.session().loadStart, (11 * 12 - 1) * frame);

    Line broken;
    broken.handshake();
    broken.sendLong(1);
    broken.send(0x00);
    EXPECT_EQ(broken.session().state, ChipState::eepromBoot);
}

// Faults: each changes exactly what it names.
TEST(ChipFaultSwitches, ChangeOnlyWhatTheyName) {
    Bytes wrongBit = goodReplies(), noVersionBit = goodReplies(), stray = goodReplies();
    wrongBit[7] ^= 1;
    noVersionBit.pop_back();
    stray.insert(stray.begin(), 3, strayByte);
    const struct {
        const char* name;
        void (*fault)(ChipFaults&);
        Bytes replies;
        Bytes verdict;
    } cases[] = {
        {"silent", [](ChipFaults& f) { f.silent = true; }, {}, {}},
        {"wrong bit", [](ChipFaults& f) { f.wrongBit = 7; }, wrongBit, {bitZero}},
        {"missing version bit", [](ChipFaults& f) { f.missingVersionBit = true; }, noVersionBit, {bitZero}},
        {"stray", [](ChipFaults& f) { f.strayBytes = 3; }, stray, {bitZero}},
        {"reject checksum", [](ChipFaults& f) { f.rejectChecksum = true; }, goodReplies(), {bitOne}},
        {"no acknowledgement", [](ChipFaults& f) { f.noAcknowledge = true; }, goodReplies(), {}},
    };
    for (const auto& c : cases) {
        ChipConfig config;
        c.fault(config.faults);
        config.faultySessions = 1;
        Line line(config);
        line.handshake();
        EXPECT_EQ(line.replies, c.replies) << c.name;
        line.load(goodImage);
        EXPECT_EQ(line.pollAnswer(), c.verdict) << c.name;
        EXPECT_EQ(line.session().longs, goodImage) << c.name;  // what came is still taken in
        // The second session is spared.
        line.chip.reset();
        line.replies.clear();
        line.handshake();
        EXPECT_EQ(line.replies, goodReplies()) << c.name;
        EXPECT_FALSE(line.session().faulty);
    }
}

// The ROM starts either build of Kestrup's second stage instead of running it; the stage model
// (sim_stage_test.cpp) then answers.
TEST(ChipStage, TheRomStartsTheStageWhichListensAfterItsStartAndYieldsToAReset) {
    // Sync, the hello's length byte, 'U' and its upper bytes, its CRC-32; the answer: 'H', packet 0,
    // W = 417 clocks, its check.
    const Bytes hello{0xF8, 0x55, 0x55, 0x5F, 0x7B, 0xF5, 0xAF, 0xEF, 0x6B, 0xBB};
    const Bytes helloAnswer{0x48, 0x00, 0xA1, 0x01, 0x00, 0x00, 0xF5, 0x3D};
    const auto stageLongs = [](LoadTarget target) {
        const auto bytes = secondStageImage(target);
        Longs longs(bytes.size() / 4);
        for (std::size_t i = 0; i < bytes.size(); ++i) longs[i / 4] |= std::uint32_t{bytes[i]} << (8 * (i % 4));
        return longs;
    };
    const struct {
        LoadTarget target;
        StageBuild build;
        bool silent;
    } cases[] = {{LoadTarget::ram, StageBuild::ram, false},
                 {LoadTarget::eepromRun, StageBuild::eeprom, false},
                 {LoadTarget::ram, StageBuild::ram, true}};
    for (const auto& c : cases) {
        ChipConfig config;
        config.faults.stageSilent = c.silent;
        config.faultySessions = 1;
        Line line(config);
        line.handshake();
        line.load(stageLongs(c.target));
        ASSERT_EQ(line.pollAnswer(), Bytes{bitZero});
        EXPECT_EQ(line.session().state, ChipState::stage);
        ASSERT_TRUE(line.session().stage);
        EXPECT_EQ(line.session().stage->build, std::optional(c.build));
        // 45 ms after the acknowledgement the stage listens; a hello before is lost.
        line.send(hello, 40 * ms);
        EXPECT_TRUE(line.chip.answersDue(line.now + 5 * ms).empty());
        // A late poll for the ROM's verdict, alone on the line, is neither a reset nor a sync,
        // however long the quiet before it.
        line.send(clockByte, 70 * ms);
        line.send(hello, 5 * ms);
        EXPECT_EQ(line.chip.sessionsStarted(), 1);
        EXPECT_EQ(line.chip.answersDue(line.now + 1 * ms), c.silent ? Bytes{} : helloAnswer);
        // The host gives up on it and resets: 25 ms of quiet before the handshake, enough here.
        line.replies.clear();
        line.handshake(25 * ms);
        EXPECT_EQ(line.replies, goodReplies());
        const auto ended = line.chip.takeEnded();
        ASSERT_EQ(ended.size(), 1u);
        EXPECT_EQ(ended[0].state, ChipState::stage);
    }
    // An image one byte off either build runs as any other.
    Longs longs = stageLongs(LoadTarget::ram);
    longs.back() ^= 0x0100'0000;
    Line line;
    line.handshake();
    line.load(longs);
    line.pollAnswer();
    EXPECT_NE(line.session().state, ChipState::stage);
}

TEST(ChipHangup, FallsDueHalfWayThroughTheHandshakeAndTheLoadAndAtTheVerdict) {
    Line line;
    const auto due = [&line](Hangup at) { return hangupDue(at, line.session()); };
    line.send(clockByte);
    const Bytes bits = hostBits();
    for (std::size_t i = 0; i < bits.size(); ++i) {
        line.send(bits[i]);
        EXPECT_EQ(due(Hangup::handshake), i + 1 >= 125 && i + 1 < 250) << i;
    }
    line.send(Bytes(handshakeBits + versionBits, clockByte));
    line.sendLong(1);
    line.sendLong(100);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(due(Hangup::load), i >= 50) << i;
        line.sendLong(0);
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
    EXPECT_FALSE(due(Hangup::never));

    line.chip.unplug();
    EXPECT_EQ(line.chip.current(), nullptr);
    const auto ended = line.chip.takeEnded();
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].why, "unplugged while acknowledging");
}

// A UART at one rate reading frames sent at another, worked out by hand bit-time by bit-time.
TEST(ChipProgram, ALineReadAtTheWrongRateGivesOtherBytesOrNone) {
    const Bytes hi = {'H', 'i'};
    EXPECT_EQ(misread(hi, 115200, 115200), hi);
    EXPECT_EQ(misread(hi, 115200, 112000), hi);  // 2.8 % apart: still within a frame's tolerance
    // 'a' at 115200 is over before a 9600 receiver's first sample: noise, no frame.
    EXPECT_EQ(misread(Bytes{'a'}, 115200, 9600), Bytes{});
    // 'A' at 9600: its long low bits read as eleven frames at 115200.
    EXPECT_EQ(misread(Bytes{'A'}, 9600, 115200),
              (Bytes{0x00, 0xFE, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFC, 0x00, 0xFE}));
}

TEST(ChipProgram, EchoRunsFromALoadUntilTheNextSessionAndGreetsOnceStarted) {
    Line line;
    RunningProgram echo(ProgramKind::echo, 115200);
    const auto step = [&](std::optional<std::uint8_t> byte, Micros at, int hostBaud = 115200) {
        return echo.step(line.chip, byte, at, hostBaud);
    };
    line.handshake();
    line.load(goodImage);
    EXPECT_EQ(step(std::nullopt, line.now), Bytes{});
    ASSERT_EQ(line.pollAnswer(), Bytes{bitZero});
    const Micros ran = line.now;
    EXPECT_EQ(step(clockByte, ran), Bytes{});
    EXPECT_EQ(step('x', ran + 49 * ms), Bytes{});  // still starting: lost
    const std::string greeting = "Hello from propsim\r\n";
    EXPECT_EQ(step(std::nullopt, ran + 50 * ms), Bytes(greeting.begin(), greeting.end()));
    EXPECT_EQ(step('x', ran + 51 * ms), Bytes{'x'});
    // The model closes the session after the quiet of a reset; the program runs on.
    line.chip.idle(ran + 200 * ms);
    ASSERT_EQ(line.chip.current(), nullptr);
    EXPECT_EQ(step('y', ran + 201 * ms), Bytes{'y'});
    EXPECT_NE(step('y', ran + 202 * ms, 9600), Bytes{'y'});  // a host at the wrong rate gets no clean echo
    // The host's reset and handshake for a new load: the program is gone.
    line.now = ran + 300 * ms;
    line.handshake(100 * ms);
    EXPECT_EQ(step(clockByte, line.now), Bytes{});
    EXPECT_EQ(step('z', line.now + 100 * ms), Bytes{});
}

}  // namespace
}  // namespace kestrup::sim
