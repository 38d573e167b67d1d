// The host side of the second stage against a scripted stage behind the fake port, on the virtual
// clock. The stage's own timing is proven on the chip's logic (tests/e2e/test_rig_stage.py).

#include "stage/second_stage.h"

#include <gtest/gtest.h>

#include "fakes.h"
#include "stage_script.h"

namespace kestrup {
namespace {

using test::FakePort;
using test::ScriptedStage;
using test::VirtualClock;
using Lines = std::vector<std::string>;

class Status final : public StatusSink {
public:
    void statusLine(std::string_view message) override { lines.emplace_back(message); }
    Lines lines;
};

// Counting data, its vbase and dbase set, pbase as given: three packets, the last a short one.
std::vector<std::uint32_t> imageOf(std::size_t longs, std::uint16_t pbase = 0x0010) {
    std::vector<std::uint32_t> image(longs);
    for (std::size_t i = 0; i < longs; ++i) image[i] = static_cast<std::uint32_t>(i * 0x01010101u * 7);
    image[1] = std::uint32_t{pbase} << 16;
    image[2] = static_cast<std::uint32_t>(longs * 4) | static_cast<std::uint32_t>(longs * 4 + 8) << 16;
    return image;
}

struct StageFixture : ::testing::Test {
    FakePort port;
    VirtualClock clock;
    Status status;
    ScriptedStage chip;
    SecondStage stage{clock, status};
    std::vector<std::uint32_t> longs = imageOf(600);
    static constexpr int imageBaud = 9600;

    void SetUp() override {
        chip.attach(port);
        stage.setImageBaud(imageBaud);
    }
    // Each load on a line of its own, which finds the port at the stage's contact rate.
    LoaderLine line() { return LoaderLine(port, clock, stage::contactBaud); }
    StageReport load(LoadTarget target = LoadTarget::ram, StageContact contact = {}) {
        const auto image = std::get<StageImage>(StageImage::of(CheckedImage::of(longs, longs.size() * 4)));
        auto on = line();
        return stage.load(on, image, target, contact);
    }
};

TEST(SecondStageWire, CrcIsIeeeAndAnswersAreTakenPastDamageWithAPartLeft) {
    const std::string text = "123456789";
    EXPECT_EQ(stage::crc32({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}), 0xCBF43926u);
    const auto a = stage::encode({'A', 3, 0x01020304});
    auto damaged = stage::encode({'V', 0, 7});
    damaged[4] ^= 1;
    // Noise, a damaged answer, a whole one, and the start of the next.
    std::vector<std::uint8_t> received(1 + 2 * stage::answerBytes + 5);
    std::copy(damaged.begin(), damaged.end(), received.begin() + 1);
    std::copy(a.begin(), a.end(), received.begin() + 1 + stage::answerBytes);
    std::copy(a.begin(), a.begin() + 5, received.begin() + 1 + 2 * stage::answerBytes);
    const auto answers = stage::takeAnswers(received);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].code, 'A');
    EXPECT_EQ(answers[0].packet, 3);
    EXPECT_EQ(answers[0].value, 0x01020304u);
    EXPECT_EQ(received.size(), 5u);
}

// The RAM build's receiver takes 12 clocks a bit; the EEPROM build's times bits by the clock, at
// 15.25 or more: adapter rates both (24 MHz / 24 and / 31).
TEST_F(StageFixture, TheImageGoesAtTheChipsOwnRateAndTheGoSetsTheImagesRate) {
    const StageReport report = load();
    EXPECT_EQ(report.outcome, StageOutcome::loaded);
    EXPECT_EQ(report.baud, 1'000'000);
    EXPECT_EQ(port.bauds, (std::vector<int>{1'000'000, imageBaud}));
    EXPECT_EQ(port.stopBitsSet, (std::vector<int>{1, 2}));
    EXPECT_EQ(chip.packets, (std::vector<int>{0, 1, 2}));
    ASSERT_TRUE(chip.goDelay);
    EXPECT_NEAR(*chip.goDelay * 256.0 / static_cast<double>(chip.chipHz), stage::goDelayHeardSeconds, 0.0005);
    EXPECT_EQ(status.lines, Lines{"Second stage: chip at 12.0 MHz, 1000000 baud"});

    chip = ScriptedStage{};
    chip.verdicts = "EV";
    chip.fastReceiver = false;
    chip.attach(port);
    port.bauds.clear();
    port.stopBitsSet.clear();
    EXPECT_EQ(load(LoadTarget::eepromRun).baud, 774194);
    EXPECT_EQ(port.stopBitsSet, std::vector<int>{});
}

