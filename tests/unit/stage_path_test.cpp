// The upload's default path, assembled by the board: the simulated chip's ROM loads the second stage,
// then a scripted stage takes the image, or stays silent as today's simulated chip does and the
// ROM's own load follows.

#include "board.h"
#include "fakes.h"
#include "image_maker.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace kestrup::test {
namespace {

using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

Lines loadedLines(int bytes) {
    return {"Start Upload\r", "Propeller Version = 1", "Write in RAM Lenght=" + std::to_string(bytes), "Verify ..",
            "..OK -> RUN"};
}

struct StagePathTest : ::testing::Test {
    VirtualClock clock;
    Journal journal{clock};
    RecordingConsole console;
    RecordingConsole pathLines;
    RecordingNotifier notifier;
    FakePort* port = nullptr;
    std::optional<SimulatedBoard> chip;
    ScriptedStage stage;
    std::unique_ptr<Board> board;
    fs::path file = fs::temp_directory_path() /
                    ("kestrup-stage-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::vector<std::uint8_t> image;

    // The simulated chip behind the port; with a stage, the stage answers once the chip runs what
    // its ROM loaded.
    void SetUp() override {
        auto fake = std::make_unique<FakePort>(&journal);
        fake->existing = {comDeviceName(5)};
        port = fake.get();
        chip.emplace(*port, clock);
        board = std::make_unique<Board>(PortAddress::com(5), std::move(fake), clock, console, notifier,
                                        BoardOptions{ResetLine::dtr, LongEncoding::dense, UploadTiming::lean(), nullptr,
                                                     {}, true, &pathLines});
    }
    void TearDown() override { fs::remove(file); }

    void withStage() {
        port->onWrite = [this, rom = port->onWrite](std::span<const std::uint8_t> bytes) {
            if (chip->last().state == sim::ChipState::running)
                stage.onMessage(*port, bytes);
            else
                rom(bytes);
        };
    }
    UploadOutcome upload(std::size_t bytes, LoadTarget target = LoadTarget::ram) {
        sim::ImageSpec spec;
        spec.size = bytes;
        image = sim::makeImage(spec);
        std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(image.data()),
                                                    static_cast<std::streamsize>(image.size()));
        return board->upload(file.string(), target);
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
    EXPECT_EQ(upload(8192), UploadOutcome::loaded);
    EXPECT_EQ(console.lines, loadedLines(8192));
    EXPECT_EQ(pathLines.lines, Lines{"ROM path (second stage did not answer)"});
    const auto sessions = chip->sessions();
    ASSERT_EQ(sessions.size(), 2u);
    EXPECT_EQ(sessions[0].longCount, 366u);  // the stage's RAM build, which ran and stayed silent
    EXPECT_EQ(sessions[0].state, sim::ChipState::running);
    EXPECT_EQ(sessions[1].longs.size(), 2048u);
    EXPECT_EQ(sessions[1].verdict, 0xFE);
    // The fallback's reset follows the first hello after the hello window and the last one's wait.
    const auto waited = when("dtr on", 1) - when("write 9");
    EXPECT_GE(waited, 110);
    EXPECT_LE(waited, 115);
}

TEST_F(StagePathTest, TheStageTakesTheImageAndStepsDownWhenTheFastestRateFails) {
    withStage();
    stage.chipHz = 20000000;
    stage.failAbove = 460800;
    EXPECT_EQ(upload(8192), UploadOutcome::loaded);
    EXPECT_EQ(console.lines, loadedLines(8192));
    EXPECT_EQ(pathLines.lines, Lines{"second stage at 460800 baud"});
    EXPECT_EQ(port->bauds, (std::vector<int>{921600, 460800}));
    EXPECT_EQ(stage.image, image);
    // Only the stage went through the ROM.
    const auto sessions = chip->sessions();
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(sessions[0].longCount, 366u);
}

TEST_F(StagePathTest, ASmallImageGoesByTheRomAlone) {
    withStage();
    EXPECT_EQ(upload(1024), UploadOutcome::loaded);
    EXPECT_EQ(console.lines, loadedLines(1024));
    EXPECT_EQ(pathLines.lines, Lines{"ROM path (image too small for the second stage to pay)"});
    EXPECT_EQ(chip->last().longs.size(), 256u);
    EXPECT_TRUE(stage.packetsSeen.empty());
}

// The stage's answers after the image, in the words the ROM's load uses for the same steps.
TEST_F(StagePathTest, TheStagesVerdictsAreToldAsTheRomTellsThem) {
    const Lines head = {"Start Upload\r", "Propeller Version = 1", "Write in RAM Lenght=4096", "Verify .."};
    struct Case {
        LoadTarget target;
        std::string verdicts;
        UploadOutcome outcome;
        Lines tail;
    };
    const Case cases[] = {
        {LoadTarget::ram, "S", UploadOutcome::notAcknowledged, {"CheckSum Error"}},
        {LoadTarget::ram, "", UploadOutcome::notAcknowledged, {"Time Out", "CheckSum Error"}},
        {LoadTarget::ram, "P", UploadOutcome::loaded, {"..OK -> RUN"}},
        {LoadTarget::eepromRun, "pEL", UploadOutcome::loaded,
         {"..OK", "Programming EEPROM ..", "Verifying EEPROM ..", "..EEPROM OK -> RUN"}},
        {LoadTarget::eepromShutdown, "EX", UploadOutcome::loaded,
         {"..OK", "Programming EEPROM ..", "Verifying EEPROM ..", "..EEPROM OK -> SHUTDOWN"}},
        {LoadTarget::eepromRun, "pe", UploadOutcome::eepromFailed,
         {"..OK", "Programming EEPROM ..", "EEPROM programming failed"}},
        {LoadTarget::eepromRun, "pv", UploadOutcome::eepromFailed,
         {"..OK", "Programming EEPROM ..", "Verifying EEPROM ..", "EEPROM verify failed"}},
        {LoadTarget::eepromRun, "p", UploadOutcome::eepromFailed,
         {"..OK", "Programming EEPROM ..", "Time Out", "EEPROM programming failed"}},
        {LoadTarget::eepromRun, "S", UploadOutcome::notAcknowledged, {"CheckSum Error"}},
    };
    for (const auto& c : cases) {
        SetUp();
        console.lines.clear();
        stage = ScriptedStage{};
        withStage();
        stage.verdicts = c.verdicts;
        EXPECT_EQ(upload(4096, c.target), c.outcome) << c.verdicts;
        Lines expected = head;
        expected.insert(expected.end(), c.tail.begin(), c.tail.end());
        EXPECT_EQ(console.lines, expected) << c.verdicts;
        // Into the EEPROM the ROM loads the stage's EEPROM build.
        EXPECT_EQ(chip->sessions().front().longCount, c.target == LoadTarget::ram ? 366u : 500u) << c.verdicts;
    }
}

}  // namespace
}  // namespace kestrup::test
