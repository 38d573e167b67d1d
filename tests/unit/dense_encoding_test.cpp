#include "rom/dense_encoding.h"

#include <gtest/gtest.h>

#include <random>

#include "fakes.h"
#include "line.h"
#include "rom/loader_protocol.h"

namespace kestrup::test {
namespace {

std::vector<int> bitsOf(std::span<const std::uint32_t> longs) {
    std::vector<int> bits;
    for (const auto v : longs)
        for (int i = 0; i < 32; ++i) bits.push_back(static_cast<int>((v >> i) & 1));
    return bits;
}

// The bits the simulated chip reads from these bytes; nothing at a framing error.
std::optional<std::vector<int>> pulseBits(std::span<const std::uint8_t> bytes) {
    std::vector<int> bits;
    for (const std::uint8_t byte : bytes) {
        const sim::FrameBits frame = sim::decodeFrame(byte);
        if (frame.framingError) return std::nullopt;
        bits.insert(bits.end(), frame.bits.begin(), frame.bits.begin() + frame.count);
    }
    return bits;
}

std::vector<std::uint32_t> randomLongs(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint32_t> longs(n);
    for (auto& v : longs) v = rng();
    return longs;
}

TEST(DenseEncoding, ChipReadsBackExactlyTheLongs) {
    for (const auto& longs :
         {randomLongs(300, 1), std::vector<std::uint32_t>(50, 0), std::vector<std::uint32_t>(50, ~0u),
          std::vector<std::uint32_t>{0x80000001u}, std::vector<std::uint32_t>{}}) {
        const auto bytes = encodeDense(longs);
        const auto bits = pulseBits(bytes);
        ASSERT_TRUE(bits);
        EXPECT_EQ(*bits, bitsOf(longs));
    }
}

TEST(DenseEncoding, PacksBetweenThreeAndFiveBitsAByte) {
    const std::vector<std::uint32_t> ones(10, ~0u), zeros(10, 0u);
    EXPECT_EQ(encodeDense(ones).size(), 64u);    // 320 bits, five a byte
    EXPECT_EQ(encodeDense(zeros).size(), 107u);  // 320 bits, three a byte, the last byte partly used
    EXPECT_LE(encodeDense(zeros).size(), zeros.size() * bytesPerLong);
}

TEST(DenseEncoding, RandomImageTakesAtMostFourFifthsOfTheFixedWireTime) {
    const auto image = randomLongs(8192, 7);
    const double ratio =
        static_cast<double>(encodeDense(image).size()) / static_cast<double>(image.size() * bytesPerLong);
    EXPECT_LE(ratio, 0.8);
}

TEST(DenseEncoding, NeverLongerThanFixedForAnyContent) {
    std::mt19937 rng(3);
    for (int trial = 0; trial < 200; ++trial) {
        // Sparse, dense and mixed bit patterns.
        std::vector<std::uint32_t> longs(1 + rng() % 40);
        const unsigned density = rng() % 4;
        for (auto& v : longs) {
            v = rng();
            if (density == 0) v &= rng() & rng();
            if (density == 1) v |= rng() | rng();
        }
        EXPECT_LE(encodeDense(longs).size(), longs.size() * bytesPerLong);
    }
}

struct DenseLoad : ::testing::Test {
    FakePort port;
    VirtualClock clock;
    RecordingConsole console;
    SerialLink link{port, clock, console};
    LoaderProtocol protocol{link, console};

    void SetUp() override {
        port.existing = {comDeviceName(1)};
        ASSERT_TRUE(link.open(PortAddress::com(1)));
        protocol.setEncoding(LongEncoding::dense);
    }
};

TEST_F(DenseLoad, CommandCountAndImageReachTheChipAsBits) {
    port.onWrite = [this](std::span<const std::uint8_t> bytes) {
        if (bytes.size() == 1 && bytes[0] == 0xF9) port.queueReply({0xFE});
    };
    const auto image = randomLongs(100, 11);
    protocol.showProgress(true);
    EXPECT_EQ(protocol.imageLoad(400, image), Acknowledgement::accepted);
    const auto progress = eventsOf<Progress>(console.events);

    // Everything before the clock bytes, read as pulses: command 1, count 100, the longs.
    std::vector<std::uint8_t> data(port.written.begin(), port.written.end());
    while (!data.empty() && data.back() == 0xF9) data.pop_back();
    std::vector<std::uint32_t> expected{1, 100};
    expected.insert(expected.end(), image.begin(), image.end());
    const auto bits = pulseBits(data);
    ASSERT_TRUE(bits);
    // The head is finished on its own before the status line, so its padding adds no pulses.
    EXPECT_EQ(*bits, bitsOf(expected));
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back().sent, progress.back().total);
    EXPECT_EQ(console.lines, (std::vector<std::string>{"Write in RAM Lenght=400", "Verify ..", "..OK -> RUN"}));
}

TEST_F(DenseLoad, FixedProgressCountsWireBytes) {
    protocol.setEncoding(LongEncoding::fixed);
    protocol.showProgress(true);
    protocol.imageLoad(400, randomLongs(100, 2));
    std::size_t last = 0;
    for (const Progress& told : eventsOf<Progress>(console.events)) {
        EXPECT_GE(told.sent, last);
        last = told.sent;
        EXPECT_EQ(told.total, 1100u);
    }
    EXPECT_EQ(last, 1100u);
}

}  // namespace
}  // namespace kestrup::test
