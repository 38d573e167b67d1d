// The host side of the second stage against a scripted stage behind the fake port, on the virtual
// clock. The stage's own timing is proven on the chip's logic (tests/e2e/test_rig_stage.py).

#include "fakes.h"
#include "second_stage.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace kestrup {
namespace {

using test::FakePort;
using test::VirtualClock;

std::vector<std::uint8_t> bytesOf(std::initializer_list<int> list) {
    std::vector<std::uint8_t> out;
    for (const int b : list) out.push_back(static_cast<std::uint8_t>(b));
    return out;
}

class Lines final : public StatusSink {
public:
    void statusLine(std::string_view message) override { lines.emplace_back(message); }
    std::vector<std::string> lines;
};

// The stage as the host sees it: each write is one message (or filler, which it ignores), answered
// at once. Its CRC is not checked here: the literal messages below pin it.
struct ScriptedStage {
    std::int64_t chipHz = 12000000;
    bool silent = false;
    int nakOnce = -1;         // this packet is answered 'N' the first time
    int failAbove = 0;        // packets at rates above this are answered 'N'
    bool lateContactAnswer = false;  // a contact hello's answer comes in before the first probe's
    bool lateProbeAnswer = false;    // the first probe's answer comes in only before the next one's
    std::optional<int> heldWidth;
    std::map<int, int> madeAs;       // the rate the adapter makes when asked for another
    std::string verdicts = "L";  // the answers after the last packet's 'A'
    std::uint32_t longs = 0;
    std::vector<int> packetsSeen;

    void attach(FakePort& port) {
        port.onWrite = [this, &port](std::span<const std::uint8_t> bytes) { onMessage(port, bytes); };
    }

    static void answer(FakePort& port, char code, int value) {
        const auto lo = static_cast<std::uint8_t>(value), hi = static_cast<std::uint8_t>(value >> 8);
        port.queueReply({static_cast<std::uint8_t>(code), lo, hi, static_cast<std::uint8_t>(code ^ lo ^ hi ^ 0x5A)});
    }

    void onMessage(FakePort& port, std::span<const std::uint8_t> bytes) {
        if (silent || bytes.size() < 9 || bytes[0] != 0xF8) return;
        const std::size_t t = bytes.size() - 8;
        const std::uint32_t trailer = bytes[t] | bytes[t + 1] << 8 | bytes[t + 2] << 16 | std::uint32_t{bytes[t + 3]} << 24;
        const int asked = port.bauds.empty() ? 115200 : port.bauds.back();
        const int baud = madeAs.count(asked) ? madeAs.at(asked) : asked;
        switch (trailer & 0xFF) {
        case 'H':
            if (lateContactAnswer && baud != 115200) {
                lateContactAnswer = false;
                answer(port, 'H', static_cast<int>(4 * chipHz / 115200));
            }
            if (heldWidth) answer(port, 'H', *std::exchange(heldWidth, std::nullopt));
            if (lateProbeAnswer && baud != 115200) {
                lateProbeAnswer = false;
                heldWidth = static_cast<int>(4 * chipHz / baud);
                break;
            }
            answer(port, 'H', static_cast<int>(4 * chipHz / baud));
            break;
        case 'B':
            longs = trailer >> 16;
            answer(port, 'B', static_cast<int>(longs));
            break;
        case 'D': {
            const int k = static_cast<int>((trailer >> 8) & 0xFF);
            packetsSeen.push_back(k);
            if (k == nakOnce || (failAbove != 0 && baud > failAbove)) {
                if (k == nakOnce) nakOnce = -1;
                answer(port, 'N', k);
                break;
            }
            answer(port, 'A', k);
            if (static_cast<std::uint32_t>(k + 1) * 256 >= longs)
                for (const char code : verdicts) answer(port, code, 0);
            break;
        }
        }
    }
};

// A valid header and nothing else: vbase 16, four longs.
const std::vector<std::uint8_t> tinyImage =
    bytesOf({0x00, 0x1B, 0xB7, 0x00, 0x00, 0x00, 0x10, 0x00, 0x10, 0x00, 0x18, 0x00, 0x18, 0x00, 0x1C, 0x00});

// vbase bytes of counting data, the header's vbase set.
std::vector<std::uint8_t> imageOf(std::size_t bytes) {
    std::vector<std::uint8_t> image(bytes);
    for (std::size_t i = 0; i < bytes; ++i) image[i] = static_cast<std::uint8_t>(i * 7);
    image[8] = static_cast<std::uint8_t>(bytes);
    image[9] = static_cast<std::uint8_t>(bytes >> 8);
    return image;
}

struct StageFixture : ::testing::Test {
    FakePort port;
    VirtualClock clock;
    Lines status;
    ScriptedStage chip;
    SecondStage stage{port, clock, status};

