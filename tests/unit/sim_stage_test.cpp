// The simulated second stage, driven with invented times and the host's own framing: syncs timed by
// the RC clock, messages checked and answered, the verdict, the EEPROM. Answers are written out as
// code and value, their check byte verified here.

#include "second_stage.h"
#include "stage_model.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kestrup::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Longs = std::vector<std::uint32_t>;

constexpr Micros ms = 1000;

Bytes bytesOf(const Longs& longs) {
    Bytes bytes;
    for (const std::uint32_t v : longs)
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    return bytes;
}

// A header-only image that sums right with its stack markers (dbase 0x0018), then longs whose four
// bytes sum to 0 mod 256, each different, so that a long out of place shows.
Longs image(std::size_t longs, std::uint8_t checksum = 0xDC, std::uint16_t pbase = 0x0010) {
    Longs out{0, std::uint32_t{pbase} << 16 | std::uint32_t{checksum} << 8, 0x0018'0010, 0};
    for (std::uint32_t i = 4; i < longs; ++i) {
        const std::uint32_t a = i & 0xFF, b = i >> 8;
        out.push_back(a | ((0x100 - a) & 0xFF) << 8 | b << 16 | ((0x100 - b) & 0xFF) << 24);
    }
    return out;
}

Bytes begin(std::uint32_t longs, std::uint8_t flags = 0) { return stage::frame({}, stage::beginTrailer(longs, flags)); }

Bytes packet(const Longs& longs, std::uint32_t k) {
    const Bytes all = bytesOf(longs);
    const std::size_t from = k * 1024;
    const auto data = std::span(all).subspan(from, std::min<std::size_t>(1024, all.size() - from));
    return stage::frame(data, stage::dataTrailer(k, static_cast<std::uint32_t>(longs.size())));
}

// The host's end of the line to a stage listening from the start; bytes go back to back at `baud`.
struct StageLine {
    explicit StageLine(StageBuild build = StageBuild::ram, ChipConfig chip = {}) : config(std::move(chip)) {
        eeprom.fill(0xFF);
        restart(build);
    }
    // Another start of the stage, on the same EEPROM.
    void restart(StageBuild build) {
        session = SessionRecord{};
        session.state = ChipState::stage;
        session.stage = StageRecord{build, 0, ""};
        stage.emplace(build, static_cast<Micros>(now), config.timing, config.faults, eeprom);
    }

    // The bytes after `pause` of quiet; the answers in the `window` after the last. The time is
    // then that of the last byte: the answers travel the other way.
    std::string send(const Bytes& bytes, double pause = 1 * ms, Micros window = 5 * ms) {
        now += pause;
        for (const std::uint8_t b : bytes) {
            now += 11e6 / baud;
            stage->receive(b, static_cast<Micros>(now), baud, session);
        }
        return answersBy(static_cast<Micros>(now) + window);
    }
    std::string await(Micros window) {
        now += static_cast<double>(window);
        return answersBy(static_cast<Micros>(now));
    }
    std::string answersBy(Micros time) {
        raw = stage->due(time, session);
        std::string text;
        for (std::size_t i = 0; i + 4 <= raw.size(); i += 4) {
            const std::uint8_t* a = &raw[i];
            if (!text.empty()) text += ' ';
            text += static_cast<char>(a[0]);
            text += a[3] == (a[0] ^ a[1] ^ a[2] ^ 0x5A) ? std::to_string(a[1] | a[2] << 8) : "?";
        }
        return text;
    }

    ChipConfig config;
    Ram eeprom{};
    SessionRecord session;
    std::optional<StageModel> stage;
    double now = 1 * ms;
    int baud = 115200;
    Bytes raw;  // the last answers' bytes
};

TEST(StageReceiver, TimesEachSyncByTheRcClockAndTakesNoneUnder15ClocksABit) {
    StageLine line;
    // Sync, 'H', its CRC-32: the hello written out. 4 bit times at 115200 baud of 12 MHz: 417.
    const Bytes hello{0xF8, 0x48, 0x00, 0x00, 0x00, 0xCE, 0xAF, 0xE4, 0x7F};
    EXPECT_EQ(line.send(hello), "H417");
    EXPECT_EQ(line.raw, (Bytes{0x48, 0xA1, 0x01, 0xB2}));
    line.baud = 921600;  // 13 clocks a bit
    EXPECT_EQ(line.send(hello), "");
    line.baud = 460800;  // 26
    EXPECT_EQ(line.send(hello), "H104");
    // A slower sync is taken at once; a faster one only after 2048 clocks (171 us) of idle line.
    line.baud = 115200;
    EXPECT_EQ(line.send(hello, 0), "H417");
    line.baud = 460800;
    EXPECT_EQ(line.send(hello, 100), "");
    EXPECT_EQ(line.send(hello, 200), "H104");
    // A message is its length: anything else in the trailer is refused, a broken check too.
    Bytes broken = hello;
    broken[6] ^= 0x01;
    EXPECT_EQ(line.send(broken), "N0");
    EXPECT_EQ(line.send(stage::frame({}, 'D')), "N0");
    EXPECT_EQ(line.session.stage->baud, 460800);
}

TEST(StageLoad, AnswersEachPacketAndStartsTheImageOnceChecked) {
    const Longs longs = image(300);
    StageLine line;
    line.baud = 460800;
    EXPECT_EQ(line.send(begin(3)), "b3");
    EXPECT_EQ(line.send(begin(0x1FFE)), "b8190");
    EXPECT_EQ(line.send(begin(300)), "B300");
    EXPECT_EQ(line.session.command, 1u);
    EXPECT_EQ(line.send(packet(longs, 0)), "A0");
    EXPECT_EQ(line.send(packet(longs, 1)), "A1");
    // The verdict after the zero-fill above the image: 7892 longs at 16 clocks, 10.5 ms.
    EXPECT_EQ(line.session.state, ChipState::stage);
    EXPECT_EQ(line.await(10 * ms), "");
    EXPECT_EQ(line.await(1 * ms), "L0");
    EXPECT_EQ(line.session.state, ChipState::running);
    EXPECT_EQ(line.session.longs, longs);
    EXPECT_EQ(line.session.ramSum, 0);
    EXPECT_EQ(line.session.stage->answers, "bbBAAL");
    // Nothing more is taken.
    EXPECT_EQ(line.send(packet(longs, 1)), "");
}

TEST(StageLoad, RefusesABadCheckOrAnotherPacketAndAnswersARepeatAgain) {
    const Longs longs = image(600);
    ChipConfig config;
    config.faults.damagedPacket = 2;
    StageLine line(StageBuild::ram, config);
    EXPECT_EQ(line.send(begin(600)), "B600");
    Bytes bad = packet(longs, 0);
    bad[100] ^= 0x10;
    EXPECT_EQ(line.send(bad), "N0");
    EXPECT_EQ(line.send(packet(longs, 1)), "N0");
    EXPECT_EQ(line.send(packet(longs, 0)), "A0");
    EXPECT_EQ(line.send(packet(longs, 0)), "A0");  // its answer was lost: answered again
    // A packet cut short: the host's filler completes it, and the rest of the filler, one bit time
    // low a byte, is too short to be a sync at the rate.
    const Bytes one = packet(longs, 1);
    EXPECT_EQ(line.send(Bytes(one.begin(), one.begin() + 500)), "");
    EXPECT_EQ(line.send(Bytes(1040, 0xFF), 0, 50 * ms), "N1");
    EXPECT_EQ(line.send(one), "A1");
    // The damaged packet: refused once, then taken.
    EXPECT_EQ(line.send(packet(longs, 2)), "N2");
    EXPECT_EQ(line.send(packet(longs, 2)), "A2");
    EXPECT_EQ(line.await(20 * ms), "L0");
    EXPECT_EQ(line.session.longs, longs);
}

TEST(StageVerdict, ShutsTheChipDownWhenTheSumOrPbaseIsWrong) {
    const struct {
        Longs longs;
        const char* answer;
        const char* why;
    } cases[] = {
        {image(4, 0xDD), "S1", "checksum rejected"},
        {image(4, 0xD8, 0x0014), "P20", "pbase is not 0x0010"},
    };
    for (const auto& c : cases) {
        StageLine line;
        EXPECT_EQ(line.send(begin(4)), "B4");
        EXPECT_EQ(line.send(packet(c.longs, 0), 1 * ms, 20 * ms), std::string("A0 ") + c.answer);
        EXPECT_EQ(line.session.state, ChipState::shutdown);
        EXPECT_EQ(line.session.why, c.why);
    }
}

TEST(StageEeprom, WritesThePagesThatDifferThenRunsOrShutsDown) {
    ChipConfig config;
    config.timing.programTime = 512 * ms;  // a millisecond a page, written or read
    config.timing.verifyTime = 512 * ms;
    const std::uint8_t run = 1 | 2 | 12 << 2, programOnly = 1 | 12 << 2;
    const Longs longs = image(4);
    const std::string allPages = "p64 p128 p192 p256 p320 p384 p448 p512";

    StageLine ram;
    EXPECT_EQ(ram.send(begin(4, run)), "b4");  // the RAM build has no EEPROM code

    StageLine line(StageBuild::eeprom, config);
    EXPECT_EQ(line.send(begin(4, run)), "B4");
    EXPECT_EQ(line.send(packet(longs, 0)), "A0");
    // Every page of the erased EEPROM differs: read, written, read back, 3 ms each.
    EXPECT_EQ(line.await(180 * ms), "");
    EXPECT_EQ(line.await(1400 * ms), allPages + " E512 L0");
    EXPECT_EQ(line.session.state, ChipState::running);
    EXPECT_EQ(line.session.command, 3u);
    EXPECT_EQ(Bytes(line.eeprom.begin(), line.eeprom.begin() + 24),
              (Bytes{0, 0, 0, 0, 0, 0xDC, 0x10, 0, 0x10, 0, 0x18, 0, 0, 0, 0, 0,  //
                     0xFF, 0xFF, 0xF9, 0xFF, 0xFF, 0xFF, 0xF9, 0xFF}));
    EXPECT_EQ(line.eeprom[0x7FFF], 0);

    // The same again, to program only: every page already reads right.
    line.restart(StageBuild::eeprom);
    EXPECT_EQ(line.send(begin(4, programOnly)), "B4");
    EXPECT_EQ(line.send(packet(longs, 0), 1 * ms, 600 * ms), "A0 " + allPages + " E0 X0");
    EXPECT_EQ(line.session.state, ChipState::shutdown);
    EXPECT_EQ(line.session.command, 2u);

    // A page the EEPROM does not take: the chip shuts down, the EEPROM as it was.
    ChipConfig faulty = config;
    faulty.faults.programFails = true;
    StageLine failing(StageBuild::eeprom, faulty);
    EXPECT_EQ(failing.send(begin(4, run)), "B4");
    EXPECT_EQ(failing.send(packet(longs, 0), 1 * ms, 100 * ms), "A0 e0");
    EXPECT_EQ(failing.session.why, "EEPROM not programmed");
    EXPECT_EQ(failing.eeprom[5], 0xFF);
}

}  // namespace
}  // namespace kestrup::sim
