// The upload's default path, assembled by the board, against the simulated chip on a line that
// carries its bytes at the port's rate: the ROM loads the second stage, which takes the image, or
// stays silent and the ROM's own load follows.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <utility>

#include "fakes.h"
#include "image/image.h"
#include "image_maker.h"
#include "report.h"
#include "rom/dense_encoding.h"
#include "stage/bootstrap.h"
#include "stage_script.h"
#include "upload/board.h"

namespace kestrup::test {
namespace {

using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

Lines loadedLines(int bytes) {
    return {"Start Upload\r", "Propeller Version = 1", "Write in RAM Lenght=" + std::to_string(bytes), "Verify ..",
            "..OK -> RUN"};
}

// Two bytes of the stage's last packet of these longs changed so that RAM's sum holds, and the
// packet's check made again to match: damage that only the stage's proof of RAM finds.
void damageLastPacket(std::vector<std::uint8_t>& bytes, std::span<const std::uint32_t> longs) {
    const std::size_t last = (longs.size() - 1) / stage::packetLongs;
    if (bytes.size() < 10 || bytes[0] != stage::syncByte) return;
    const std::size_t trailer = 2 + 4 * std::size_t{bytes[1]};
    if (bytes.size() < trailer + 8 || bytes[trailer] != stage::message::data || bytes[trailer + 1] != last) return;
    ++bytes[2];
    --bytes[3];
    const auto before = stage::crcAfter(stage::crcStart, longs.first(last * stage::packetLongs));
    const std::uint32_t check = ~stage::crcAfter(before, std::span(bytes).subspan(2, trailer + 2));
    for (std::size_t b = 0; b < 4; ++b) bytes[trailer + 4 + b] = static_cast<std::uint8_t>(check >> (8 * b));
}

struct StageLoaderTest : ::testing::Test {
    // A terminal follows the load: the line goes to its rate before the image starts.
    std::optional<int> imageBaud = 115200;
    VirtualClock clock;
    Journal journal{clock};
    RecordingConsole console;
    RecordingConsole pathLines;
    PathLines paths{pathLines};
    EventFan events{{&console, &paths}};
    FakePort* port = nullptr;
    std::optional<SimulatedBoard> chip;
    std::unique_ptr<Board> board;
    fs::path file = fs::temp_directory_path() /
                    ("kestrup-stage-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::vector<std::uint8_t> image;
    // Once the ROM has started the stage, which the simulated chip keeps silent, this one answers.
    std::optional<ScriptedStage> stage;
    std::ptrdiff_t resetsSeen = 0;
    bool secondStage = true;
    std::vector<int> refusedBauds;
    // A byte of the first write at least this long, lost on the line: by default one that carries
    // the stage.
    std::optional<std::size_t> loseByte;
    std::size_t loseInWriteOf = secondStageImage(LoadTarget::ram).size();
    bool damageImage = false;
    // The image's clock: as most programs have it, a 5 MHz crystal and PLL x16.
    std::uint8_t clockMode = sim::ImageSpec{}.clockMode;
    std::uint32_t clockHz = sim::ImageSpec{}.clockFrequency;

    void TearDown() override { fs::remove(file); }

    UploadOutcome upload(std::size_t bytes, LoadTarget target = LoadTarget::ram, sim::ChipConfig config = {},
                         std::uint8_t pbase = 0x10) {
        auto fake = std::make_unique<FakePort>(&journal);
        fake->existing = {comDeviceName(5)};
        fake->refusedBauds = refusedBauds;
        port = fake.get();
        chip.emplace(*port, clock, config);
        chip->carryAtPortRate(*port, clock);
        if (stage) {
            port->onWrite = [this, rom = port->onWrite](std::span<const std::uint8_t> written) {
                const sim::SessionRecord session = chip->last();
                // A reset since the last write: the chip's next session, whose first bytes it has yet to see.
                const auto resets = std::count_if(journal.entries.begin(), journal.entries.end(),
                                                  [](const std::string& e) { return e.ends_with(" dtr on"); });
                if (session.state != sim::ChipState::stage || std::exchange(resetsSeen, resets) != resets) {
                    if (stage->started) stage->restart();
                    return rom(written);
                }
                if (session.stage && session.stage->bootFloor && !stage->started)
                    stage->floor = session.stage->bootFloor;
                stage->started = true;
                stage->take(*port, written);
            };
        }
        if (loseByte) {
            port->onWrite = [this, line = port->onWrite](std::span<const std::uint8_t> written) {
                if (!loseByte || written.size() < loseInWriteOf) return line(written);
                std::vector<std::uint8_t> carried(written.begin(), written.end());
                carried.erase(carried.begin() + static_cast<std::ptrdiff_t>(*std::exchange(loseByte, std::nullopt)));
                line(carried);
            };
        }
        if (damageImage) {
            port->onWrite = [this, line = port->onWrite](std::span<const std::uint8_t> written) {
                std::vector<std::uint8_t> carried(written.begin(), written.end());
                damageLastPacket(carried, imageLongs());
                line(carried);
            };
        }
        board = std::make_unique<Board>(PortAddress::com(5), std::move(fake), clock, console, events,
                                        BoardOptions{ResetLine::dtr,
                                                     LongEncoding::dense,
                                                     UploadTiming::lean(),
                                                     nullptr,
                                                     {},
                                                     secondStage,
                                                     imageBaud,
                                                     HandshakeBits::threePerByte});
        sim::ImageSpec spec;
        spec.size = bytes;
        spec.clockMode = clockMode;
        spec.clockFrequency = clockHz;
        image = sim::makeImage(spec);
        image[6] = pbase;
        sealImageChecksum(image);
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
    // The time of the nth entry that starts with `what`, from `after` on.
    std::int64_t when(const std::string& what, int n = 0, std::int64_t after = 0) const {
        for (const auto& entry : journal.entries) {
            const auto space = entry.find(' ');
            const std::int64_t at = std::stoll(entry.substr(0, space));
            // The whole entry, or its first words: "write 28" is not "write 2874".
            const bool named = entry.compare(space + 1, what.size(), what) == 0 &&
                               (entry.size() == space + 1 + what.size() || entry[space + 1 + what.size()] == ' ');
            if (at >= after && named && n-- == 0) return at;
        }
        return -1;
    }
};

TEST_F(StageLoaderTest, ASilentStageGivesWayToTheRomWhichPrintsItsFiveLinesAlone) {
    sim::ChipConfig silent;
    silent.faults.stageSilent = true;
    clockMode = 0;  // RCFAST: the hellos alone
    clockHz = 12'000'000;
    EXPECT_EQ(upload(8192, LoadTarget::ram, silent), UploadOutcome::loaded);
    EXPECT_EQ(console.lines, loadedLines(8192));
    EXPECT_EQ(pathLines.lines, Lines{"ROM path (second stage did not answer)"});
    const auto sessions = chip->sessions();
    ASSERT_EQ(sessions.size(), 2u);
    // The pilot, which took the bootstrap, which took the stage's RAM build and started it, silent.
    EXPECT_EQ(sessions[0].longCount, firmware::pilot().size() / 4);
    ASSERT_TRUE(sessions[0].stage);
    EXPECT_EQ(sessions[0].stage->pilotLoads, "K");
    EXPECT_EQ(sessions[0].stage->bootAnswers, "HK");
    EXPECT_EQ(sessions[0].stage->build, sim::StageBuild::ram);
    EXPECT_EQ(sessions[1].longs, imageLongs());
    EXPECT_EQ(sessions[1].verdict, 0xFE);
    // The bootstrap's rate asked of the port, the ROM's (three bits a byte), the bootstrap's hello,
    // the chip's own for the stage and the stage's hellos, and the image at 115200 after it.
    EXPECT_EQ(port->bauds, (std::vector<int>{460800, 230400, 460800, 750000, 115200}));
    EXPECT_EQ(sessions[0].command, 1u);
    // The fallback's reset follows the first hello (the rate message behind it) after the hello
    // window and the last one's wait.
    const auto waited = when("dtr on", 1) - when("write 28", 0, when("baud 750000"));
    EXPECT_GE(waited, 110);
    EXPECT_LE(waited, 115);
}

// The stage's ROM phase borrows the board's protocol: the ROM's load after it still goes dense and
// with its progress, and no progress shows of the stage's, however many uploads the board makes.
TEST_F(StageLoaderTest, AStageThatGivesWayLeavesTheProtocolAsTheRomsLoadWantsIt) {
    const auto told = [this] {
        std::vector<std::pair<std::size_t, std::size_t>> progress;
        for (const Progress& p : eventsOf<Progress>(std::exchange(console.events, {})))
            progress.emplace_back(p.sent, p.total);
        return progress;
    };
    sim::ChipConfig silent;
    silent.faults.stageSilent = true;
    EXPECT_EQ(upload(8192, LoadTarget::ram, silent), UploadOutcome::loaded);
    const auto first = told();
    const std::size_t dense = encodeDense(imageLongs()).size();
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(first.back(), std::pair(dense, dense));
    EXPECT_EQ(board->upload(file.string()), UploadOutcome::loaded);
    EXPECT_EQ(told(), first);
}

TEST_F(StageLoaderTest, TheStageTakesTheImageWithTheRomsLinesAndStartsItAtTheImagesRate) {
    sim::ChipConfig config;
    config.faults.stageSilent = true;
    stage.emplace();
    clockMode = 0;  // RCFAST
    clockHz = 12'000'000;
    EXPECT_EQ(upload(8192, LoadTarget::ram, config), UploadOutcome::loaded);
    EXPECT_EQ(console.lines, loadedLines(8192));
    EXPECT_EQ(pathLines.lines, Lines{"second stage at 1000000 baud"});
    // The ROM's rate, the bootstrap's, the chip's own for the stage and its contact, the RAM build's
    // 12 clocks a bit for the image, then the image's own.
    EXPECT_EQ(port->bauds, (std::vector<int>{460800, 230400, 460800, 750000, 1000000, 115200}));
    // One stop bit for the ROM, whose bits are pulses, and for the RAM build's receiver at 12
    // clocks a bit; two for the pilot's, and for the image's own line.
    EXPECT_EQ(port->stopBitsSet, (std::vector<int>{1, 2, 1, 2}));
    EXPECT_EQ(stage->packets.size(), 9u);
    EXPECT_EQ(stage->state, ScriptedStage::State::gone);
}

// The simulated stage takes a damaged image whose checks all hold; its proof of RAM differs from the
// host's picture, and the image never starts.
TEST_F(StageLoaderTest, AnImageTheStageDidNotProveNeverStarts) {
    damageImage = true;
    EXPECT_EQ(upload(8192), UploadOutcome::notAcknowledged);
    EXPECT_EQ(console.lines, (Lines{"Start Upload\r", "Propeller Version = 1", "Write in RAM Lenght=8192", "Verify ..",
                                    "CheckSum Error"}));
    EXPECT_EQ(pathLines.lines, Lines{"second stage at 3000000 baud on the crystal's PLL"});
    const auto sessions = chip->sessions();
    ASSERT_EQ(sessions.size(), 1u);
    ASSERT_TRUE(sessions[0].stage);
    EXPECT_EQ(sessions[0].stage->answers.back() == 'G', sessions[0].state == sim::ChipState::shutdown);
    EXPECT_NE(sessions[0].state, sim::ChipState::running);
    EXPECT_NE(sessions[0].longs, imageLongs());
}

// A byte of the stage lost on its way to the bootstrap: no stage answers its hello at 115200, the
// bootstrap's hellos complete what it counts, which then fails its sums, and the next finds it
// listening again for the stage once more, at 460800, where the stage's first hellos go too.
TEST_F(StageLoaderTest, AByteOfTheStageLostCostsTheBootstrapOneLoadMore) {
    sim::ChipConfig config;
    config.faults.stageSilent = true;
    stage.emplace();
    loseByte = 1000;
    EXPECT_EQ(upload(8192, LoadTarget::ram, config), UploadOutcome::loaded);
    EXPECT_EQ(pathLines.lines, Lines{"second stage at 3000000 baud on the crystal's PLL"});
    ASSERT_TRUE(chip->sessions()[0].stage);
    EXPECT_EQ(chip->sessions()[0].stage->bootAnswers, "HXHK");
    // The stage's contact at the rate of the load it took, then the RAM build's own.
    EXPECT_EQ(port->bauds, (std::vector<int>{460800, 230400, 460800, 750000, 115200, 460800, 3000000, 115200}));
}

// A byte of the bootstrap lost on its way to the pilot: the pilot counts on into the hellos, which
// then go unanswered; filler makes it refuse what it counted and echo, and the next load is taken.
TEST_F(StageLoaderTest, AByteOfTheBootstrapLostCostsThePilotOneLoadMore) {
    sim::ChipConfig config;
    config.faults.stageSilent = true;
    stage.emplace();
    loseByte = 100;
    loseInWriteOf = firmware::bootstrap().size();
    EXPECT_EQ(upload(8192, LoadTarget::ram, config), UploadOutcome::loaded);
    EXPECT_EQ(pathLines.lines, Lines{"second stage at 3000000 baud on the crystal's PLL"});
    ASSERT_TRUE(chip->sessions()[0].stage);
    EXPECT_EQ(chip->sessions()[0].stage->pilotLoads, "XK");
    EXPECT_EQ(chip->sessions()[0].stage->bootAnswers, "HK");
}

// A crystal image: the pilot starts its oscillator and PLL on the RC clock, the stage moves the chip
// to them and the image comes at 3 Mbaud; a board whose crystal does not run costs one more reset,
// and the image comes at the RC clock's rates, never by the ROM's long load.
TEST_F(StageLoaderTest, ACrystalImageComesOnItsPll) {
    sim::ChipConfig config;
    config.faults.stageSilent = true;
    stage.emplace();
    EXPECT_EQ(upload(8192, LoadTarget::ram, config), UploadOutcome::loaded);
    const auto pilot = longsOf(firmware::pilot());
    const auto marker = std::find(pilot.begin(), pilot.end(), pilot::clockModeMarker) - pilot.begin();
    EXPECT_EQ(chip->sessions()[0].longs[marker], pilot::clockModeMarker | 0x68);
    EXPECT_EQ(stage->pllHz, 80'000'000);
    // The clock message rode behind the stage's first hello, and the begin behind the hello on the
    // PLL: from there straight to the PLL's rate, none of them asked twice.
    EXPECT_EQ(port->bauds, (std::vector<int>{460800, 230400, 460800, 750000, 3000000, 115200}));
    EXPECT_EQ(stage->messages, "U C UB G Q");
}

TEST_F(StageLoaderTest, ADeadCrystalCostsOneMoreResetNeverTheRomsLoad) {
    sim::ChipConfig config;
    config.faults.stageSilent = true;
    stage.emplace();
    stage->crystalHz = 0;
    EXPECT_EQ(upload(8192, LoadTarget::ram, config), UploadOutcome::loaded);
    EXPECT_EQ(console.lines, loadedLines(8192));
    EXPECT_EQ(pathLines.lines,
              Lines{"second stage at 1000000 baud (silent on the crystal's PLL: loaded on the RC clock)"});
    const auto sessions = chip->sessions();
    ASSERT_EQ(sessions.size(), 2u);
    EXPECT_EQ(sessions[1].longs, longsOf(firmware::pilot()));
    EXPECT_EQ(stage->packets.size(), 9u);
}

// A port that will not make the bootstrap's rate has the ROM carry the whole stage.
TEST_F(StageLoaderTest, WithoutTheBootstrapsRateTheRomCarriesTheStage) {
    sim::ChipConfig config;
    config.faults.stageSilent = true;
    stage.emplace();
    refusedBauds = {460800};
    EXPECT_EQ(upload(8192, LoadTarget::ram, config), UploadOutcome::loaded);
    EXPECT_EQ(pathLines.lines, Lines{"second stage at 1000000 baud"});
    EXPECT_EQ(port->bauds, (std::vector<int>{230400, 115200, 1000000, 115200}));
    EXPECT_EQ(chip->sessions()[0].longCount, secondStageImage(LoadTarget::ram).size() / 4);
}

// The chip takes the image and acknowledges it, then shuts down, whichever path carried it.
TEST_F(StageLoaderTest, AWrongPbaseIsAnImageNotStarted) {
    sim::ChipConfig config;
    config.faults.stageSilent = true;
    const Lines told{"the chip will not start the image: pbase is 0x0014, not 0x0010"};
    stage.emplace();
    stage->verdicts = "P";
    EXPECT_EQ(upload(8192, LoadTarget::ram, config, 0x14), UploadOutcome::notStarted);
    EXPECT_EQ(console.lines, loadedLines(8192));
    EXPECT_EQ(pathLines.lines, (Lines{"second stage at 3000000 baud on the crystal's PLL", told[0]}));
    stage.reset();
    secondStage = false;
    pathLines.lines.clear();
    console.lines.clear();
    EXPECT_EQ(upload(8192, LoadTarget::ram, {}, 0x14), UploadOutcome::notStarted);
    EXPECT_EQ(console.lines, loadedLines(8192));
    EXPECT_EQ(pathLines.lines, told);
}

// The report is made of the events alone: a stage that gave way leaves only its reason, in the
// path line; a silent board leaves its failed handshake, and no path.
TEST_F(StageLoaderTest, TheReportOfAStageThatGaveWayAndOfASilentBoard) {
    struct Case {
        const char* fault;
        UploadOutcome outcome;
        Lines stages;
        std::optional<int> version;
        std::string pathLine;
    };
    const Case cases[] = {
        {"stage-silent",
         UploadOutcome::loaded,
         {"open ok", "handshake ok", "load ok", "verify ok"},
         1,
         "ROM path (second stage did not answer)"},
        {"silent", UploadOutcome::noChip, {"open ok", "handshake failed"}, std::nullopt, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        sim::ChipConfig config;
        config.faults.stageSilent = true;
        config.faults.silent = c.outcome == UploadOutcome::noChip;
        console.lines.clear();
        EXPECT_EQ(upload(8192, LoadTarget::ram, config), c.outcome);
        cli::LoadRecorder recorder;
        for (const LoadEvent& event : std::exchange(console.events, {})) recorder.on(event);
        const cli::BoardReport report = recorder.report("Com5");
        Lines stages;
        for (const auto& s : report.stages) stages.push_back(s.name + (s.ok ? " ok" : " failed"));
        EXPECT_EQ(stages, c.stages);
        EXPECT_EQ(report.chipVersion, c.version);
        EXPECT_EQ(report.pathLine, c.pathLine);
        EXPECT_FALSE(report.stagePath);
        EXPECT_EQ(report.outcome, c.outcome == UploadOutcome::loaded ? "loaded" : "no-chip");
        EXPECT_EQ(report.statusLines, console.lines);
    }
}

TEST_F(StageLoaderTest, ASmallImageGoesByTheRomAlone) {
    EXPECT_EQ(upload(768), UploadOutcome::loaded);
    EXPECT_EQ(console.lines, loadedLines(768));
    EXPECT_EQ(pathLines.lines, Lines{"ROM path (image too small for the second stage to pay)"});
    const auto sessions = chip->sessions();
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(sessions[0].longs, imageLongs());
    EXPECT_FALSE(sessions[0].stage);
}

}  // namespace
}  // namespace kestrup::test
