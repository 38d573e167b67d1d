#include "fakes.h"
#include "upload_job.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace kestrup::test {
namespace {

using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

// An image of `longs` longs whose length word says `lengthWord`.
std::vector<std::uint8_t> imageBytes(std::size_t bytes, std::uint16_t lengthWord, std::uint8_t fill = 0x5A) {
    std::vector<std::uint8_t> data(bytes, fill);
    if (bytes > 8) data[8] = static_cast<std::uint8_t>(lengthWord & 0xFF);
    if (bytes > 9) data[9] = static_cast<std::uint8_t>(lengthWord >> 8);
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
    UploadJob job{link, protocol, console, notifier, clock, UploadTiming::window()};
    ChipModel chip;
    fs::path dir;
    std::string image;

    void SetUp() override {
        port.existing = {comDeviceName(5)};
        chip.attach(port);
        dir = fs::temp_directory_path() / ("kestrup-job-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                                           "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir);
        image = (dir / "compiled.binary").string();
    }
    void TearDown() override { fs::remove_all(dir); }

    void writeImage(const std::vector<std::uint8_t>& bytes) {
        std::ofstream out(image, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    UploadOutcome upload(std::int32_t com = 5) { return job.run(image, PortAddress::com(com)); }
    int resets() const { return static_cast<int>(std::count(journal.entries.begin(), journal.entries.end(), "dtr off")); }
};

TEST_F(UploadJobTest, GoodImageIsLoadedWithTheStepsInOrder) {
    writeImage(imageBytes(32, 32));
    EXPECT_EQ(upload(), UploadOutcome::loaded);
    EXPECT_EQ(console.bytes,
              "Start Upload\r\nPropeller Version = 1\nWrite in RAM Lenght=32\nVerify ..\n..OK -> RUN\n");
    EXPECT_EQ(chip.longs.size(), 8u);
    EXPECT_EQ(chip.longs[2], 0x5A5A0020u);
}

// Every pause and reset of a good upload, as the window program and as the command line time it.
TEST_F(UploadJobTest, TheTimingSetsEveryPauseAndReset) {
    struct Case {
        const char* name;
        UploadTiming timing;
        std::vector<int> pauses;
        Lines opening;  // the journal up to the handshake's first write
    };
    const std::string com5 = "open " + comDeviceName(5);
    const Case cases[] = {
        // Console settle; a reset before the file is read and one before the handshake (25 ms pulse,
        // 50 ms wait); two handshake fills at 10 ms; the acknowledgement's clock (25), fill (10) and
        // clock (25); the teardown.
        {"window", UploadTiming::window(), {200, 25, 50, 25, 50, 10, 10, 25, 10, 25, 1500},
         {com5, "console open", "dtr on", "dtr off", "purge", "status Start Upload\r", "dtr on", "dtr off", "purge",
          "write 256"}},
        // One reset of 10 + 15 ms after the file is read; fills at 2 ms; clocks at 3 ms; nothing after.
        {"lean", UploadTiming::lean(), {10, 15, 2, 2, 3, 2, 3},
         {com5, "console open", "status Start Upload\r", "dtr on", "dtr off", "purge", "write 256"}},
    };
    writeImage(imageBytes(32, 32));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        journal.entries.clear();
        clock.pauses.clear();
        link.setPolling(c.timing.polling);
        UploadJob timed{link, protocol, console, notifier, clock, c.timing};
        EXPECT_EQ(timed.run(image, PortAddress::com(5)), UploadOutcome::loaded);
        EXPECT_EQ(clock.pauses, c.pauses);
        const auto& e = journal.entries;
        ASSERT_GE(e.size(), c.opening.size() + 8);
        EXPECT_EQ(Lines(e.begin(), e.begin() + static_cast<std::ptrdiff_t>(c.opening.size())), c.opening);
        // The line drains before the acknowledgement is clocked; the port closes with the reset line
        // released, right after the answer when there is no teardown pause.
        EXPECT_EQ(Lines(e.end() - 8, e.end()), (Lines{"status Verify ..", "drain", "write 1", "write 1",
                                                      "status ..OK -> RUN", "purge", "close", "console close"}));
    }
}

TEST_F(UploadJobTest, MissingPortShowsOnlyTheNoComBox) {
    for (const std::int32_t com : {0, -3, 7}) {
        notifier.boxes.clear();
        EXPECT_EQ(upload(com), UploadOutcome::portNotOpened);
        ASSERT_EQ(notifier.boxes.size(), 1u);
        EXPECT_EQ(notifier.boxes[0].first, "No COM");
        EXPECT_EQ(notifier.boxes[0].second, "Com" + std::to_string(com) + " not found");
    }
    EXPECT_EQ(console.opens, 0);
    EXPECT_EQ(resets(), 0);
    EXPECT_TRUE(clock.pauses.empty());
}

TEST_F(UploadJobTest, DevicePathIsNamedInTheNoComText) {
    EXPECT_EQ(job.run(image, PortAddress::device("/dev/nothing")), UploadOutcome::portNotOpened);
    EXPECT_EQ(notifier.boxes.at(0).second, "/dev/nothing not found");
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
        UploadJob timed{link, protocol, console, notifier, clock, c.timing};
        EXPECT_EQ(timed.run(image, PortAddress::com(5)), UploadOutcome::fileMissing);
        EXPECT_EQ(resets(), c.resets);
        EXPECT_EQ(clock.pauses, c.pauses);
        EXPECT_TRUE(port.writes.empty());
        EXPECT_FALSE(port.isOpen);
    }
    EXPECT_EQ(console.bytes, "Start Upload\r\nNo such file\r\nStart Upload\r\nNo such file\r\n");
    EXPECT_EQ(console.closes, 2);
}

TEST_F(UploadJobTest, ShortImageIsAbortedWithTheShutdownCommand) {
    writeImage(imageBytes(28, 32));  // one long short of its header
    EXPECT_EQ(upload(), UploadOutcome::headerRejected);
    EXPECT_EQ(console.lines, (Lines{"Start Upload\r", "Propeller Version = 1", "Code Error -> Abort"}));
    EXPECT_EQ(chip.command, 0u);
    EXPECT_EQ(resets(), 2);
    EXPECT_FALSE(port.isOpen);
    // The port opens normally again right afterwards.
    writeImage(imageBytes(32, 32));
    EXPECT_EQ(upload(), UploadOutcome::loaded);
}

TEST_F(UploadJobTest, ChipVersionBelowOneIsRejectedEvenForACompleteImage) {
    writeImage(imageBytes(32, 32));
    chip.version = 0;
    EXPECT_EQ(upload(), UploadOutcome::headerRejected);
    EXPECT_EQ(console.lines.back(), "Code Error -> Abort");

    chip.version = 1;
    chip.fault = ChipModel::Fault::silent;
    EXPECT_EQ(upload(), UploadOutcome::headerRejected);
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
        EXPECT_EQ(chip.longs.size(), c.longsSent);
        EXPECT_EQ(console.lines.at(2), "Write in RAM Lenght=" + std::to_string(c.lengthWord));
    }
}