    void SetUp() override { chip.attach(port); }
};

TEST(SecondStageWire, Crc32IsIeee) {
    const auto text = bytesOf({'1', '2', '3', '4', '5', '6', '7', '8', '9'});
    EXPECT_EQ(stage::crc32(text), 0xCBF43926u);
}

TEST(SecondStageWire, AnswersAreTakenInOrderPastNoiseAndAPartOneWaits) {
    std::vector<std::uint8_t> received =
        bytesOf({0x00, 'A', 0x03, 0x00, 'A' ^ 0x03 ^ 0x5A, 'A', 0x04, 0x00, 0x00, 'L', 0x00, 0x00, 'L' ^ 0x5A, 'N', 0x01});
    const auto answers = stage::takeAnswers(received);
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0].code, 'A');
    EXPECT_EQ(answers[0].value, 3);
    EXPECT_EQ(answers[1].code, 'L');
    EXPECT_EQ(received, bytesOf({'N', 0x01}));
}

TEST_F(StageFixture, HappyPathSendsHelloRateBeginAndPacketAsWritten) {
    const StageReport report = stage.load(tinyImage, LoadTarget::ram);
    EXPECT_EQ(report.outcome, StageOutcome::loaded);
    EXPECT_EQ(report.chipHz, 11980800);  // the width 416 at 115200 baud
    EXPECT_EQ(report.baud, 748800);      // the chip's own fastest, 16 clocks a bit
    EXPECT_EQ(report.resends, 0);
    EXPECT_EQ(port.bauds, std::vector<int>{748800});
    const auto hello = bytesOf({0xF8, 0x48, 0x00, 0x00, 0x00, 0xCE, 0xAF, 0xE4, 0x7F});
    const auto begin = bytesOf({0xF8, 0x42, 0x30, 0x04, 0x00, 0x3E, 0x6F, 0x5E, 0x50});  // RAM, 12 MHz, 4 longs
    const auto data = bytesOf({0xF8, 0x00, 0x1B, 0xB7, 0x00, 0x00, 0x00, 0x10, 0x00, 0x10, 0x00, 0x18, 0x00,
                               0x18, 0x00, 0x1C, 0x00, 0x44, 0x00, 0x04, 0x00, 0xFA, 0xC1, 0x43, 0x7F});
    EXPECT_EQ(port.writes, (std::vector<std::vector<std::uint8_t>>{hello, hello, begin, data}));
    EXPECT_EQ(status.lines, std::vector<std::string>{"Second stage: chip at 12.0 MHz, 748800 baud"});
}

// Where the chip's own fastest rate cannot be had, the ladder's next one below it.
TEST_F(StageFixture, TheChipsOwnRateGivesWayToTheLadder) {
    struct Case {
        std::int64_t chipHz;
        std::vector<int> refused;
        std::map<int, int> madeAs;
        std::vector<int> bauds;
    };
    const Case cases[] = {
        {8000000, {}, {}, {498600}},  // the width 277 at 115200 baud: 7977600 Hz
        {8000000, {498600}, {}, {460800}},  // the driver refuses it
        // The adapter keeps the rate before it (as the chip-logic rig does): the width tells.
        {12000000, {}, {{748800, 115200}}, {748800, 460800}},
        {20000000, {}, {}, {921600}},  // the ladder's top is as fast as it goes
        {6000000, {}, {}, {374400}},   // below the ladder's 460800
    };
    for (const Case& c : cases) {
        chip = ScriptedStage{};
        chip.chipHz = c.chipHz;
        chip.madeAs = c.madeAs;
        chip.attach(port);
        port.bauds.clear();
        port.refusedBauds = c.refused;
        EXPECT_EQ(stage.load(tinyImage, LoadTarget::ram).outcome, StageOutcome::loaded) << c.chipHz;
        EXPECT_EQ(port.bauds, c.bauds) << c.chipHz;
    }
}

TEST_F(StageFixture, ADamagedPacketCostsOneResend) {
    chip.nakOnce = 1;
    const StageReport report = stage.load(imageOf(3000), LoadTarget::ram);
    EXPECT_EQ(report.outcome, StageOutcome::loaded);
    EXPECT_EQ(report.resends, 1);
    EXPECT_EQ(chip.packetsSeen, (std::vector<int>{0, 1, 1, 2}));
    EXPECT_EQ(port.bauds, std::vector<int>{748800});
}

