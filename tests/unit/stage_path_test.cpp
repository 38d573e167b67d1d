// The upload's default path, assembled by the board, against the simulated chip on a line that
// carries its bytes at the port's rate: the ROM loads the second stage, which takes the image, or
// stays silent and the ROM's own load follows.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "board.h"
#include "fakes.h"
#include "image_maker.h"
#include "second_stage.h"

namespace kestrup::test {
namespace {

using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

Lines loadedLines(int bytes) {
    return {"Start Upload\r", "Propeller Version = 1", "Write in RAM Lenght=" + std::to_string(bytes), "Verify ..",
            "..OK -> RUN"};
}

// The simulated stage speaks the protocol of 255-long packets; a host that still sends 256 cannot
// load through it, and these cases wait for the host that does.
constexpr bool hostSpeaksTheStagesProtocol = stage::packetLongs == 255;

struct StagePathTest : ::testing::Test {
    VirtualClock clock;
    Journal journal{clock};
    RecordingConsole console;
    RecordingConsole pathLines;
    RecordingNotifier notifier;
    FakePort* port = nullptr;
    std::optional<SimulatedBoard> chip;
    std::unique_ptr<Board> board;
    fs::path file = fs::temp_directory_path() /
                    ("kestrup-stage-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::vector<std::uint8_t> image;

    void TearDown() override { fs::remove(file); }

    UploadOutcome upload(std::size_t bytes, LoadTarget target = LoadTarget::ram, sim::ChipConfig config = {}) {
        auto fake = std::make_unique<FakePort>(&journal);
        fake->existing = {comDeviceName(5)};
        port = fake.get();
        chip.emplace(*port, clock, config);
        chip->carryAtPortRate(*port, clock);
        board = std::make_unique<Board>(
            PortAddress::com(5), std::move(fake), clock, console, notifier,
            BoardOptions{ResetLine::dtr, LongEncoding::dense, UploadTiming::lean(), nullptr, {}, true, &pathLines});
        sim::ImageSpec spec;
        spec.size = bytes;
        image = sim::makeImage(spec);
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
        return board->upload(file.string(), target);
    }
    std::vector<std::uint32_t> imageLongs() const {
        std::vector<std::uint32_t> longs(image.size() / 4);
        for (std::size_t i = 0; i < image.size(); ++i) longs[i / 4] |= std::uint32_t{image[i]} << (8 * (i % 4));
        return longs;
    }
    // The virtual time of the n-th journal entry that starts with `what`.
    std::int64_t when(const std::string& what, int n = 0) const {
        for (const auto& entry : journal.entries) {
            const auto space = entry.find(' ');
            if (entry.compare(space + 1, what.size(), what) == 0 && n-- == 0) return std::stoll(entry.substr(0, space));
        }
        return -1;
    }
};

TEST_F(StagePathTest, ASilentStageGivesWayToTheRomWhichPrintsItsFiveLinesAlone) {
    sim::ChipConfig silent;
    silent.faults.stageSilent = true;
    EXPECT_EQ(upload(8192, LoadTarget::ram, silent), UploadOutcome::loaded);
    EXPECT_EQ(console.lines, loadedLines(8192));
    EXPECT_EQ(pathLines.lines, Lines{"ROM path (second stage did not answer)"});
    const auto sessions = chip->sessions();
    ASSERT_EQ(sessions.size(), 2u);
    EXPECT_EQ(sessions[0].longCount, 366u);  // the stage's RAM build, started and silent
    EXPECT_EQ(sessions[1].longs, imageLongs());
    EXPECT_EQ(sessions[1].verdict, 0xFE);
    // The stage went at 230400 baud, three bits a byte; the image at the ROM's own rate after it.
    EXPECT_EQ(port->bauds, (std::vector<int>{230400, 115200}));
    EXPECT_EQ(sessions[0].command, 1u);
    // The fallback's reset follows the first hello after the hello window and the last one's wait.
    const auto waited = when("dtr on", 1) - when("write 9");
    EXPECT_GE(waited, 110);
    EXPECT_LE(waited, 115);
}

TEST_F(StagePathTest, TheStageTakesTheImageAtTheFastestRateTheChipsClockHolds) {
    if (!hostSpeaksTheStagesProtocol) GTEST_SKIP() << "the host sends packets of 256 longs";
    // The chip's clock / 16 from the width of a hello at 230400 baud (139 and 208 clocks), in whole
    // hundreds; the ladder's top, 921600, above 14.7 MHz.
    for (const auto& [hz, baud] : {std::pair{8'000'000, 500400}, {12'000'000, 748800}, {20'000'000, 921600}}) {
        console.lines.clear();
        pathLines.lines.clear();
        sim::ChipConfig config;
        config.timing.clockHz = hz;
        EXPECT_EQ(upload(8192, LoadTarget::ram, config), UploadOutcome::loaded) << hz;
        EXPECT_EQ(console.lines, loadedLines(8192)) << hz;
        EXPECT_EQ(pathLines.lines, Lines{"second stage at " + std::to_string(baud) + " baud"}) << hz;
        EXPECT_EQ(port->bauds, (std::vector<int>{230400, baud})) << hz;
        // One session: the ROM took the stage, the stage the image, which runs.
        const auto sessions = chip->sessions();
        ASSERT_EQ(sessions.size(), 1u) << hz;
        EXPECT_EQ(sessions[0].longs, imageLongs()) << hz;
        EXPECT_EQ(sessions[0].state, sim::ChipState::running) << hz;
    }
}

// The lines of the stage's other answers are second_stage_test's.
TEST_F(StagePathTest, TheEepromGoesThroughTheStagesEepromBuildWithTheRomsLines) {
    if (!hostSpeaksTheStagesProtocol) GTEST_SKIP() << "the host sends packets of 256 longs";
    EXPECT_EQ(upload(4096, LoadTarget::eepromRun), UploadOutcome::loaded);
    EXPECT_EQ(console.lines, (Lines{"Start Upload\r", "Propeller Version = 1", "Write in RAM Lenght=4096", "Verify ..",
                                    "..OK", "Programming EEPROM ..", "Verifying EEPROM ..", "..EEPROM OK -> RUN"}));
    const auto sessions = chip->sessions();
    ASSERT_EQ(sessions.size(), 1u);
    ASSERT_TRUE(sessions[0].stage);
    EXPECT_EQ(sessions[0].stage->build, sim::StageBuild::eeprom);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), chip->eeprom().begin()));
}

TEST_F(StagePathTest, ASmallImageGoesByTheRomAlone) {
    EXPECT_EQ(upload(1024), UploadOutcome::loaded);
    EXPECT_EQ(console.lines, loadedLines(1024));
    EXPECT_EQ(pathLines.lines, Lines{"ROM path (image too small for the second stage to pay)"});
    const auto sessions = chip->sessions();
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(sessions[0].longs, imageLongs());
    EXPECT_FALSE(sessions[0].stage);
}

}  // namespace
}  // namespace kestrup::test