TEST_F(UploadJobTest, UpperHalfOfLongTwoDoesNotChangeTheLength) {
    auto bytes = imageBytes(16, 16);
    bytes[10] = 0xFF;
    bytes[11] = 0x7F;
    writeImage(bytes);
    EXPECT_EQ(upload(), UploadOutcome::loaded);
    EXPECT_EQ(console.lines.at(2), "Write in RAM Lenght=16");
}

TEST_F(UploadJobTest, FileShorterThanItsLengthWordIsRefusedWhateverAnEarlierImageLeft) {
    writeImage(imageBytes(64, 64));
    ASSERT_EQ(upload(), UploadOutcome::loaded);
    writeImage(imageBytes(8, 0));  // no length word of its own
    EXPECT_EQ(upload(), UploadOutcome::headerRejected);
    EXPECT_EQ(chip.command, 0u);
    writeImage(imageBytes(10, 8));  // 3 longs read, but still no full header
    EXPECT_EQ(upload(), UploadOutcome::headerRejected);
}

TEST_F(UploadJobTest, OversizedFileIsCutAtTheBufferEnd) {
    writeImage(imageBytes(40000, 32804 & 0xFFFF));
    EXPECT_EQ(upload(), UploadOutcome::loaded);
    EXPECT_EQ(chip.longs.size(), UploadJob::imageBufferLongs);

    writeImage(imageBytes(40000, 36000));  // asks for more longs than the buffer stores
    EXPECT_EQ(upload(), UploadOutcome::headerRejected);
}

TEST_F(UploadJobTest, FailedLoadStillTearsDown) {
    writeImage(imageBytes(32, 32));
    chip.fault = ChipModel::Fault::noAcknowledge;
    EXPECT_EQ(upload(), UploadOutcome::notAcknowledged);
    EXPECT_EQ(console.lines.back(), "CheckSum Error");
    EXPECT_EQ(Lines(journal.entries.end() - 3, journal.entries.end()), (Lines{"purge", "close", "console close"}));
}

TEST_F(UploadJobTest, AFailedHandshakeDoesNotSpoilTheNextUpload) {
    writeImage(imageBytes(32, 32));
    chip.fault = ChipModel::Fault::wrongBit;
    chip.wrongBitIndex = 0;
    EXPECT_EQ(upload(), UploadOutcome::headerRejected);
    chip.fault = ChipModel::Fault::none;
    EXPECT_EQ(upload(), UploadOutcome::loaded);
}

}  // namespace
}  // namespace kestrup::test