TEST_F(StageFixture, PacketsFailingTwiceStepTheRestDownOneRate) {
    chip.chipHz = 20000000;
    chip.failAbove = 460800;
    const StageReport report = stage.load(imageOf(3000), LoadTarget::ram);
    EXPECT_EQ(report.outcome, StageOutcome::loaded);
    EXPECT_EQ(report.baud, 460800);
    EXPECT_EQ(report.resends, 2);
    EXPECT_EQ(port.bauds, (std::vector<int>{921600, 460800}));
    EXPECT_EQ(chip.packetsSeen, (std::vector<int>{0, 0, 0, 1, 2}));
    EXPECT_EQ(status.lines.back(), "Second stage: down to 460800 baud");
}

TEST_F(StageFixture, LateAnswersToEarlierHellosAreNoRefusalOfTheRateProbed) {
    chip.lateContactAnswer = true;
    EXPECT_EQ(stage.load(tinyImage, LoadTarget::ram).outcome, StageOutcome::loaded);
    EXPECT_EQ(port.bauds, std::vector<int>{748800});
    // The first probe unanswered in its window, its answer ahead of the next probe's.
    chip = ScriptedStage{};
    chip.lateProbeAnswer = true;
    chip.attach(port);
    port.bauds.clear();
    EXPECT_EQ(stage.load(tinyImage, LoadTarget::ram).outcome, StageOutcome::loaded);
    EXPECT_EQ(port.bauds, (std::vector<int>{748800, 460800}));
}

TEST_F(StageFixture, ASilentStageIsReportedWithinHalfASecond) {
    chip.silent = true;
    const StageReport report = stage.load(tinyImage, LoadTarget::ram);
    EXPECT_EQ(report.outcome, StageOutcome::noAnswer);
    EXPECT_LE(clock.nowMs, 500);
    EXPECT_TRUE(port.bauds.empty());
    EXPECT_EQ(status.lines, std::vector<std::string>{"Second stage: no answer"});
}

TEST_F(StageFixture, TheStagesVerdictOnTheImageIsPassedOn) {
    chip.verdicts = "S";
    EXPECT_EQ(stage.load(tinyImage, LoadTarget::ram).outcome, StageOutcome::refused);
    EXPECT_EQ(status.lines.back(), "Second stage: checksum error");
}

// The answers after the image, told in the words the ROM's load uses for the same steps.
TEST_F(StageFixture, TheVerdictsAreToldAsTheRomTellsThem) {
    using Told = std::vector<std::string>;
    struct Case {
        LoadTarget target;
        std::string verdicts;
        StageOutcome outcome;
        Told told;
    };
    const Case cases[] = {
        {LoadTarget::ram, "L", StageOutcome::loaded, {"..OK -> RUN"}},
        {LoadTarget::ram, "S", StageOutcome::refused, {"CheckSum Error"}},
        {LoadTarget::ram, "", StageOutcome::failed, {"Time Out", "CheckSum Error"}},
        // The ROM acknowledges an image with a wrong pbase as well, then shuts the chip down.
        {LoadTarget::ram, "P", StageOutcome::refused, {"..OK -> RUN"}},
        {LoadTarget::eepromRun, "pEL", StageOutcome::loaded,
         {"..OK", "Programming EEPROM ..", "Verifying EEPROM ..", "..EEPROM OK -> RUN"}},
        {LoadTarget::eepromShutdown, "EX", StageOutcome::loaded,
         {"..OK", "Programming EEPROM ..", "Verifying EEPROM ..", "..EEPROM OK -> SHUTDOWN"}},
        {LoadTarget::eepromRun, "pe", StageOutcome::eepromFailed,
         {"..OK", "Programming EEPROM ..", "EEPROM programming failed"}},
        {LoadTarget::eepromRun, "v", StageOutcome::eepromFailed,
         {"..OK", "Programming EEPROM ..", "Verifying EEPROM ..", "EEPROM verify failed"}},
        {LoadTarget::eepromRun, "p", StageOutcome::failed,
         {"..OK", "Programming EEPROM ..", "Time Out", "EEPROM programming failed"}},
        {LoadTarget::eepromRun, "S", StageOutcome::refused, {"CheckSum Error"}},
    };
    for (const Case& c : cases) {
        chip = ScriptedStage{};
        chip.attach(port);
        chip.verdicts = c.verdicts;
        test::RecordingConsole console;
        LoadLines lines(console);
        StageReport report = stage.send(tinyImage, c.target);
        ASSERT_EQ(report.outcome, StageOutcome::sent) << c.verdicts;
        EXPECT_EQ(stage.judge(report, c.target, &lines), c.outcome) << c.verdicts;
        EXPECT_EQ(console.lines, c.told) << c.verdicts;
    }
}

TEST_F(StageFixture, AnImageReachingTheStagesMailboxIsLeftToTheRom) {
    EXPECT_EQ(stage.load(imageOf(0x7FF8), LoadTarget::ram).outcome, StageOutcome::refused);
    EXPECT_TRUE(port.writes.empty());
}

}  // namespace
}  // namespace kestrup