// Any one answer lost, or both answers of the two packets on the line, costs at most a query: no
// packet is sent again, nor the image given up.
TEST_F(StageFixture, LostAnswersAreAskedForAgain) {
    for (const std::multiset<std::string>& lost : std::vector<std::multiset<std::string>>{
             {"R0"}, {"B0"}, {"A1"}, {"A2"}, {"V0"}, {"G0"}, {"A0", "A1"}, {"V0", "V0"}}) {
        chip = ScriptedStage{};
        chip.lose = lost;
        chip.attach(port);
        port.bauds.clear();
        EXPECT_EQ(load().outcome, StageOutcome::loaded) << *lost.begin();
        EXPECT_EQ(chip.packets, (std::vector<int>{0, 1, 2})) << *lost.begin();
        EXPECT_EQ(port.bauds.back(), imageBaud) << *lost.begin();
        EXPECT_TRUE(chip.lose.empty()) << *lost.begin();
    }
    // A stage the bootstrap has just started, whose clock its hello gave: the rate message goes
    // behind the first hello. Either answer lost costs that message once more, never the load.
    for (const std::string lost : {"", "H0", "R0"}) {
        chip = ScriptedStage{};
        if (!lost.empty()) chip.lose = {lost};
        chip.attach(port);
        port.bauds.clear();
        EXPECT_EQ(load(LoadTarget::ram, {stage::contactBaud, true, std::nullopt, 12'000'000}).outcome,
                  StageOutcome::loaded)
            << lost;
        EXPECT_EQ(std::count(chip.messages.begin(), chip.messages.end(), stage::message::rate), lost.empty() ? 1 : 2)
            << lost << ": " << chip.messages;
        EXPECT_TRUE(chip.lose.empty()) << lost;
    }
}

TEST_F(StageFixture, ADamagedLengthIsFilledOutBeforeThePacketGoesAgain) {
    chip.badLength = 1;
    const StageReport report = load();
    EXPECT_EQ(report.outcome, StageOutcome::loaded);
    EXPECT_EQ(report.resends, 1);
    // Packet 2, on the line behind it, went into the damaged count: both go again.
    EXPECT_EQ(chip.packets, (std::vector<int>{0, 1, 1, 2}));
    EXPECT_EQ(chip.swallowed, 1);
}

// Wine makes 38400 baud when asked for 1,000,000: the stage heard the begin there and answered, unread.
// Its floor asked for at the rate made, the query at the contact's rate finds the stage begun, as
// after a lost answer: the rate once more, then the next one.
TEST_F(StageFixture, AnAdapterMakingAnotherRateGivesWayToTheNext) {
    chip.madeAs = {{1'000'000, 38400}};
    EXPECT_EQ(load().outcome, StageOutcome::loaded);
    EXPECT_EQ(port.bauds, (std::vector<int>{1'000'000, 115200, 1'000'000, 115200, 774194, imageBaud}));
    EXPECT_EQ(port.stopBitsSet, (std::vector<int>{1, 2, 1, 2}));  // the step down leaves 12 clocks a bit
    EXPECT_LE(clock.nowMs, 300);

    // A 20 MHz chip's own rate (1,263,158 baud) lies above the ladder; an adapter that tops out at
    // 921600 makes that instead, and the host goes on there.
    chip = ScriptedStage{};
    chip.chipHz = 20'000'000;
    chip.madeAs = {{1'263'158, 921600}};
    chip.attach(port);
    port.bauds.clear();
    const StageReport report = load();
    EXPECT_EQ(report.outcome, StageOutcome::loaded);
    EXPECT_EQ(report.baud, 921600);
    EXPECT_EQ(port.bauds, (std::vector<int>{1'263'158, 115200, 1'263'158, 115200, 921600, imageBaud}));
}

// Through an FTDI adapter the rate asked is the rate made, and the stage hears the first one, at
// every RC clock: a rate between the adapter's (1,666,667 baud for 20 MHz, made as 1.5 Mbaud) would
// be heard by neither receiver.
TEST_F(StageFixture, ThroughAnFtdiAdapterTheFirstRateAskedIsMadeAndHeard) {
    for (std::int64_t hz = 8'000'000; hz <= 20'000'000; hz += 250'000) {
        chip = ScriptedStage{};
        chip.chipHz = hz;
        chip.ftdi = true;
        chip.attach(port);
        port.bauds.clear();
        status.lines.clear();
        const StageReport report = load();
        EXPECT_EQ(report.outcome, StageOutcome::loaded) << hz;
        ASSERT_EQ(port.bauds.size(), 2u) << hz;
        EXPECT_NEAR(adapter::made(port.bauds[0]), port.bauds[0], 0.5) << hz;
        EXPECT_EQ(report.baud, port.bauds[0]) << hz;
        EXPECT_EQ(status.lines.size(), 1u) << hz << ": " << status.lines.back();
    }
}

TEST_F(StageFixture, ASilentStageIsReportedWithinHalfASecond) {
    port.onWrite = nullptr;
    EXPECT_EQ(load().outcome, StageOutcome::noAnswer);
    EXPECT_LE(clock.nowMs, 500);
    EXPECT_EQ(status.lines, Lines{"Second stage: no answer"});
}

