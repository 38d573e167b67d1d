#include "upload/upload_job.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "fakes.h"
#include "rom/rom_loader.h"

namespace kestrup::test {
namespace {

using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

// An image of `bytes` bytes of 0x5A whose length word says `lengthWord`, with pbase 0x0010 and its
// checksum byte set so that the chip accepts the longs the length word asks for.
std::vector<std::uint8_t> imageBytes(std::size_t bytes, std::uint16_t lengthWord, std::uint16_t dbase = 0x5A5A) {
    std::vector<std::uint8_t> data(bytes, 0x5A);
    const std::uint8_t header[] = {0x10,
                                   0x00,
                                   static_cast<std::uint8_t>(lengthWord),
                                   static_cast<std::uint8_t>(lengthWord >> 8),
                                   static_cast<std::uint8_t>(dbase),
                                   static_cast<std::uint8_t>(dbase >> 8)};
    for (std::size_t i = 0; i < 6 && 6 + i < bytes; ++i) data[6 + i] = header[i];
    std::vector<std::uint32_t> longs;
    for (std::size_t i = 0; i + 4 <= std::min<std::size_t>(bytes, lengthWord & ~3u); i += 4)
        longs.push_back(data[i] | data[i + 1] << 8 | data[i + 2] << 16 | static_cast<std::uint32_t>(data[i + 3]) << 24);
    if (longs.size() >= 2) data[5] = static_cast<std::uint8_t>(data[5] - sim::ramChecksum(longs));
    return data;
}

struct UploadJobTest : ::testing::Test {
    Journal journal;
    FakePort port{&journal};
    VirtualClock clock;
    RecordingConsole console{&journal};
    RecordingNotifier notifier;
    SerialLink link{port, clock, console};
    LoaderProtocol protocol{link, console};
    RomLoader rom{link, protocol, UploadTiming::window().reset};
    UploadJob job{link, protocol, console, console, clock, UploadTiming::window(), {&rom}};
    SimulatedBoard board{port, clock};
    fs::path dir;
    std::string image;

