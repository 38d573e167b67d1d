// The board session's short form, which --identify and --scan both use, and the options the
// command line hands to the parts the board assembles.

#include "upload/board.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>

#include "actions.h"
#include "base/unique_handle.h"
#include "fakes.h"
#include "image_maker.h"

namespace kestrup::test {
namespace {

using Lines = std::vector<std::string>;

struct BoardTest : ::testing::Test {
    Journal journal;
    VirtualClock clock;
    RecordingConsole console{&journal};
    RecordingNotifier notifier;
    std::optional<SimulatedBoard> chip;
    FakePort* port = nullptr;

    std::unique_ptr<Board> board(std::int32_t com = 5, BoardOptions options = {}, sim::ChipConfig config = {}) {
        auto fake = std::make_unique<FakePort>(&journal);
        fake->existing = {comDeviceName(5)};
        chip.emplace(*fake, clock, config);
        port = fake.get();
        return std::make_unique<Board>(PortAddress::com(com), std::move(fake), clock, console, console,
                                       std::move(options));
    }
    // The entries from the last write on: what follows the shutdown command.
    Lines afterLastWrite() const {
        const auto& e = journal.entries;
        auto last = std::find_if(e.rbegin(), e.rend(), [](const std::string& s) { return s.rfind("write", 0) == 0; });
        return Lines(last.base(), e.end());
    }
};

TEST_F(BoardTest, IdentifyShutsTheChipDownAndLeavesNothingBehind) {
    const auto found = board()->identify();
    EXPECT_EQ(found.answer, ChipIdentity::Answer::chip);
    EXPECT_EQ(found.version, 1);
    EXPECT_EQ(console.lines, Lines{"Propeller Version = 1"});
    EXPECT_EQ(chip->last().command, 0u);
    // Late replies are purged before the port closes, so the next user of the port never sees them.
    EXPECT_EQ(afterLastWrite(), (Lines{"purge", "close"}));
    // Neither the upload's console nor its pauses: the reset pulse, then only reply polling.
    EXPECT_EQ(console.opens, 0);
    EXPECT_EQ(Lines(journal.entries.begin(), journal.entries.begin() + 4),
              (Lines{"open " + comDeviceName(5), "dtr on", "dtr off", "purge"}));
    // The window program's reset (25 + 50 ms), two handshake fills at 10 ms.
    EXPECT_EQ(clock.pauses, (std::vector<int>{25, 50, 10, 10}));
}

TEST_F(BoardTest, ASilentPortIsNoChipAndStillGetsTheShutdownAndThePurge) {
    sim::ChipConfig silent;
    silent.faults.silent = true;
    const auto found = board(5, {}, silent)->identify();
    EXPECT_EQ(found.answer, ChipIdentity::Answer::noChip);
    EXPECT_EQ(console.lines, Lines{"Time Out"});
    EXPECT_EQ(chip->last().command, 0u);
    EXPECT_EQ(afterLastWrite(), (Lines{"purge", "close"}));
}

TEST_F(BoardTest, AMissingPortIsToldAndTouchedNoFurther) {
    const auto found = board(7)->identify();
    EXPECT_EQ(found.answer, ChipIdentity::Answer::noPort);
    NoComNotice notice{notifier, "Com7"};
    for (const LoadEvent& event : console.events) notice.on(event);
    EXPECT_EQ(notifier.boxes, (std::vector<std::pair<std::string, std::string>>{{"No COM", "Com7 not found"}}));
    EXPECT_EQ(journal.entries, Lines{"open " + comDeviceName(7)});
}

TEST_F(BoardTest, TheResetLineTimingAndTraceReachTheWire) {
    const UniqueFile trace(std::tmpfile());
    ASSERT_NE(trace, nullptr);
    BoardOptions options;
    options.reset = ResetLine::rts;
    options.timing = UploadTiming::lean();
    options.trace = trace.get();
    options.traceLabel = "p:";
    board(5, options)->identify();
    // RTS pulsed, DTR never touched: a board that resets on DTR is left alone.
    EXPECT_EQ(std::count(journal.entries.begin(), journal.entries.end(), "rts on"), 1);
    EXPECT_EQ(std::count(journal.entries.begin(), journal.entries.end(), "rts off"), 1);
    EXPECT_EQ(std::count_if(journal.entries.begin(), journal.entries.end(),
                            [](const std::string& e) { return e.starts_with("dtr"); }),
              0);
    // The lean reset (10 + 15 ms) and handshake fills every millisecond.
    EXPECT_EQ(clock.pauses, (std::vector<int>{10, 15, 1, 1}));
    std::rewind(trace.get());
    char first[64] = {};
    ASSERT_NE(std::fgets(first, sizeof first, trace.get()), nullptr);
    EXPECT_EQ(std::string(first), "p:   0.000000 open " + comDeviceName(5) + "\n");
}

// What an Upload of the window program puts on the line, on the board it assembles: the handshake
// a byte a bit (0xFE a 0, 0xFF a 1), all 509 bytes of it out before the first reply is read; with
// FastLoad, three bits a byte (343 bytes). A 64-byte image goes by the ROM either way.
TEST_F(BoardTest, TheWindowProgramsUploadSendsAByteAHandshakeBitAndFastLoadThreeAByte) {
    namespace fs = std::filesystem;
    const fs::path image = fs::temp_directory_path() /
                           ("kestrup-board-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    const std::vector<std::uint8_t> bytes = sim::makeImage({.size = 64});
    std::ofstream(image, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), 64);
    struct Case {
        bool fast;
        const char* opening;  // the calibration byte and the first bits' bytes
        std::size_t beforeFirstReply;
    };
    for (const Case c : {Case{false, "F9 FE FF FE FF FF FF FE FE", 509}, Case{true, "F9 9A DB D2", 343}}) {
        SCOPED_TRACE(c.fast);
        auto uploading = board(5, app::uploadBoardOptions(c.fast));
        std::optional<std::size_t> beforeFirstRead;
        port->onRead = [this, &beforeFirstRead] {
            if (!beforeFirstRead) beforeFirstRead = port->written.size();
        };
        EXPECT_EQ(uploading->upload(image.string()), UploadOutcome::loaded);
        const std::string opening = c.opening;
        EXPECT_EQ(hex(std::span(port->written).first((opening.size() + 1) / 3)), opening);
        EXPECT_EQ(beforeFirstRead, c.beforeFirstReply);
    }
    fs::remove(image);
}

}  // namespace
}  // namespace kestrup::test