// The answers after the image, told in the words the ROM's load uses for the same steps; after any
// of them the stage is told to go, and only an image that starts gets the image's rate.
TEST_F(StageFixture, TheVerdictsAreToldAsTheRomTellsThem) {
    struct Case {
        LoadTarget target;
        std::string verdicts;
        std::uint32_t crcError;
        StageOutcome outcome;
        Lines told;
    };
    const Case cases[] = {
        {LoadTarget::ram, "V", 0, StageOutcome::loaded, {"..OK -> RUN"}},
        {LoadTarget::ram, "V", 4, StageOutcome::mismatch, {"CheckSum Error"}},
        {LoadTarget::ram, "S", 0, StageOutcome::checksumError, {"CheckSum Error"}},
        // The ROM acknowledges an image with a wrong pbase as well, then shuts the chip down.
        {LoadTarget::ram, "P", 0, StageOutcome::notStarted, {"..OK -> RUN"}},
        {LoadTarget::eepromRun,
         "pEV",
         0,
         StageOutcome::loaded,
         {"..OK", "Programming EEPROM ..", "Verifying EEPROM ..", "..EEPROM OK -> RUN"}},
        {LoadTarget::eepromShutdown,
         "EV",
         0,
         StageOutcome::loaded,
         {"..OK", "Programming EEPROM ..", "Verifying EEPROM ..", "..EEPROM OK -> SHUTDOWN"}},
        {LoadTarget::eepromRun,
         "pe",
         0,
         StageOutcome::eepromFailed,
         {"..OK", "Programming EEPROM ..", "EEPROM programming failed"}},
        {LoadTarget::eepromRun,
         "v",
         0,
         StageOutcome::eepromFailed,
         {"..OK", "Programming EEPROM ..", "Verifying EEPROM ..", "EEPROM verify failed"}},
    };
    for (const Case& c : cases) {
        chip = ScriptedStage{};
        chip.attach(port);
        chip.verdicts = c.verdicts;
        chip.crcError = c.crcError;
        port.bauds.clear();
        status.lines.clear();
        test::RecordingConsole console;
        LoadTeller steps(console, clock);
        longs = imageOf(600, c.verdicts == "P" ? 0x0014 : 0x0010);
        const auto image = std::get<StageImage>(StageImage::of(CheckedImage::of(longs, longs.size() * 4)));
        auto on = line();
        StageSession session(stage, on, image, c.target);
        ASSERT_EQ(session.send().outcome, StageOutcome::sent) << c.verdicts;
        // As the stage's loader tells it before the verdict: where the image goes.
        steps.writing(static_cast<std::int32_t>(longs.size() * 4), c.target);
        console.lines.clear();
        EXPECT_EQ(session.judge(&steps), c.outcome) << c.verdicts;
        EXPECT_EQ(console.lines, c.told) << c.verdicts;
        // RAM other than the host's picture of it is told to stop, never to go, whatever the
        // stage makes of a stop.
        const bool proven = c.outcome != StageOutcome::mismatch;
        EXPECT_EQ(chip.stopped, !proven) << c.verdicts;
        EXPECT_EQ(chip.state, ScriptedStage::State::gone) << c.verdicts;
        if (!proven) {
            EXPECT_EQ(port.writes.back(), stage::frame({}, stage::stopTrailer()));
        }
        const bool starts = c.outcome == StageOutcome::loaded && c.target != LoadTarget::eepromShutdown;
        EXPECT_EQ(port.bauds.back() == imageBaud, starts) << c.verdicts;
        if (c.outcome != StageOutcome::loaded) {
            EXPECT_TRUE(status.lines.back().starts_with("Second stage: ")) << c.verdicts;
        }
    }
}

// Go and every query after it unanswered: the image may never have started, and the load fails as
// the ROM's does when its acknowledgement does not come.
TEST_F(StageFixture, SilenceAfterGoIsAFailure) {
    chip.lose = std::multiset<std::string>{"G0", "G0", "G0", "G0", "G0", "G0", "G0", "G0"};
    test::RecordingConsole console;
    LoadTeller steps(console, clock);
    const auto image = std::get<StageImage>(StageImage::of(CheckedImage::of(longs, longs.size() * 4)));
    auto on = line();
    StageSession session(stage, on, image, LoadTarget::ram);
    ASSERT_EQ(session.send().outcome, StageOutcome::sent);
    EXPECT_EQ(session.judge(&steps), StageOutcome::goUnheard);
    EXPECT_EQ(console.lines, (Lines{"Time Out", "CheckSum Error"}));
    EXPECT_EQ(status.lines.back(), "Second stage: go not answered");
    EXPECT_NE(port.bauds.back(), imageBaud);
}

TEST(StageImageTest, ImagesWhoseStackMarkersWouldNotLieAboveThemAreLeftToTheRom) {
    auto longs = imageOf(600);
    EXPECT_TRUE(std::holds_alternative<StageImage>(StageImage::of(CheckedImage::of(longs, 2400))));
    EXPECT_FALSE(
        std::holds_alternative<StageImage>(StageImage::of(CheckedImage::of(longs, 2396))));  // shorter than its vbase
    longs[2] = 2400 | 2404u << 16;
    EXPECT_FALSE(std::holds_alternative<StageImage>(StageImage::of(CheckedImage::of(longs, 2400))));
    longs[2] = 2400 | 0x8004u << 16;
    EXPECT_FALSE(std::holds_alternative<StageImage>(StageImage::of(CheckedImage::of(longs, 2400))));
}

}  // namespace
}  // namespace kestrup