    void SetUp() override {
        port.existing = {comDeviceName(5)};
        dir = fs::temp_directory_path() /
              ("kestrup-job-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir);
        image = (dir / "compiled.binary").string();
    }
    void TearDown() override { fs::remove_all(dir); }

    void writeImage(const std::vector<std::uint8_t>& bytes) {
        std::ofstream out(image, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    UploadOutcome upload(std::int32_t com = 5) { return job.run(image, PortAddress::com(com)); }
    // The window program's box for this port, from the events told so far.
    void showNoCom(const PortAddress& address) {
        NoComNotice notice{notifier, address.displayName()};
        for (const LoadEvent& event : std::exchange(console.events, {})) notice.on(event);
    }
    int resets() const {
        return static_cast<int>(std::count(journal.entries.begin(), journal.entries.end(), "dtr off"));
    }
};

TEST_F(UploadJobTest, GoodImageIsLoadedWithTheStepsInOrder) {
    writeImage(imageBytes(32, 32));
    EXPECT_EQ(upload(), UploadOutcome::loaded);
    EXPECT_EQ(console.bytes, "Start Upload\r\nPropeller Version = 1\nWrite in RAM Lenght=32\nVerify ..\n..OK -> RUN\n");
    EXPECT_EQ(board.last().longs.size(), 8u);
    EXPECT_EQ(board.last().longs[2], 0x5A5A0020u);
}

// The pauses and resets of a good upload, as the window program and as the command line time them.
TEST_F(UploadJobTest, TheTimingSetsEveryPauseAndReset) {
    struct Case {
        const char* name;
        UploadTiming timing;
        std::vector<int> firstPauses;  // up to the handshake
        int lastPause;                 // the teardown's, or the last acknowledgement poll's
        Lines opening;                 // the journal up to the handshake's first write
    };
    const std::string com5 = "open " + comDeviceName(5);
    const Case cases[] = {
        // Console settle; a reset before the file is read and one before the handshake (25 ms pulse,
        // 50 ms wait); the teardown.
        {"window",
         UploadTiming::window(),
         {200, 25, 50, 25, 50},
         1500,
         {com5, "console open", "dtr on", "dtr off", "purge", "status Start Upload\r", "dtr on", "dtr off", "purge",
          "write 256"}},
        // One reset of 10 + 15 ms after the file is read; polls at 1 ms; nothing after the answer.
        {"lean",
         UploadTiming::lean(),
         {10, 15},
         1,
         {com5, "console open", "status Start Upload\r", "dtr on", "dtr off", "purge", "write 256"}},
    };
    writeImage(imageBytes(32, 32));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        journal.entries.clear();
        clock.pauses.clear();
        link.setPolling(c.timing.polling);
        RomLoader timedRom{link, protocol, c.timing.reset};
        UploadJob timed{link, protocol, console, console, clock, c.timing, {&timedRom}};
        EXPECT_EQ(timed.run(image, PortAddress::com(5)), UploadOutcome::loaded);
        ASSERT_GT(clock.pauses.size(), c.firstPauses.size());
        EXPECT_EQ(std::vector<int>(clock.pauses.begin(),
                                   clock.pauses.begin() + static_cast<std::ptrdiff_t>(c.firstPauses.size())),
                  c.firstPauses);
        EXPECT_EQ(clock.pauses.back(), c.lastPause);
        const auto& e = journal.entries;
        ASSERT_GE(e.size(), c.opening.size() + 8);
        EXPECT_EQ(Lines(e.begin(), e.begin() + static_cast<std::ptrdiff_t>(c.opening.size())), c.opening);
        // The line drains before the acknowledgement is clocked; the port closes right after the
        // answer when there is no teardown pause.
        const auto verify = std::find(e.begin(), e.end(), "status Verify ..");
        ASSERT_NE(verify, e.end());
        EXPECT_EQ(*(verify + 1), "drain");
        EXPECT_EQ(Lines(e.end() - 4, e.end()), (Lines{"status ..OK -> RUN", "purge", "close", "console close"}));
    }
}

TEST_F(UploadJobTest, MissingPortShowsOnlyTheNoComBox) {
    for (const std::int32_t com : {0, -3, 7}) {
        notifier.boxes.clear();
        EXPECT_EQ(upload(com), UploadOutcome::portNotOpened);
        showNoCom(PortAddress::com(com));
        ASSERT_EQ(notifier.boxes.size(), 1u);
        EXPECT_EQ(notifier.boxes[0].first, "No COM");
        EXPECT_EQ(notifier.boxes[0].second, "Com" + std::to_string(com) + " not found");
    }
    EXPECT_TRUE(console.lines.empty());
    EXPECT_EQ(console.opens, 0);
    EXPECT_EQ(resets(), 0);
    EXPECT_TRUE(clock.pauses.empty());
}

TEST_F(UploadJobTest, DevicePathIsNamedInTheNoComText) {
    EXPECT_EQ(job.run(image, PortAddress::device("/dev/nothing")), UploadOutcome::portNotOpened);
    showNoCom(PortAddress::device("/dev/nothing"));
    EXPECT_EQ(notifier.boxes.at(0).second, "/dev/nothing not found");
}

TEST_F(UploadJobTest, WhyThePortDidNotOpenTravelsInTheOpensEnd) {
    for (const auto& [busy, why] : {std::pair{false, OpenFailure::missing}, std::pair{true, OpenFailure::busy}}) {
        port.isOpen = busy;
        EXPECT_EQ(upload(busy ? 5 : 7), UploadOutcome::portNotOpened);
        const auto ended = eventsOf<Ended>(std::exchange(console.events, {}));
        ASSERT_EQ(ended.size(), 1u);
        ASSERT_TRUE(ended[0].notOpened);
        EXPECT_EQ(ended[0].notOpened->failure, why);
    }
}

TEST_F(UploadJobTest, MissingFileCostsNoHandshakeAndOnlyTheWindowProgramAReset) {
    struct Case {
        UploadTiming timing;
        int resets;
        std::vector<int> pauses;
    };
    for (const Case& c : {Case{UploadTiming::window(), 1, {200, 25, 50, 1500}}, Case{UploadTiming::lean(), 0, {}}}) {
        journal.entries.clear();
        clock.pauses.clear();
        RomLoader timedRom{link, protocol, c.timing.reset};
        UploadJob timed{link, protocol, console, console, clock, c.timing, {&timedRom}};
        EXPECT_EQ(timed.run(image, PortAddress::com(5)), UploadOutcome::fileMissing);
        EXPECT_EQ(resets(), c.resets);
        EXPECT_EQ(clock.pauses, c.pauses);
        EXPECT_TRUE(port.writes.empty());
        EXPECT_FALSE(port.isOpen);
    }
    EXPECT_EQ(console.bytes, "Start Upload\r\nNo such file\r\nStart Upload\r\nNo such file\r\n");
    EXPECT_EQ(console.closes, 2);
}

// The command line reads the file once, checks it and hands that read to the load: the job loads
// those bytes and never goes back to the file; one that could not be read is said in the system's
// words; one the checks refused ends before anything is opened.
TEST_F(UploadJobTest, AnImageReadBeforehandIsLoadedFromThatReadAlone) {
    ImageFile read{ImageFile::State::read, imageBytes(32, 32), 32, {}};
    writeImage(imageBytes(64, 64));  // what the file holds by now
    EXPECT_EQ(job.run(read, PortAddress::com(5)), UploadOutcome::loaded);
    EXPECT_EQ(board.last().longs.size(), 8u);

    read = {ImageFile::State::unreadable, {}, 64, "Input/output error"};
    EXPECT_EQ(job.run(read, PortAddress::com(5)), UploadOutcome::fileUnreadable);
    EXPECT_EQ(Lines(console.lines.end() - 2, console.lines.end()),
              (Lines{"Start Upload\r", "Unable to read the file: Input/output error"}));
    EXPECT_EQ(board.sessions().size(), 1u);
    EXPECT_FALSE(port.isOpen);

    console.events.clear();
    const std::size_t opens = static_cast<std::size_t>(port.opens);
    EXPECT_EQ(job.refuse(), UploadOutcome::imageRefused);
    EXPECT_EQ(static_cast<std::size_t>(port.opens), opens);
    ASSERT_EQ(console.events.size(), 2u);
    EXPECT_EQ(std::get<Verdict>(console.events[0]).outcome, UploadOutcome::imageRefused);
    EXPECT_TRUE(std::holds_alternative<Finished>(console.events[1]));
}

TEST_F(UploadJobTest, ShortImageIsAbortedWithTheShutdownCommand) {
    writeImage(imageBytes(28, 32));  // one long short of its header
    EXPECT_EQ(upload(), UploadOutcome::headerRejected);
    EXPECT_EQ(console.lines, (Lines{"Start Upload\r", "Propeller Version = 1", "Code Error -> Abort"}));
    EXPECT_EQ(board.last().command, 0u);
    EXPECT_EQ(resets(), 2);
    EXPECT_FALSE(port.isOpen);
    // The port opens normally again right afterwards.
    writeImage(imageBytes(32, 32));
    EXPECT_EQ(upload(), UploadOutcome::loaded);
}

TEST_F(UploadJobTest, ChipVersionBelowOneIsNoChipEvenForACompleteImage) {
    writeImage(imageBytes(32, 32));
    sim::ChipConfig config;
    config.version = 0;
    board.replace(config);
    EXPECT_EQ(upload(), UploadOutcome::noChip);
    EXPECT_EQ(console.lines.back(), "Code Error -> Abort");

    config.version = 1;
    config.faults.silent = true;
    board.replace(config);
    EXPECT_EQ(upload(), UploadOutcome::noChip);
    EXPECT_EQ(console.lines.back(), "Code Error -> Abort");
}

TEST_F(UploadJobTest, LengthWordRulesTheLoad) {
    struct Case {
        std::size_t fileBytes;
        std::uint16_t lengthWord;
        std::size_t longsSent;
    };
    // A length not a multiple of 4; extra longs in the file; an empty length; a partial last long.
    for (const Case c : {Case{32, 30, 7}, Case{64, 16, 4}, Case{16, 0, 0}, Case{30, 30, 7}}) {
        SCOPED_TRACE(c.fileBytes);
        console.lines.clear();
        writeImage(imageBytes(c.fileBytes, c.lengthWord));
        EXPECT_EQ(upload(), UploadOutcome::loaded);
        EXPECT_EQ(board.last().longs.size(), c.longsSent);
        EXPECT_EQ(console.lines.at(2), "Write in RAM Lenght=" + std::to_string(c.lengthWord));
    }
}

TEST_F(UploadJobTest, UpperHalfOfLongTwoDoesNotChangeTheLength) {
    writeImage(imageBytes(16, 16, 0x7FFF));
    EXPECT_EQ(upload(), UploadOutcome::loaded);
    EXPECT_EQ(console.lines.at(2), "Write in RAM Lenght=16");
}

TEST_F(UploadJobTest, FileShorterThanItsLengthWordIsRefusedWhateverAnEarlierImageLeft) {
    writeImage(imageBytes(64, 64));
    ASSERT_EQ(upload(), UploadOutcome::loaded);
    writeImage(imageBytes(8, 0));  // no length word of its own
    EXPECT_EQ(upload(), UploadOutcome::headerRejected);
    EXPECT_EQ(board.last().command, 0u);
    writeImage(imageBytes(10, 8));  // 3 longs read, but still no full header
    EXPECT_EQ(upload(), UploadOutcome::headerRejected);
}

TEST_F(UploadJobTest, OversizedFileIsCutAtTheBufferEnd) {
    // 8201 longs asked for: the chip, whose RAM holds 8192, refuses them and stays silent.
    writeImage(imageBytes(40000, 32804 & 0xFFFF));
    EXPECT_EQ(upload(), UploadOutcome::notAcknowledged);
    EXPECT_EQ(board.last().longCount, 8201u);

    writeImage(imageBytes(40000, 36000));  // asks for more longs than the buffer stores
    EXPECT_EQ(upload(), UploadOutcome::headerRejected);
}

TEST_F(UploadJobTest, FailedLoadStillTearsDown) {
    writeImage(imageBytes(32, 32));
    sim::ChipConfig config;
    config.faults.noAcknowledge = true;
    board.replace(config);
    EXPECT_EQ(upload(), UploadOutcome::notAcknowledged);
    EXPECT_EQ(console.lines.back(), "CheckSum Error");
    EXPECT_EQ(Lines(journal.entries.end() - 3, journal.entries.end()), (Lines{"purge", "close", "console close"}));
}

TEST_F(UploadJobTest, AFailedHandshakeDoesNotSpoilTheNextUpload) {
    writeImage(imageBytes(32, 32));
    sim::ChipConfig config;
    config.faults.wrongBit = 0;
    config.faultySessions = 1;
    board.replace(config);
    EXPECT_EQ(upload(), UploadOutcome::noChip);
    EXPECT_EQ(upload(), UploadOutcome::loaded);
}

}  // namespace
}  // namespace kestrup::test
